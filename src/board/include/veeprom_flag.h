// The engine's state across reboots, kept in the raw veeprom partition: the OTA status
// record (where an update stands, who started it, the slot expected next, the partitions
// written) and, separately, the anti-rollback versions of the installed images. Both
// carry a CRC-32, so a blank or damaged partition is recognised and replaced by defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "device_io.h"
#include "le_bytes.h"
#include "ota_types.h"

inline constexpr const char* OTA_VEEPROM_PART = "veeprom";
inline constexpr uint32_t OTA_STATUS_MAGIC = 0x4F544153;  // "SATO" on disk
inline constexpr uint32_t OTA_STATUS_OFFSET = 1024;       // 0x400 in the partition
inline constexpr uint32_t OTA_ANTI_VER_OFFSET = 3200;     // 0xC80 in the partition
inline constexpr size_t OTA_UPDATE_PART_MAX = 32;
inline constexpr size_t OTA_UPDATE_PART_NAME_LEN = 32;

enum ota_veeprom_type_e : uint32_t {
  OTA_VEEPROM_UPDATE_FLAG = 0,
  OTA_VEEPROM_SYS_UPDATE_FLAG = 1,
  OTA_VEEPROM_BAK_UPDATE_FLAG = 2,
  OTA_VEEPROM_MIDDLEWARE_UPDATE_FLAG = 3,
  OTA_VEEPROM_APP_UPDATE_FLAG = 4,
  OTA_VEEPROM_PARAM_UPDATE_FLAG = 5,
  OTA_VEEPROM_OWNER = 6,
  OTA_VEEPROM_EXPE_SLOT = 7,
  OTA_VEEPROM_PART_ARRAY = 8,
  OTA_VEEPROM_SPLIT = 9,
  OTA_VEEPROM_RECOVERY_STATUS = 10,
  OTA_VEEPROM_ANTI_VER = 11,
};

// Partitions written by the last update (defined in mirvo_ota_ll.h): the layout the
// status record stores.
static_assert(sizeof(ota_medium_e) == 4 && sizeof(ota_part_type_e) == 4);
static_assert(sizeof(update_part_t) == 1284);
static_assert(sizeof(update_part_t::array) == OTA_UPDATE_PART_MAX * OTA_UPDATE_PART_NAME_LEN);
static_assert(offsetof(update_part_t, num) == 0);
static_assert(offsetof(update_part_t, array) == 4);
static_assert(offsetof(update_part_t, medium) == 1028);
static_assert(offsetof(update_part_t, type) == 1156);
static_assert(std::is_trivially_copyable_v<update_part_t>);

// The OTA status record, 1356 bytes at veeprom offset 1024.
struct ota_status_t {
  uint32_t magic;
  ota_update_flag_e up;
  ota_update_flag_e up_system;
  ota_update_flag_e up_backup;
  ota_update_flag_e up_app;
  ota_update_flag_e up_middleware;
  ota_update_flag_e up_param;
  ota_update_owner_e owner;
  uint32_t next_slot;
  update_part_t update_part;
  uint8_t reserved[32];
  uint32_t crc32_le;
};
static_assert(sizeof(ota_status_t) == 1356);
static_assert(offsetof(ota_status_t, magic) == 0);
static_assert(offsetof(ota_status_t, up) == 4);
static_assert(offsetof(ota_status_t, up_system) == 8);
static_assert(offsetof(ota_status_t, up_backup) == 12);
static_assert(offsetof(ota_status_t, up_app) == 16);
static_assert(offsetof(ota_status_t, up_middleware) == 20);
static_assert(offsetof(ota_status_t, up_param) == 24);
static_assert(offsetof(ota_status_t, owner) == 28);
static_assert(offsetof(ota_status_t, next_slot) == 32);
static_assert(offsetof(ota_status_t, update_part) == 36);
static_assert(offsetof(ota_status_t, reserved) == 1320);
static_assert(offsetof(ota_status_t, crc32_le) == 1352);
static_assert(std::is_trivially_copyable_v<ota_status_t>);
inline constexpr size_t OTA_STATUS_CRC_LEN = offsetof(ota_status_t, crc32_le);  // 1352

// The anti-rollback record, 16 bytes at veeprom offset 3200.
struct antirollback_ver_t {
  uint8_t hsm_up_flag;
  uint8_t host_up_flag;
  uint8_t padding[2];
  uint32_t hsm_ver;
  uint32_t host_ver;
  uint32_t crc32_le;
};
static_assert(sizeof(antirollback_ver_t) == 16);
static_assert(offsetof(antirollback_ver_t, hsm_up_flag) == 0);
static_assert(offsetof(antirollback_ver_t, host_up_flag) == 1);
static_assert(offsetof(antirollback_ver_t, padding) == 2);
static_assert(offsetof(antirollback_ver_t, hsm_ver) == 4);
static_assert(offsetof(antirollback_ver_t, host_ver) == 8);
static_assert(offsetof(antirollback_ver_t, crc32_le) == 12);
static_assert(std::is_trivially_copyable_v<antirollback_ver_t>);
inline constexpr size_t OTA_ANTI_VER_CRC_LEN = offsetof(antirollback_ver_t, crc32_le);  // 12

// --- Codecs (little-endian on the medium). They fail only when the span is too short.

[[nodiscard]] inline bool encode(const update_part_t& parts, std::span<uint8_t> out) {
  if (out.size() < sizeof(parts)) {
    return false;
  }
  std::memcpy(out.data(), &parts, sizeof(parts));
  ota::store_le32(out.data(), parts.num);
  ota::store_le32_words(out.data() + offsetof(update_part_t, medium), parts.medium,
                        OTA_UPDATE_PART_MAX * 2);  // medium[] then type[]
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, update_part_t* parts) {
  if (parts == nullptr || in.size() < sizeof(*parts)) {
    return false;
  }
  std::memcpy(parts, in.data(), sizeof(*parts));
  parts->num = ota::load_le32(in.data());
  ota::load_le32_words(in.data() + offsetof(update_part_t, medium), parts->medium,
                       OTA_UPDATE_PART_MAX * 2);
  return true;
}

[[nodiscard]] inline bool encode(const ota_status_t& status, std::span<uint8_t> out) {
  if (out.size() < sizeof(status)) {
    return false;
  }
  std::memcpy(out.data(), &status, sizeof(status));
  // magic .. next_slot are nine consecutive 32-bit words.
  ota::store_le32_words(out.data(), &status, offsetof(ota_status_t, update_part) / 4);
  (void)encode(status.update_part, out.subspan(offsetof(ota_status_t, update_part)));
  ota::store_le32(out.data() + offsetof(ota_status_t, crc32_le), status.crc32_le);
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, ota_status_t* status) {
  if (status == nullptr || in.size() < sizeof(*status)) {
    return false;
  }
  std::memcpy(status, in.data(), sizeof(*status));
  ota::load_le32_words(in.data(), status, offsetof(ota_status_t, update_part) / 4);
  (void)decode(in.subspan(offsetof(ota_status_t, update_part)), &status->update_part);
  status->crc32_le = ota::load_le32(in.data() + offsetof(ota_status_t, crc32_le));
  return true;
}

[[nodiscard]] inline bool encode(const antirollback_ver_t& ver, std::span<uint8_t> out) {
  if (out.size() < sizeof(ver)) {
    return false;
  }
  std::memcpy(out.data(), &ver, sizeof(ver));
  ota::store_le32_words(out.data() + offsetof(antirollback_ver_t, hsm_ver), &ver.hsm_ver, 3);
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, antirollback_ver_t* ver) {
  if (ver == nullptr || in.size() < sizeof(*ver)) {
    return false;
  }
  std::memcpy(ver, in.data(), sizeof(*ver));
  ota::load_le32_words(in.data() + offsetof(antirollback_ver_t, hsm_ver), &ver->hsm_ver, 3);
  return true;
}

// CRC32 over the checksummed bytes of each record as they lie on the medium.
[[nodiscard]] uint32_t ota_status_crc(const ota_status_t& status);
[[nodiscard]] uint32_t antirollback_crc(const antirollback_ver_t& ver);

// --- Raw partition access (offsets within the veeprom partition).

[[nodiscard]] int32_t ota_read_from_veeprom(char* buffer, uint32_t buffer_len, uint32_t offset);
[[nodiscard]] int32_t ota_write_to_veeprom(const char* buffer, uint32_t buffer_len,
                                           uint32_t offset);

// --- Status record.

[[nodiscard]] int32_t crc32_calculate(ota_status_t* status);
[[nodiscard]] int32_t is_ota_status_valid(ota_status_t* status);
[[nodiscard]] int32_t ota_init_status(ota_status_t* status);

[[nodiscard]] int32_t ota_set_veeprom_flag(ota_veeprom_type_e flag, uint32_t* value);
[[nodiscard]] int32_t ota_get_veeprom_flag(ota_veeprom_type_e flag, uint32_t* value);

[[nodiscard]] int32_t ota_set_up_status(ota_update_flag_e status);
[[nodiscard]] int32_t ota_get_up_status(ota_update_flag_e* status);
[[nodiscard]] int32_t ota_set_system_up_status(ota_update_flag_e status);
[[nodiscard]] int32_t ota_get_system_up_status(ota_update_flag_e* status);
[[nodiscard]] int32_t ota_set_backup_up_status(ota_update_flag_e status);
[[nodiscard]] int32_t ota_get_backup_up_status(ota_update_flag_e* status);
[[nodiscard]] int32_t ota_set_middleware_up_status(ota_update_flag_e status);
[[nodiscard]] int32_t ota_get_middleware_up_status(ota_update_flag_e* status);
[[nodiscard]] int32_t ota_set_app_up_status(ota_update_flag_e status);
[[nodiscard]] int32_t ota_get_app_up_status(ota_update_flag_e* status);
[[nodiscard]] int32_t ota_set_param_up_status(ota_update_flag_e status);
[[nodiscard]] int32_t ota_get_param_up_status(ota_update_flag_e* status);
[[nodiscard]] int32_t ota_set_owner(ota_update_owner_e owner);
[[nodiscard]] int32_t ota_get_owner(ota_update_owner_e* owner);
[[nodiscard]] int32_t ota_set_next_slot(uint32_t slot);
[[nodiscard]] int32_t ota_get_next_slot(uint32_t* slot);
[[nodiscard]] int32_t ota_set_part_array(update_part_t* parts);
[[nodiscard]] int32_t ota_get_part_array(update_part_t* parts);

// --- Anti-rollback record.

[[nodiscard]] int32_t ota_set_anti_ver_veeprom(antirollback_ver_t* ver);
[[nodiscard]] int32_t ota_get_anti_ver_veeprom(antirollback_ver_t* ver);

// --- Whole records.

[[nodiscard]] int32_t ota_set_veeprom_flag_default();
[[nodiscard]] int32_t ota_write_to_veeprom_force(ota_status_t* status,
                                                 ota_file_info_t* veeprom_info);

// The owner last written through OTA_VEEPROM_OWNER in this process (NORMAL_BOOT before).
[[nodiscard]] ota_update_owner_e ota_process_owner();
// Forgets the process owner: for tests, between cases.
void veeprom_flag_reset_state();
