// Reading the streams of a patch: a byte range of the patch file, the decoder that turns
// it into the stream's bytes (stored raw, raw deflate or zstd), and a buffered reader on
// top that holds the stream to exactly its declared size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "header.h"

namespace ota::hpatch {

// [begin, end) of the patch file, read forward through an optional buffer.
class PatchRange {
 public:
  PatchRange(int fd, uint64_t begin, uint64_t end, size_t buffer_size);

  // Up to cap bytes; *got 0 means the range is used up. False on a read error (logged).
  [[nodiscard]] bool read_some(uint8_t* dst, size_t cap, size_t* got);
  // Makes the next bytes available in place (buffered ranges only).
  [[nodiscard]] bool peek(const uint8_t** data, size_t* size);
  void consume(size_t n) { pos_ += n; }
  [[nodiscard]] uint64_t remaining() const { return (end_ - offset_) + (fill_ - pos_); }

 private:
  int fd_;
  uint64_t offset_;
  uint64_t end_;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;
  size_t fill_ = 0;
};

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Up to cap decoded bytes; *got 0 means the encoded input ended. False on corrupt or
  // unreadable input (logged).
  [[nodiscard]] virtual bool read_some(uint8_t* dst, size_t cap, size_t* got) = 0;
  // After the declared size was read: true when the encoding ends exactly there.
  [[nodiscard]] virtual bool finish() = 0;
};

// The decoder for one stream of the patch; name labels its log lines.
[[nodiscard]] std::unique_ptr<Decoder> make_decoder(Compressor compressor, const StreamInfo& stream,
                                                    int patch_fd, size_t buffer_size,
                                                    const char* name);

// A decoded stream of exactly its declared size.
class Stream {
 public:
  Stream(std::unique_ptr<Decoder> decoder, uint64_t size, size_t buffer_size, const char* name);

  // Exactly n bytes, or false (logged) when the stream is shorter or corrupt.
  [[nodiscard]] bool read(uint8_t* dst, size_t n);
  [[nodiscard]] bool next_byte(uint8_t& byte) {
    if (pos_ < fill_) {
      byte = buffer_[pos_++];
      return true;
    }
    return read(&byte, 1);
  }
  // True when every declared byte was read and the encoding ends there (logged if not).
  [[nodiscard]] bool at_end();
  [[nodiscard]] const char* name() const { return name_; }

 private:
  [[nodiscard]] bool refill();

  std::unique_ptr<Decoder> decoder_;
  uint64_t left_;  // declared bytes not yet handed out of the decoder
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;
  size_t fill_ = 0;
  const char* name_;
};

}  // namespace ota::hpatch
