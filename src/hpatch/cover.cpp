#include "cover.h"

#include "ota_log.h"

namespace ota::hpatch {
namespace {
using ull = unsigned long long;
}  // namespace

bool CoverWalk::malformed() const {
  OTA_LOG_ERR("patch cover %llu is cut short or malformed\n", static_cast<ull>(count_));
  return false;
}

bool CoverWalk::accept(const Varint& old_delta, uint64_t gap, uint64_t length, Cover* cover) {
  const bool backwards = old_delta.tag != 0;
  if (backwards ? old_delta.value > last_old_end_ : old_delta.value > UINT64_MAX - last_old_end_) {
    OTA_LOG_ERR("patch cover %llu has an old position outside 64 bits\n", static_cast<ull>(count_));
    return false;
  }
  cover->old_pos = backwards ? last_old_end_ - old_delta.value : last_old_end_ + old_delta.value;
  if (gap > new_size_ - last_new_end_ || length > new_size_ - (last_new_end_ + gap)) {
    OTA_LOG_ERR("patch cover %llu ends beyond the new image of %llu bytes\n",
                static_cast<ull>(count_), static_cast<ull>(new_size_));
    return false;
  }
  cover->new_pos = last_new_end_ + gap;
  cover->length = length;
  if (cover->old_pos > old_size_ || length > old_size_ - cover->old_pos) {
    OTA_LOG_ERR("patch cover %llu reads old [%llu, +%llu) beyond the old image of %llu bytes\n",
                static_cast<ull>(count_), static_cast<ull>(cover->old_pos),
                static_cast<ull>(length), static_cast<ull>(old_size_));
    return false;
  }
  last_old_end_ = cover->old_pos + length;
  last_new_end_ = cover->new_pos + length;
  ++count_;
  return true;
}

}  // namespace ota::hpatch
