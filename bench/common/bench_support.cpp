#include "bench_support.h"

#include <cstdlib>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

namespace ota::bench {

namespace {

// xorshift64*: fast enough to make a gigabyte in a few seconds, and deterministic.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1DULL;
  }
};

// Runs of repeated words mixed with random bytes, the mix that deflates 2.5-3x.
void fill_image_bytes(Rng& rng, std::vector<char>& out) {
  using namespace std::string_view_literals;
  // clang-format off
  static constexpr std::array<std::string_view, 8> words = {
      "usr/lib/"sv, "libc.so.6"sv, "\x7f" "ELF"sv, "config="sv,
      "        "sv, "#include"sv, "\0\0\0\0\0\0\0\0"sv, "return 0;"sv};
  // clang-format on
  size_t at = 0;
  while (at < out.size()) {
    const uint64_t r = rng.next();
    if (r % 4 == 0) {
      // 8 random bytes in a quarter of the steps: deflate -6 gets about 2.6x.
      const uint64_t bits = rng.next();
      const size_t n = std::min<size_t>(sizeof(bits), out.size() - at);
      std::memcpy(out.data() + at, &bits, n);
      at += n;
    } else {
      const std::string_view word = words[(r >> 8) % words.size()];
      const size_t n = std::min(word.size(), out.size() - at);
      std::memcpy(out.data() + at, word.data(), n);
      at += n;
    }
  }
}

}  // namespace

Result<void> write_image_file(const std::string& path, uint64_t size, unsigned seed) {
  UniqueFd fd = open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!fd) {
    return errno_error("open " + path);
  }
  Rng rng{0x9E3779B97F4A7C15ULL ^ seed};
  std::vector<char> chunk(4 << 20);
  for (uint64_t done = 0; done < size;) {
    chunk.resize(static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done)));
    fill_image_bytes(rng, chunk);
    if (!write_full(fd.get(), chunk.data(), chunk.size())) {
      return errno_error("write " + path);
    }
    done += chunk.size();
  }
  if (fd.close() != 0) {
    return errno_error("close " + path);
  }
  return {};
}

Result<void> make_sparse_file(const std::string& path, uint64_t size) {
  UniqueFd fd = open_fd(path.c_str(), O_WRONLY | O_CREAT, 0644);
  if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    return errno_error("make sparse file " + path);
  }
  if (fd.close() != 0) {
    return errno_error("close " + path);
  }
  return {};
}

Result<LoopDevice> LoopDevice::attach(const std::string& backing) {
  const UniqueFd ctl = open_fd("/dev/loop-control", O_RDWR);
  if (!ctl) {
    return errno_error("open /dev/loop-control");
  }
  const UniqueFd file = open_fd(backing.c_str(), O_RDWR);
  if (!file) {
    return errno_error("open " + backing);
  }
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int n = ::ioctl(ctl.get(), LOOP_CTL_GET_FREE);
    if (n < 0) {
      return errno_error("LOOP_CTL_GET_FREE");
    }
    std::string path = "/dev/loop" + std::to_string(n);
    UniqueFd dev = open_fd(path.c_str(), O_RDWR);
    loop_config config{};
    config.fd = static_cast<uint32_t>(file.get());
    // Direct I/O: the device caches like a real disk, without a second copy of every
    // block in the backing file's page cache.
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_DIRECT_IO;
    // Another process may take the free device first: then ask for the next one.
    if (dev && ::ioctl(dev.get(), LOOP_CONFIGURE, &config) == 0) {
      return LoopDevice(std::move(path), std::move(dev));
    }
  }
  return Error(EBUSY, "no free loop device for " + backing);
}

Result<void> discard_device(const std::string& path, uint64_t size) {
  const UniqueFd dev = open_fd(path.c_str(), O_RDWR);
  uint64_t range[2] = {0, size};
  if (!dev || ::ioctl(dev.get(), BLKDISCARD, range) != 0) {
    return errno_error("discard " + path);
  }
  return {};
}

Result<WorkDir> WorkDir::create(const std::string& parent) {
  std::string tmpl = parent + "/ota_bench.XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    return errno_error("mkdtemp in " + parent);
  }
  return WorkDir(tmpl);
}

WorkDir::~WorkDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

Result<void> drop_caches() {
  ::sync();
  UniqueFd fd = open_fd("/proc/sys/vm/drop_caches", O_WRONLY);
  if (!fd || !write_full(fd.get(), "3\n", 2)) {
    return errno_error("drop caches (needs root)");
  }
  if (fd.close() != 0) {
    return errno_error("close /proc/sys/vm/drop_caches");
  }
  return {};
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

double cpu_seconds_of(const struct rusage& ru) {
  const auto secs = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// Waits for pid; its rusage covers the children it reaped itself.
Result<double> reap(pid_t pid, int* status) {
  struct rusage ru {};
  if (retry_eintr([&] { return ::wait4(pid, status, 0, &ru); }) != pid) {
    return errno_error("wait4");
  }
  return cpu_seconds_of(ru);
}

}  // namespace

Result<Timing> time_shell(const std::string& cmd) {
  const double start = now_seconds();
  const pid_t pid = ::fork();
  if (pid < 0) {
    return errno_error("fork");
  }
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  auto cpu = reap(pid, &status);
  if (!cpu) {
    return cpu.error();
  }
  const double seconds = now_seconds() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Error(ECHILD, "command failed (status " + std::to_string(status) + "): " + cmd);
  }
  return Timing{seconds, *cpu, 0};
}

long vm_hwm_kib() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) {
    return -1;
  }
  long kib = -1;
  char line[256];
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
      break;
    }
  }
  std::fclose(status);
  return kib;
}

Result<Timing> run_in_child(const std::function<Result<void>()>& work) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return errno_error("pipe");
  }
  UniqueFd rd(pipe_fds[0]);
  UniqueFd wr(pipe_fds[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    return errno_error("fork");
  }
  if (pid == 0) {
    rd.reset();
    // The engine's information lines would drown the figures; errors still show.
    const UniqueFd null = open_fd("/dev/null", O_WRONLY);
    if (null) {
      ::dup2(null.get(), STDOUT_FILENO);
    }
    const double start = now_seconds();
    Result<void> result = work();
    Timing run{now_seconds() - start, 0, vm_hwm_kib()};
    if (!result) {
      std::fprintf(stderr, "%s\n", result.error().message().c_str());
    }
    const bool sent = write_full(wr.get(), &run, sizeof(run));
    ::_exit(result && sent ? 0 : 1);
  }
  wr.reset();
  Timing run{};
  const ssize_t got = read_full(rd.get(), &run, sizeof(run));
  int status = 0;
  auto cpu = reap(pid, &status);
  if (!cpu) {
    return cpu.error();
  }
  run.cpu_seconds = *cpu;
  if (got != static_cast<ssize_t>(sizeof(run)) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Error(ECHILD, "measured run failed (status " + std::to_string(status) + ")");
  }
  return run;
}

Result<std::string> md5sum_hex(const std::string& path) {
  const std::string cmd = "md5sum '" + path + "'";
  std::FILE* pipe = ::popen(cmd.c_str(), "r");
  if (pipe == nullptr) {
    return errno_error("popen md5sum");
  }
  char hex[33] = {};
  const size_t n = std::fread(hex, 1, 32, pipe);
  const int status = ::pclose(pipe);
  if (n != 32 || status != 0) {
    return Error(EIO, "md5sum gave no digest for " + path);
  }
  return std::string(hex);
}

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

Result<BenchOptions> parse_bench_options(int argc, char** argv, BenchOptions defaults) {
  BenchOptions opt = std::move(defaults);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      return Error(EINVAL, "missing value after " + arg);
    }
    const char* value = argv[++i];
    if (arg == "--size-mib") {
      opt.size_mib = std::strtoull(value, nullptr, 10);
    } else if (arg == "--small-mib") {
      opt.small_mib = std::strtoull(value, nullptr, 10);
    } else if (arg == "--dir") {
      opt.dir = value;
    } else if (arg == "--reps") {
      opt.reps = std::atoi(value);
    } else {
      return Error(EINVAL, "unknown option " + arg);
    }
  }
  if (opt.size_mib == 0 || opt.reps <= 0 || opt.small_mib > opt.size_mib) {
    return Error(EINVAL, "--size-mib and --reps must be positive, --small-mib at most --size-mib");
  }
  return opt;
}

Timing Runs::median() const {
  if (runs.empty()) {
    return {};
  }
  std::vector<Timing> sorted = runs;
  std::sort(sorted.begin(), sorted.end(),
            [](const Timing& a, const Timing& b) { return a.seconds < b.seconds; });
  Timing t = sorted[sorted.size() / 2];
  for (const Timing& r : runs) {
    t.peak_kib = std::max(t.peak_kib, r.peak_kib);
  }
  return t;
}

double Runs::spread() const {
  if (runs.empty()) {
    return 0;
  }
  const auto [lo, hi] =
      std::minmax_element(runs.begin(), runs.end(),
                          [](const Timing& a, const Timing& b) { return a.seconds < b.seconds; });
  return hi->seconds - lo->seconds;
}

}  // namespace ota::bench
