// Shared helpers of the archive tests: building archives and recording progress calls.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "test_support.h"

#define ASSERT_OK(expr)                                     \
  do {                                                      \
    const auto& ota_rc_ = (expr);                           \
    ASSERT_TRUE(ota_rc_.ok()) << ota_rc_.error().message(); \
  } while (0)

namespace archive_test {

// Progress callback that records every call, for the streaming writers.
inline std::vector<ssize_t>& progress_calls() {
  static std::vector<ssize_t> calls;
  return calls;
}
inline void record_progress(ssize_t len) { progress_calls().push_back(len); }
inline uint64_t progress_sum() {
  uint64_t sum = 0;
  for (const ssize_t n : progress_calls()) {
    sum += static_cast<uint64_t>(n);
  }
  return sum;
}

inline bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

inline mode_t mode_of(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Output of a shell command (stdout), for cross-checks with the system's tools.
inline std::string run_capture(const std::string& cmd, int* status) {
  std::string out;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) {
    out.append(buf, n);
  }
  *status = pclose(pipe);
  return out;
}

}  // namespace archive_test
