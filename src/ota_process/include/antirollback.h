// Image checks before a system update: the manifest agrees with itself, and no image is
// older, in anti-rollback terms, than what the board has accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "efuse.h"
#include "manifest.h"
#include "ota_types.h"
#include "veeprom_flag.h"

// First 48 bytes of a NOR image (little-endian): version and CRC16 of bytes 0..45.
struct flash_header {
  uint8_t tag;
  uint8_t reserved_1;
  uint16_t ver;
  uint8_t reserved_2[42];
  uint16_t crc16_le;
};
static_assert(sizeof(flash_header) == 48);
static_assert(offsetof(flash_header, tag) == 0);
static_assert(offsetof(flash_header, reserved_1) == 1);
static_assert(offsetof(flash_header, ver) == 2);
static_assert(offsetof(flash_header, reserved_2) == 4);
static_assert(offsetof(flash_header, crc16_le) == 46);
static_assert(std::is_trivially_copyable_v<flash_header>);

inline constexpr size_t OTA_FLASH_HEADER_CRC_LEN = 46;
inline constexpr const char* OTA_AVB_MAGIC = "AVB0";
inline constexpr int64_t OTA_AVB_ROLLBACK_OFFSET = 112;

[[nodiscard]] int32_t ota_verify_system_image(const char* unzip_dir);
[[nodiscard]] int prepare_antirollback_ver(const update_info_t* update_info, const char* zip_path);
// Checks that no image is older than the board allows and keeps the versions for
// record_antirollback_version; writes nothing. 0 or -1.
[[nodiscard]] int32_t verify_antirollback_version(const char* unzip_dir);
// Stores the versions of the last successful check in veeprom, for the sync to commit.
// Called only once the road record names the update they belong to: written earlier, a
// stop before that record would hand them to the update still on the road. 0 or negative.
[[nodiscard]] int32_t record_antirollback_version();
[[nodiscard]] int32_t get_image_antirollback(antirollback_ver_t* ver, const char* unzip_dir);
[[nodiscard]] int32_t read_image_anti_ver(const char* image_name, ota_medium_e medium,
                                          uint32_t* value, const char* unzip_dir);
[[nodiscard]] int32_t read_flash_img_anti_ver(const char* img_file_path, uint64_t* ver);
[[nodiscard]] int32_t read_avb_img_anti_ver(const char* img_file_path, uint64_t* ver);
