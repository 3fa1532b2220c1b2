// mkdir -p for the work folders and the extraction destinations.
#pragma once

#include <cstdint>

// Creates newdir with its missing parents (mode 0775). 0, -1, or -104 out of memory.
[[nodiscard]] int32_t makedir(const char* newdir);
// One mkdir(dirname, 0775) with errno cleared first; its result.
[[nodiscard]] int32_t mymkdir(const char* dirname);
