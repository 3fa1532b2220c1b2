#include "suffix_array.h"

#include <divsufsort.h>
#include <divsufsort64.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace ota::hdiff {

size_t common_prefix(const uint8_t* a, const uint8_t* b, size_t max) {
  size_t n = 0;
  while (n + 8 <= max) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      break;
    }
    n += 8;
  }
  while (n < max && a[n] == b[n]) {
    ++n;
  }
  return n;
}

tool::Result<SuffixArray> SuffixArray::build(std::span<const uint8_t> old) {
  SuffixArray sa(old);
  if (old.empty()) {
    return sa;
  }
  int failed = 0;
  if (old.size() < static_cast<size_t>(INT32_MAX)) {
    sa.small_.resize(old.size());
    failed = divsufsort(old.data(), sa.small_.data(), static_cast<saidx_t>(old.size()));
  } else {
    sa.large_.resize(old.size());
    failed = divsufsort64(old.data(), sa.large_.data(), static_cast<saidx64_t>(old.size()));
  }
  if (failed != 0) {
    return tool::Error(ENOMEM, "suffix sorting of the old image failed");
  }
  return sa;
}

Match SuffixArray::longest(std::span<const uint8_t> needle, size_t max_compare) const {
  Match best;
  if (size() == 0 || needle.empty()) {
    return best;
  }
  const size_t want = std::min(needle.size(), max_compare);
  // Binary search for where needle would sort; its neighbours share the longest prefix.
  size_t lo = 0;
  size_t hi = size() - 1;
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    const uint64_t pos = at(mid);
    const size_t n = std::min<size_t>(want, size() - pos);
    const int cmp = std::memcmp(old_.data() + pos, needle.data(), n);
    if (cmp < 0 || (cmp == 0 && n < want)) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  for (const size_t i : {lo, hi}) {
    const uint64_t pos = at(i);
    const size_t n =
        common_prefix(old_.data() + pos, needle.data(), std::min<size_t>(want, size() - pos));
    if (n > best.length) {
      best = Match{pos, n};
    }
  }
  return best;
}

}  // namespace ota::hdiff
