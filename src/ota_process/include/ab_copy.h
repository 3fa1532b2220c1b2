// The A/B partitions (eMMC and NOR) a run did not write, copied from the running slot into
// the slot being updated and proven.
#pragma once

#include <cstdint>

inline constexpr int OTA_AB_LIST_MAX = 128;
inline constexpr int OTA_AB_NAME_LEN = 128;

// Copies every eMMC A/B partition missing from the updated-partition list from the running
// slot into the slot being updated, and proves each copy. 0 or -1.
[[nodiscard]] int32_t copy_unupgraded_ab_parts();
// Base names (suffix "_a"/"_b" removed) of the eMMC partition table, distinct, in table
// order, into a zeroed list. 0 or -1.
[[nodiscard]] int32_t get_all_ab_partitions(char abparts[OTA_AB_LIST_MAX][OTA_AB_NAME_LEN]);
// Copies every NOR A/B partition this run did not write from the running slot into the
// slot being updated, unless the manifest's ab_sync switches the copies off. 0 or -1.
[[nodiscard]] int32_t ota_nor_ab_sync(void);
