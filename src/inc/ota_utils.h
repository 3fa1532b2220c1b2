// Shell commands with a verdict, and the process lock that keeps two upgrades (or an
// upgrade and a partition sync) from overlapping, also across processes.
#pragma once

#include <cstdint>

inline constexpr const char* OTA_LOCK_FILE = "/tmp/ota.lock";

// Runs cmd through the POSIX shell; 0 only for a normal exit with status 0.
[[nodiscard]] int32_t ota_system_exe(const char* cmd);

// Takes the exclusive, non-blocking lock on lock_file; 0 or -1.
[[nodiscard]] int32_t get_file_lock(char* lock_file);
// Releases the lock this process holds; -1 when none is held. lock_file only names it.
[[nodiscard]] int32_t put_file_lock(char* lock_file);

// Forgets (and closes) a held lock: for tests, between cases.
void ota_lock_reset_state();
