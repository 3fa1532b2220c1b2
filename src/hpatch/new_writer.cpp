#include "new_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ota_log.h"
#include "unique_fd.h"

namespace ota::hpatch {
namespace {
using ull = unsigned long long;
}  // namespace

NewWriter::NewWriter(int fd, uint64_t new_size, size_t buffer_size, const hpatch_out* sink)
    : fd_(fd),
      sink_(sink),
      new_size_(new_size),
      buffer_(std::max<size_t>(1, static_cast<size_t>(std::min<uint64_t>(new_size, buffer_size)))) {
}

uint8_t* NewWriter::reserve(uint64_t n, size_t* room) {
  if (n > new_size_ - position()) {
    OTA_LOG_ERR("patch produces more than the %llu bytes of the new image\n",
                static_cast<ull>(new_size_));
    return nullptr;
  }
  if (fill_ == buffer_.size() && !flush()) {
    return nullptr;
  }
  *room = static_cast<size_t>(std::min<uint64_t>(n, buffer_.size() - fill_));
  return buffer_.data() + fill_;
}

bool NewWriter::flush() {
  if (fill_ == 0) {
    return true;
  }
  const bool written = sink_ != nullptr
                           ? sink_->write(sink_->ctx, buffer_.data(), fill_) == 0
                           : pwrite_full(fd_, buffer_.data(), fill_, static_cast<off_t>(flushed_));
  if (!written) {
    OTA_LOG_ERR("writing the new image at %llu failed: %s\n", static_cast<ull>(flushed_),
                std::strerror(errno));
    return false;
  }
  flushed_ += fill_;
  fill_ = 0;
  return true;
}

bool NewWriter::read_old(const OldImage& old, uint64_t pos, uint8_t* dst, size_t n) {
  const ssize_t got = pread_full(old.fd, dst, n, static_cast<off_t>(pos));
  if (got != static_cast<ssize_t>(n)) {
    OTA_LOG_ERR("reading the old image at %llu failed: %s\n", static_cast<ull>(pos),
                got < 0 ? std::strerror(errno) : "it ended early");
    return false;
  }
  return true;
}

bool NewWriter::copy_stream(Stream& from, uint64_t n) {
  while (n > 0) {
    size_t room = 0;
    uint8_t* dst = reserve(n, &room);
    if (dst == nullptr || !from.read(dst, room)) {
      return false;
    }
    fill_ += room;
    n -= room;
  }
  return true;
}

bool NewWriter::finish() {
  if (!flush()) {
    return false;
  }
  if (flushed_ != new_size_) {
    OTA_LOG_ERR("patch produced %llu bytes of the %llu of the new image\n",
                static_cast<ull>(flushed_), static_cast<ull>(new_size_));
    return false;
  }
  return true;
}

}  // namespace ota::hpatch
