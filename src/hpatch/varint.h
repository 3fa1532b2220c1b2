// Variable-length unsigned integers of the patch format: big-endian groups of 7 bits,
// most significant first, whose first byte may also carry up to two tag bits above its
// "more" bit. Non-minimal (zero-padded) encodings are valid: the writer pads size fields
// it fills in after the fact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ota::hpatch {

// Longest encoding a reader follows before calling the number malformed.
inline constexpr size_t kMaxVarintBytes = 11;

struct Varint {
  uint64_t value = 0;
  unsigned tag = 0;
};

enum class VarintStatus { kOk, kTruncated, kOverflow };

// Decodes one varint with tag_bits (0..2) tag bits; next_byte(uint8_t&) returns false
// when its input has run out.
template <typename NextByte>
[[nodiscard]] VarintStatus unpack_varint(NextByte&& next_byte, unsigned tag_bits, Varint* out) {
  uint8_t byte = 0;
  if (!next_byte(byte)) {
    return VarintStatus::kTruncated;
  }
  const unsigned payload_bits = 7 - tag_bits;
  out->tag = tag_bits == 0 ? 0 : static_cast<unsigned>(byte >> (8 - tag_bits));
  uint64_t value = byte & ((1u << payload_bits) - 1);
  bool more = ((byte >> payload_bits) & 1u) != 0;
  for (size_t count = 1; more; ++count) {
    if (count >= kMaxVarintBytes || (value >> 57) != 0) {
      return VarintStatus::kOverflow;
    }
    if (!next_byte(byte)) {
      return VarintStatus::kTruncated;
    }
    value = (value << 7) | (byte & 0x7Fu);
    more = (byte & 0x80u) != 0;
  }
  out->value = value;
  return VarintStatus::kOk;
}

// A forward cursor over bytes held in memory.
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool next(uint8_t& byte) {
    if (pos_ >= bytes_.size()) {
      return false;
    }
    byte = bytes_[pos_++];
    return true;
  }
  [[nodiscard]] VarintStatus varint(unsigned tag_bits, Varint* out) {
    return unpack_varint([this](uint8_t& b) { return next(b); }, tag_bits, out);
  }
  // Hands out the next n bytes, or an empty span when fewer remain.
  [[nodiscard]] bool take(size_t n, std::span<const uint8_t>* out) {
    if (n > bytes_.size() - pos_) {
      return false;
    }
    *out = bytes_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  [[nodiscard]] size_t pos() const { return pos_; }
  [[nodiscard]] size_t remaining() const { return bytes_.size() - pos_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// Text for a failed decode, for log lines.
[[nodiscard]] const char* varint_status_text(VarintStatus status);

}  // namespace ota::hpatch
