#include "stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ota_log.h"
#include "unique_fd.h"

namespace ota::hpatch {
namespace {

using ull = unsigned long long;

// Decoded bytes still owed by the stream, for sizing reads without overflow.
size_t clamp_size(uint64_t left, size_t cap) {
  return static_cast<size_t>(std::min<uint64_t>(left, cap));
}

}  // namespace

PatchRange::PatchRange(int fd, uint64_t begin, uint64_t end, size_t buffer_size)
    : fd_(fd), offset_(begin), end_(end), buffer_(clamp_size(end - begin, buffer_size)) {}

bool PatchRange::read_some(uint8_t* dst, size_t cap, size_t* got) {
  *got = 0;
  if (pos_ < fill_) {
    *got = std::min(cap, fill_ - pos_);
    std::memcpy(dst, buffer_.data() + pos_, *got);
    pos_ += *got;
    return true;
  }
  const size_t want = clamp_size(end_ - offset_, cap);
  if (want == 0) {
    return true;
  }
  const ssize_t n = pread_full(fd_, dst, want, static_cast<off_t>(offset_));
  if (n != static_cast<ssize_t>(want)) {
    OTA_LOG_ERR("reading patch bytes at %llu failed: %s\n", static_cast<ull>(offset_),
                n < 0 ? std::strerror(errno) : "file shrank");
    return false;
  }
  offset_ += want;
  *got = want;
  return true;
}

bool PatchRange::peek(const uint8_t** data, size_t* size) {
  if (pos_ == fill_ && offset_ < end_) {
    size_t got = 0;
    pos_ = fill_ = 0;
    if (!read_some(buffer_.data(), buffer_.size(), &got)) {
      return false;
    }
    fill_ = got;
  }
  *data = buffer_.data() + pos_;
  *size = fill_ - pos_;
  return true;
}

Stream::Stream(std::unique_ptr<Decoder> decoder, uint64_t size, size_t buffer_size,
               const char* name)
    : decoder_(std::move(decoder)),
      left_(size),
      buffer_(std::max<size_t>(1, clamp_size(size, buffer_size))),
      name_(name) {}

bool Stream::refill() {
  pos_ = fill_ = 0;
  const size_t want = clamp_size(left_, buffer_.size());
  size_t got = 0;
  if (!decoder_->read_some(buffer_.data(), want, &got)) {
    return false;
  }
  if (got == 0) {
    OTA_LOG_ERR("patch %s stream ends %llu bytes before its declared size\n", name_,
                static_cast<ull>(left_));
    return false;
  }
  left_ -= got;
  fill_ = got;
  return true;
}

bool Stream::read(uint8_t* dst, size_t n) {
  while (n > 0) {
    if (pos_ < fill_) {
      const size_t take = std::min(n, fill_ - pos_);
      std::memcpy(dst, buffer_.data() + pos_, take);
      pos_ += take;
      dst += take;
      n -= take;
      continue;
    }
    if (left_ == 0) {
      OTA_LOG_ERR("patch %s stream is used up but more bytes are needed\n", name_);
      return false;
    }
    if (n >= buffer_.size()) {
      // Large reads go straight to the caller instead of through the buffer.
      size_t got = 0;
      if (!decoder_->read_some(dst, clamp_size(left_, n), &got)) {
        return false;
      }
      if (got == 0) {
        OTA_LOG_ERR("patch %s stream ends %llu bytes before its declared size\n", name_,
                    static_cast<ull>(left_));
        return false;
      }
      left_ -= got;
      dst += got;
      n -= got;
    } else if (!refill()) {
      return false;
    }
  }
  return true;
}

bool Stream::at_end() {
  if (pos_ < fill_ || left_ != 0) {
    OTA_LOG_ERR("patch %s stream has %llu bytes left over\n", name_,
                static_cast<ull>(left_ + (fill_ - pos_)));
    return false;
  }
  return decoder_->finish();
}

}  // namespace ota::hpatch
