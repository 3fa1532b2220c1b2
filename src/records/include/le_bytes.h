// Little-endian loads and stores for the on-disk and on-wire records. Every record codec
// goes through these so that the byte order on the medium never depends on the host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ota {

namespace detail {

template <typename T>
[[nodiscard]] constexpr T swap_bytes(T v) {
  if constexpr (sizeof(T) == 2) {
    return __builtin_bswap16(v);
  } else if constexpr (sizeof(T) == 4) {
    return __builtin_bswap32(v);
  } else {
    return __builtin_bswap64(v);
  }
}

// Byte order by memcpy and one swap at run time (a single load on little-endian hosts,
// which the MD5 block loop relies on); by shifts during constant evaluation.
template <typename T>
[[nodiscard]] constexpr T load_bytes(const uint8_t* in, bool little) {
  if (!std::is_constant_evaluated()) {
    T v;
    std::memcpy(&v, in, sizeof(v));
    return (std::endian::native == std::endian::little) == little ? v : swap_bytes(v);
  }
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    const size_t at = little ? sizeof(T) - 1 - i : i;
    v = static_cast<T>((v << 8) | in[at]);
  }
  return v;
}

template <typename T>
constexpr void store_bytes(uint8_t* out, T v, bool little) {
  if (!std::is_constant_evaluated()) {
    const T w = (std::endian::native == std::endian::little) == little ? v : swap_bytes(v);
    std::memcpy(out, &w, sizeof(w));
    return;
  }
  for (size_t i = 0; i < sizeof(T); ++i) {
    const size_t at = little ? i : sizeof(T) - 1 - i;
    out[at] = static_cast<uint8_t>(v >> (8 * i));
  }
}

}  // namespace detail

[[nodiscard]] constexpr uint16_t load_le16(const uint8_t* in) {
  return detail::load_bytes<uint16_t>(in, true);
}
[[nodiscard]] constexpr uint32_t load_le32(const uint8_t* in) {
  return detail::load_bytes<uint32_t>(in, true);
}
[[nodiscard]] constexpr uint64_t load_le64(const uint8_t* in) {
  return detail::load_bytes<uint64_t>(in, true);
}
constexpr void store_le16(uint8_t* out, uint16_t value) { detail::store_bytes(out, value, true); }
constexpr void store_le32(uint8_t* out, uint32_t value) { detail::store_bytes(out, value, true); }
constexpr void store_le64(uint8_t* out, uint64_t value) { detail::store_bytes(out, value, true); }

// The few big-endian fields of foreign formats (the AVB header's rollback index).
[[nodiscard]] constexpr uint64_t load_be64(const uint8_t* in) {
  return detail::load_bytes<uint64_t>(in, false);
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
