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

// The descriptor of the lock this process holds, -1 when none. It is close-on-exec: a
// launch hands it to the worker alone (the lock is the open file's, so the worker keeps
// it held for as long as it runs, even when its client dies first).
[[nodiscard]] int ota_held_lock_fd();

// Marks every descriptor above 2 close-on-exec: for a process started with descriptors it
// keeps for itself (the worker holds the lock it was handed) but passes to no program it
// runs. 0 or -1 with errno set.
[[nodiscard]] int ota_keep_descriptors_to_self();

// Forgets (and closes) a held lock: for tests, between cases.
void ota_lock_reset_state();
