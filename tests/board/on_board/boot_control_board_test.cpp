// The boot control block and slot operations on a virtual board, through its firmware.
#include <gtest/gtest.h>

#include <cstdio>

#include "board_records.h"
#include "flash_cmd.h"

namespace {

using namespace board_io;
using namespace board_records;

// A save writes misc itself: the new block is on the device at once, nothing waits in the
// flash channel, and the next boot takes slot b with slot a at priority 14; never
// confirmed, b runs out of tries and the firmware falls back to a.
TEST(BootControlBoard, ActivateSlotWritesMiscAtOnceThenFallsBack) {
  const auto misc_before = read_dev(kMisc, 0, 4096);
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  EXPECT_EQ(ota_get_next_expected_slot(), 1);
  const bootloader_control saved = boot_block_on_disk();
  EXPECT_EQ(saved.slot_info[1].priority(), 15);
  EXPECT_EQ(saved.slot_info[1].tries_remaining(), 3);
  EXPECT_EQ(saved.slot_info[0].priority(), 14);
  EXPECT_EQ(saved.crc32_le, bootctrl_crc(saved));
  EXPECT_EQ(read_dev(kFlashcmd, 0, 8), filled(8, 0));  // no misc write command

  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 1);
  const bootloader_control ctrl = boot_block_on_disk();
  EXPECT_EQ(ctrl.slot_info[0].priority(), 14);
  EXPECT_EQ(ctrl.slot_info[0].tries_remaining(), 7);
  EXPECT_EQ(ctrl.slot_info[1].priority(), 15);
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 2);  // one of three used by this boot
  // Only the 32 bytes of the block changed: the bootloader message and the rest of misc
  // are not the engine's.
  const auto misc_after = read_dev(kMisc, 0, 4096);
  for (size_t i = 0; i < misc_after.size(); ++i) {
    if (i < BOOT_CTRL_OFFSET || i >= BOOT_CTRL_OFFSET + 32) {
      ASSERT_EQ(misc_after[i], misc_before[i]) << "misc byte " << i;
    }
  }
  for (int boot = 1; boot < 3; ++boot) {
    ASSERT_EQ(reboot(), 0);
    EXPECT_EQ(ota_get_cur_slot(), 1) << "boot " << boot;
  }
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(ota_get_slot_bootable_state(1), 0);
  EXPECT_EQ(ota_get_next_expected_slot(), 0);
  EXPECT_NE(cmdline().find("mirvoboot.slot_suffix=_a"), std::string::npos) << cmdline();
}

// A fresh board boots slot a of two in normal mode, nothing confirmed. Confirming the new
// slot sticks across reboots, makes the other slot the one to update, and a second
// confirmation sends nothing.
TEST(BootControlBoard, ConfirmedSlotAndUpdateSlot) {
  EXPECT_EQ(ota_get_slot_num(), 2);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(get_boot_mode(), NORMAL_MODE);
  EXPECT_EQ(ota_check_cur_slot_bootable(), -1);
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
// booted slot itself. Marking that slot unbootable keeps the firmware off it at the next
// boot, also when a command is sent after the save before the reboot.
TEST(BootControlBoard, UpdateSlotKeepsTheConfirmedCopyThenIsSkipped) {
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

  ASSERT_EQ(ota_set_slot_unbootable(1), 0);
  ASSERT_EQ(ota_write_flashcmd("hsm_m2b_cmd", nullptr, 0, 0), 0);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  const bootloader_control ctrl = boot_block_on_disk();
  EXPECT_EQ(ctrl.slot_info[1].priority(), 15);
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 0);
  EXPECT_EQ(ctrl.slot_info[1].successful_boot(), 0);
}

// A foreign block makes every slot operation fail without writing anything, until the
// defaults are saved, which take effect at once.
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
  EXPECT_EQ(read_dev(kMisc, BOOT_CTRL_OFFSET, 32), filled(32, 0xFF));

  ASSERT_EQ(ota_set_slotmeta_to_default(), 0);
  EXPECT_EQ(boot_block_on_disk().crc32_le, 0x672A9D0FU);
  EXPECT_EQ(ota_get_slot_num(), 2);
  ASSERT_EQ(reboot(), 0);
  bootloader_control ctrl{};
  ASSERT_EQ(bootctrl_get_info(&ctrl), 0);
  EXPECT_EQ(ctrl.crc32_le, bootctrl_crc(ctrl));
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(ctrl.slot_info[0].tries_remaining(), 6);  // the default block, booted once
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 7);
}

// A misc device that cannot be opened fails the save with its error lines and
// leaves the block as it was.
TEST(BootControlBoard, MissingMiscFailsTheSave) {
  const auto before = read_dev(kMisc, BOOT_CTRL_OFFSET, 32);
  bootloader_control ctrl{};
  ASSERT_EQ(bootctrl_get_info(&ctrl), 0);
  const std::string away = kMisc + ".away";
  ASSERT_EQ(::rename(kMisc.c_str(), away.c_str()), 0);
  ota_test::clear_log_records();
  const int32_t ret = bootctrl_set_slot_as_unbootable(1, &ctrl);
  ASSERT_EQ(::rename(away.c_str(), kMisc.c_str()), 0);
  EXPECT_EQ(ret, -1);
  EXPECT_TRUE(ota_test::log_contains("misc write failed, ret -1"));
  EXPECT_TRUE(ota_test::log_contains("Boot ctrl save failed"));
  EXPECT_EQ(read_dev(kMisc, BOOT_CTRL_OFFSET, 32), before);
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
