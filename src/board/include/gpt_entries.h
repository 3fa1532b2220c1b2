// The eMMC disk's GPT entry array as the engine reads it, and partition names as text.
#pragma once

#include <cstdint>

#include "gpt.h"

inline constexpr const char* OTA_EMMC_DISK = "/dev/block/platform/by-name/blk";
inline constexpr unsigned long OTA_BLKPBSZGET = 0x127B;

// Physical block size of the device at path (BLKPBSZGET), or -1.
[[nodiscard]] int32_t get_lba_size(const char* path);
// The 128 entries (16384 bytes) from byte offset 1024 of the disk: 0 or -1.
[[nodiscard]] int32_t emmc_gpt_entry_read(struct gpt_entry* gpt_entries);
// Exactly 36 bytes: the low byte of each UTF-16 unit, '!' for a non-printable non-zero
// byte. result must hold more than 36 zeroed bytes so that the text ends.
void convert_partname(uint16_t* str, char* result);
