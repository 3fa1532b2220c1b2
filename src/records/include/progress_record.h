// The 72-byte progress record the worker sends on the FIFO at every change and the
// client's reader thread receives: its layout and its one codec, used by both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ota_types.h"

inline constexpr size_t OTA_PROGRESS_NAME_LEN = 64;  // 63 characters and the terminator

struct ota_upgrade_info {
  char part_name[OTA_PROGRESS_NAME_LEN];
  ota_update_result_e result;
  uint32_t progress;
};
static_assert(sizeof(ota_upgrade_info) == 72);
static_assert(offsetof(ota_upgrade_info, part_name) == 0);
static_assert(offsetof(ota_upgrade_info, result) == 64);
static_assert(offsetof(ota_upgrade_info, progress) == 68);
static_assert(std::is_trivially_copyable_v<ota_upgrade_info>);

inline constexpr size_t OTA_PROGRESS_RECORD_SIZE = sizeof(ota_upgrade_info);

// The record's wire image (little-endian words) and back. The decoder terminates the
// name in its last byte, so a record from a faulty writer never yields an open string.
void ota_upgrade_info_encode(const ota_upgrade_info& info, uint8_t out[OTA_PROGRESS_RECORD_SIZE]);
[[nodiscard]] ota_upgrade_info ota_upgrade_info_decode(const uint8_t in[OTA_PROGRESS_RECORD_SIZE]);
