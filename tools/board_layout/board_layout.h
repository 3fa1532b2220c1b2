// The partition layout of a board: its eMMC partitions in GPT order, its NOR flash
// partitions in MTD order, its board information and provisioning lifecycle. The
// text format is documented in README.md ("The virtual board"); this module is its
// only reader, and it places every partition (LBAs, byte offsets, MTD sizes).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tool_result.h"

namespace ota::board {

enum class Medium { emmc, nor };

inline constexpr uint64_t kSectorSize = 512;
inline constexpr uint64_t kEmmcAlign = 1024 * 1024;  // every eMMC partition starts on 1 MiB
inline constexpr uint64_t kEmmcFirstLba = 2048;      // room for the primary GPT
inline constexpr uint64_t kNorTrailer = 2048;        // kept by the boot firmware per MTD part
inline constexpr uint64_t kNorSizeUnit = 4096;
inline constexpr uint32_t kNorEraseSize = 65536;  // the NOR erase block
inline constexpr size_t kMaxEmmcParts = 128;
inline constexpr size_t kMaxNorPairs = 16;
inline constexpr size_t kMaxNameLen = 31;    // the engine's partition name buffers hold 32
inline constexpr size_t kMaxInfoValue = 31;  // the engine reads board values into 32 bytes

struct Partition {
  std::string name;
  Medium medium = Medium::emmc;
  uint64_t size = 0;    // bytes of data (for NOR: what gpt.conf and the sync table cover)
  uint64_t offset = 0;  // byte offset on its medium
  bool ext4 = false;    // formatted with an empty ext4 file system at creation
  unsigned mtd = 0;     // NOR: MTD number (1 for the first partition)

  // eMMC: LBAs in 512-byte sectors, last inclusive.
  [[nodiscard]] uint64_t first_lba() const { return offset / kSectorSize; }
  [[nodiscard]] uint64_t last_lba() const { return (offset + size) / kSectorSize - 1; }
  // NOR: the MTD partition holds the data and the firmware's trailer.
  [[nodiscard]] uint64_t mtd_size() const { return size + kNorTrailer; }
  // The bytes the partition's block device spans.
  [[nodiscard]] uint64_t device_size() const { return medium == Medium::nor ? mtd_size() : size; }
};

struct Layout {
  std::vector<Partition> emmc;  // GPT order; "userdata" last
  std::vector<Partition> nor;   // MTD order
  std::map<std::string, std::string> boardinfo;
  std::string lifecycle;
  uint64_t emmc_size = 0;  // bytes of the whole disk, backup GPT included
  uint64_t nor_size = 0;   // bytes of the whole NOR flash

  [[nodiscard]] const Partition* find(std::string_view name) const;
  // NOR A/B pairs (name_a, name_b) in MTD order.
  [[nodiscard]] std::vector<std::pair<const Partition*, const Partition*>> nor_ab_pairs() const;
  // Security pairs (name, name_bak) on the eMMC in GPT order.
  [[nodiscard]] std::vector<std::pair<const Partition*, const Partition*>> backup_pairs() const;
};

// Parses, validates and places a layout text; errors name the line.
[[nodiscard]] tool::Result<Layout> parse_layout(std::string_view text);
[[nodiscard]] tool::Result<Layout> load_layout(const std::string& path);

// The built-in board, as layout text and parsed.
[[nodiscard]] std::string_view default_layout_text();
[[nodiscard]] Layout default_layout();

// A gpt.conf describing the layout: eMMC lines in GPT order, then the NOR lines, each
// "name:first byte:last byte:medium" (medium 1 eMMC, 0 NOR).
[[nodiscard]] std::string gpt_conf_text(const Layout& layout);

// "16M", "512K", "4096" -> bytes.
[[nodiscard]] tool::Result<uint64_t> parse_size(std::string_view text);

}  // namespace ota::board
