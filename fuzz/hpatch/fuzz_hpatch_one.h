// One patch applied to a fixed old image through the engine's descriptor-level API, for
// the fuzz target and for replaying its corpus as an ordinary test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz_hpatch {

// The old image of every input: the first oldSize bytes (its header's) of a fixed 1 MiB
// pattern, byte i = (i * 7) ^ (i >> 8). Patches from larger old images are skipped.
[[nodiscard]] const std::vector<uint8_t>& old_pattern();

// Applies data as a patch; returns true when it applied. Aborts when the engine breaks a
// promise: bytes written past the declared new size, or success without all of them.
[[nodiscard]] bool apply_one(const uint8_t* data, size_t size);

// The new image produced by the last successful apply_one.
[[nodiscard]] std::vector<uint8_t> last_output();

}  // namespace fuzz_hpatch
