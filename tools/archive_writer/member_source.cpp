#include "member_source.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <utility>

namespace ota::archive {

MemberSource::MemberSource(UniqueFd fd, std::string_view bytes, uint64_t size, std::string label)
    : fd_(std::move(fd)), bytes_(bytes), size_(size), label_(std::move(label)) {}

tool::Result<MemberSource> MemberSource::from_file(const std::string& path) {
  UniqueFd fd = open_fd(path.c_str(), O_RDONLY);
  if (!fd) {
    return tool::errno_error("open " + path);
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    return tool::errno_error("stat " + path);
  }
  if (!S_ISREG(st.st_mode)) {
    return tool::Error(EINVAL, path + " is not a regular file");
  }
  (void)posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return MemberSource(std::move(fd), {}, static_cast<uint64_t>(st.st_size), path);
}

MemberSource MemberSource::from_bytes(std::string_view data) {
  return MemberSource(UniqueFd(), data, data.size(), "memory");
}

tool::Result<size_t> MemberSource::read(uint8_t* buf, size_t cap) {
  const uint64_t left = size_ - done_;
  const size_t want = left < cap ? static_cast<size_t>(left) : cap;
  if (!fd_) {
    if (want != 0) {
      std::memcpy(buf, bytes_.data() + done_, want);
    }
    done_ += want;
    return want;
  }
  // One byte beyond the expected end tells a grown file from a finished one.
  const size_t ask = want == 0 ? 1 : want;
  const ssize_t got = read_full(fd_.get(), buf, ask);
  if (got < 0) {
    return tool::errno_error("read " + label_);
  }
  if (want == 0 ? got != 0 : static_cast<size_t>(got) != want) {
    return tool::Error(EIO, label_ + " changed size while being archived");
  }
  done_ += want;
  return want;
}

}  // namespace ota::archive
