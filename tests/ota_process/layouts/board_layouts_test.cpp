#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "board_layout.h"
#include "pack_description.h"
#include "packager.h"
#include "test_support.h"

namespace {

struct ShellRun {
  int code = -1;
  std::string output;
};

ShellRun shell(const std::string& cmd) {
  ShellRun run;
  run.output = ota_test::shell_output(cmd + " 2>&1", &run.code);
  return run;
}

class BoardLayoutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(100000, 3));
    auto d = ota::pack::parse_description("part boot boot.img\n", dir_.path());
    ASSERT_TRUE(d.ok()) << d.error().message();
    auto r = ota::pack::make_package(d.value(), dir_.file("package.zip"));
    ASSERT_TRUE(r.ok()) << r.error().message();
  }
  // Makes a board from layout text ("" for the built-in board), runs the pre-flight
  // helper on the package inside it, and removes the board.
  ShellRun preflight_on(const std::string& layout) {
    const std::string board = dir_.file("board");
    std::string create = std::string(VBOARD_EXE) + " create " + board;
    if (!layout.empty()) {
      ota_test::write_file(dir_.file("board.layout"), layout);
      create += " --layout " + dir_.file("board.layout");
    }
    const ShellRun made = shell(create);
    EXPECT_EQ(made.code, 0) << made.output;
    ota_test::write_file(board + "/package.zip", ota_test::read_file(dir_.file("package.zip")));
    const ShellRun run = shell(std::string(VBOARD_EXE) + " run " + board + " -- " +
                               BOARD_PREFLIGHT_EXE + " " + board + "/package.zip");
    (void)shell("rm -rf " + board);
    return run;
  }
  ota_test::TempDir dir_;
};

// The package made for the default board passes there, and is refused on a board whose
// boot_a ends one 4 KiB block later, or whose first NOR partition is smaller, naming what
// differs.
TEST_F(BoardLayoutsTest, SamePackageOnBoardsOfOtherLayouts) {
  const struct {
    std::string from, to;  // a line of the default layout and its replacement
    int code;
    const char* says;
  } cases[] = {
      {"", "", 0, "verify gpt config success!"},
      {"emmc boot      16M  ab", "emmc boot 16781312 ab", 6,
       "GPT mismatch found at: file:boot_a vs on_disk:boot_a"},
      {"nor  uboot     512K ab", "nor  uboot     508K ab", 6,
       "nor:526336 and 522240 compare failed!"},
  };
  for (const auto& c : cases) {
    std::string layout;
    if (!c.from.empty()) {
      layout = ota::board::default_layout_text();
      ASSERT_NE(layout.find(c.from), std::string::npos) << c.from;
      layout.replace(layout.find(c.from), c.from.size(), c.to);
    }
    const ShellRun run = preflight_on(layout);
    EXPECT_EQ(run.code, c.code) << c.to << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.to << "\n" << run.output;
  }
}

}  // namespace
