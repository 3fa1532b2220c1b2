// The two run-length codings of the per-byte differences that covers add to old bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "stream.h"
#include "varint.h"

namespace ota::hpatch {

// HDIFF13: one difference per byte of new (gaps included, where it is ignored), as runs
// named in the ctrl stream (zeros, 0xFF, one repeated value or literal values) whose
// values come from the code stream.
class RleDiff {
 public:
  RleDiff(Stream& ctrl, Stream& code) : ctrl_(ctrl), code_(code) {}

  // Adds the next n differences to data (mod 256).
  [[nodiscard]] bool add(uint8_t* data, size_t n);
  // Passes over the next n differences (those of a gap).
  [[nodiscard]] bool skip(uint64_t n);
  // True when no run is left half used.
  [[nodiscard]] bool run_complete() const { return left_ == 0; }

 private:
  enum class Kind : unsigned { kZeros = 0, kOnes = 1, kValue = 2, kLiteral = 3 };
  [[nodiscard]] bool load();

  Stream& ctrl_;
  Stream& code_;
  Kind kind_ = Kind::kZeros;
  uint64_t left_ = 0;
  uint8_t value_ = 0;
  std::array<uint8_t, 4096> scratch_{};
};

// HDIFFSF20: the differences of one step's covered bytes only, alternating runs of
// unchanged bytes and of literal differences, the first run unchanged.
class Rle0 {
 public:
  explicit Rle0(std::span<const uint8_t> block) : cursor_(block) {}

  [[nodiscard]] bool add(uint8_t* data, size_t n);

 private:
  ByteCursor cursor_;
  bool literal_ = false;
  bool next_literal_ = false;
  uint64_t left_ = 0;
};

// data[i] += diff[i] (mod 256).
inline void add_bytes(uint8_t* data, const uint8_t* diff, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    data[i] = static_cast<uint8_t>(data[i] + diff[i]);
  }
}

}  // namespace ota::hpatch
