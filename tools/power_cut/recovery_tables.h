// What turns a package made by the packager into the form the recovery-mode rewrite
// reads: gpt.conf counted in 512-byte sectors, and the disk's partition tables carried as
// PERMANENT eMMC members that the rewrite writes and proves.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <string>

namespace ota_road {

inline constexpr uint64_t kTableSector = 512;
inline constexpr uint64_t kMainTableLen = 34 * kTableSector;    // protective MBR, header, entries
inline constexpr uint64_t kBackupTableLen = 33 * kTableSector;  // entries, backup header

// gpt.conf ("NAME:FIRST:LAST:..." in bytes, LAST the last byte) in sectors.
std::string gpt_conf_in_sectors(const std::string& conf);

// Adds the table `bytes` as member NAME.img of the manifest `root`, its image written
// into `dir` and its digest and scope filled in.
void add_table_member(cJSON* root, const std::string& dir, const std::string& name,
                      const std::string& bytes);

}  // namespace ota_road
