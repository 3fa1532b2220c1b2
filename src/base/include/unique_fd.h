// Owners for file descriptors, FILE streams and directory streams, and the EINTR-safe
// read/write loops every module uses. Every path that opens something closes it here.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <utility>

namespace ota {

// Repeats a system call while it fails with EINTR.
template <typename F>
auto retry_eintr(F&& call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes without looking at the result: for descriptors that were only read.
  void reset(int fd = -1);
  // Closes and reports the result: for descriptors that were written.
  [[nodiscard]] int close();

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(FILE* file) const {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR* dir) const {
    if (dir != nullptr) {
      closedir(dir);
    }
  }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// open(2) with O_CLOEXEC added and EINTR retried.
[[nodiscard]] UniqueFd open_fd(const char* path, int flags, mode_t mode = 0);

// Read until len bytes or end of file; returns the count read, or -1 on error.
[[nodiscard]] ssize_t read_full(int fd, void* buf, size_t len);
[[nodiscard]] ssize_t pread_full(int fd, void* buf, size_t len, off_t offset);
// Write all len bytes; returns false on any error or short write (errno set).
[[nodiscard]] bool write_full(int fd, const void* buf, size_t len);
[[nodiscard]] bool pwrite_full(int fd, const void* buf, size_t len, off_t offset);

// Makes what was written through fd durable: fdatasync, falling back to fsync where the
// file does not support it. Returns false with errno set on failure.
[[nodiscard]] bool sync_fd(int fd);

// Drops the page cache of [offset, offset+len) (len 0: to the end) so the next read comes
// from the medium. Only meaningful after sync_fd. Returns false on failure.
[[nodiscard]] bool drop_cached_pages(int fd, off_t offset, off_t len);

}  // namespace ota
