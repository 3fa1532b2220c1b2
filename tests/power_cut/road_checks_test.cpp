// The checks the power-cut explorer and the kill-point tests apply to an interrupted
// board: which generation a slot holds, and what breaks the rules once the firmware
// booted it. The boards are made here by hand, so that each rule is seen to fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <span>

#include "crc.h"
#include "flash_cmd.h"
#include "le_bytes.h"

#include "board_checks.h"
#include "test_support.h"

namespace {

using ota_road::Generation;

TEST(RoadChecks, SlotGenerationNamesTheWholeGenerationOrWhatIsMixed) {
  const std::vector<Generation> gens = {{{"boot", "b0"}, {"system", "s0"}},
                                        {{"boot", "b1"}, {"system", "s1"}},
                                        {{"boot", "b1"}, {"system", "s2"}}};
  struct Row {
    std::vector<std::string> bytes;  // boot, system
    int gen;
    std::string parts;
  } const rows[] = {
      {{"b0", "s0"}, 0, " boot 0 system 0"},
      {{"b1", "s1"}, 1, " boot 1 system 1"},
      // A partition two generations share counts for both.
      {{"b1", "s2"}, 2, " boot 1 system 2"},
      {{"b0", "s1"}, -1, " boot 0 system 1"},
      {{"b1", "xx"}, -1, " boot 1 system other"},
  };
  for (const Row& r : rows) {
    std::string parts;
    EXPECT_EQ(ota_road::slot_generation(gens, r.bytes, &parts), r.gen) << r.parts;
    EXPECT_EQ(parts, r.parts);
  }
}

// A board with the old images in both slots, booted once: then the new images written
// into slot b (or part of them), the records left as the road leaves them.
class InterruptedBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = std::make_unique<ota_road::RoadBoard>(VBOARD_EXE, dir_.file("board"), ROAD_LAYOUT);
    gens_ = {{{"boot", std::string(8192, 'o')}, {"system", std::string(8192, 'O')}},
             {{"boot", std::string(8192, 'n')}, {"system", std::string(8192, 'N')}}};
    for (const auto& [name, bytes] : gens_[0]) {
      board_->write_part(name + "_a", bytes);
      board_->write_part(name + "_b", bytes);
    }
    ASSERT_EQ(board_->reboot().status, 0);
  }

  // Rewrites the boot control block in misc after edit changed it.
  void edit_misc(const std::function<void(bootloader_control&)>& edit) const {
    std::string misc = board_->read_part("misc", BOOT_CTRL_OFFSET + sizeof(bootloader_control));
    bootloader_control ctrl{};
    ASSERT_TRUE(
        decode(std::span<const uint8_t>(
                   reinterpret_cast<const uint8_t*>(misc.data()) + BOOT_CTRL_OFFSET, sizeof(ctrl)),
               &ctrl));
    edit(ctrl);
    uint8_t raw[sizeof(ctrl)];
    ctrl.crc32_le = 0;
    ASSERT_TRUE(encode(ctrl, raw));
    ctrl.crc32_le = CRC32(raw, BOOT_CTRL_CRC_LEN);
    ASSERT_TRUE(encode(ctrl, raw));
    misc.replace(BOOT_CTRL_OFFSET, sizeof(raw), reinterpret_cast<const char*>(raw), sizeof(raw));
    board_->write_part("misc", misc);
  }

  // A valid status record with the update flag up.
  void put_status(ota_update_flag_e up) const {
    std::string v = board_->read_part("veeprom", OTA_STATUS_OFFSET + sizeof(ota_status_t));
    ota_status_t st{};
    st.magic = OTA_STATUS_MAGIC;
    st.up = up;
    st.next_slot = 1;
    st.crc32_le = ota_status_crc(st);
    uint8_t raw[sizeof(st)];
    ASSERT_TRUE(encode(st, raw));
    v.replace(OTA_STATUS_OFFSET, sizeof(raw), reinterpret_cast<const char*>(raw), sizeof(raw));
    board_->write_part("veeprom", v);
  }

  [[nodiscard]] std::vector<std::string> problems() const {
    return ota_road::interrupted_problems(*board_, board_->records(), {gens_, 1, 1, 0});
  }

  ota_test::TempDir dir_;
  std::unique_ptr<ota_road::RoadBoard> board_;
  std::vector<Generation> gens_;
};

TEST_F(InterruptedBoard, OldSlotsPassAndAHalfWrittenBootedSlotFails) {
  EXPECT_TRUE(problems().empty());
  board_->write_part("boot_a", gens_[1].at("boot"));
  const auto p = problems();
  ASSERT_EQ(p.size(), 1U);
  EXPECT_EQ(p[0], "slot a boots holding a mix: boot 1 system 0");
}

TEST_F(InterruptedBoard, AHalfWrittenSlotOnlyMattersWhileBootable) {
  board_->write_part("system_b", gens_[1].at("system"));
  // Both slots bootable after the first boot: slot b's mix counts.
  auto p = problems();
  ASSERT_EQ(p.size(), 1U);
  EXPECT_EQ(p[0], "slot b is bootable holding a mix: boot 0 system 1");
  // The engine marks the slot it writes unbootable first.
  edit_misc([](bootloader_control& c) { c.slot_info[1].set_priority(0); });
  EXPECT_TRUE(problems().empty());
}

TEST_F(InterruptedBoard, ARecordThatSaysTheTargetWasWrittenMustBeTrue) {
  // The status record of a written, switched-to update, while slot b holds the old images.
  put_status(OTA_FLAG_VERIFY);
  auto p = problems();
  ASSERT_EQ(p.size(), 1U);
  EXPECT_EQ(p[0].rfind("the status record says slot b was written, but it holds generation 0", 0),
            0U)
      << p[0];
  for (const auto& [name, bytes] : gens_[1]) {
    board_->write_part(name + "_b", bytes);
  }
  EXPECT_TRUE(problems().empty());
}

// The end of a road: slot b runs confirmed with the new images, a keeps the old, both
// bootable, the records idle. Each row breaks one of these.
TEST_F(InterruptedBoard, TheEndOfTheRoadIsCheckedWhole) {
  struct Row {
    const char* broken;
    std::function<void()> make;
    const char* want;  // the first problem; "" for none
  } const rows[] = {
      {"nothing", [] {}, ""},
      {"slot b unconfirmed",
       [this] { edit_misc([](bootloader_control& c) { c.slot_info[1].set_successful_boot(0); }); },
       "the new slot is not confirmed at the end"},
      {"the board runs a",
       [this] {
         ota_test::write_file(board_->dir() + "/cmdline",
                              "mirvoboot.slot_suffix=_a mirvoboot.mode=normal\n");
       },
       "the board runs slot a, not the new slot b"},
      {"the fallback torn", [this] { board_->write_part("boot_a", gens_[1].at("boot")); },
       "the fallback slot a holds a mix: boot 1 system 0, not generation 0"},
      {"slot a unbootable",
       [this] { edit_misc([](bootloader_control& c) { c.slot_info[0].set_tries_remaining(0); }); },
       "slot a is not bootable at the end"},
      {"the status record still up", [this] { put_status(OTA_FLAG_VERIFIED); },
       "the status record is not idle at the end"},
      {"a flash command pending",
       [this] {
         uint8_t head[8];
         ota::store_le32(head, FLASHCMD_MAGIC);
         ota::store_le32(head + 4, 3);
         board_->write_part("flashcmd", std::string(reinterpret_cast<char*>(head), 8));
       },
       "flash command 3 still pending after the last reboot"},
  };
  ASSERT_EQ(board_->run({"/bin/true"}).status, 0);
  const std::string clean = dir_.file("clean");
  std::filesystem::create_directories(clean);
  for (const auto& [name, bytes] : gens_[1]) {
    board_->write_part(name + "_b", bytes);
  }
  edit_misc([](bootloader_control& c) {
    c.slot_info[1].set_priority(15);
    c.slot_info[1].set_successful_boot(1);
  });
  put_status(OTA_FLAG_NORMAL);
  ota_test::write_file(board_->dir() + "/cmdline",
                       "mirvoboot.slot_suffix=_b mirvoboot.mode=normal\n");
  board_->save(clean);
  for (const Row& r : rows) {
    board_->restore(clean);
    r.make();
    const auto p = ota_road::finished_problems(*board_, {gens_, 1, 1, 0});
    if (std::string(r.want).empty()) {
      EXPECT_TRUE(p.empty()) << r.broken << ": " << (p.empty() ? "" : p.front());
    } else {
      ASSERT_FALSE(p.empty()) << r.broken << " passed";
      EXPECT_EQ(p.front(), r.want) << r.broken;
    }
  }
}

}  // namespace
