#include "rle_writer.h"

#include "varint_writer.h"

namespace ota::hdiff {
namespace {

enum RunKind : unsigned { kZeros = 0, kOnes = 1, kValue = 2, kLiteral = 3 };

}  // namespace

void RleWriter::emit(unsigned kind, uint64_t count) { pack_varint(ctrl_, count - 1, kind, 2); }

void RleWriter::flush_literal() {
  if (literal_.empty()) {
    return;
  }
  emit(kLiteral, literal_.size());
  code_.insert(code_.end(), literal_.begin(), literal_.end());
  literal_.clear();
}

// A run of its own costs a ctrl varint (plus a value byte), and splits a pending literal
// in two (one more ctrl varint); shorter runs stay inside the literal.
void RleWriter::close_run() {
  if (run_length_ == 0) {
    return;
  }
  const bool cheap_value = run_value_ == 0 || run_value_ == 0xFF;
  const uint64_t worth = (cheap_value ? 2u : 4u) + (literal_.empty() ? 0u : 1u);
  if (run_length_ >= worth || (cheap_value && literal_.empty())) {
    flush_literal();
    if (cheap_value) {
      emit(run_value_ == 0 ? kZeros : kOnes, run_length_);
    } else {
      emit(kValue, run_length_);
      code_.push_back(run_value_);
    }
  } else {
    literal_.insert(literal_.end(), run_length_, run_value_);
  }
  run_length_ = 0;
}

void RleWriter::push_byte(uint8_t value) {
  if (run_length_ != 0 && value != run_value_) {
    close_run();
  }
  run_value_ = value;
  ++run_length_;
}

void RleWriter::push_zeros(uint64_t n) {
  if (n == 0) {
    return;
  }
  if (run_length_ != 0 && run_value_ != 0) {
    close_run();
  }
  run_value_ = 0;
  run_length_ += n;
}

void RleWriter::push_diff(const uint8_t* new_bytes, const uint8_t* old_bytes, uint64_t n) {
  uint64_t i = 0;
  while (i < n) {
    // Unchanged stretches are the common case: hand them over as one zero run.
    uint64_t same = i;
    while (same < n && new_bytes[same] == old_bytes[same]) {
      ++same;
    }
    push_zeros(same - i);
    i = same;
    if (i < n) {
      push_byte(static_cast<uint8_t>(new_bytes[i] - old_bytes[i]));
      ++i;
    }
  }
}

void RleWriter::finish() {
  close_run();
  flush_literal();
}

}  // namespace ota::hdiff
