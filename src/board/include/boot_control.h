// A/B boot control: the 32-byte block in misc from which the boot firmware picks the
// slot to boot, the slot operations of an update, the booted slot and boot mode from the
// kernel command line, and the device paths of the current and the target slot.
//
// The block is read from and written to the misc device by the engine itself (written,
// then flushed), so a read after a save shows the new block; no flash command is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "le_bytes.h"
#include "ota_types.h"

inline constexpr uint32_t BOOT_CTRL_MAGIC = 0x42414342;  // "BCAB" on disk
inline constexpr uint8_t BOOT_CTRL_VERSION = 1;
inline constexpr uint32_t BOOT_CTRL_MAX_SLOTS = 4;
inline constexpr size_t BOOT_CTRL_CRC_LEN = 28;  // bytes covered by crc32_le
inline constexpr uint32_t MISC_BLOCK_SIZE = 512;
inline constexpr uint8_t SLOT_MAX_PRIORITY = 15;
inline constexpr uint8_t SLOT_MAX_TRIES = 7;
inline constexpr uint8_t SLOT_ACTIVE_TRIES = 3;  // tries given to a newly activated slot

inline constexpr const char* OTA_DEV_DIR = "/dev/block/platform/by-name/";
inline constexpr const char* OTA_MISC_DEV = "/dev/block/platform/by-name/misc";
inline constexpr const char* OTA_CMDLINE_PATH = "/proc/cmdline";
inline constexpr const char* OTA_CMDLINE_SLOT_KEY = "mirvoboot.slot_suffix=_";
inline constexpr const char* OTA_CMDLINE_MODE_KEY = "mirvoboot.mode=";
inline constexpr size_t OTA_DEV_PATH_LEN = 128;

enum ota_boot_mode_e : int32_t { NORMAL_MODE = 0, RECOVERY_MODE = 1 };

// One slot's two bytes. Stored as bytes (not C bit-fields) so the layout is exact.
//   byte 0: bits 0-3 priority, bits 4-6 tries_remaining, bit 7 successful_boot
//   byte 1: bit 0 verity_corrupted, bits 1-7 reserved
struct slot_metadata {
  uint8_t bytes[2];

  [[nodiscard]] constexpr uint8_t priority() const { return bytes[0] & 0x0FU; }
  [[nodiscard]] constexpr uint8_t tries_remaining() const { return (bytes[0] >> 4) & 0x07U; }
  [[nodiscard]] constexpr uint8_t successful_boot() const { return (bytes[0] >> 7) & 0x01U; }
  [[nodiscard]] constexpr uint8_t verity_corrupted() const { return bytes[1] & 0x01U; }
  constexpr void set_priority(uint8_t v) {
    bytes[0] = static_cast<uint8_t>((bytes[0] & 0xF0U) | (v & 0x0FU));
  }
  constexpr void set_tries_remaining(uint8_t v) {
    bytes[0] = static_cast<uint8_t>((bytes[0] & 0x8FU) | ((v & 0x07U) << 4));
  }
  constexpr void set_successful_boot(uint8_t v) {
    bytes[0] = static_cast<uint8_t>((bytes[0] & 0x7FU) | ((v & 0x01U) << 7));
  }
  constexpr void set_verity_corrupted(uint8_t v) {
    bytes[1] = static_cast<uint8_t>((bytes[1] & 0xFEU) | (v & 0x01U));
  }
};
static_assert(sizeof(slot_metadata) == 2);
static_assert(std::is_trivially_copyable_v<slot_metadata>);

// The boot control block, 32 bytes at misc offset 2048.
//   byte 9: bits 0-2 nb_slot, bits 3-5 recovery_tries_remaining, bits 6-7 zero
struct bootloader_control {
  char slot_suffix[4];
  uint32_t magic;
  uint8_t version;
  uint8_t slot_counts;
  uint8_t reserved0[2];
  slot_metadata slot_info[BOOT_CTRL_MAX_SLOTS];
  uint8_t reserved1[8];
  uint32_t crc32_le;

  [[nodiscard]] constexpr uint8_t nb_slot() const { return slot_counts & 0x07U; }
  [[nodiscard]] constexpr uint8_t recovery_tries_remaining() const {
    return (slot_counts >> 3) & 0x07U;
  }
  constexpr void set_nb_slot(uint8_t v) {
    slot_counts = static_cast<uint8_t>((slot_counts & 0xF8U) | (v & 0x07U));
  }
  constexpr void set_recovery_tries_remaining(uint8_t v) {
    slot_counts = static_cast<uint8_t>((slot_counts & 0xC7U) | ((v & 0x07U) << 3));
  }
};
static_assert(sizeof(bootloader_control) == 32);
static_assert(offsetof(bootloader_control, slot_suffix) == 0);
static_assert(offsetof(bootloader_control, magic) == 4);
static_assert(offsetof(bootloader_control, version) == 8);
static_assert(offsetof(bootloader_control, slot_counts) == 9);
static_assert(offsetof(bootloader_control, reserved0) == 10);
static_assert(offsetof(bootloader_control, slot_info) == 12);
static_assert(offsetof(bootloader_control, reserved1) == 20);
static_assert(offsetof(bootloader_control, crc32_le) == 28);
static_assert(std::is_trivially_copyable_v<bootloader_control>);

// The first 2048 bytes of misc. Only described: this system never reads or writes it.
struct bootloader_message {
  char command[32];
  char status[32];
  char recovery[768];
  char stage[32];
  char reserved[1184];
};
static_assert(sizeof(bootloader_message) == 2048);
static_assert(offsetof(bootloader_message, command) == 0);
static_assert(offsetof(bootloader_message, status) == 32);
static_assert(offsetof(bootloader_message, recovery) == 64);
static_assert(offsetof(bootloader_message, stage) == 832);
static_assert(offsetof(bootloader_message, reserved) == 864);
static_assert(std::is_trivially_copyable_v<bootloader_message>);

// Layout of misc; `slot_suffix` holds the bootloader_control block.
struct bootloader_message_ab {
  bootloader_message message;
  char slot_suffix[32];
  char update_channel[128];
  char reserved[1888];
};
static_assert(sizeof(bootloader_message_ab) == 4096);
static_assert(offsetof(bootloader_message_ab, message) == 0);
static_assert(offsetof(bootloader_message_ab, slot_suffix) == 2048);
static_assert(offsetof(bootloader_message_ab, update_channel) == 2080);
static_assert(offsetof(bootloader_message_ab, reserved) == 2208);
static_assert(std::is_trivially_copyable_v<bootloader_message_ab>);

inline constexpr uint32_t BOOT_CTRL_OFFSET = offsetof(bootloader_message_ab, slot_suffix);

// --- Codec (little-endian on the medium). Fails only when the span is too short.

[[nodiscard]] inline bool encode(const bootloader_control& ctrl, std::span<uint8_t> out) {
  if (out.size() < sizeof(ctrl)) {
    return false;
  }
  std::memcpy(out.data(), &ctrl, sizeof(ctrl));
  ota::store_le32(out.data() + offsetof(bootloader_control, magic), ctrl.magic);
  ota::store_le32(out.data() + offsetof(bootloader_control, crc32_le), ctrl.crc32_le);
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, bootloader_control* ctrl) {
  if (ctrl == nullptr || in.size() < sizeof(*ctrl)) {
    return false;
  }
  std::memcpy(ctrl, in.data(), sizeof(*ctrl));
  ctrl->magic = ota::load_le32(in.data() + offsetof(bootloader_control, magic));
  ctrl->crc32_le = ota::load_le32(in.data() + offsetof(bootloader_control, crc32_le));
  return true;
}

// CRC32 of the block's first 28 bytes as they lie on the medium.
[[nodiscard]] uint32_t bootctrl_crc(const bootloader_control& ctrl);

// --- Block operations on a block held by the caller.

[[nodiscard]] int32_t is_bootctrl_valid(bootloader_control* ctrl);
[[nodiscard]] int32_t ab_compare_slots(const slot_metadata* a, const slot_metadata* b);
[[nodiscard]] int32_t bootctrl_get_curslot_from_misc(bootloader_control* boot_ctrl);
[[nodiscard]] int bootctrl_get_number_slots(bootloader_control* boot_ctrl);
[[nodiscard]] int32_t bootctrl_update_and_save(bootloader_control* ctrl);
[[nodiscard]] int32_t bootctrl_mark_boot_successful(int32_t slot, bootloader_control* boot_ctrl);
[[nodiscard]] int32_t bootctrl_set_active_boot_slot(int32_t slot, bootloader_control* boot_ctrl);
[[nodiscard]] int32_t bootctrl_set_slot_as_unbootable(int32_t slot, bootloader_control* boot_ctrl);
[[nodiscard]] int32_t bootctrl_is_slot_bootable(int32_t slot, bootloader_control* boot_ctrl);
[[nodiscard]] int32_t bootctrl_is_slot_marked_successful(int32_t slot,
                                                         bootloader_control* boot_ctrl);
[[nodiscard]] int32_t ab_control_default(bootloader_control* abc);
[[nodiscard]] int32_t bootctrl_set_default();
[[nodiscard]] int32_t bootctrl_get_info(bootloader_control* boot_ctrl);

// The block changes without the save, for callers that hold a block in memory (tests,
// the firmware simulator). 0, or -1 for a bad block or slot (logged).
[[nodiscard]] int32_t bootctrl_apply_active_slot(int32_t slot, bootloader_control* boot_ctrl);
[[nodiscard]] int32_t bootctrl_apply_unbootable(int32_t slot, bootloader_control* boot_ctrl);

// --- Slot operations on the misc block of the board.

[[nodiscard]] int32_t ota_get_next_expected_slot();
[[nodiscard]] int32_t ota_set_next_expected_slot(int32_t slot);
[[nodiscard]] int32_t ota_set_slot_unbootable(int32_t slot);
[[nodiscard]] int32_t ota_get_slot_bootable_state(int32_t slot);
[[nodiscard]] int32_t ota_mark_slot_boot_successful(int32_t slot);
[[nodiscard]] int32_t ota_get_slot_boot_success_state(int32_t slot);
[[nodiscard]] int32_t ota_get_slot_num();
[[nodiscard]] int32_t ota_set_slotmeta_to_default();

// --- Slots, boot mode and devices.

// Booted slot named by a kernel command line: 0, 1, 2, or -1 (logged).
[[nodiscard]] int32_t ota_slot_from_cmdline(std::string_view cmdline);
// Boot mode named by a kernel command line: RECOVERY_MODE, NORMAL_MODE or -1.
[[nodiscard]] int32_t ota_boot_mode_from_cmdline(std::string_view cmdline);

[[nodiscard]] int32_t ota_get_cur_slot();
[[nodiscard]] int32_t ota_check_cur_slot_bootable();
[[nodiscard]] int32_t ota_get_update_slot();
[[nodiscard]] int32_t get_boot_mode();
// Both paths hold OTA_DEV_PATH_LEN bytes; opp_dev_path is the device to write.
[[nodiscard]] int32_t get_part_device_name(const char* part_name, char* cur_dev_path,
                                           char* opp_dev_path, ota_part_type_e type);
