// Throughput of our MD5 (MD5Dev over a file, reads included) against md5sum on the same
// file, both from a warm page cache so that the digest itself is what is measured. Wall
// and CPU time are both reported: on a shared machine the CPU time is the steadier one.
//
//   bench_md5 [--size-mib N] [--dir DIR] [--reps R]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "md5.h"

namespace {

using ota::bench::Error;
using ota::bench::Result;

using Options = ota::bench::BenchOptions;

Result<Options> parse_args(int argc, char** argv) {
  auto opt = ota::bench::parse_bench_options(
      argc, argv, {.size_mib = 1024, .small_mib = 0, .dir = "/var/tmp", .reps = 3});
  return opt;
}

std::string hex(const unsigned char digest[16]) {
  char out[33];
  for (int k = 0; k < 16; ++k) {
    std::snprintf(out + 2 * k, 3, "%02x", digest[k]);
  }
  return out;
}

// Pure digest speed on a buffer in memory, no I/O: MiB/s.
double in_memory_mibps() {
  std::vector<unsigned char> buf(64 << 20, 0x5A);
  MD5_CTX ctx;
  MD5Init(&ctx);
  const double start = ota::bench::now_seconds();
  for (int pass = 0; pass < 4; ++pass) {
    MD5Update(&ctx, buf.data(), static_cast<unsigned int>(buf.size()));
  }
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  return 4.0 * 64 / (ota::bench::now_seconds() - start);
}

Result<void> run(const Options& opt) {
  auto dir = ota::bench::WorkDir::create(opt.dir);
  if (!dir) {
    return dir.error();
  }
  const std::string image = dir->file("image.img");
  const uint64_t size = opt.size_mib << 20;
  if (auto made = ota::bench::write_image_file(image, size, 1); !made) {
    return made.error().context("making the test file");
  }
  // Warms the cache and gives the reference digest.
  auto reference = ota::bench::md5sum_hex(image);
  if (!reference) {
    return reference.error();
  }

  // Both sides run as child processes, alternately; the best wall and the best CPU time
  // of each count (CPU time stays fair when others share the machine).
  ota::bench::Timing tool_best{1e9, 1e9, 0};
  ota::bench::Timing ours_best{1e9, 1e9, 0};
  for (int rep = 0; rep < opt.reps; ++rep) {
    auto tool = ota::bench::time_shell("md5sum '" + image + "' >/dev/null");
    if (!tool) {
      return tool.error();
    }
    auto ours = ota::bench::run_in_child([&]() -> Result<void> {
      unsigned char digest[16];
      if (MD5Dev(image.c_str(), digest, 0) != 0) {
        return Error(EIO, "MD5Dev failed on " + image);
      }
      if (hex(digest) != *reference) {
        return Error(EIO, "digest mismatch: ours " + hex(digest) + ", md5sum " + *reference);
      }
      return {};
    });
    if (!ours) {
      return ours.error();
    }
    tool_best.seconds = std::min(tool_best.seconds, tool->seconds);
    tool_best.cpu_seconds = std::min(tool_best.cpu_seconds, tool->cpu_seconds);
    ours_best.seconds = std::min(ours_best.seconds, ours->seconds);
    ours_best.cpu_seconds = std::min(ours_best.cpu_seconds, ours->cpu_seconds);
  }

  const double mib = static_cast<double>(opt.size_mib);
  const double ratio = tool_best.seconds / ours_best.seconds;
  const double cpu_ratio = tool_best.cpu_seconds / ours_best.cpu_seconds;
  std::printf("file: %llu MiB (warm page cache), best of %d\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  std::printf("md5sum:          %8.1f MiB/s wall (%.3f s), %8.1f MiB/s cpu (%.3f s)\n",
              mib / tool_best.seconds, tool_best.seconds, mib / tool_best.cpu_seconds,
              tool_best.cpu_seconds);
  std::printf("ours (MD5Dev):   %8.1f MiB/s wall (%.3f s), %8.1f MiB/s cpu (%.3f s)\n",
              mib / ours_best.seconds, ours_best.seconds, mib / ours_best.cpu_seconds,
              ours_best.cpu_seconds);
  std::printf("ours in memory:  %8.1f MiB/s wall\n", in_memory_mibps());
  std::printf("throughput ratio ours/md5sum, wall: %.3fx, target >= 0.95x: %s\n", ratio,
              ota::bench::verdict(ratio >= 0.95));
  std::printf("throughput ratio ours/md5sum, cpu:  %.3fx, target >= 0.95x: %s\n", cpu_ratio,
              ota::bench::verdict(cpu_ratio >= 0.95));
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  auto opt = parse_args(argc, argv);
  if (!opt) {
    std::fprintf(stderr, "bench_md5: %s\nusage: bench_md5 [--size-mib N] [--dir DIR] [--reps R]\n",
                 opt.error().message().c_str());
    return 2;
  }
  if (auto done = run(*opt); !done) {
    std::fprintf(stderr, "bench_md5: %s\n", done.error().message().c_str());
    return 1;
  }
  return 0;
}
