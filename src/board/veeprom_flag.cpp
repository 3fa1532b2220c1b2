#include "veeprom_flag.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "boot_control.h"
#include "crc.h"
#include "ota_log.h"

namespace {

ota_update_owner_e g_ota_owner = NORMAL_BOOT;

using StatusBytes = std::array<uint8_t, sizeof(ota_status_t)>;

// Reads the status record as it lies in veeprom (not checked).
int32_t read_status(ota_status_t* status) {
  StatusBytes bytes{};
  const int32_t ret =
      ota_read_from_veeprom(reinterpret_cast<char*>(bytes.data()), bytes.size(), OTA_STATUS_OFFSET);
  if (ret != 0) {
    return ret;
  }
  (void)decode(bytes, status);
  return 0;
}

int32_t write_status(const ota_status_t& status) {
  StatusBytes bytes{};
  (void)encode(status, bytes);
  return ota_write_to_veeprom(reinterpret_cast<const char*>(bytes.data()), bytes.size(),
                              OTA_STATUS_OFFSET);
}

// Reads the record; a blank or damaged one is replaced by defaults first (on disk too).
int32_t load_valid_status(ota_status_t* status) {
  *status = ota_status_t{};
  const int32_t ret = read_status(status);
  if (ret != 0) {
    return ret;
  }
  if (is_ota_status_valid(status) != 0) {
    OTA_LOG_WARN("OTA status in veeprom is invalid, init\n");
    const int32_t init = ota_init_status(status);
    if (init != 0) {
      OTA_LOG_ERR("get ota status failed\n");
      return init;
    }
  }
  return 0;
}

// Stores a 32-bit value in the field of a selector 0..7; false for any other selector.
bool put_field(ota_status_t* status, ota_veeprom_type_e flag, uint32_t value) {
  const auto as_flag = static_cast<ota_update_flag_e>(value);
  switch (flag) {
    case OTA_VEEPROM_UPDATE_FLAG:
      status->up = as_flag;
      return true;
    case OTA_VEEPROM_SYS_UPDATE_FLAG:
      status->up_system = as_flag;
      return true;
    case OTA_VEEPROM_BAK_UPDATE_FLAG:
      status->up_backup = as_flag;
      return true;
    case OTA_VEEPROM_MIDDLEWARE_UPDATE_FLAG:
      status->up_middleware = as_flag;
      return true;
    case OTA_VEEPROM_APP_UPDATE_FLAG:
      status->up_app = as_flag;
      return true;
    case OTA_VEEPROM_PARAM_UPDATE_FLAG:
      status->up_param = as_flag;
      return true;
    case OTA_VEEPROM_OWNER:
      status->owner = static_cast<ota_update_owner_e>(value);
      g_ota_owner = status->owner;
      return true;
    case OTA_VEEPROM_EXPE_SLOT:
      status->next_slot = value;
      return true;
    default:
      return false;
  }
}

// The 32-bit value of a selector 0..7; false for any other selector.
bool get_field(const ota_status_t& status, ota_veeprom_type_e flag, uint32_t* value) {
  switch (flag) {
    case OTA_VEEPROM_UPDATE_FLAG:
      *value = status.up;
      return true;
    case OTA_VEEPROM_SYS_UPDATE_FLAG:
      *value = status.up_system;
      return true;
    case OTA_VEEPROM_BAK_UPDATE_FLAG:
      *value = status.up_backup;
      return true;
    case OTA_VEEPROM_MIDDLEWARE_UPDATE_FLAG:
      *value = status.up_middleware;
      return true;
    case OTA_VEEPROM_APP_UPDATE_FLAG:
      *value = status.up_app;
      return true;
    case OTA_VEEPROM_PARAM_UPDATE_FLAG:
      *value = status.up_param;
      return true;
    case OTA_VEEPROM_OWNER:
      *value = status.owner;
      return true;
    case OTA_VEEPROM_EXPE_SLOT:
      *value = status.next_slot;
      return true;
    default:
      return false;
  }
}

// Readers walk `num` entries of the list: a count beyond the array is never stored.
bool part_count_fits(const uint32_t* parts) {
  uint32_t num = 0;
  std::memcpy(&num, parts, sizeof(num));  // update_part_t::num leads the list
  if (num > OTA_UPDATE_PART_MAX) {
    OTA_LOG_ERR("update part num %u exceeds %zu\n", num, OTA_UPDATE_PART_MAX);
    return false;
  }
  return true;
}

int32_t set_veeprom_update_status(ota_veeprom_type_e flag, uint32_t* value) {
  if (value == nullptr) {
    OTA_LOG_ERR("ota status value is NULL\n");
    return -1;
  }
  if (flag == OTA_VEEPROM_PART_ARRAY && !part_count_fits(value)) {
    return -1;
  }
  ota_status_t status{};
  const int32_t ret = load_valid_status(&status);
  if (ret != 0) {
    return ret;
  }
  uint32_t logged = 0;
  if (flag == OTA_VEEPROM_PART_ARRAY) {
    std::memcpy(&status.update_part, value, sizeof(status.update_part));
    logged = status.update_part.num;
  } else if (put_field(&status, flag, *value)) {
    logged = *value;
  } else {
    OTA_LOG_ERR("invalid veeprom flag\n");
    return -1;
  }
  const int32_t crc = crc32_calculate(&status);
  if (crc != 0) {
    OTA_LOG_ERR("ota status crc32 calculate failed\n");
    return crc;
  }
  OTA_LOG_INFO("veeprom: flag [%d], value [%d]\n", static_cast<int>(flag),
               static_cast<int>(logged));
  const int32_t written = write_status(status);
  if (written != 0) {
    OTA_LOG_ERR("write ota status to veeprom failed\n");
    return written;
  }
  return 0;
}

int32_t get_veeprom_update_status(ota_veeprom_type_e flag, uint32_t* value) {
  if (value == nullptr) {
    OTA_LOG_ERR("ota status value is NULL\n");
    return -1;
  }
  ota_status_t status{};
  const int32_t ret = load_valid_status(&status);
  if (ret != 0) {
    return ret;
  }
  if (flag == OTA_VEEPROM_PART_ARRAY) {
    std::memcpy(value, &status.update_part, sizeof(status.update_part));
  } else if (!get_field(status, flag, value)) {
    OTA_LOG_ERR("invalid veeprom flag\n");
    return -1;
  }
  OTA_LOG_INFO("update part num: [%d]\n", static_cast<int>(status.update_part.num));
  return 0;
}

using AntiVerBytes = std::array<uint8_t, sizeof(antirollback_ver_t)>;

int32_t set_veeprom_other_status(ota_veeprom_type_e flag, uint32_t* value) {
  if (value == nullptr) {
    OTA_LOG_ERR("veeprom flag value is NULL\n");
    return -1;
  }
  int32_t ret = -1;
  if (flag == OTA_VEEPROM_ANTI_VER) {
    antirollback_ver_t ver{};
    std::memcpy(&ver, value, sizeof(ver));
    AntiVerBytes bytes{};
    (void)encode(ver, bytes);
    ret = ota_write_to_veeprom(reinterpret_cast<const char*>(bytes.data()), bytes.size(),
                               OTA_ANTI_VER_OFFSET);
  } else {
    OTA_LOG_ERR("invalid veeprom flag\n");
  }
  if (ret != 0) {
    OTA_LOG_ERR("veeprom flag write failed, ret %d\n", ret);
  }
  return ret;
}

int32_t get_veeprom_other_status(ota_veeprom_type_e flag, uint32_t* value) {
  if (value == nullptr) {
    OTA_LOG_ERR("veeprom flag value is NULL\n");
    return -1;
  }
  int32_t ret = -1;
  if (flag == OTA_VEEPROM_ANTI_VER) {
    AntiVerBytes bytes{};
    ret = ota_read_from_veeprom(reinterpret_cast<char*>(bytes.data()), bytes.size(),
                                OTA_ANTI_VER_OFFSET);
    if (ret == 0) {
      antirollback_ver_t ver{};
      (void)decode(bytes, &ver);
      std::memcpy(value, &ver, sizeof(ver));
    }
  } else {
    OTA_LOG_ERR("invalid veeprom flag\n");
  }
  if (ret != 0) {
    OTA_LOG_ERR("veeprom flag read failed, ret %d\n", ret);
  }
  return ret;
}

// Typed getters read a 32-bit value and convert it, never aliasing the caller's enum.
template <typename T>
int32_t get_typed(ota_veeprom_type_e flag, T* out) {
  if (out == nullptr) {
    return ota_get_veeprom_flag(flag, nullptr);
  }
  uint32_t value = 0;
  const int32_t ret = ota_get_veeprom_flag(flag, &value);
  if (ret == 0) {
    *out = static_cast<T>(value);
  }
  return ret;
}

int32_t set_typed(ota_veeprom_type_e flag, uint32_t value) {
  return ota_set_veeprom_flag(flag, &value);
}

}  // namespace

uint32_t ota_status_crc(const ota_status_t& status) {
  StatusBytes bytes{};
  (void)encode(status, bytes);
  return CRC32(bytes.data(), OTA_STATUS_CRC_LEN);
}

uint32_t antirollback_crc(const antirollback_ver_t& ver) {
  AntiVerBytes bytes{};
  (void)encode(ver, bytes);
  return CRC32(bytes.data(), OTA_ANTI_VER_CRC_LEN);
}

int32_t ota_read_from_veeprom(char* buffer, uint32_t buffer_len, uint32_t offset) {
  ota_file_info_t info{};
  char unused[OTA_DEV_PATH_LEN] = {};
  const int32_t path = get_part_device_name(OTA_VEEPROM_PART, unused, info.path, PERMANENT);
  if (path != 0) {
    return path;
  }
  info.offset = offset;
  info.size = buffer_len;
  info.medium = OTA_EMMC;
  const int32_t ret = ota_file_to_buf(&info, buffer, buffer_len);
  if (ret != 0) {
    OTA_LOG_ERR("veeprom flag  read failed, ret %d\n", ret);
  }
  return ret;
}

int32_t ota_write_to_veeprom(const char* buffer, uint32_t buffer_len, uint32_t offset) {
  ota_file_info_t info{};
  char unused[OTA_DEV_PATH_LEN] = {};
  const int32_t path = get_part_device_name(OTA_VEEPROM_PART, unused, info.path, PERMANENT);
  if (path != 0) {
    return path;
  }
  info.offset = offset;
  info.size = buffer_len;
  info.medium = OTA_EMMC;
  const int32_t ret = ota_buf_to_file(&info, buffer, buffer_len);
  if (ret != 0) {
    OTA_LOG_ERR("veeprom flag write failed, ret %d\n", ret);
  }
  return ret;
}

int32_t crc32_calculate(ota_status_t* status) {
  if (status == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  status->crc32_le = ota_status_crc(*status);
  return 0;
}

int32_t is_ota_status_valid(ota_status_t* status) {
  if (status == nullptr) {
    OTA_LOG_ERR("Invalid input parameter, null ptr\n");
    return -OTAERR_NULLPOINTER;
  }
  if (status->magic != OTA_STATUS_MAGIC) {
    OTA_LOG_WARN("magic number is wrong\n");
    return -1;
  }
  const uint32_t computed = ota_status_crc(*status);
  OTA_LOG_INFO("veeprom crc, oricrc[%x], newcrc[%x], offset[%ld]\n", status->crc32_le, computed,
               static_cast<long>(OTA_STATUS_CRC_LEN));
  return computed == status->crc32_le ? 0 : -1;
}

int32_t ota_init_status(ota_status_t* status) {
  if (status == nullptr) {
    OTA_LOG_ERR("Invalid input parameter, null ptr\n");
    return -OTAERR_NULLPOINTER;
  }
  const int32_t cur = ota_get_cur_slot();
  if (cur < 0) {
    OTA_LOG_ERR("Get current slot failed\n");
    return -1;
  }
  OTA_LOG_INFO("cur slot %d\n", cur);
  status->magic = OTA_STATUS_MAGIC;
  status->up = OTA_FLAG_NORMAL;
  OTA_LOG_INFO("ota_init_status, up_backup[%d]\n", static_cast<int>(status->up_backup));
  // A blank or foreign record holds no m2b state: only a real flag value is carried over.
  if (status->up_backup > OTA_FLAG_VERIFIED) {
    status->up_backup = OTA_FLAG_NORMAL;
  }
  status->up_system = OTA_FLAG_NORMAL;
  status->up_middleware = OTA_FLAG_NORMAL;
  status->up_app = OTA_FLAG_NORMAL;
  status->up_param = OTA_FLAG_NORMAL;
  status->owner = NORMAL_BOOT;
  status->next_slot = static_cast<uint32_t>(cur);
  status->update_part = update_part_t{};
  const int32_t crc = crc32_calculate(status);
  if (crc != 0) {
    OTA_LOG_ERR("ota status crc32 calculate failed\n");
    return crc;
  }
  const int32_t written = write_status(*status);
  if (written != 0) {
    OTA_LOG_ERR("write ota status to veeprom failed\n");
    return written;
  }
  return 0;
}

int32_t ota_set_veeprom_flag(ota_veeprom_type_e flag, uint32_t* value) {
  if (flag < OTA_VEEPROM_SPLIT) {
    return set_veeprom_update_status(flag, value);
  }
  return set_veeprom_other_status(flag, value);
}

int32_t ota_get_veeprom_flag(ota_veeprom_type_e flag, uint32_t* value) {
  if (flag < OTA_VEEPROM_SPLIT) {
    return get_veeprom_update_status(flag, value);
  }
  return get_veeprom_other_status(flag, value);
}

int32_t ota_set_up_status(ota_update_flag_e status) {
  return set_typed(OTA_VEEPROM_UPDATE_FLAG, status);
}
int32_t ota_get_up_status(ota_update_flag_e* status) {
  return get_typed(OTA_VEEPROM_UPDATE_FLAG, status);
}
int32_t ota_set_system_up_status(ota_update_flag_e status) {
  return set_typed(OTA_VEEPROM_SYS_UPDATE_FLAG, status);
}
int32_t ota_get_system_up_status(ota_update_flag_e* status) {
  return get_typed(OTA_VEEPROM_SYS_UPDATE_FLAG, status);
}
int32_t ota_set_backup_up_status(ota_update_flag_e status) {
  return set_typed(OTA_VEEPROM_BAK_UPDATE_FLAG, status);
}
int32_t ota_get_backup_up_status(ota_update_flag_e* status) {
  return get_typed(OTA_VEEPROM_BAK_UPDATE_FLAG, status);
}
int32_t ota_set_middleware_up_status(ota_update_flag_e status) {
  return set_typed(OTA_VEEPROM_MIDDLEWARE_UPDATE_FLAG, status);
}
int32_t ota_get_middleware_up_status(ota_update_flag_e* status) {
  return get_typed(OTA_VEEPROM_MIDDLEWARE_UPDATE_FLAG, status);
}
int32_t ota_set_app_up_status(ota_update_flag_e status) {
  return set_typed(OTA_VEEPROM_APP_UPDATE_FLAG, status);
}
int32_t ota_get_app_up_status(ota_update_flag_e* status) {
  return get_typed(OTA_VEEPROM_APP_UPDATE_FLAG, status);
}
int32_t ota_set_param_up_status(ota_update_flag_e status) {
  return set_typed(OTA_VEEPROM_PARAM_UPDATE_FLAG, status);
}
int32_t ota_get_param_up_status(ota_update_flag_e* status) {
  return get_typed(OTA_VEEPROM_PARAM_UPDATE_FLAG, status);
}
int32_t ota_set_owner(ota_update_owner_e owner) { return set_typed(OTA_VEEPROM_OWNER, owner); }
int32_t ota_get_owner(ota_update_owner_e* owner) { return get_typed(OTA_VEEPROM_OWNER, owner); }
int32_t ota_set_next_slot(uint32_t slot) {
  OTA_LOG_INFO("next slot veeprom %d\n", static_cast<int>(slot));
  return set_typed(OTA_VEEPROM_EXPE_SLOT, slot);
}
int32_t ota_get_next_slot(uint32_t* slot) { return get_typed(OTA_VEEPROM_EXPE_SLOT, slot); }
int32_t ota_set_part_array(update_part_t* parts) {
  return ota_set_veeprom_flag(OTA_VEEPROM_PART_ARRAY, reinterpret_cast<uint32_t*>(parts));
}
int32_t ota_get_part_array(update_part_t* parts) {
  return ota_get_veeprom_flag(OTA_VEEPROM_PART_ARRAY, reinterpret_cast<uint32_t*>(parts));
}

ota_update_owner_e ota_process_owner() { return g_ota_owner; }

void veeprom_flag_reset_state() { g_ota_owner = NORMAL_BOOT; }

int32_t ota_set_veeprom_flag_default() {
  ota_status_t status{};
  antirollback_ver_t ver{};
  ota_update_flag_e m2b = OTA_FLAG_NORMAL;
  if (ota_get_backup_up_status(&m2b) != 0) {
    OTA_LOG_WARN("using default m2b_status OTA_FLAG_NORMAL\n");
    m2b = OTA_FLAG_NORMAL;
  }
  status.up_backup = m2b;
  if (ota_init_status(&status) != 0) {
    OTA_LOG_ERR("set ota status default failed\n");
    return -1;
  }
  if (ota_set_anti_ver_veeprom(&ver) != 0) {
    OTA_LOG_ERR("set antirollback version default failed\n");
    return -1;
  }
  OTA_LOG_INFO("veeprom flag set default\n");
  return 0;
}

int32_t ota_write_to_veeprom_force(ota_status_t* status, ota_file_info_t* veeprom_info) {
  if (status == nullptr || veeprom_info == nullptr) {
    OTA_LOG_ERR("Invalid input parameter, null ptr\n");
    return -OTAERR_NULLPOINTER;
  }
  status->magic = OTA_STATUS_MAGIC;
  status->owner = OTA_TOOL;
  veeprom_info->offset += OTA_STATUS_OFFSET;
  const int32_t crc = crc32_calculate(status);
  if (crc != 0) {
    OTA_LOG_ERR("ota status crc32 calculate failed\n");
    return crc;
  }
  StatusBytes bytes{};
  (void)encode(*status, bytes);
  const int32_t ret = ota_buf_to_file(veeprom_info, bytes.data(), bytes.size());
  if (ret != 0) {
    OTA_LOG_ERR("veeprom flag write failed, ret %d\n", ret);
  }
  return ret;
}
