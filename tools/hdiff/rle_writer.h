// The run-length coding of the per-byte differences of an HDIFF13 patch: a ctrl stream
// of tagged runs (zeros, 0xFF, one repeated value, literal values) and a code stream of
// the values.
#pragma once

#include <cstdint>
#include <vector>

namespace ota::hdiff {

class RleWriter {
 public:
  // n zero differences (unchanged bytes and gaps).
  void push_zeros(uint64_t n);
  // The differences new[i] - old[i] (mod 256) of n bytes.
  void push_diff(const uint8_t* new_bytes, const uint8_t* old_bytes, uint64_t n);
  // Ends the last run; ctrl() and code() are complete afterwards.
  void finish();

  [[nodiscard]] const std::vector<uint8_t>& ctrl() const { return ctrl_; }
  [[nodiscard]] const std::vector<uint8_t>& code() const { return code_; }

 private:
  void push_byte(uint8_t value);
  void close_run();
  void flush_literal();
  void emit(unsigned kind, uint64_t count);

  std::vector<uint8_t> ctrl_;
  std::vector<uint8_t> code_;
  std::vector<uint8_t> literal_;
  uint8_t run_value_ = 0;
  uint64_t run_length_ = 0;
};

}  // namespace ota::hdiff
