// Applying a parsed patch between open descriptors: the engine under hpatchz(), also
// used directly by the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>

#include "header.h"
#include "hpatch.h"
#include "new_writer.h"

namespace ota::hpatch {

// Smallest buffer budget used, whatever the caller asks for.
inline constexpr size_t kMinCacheSize = 64 * 1024;

struct ApplyIo {
  int patch_fd = -1;
  uint64_t patch_size = 0;
  OldImage old;
  // Written with pwrite from offset 0 to new_size; never past it.
  int new_fd = -1;
  size_t cache_size = 0;
  // When set, new is handed to it instead of written to new_fd.
  const hpatch_out* sink = nullptr;
};

// Reads and checks the header of the patch at patch_fd (logged on failure).
[[nodiscard]] bool read_patch_header(int patch_fd, uint64_t patch_size, PatchInfo* info);

// Rebuilds new; io.old.size must equal info.old_size. Logs what is wrong on failure.
[[nodiscard]] bool apply_patch(const PatchInfo& info, const ApplyIo& io);

[[nodiscard]] bool apply_compressed_diff(const PatchInfo& info, const ApplyIo& io);
[[nodiscard]] bool apply_single_stream(const PatchInfo& info, const ApplyIo& io);

// The caller's budget, raised to the minimum.
[[nodiscard]] inline size_t cache_budget(size_t cache_size) {
  return cache_size < kMinCacheSize ? kMinCacheSize : cache_size;
}

}  // namespace ota::hpatch
