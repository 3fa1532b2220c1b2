// Throughput of our MD5 (MD5Dev over a file, reads included) against md5sum on the same
// file, both from a warm page cache so that the digest itself is what is measured.
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

struct Options {
  uint64_t size_mib = 1024;
  std::string dir = "/var/tmp";
  int reps = 3;
};

Result<Options> parse_args(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      return Error(EINVAL, "missing value after " + arg);
    }
    const char* value = argv[++i];
    if (arg == "--size-mib") {
      opt.size_mib = std::strtoull(value, nullptr, 10);
    } else if (arg == "--dir") {
      opt.dir = value;
    } else if (arg == "--reps") {
      opt.reps = std::atoi(value);
    } else {
      return Error(EINVAL, "unknown option " + arg);
    }
  }
  if (opt.size_mib == 0 || opt.reps <= 0) {
    return Error(EINVAL, "--size-mib and --reps must be positive");
  }
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

  double best_tool = 1e9;
  double best_ours = 1e9;
  for (int rep = 0; rep < opt.reps; ++rep) {
    auto tool = ota::bench::time_shell("md5sum '" + image + "' >/dev/null");
    if (!tool) {
      return tool.error();
    }
    best_tool = std::min(best_tool, tool->seconds);

    unsigned char digest[16];
    const double start = ota::bench::now_seconds();
    if (MD5Dev(image.c_str(), digest, 0) != 0) {
      return Error(EIO, "MD5Dev failed on " + image);
    }
    best_ours = std::min(best_ours, ota::bench::now_seconds() - start);
    if (hex(digest) != *reference) {
      return Error(EIO, "digest mismatch: ours " + hex(digest) + ", md5sum " + *reference);
    }
  }

  const double mib = static_cast<double>(opt.size_mib);
  const double ratio = best_tool / best_ours;
  std::printf("file: %llu MiB (warm page cache), best of %d\n",
              static_cast<unsigned long long>(opt.size_mib), opt.reps);
  std::printf("md5sum:          %8.1f MiB/s (%.3f s)\n", mib / best_tool, best_tool);
  std::printf("ours (MD5Dev):   %8.1f MiB/s (%.3f s)\n", mib / best_ours, best_ours);
  std::printf("ours in memory:  %8.1f MiB/s\n", in_memory_mibps());
  std::printf("throughput ratio ours/md5sum: %.3fx, target >= 0.95x: %s\n", ratio,
              ota::bench::verdict(ratio >= 0.95));
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
