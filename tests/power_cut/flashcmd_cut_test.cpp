// A flash command cut by a power loss: the firmware carries out whatever follows a valid
// magic, so at no moment of the record's write may the magic be on the medium while the
// rest of the record is not. The crash points are found by what is written (the sector
// that holds the magic, the data area), not by their place in the log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_layout.h"
#include "flash_cmd.h"
#include "power_cut.h"
#include "test_support.h"

namespace {

struct Span {
  uint64_t begin, end;
  [[nodiscard]] bool touched_by(const vboard::RecordEvent& e) const {
    return e.kind == 'W' && e.file == "emmc.img" && e.offset < end && e.offset + e.length > begin;
  }
};

TEST(FlashCmdCut, TheMagicLandsOnlyOverADurableRecord) {
  ota_test::TempDir tmp;
  const std::string board = tmp.file("board");
  int status = 0;
  std::string out = ota_test::shell_output(
      std::string(VBOARD_EXE) + " create " + board + " --power-cut 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  out = ota_test::shell_output(
      std::string(VBOARD_EXE) + " run " + board + " -- " + FLASHCMD_SENDER + " other_a2b_cmd 2>&1",
      &status);
  ASSERT_EQ(status, 0) << out;

  const ota::board::Layout layout = ota::board::default_layout();
  const auto* part = layout.find("flashcmd");
  ASSERT_NE(part, nullptr);
  const Span magic{part->offset, part->offset + vboard::kSectorSize};
  const Span data{part->offset + FLASHCMD_MISCDATA_OFFSET,
                  part->offset + FLASHCMD_MISCDATA_OFFSET + 200};
  auto events = vboard::load_record(board + "/power-cut.log");
  ASSERT_TRUE(events) << events.error().message();

  // The last write of the magic's sector, and whether the data area was written and
  // flushed before it.
  size_t magic_write = events->size();
  for (size_t i = 0; i < events->size(); ++i) {
    if (magic.touched_by((*events)[i])) {
      magic_write = i;
    }
  }
  ASSERT_LT(magic_write, events->size()) << "the command's first sector was never written";
  bool data_written = false;
  bool data_durable = false;
  for (size_t i = 0; i < magic_write; ++i) {
    const auto& e = (*events)[i];
    if (data.touched_by(e)) {
      data_written = true;
      data_durable = false;
    } else if (e.kind == 'F' && e.file == "emmc.img" && data_written) {
      data_durable = true;
    }
  }
  EXPECT_TRUE(data_durable) << "the data area was not flushed before the sector that holds the "
                               "magic was written for the last time";
  bool flushed_after = false;
  for (size_t i = magic_write + 1; i < events->size(); ++i) {
    flushed_after = flushed_after || ((*events)[i].kind == 'F' && (*events)[i].file == "emmc.img");
  }
  EXPECT_TRUE(flushed_after) << "the magic was never made durable";
}

}  // namespace
