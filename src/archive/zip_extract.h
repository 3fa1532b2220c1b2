// What the archive dispatch needs of the zip reader beyond kx_zip.h.
#pragma once

#include <cstdint>

#include "extract_path.h"

// Every member of the zip src into dest (created with its parents when missing), spending
// from budget. 0 or -1.
[[nodiscard]] int32_t unzip_into_dir(const char* src, const char* dest, ota::ExtractBudget* budget);
