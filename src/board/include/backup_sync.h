// The security partitions' main and backup copies ("HSM_FW", "HSM_RCA", "keyimage",
// "SBL" and their "_bak" twins): whether the board booted from the backups, and
// synchronising the copies in either direction. Shared by the worker, which finishes an
// interrupted main-to-backup copy before an upgrade, and the client library.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr const char* OTA_BOOTCOUNT_KEY = "mirvoboot.bootcount=";
// From this many unconfirmed boots on, the firmware boots the backup partitions.
inline constexpr int32_t OTA_BAK_BOOTCOUNT = 5;

struct ota_backup_pair_s {
  const char* main;
  const char* backup;
};
// Compared in this order.
inline constexpr std::array<ota_backup_pair_s, 4> OTA_BACKUP_PAIRS = {{
    {"HSM_FW", "HSM_FW_bak"},
    {"HSM_RCA", "HSM_RCA_bak"},
    {"keyimage", "keyimage_bak"},
    {"SBL", "SBL_bak"},
}};
// Each copy's last bytes are its own trailer and are neither compared nor copied.
inline constexpr int32_t OTA_BACKUP_TRAILER = 2048;

// 0 and *value 0 (main) or 1 (backup) as the boot count of the command line says; -1
// (logged) when the key is missing.
[[nodiscard]] int32_t ota_back_slot_from_cmdline(std::string_view cmdline, uint8_t* value);
// C linkage: the client library exports these two under their own names.
extern "C" {
// The same for the running board ("/proc/cmdline").
[[nodiscard]] int32_t ota_back_slot_stat(uint8_t* value);

// Copies every pair in `direction` ("hsm_m2b_cmd" main to backup, "hsm_b2m_cmd" backup to
// main) itself, all but each device's trailer, flushed, then compares the pair by MD5; no
// flash command is sent. 0, or the negative result of the first pair that cannot be made
// equal (-1 for an unknown direction).
[[nodiscard]] int32_t ota_sync_back_part(const char* direction);
}  // extern "C"

// --- Proofs of the main copies.
//
// The backups are the last good copies of the security firmware: a main copy is copied
// over its backup only when the road record does not mark it unproven. The worker marks a
// main unproven before its first byte is written and proven once the written range has
// passed its MD5 proof; a backup copied over its main and proven clears the mark too. A
// write that fails or is stopped leaves the mark, whatever the road does after it.

// The index of the pair whose main copy is `name` (OTA_BACKUP_PAIRS), or -1.
[[nodiscard]] int32_t ota_backup_pair_of_main(std::string_view name);
// Marks the main copy `name` unproven (true) or proven (false) in the road record; a name
// that is no pair's main needs nothing. 0, or -1 when the record cannot be written.
[[nodiscard]] int32_t ota_mark_main_unproven(std::string_view name, bool unproven);
