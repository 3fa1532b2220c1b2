#include "rle.h"

#include <algorithm>

#include "ota_log.h"

namespace ota::hpatch {
namespace {

using ull = unsigned long long;

void add_value(uint8_t* data, uint8_t value, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    data[i] = static_cast<uint8_t>(data[i] + value);
  }
}

}  // namespace

bool RleDiff::load() {
  Varint run;
  const VarintStatus status =
      unpack_varint([this](uint8_t& b) { return ctrl_.next_byte(b); }, 2, &run);
  if (status != VarintStatus::kOk) {
    OTA_LOG_ERR("patch RLE ctrl run is malformed: %s\n", varint_status_text(status));
    return false;
  }
  if (run.value == UINT64_MAX) {
    OTA_LOG_ERR("patch RLE ctrl run length overflows\n");
    return false;
  }
  kind_ = static_cast<Kind>(run.tag);
  left_ = run.value + 1;
  if (kind_ == Kind::kValue && !code_.next_byte(value_)) {
    return false;
  }
  return true;
}

bool RleDiff::add(uint8_t* data, size_t n) {
  while (n > 0) {
    if (left_ == 0 && !load()) {
      return false;
    }
    auto take = static_cast<size_t>(std::min<uint64_t>(n, left_));
    switch (kind_) {
      case Kind::kZeros:
        break;
      case Kind::kOnes:
        add_value(data, 0xFF, take);
        break;
      case Kind::kValue:
        add_value(data, value_, take);
        break;
      case Kind::kLiteral:
        take = std::min(take, scratch_.size());
        if (!code_.read(scratch_.data(), take)) {
          return false;
        }
        add_bytes(data, scratch_.data(), take);
        break;
    }
    left_ -= take;
    data += take;
    n -= take;
  }
  return true;
}

bool RleDiff::skip(uint64_t n) {
  while (n > 0) {
    if (left_ == 0 && !load()) {
      return false;
    }
    uint64_t take = std::min(n, left_);
    if (kind_ == Kind::kLiteral) {
      take = std::min<uint64_t>(take, scratch_.size());
      if (!code_.read(scratch_.data(), static_cast<size_t>(take))) {
        return false;
      }
    }
    left_ -= take;
    n -= take;
  }
  return true;
}

bool Rle0::add(uint8_t* data, size_t n) {
  while (n > 0) {
    while (left_ == 0) {
      Varint run;
      const VarintStatus status = cursor_.varint(0, &run);
      if (status != VarintStatus::kOk) {
        OTA_LOG_ERR("patch step's difference runs end before its covers (%s)\n",
                    varint_status_text(status));
        return false;
      }
      left_ = run.value;
      literal_ = next_literal_;
      next_literal_ = !next_literal_;
    }
    const auto take = static_cast<size_t>(std::min<uint64_t>(n, left_));
    if (literal_) {
      std::span<const uint8_t> diff;
      if (!cursor_.take(take, &diff)) {
        OTA_LOG_ERR("patch step's literal differences are cut short (%llu wanted)\n",
                    static_cast<ull>(take));
        return false;
      }
      add_bytes(data, diff.data(), take);
    }
    left_ -= take;
    data += take;
    n -= take;
  }
  return true;
}

}  // namespace ota::hpatch
