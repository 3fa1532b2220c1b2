// Writing the patch format's varints: big-endian 7-bit groups, the first byte carrying
// tag_bits tag bits above its "more" bit. Always the shortest form.
#pragma once

#include <cstdint>
#include <vector>

namespace ota::hdiff {

inline void pack_varint(std::vector<uint8_t>& out, uint64_t value, unsigned tag = 0,
                        unsigned tag_bits = 0) {
  const unsigned first_bits = 7 - tag_bits;
  unsigned groups = 0;
  while ((value >> (7 * groups)) >= (uint64_t{1} << first_bits)) {
    ++groups;
  }
  const auto top = static_cast<unsigned>(value >> (7 * groups));
  const unsigned more = groups > 0 ? 1u : 0u;
  const unsigned tag_part = tag_bits == 0 ? 0u : tag << (8 - tag_bits);
  out.push_back(static_cast<uint8_t>(tag_part | (more << first_bits) | top));
  while (groups > 0) {
    --groups;
    const auto low = static_cast<unsigned>((value >> (7 * groups)) & 0x7Fu);
    out.push_back(static_cast<uint8_t>(low | (groups > 0 ? 0x80u : 0u)));
  }
}

}  // namespace ota::hdiff
