// File-name tests shared by the archive code and the package checks.
#pragma once

#include <cstdint>

// 1 when the text after the last '.' of the base name of `file` is exactly `cmp_name`
// (so "a.tar.zst" has the suffix "zst"), 0 when not, -1 for a null or too long name.
[[nodiscard]] int32_t is_xxx_file(const char* file, const char* cmp_name);
