// One package's partitions written in manifest order with their hook scripts, and the
// list of the partitions this run wrote.
#pragma once

#include <cstdint>

#include "manifest.h"

// Writes every manifest partition in order with its preinst/postinst hooks and records
// them in the updated-partition list (stored in veeprom when ab_sync). 0, or negative.
[[nodiscard]] int32_t ota_update_partitions(const char* ota_pack_path, const char* unzip_dir,
                                            bool ab_sync);
// Extracts and runs hook_file from the package when it carries one. 0 (run or absent), -1.
[[nodiscard]] int32_t ota_run_hook(const char* ota_pack_path, const char* unzip_dir,
                                   const char* hook_file);
// The process-wide list of partitions written by this run (g_update_part); the
// orchestration clears it before the first handler.
[[nodiscard]] update_part_t* get_update_part();
// Appends one written partition to the list (name cut to 31 characters). -1 when the
// list is full: a 33rd entry would overrun the record stored in veeprom.
[[nodiscard]] int32_t ota_append_update_part(update_part_t* parts, const char* name,
                                             ota_medium_e medium, ota_part_type_e type);
