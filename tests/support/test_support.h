// Helpers shared by the test suites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ota_test {

// One line that reached the system log (__android_log_print) during a test.
struct LogRecord {
  int priority;
  bool null_tag;
  std::string text;
};

// Lines sent to the system log since the last clear_log_records().
std::vector<LogRecord> log_records();
void clear_log_records();
// True when some recorded line contains needle.
bool log_contains(const std::string& needle);

// A fresh directory under /tmp, removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for test data; they throw on failure, which fails the test.
void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);
// Deterministic bytes with repeated words and random runs, so that images compress
// (about 1.5x with deflate) yet differ from block to block.
std::string make_image_bytes(size_t size, unsigned seed);

// A vbmeta image of `size` bytes whose AVB header carries the rollback index `index`.
std::string avb_image(uint64_t index, size_t size = 8192);
// Hex MD5 of the file by the system's md5sum tool, as an independent reference.
std::string md5sum_of(const std::string& path);
// Standard output of `sh -c cmd`; its exit status (128 + signal when killed) in *status.
std::string shell_output(const std::string& cmd, int* status = nullptr);

}  // namespace ota_test
