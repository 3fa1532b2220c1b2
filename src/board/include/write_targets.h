// What a package may write: the partitions the board has, as its own tables describe
// them (the eMMC disk's GPT and the MTD partitions in sysfs, never a package's gpt.conf),
// and the rule that turns a manifest entry into the one partition it writes.
//
// An entry writes the inactive half of an A/B pair (NAME_a and NAME_b both on the board),
// the main of a main/backup pair (NAME and NAME_bak; the backup is written only by the
// partition sync), or a partition of its own that none of these names describe. The
// declared type must be the one the names show. The engine's and the firmware's records
// (misc, veeprom, flashcmd), the user data and the whole disk are never an entry's target.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ota_types.h"

// One partition of the board.
struct ota_board_part_t {
  std::string name;
  ota_medium_e medium = OTA_EMMC;
  uint64_t offset = 0;  // bytes from the start of the eMMC disk or of the NOR device
  uint64_t size = 0;    // bytes (NOR: as the MTD driver shows it, the 2048-byte pad included)
};

// Names no package writes: "misc", "veeprom", "flashcmd", "userdata", "blk".
[[nodiscard]] bool ota_is_reserved_part(std::string_view name);

// The partition of `board` that the entry (name, declared type, medium) writes when
// `slot` (0 = A, 1 = B) is the slot being written. Empty, with the reason in *why, when
// the board has no such partition or the entry may not write it.
[[nodiscard]] std::string ota_write_target(std::span<const ota_board_part_t> board,
                                           std::string_view name, ota_part_type_e type,
                                           ota_medium_e medium, int32_t slot, std::string* why);

// The partition of `board` named `name`, or null.
[[nodiscard]] const ota_board_part_t* ota_find_board_part(std::span<const ota_board_part_t> board,
                                                          std::string_view name);

// The board's partitions: the entries of the eMMC disk's GPT in table order (offsets in
// bytes by the disk's block size), then the MTD partitions mtd1, mtd2, ... of the NOR
// flash from sysfs. 0, or -1 (logged) when either table cannot be read.
[[nodiscard]] int32_t ota_read_board_parts(std::vector<ota_board_part_t>* out);

// True when path names an existing block device (links followed); logged when not. A
// write target must be one: opening anything else for writing could create a file
// under "/dev" that a proof would then read back.
[[nodiscard]] bool ota_is_block_device(const char* path);
