// The boot control block and slot operations on a virtual board, through its firmware.
#include <gtest/gtest.h>

#include "board_records.h"
#include "flash_cmd.h"

namespace {

using namespace board_io;
using namespace board_records;

// A fresh board reads back the default block with the firmware's CRC, boots slot a in
// normal mode, and would boot slot 0 next.
TEST(BootControlBoard, DefaultBlock) {
  bootloader_control ctrl{};
  ASSERT_EQ(bootctrl_get_info(&ctrl), 0);
  EXPECT_EQ(ctrl.crc32_le, 0x672A9D0FU);
  EXPECT_EQ(bootctrl_crc(ctrl), 0x672A9D0FU);
  EXPECT_EQ(ota_get_next_expected_slot(), 0);
  EXPECT_EQ(ota_get_slot_num(), 2);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(get_boot_mode(), NORMAL_MODE);
  EXPECT_EQ(ota_get_slot_bootable_state(1), 7);
  EXPECT_EQ(ota_check_cur_slot_bootable(), -1);  // nothing confirmed yet
}

// A save is a flash command: misc keeps the old block until the firmware runs the command
// at the next boot, which then boots slot b with slot a at priority 14.
TEST(BootControlBoard, ActivateSlotTakesEffectAtReboot) {
  const auto misc_before = read_dev(kMisc, 0, 4096);
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  EXPECT_EQ(read_dev(kMisc, 0, 4096), misc_before);
  EXPECT_EQ(ota_get_next_expected_slot(), 0);  // still the old block

  const auto tmpl = read_dev("/usr/mirvo/share/ota/misc_write_cmd", 0, FLASHCMD_TEMPLATE_SIZE);
  const uint32_t area = le32(tmpl, FLASHCMD_DATA_SIZE_OFFSET);
  const auto record = read_dev(kFlashcmd, 0, FLASHCMD_TEMPLATE_SIZE + area + 4);
  EXPECT_TRUE(std::equal(tmpl.begin(), tmpl.end(), record.begin()));
  bootloader_control sent{};
  ASSERT_TRUE(decode(std::span(record).subspan(FLASHCMD_TEMPLATE_SIZE + BOOT_CTRL_OFFSET), &sent));
  EXPECT_EQ(sent.slot_info[1].priority(), 15);
  EXPECT_EQ(sent.crc32_le, bootctrl_crc(sent));

  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 1);
  const bootloader_control ctrl = boot_block_on_disk();
  EXPECT_EQ(ctrl.slot_info[0].priority(), 14);
  EXPECT_EQ(ctrl.slot_info[0].tries_remaining(), 7);
  EXPECT_EQ(ctrl.slot_info[1].priority(), 15);
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 2);  // one of three used by this boot
  EXPECT_EQ(read_dev(kMisc, 0, BOOT_CTRL_OFFSET),
            std::vector<uint8_t>(misc_before.begin(), misc_before.begin() + BOOT_CTRL_OFFSET));
}

// Confirming the new slot sticks across reboots, makes the other slot the one to update,
// and a second confirmation sends nothing.
TEST(BootControlBoard, ConfirmedSlotAndUpdateSlot) {
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_mark_slot_boot_successful(1), 0);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 1);
  EXPECT_EQ(ota_get_slot_boot_success_state(1), 1);
  EXPECT_EQ(boot_block_on_disk().slot_info[1].tries_remaining(), 1);
  EXPECT_EQ(ota_check_cur_slot_bootable(), 0);
  EXPECT_EQ(ota_get_update_slot(), 0);
  char cur[OTA_DEV_PATH_LEN] = {};
  char opp[OTA_DEV_PATH_LEN] = {};
  ASSERT_EQ(get_part_device_name("boot", cur, opp, AB), 0);
  EXPECT_STREQ(cur, "/dev/block/platform/by-name/boot_b");
  EXPECT_STREQ(opp, "/dev/block/platform/by-name/boot_a");

  ota_test::clear_log_records();
  ASSERT_EQ(ota_mark_slot_boot_successful(1), 0);
  EXPECT_TRUE(ota_test::log_contains("marked success before"));
  EXPECT_EQ(read_dev(kFlashcmd, 0, 8), filled(8, 0));  // the firmware cleared the last one
}

// Booted from an unconfirmed slot while the other is confirmed, the update rewrites the
// booted slot itself.
TEST(BootControlBoard, UpdateSlotKeepsTheConfirmedCopy) {
  ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_get_cur_slot(), 1);
  EXPECT_EQ(ota_get_update_slot(), 1);
  char cur[OTA_DEV_PATH_LEN] = {};
  char opp[OTA_DEV_PATH_LEN] = {};
  ASSERT_EQ(get_part_device_name("system", cur, opp, AB), 0);
  EXPECT_STREQ(opp, "/dev/block/platform/by-name/system_b");
}

// A slot that is never confirmed runs out of tries and the firmware falls back to the
// other slot.
TEST(BootControlBoard, UnconfirmedSlotFallsBack) {
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  for (int boot = 0; boot < 3; ++boot) {
    ASSERT_EQ(reboot(), 0);
    EXPECT_EQ(ota_get_cur_slot(), 1) << "boot " << boot;
  }
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(ota_get_slot_bootable_state(1), 0);
  EXPECT_EQ(ota_get_next_expected_slot(), 0);
  EXPECT_NE(cmdline().find("mirvoboot.slot_suffix=_a"), std::string::npos) << cmdline();
}

// Marking the slot to be written unbootable keeps the firmware off it at the next boot.
TEST(BootControlBoard, UnbootableSlotIsSkipped) {
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_set_slot_unbootable(1), 0);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  const bootloader_control ctrl = boot_block_on_disk();
  EXPECT_EQ(ctrl.slot_info[1].priority(), 15);
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 0);
  EXPECT_EQ(ctrl.slot_info[1].successful_boot(), 0);
}

// A foreign block makes every slot operation fail without sending anything, until the
// defaults have been carried out by the firmware.
TEST(BootControlBoard, ForeignBlockUntilDefaults) {
  write_dev(kMisc, BOOT_CTRL_OFFSET, filled(32, 0xFF));
  const auto flashcmd_before = read_dev(kFlashcmd, 0, 8192);
  EXPECT_EQ(ota_get_next_expected_slot(), -1);
  EXPECT_EQ(ota_set_next_expected_slot(1), -1);
  EXPECT_EQ(ota_set_slot_unbootable(0), -1);
  EXPECT_EQ(ota_mark_slot_boot_successful(0), -1);
  EXPECT_EQ(ota_get_slot_num(), -1);
  EXPECT_EQ(ota_get_update_slot(), -1);
  EXPECT_TRUE(ota_test::log_contains("get boot ctrl info failed!"));
  EXPECT_EQ(read_dev(kFlashcmd, 0, 8192), flashcmd_before);

  ASSERT_EQ(ota_set_slotmeta_to_default(), 0);
  bootloader_control sent{};
  ASSERT_TRUE(decode(read_dev(kFlashcmd, FLASHCMD_TEMPLATE_SIZE + BOOT_CTRL_OFFSET, 32), &sent));
  EXPECT_EQ(sent.crc32_le, 0x672A9D0FU);
  ASSERT_EQ(reboot(), 0);
  bootloader_control ctrl{};
  ASSERT_EQ(bootctrl_get_info(&ctrl), 0);
  EXPECT_EQ(ctrl.crc32_le, bootctrl_crc(ctrl));
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(ctrl.slot_info[0].tries_remaining(), 6);  // the default block, booted once
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 7);
  EXPECT_EQ(ota_get_slot_num(), 2);
}

// Without the slot key on the command line nothing that needs the booted slot works; the
// boot mode is still read.
TEST(BootControlBoard, CommandLineWithoutSlot) {
  set_cmdline("console=ttyS0 mirvoboot.mode=recovery\n");
  EXPECT_EQ(ota_get_cur_slot(), -1);
  EXPECT_EQ(ota_check_cur_slot_bootable(), -1);
  EXPECT_EQ(get_boot_mode(), RECOVERY_MODE);
  char cur[OTA_DEV_PATH_LEN] = {};
  char opp[OTA_DEV_PATH_LEN] = {};
  ota_test::clear_log_records();
  EXPECT_EQ(get_part_device_name("boot", cur, opp, AB), -1);
  EXPECT_TRUE(ota_test::log_contains("get update slot error"));
  ASSERT_EQ(get_part_device_name("veeprom", cur, opp, PERMANENT), 0);
  EXPECT_STREQ(opp, "/dev/block/platform/by-name/veeprom");
}

}  // namespace
