// Whole-device MD5 comparison: the proof that a copy between two partitions took.
#pragma once

#include <cstdint>

// Hashes each device over its own size less `garbage` trailing bytes and compares the
// digests. 0 when equal, -1 for a difference, a missing path or an unreadable device.
[[nodiscard]] int32_t ota_check_two_partition_md5(const char* partition1_path,
                                                  const char* partition2_path, int32_t garbage);
