// The images of the update road that the kill-point tests and the power-cut explorer
// drive, on the small board of tests/support/road.layout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>

namespace ota_road {

struct RoadImage {
  const char* name;
  size_t size;
  bool in_package;  // false: an A/B partition the packages leave out
};
// boot and system take two and three chunks of the engine's 10 MiB eMMC buffer.
inline constexpr RoadImage kRoadImages[] = {{"boot", 11 << 20, true},
                                            {"system", 21 << 20, true},
                                            {"uboot", 256 << 10, true},
                                            {"vbmeta", 64 << 10, false},
                                            {"bl31", 64 << 10, false}};

// An image whose every 4 KiB block differs from every other block of every image (its
// first 16 bytes name the seed and the block) and that otherwise repeats, so that the
// packages stay small and quick to make and to unpack.
inline std::string road_image_bytes(size_t size, unsigned seed) {
  std::string out(size, static_cast<char>(0x30 + seed % 64));
  for (size_t block = 0; block * 4096 < size; ++block) {
    char head[17];
    std::snprintf(head, sizeof(head), "%04x:%010zx:", seed & 0xffff, block);
    const size_t n = std::min<size_t>(16, size - block * 4096);
    out.replace(block * 4096, n, head, n);
  }
  return out;
}

}  // namespace ota_road
