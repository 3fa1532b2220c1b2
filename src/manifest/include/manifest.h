// The package manifest data.json: what to write, where, how, and the digests that prove
// it. One parsed record per worker process, read by every later step of an update.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ota_types.h"
#include "veeprom_flag.h"

struct cJSON;

inline constexpr int OTA_MAX_PARTITIONS = 32;
inline constexpr int OTA_PART_NAME_LEN = 32;  // 31 characters and the terminator
inline constexpr int OTA_PART_FILE_LEN = 64;  // 63 characters and the terminator
inline constexpr int OTA_MD5_STR_LEN = 33;    // 32 hex characters and the terminator
inline constexpr int OTA_MD5_ENTRIES = 2;     // entry 0: image or old content, 1: new content
inline constexpr int OTA_JSON_STR_LEN = 128;  // string items: 127 characters at most

inline constexpr int32_t OTA_MEDIUM_NUM = 2;
inline constexpr int32_t OTA_PART_TYPE_NUM = 4;
inline constexpr int32_t UPGRADE_METHOD_NUM = 4;

enum info_type : uint32_t {
  OTA_INFO_MEDIUM = 0,
  OTA_INFO_METHOD = 1,
  OTA_INFO_TYPE = 2,
  OTA_INFO_MAX = 3,
  OTA_INFO_CLASS = 4,
};

struct partition_info_t {
  uint64_t img_size;       // filled by the manifest consistency check
  uint32_t have_anti_ver;  // the image carries an anti-rollback version
  ota_medium_e medium;
  ota_part_type_e type;
  upgrade_method method;
  char part_name[OTA_PART_NAME_LEN];
  char part_file[OTA_PART_FILE_LEN];
  char md5[OTA_MD5_ENTRIES][OTA_MD5_STR_LEN];
  uint64_t md5_scope[OTA_MD5_ENTRIES];
};

struct update_info_t {
  int32_t parse_flag;
  int32_t hsm_up_flag;
  int32_t host_up_flag;
  char sys_ver[256];
  char old_sys_ver[256];
  char update_partition[OTA_MAX_PARTITIONS][OTA_PART_NAME_LEN];
  char backup_dir[OTA_JSON_STR_LEN];
  int32_t update_size;
  uint8_t diff_flag;
  int32_t ab_sync;
  int32_t nor_sign;
  int32_t non_pcv;
  partition_info_t partition_info[OTA_MAX_PARTITIONS];
};

[[nodiscard]] int32_t ota_parse_config_file(char* json_file);
[[nodiscard]] int ota_parse_json(const char* filebuf);
[[nodiscard]] int32_t ota_get_part_info(cJSON* partition_info_item, cJSON* array_item);
[[nodiscard]] int32_t parse_md5_config(cJSON* part_item, uint32_t partition_index,
                                       const char* name);
[[nodiscard]] int ota_json_int_item_parse(const cJSON* json_root, const char* item_name,
                                          int* result);
[[nodiscard]] int32_t ota_json_str_item_parse(const cJSON* json_root, const char* item_name,
                                              char* out_str);
[[nodiscard]] int32_t ota_info_str2int(char* str, enum info_type info);
[[nodiscard]] int32_t get_str_index(char** str_array, int arr_len, char* str);

// The parsed manifest, or null (with an error line) while none has been parsed.
[[nodiscard]] update_info_t* ota_get_config_info();
// Whether a manifest has been parsed in this process, without the error line.
[[nodiscard]] bool ota_config_parsed();
// Bytes the progress percentage is based on: first scope of every partition parsed.
[[nodiscard]] uint64_t get_total_size();
// nor_sign of the manifest being parsed; the image-name expander reads it mid-parse.
[[nodiscard]] int32_t ota_manifest_nor_sign();

// 0 when an unpacked parameter package is usable, else 1.
[[nodiscard]] int32_t ota_verify_param_package(const char* unzip_dir);

// Clears the manifest and the total size: for tests, between cases.
void manifest_reset_state();
