#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace ota {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    ::close(fd_);  // EINTR on close must not be retried on Linux: the fd is gone.
  }
  fd_ = fd;
}

int UniqueFd::close() {
  if (fd_ < 0) {
    return 0;
  }
  const int result = ::close(std::exchange(fd_, -1));
  return result == -1 && errno == EINTR ? 0 : result;
}

UniqueFd open_fd(const char* path, int flags, mode_t mode) {
  return UniqueFd(retry_eintr([&] { return ::open(path, flags | O_CLOEXEC, mode); }));
}

ssize_t read_full(int fd, void* buf, size_t len) {
  auto* out = static_cast<char*>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = retry_eintr([&] { return ::read(fd, out + done, len - done); });
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t pread_full(int fd, void* buf, size_t len, off_t offset) {
  auto* out = static_cast<char*>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = retry_eintr(
        [&] { return ::pread(fd, out + done, len - done, offset + static_cast<off_t>(done)); });
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool write_full(int fd, const void* buf, size_t len) {
  const auto* in = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = retry_eintr([&] { return ::write(fd, in + done, len - done); });
    if (n <= 0) {
      if (n == 0) {
        errno = ENOSPC;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool pwrite_full(int fd, const void* buf, size_t len, off_t offset) {
  const auto* in = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = retry_eintr(
        [&] { return ::pwrite(fd, in + done, len - done, offset + static_cast<off_t>(done)); });
    if (n <= 0) {
      if (n == 0) {
        errno = ENOSPC;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool sync_fd(int fd) {
  if (retry_eintr([&] { return ::fdatasync(fd); }) == 0) {
    return true;
  }
  // Special files (pipes, some character devices) cannot be synced and hold nothing to
  // make durable.
  return errno == EINVAL;
}

bool drop_cached_pages(int fd, off_t offset, off_t len) {
  return ::posix_fadvise(fd, offset, len, POSIX_FADV_DONTNEED) == 0;
}

}  // namespace ota
