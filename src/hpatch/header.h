// The two single-file patch layouts this engine applies, as read from a patch's first
// bytes: "HDIFF13" (four independent streams) and "HDIFFSF20" (one stream of steps).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace ota::hpatch {

enum class Compressor { kNone, kZlib, kZstd };

// One stream of an HDIFF13 patch: its decoded size and, when compressed, its encoded size
// (0 means stored raw); offset is where its bytes start in the patch.
struct StreamInfo {
  uint64_t size = 0;
  uint64_t csize = 0;
  uint64_t offset = 0;

  [[nodiscard]] uint64_t stored_size() const { return csize != 0 ? csize : size; }
};

enum StreamIndex : size_t { kCovers = 0, kRleCtrl = 1, kRleCode = 2, kLiterals = 3 };

enum class Layout { kCompressedDiff, kSingleStream };

struct PatchInfo {
  Layout layout = Layout::kCompressedDiff;
  Compressor compressor = Compressor::kNone;
  uint64_t new_size = 0;
  uint64_t old_size = 0;
  uint64_t cover_count = 0;
  // HDIFF13: covers, RLE ctrl, RLE code, literals.
  std::array<StreamInfo, 4> streams{};
  // HDIFFSF20: the step limit and the one body stream.
  uint64_t step_mem_size = 0;
  StreamInfo body{};
};

// Longest header a patch can have: magic, a compressor name of up to 259 characters and
// eleven varints of at most 11 bytes.
inline constexpr size_t kMaxHeaderBytes = 16 + 260 + 11 * 11;

// Parses the header from the first bytes of a patch of patch_size bytes and checks that
// the declared streams end exactly where the patch does. Logs the reason and returns false
// for an unknown or unsupported format, an unknown compressor or an inconsistent header.
[[nodiscard]] bool read_patch_info(std::span<const uint8_t> prefix, uint64_t patch_size,
                                   PatchInfo* info);

[[nodiscard]] const char* compressor_name(Compressor compressor);

}  // namespace ota::hpatch
