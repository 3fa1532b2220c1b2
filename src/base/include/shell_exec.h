// Shell commands with a verdict, and the descriptors a process hands to the programs it runs.
#pragma once

#include <cstdint>

// Runs cmd through the POSIX shell; 0 only for a normal exit with status 0.
[[nodiscard]] int32_t ota_system_exe(const char* cmd);

// Marks every descriptor above 2 close-on-exec: for a process started with descriptors it
// keeps for itself (the worker holds the lock it was handed) but passes to no program it
// runs. 0 or -1 with errno set.
[[nodiscard]] int ota_keep_descriptors_to_self();
