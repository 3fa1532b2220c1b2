// The differ: an HDIFF13 patch that turns old into new, with its streams stored raw or
// compressed with raw deflate or zstd (each only where that makes it smaller).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tool_result.h"

namespace ota::hdiff {

enum class Compression { kNone, kZlib, kZstd };

struct DiffOptions {
  Compression compression = Compression::kNone;
};

// The matching and stream coding of one old/new pair, done once and laid out in any
// compression (matching is what costs time).
class PatchPlan {
 public:
  [[nodiscard]] static tool::Result<PatchPlan> create(std::span<const uint8_t> old_data,
                                                      std::span<const uint8_t> new_data);
  [[nodiscard]] tool::Result<std::vector<uint8_t>> serialize(Compression compression) const;

 private:
  PatchPlan() = default;

  uint64_t new_size_ = 0;
  uint64_t old_size_ = 0;
  uint64_t cover_count_ = 0;
  // Covers, RLE ctrl, RLE code, literals.
  std::vector<uint8_t> streams_[4];
};

// The patch for two images held in memory.
[[nodiscard]] tool::Result<std::vector<uint8_t>> make_patch(std::span<const uint8_t> old_data,
                                                            std::span<const uint8_t> new_data,
                                                            const DiffOptions& options);

// Reads old_path and new_path (old_path "" is an empty old image) and writes the patch to
// patch_path, durably.
[[nodiscard]] tool::Result<void> diff_files(const std::string& old_path,
                                            const std::string& new_path,
                                            const std::string& patch_path,
                                            const DiffOptions& options);

}  // namespace ota::hdiff
