// Writing one package's partitions: full image burns, incremental (patch) images, the
// partition sequence with its hook scripts, the parameter partition, and the copy of
// A/B partitions the package did not carry into the slot being updated.
#pragma once

#include <cstdint>

#include "manifest.h"
#include "partition_md5.h"
#include "progress.h"
#include "slot_copy.h"  // copy_part

inline constexpr uint64_t OTA_HPATCH_CACHE_SIZE = 33554432;  // patch engine cache, 32 MiB
inline constexpr int OTA_AB_LIST_MAX = 128;
inline constexpr int OTA_AB_NAME_LEN = 128;
inline constexpr const char* OTA_PARAM_PART = "app_param";
// The target app_param is mounted on a fresh "<parent>/<prefix>XXXXXX" of mkdtemp.
inline constexpr const char* OTA_PARAM_MOUNT_PARENT = "/tmp";
inline constexpr const char* OTA_PARAM_MOUNT_PREFIX = "ota_param.";

// --- Full images.

// Burns the entry's image from the package into the target device and proves it by MD5
// (except BAK entries and key images). HSM_FW / HSM_RCA dump the old content to
// backup_dir first. 0, or negative.
[[nodiscard]] int32_t ota_update_image(partition_info_t* partition_info, const char* backup_dir,
                                       const char* unzip_dir, const char* ota_pack_path);
// Copies img_size bytes of dev_path from dev_offset into "<backup_dir>/<part>.img". 0 or -1.
[[nodiscard]] int32_t ota_dump_partition(const char* part, const char* backup_dir,
                                         const char* dev_path, uint64_t dev_offset,
                                         uint64_t img_size);

// --- Incremental images.

// Proves the source slot holds the old image, patches it into the target slot with
// hpatchz, proves the new image. 0 or -1.
[[nodiscard]] int32_t ota_update_image_inc(partition_info_t* partition_info, const char* unzip_dir,
                                           const char* ota_pack_path);

// --- Sequence, hooks, parameter partition.

// Writes every manifest partition in order with its preinst/postinst hooks and records
// them in the updated-partition list (stored in veeprom when ab_sync). 0, or negative.
[[nodiscard]] int32_t ota_update_partitions(const char* ota_pack_path, const char* unzip_dir,
                                            bool ab_sync);
// Extracts and runs hook_file from the package when it carries one. 0 (run or absent), -1.
[[nodiscard]] int32_t ota_run_hook(const char* ota_pack_path, const char* unzip_dir,
                                   const char* hook_file);
// Mounts the target app_param, runs "<unzip_dir>/param_update.sh" on it, unmounts, and
// records app_param. Nothing stays mounted on failure. 0, or negative.
[[nodiscard]] int32_t ota_update_param_part(const char* unzip_dir);

// Appends one written partition to the list (name cut to 31 characters). -1 when the
// list is full: a 33rd entry would overrun the record stored in veeprom.
[[nodiscard]] int32_t ota_append_update_part(update_part_t* parts, const char* name,
                                             ota_medium_e medium, ota_part_type_e type);

// --- A/B copies.

// Copies every eMMC A/B partition missing from the updated-partition list from the running
// slot into the slot being updated, and proves each copy. 0 or -1.
[[nodiscard]] int32_t copy_unupgraded_ab_parts();
// Base names (suffix "_a"/"_b" removed) of the eMMC partition table, distinct, in table
// order, into a zeroed list. 0 or -1.
[[nodiscard]] int32_t get_all_ab_partitions(char abparts[OTA_AB_LIST_MAX][OTA_AB_NAME_LEN]);
