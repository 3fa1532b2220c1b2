#include "manifest.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device_io.h"
#include "image_names.h"
#include "ota_log.h"
#include "path_safety.h"
#include "unique_fd.h"

namespace {

update_info_t g_update_info{};
uint64_t g_total_size = 0;

// Name tables: the row index is the value stored in the record.
const char* g_ota_medium[] = {"nor", "emmc"};
const char* g_ota_part_type[] = {"GOLDEN", "AB", "BAK", "PERMANENT"};
const char* g_ota_upgrade_methed[] = {"image", "image_diff", "file", "file_diff", "clone"};

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using UniqueJson = std::unique_ptr<cJSON, JsonDeleter>;

// Copies text that is known to fit (checked by the caller) and zero-pads the rest.
void copy_text(char* dst, size_t dst_size, const char* src) {
  std::memset(dst, 0, dst_size);
  std::strncpy(dst, src, dst_size - 1);
}

// An optional number-or-boolean key: absent leaves *out as it is.
int parse_optional_int(const cJSON* root, const char* key, int* out) {
  if (cJSON_GetObjectItem(root, key) == nullptr) {
    return 0;
  }
  if (ota_json_int_item_parse(root, key, out) != 0) {
    OTA_LOG_ERR("Parse config %s failed\n", key);
    return -1;
  }
  return 0;
}

// An optional string key into a 256-byte field: the reader fills 128 bytes of it.
int parse_optional_str(const cJSON* root, const char* key, char* out) {
  if (cJSON_GetObjectItem(root, key) == nullptr) {
    return 0;
  }
  if (ota_json_str_item_parse(root, key, out) != 0) {
    OTA_LOG_ERR("Parse config %s failed\n", key);
    return -1;
  }
  return 0;
}

int parse_top_level(const cJSON* root) {
  update_info_t& info = g_update_info;
  if (parse_optional_int(root, "antirollbackUpdate_host", &info.host_up_flag) != 0 ||
      parse_optional_int(root, "antirollbackUpdate_hsm", &info.hsm_up_flag) != 0) {
    return -1;
  }
  info.diff_flag = 0;
  if (parse_optional_str(root, "sys_version", info.sys_ver) != 0 ||
      parse_optional_str(root, "old_sys_version", info.old_sys_ver) != 0 ||
      parse_optional_str(root, "backup_dir", info.backup_dir) != 0) {
    return -1;
  }
  // backup_dir is a directory on the board; a ".." in it would send partition dumps
  // wherever the package wants.
  if (!has_no_parent_component(info.backup_dir)) {
    OTA_LOG_ERR("Error: backup_dir %s must not contain '..'\n", info.backup_dir);
    return -1;
  }
  info.ab_sync = 0;
  if (parse_optional_int(root, "ab_sync", &info.ab_sync) != 0 ||
      parse_optional_int(root, "nor_sign", &info.nor_sign) != 0) {
    return -1;
  }
  if (ota_set_bd_secure(info.nor_sign) != 0) {
    OTA_LOG_ERR("unable to set bd_secure\n");
    return -1;
  }
  info.non_pcv = 0;
  return parse_optional_int(root, "non_pcv", &info.non_pcv);
}

// Reads an enumerated string member and maps it through its name table; -1 after the
// reader's message, or the row index (possibly -1 or out of the enum's range).
int32_t parse_enum_member(const cJSON* part, const char* key, info_type table, int32_t* value) {
  char text[OTA_JSON_STR_LEN] = {};
  if (ota_json_str_item_parse(part, key, text) != 0) {
    return -1;
  }
  *value = ota_info_str2int(text, table);
  return 0;
}

int32_t parse_part_enums(const cJSON* part, partition_info_t* entry) {
  int32_t value = -1;
  if (parse_enum_member(part, "medium", OTA_INFO_MEDIUM, &value) != 0) {
    return -1;
  }
  if (value < 0 || value >= OTA_MEDIUM_NUM) {
    OTA_LOG_ERR("Unknown medium config\n");
    return -1;
  }
  entry->medium = static_cast<ota_medium_e>(value);
  if (parse_enum_member(part, "part_type", OTA_INFO_TYPE, &value) != 0) {
    return -1;
  }
  if (value < 0 || value >= OTA_PART_TYPE_NUM) {
    OTA_LOG_ERR("Unknown part_type config\n");
    return -1;
  }
  entry->type = static_cast<ota_part_type_e>(value);
  if (parse_enum_member(part, "upgrade_method", OTA_INFO_METHOD, &value) != 0) {
    return -1;
  }
  if (value < 0 || value >= UPGRADE_METHOD_NUM) {
    OTA_LOG_ERR("Unknown upgrade_method config\n");
    return -1;
  }
  entry->method = static_cast<upgrade_method>(value);
  return 0;
}

// "imgname": the template, expanded into part_file. The expansion reads from a 64-byte
// buffer, so a longer template cannot be expanded faithfully and is refused.
int32_t parse_imgname(const cJSON* part, partition_info_t* entry) {
  const cJSON* item = cJSON_GetObjectItem(part, "imgname");
  if (item == nullptr || !cJSON_IsString(item) || item->valuestring == nullptr) {
    OTA_LOG_ERR("parse json update partition fail!\n");
    return -1;
  }
  const size_t len = std::strlen(item->valuestring);
  if (len >= OTA_JSON_STR_LEN || len >= static_cast<size_t>(OTA_PART_FILE_LEN)) {
    OTA_LOG_ERR("Error: imgname_item->valuestring %s is illegal !\n", item->valuestring);
    return -1;
  }
  char tmpl[OTA_PART_FILE_LEN] = {};
  copy_text(tmpl, sizeof(tmpl), item->valuestring);
  if (format_imgname(tmpl, entry->part_file, OTA_PART_FILE_LEN) != 0) {
    OTA_LOG_ERR("Invalid imgname %s\n", tmpl);
    return -1;
  }
  // The name is joined to the unzip directory for every read and write of the image.
  if (!is_contained_name(entry->part_file)) {
    OTA_LOG_ERR("Error: image name %s must be relative and without '..'\n", entry->part_file);
    return -1;
  }
  return 0;
}

int32_t parse_one_partition(cJSON* partition_info_item, const cJSON* name_item, int i) {
  update_info_t& info = g_update_info;
  if (name_item == nullptr || !cJSON_IsString(name_item) || name_item->valuestring == nullptr) {
    OTA_LOG_ERR("parse json update partition fail!\n");
    return -1;
  }
  const char* name = name_item->valuestring;
  if (std::strlen(name) > OTA_PART_NAME_LEN - 1) {
    OTA_LOG_ERR("Error: item->valuestring %s is illegal !\n", name);
    return -1;
  }
  partition_info_t* entry = &info.partition_info[i];
  copy_text(info.update_partition[i], OTA_PART_NAME_LEN, name);
  copy_text(entry->part_name, OTA_PART_NAME_LEN, name);
  cJSON* part = cJSON_GetObjectItem(partition_info_item, name);
  if (parse_part_enums(part, entry) != 0 || parse_imgname(part, entry) != 0) {
    return -1;
  }
  if (parse_md5_config(part, static_cast<uint32_t>(i), entry->part_file) != 0) {
    OTA_LOG_ERR("Parse md5 config failed\n");
    return -1;
  }
  // Optional: marks an image that carries an anti-rollback version (flash header or
  // AVB rollback index), so that the pre-flight check reads it.
  int have_anti_ver = 0;
  if (parse_optional_int(part, "have_anti_ver", &have_anti_ver) != 0) {
    return -1;
  }
  entry->have_anti_ver = have_anti_ver != 0 ? 1 : 0;
  if (entry->method == IMAGE_DIFF_UP) {
    info.diff_flag = 1;
  }
  OTA_LOG_INFO("image name:%s, md5:%s, type:%d medium:%d,method:%d, md5 size:0x%lx 0x%lx\n",
               entry->part_file, entry->md5[0], entry->type, entry->medium, entry->method,
               static_cast<unsigned long>(entry->md5_scope[0]),
               static_cast<unsigned long>(entry->md5_scope[1]));
  g_total_size += entry->md5_scope[0];
  return 0;
}

// A JSON number as a byte count: the record holds unsigned 64-bit values, and a negative,
// fractional-overflowing or non-finite number has no meaning as a scope.
bool scope_from_number(double value, uint64_t* out) {
  if (!std::isfinite(value) || value < 0 || value >= 18446744073709551616.0) {
    return false;
  }
  *out = static_cast<uint64_t>(value);
  return true;
}

int32_t store_md5(uint32_t index, int slot, const cJSON* value, const char* key) {
  if (!cJSON_IsString(value) || value->valuestring == nullptr ||
      std::strlen(value->valuestring) > OTA_MD5_STR_LEN - 1) {
    OTA_LOG_ERR("Error: md5 %s is illegal !\n", key);
    return -1;
  }
  copy_text(g_update_info.partition_info[index].md5[slot], OTA_MD5_STR_LEN, value->valuestring);
  return 0;
}

int32_t store_scope(uint32_t index, int slot, const cJSON* value, bool non_number_is_zero,
                    const char* key) {
  uint64_t scope = 0;
  if (cJSON_IsNumber(value)) {
    if (!scope_from_number(value->valuedouble, &scope)) {
      OTA_LOG_ERR("Error: md5_scope %s is illegal !\n", key);
      return -1;
    }
  } else if (!non_number_is_zero) {
    OTA_LOG_ERR("Error: md5_scope %s is illegal !\n", key);
    return -1;
  }
  g_update_info.partition_info[index].md5_scope[slot] = scope;
  return 0;
}

int32_t md5_array(const cJSON* array, uint32_t index) {
  const int n = cJSON_GetArraySize(array);
  if (n > OTA_MD5_ENTRIES) {
    OTA_LOG_ERR("Error: md5sum has %d entries, at most %d\n", n, OTA_MD5_ENTRIES);
    return -1;
  }
  for (int k = 0; k < n; ++k) {
    const cJSON* item = cJSON_GetArrayItem(array, k);
    if (item == nullptr || cJSON_GetStringValue(item) == nullptr) {
      OTA_LOG_ERR("get md5 node failed\n");
      continue;
    }
    if (store_md5(index, k, item, "md5sum") != 0) {
      return -1;
    }
  }
  return 0;
}

int32_t scope_array(const cJSON* array, uint32_t index) {
  const int n = cJSON_GetArraySize(array);
  if (n > OTA_MD5_ENTRIES) {
    OTA_LOG_ERR("Error: md5_scope has %d entries, at most %d\n", n, OTA_MD5_ENTRIES);
    return -1;
  }
  for (int k = 0; k < n; ++k) {
    if (store_scope(index, k, cJSON_GetArrayItem(array, k), true, "md5_scope") != 0) {
      return -1;
    }
  }
  return 0;
}

bool key_matches(const char* key, const char* name, const std::string& old_key,
                 const std::string& new_key) {
  return std::strncmp(key, name, 64) == 0 || std::strncmp(key, old_key.c_str(), 64) == 0 ||
         std::strncmp(key, new_key.c_str(), 64) == 0;
}

// Object shape: members named after the image fill the entries in document order.
int32_t md5_object(const cJSON* object, uint32_t index, const char* name, bool is_md5) {
  const std::string old_key = std::string("old_") + name;
  const std::string new_key = std::string("new_") + name;
  int slot = 0;
  for (const cJSON* member = object->child; member != nullptr; member = member->next) {
    if (member->string == nullptr || !key_matches(member->string, name, old_key, new_key)) {
      continue;
    }
    if (slot >= OTA_MD5_ENTRIES) {
      OTA_LOG_ERR("Error: more than %d %s members for %s\n", OTA_MD5_ENTRIES,
                  is_md5 ? "md5sum" : "md5_scope", name);
      return -1;
    }
    const int32_t ret = is_md5 ? store_md5(index, slot, member, member->string)
                               : store_scope(index, slot, member, false, member->string);
    if (ret != 0) {
      return -1;
    }
    ++slot;
  }
  if (slot == 0) {
    if (is_md5) {
      OTA_LOG_ERR("Cannot found %s md5\n", name);
    } else {
      OTA_LOG_ERR("Cannot found %s md5scope\n", name);
    }
    return -1;
  }
  return 0;
}

int32_t parse_digest_key(const cJSON* part, uint32_t index, const char* name, bool is_md5) {
  const cJSON* item = cJSON_GetObjectItem(part, is_md5 ? "md5sum" : "md5_scope");
  if (cJSON_IsArray(item)) {
    return is_md5 ? md5_array(item, index) : scope_array(item, index);
  }
  if (cJSON_IsObject(item)) {
    return md5_object(item, index, name, is_md5);
  }
  return -1;
}

}  // namespace

int ota_json_int_item_parse(const cJSON* json_root, const char* item_name, int* result) {
  if (result == nullptr) {
    return -1;
  }
  const cJSON* item = cJSON_GetObjectItem(json_root, item_name);
  if (item == nullptr) {
    OTA_LOG_ERR("Cannot find %s\n", item_name);
    return -1;
  }
  if (cJSON_IsBool(item)) {
    *result = cJSON_IsTrue(item) ? 1 : 0;
    return 0;
  }
  if (!cJSON_IsNumber(item)) {
    return -1;
  }
  *result = item->valueint;
  return 0;
}

int32_t ota_json_str_item_parse(const cJSON* json_root, const char* item_name, char* out_str) {
  const cJSON* item = cJSON_GetObjectItem(json_root, item_name);
  if (!cJSON_IsString(item)) {
    OTA_LOG_ERR("Parse %s failed\n", item_name);
    return -1;
  }
  if (item->valuestring == nullptr || out_str == nullptr) {
    OTA_LOG_ERR("can not get item:%s return default value:1\n", item_name);
    return -1;
  }
  if (std::strlen(item->valuestring) >= OTA_JSON_STR_LEN) {
    OTA_LOG_ERR("Error: item->valuestring %s is illegal !\n", item->valuestring);
    return -1;
  }
  copy_text(out_str, OTA_JSON_STR_LEN, item->valuestring);
  return 0;
}

int32_t get_str_index(char** str_array, int arr_len, char* str) {
  for (int i = 0; i < arr_len; ++i) {
    if (std::strcmp(str_array[i], str) == 0) {
      return i;
    }
  }
  OTA_LOG_ERR("invalid ota info %s\n", str);
  return -1;
}

int32_t ota_info_str2int(char* str, enum info_type info) {
  switch (info) {
    case OTA_INFO_MEDIUM:
      return get_str_index(const_cast<char**>(g_ota_medium), 2, str);
    case OTA_INFO_METHOD:
      return get_str_index(const_cast<char**>(g_ota_upgrade_methed), 5, str);
    case OTA_INFO_TYPE:
      return get_str_index(const_cast<char**>(g_ota_part_type), 4, str);
    default:
      OTA_LOG_ERR("invalid ota info type\n");
      return -1;
  }
}

int32_t parse_md5_config(cJSON* part_item, uint32_t partition_index, const char* name) {
  if (partition_index >= OTA_MAX_PARTITIONS || name == nullptr) {
    return -1;
  }
  if (parse_digest_key(part_item, partition_index, name, true) != 0) {
    return -1;
  }
  return parse_digest_key(part_item, partition_index, name, false);
}

int32_t ota_get_part_info(cJSON* partition_info_item, cJSON* array_item) {
  const int n = cJSON_GetArraySize(array_item);
  OTA_LOG_INFO("PART NUMBER:%d\n", n);
  // The record has room for 32 partitions; more would be written past it.
  if (n > OTA_MAX_PARTITIONS) {
    OTA_LOG_ERR("Error: %d partitions in update_partition, at most %d\n", n, OTA_MAX_PARTITIONS);
    return -1;
  }
  g_update_info.update_size = n;
  for (int i = 0; i < n; ++i) {
    if (parse_one_partition(partition_info_item, cJSON_GetArrayItem(array_item, i), i) != 0) {
      return -1;
    }
  }
  return 0;
}

int ota_parse_json(const char* filebuf) {
  UniqueJson root(cJSON_Parse(filebuf));
  if (root == nullptr) {
    OTA_LOG_ERR("parse json fail\n");
    return -1;
  }
  g_update_info = update_info_t{};
  if (parse_top_level(root.get()) != 0) {
    return -1;
  }
  cJSON* names = cJSON_GetObjectItem(root.get(), "update_partition");
  cJSON* parts = cJSON_GetObjectItem(root.get(), "partition_info");
  if (names == nullptr || parts == nullptr) {
    OTA_LOG_ERR("get partition info item or array item failed\n");
    return -1;
  }
  if (ota_get_part_info(parts, names) != 0) {
    OTA_LOG_ERR("get partition information from json failed\n");
    return -1;
  }
  return 0;
}

int32_t ota_parse_config_file(char* json_file) {
  if (json_file == nullptr) {
    OTA_LOG_ERR("json file is null!\n");
    return -1;
  }
  if (g_update_info.parse_flag != 0) {
    g_update_info = update_info_t{};
    OTA_LOG_INFO("Reset update information\n");
  }
  const long size = get_file_size(json_file);
  if (size <= 0) {
    OTA_LOG_ERR("json file size is zero!\n");
    return -1;
  }
  ota::UniqueFd fd = ota::open_fd(json_file, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open %s fail!\n", json_file);
    return -1;
  }
  std::unique_ptr<char[]> buf(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
  if (buf == nullptr) {
    OTA_LOG_ERR("malloc buff fail!\n");
    return -1;
  }
  if (ota::read_full(fd.get(), buf.get(), static_cast<size_t>(size)) != size) {
    OTA_LOG_ERR("read %s failed\n", json_file);
    return -1;
  }
  buf[static_cast<size_t>(size)] = '\0';
  if (ota_parse_json(buf.get()) != 0) {
    OTA_LOG_ERR("parse json:%s fail!\n", json_file);
    return -1;
  }
  g_update_info.parse_flag = 1;
  return 0;
}

bool ota_config_parsed() { return g_update_info.parse_flag != 0; }

update_info_t* ota_get_config_info() {
  if (g_update_info.parse_flag == 0) {
    OTA_LOG_ERR("json config not been parsed!\n");
    return nullptr;
  }
  return &g_update_info;
}

uint64_t get_total_size() { return g_total_size; }

int32_t ota_manifest_nor_sign() { return g_update_info.nor_sign; }

int32_t ota_verify_param_package(const char* unzip_dir) {
  char script[128] = {};
  char param[128] = {};
  const int n1 = std::snprintf(script, sizeof(script), "%s/param_update.sh", unzip_dir);
  const int n2 = std::snprintf(param, sizeof(param), "%s/app_param", unzip_dir);
  // A cut path would name another file; only whole paths are looked at.
  if (n1 > 0 && static_cast<size_t>(n1) < sizeof(script) && access(script, R_OK | X_OK) == 0) {
    return 0;
  }
  if (n2 > 0 && static_cast<size_t>(n2) < sizeof(param) && access(param, F_OK) == 0) {
    return 0;
  }
  return 1;
}

void manifest_reset_state() {
  g_update_info = update_info_t{};
  g_total_size = 0;
}
