// Agreement of a package's gpt.conf with the board: the eMMC disk's GPT and the NOR
// MTD partitions in sysfs. While comparing NOR lines it collects the A/B NOR partitions
// the package does not carry (the sync table).
#pragma once

#include <cstdint>

#include "flash_cmd.h"
#include "gpt.h"
#include "slot_copy.h"  // OTA_MTD_SYSFS, OTA_NOR_SIZE_PAD

[[nodiscard]] int32_t verify_gpt_config(const char* unzip_dir);
[[nodiscard]] int32_t emmc_gpt_cmp(struct gpt_entry* gpt_entries, char** tokens);
[[nodiscard]] int32_t nor_gpt_cmp(char** tokens, uint8_t order);
[[nodiscard]] int32_t nor_gpt_info_cmp(char* info_on_file, uint8_t order, char* info_on_nor);
[[nodiscard]] int32_t part_nor_check_is_abpart(char* part_name);
[[nodiscard]] int32_t part_nor_check_update_inpkg(char* part_name);

// The NOR A/B sync table as the last check left it.
[[nodiscard]] const absync_misc_data& ota_get_nor_sync_data();
