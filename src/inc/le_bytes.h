// Little-endian loads and stores for the on-disk records. Every record codec goes
// through these so that the byte order on the medium never depends on the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ota {

[[nodiscard]] constexpr uint32_t load_le32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

constexpr void store_le32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// Stores `count` 32-bit words found at `words` (a field or array of a record, read with
// memcpy so any 4-byte field type will do) as little-endian bytes at `out`.
inline void store_le32_words(uint8_t* out, const void* words, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t word = 0;
    std::memcpy(&word, static_cast<const uint8_t*>(words) + i * sizeof(word), sizeof(word));
    store_le32(out + i * sizeof(word), word);
  }
}

// The inverse: `count` little-endian words at `in` into the host-order field at `words`.
inline void load_le32_words(const uint8_t* in, void* words, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word = load_le32(in + i * sizeof(word));
    std::memcpy(static_cast<uint8_t*>(words) + i * sizeof(word), &word, sizeof(word));
  }
}

}  // namespace ota
