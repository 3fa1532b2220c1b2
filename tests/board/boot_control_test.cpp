#include "boot_control.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "test_support.h"

namespace {

bootloader_control default_block() {
  bootloader_control ctrl{};
  EXPECT_EQ(ab_control_default(&ctrl), 0);
  return ctrl;
}

slot_metadata meta(uint8_t priority, uint8_t tries, uint8_t successful, uint8_t corrupted = 0) {
  slot_metadata m{};
  m.set_priority(priority);
  m.set_tries_remaining(tries);
  m.set_successful_boot(successful);
  m.set_verity_corrupted(corrupted);
  return m;
}

// The default block is the one the boot firmware expects, byte for byte, CRC included.
TEST(BootControlTest, DefaultBlockBytesAndCrc) {
  bootloader_control ctrl = default_block();
  ctrl.crc32_le = bootctrl_crc(ctrl);
  EXPECT_EQ(ctrl.crc32_le, 0x672A9D0FU);
  std::array<uint8_t, 32> bytes{};
  ASSERT_TRUE(encode(ctrl, bytes));
  const std::array<uint8_t, 32> expected = {
      0x61, 0, 0, 0, 0x42, 0x43, 0x41, 0x42, 0x01, 0x02, 0, 0, 0x7F, 0,    0x7F, 0,
      0,    0, 0, 0, 0,    0,    0,    0,    0,    0,    0, 0, 0x0F, 0x9D, 0x2A, 0x67};
  EXPECT_EQ(bytes, expected);
  bootloader_control back{};
  ASSERT_TRUE(decode(bytes, &back));
  EXPECT_EQ(back.magic, BOOT_CTRL_MAGIC);
  EXPECT_EQ(back.crc32_le, 0x672A9D0FU);
  EXPECT_EQ(std::memcmp(&back, &ctrl, sizeof(ctrl)), 0);
  EXPECT_EQ(ab_control_default(nullptr), -1);
}

// Each slot field is stored in its own bits: setting one over its whole range leaves the
// others as they were.
TEST(BootControlTest, SlotFieldsAreIndependent) {
  for (uint8_t value = 0; value < 16; ++value) {
    slot_metadata m = meta(15, 7, 1, 1);
    m.set_priority(value);
    EXPECT_EQ(m.priority(), value);
    EXPECT_EQ(m.tries_remaining(), 7);
    m = meta(0, 0, 0, 0);
    m.set_tries_remaining(value);
    EXPECT_EQ(m.tries_remaining(), value & 7);
    EXPECT_EQ(m.priority(), 0);
    EXPECT_EQ(m.successful_boot(), 0);
  }
  slot_metadata m = meta(0x0F, 0x07, 0, 0);
  EXPECT_EQ(m.bytes[0], 0x7F);
  m.set_successful_boot(1);
  EXPECT_EQ(m.bytes[0], 0xFF);
  m.set_verity_corrupted(1);
  EXPECT_EQ(m.bytes[1], 0x01);
  m.bytes[1] = 0xFE;  // reserved bits survive a change of verity_corrupted
  m.set_verity_corrupted(1);
  EXPECT_EQ(m.bytes[1], 0xFF);

  bootloader_control ctrl{};
  ctrl.slot_counts = 0xC0;
  ctrl.set_nb_slot(2);
  ctrl.set_recovery_tries_remaining(5);
  EXPECT_EQ(ctrl.slot_counts, 0xC0 | (5 << 3) | 2);
  EXPECT_EQ(ctrl.nb_slot(), 2);
  EXPECT_EQ(ctrl.recovery_tries_remaining(), 5);
}

// The firmware's choice: the best candidate with tries left and no corruption, where
// priority decides first, then the successful bit, then the tries left; ties go to the
// lower slot number; no candidate, a wrong magic or too many slots give -1.
TEST(BootControlTest, NextSlotFromBlock) {
  struct Row {
    const char* what;
    slot_metadata s0, s1;
    int32_t expected;
  };
  const Row rows[] = {
      {"default block", meta(15, 7, 0), meta(15, 7, 0), 0},
      {"slot 0 out of tries", meta(15, 0, 1), meta(1, 3, 0), 1},
      {"priority before success", meta(15, 3, 0), meta(14, 1, 1), 0},
      {"success breaks a tie", meta(15, 3, 0), meta(15, 3, 1), 1},
      {"more tries break a tie", meta(15, 2, 1), meta(15, 5, 1), 1},
      {"only candidate corrupted", meta(15, 0, 0), meta(15, 3, 1, 1), -1},
      {"nothing bootable", meta(15, 0, 0), meta(15, 0, 0), -1},
  };
  for (const Row& r : rows) {
    bootloader_control ctrl = default_block();
    ctrl.slot_info[0] = r.s0;
    ctrl.slot_info[1] = r.s1;
    EXPECT_EQ(bootctrl_get_curslot_from_misc(&ctrl), r.expected) << r.what;
  }
  bootloader_control ctrl = default_block();
  ctrl.set_nb_slot(5);
  EXPECT_EQ(bootctrl_get_curslot_from_misc(&ctrl), -1);
  EXPECT_TRUE(ota_test::log_contains("Invalid nb_slot 5, max 4"));
  ctrl = default_block();
  ctrl.magic = 0;
  EXPECT_EQ(bootctrl_get_curslot_from_misc(&ctrl), -1);
  EXPECT_EQ(bootctrl_get_number_slots(&ctrl), -1);
  EXPECT_EQ(is_bootctrl_valid(&ctrl), 0);
  EXPECT_EQ(is_bootctrl_valid(nullptr), -1);
}

// Activating slot 1 on the default block: slot 0 drops to priority 14 keeping its tries,
// slot 1 gets priority 15 and 3 tries; its successful bit is kept.
TEST(BootControlTest, ActivateSlot) {
  bootloader_control ctrl = default_block();
  ctrl.slot_info[1].set_successful_boot(1);
  ctrl.slot_info[1].set_verity_corrupted(1);
  ASSERT_EQ(bootctrl_apply_active_slot(1, &ctrl), 0);
  EXPECT_EQ(ctrl.slot_info[0].priority(), 14);
  EXPECT_EQ(ctrl.slot_info[0].tries_remaining(), 7);
  EXPECT_EQ(ctrl.slot_info[1].priority(), 15);
  EXPECT_EQ(ctrl.slot_info[1].tries_remaining(), 3);
  EXPECT_EQ(ctrl.slot_info[1].successful_boot(), 1);
  EXPECT_EQ(ctrl.slot_info[1].verity_corrupted(), 0);
  EXPECT_EQ(bootctrl_get_curslot_from_misc(&ctrl), 1);

  // A lower priority of the other slot is left alone.
  ctrl.slot_info[0].set_priority(9);
  ASSERT_EQ(bootctrl_apply_active_slot(1, &ctrl), 0);
  EXPECT_EQ(ctrl.slot_info[0].priority(), 9);
}

// Unbootable clears success and tries but keeps the priority; the status queries follow.
TEST(BootControlTest, UnbootableAndQueries) {
  bootloader_control ctrl = default_block();
  ctrl.slot_info[0].set_successful_boot(1);
  EXPECT_EQ(bootctrl_is_slot_marked_successful(0, &ctrl), 1);
  EXPECT_EQ(bootctrl_is_slot_marked_successful(1, &ctrl), 0);
  EXPECT_EQ(bootctrl_is_slot_bootable(1, &ctrl), 7);
  ASSERT_EQ(bootctrl_apply_unbootable(0, &ctrl), 0);
  EXPECT_EQ(ctrl.slot_info[0].priority(), 15);
  EXPECT_EQ(ctrl.slot_info[0].tries_remaining(), 0);
  EXPECT_EQ(bootctrl_is_slot_bootable(0, &ctrl), 0);
  EXPECT_EQ(bootctrl_is_slot_marked_successful(0, &ctrl), 0);
  // Successful but out of tries does not count as marked.
  ctrl.slot_info[1].set_successful_boot(1);
  ctrl.slot_info[1].set_tries_remaining(0);
  EXPECT_EQ(bootctrl_is_slot_marked_successful(1, &ctrl), 0);
}

// Slots outside 0 .. nb_slot-1, slot counts the block cannot hold (the field goes up to
// 7; no slot beyond 4 opens) and foreign blocks are refused and leave the block as it was.
TEST(BootControlTest, InvalidSlotOrBlockRefused) {
  const struct {
    uint8_t nb_slot;
    int32_t slot;
    const char* message;
  } rows[] = {{2, -1, "Invalid boot slot -1"},    {2, 2, "Invalid boot slot 2"},
              {2, 4, "Invalid boot slot 4"},      {2, 100, "Invalid boot slot 100"},
              {7, 0, "Invalid nb_slot 7, max 4"}, {7, 4, "Invalid nb_slot 7, max 4"},
              {7, 6, "Invalid nb_slot 7, max 4"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.nb_slot) + " slots, slot " + std::to_string(row.slot));
    bootloader_control ctrl = default_block();
    ctrl.set_nb_slot(row.nb_slot);
    const bootloader_control before = ctrl;
    ota_test::clear_log_records();
    EXPECT_EQ(bootctrl_apply_active_slot(row.slot, &ctrl), -1);
    EXPECT_EQ(bootctrl_apply_unbootable(row.slot, &ctrl), -1);
    EXPECT_EQ(bootctrl_mark_boot_successful(row.slot, &ctrl), -1);
    EXPECT_EQ(bootctrl_is_slot_bootable(row.slot, &ctrl), -1);
    EXPECT_EQ(bootctrl_is_slot_marked_successful(row.slot, &ctrl), -1);
    if (row.nb_slot == 2) {
      EXPECT_EQ(bootctrl_set_active_boot_slot(row.slot, &ctrl), -1);
    }
    EXPECT_EQ(std::memcmp(&before, &ctrl, sizeof(ctrl)), 0);
    EXPECT_TRUE(ota_test::log_contains(row.message));
  }
  bootloader_control foreign = default_block();
  foreign.magic = 0x42414343;
  ota_test::clear_log_records();
  EXPECT_EQ(bootctrl_apply_active_slot(0, &foreign), -1);
  EXPECT_TRUE(ota_test::log_contains("Invalid boot ctrl info"));
  EXPECT_EQ(bootctrl_update_and_save(nullptr), -1);
}

// The booted slot is the letter after "mirvoboot.slot_suffix=_" and the boot mode the word
// after "mirvoboot.mode=" (ended by a blank or a line end), wherever they stand.
TEST(BootControlTest, SlotAndModeFromCommandLine) {
  const struct {
    std::string cmdline;
    int32_t slot;
    int32_t mode;
  } rows[] = {
      {"console=ttyS0 mirvoboot.slot_suffix=_a root=/dev/x", 0, -1},
      {"mirvoboot.slot_suffix=_b", 1, -1},
      {"quiet mirvoboot.slot_suffix=_c\n", 2, -1},
      {"mirvoboot.slot_suffix=_d", -1, -1},
      {"mirvoboot.slot_suffix=_", -1, -1},
      {"mirvoboot.slot_suffix=a", -1, -1},
      {"", -1, -1},
      {std::string(3000, 'x') + " mirvoboot.slot_suffix=_b", 1, -1},
      {"a=b mirvoboot.mode=recovery\n", -1, RECOVERY_MODE},
      {"mirvoboot.mode=recovery", -1, RECOVERY_MODE},
      {"mirvoboot.mode=normal mirvoboot.slot_suffix=_a", 0, NORMAL_MODE},
      {"mirvoboot.mode=normal\r\n", -1, NORMAL_MODE},
      {"mirvoboot.mode=factory\n", -1, -1},
      {"mirvoboot.mode=recoveryx", -1, -1},
      {"mirvoboot.mode=normal_but_much_longer_than_sixteen", -1, -1},
      {"mirvoboot.mode=", -1, -1},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ota_slot_from_cmdline(r.cmdline), r.slot) << r.cmdline;
    EXPECT_EQ(ota_boot_mode_from_cmdline(r.cmdline), r.mode) << r.cmdline;
  }
}

// Device names of non-A/B partitions need no slot: only the device to write is set.
TEST(BootControlTest, PlainPartitionDevice) {
  char cur[OTA_DEV_PATH_LEN] = "untouched";
  char opp[OTA_DEV_PATH_LEN] = {};
  ASSERT_EQ(get_part_device_name("veeprom", cur, opp, PERMANENT), 0);
  EXPECT_STREQ(opp, "/dev/block/platform/by-name/veeprom");
  EXPECT_STREQ(cur, "untouched");
  EXPECT_EQ(get_part_device_name(nullptr, cur, opp, GOLDEN), -1);
  EXPECT_EQ(get_part_device_name("boot", nullptr, opp, AB), -1);
  // A name that does not fit is refused rather than cut to some other device's name.
  const std::string long_name(100, 'p');
  EXPECT_EQ(get_part_device_name(long_name.c_str(), cur, opp, BAK), -1);
}

}  // namespace
