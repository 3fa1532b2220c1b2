// The boot firmware of the board, run from inside the board as the engine's tests do.
#include <gtest/gtest.h>

#include "board_io.h"
#include "boot_control.h"
#include "crc.h"

namespace {

using namespace board_io;

const std::string kMisc = std::string(kByName) + "misc";

struct Slot {
  uint8_t priority;
  uint8_t tries;
  uint8_t successful;
  uint8_t corrupted;
};

std::vector<uint8_t> boot_block(Slot a, Slot b) {
  bootloader_control c{};
  c.slot_suffix[0] = 'a';
  c.magic = BOOT_CTRL_MAGIC;
  c.version = 1;
  c.set_nb_slot(2);
  const Slot slots[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    c.slot_info[i].set_priority(slots[i].priority);
    c.slot_info[i].set_tries_remaining(slots[i].tries);
    c.slot_info[i].set_successful_boot(slots[i].successful);
    c.slot_info[i].set_verity_corrupted(slots[i].corrupted);
  }
  std::vector<uint8_t> bytes(32);
  EXPECT_TRUE(encode(c, bytes));
  put_le32(bytes, 28, CRC32(bytes.data(), 28));
  return bytes;
}

slot_metadata slot_on_disk(int slot) {
  const auto bytes = read_dev(kMisc, 2048, 32);
  bootloader_control c{};
  EXPECT_TRUE(decode(bytes, &c));
  EXPECT_EQ(CRC32(bytes.data(), 28), c.crc32_le);
  return c.slot_info[slot];
}

std::string firmware_log() { return ota_test::read_file(board_dir() + "/firmware.log"); }

// A misc write command replaces the boot control block at the next boot, and is cleared.
TEST(Firmware, MiscWriteCommandChangesTheBlockAtReboot) {
  const auto block = boot_block({14, 7, 1, 0}, {15, 3, 0, 0});
  send_command(command_record("misc_write_cmd", block, 2048));
  EXPECT_EQ(read_dev(kMisc, 2048, 32), boot_block({15, 7, 0, 0}, {15, 7, 0, 0}));
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(slot_on_disk(1).tries_remaining(), 2);  // b booted: one try used
  EXPECT_EQ(slot_on_disk(0).priority(), 14);
  EXPECT_NE(cmdline().find("mirvoboot.slot_suffix=_b "), std::string::npos) << cmdline();
  EXPECT_EQ(read_dev(std::string(kByName) + "flashcmd", 0, 8), std::vector<uint8_t>(8, 0));
  // The rest of misc (the bootloader message) is not the command's to change.
  EXPECT_EQ(read_dev(kMisc, 0, 2048), std::vector<uint8_t>(2048, 0));
}

struct SlotCase {
  const char* what;
  Slot a;
  Slot b;
  int reboots;
  const char* boots;  // the slot the last boot hands over ("_a", "_b"), or "recovery"
};

// The slot the firmware boots, over one or more reboots, from a given block.
TEST(Firmware, ChoosesTheSlotAsAnAbBootLoader) {
  const SlotCase cases[] = {
      {"active b", {14, 7, 1, 0}, {15, 3, 0, 0}, 1, "_b"},
      {"tie goes to a", {15, 7, 0, 0}, {15, 7, 0, 0}, 2, "_a"},
      {"confirmed wins a tie", {15, 1, 0, 0}, {15, 1, 1, 0}, 1, "_b"},
      {"b runs out of tries", {14, 1, 1, 0}, {15, 2, 0, 0}, 3, "_a"},
      {"a without tries skipped", {15, 0, 0, 0}, {3, 1, 1, 0}, 1, "_b"},
      {"corrupted skipped", {15, 7, 1, 1}, {14, 1, 1, 0}, 1, "_b"},
      {"nothing bootable", {15, 0, 1, 0}, {15, 2, 0, 1}, 1, "recovery"},
  };
  for (const auto& c : cases) {
    write_dev(kMisc, 2048, boot_block(c.a, c.b));
    for (int i = 0; i < c.reboots; ++i) {
      ASSERT_EQ(reboot(), 0) << c.what;
    }
    const std::string expected =
        c.boots[0] == '_' ? std::string("slot_suffix=") + c.boots + " mirvoboot.mode=normal"
                          : "mirvoboot.mode=recovery";
    EXPECT_NE(cmdline().find(expected), std::string::npos) << c.what << ": " << cmdline();
  }
}

// A confirmed slot keeps its tries; unconfirmed boots count up on the command line until
// the AONREG clear.
TEST(Firmware, BootCountFollowsUnconfirmedBootsAndAonregClear) {
  write_dev(kMisc, 2048, boot_block({15, 7, 0, 0}, {14, 7, 0, 0}));
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(reboot(), 0);
  EXPECT_NE(cmdline().find("mirvoboot.bootcount=2"), std::string::npos) << cmdline();
  write_dev(kMisc, 2048, boot_block({15, 1, 1, 0}, {14, 7, 0, 0}));
  send_command(command_record("aonreg_write_cmd"));
  ASSERT_EQ(reboot(), 0);
  EXPECT_NE(cmdline().find("mirvoboot.bootcount=0"), std::string::npos) << cmdline();
  EXPECT_EQ(slot_on_disk(0).tries_remaining(), 1);
  EXPECT_NE(firmware_log().find("AONREG cleared"), std::string::npos);
}

// Records the firmware must not carry out: bad magic, unknown kind, oversized data area.
TEST(Firmware, RefusesBadRecordsAndLeavesMiscAlone) {
  const auto before = read_dev(kMisc, 2048, 32);
  const auto block = boot_block({1, 1, 0, 0}, {15, 3, 0, 0});
  struct Bad {
    const char* why;
    size_t at;
    uint32_t value;
    const char* logged;
  };
  const Bad bads[] = {{"magic", 0, 0x46434D45, "bad magic"},
                      {"kind", 4, 99, "unknown command type 99"},
                      {"area", 12, 0x40000000, "does not fit"}};
  for (const auto& bad : bads) {
    auto rec = command_record("misc_write_cmd", block, 2048);
    put_le32(rec, bad.at, bad.value);
    send_command(rec);
    ASSERT_EQ(reboot(), 0) << bad.why;
    // Slot b's byte: the refused block would have made b the slot to boot.
    EXPECT_EQ(read_dev(kMisc, 2048, 32)[14], before[14]) << bad.why;
    EXPECT_NE(cmdline().find("slot_suffix=_a"), std::string::npos) << bad.why;
    EXPECT_NE(firmware_log().find(bad.logged), std::string::npos) << bad.why;
  }
}

// The NOR A-to-B copy takes the layout's pairs, or only the pairs of a sync table.
TEST(Firmware, NorCopiesAToBFromLayoutOrSyncTable) {
  const auto l = layout();
  const auto pairs = l.nor_ab_pairs();
  ASSERT_GE(pairs.size(), 2U);
  for (size_t i = 0; i < pairs.size(); ++i) {
    write_dev(kByName + pairs[i].first->name, 0, pattern(pairs[i].first->size, 10 + i));
  }
  send_command(command_record("other_a2b_cmd"));
  ASSERT_EQ(reboot(), 0);
  for (const auto& [a, b] : pairs) {
    EXPECT_EQ(read_dev(kByName + b->name, 0, b->size), read_dev(kByName + a->name, 0, a->size))
        << b->name;
  }
  // B to A with a table naming only the second pair.
  write_dev(kByName + pairs[0].second->name, 0, pattern(pairs[0].second->size, 20));
  write_dev(kByName + pairs[1].second->name, 0, pattern(pairs[1].second->size, 21));
  std::vector<uint8_t> table(200, 0);
  put_le32(table, 0, 0xDEADBEEF);
  put_le32(table, 4, 1);
  put_le32(table, 8, static_cast<uint32_t>(pairs[1].first->offset));
  put_le32(table, 72, static_cast<uint32_t>(pairs[1].second->offset));
  put_le32(table, 136, static_cast<uint32_t>(pairs[1].first->size));
  send_command(command_record("other_b2a_cmd", table, 0));
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(read_dev(kByName + pairs[1].first->name, 0, pairs[1].first->size),
            pattern(pairs[1].second->size, 21));
  EXPECT_EQ(read_dev(kByName + pairs[0].first->name, 0, pairs[0].first->size),
            pattern(pairs[0].first->size, 10));
}

// The security partitions go to their backups and come back.
TEST(Firmware, SecurityPartitionsCopyMainToBackupAndBack) {
  const auto l = layout();
  const auto pairs = l.backup_pairs();
  ASSERT_EQ(pairs.size(), 4U);
  for (size_t i = 0; i < pairs.size(); ++i) {
    write_dev(kByName + pairs[i].first->name, 0, pattern(pairs[i].first->size, 30 + i));
  }
  send_command(command_record("hsm_m2b_cmd"));
  ASSERT_EQ(reboot(), 0);
  for (size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(read_dev(kByName + pairs[i].second->name, 0, pairs[i].second->size),
              pattern(pairs[i].first->size, 30 + i))
        << pairs[i].second->name;
    write_dev(kByName + pairs[i].second->name, 0, pattern(pairs[i].second->size, 40 + i));
  }
  send_command(command_record("hsm_b2m_cmd"));
  ASSERT_EQ(reboot(), 0);
  for (size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(read_dev(kByName + pairs[i].first->name, 0, pairs[i].first->size),
              pattern(pairs[i].first->size, 40 + i))
        << pairs[i].first->name;
  }
}

// MCU notices are carried out by logging them; a forced recovery boot says so.
TEST(Firmware, LogsMcuNoticesAndBootsRecoveryOnRequest) {
  send_command(command_record("mcu_pre_reboot"));
  ASSERT_EQ(reboot(true), 0);
  EXPECT_NE(firmware_log().find("MCU notice: mcu_pre_reboot"), std::string::npos);
  EXPECT_NE(cmdline().find("mirvoboot.mode=recovery"), std::string::npos);
}

}  // namespace
