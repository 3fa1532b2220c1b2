// Flash command records written into the flashcmd partition of a virtual board.
#include <gtest/gtest.h>

#include "board_records.h"
#include "flash_cmd.h"
#include "road_record.h"

namespace {

using namespace board_io;
using namespace board_records;

constexpr size_t kSpan = 16384;  // more than any record of the board's templates
const std::string kTemplates = "/usr/mirvo/share/ota/";

std::vector<uint8_t> template_bytes(const std::string& name) {
  return read_dev(kTemplates + name, 0, FLASHCMD_TEMPLATE_SIZE);
}

// A data command is the template, the data area with the data at its offset and zeros
// elsewhere, and four zero bytes; a command without data is the template and four zeros;
// an MCU notification is exactly the template's 2272 bytes. What lies behind the record
// in the partition stays.
TEST(FlashCmdBoard, RecordLayoutOnThePartition) {
  struct Row {
    const char* cmd;
    std::vector<uint8_t> data;
    uint32_t offset;
  };
  const Row rows[] = {{"misc_write_cmd", pattern(32, 1), BOOT_CTRL_OFFSET},
                      {"other_a2b_cmd", pattern(200, 2), 0},
                      {"aonreg_write_cmd", {}, 0},
                      {"mcu_pre_reboot", {}, 0}};
  for (const Row& r : rows) {
    write_dev(kFlashcmd, 0, filled(kSpan, 0xAA));
    const bool notice = r.cmd[0] == 'm' && r.cmd[1] == 'c';
    std::vector<uint8_t> data = r.data;
    ASSERT_EQ(notice ? notify_mcu(MCU_PRE_REBOOT)
                     : ota_write_flashcmd(r.cmd, data.empty() ? nullptr : data.data(),
                                          static_cast<uint32_t>(data.size()), r.offset),
              0)
        << r.cmd;
    const auto tmpl = template_bytes(r.cmd);
    const size_t area = ota_flashcmd_has_data(r.cmd) ? le32(tmpl, FLASHCMD_DATA_SIZE_OFFSET) : 0;
    std::vector<uint8_t> expected = tmpl;
    expected.resize(FLASHCMD_TEMPLATE_SIZE + area + (notice ? 0 : FLASHCMD_TRAILER_SIZE), 0);
    std::copy(data.begin(), data.end(), expected.begin() + FLASHCMD_TEMPLATE_SIZE + r.offset);
    expected.resize(kSpan, 0xAA);
    EXPECT_EQ(read_dev(kFlashcmd, 0, kSpan), expected) << r.cmd;
  }
}

// Templates that are damaged, missing, or too small for the data write nothing.
TEST(FlashCmdBoard, RefusedCommandsWriteNothing) {
  write_dev(kFlashcmd, 0, filled(kSpan, 0xAA));
  auto bad = template_bytes("aonreg_write_cmd");
  put_le32(bad, 0, 0x46434D45);
  write_dev(kTemplates + "aonreg_write_cmd", 0, bad);
  ota_test::clear_log_records();
  EXPECT_EQ(ota_write_flashcmd("aonreg_write_cmd", nullptr, 0, 0), -1);
  EXPECT_TRUE(ota_test::log_contains("Invalid flash cmd magic: 46434d45"));

  auto mcu = template_bytes("mcu_start_ota");
  mcu[0] = 'X';
  write_dev(kTemplates + "mcu_start_ota", 0, mcu);
  EXPECT_EQ(notify_mcu(MCU_START_OTA), -1);
  ASSERT_EQ(::unlink((kTemplates + "mcu_abort_ota").c_str()), 0);
  EXPECT_EQ(notify_mcu(MCU_ABORT_OTA), -2);
  EXPECT_EQ(ota_write_flashcmd("no_such_cmd", nullptr, 0, 0), -1);

  const uint32_t area = le32(template_bytes("misc_write_cmd"), FLASHCMD_DATA_SIZE_OFFSET);
  std::vector<uint8_t> block(32, 0x11);
  ota_test::clear_log_records();
  EXPECT_EQ(ota_write_flashcmd("misc_write_cmd", block.data(), 32, area - 31), -1);
  EXPECT_EQ(ota_write_flashcmd("misc_write_cmd", block.data(), 0xFFFFFFFFU, 1), -1);
  EXPECT_TRUE(ota_test::log_contains("Misc data out of range"));

  // A data area larger than the partition would leave a cut-off record behind.
  auto huge = template_bytes("misc_write_cmd");
  put_le32(huge, FLASHCMD_DATA_SIZE_OFFSET, 2U << 20);
  write_dev(kTemplates + "misc_write_cmd", 0, huge);
  EXPECT_EQ(ota_write_flashcmd("misc_write_cmd", block.data(), 32, BOOT_CTRL_OFFSET), -1);
  EXPECT_TRUE(ota_test::log_contains("does not fit"));
  EXPECT_EQ(read_dev(kFlashcmd, 0, kSpan), filled(kSpan, 0xAA));
}

std::vector<std::string> queued() {
  ota_road_record_t road{};
  EXPECT_EQ(ota_road_read(&road), 0);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < road.queue_len; ++i) {
    names.emplace_back(road.queue[i]);
  }
  return names;
}

std::string pending() {
  std::string name;
  return ota_flashcmd_pending(&name) == 1 ? name : std::string();
}

std::string firmware_log() { return ota_test::read_file(board_dir() + "/firmware.log"); }

// While a command is pending, commands without data wait in the queue in order (the
// warning names both), the pending one stays, and each later drain on a free channel
// sends the oldest, also when a new command comes; the firmware carries all of them out
// in the order they were asked for, none lost.
TEST(FlashCmdBoard, BusyChannelQueuesInOrder) {
  ASSERT_EQ(ota_write_flashcmd("hsm_m2b_cmd", nullptr, 0, 0), 0);
  const auto sent = read_dev(kFlashcmd, 0, kSpan);
  ota_test::clear_log_records();
  ASSERT_EQ(ota_write_flashcmd("aonreg_write_cmd", nullptr, 0, 0), 0);
  EXPECT_TRUE(ota_test::log_contains("busy with hsm_m2b_cmd: aonreg_write_cmd queued"));
  ASSERT_EQ(notify_mcu(MCU_POST_OTA), 0);
  EXPECT_EQ(read_dev(kFlashcmd, 0, kSpan), sent);
  EXPECT_EQ(queued(), (std::vector<std::string>{"aonreg_write_cmd", "mcu_post_ota"}));
  EXPECT_EQ(ota_flashcmd_drain_queue(), 0);  // still busy: nothing sent
  EXPECT_EQ(queued().size(), 2U);

  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(pending(), "");
  // On the free channel a new command still waits behind the queued ones.
  ASSERT_EQ(notify_mcu(MCU_PRE_REBOOT), 0);
  EXPECT_EQ(pending(), "aonreg_write_cmd");
  EXPECT_EQ(queued(), (std::vector<std::string>{"mcu_post_ota", "mcu_pre_reboot"}));
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_flashcmd_drain_queue(), 1);
  EXPECT_EQ(pending(), "mcu_post_ota");
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_flashcmd_drain_queue(), 1);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(ota_flashcmd_drain_queue(), 0);
  ASSERT_EQ(reboot(), 0);
  const std::string log = firmware_log();
  size_t at = 0;
  for (const char* line : {"flash command hsm_m2b_cmd", "flash command aonreg_write_cmd",
                           "MCU notice: mcu_post_ota", "MCU notice: mcu_pre_reboot"}) {
    at = log.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " not in order in:\n" << log;
  }
}

// A data command never replaces a pending one and cannot wait: it is refused with a
// line naming both, and nothing is written; a full queue refuses further commands.
TEST(FlashCmdBoard, DataCommandAndFullQueueRefused) {
  ASSERT_EQ(ota_write_flashcmd("hsm_b2m_cmd", nullptr, 0, 0), 0);
  const auto sent = read_dev(kFlashcmd, 0, kSpan);
  std::vector<uint8_t> table(200, 0x33);
  ota_test::clear_log_records();
  EXPECT_EQ(ota_write_flashcmd("other_a2b_cmd", table.data(), 200, 0), -1);
  EXPECT_TRUE(ota_test::log_contains("other_a2b_cmd refused: hsm_b2m_cmd is pending"));
  for (size_t i = 0; i < OTA_ROAD_QUEUE_MAX; ++i) {
    ASSERT_EQ(notify_mcu(MCU_START_OTA), 0) << i;
  }
  EXPECT_EQ(notify_mcu(MCU_ABORT_OTA), -1);
  EXPECT_TRUE(ota_test::log_contains("queue of 4 commands is full"));
  EXPECT_EQ(read_dev(kFlashcmd, 0, kSpan), sent);
  EXPECT_EQ(queued().size(), OTA_ROAD_QUEUE_MAX);
}

// A queued command whose template has gone is dropped by the drain instead of blocking
// every command behind it.
TEST(FlashCmdBoard, UnsendableQueuedCommandDropped) {
  ASSERT_EQ(ota_write_flashcmd("hsm_m2b_cmd", nullptr, 0, 0), 0);
  ASSERT_EQ(notify_mcu(MCU_ABORT_OTA), 0);
  ASSERT_EQ(notify_mcu(MCU_PRE_REBOOT), 0);
  ASSERT_EQ(::unlink((kTemplates + "mcu_abort_ota").c_str()), 0);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_flashcmd_drain_queue(), 0);
  EXPECT_EQ(ota_flashcmd_drain_queue(), 1);
  EXPECT_EQ(pending(), "mcu_pre_reboot");
}

// A misc write command left pending by an older engine is cleared by the next save of
// the boot control block, so it cannot undo that save at the next boot.
TEST(FlashCmdBoard, StaleMiscWriteClearedBySave) {
  bootloader_control old{};
  ASSERT_EQ(bootctrl_get_info(&old), 0);
  std::vector<uint8_t> block(32);
  old.crc32_le = bootctrl_crc(old);
  ASSERT_TRUE(encode(old, block));
  send_command(command_record("misc_write_cmd", block, BOOT_CTRL_OFFSET));
  EXPECT_EQ(pending(), "misc_write_cmd");
  ASSERT_EQ(ota_set_slot_unbootable(1), 0);
  EXPECT_EQ(pending(), "");
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_slot_bootable_state(1), 0);
}

}  // namespace
