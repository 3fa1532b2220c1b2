#include "varint.h"

namespace ota::hpatch {

const char* varint_status_text(VarintStatus status) {
  switch (status) {
    case VarintStatus::kOk:
      return "ok";
    case VarintStatus::kTruncated:
      return "cut short";
    case VarintStatus::kOverflow:
      return "number too large";
  }
  return "unknown";
}

}  // namespace ota::hpatch
