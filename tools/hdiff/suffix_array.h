// Suffix array of the old image and longest-match queries against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tool_result.h"

namespace ota::hdiff {

struct Match {
  uint64_t old_pos = 0;
  uint64_t length = 0;
};

class SuffixArray {
 public:
  // Sorts the suffixes of old (kept by reference: old must outlive this object).
  [[nodiscard]] static tool::Result<SuffixArray> build(std::span<const uint8_t> old);

  // The longest prefix of needle found in old. Comparisons look at most max_compare
  // bytes, so a returned length of max_compare may extend further.
  [[nodiscard]] Match longest(std::span<const uint8_t> needle, size_t max_compare) const;

 private:
  explicit SuffixArray(std::span<const uint8_t> old) : old_(old) {}
  [[nodiscard]] uint64_t at(size_t i) const {
    return small_.empty() ? static_cast<uint64_t>(large_[i]) : static_cast<uint64_t>(small_[i]);
  }
  [[nodiscard]] size_t size() const { return old_.size(); }

  std::span<const uint8_t> old_;
  // 32-bit entries while old allows it: half the memory.
  std::vector<int32_t> small_;
  std::vector<int64_t> large_;
};

// Bytes equal at the start of a and b.
[[nodiscard]] size_t common_prefix(const uint8_t* a, const uint8_t* b, size_t max);

}  // namespace ota::hdiff
