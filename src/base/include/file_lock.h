// The process lock that keeps two upgrades (or an upgrade and a partition sync) from
// overlapping, also across processes.
#pragma once

#include <cstdint>

inline constexpr const char* OTA_LOCK_FILE = "/tmp/ota.lock";

// Takes the exclusive, non-blocking lock on lock_file; 0 or -1.
[[nodiscard]] int32_t get_file_lock(char* lock_file);
// Releases the lock this process holds; -1 when none is held. lock_file only names it.
[[nodiscard]] int32_t put_file_lock(char* lock_file);

// The descriptor of the lock this process holds, -1 when none. It is close-on-exec: a
// launch hands it to the worker alone (the lock is the open file's, so the worker keeps
// it held for as long as it runs, even when its client dies first).
[[nodiscard]] int ota_held_lock_fd();

// Forgets (and closes) a held lock: for tests, between cases.
void ota_lock_reset_state();
