// One upgrade run of the worker: the package handlers by kind and boot mode, and the
// flag movements of the OTA status record that tell the boot loader and the client,
// after a reboot, how far the run got.
#pragma once

#include <cstdint>

#include "manifest.h"
#include "slot_copy.h"  // OTA_NOR_DEV

[[nodiscard]] int32_t ota_start_upgrade();
[[nodiscard]] int32_t do_app_img(const char* zip_path);
[[nodiscard]] int32_t do_system_img(const char* zip_path);
[[nodiscard]] int32_t do_param_part(const char* zip_path);
[[nodiscard]] int32_t ota_update_system_normal(const char* zip_path);
[[nodiscard]] int32_t ota_update_param_normal(const char* zip_path);

// Makes every device of the updated-partition list durable (exactly what was written:
// skipped partition-table entries are not in it), so that the status flag never says a
// partition is written while its bytes sit in a cache. 0 or -1.
[[nodiscard]] int32_t ota_flush_written_partitions(const update_part_t* parts);

// --- Recovery mode: the whole system at raw offsets of the disk and the NOR flash.

inline constexpr const char* OTA_RECOVERY_DIR = "/tmp/ota";
inline constexpr const char* OTA_BLK_DEV = "/dev/block/platform/by-name/blk";

[[nodiscard]] int32_t ota_update_system_recovery(const char* zip_path);
[[nodiscard]] int32_t ota_update_partition_force(void);
[[nodiscard]] int32_t ota_update_gpt_force(partition_info_t* gpt_main,
                                           partition_info_t* gpt_backup);
[[nodiscard]] int32_t ota_update_image_force(partition_info_t* partition_info,
                                             const char* backup_dir);
[[nodiscard]] int32_t ota_force_up_verify(partition_info_t* partition_info, uint64_t dev_offset);
[[nodiscard]] int32_t ota_set_veeprom_force(void);
[[nodiscard]] int32_t get_offset_from_file(const char* part_name, uint64_t* offset, uint64_t* end);
