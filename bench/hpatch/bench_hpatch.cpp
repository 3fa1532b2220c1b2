// bench_hpatch [MiB, default 512]: makes a filesystem-shaped image and a copy with about
// 1 % of its 4 KiB blocks changed, diffs them (timed), then applies each patch from a
// loop device holding old into another loop device (timed, in a fresh process whose peak
// memory VmHWM is reported) and checks the result byte for byte.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "hdiff.h"
#include "hpatch.h"
#include "loop.h"
#include "unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = 4096;
constexpr size_t kSpare = 1u << 20;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds (user + system): on a shared machine wall time alone says little.
double cpu_seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double own_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return cpu_seconds(usage);
}

// xorshift: fast, deterministic bytes.
struct Rng {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

void fill_random(uint8_t* dst, size_t n, Rng& rng) {
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = rng.next();
    std::memcpy(dst + i, &v, std::min<size_t>(8, n - i));
  }
}

// Zero blocks, text-like blocks with repeats, and incompressible blocks, roughly as a
// root file system image mixes them.
std::vector<uint8_t> make_image(size_t size) {
  std::vector<uint8_t> image(size);
  Rng rng{0x9E3779B97F4A7C15ull};
  static const char* const kWords[] = {"usr/lib/", "config ", "value=",     "libc.so.6 ",
                                       "ELF",      "\n",      "0123456789", "        "};
  for (size_t off = 0; off < size; off += kBlock) {
    uint8_t* block = image.data() + off;
    const uint64_t kind = rng.next() % 10;
    if (kind < 3) {
      continue;
    }
    if (kind < 6) {
      fill_random(block, kBlock, rng);
      continue;
    }
    size_t pos = 0;
    while (pos < kBlock) {
      const char* word = kWords[rng.next() % 8];
      for (size_t i = 0; word[i] != '\0' && pos < kBlock; ++i) {
        block[pos++] = static_cast<uint8_t>(word[i]);
      }
      if (pos < kBlock) {
        block[pos++] = static_cast<uint8_t>(rng.next());
      }
    }
  }
  return image;
}

std::vector<uint8_t> change_one_percent(std::vector<uint8_t> image) {
  Rng rng{12345};
  const size_t blocks = image.size() / kBlock;
  for (size_t n = 0; n < blocks / 100; ++n) {
    uint8_t* block = image.data() + (rng.next() % blocks) * kBlock;
    if (n % 2 == 0) {
      fill_random(block, kBlock, rng);
    } else {
      for (size_t i = 0; i < kBlock; i += 61) {
        block[i] = static_cast<uint8_t>(block[i] + 1);
      }
    }
  }
  return image;
}

bool write_bytes(const std::string& path, const uint8_t* data, size_t size, size_t total) {
  ota::UniqueFd fd = ota::open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<uint8_t> pad(total - size, 0xA5);
  return fd && ota::write_full(fd.get(), data, size) &&
         ota::write_full(fd.get(), pad.data(), pad.size()) && fd.close() == 0;
}

// Child mode: apply and report this process's peak memory.
int apply_and_report(char** argv) {
  const int rc = hpatchz(argv[2], argv[3], argv[4], std::strtoull(argv[5], nullptr, 10));
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      std::printf("  peak %s\n", line.c_str());
    }
  }
  return rc == 0 ? 0 : 1;
}

bool same_as(const std::string& device, const std::vector<uint8_t>& want) {
  ota::UniqueFd fd = ota::open_fd(device.c_str(), O_RDONLY);
  std::vector<uint8_t> got(8u << 20);
  for (size_t off = 0; off < want.size(); off += got.size()) {
    const size_t n = std::min(got.size(), want.size() - off);
    if (!fd ||
        ota::pread_full(fd.get(), got.data(), n, static_cast<off_t>(off)) !=
            static_cast<ssize_t>(n) ||
        std::memcmp(got.data(), want.data() + off, n) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--apply") == 0) {
    return apply_and_report(argv);
  }
  const size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
  char dir_template[] = "/tmp/bench_hpatch.XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (mib == 0 || dir == nullptr) {
    std::fprintf(stderr, "usage: bench_hpatch [MiB > 0]\n");
    return 2;
  }
  const std::string base = dir;
  const std::vector<uint8_t> old_image = make_image(mib << 20);
  const std::vector<uint8_t> new_image = change_one_percent(old_image);
  std::printf("image %zu MiB, about 1 %% of 4 KiB blocks changed\n", mib);

  struct Variant {
    const char* name;
    ota::hdiff::Compression compression;
  } const kVariants[] = {{"none", ota::hdiff::Compression::kNone},
                         {"zlib", ota::hdiff::Compression::kZlib},
                         {"zstd", ota::hdiff::Compression::kZstd}};
  const auto diff_start = Clock::now();
  const double diff_cpu = own_cpu_seconds();
  auto plan = ota::hdiff::PatchPlan::create(old_image, new_image);
  if (!plan) {
    std::fprintf(stderr, "diff failed: %s\n", plan.error().message().c_str());
    return 1;
  }
  std::printf("diff (suffix sort and matching): %.2f s wall, %.2f s CPU\n",
              seconds_since(diff_start), own_cpu_seconds() - diff_cpu);
  for (const auto& v : kVariants) {
    const auto start = Clock::now();
    auto patch = plan->serialize(v.compression);
    if (!patch) {
      std::fprintf(stderr, "diff failed: %s\n", patch.error().message().c_str());
      return 1;
    }
    std::printf("  streams %-4s: %.2f s, patch %zu bytes\n", v.name, seconds_since(start),
                patch->size());
    if (!write_bytes(base + "/" + v.name + ".hdiff", patch->data(), patch->size(), patch->size())) {
      return 1;
    }
  }
  if (!write_bytes(base + "/source.img", old_image.data(), old_image.size(),
                   old_image.size() + kSpare) ||
      !write_bytes(base + "/target.img", nullptr, 0, new_image.size() + kSpare)) {
    std::fprintf(stderr, "writing images in %s failed\n", dir);
    return 1;
  }
  auto source = vboard::attach_loop(base + "/source.img", 0, 0, false);
  auto target = vboard::attach_loop(base + "/target.img", 0, 0, false);
  int failures = 0;
  if (!source || !target) {
    std::fprintf(stderr, "loop devices: %s\n",
                 (!source ? source.error() : target.error()).message().c_str());
    failures = 1;
  }
  for (const auto& v : kVariants) {
    for (const char* cache : {"8388608", "33554432"}) {
      if (failures != 0) {
        break;
      }
      const std::string patch = base + "/" + v.name + ".hdiff";
      // The child prints its own peak memory: name the run before it does.
      std::printf("apply %-4s cache %s:\n", v.name, cache);
      std::fflush(stdout);
      const auto start = Clock::now();
      const pid_t pid = fork();
      if (pid == 0) {
        execl("/proc/self/exe", "bench_hpatch", "--apply", source->path().c_str(), patch.c_str(),
              target->path().c_str(), cache, static_cast<char*>(nullptr));
        _exit(127);
      }
      int status = 0;
      rusage usage{};
      wait4(pid, &status, 0, &usage);
      const double took = seconds_since(start);
      const bool ok =
          WIFEXITED(status) && WEXITSTATUS(status) == 0 && same_as(target->path(), new_image);
      std::printf("  %.3f s wall, %.3f s CPU, %s\n", took, cpu_seconds(usage),
                  ok ? "verified" : "FAILED");
      failures += ok ? 0 : 1;
    }
  }
  if (source) {
    vboard::detach_loop(source.value());
  }
  if (target) {
    vboard::detach_loop(target.value());
  }
  for (const char* name : {"none.hdiff", "zlib.hdiff", "zstd.hdiff", "source.img", "target.img"}) {
    unlink((base + "/" + name).c_str());
  }
  rmdir(dir);
  return failures == 0 ? 0 : 1;
}
