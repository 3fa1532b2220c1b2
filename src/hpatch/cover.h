// Covers: runs of new built from old bytes plus differences. They arrive in increasing
// new order, each delta-coded against the end of the one before, and each is checked
// against the bounds of old and new before anything is read or written for it.
#pragma once

#include <cstdint>

#include "varint.h"

namespace ota::hpatch {

struct Cover {
  uint64_t old_pos = 0;
  uint64_t new_pos = 0;
  uint64_t length = 0;
};

class CoverWalk {
 public:
  CoverWalk(uint64_t old_size, uint64_t new_size) : old_size_(old_size), new_size_(new_size) {}

  // Decodes the next cover from next_byte(uint8_t&) and checks it (logged on failure).
  template <typename NextByte>
  [[nodiscard]] bool next(NextByte&& next_byte, Cover* cover) {
    Varint old_delta;
    Varint gap;
    Varint length;
    if (unpack_varint(next_byte, 1, &old_delta) != VarintStatus::kOk ||
        unpack_varint(next_byte, 0, &gap) != VarintStatus::kOk ||
        unpack_varint(next_byte, 0, &length) != VarintStatus::kOk) {
      return malformed();
    }
    return accept(old_delta, gap.value, length.value, cover);
  }

  [[nodiscard]] uint64_t count() const { return count_; }

 private:
  [[nodiscard]] bool malformed() const;
  [[nodiscard]] bool accept(const Varint& old_delta, uint64_t gap, uint64_t length, Cover* cover);

  uint64_t old_size_;
  uint64_t new_size_;
  uint64_t last_old_end_ = 0;
  uint64_t last_new_end_ = 0;
  uint64_t count_ = 0;
};

}  // namespace ota::hpatch
