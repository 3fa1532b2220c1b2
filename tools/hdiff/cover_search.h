// Choosing the covers of a patch: stretches of new taken from old plus per-byte
// differences, in increasing new order, never overlapping in new.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "suffix_array.h"

namespace ota::hdiff {

struct Cover {
  uint64_t old_pos = 0;
  uint64_t new_pos = 0;
  uint64_t length = 0;

  [[nodiscard]] uint64_t new_end() const { return new_pos + length; }
  [[nodiscard]] uint64_t old_end() const { return old_pos + length; }
  // Covers on one diagonal read old at the same distance from new.
  [[nodiscard]] bool same_diagonal(const Cover& other) const {
    return old_pos - new_pos == other.old_pos - other.new_pos;
  }
};

[[nodiscard]] std::vector<Cover> find_covers(std::span<const uint8_t> old_data,
                                             std::span<const uint8_t> new_data,
                                             const SuffixArray& index);

}  // namespace ota::hdiff
