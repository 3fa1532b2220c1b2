// Compressing one patch stream the way the applier decodes it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "hdiff.h"

namespace ota::hdiff {

// The encoded stream: for zlib one window-bits byte and raw deflate, for zstd one frame.
[[nodiscard]] tool::Result<std::vector<uint8_t>> compress_stream(std::span<const uint8_t> data,
                                                                 Compression compression);

}  // namespace ota::hdiff
