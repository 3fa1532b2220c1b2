// Shared pieces of the benchmarks: rootfs-like test data, a loop device that cannot
// outlive the process, cold-cache control, timed shell commands and peak memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tool_result.h"
#include "unique_fd.h"

namespace ota::bench {

using ota::tool::errno_error;
using ota::tool::Error;
using ota::tool::Result;

// The command line every benchmark takes: --size-mib, --small-mib (a second, smaller
// image; 0 lets the benchmark choose), --dir (where its files go) and --reps.
struct BenchOptions {
  uint64_t size_mib = 1024;
  uint64_t small_mib = 0;
  std::string dir = "/var/tmp";
  int reps = 1;
};

// Reads the options over the given defaults; refuses unknown options, a missing value,
// a size or repeat count of zero and a small image larger than the large one.
[[nodiscard]] Result<BenchOptions> parse_bench_options(int argc, char** argv,
                                                       BenchOptions defaults);

// Writes `size` bytes that deflate roughly 2.5-3x, like a root file system image.
[[nodiscard]] Result<void> write_image_file(const std::string& path, uint64_t size, unsigned seed);

// A sparse file of `size` bytes (created or cut to that size).
[[nodiscard]] Result<void> make_sparse_file(const std::string& path, uint64_t size);

// A loop device over a backing file. The kernel detaches it when its last descriptor
// closes (autoclear), so it is gone when the object or the process goes, crash included.
class LoopDevice {
 public:
  [[nodiscard]] static Result<LoopDevice> attach(const std::string& backing);
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  LoopDevice(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;
  UniqueFd fd_;
};

// Discards [0, size) of a block device (the loop driver punches holes in its backing
// file), so every run writes into fresh blocks.
[[nodiscard]] Result<void> discard_device(const std::string& path, uint64_t size);

// A fresh directory, removed with its contents when destroyed.
class WorkDir {
 public:
  [[nodiscard]] static Result<WorkDir> create(const std::string& parent);
  WorkDir(WorkDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  WorkDir& operator=(WorkDir&&) = delete;
  WorkDir(const WorkDir&) = delete;
  ~WorkDir();
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  explicit WorkDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// Writes back all dirty data and empties the page cache, so the next run starts cold.
[[nodiscard]] Result<void> drop_caches();

// Monotonic seconds.
[[nodiscard]] double now_seconds();

// What a measured run costs.
struct Timing {
  double seconds = 0;      // wall time
  double cpu_seconds = 0;  // user + system time, its child processes included
  long peak_kib = 0;       // VmHWM of the measured process (run_in_child only)
};

// Every run of one side of a comparison; its figure is the run of median wall time (with
// the largest peak of all runs), its spread the distance between fastest and slowest.
struct Runs {
  std::vector<Timing> runs;
  void add(const Timing& t) { runs.push_back(t); }
  [[nodiscard]] Timing median() const;
  [[nodiscard]] double spread() const;
};

// Runs cmd with /bin/sh -c; fails unless it exits with status 0.
[[nodiscard]] Result<Timing> time_shell(const std::string& cmd);

// Runs work() in a forked child (so its peak memory is its own, and its standard output
// is silenced) and reports its time and peak resident memory; fails when work() fails.
[[nodiscard]] Result<Timing> run_in_child(const std::function<Result<void>()>& work);

// The "VmHWM" of this process, in KiB, or -1.
[[nodiscard]] long vm_hwm_kib();

// Hex MD5 of a file by the system's md5sum.
[[nodiscard]] Result<std::string> md5sum_hex(const std::string& path);

// "met" or "NOT met".
[[nodiscard]] const char* verdict(bool met);

}  // namespace ota::bench
