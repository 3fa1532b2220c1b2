// Shared helpers of the archive tests: building archives and recording progress calls.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

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

// One member of a test archive: bytes, a directory (kDir) or a link to `data` (kLink).
struct Member {
  enum Kind { kFile, kDir, kLink };
  std::string name{};
  std::string data{};
  uint32_t mode = 0644;
  Kind kind = kFile;
  bool zstd = false;    // tar: stored zstd-compressed
  bool stored = false;  // zip: stored rather than deflated
  uint64_t zstd_frame_bytes = 0;
  int64_t mtime = ota::archive::kDefaultMtime;
  std::string magic = "ustar";
};
inline Member dir_member(const std::string& name) { return {.name = name, .kind = Member::kDir}; }
inline Member link_member(const std::string& name, const std::string& target) {
  return {.name = name, .data = target, .kind = Member::kLink};
}

inline void write_zip(const std::string& path, const std::vector<Member>& members) {
  auto zip = ota::archive::ZipWriter::create(path);
  ASSERT_OK(zip);
  for (const Member& m : members) {
    if (m.kind == Member::kDir) {
      ASSERT_OK(zip->add_directory(m.name));
    } else if (m.kind == Member::kLink) {
      ASSERT_OK(zip->add_symlink(m.name, m.data));
    } else {
      const auto method =
          m.stored ? ota::archive::ZipMethod::kStore : ota::archive::ZipMethod::kDeflate;
      ASSERT_OK(zip->add_bytes({.name = m.name, .method = method, .mode = m.mode, .mtime = m.mtime},
                               m.data));
    }
  }
  ASSERT_OK(zip->finish());
}

inline void write_tar(const std::string& path, const std::vector<Member>& members) {
  auto tar = ota::archive::TarWriter::create(path);
  ASSERT_OK(tar);
  for (const Member& m : members) {
    if (m.kind == Member::kDir) {
      ASSERT_OK(tar->add_directory(m.name));
    } else if (m.kind == Member::kLink) {
      ASSERT_OK(tar->add_symlink(m.name, m.data));
    } else {
      ASSERT_OK(tar->add_bytes({.name = m.name,
                                .mode = m.mode,
                                .mtime = m.mtime,
                                .zstd = m.zstd,
                                .zstd_frame_bytes = m.zstd_frame_bytes,
                                .magic = m.magic},
                               m.data));
    }
  }
  ASSERT_OK(tar->finish());
}

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

inline std::string link_of(const std::string& path) {
  char target[256] = {};
  return readlink(path.c_str(), target, sizeof(target) - 1) > 0 ? target : "";
}

}  // namespace archive_test
