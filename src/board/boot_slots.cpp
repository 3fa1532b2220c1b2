// Slot operations on the board's misc block, the booted slot and boot mode from the
// kernel command line, and the devices of the current and the target slot.
#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "boot_control.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {

// The kernel's command line limit on the boards we know is 2048; reading more costs
// nothing and keeps a key late in a long line from being missed.
constexpr size_t CMDLINE_MAX = 4096;
constexpr size_t MODE_VALUE_MAX = 16;

// Reads the whole command line. False (logged) when it cannot be opened or read.
bool read_cmdline(std::string* cmdline) {
  ota::UniqueFd fd = ota::open_fd(OTA_CMDLINE_PATH, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open %s error.\n", OTA_CMDLINE_PATH);
    return false;
  }
  std::array<char, CMDLINE_MAX> buf{};
  const ssize_t got = ota::read_full(fd.get(), buf.data(), buf.size() - 1);
  if (got < 0) {
    OTA_LOG_ERR("read %s: %s\n", OTA_CMDLINE_PATH, std::strerror(errno));
    return false;
  }
  cmdline->assign(buf.data(), static_cast<size_t>(got));
  return true;
}

bool read_block(bootloader_control* ctrl) {
  *ctrl = bootloader_control{};
  if (bootctrl_get_info(ctrl) != 0) {
    OTA_LOG_ERR("get boot ctrl info failed!\n");
    return false;
  }
  return true;
}

// A name too long for the buffer would name some other device: refused, not cut.
bool set_dev_path(char* out, const char* part_name, const char* suffix) {
  const int len = std::snprintf(out, OTA_DEV_PATH_LEN, "%s%s%s", OTA_DEV_DIR, part_name, suffix);
  if (len < 0 || static_cast<size_t>(len) >= OTA_DEV_PATH_LEN) {
    OTA_LOG_ERR("device path of %s%s is longer than %zu bytes\n", part_name, suffix,
                OTA_DEV_PATH_LEN - 1);
    return false;
  }
  return true;
}

}  // namespace

int32_t ota_get_next_expected_slot() {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  const int32_t slot = bootctrl_get_curslot_from_misc(&ctrl);
  if (slot < 0) {
    OTA_LOG_ERR("get next expected slot error!\n");
    return -1;
  }
  OTA_LOG_INFO("next expected slot is:%d\n", slot);
  return slot;
}

int32_t ota_set_next_expected_slot(int32_t slot) {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  if (bootctrl_set_active_boot_slot(slot, &ctrl) != 0) {
    OTA_LOG_ERR("set active boot slot to %d error!\n", slot);
    return -1;
  }
  OTA_LOG_INFO("set slot:%d to next expected success!\n", slot);
  return 0;
}

int32_t ota_set_slot_unbootable(int32_t slot) {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  if (bootctrl_set_slot_as_unbootable(slot, &ctrl) != 0) {
    OTA_LOG_ERR("set slot:%d unbootable error!\n", slot);
    return -1;
  }
  OTA_LOG_INFO("set slot:%d to unbootable success!\n", slot);
  return 0;
}

int32_t ota_get_slot_bootable_state(int32_t slot) {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  const int32_t tries = bootctrl_is_slot_bootable(slot, &ctrl);
  if (tries < 0) {
    return -1;
  }
  OTA_LOG_INFO("get slot:%d bootable state is:%d\n", slot, tries);
  return tries;
}

int32_t ota_mark_slot_boot_successful(int32_t slot) {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  if (bootctrl_mark_boot_successful(slot, &ctrl) != 0) {
    OTA_LOG_ERR("set slot:%d boot successful error!\n", slot);
    return -1;
  }
  OTA_LOG_INFO("set slot:%d boot success\n", slot);
  return 0;
}

int32_t ota_get_slot_boot_success_state(int32_t slot) {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  const int32_t state = bootctrl_is_slot_marked_successful(slot, &ctrl);
  if (state < 0) {
    OTA_LOG_ERR("get slot:%d boot success state error!\n", slot);
    return -1;
  }
  OTA_LOG_INFO("get slot:%d boot success state is:%d\n", slot, state);
  return state;
}

int32_t ota_get_slot_num() {
  bootloader_control ctrl{};
  if (!read_block(&ctrl)) {
    return -1;
  }
  const int num = bootctrl_get_number_slots(&ctrl);
  if (num < 0) {
    OTA_LOG_ERR("get slot num error!\n");
  }
  OTA_LOG_INFO("get slot num is:%d\n", num);
  return num < 0 ? -1 : num;
}

int32_t ota_set_slotmeta_to_default() {
  const int32_t ret = bootctrl_set_default();
  if (ret != 0) {
    OTA_LOG_ERR("set default slot info failed, ret %d\n", ret);
    return -1;
  }
  return 0;
}

int32_t ota_slot_from_cmdline(std::string_view cmdline) {
  const std::string_view key(OTA_CMDLINE_SLOT_KEY);
  const size_t at = cmdline.find(key);
  if (at == std::string_view::npos) {
    OTA_LOG_ERR("error:slot conf not in cmdline.\n");
    return -1;
  }
  const size_t letter = at + key.size();
  switch (letter < cmdline.size() ? cmdline[letter] : '\0') {
    case 'a':
      return 0;
    case 'b':
      return 1;
    case 'c':
      return 2;
    default:
      OTA_LOG_ERR("get current slot error.\n");
      return -1;
  }
}

int32_t ota_boot_mode_from_cmdline(std::string_view cmdline) {
  const std::string_view key(OTA_CMDLINE_MODE_KEY);
  const size_t at = cmdline.find(key);
  if (at == std::string_view::npos) {
    return -1;
  }
  std::string_view value = cmdline.substr(at + key.size());
  // The value ends at a blank or line end within its first 16 characters; a longer word
  // is compared whole and so matches neither mode.
  const size_t end = value.substr(0, MODE_VALUE_MAX).find_first_of(" \r\n");
  if (end != std::string_view::npos) {
    value = value.substr(0, end);
  } else {
    value = value.substr(0, value.find_first_of(" \r\n"));
  }
  if (value == "recovery") {
    OTA_LOG_INFO("recovery mode\n");
    return RECOVERY_MODE;
  }
  if (value == "normal") {
    OTA_LOG_INFO("normal mode\n");
    return NORMAL_MODE;
  }
  return -1;
}

int32_t ota_get_cur_slot() {
  std::string cmdline;
  if (!read_cmdline(&cmdline)) {
    return -1;
  }
  return ota_slot_from_cmdline(cmdline);
}

int32_t get_boot_mode() {
  std::string cmdline;
  if (!read_cmdline(&cmdline)) {
    return -1;
  }
  return ota_boot_mode_from_cmdline(cmdline);
}

int32_t ota_check_cur_slot_bootable() {
  const int32_t cur = ota_get_cur_slot();
  if (cur < 0) {
    return -1;
  }
  if (ota_get_slot_boot_success_state(cur) == 1) {
    OTA_LOG_INFO("cur_slot:%d is bootable\n", cur);
    return 0;
  }
  OTA_LOG_INFO("cur_slot:%d is unbootable\n", cur);
  return -1;
}

int32_t ota_get_update_slot() {
  const int32_t cur = ota_get_cur_slot();
  if (cur < 0) {
    return -1;
  }
  const int32_t other = cur ^ 1;
  const int32_t cur_ok = ota_get_slot_boot_success_state(cur);
  const int32_t other_ok = ota_get_slot_boot_success_state(other);
  if (cur_ok < 0 || other_ok < 0) {
    return -1;
  }
  // Only when the running slot is unconfirmed and the other one is confirmed is the
  // running slot the one to rewrite: the confirmed copy must stay bootable.
  const int32_t update = cur_ok == 0 && other_ok == 1 ? cur : other;
  OTA_LOG_INFO("this update slot is:%d!\n", update);
  return update;
}

int32_t get_part_device_name(const char* part_name, char* cur_dev_path, char* opp_dev_path,
                             ota_part_type_e type) {
  if (part_name == nullptr || cur_dev_path == nullptr || opp_dev_path == nullptr) {
    OTA_LOG_ERR("dev path or part name is empty\n");
    return -1;
  }
  if (type != AB) {
    return set_dev_path(opp_dev_path, part_name, "") ? 0 : -1;
  }
  const int32_t update = ota_get_update_slot();
  if (update != 0 && update != 1) {
    OTA_LOG_ERR("get update slot error\n");
    return -1;
  }
  const char* in_use = update == 0 ? "_b" : "_a";
  const char* to_write = update == 0 ? "_a" : "_b";
  if (!set_dev_path(cur_dev_path, part_name, in_use) ||
      !set_dev_path(opp_dev_path, part_name, to_write)) {
    return -1;
  }
  return 0;
}
