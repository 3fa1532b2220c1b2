// Patches come from the update package: any bytes must be applied or refused without a
// fault, and never produce more than the new size they declare.
#include <cstddef>
#include <cstdint>

#include "fuzz_hpatch_one.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)fuzz_hpatch::apply_one(data, size);
  return 0;
}
