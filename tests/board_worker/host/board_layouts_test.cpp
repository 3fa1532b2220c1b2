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
  int code;
  std::string output;
};

ShellRun shell(const std::string& cmd) {
  ShellRun run{-1, ""};
  FILE* pipe = popen((cmd + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return run;
  }
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) {
    run.output.append(buf, n);
  }
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
// boot_a ends one 4 KiB block later, with the partition named.
TEST_F(BoardLayoutsTest, SamePackageOnMovedBoard) {
  const ShellRun ok = preflight_on("");
  EXPECT_EQ(ok.code, 0) << ok.output;
  EXPECT_NE(ok.output.find("verify gpt config success!"), std::string::npos) << ok.output;

  std::string moved(ota::board::default_layout_text());
  const std::string from = "emmc boot      16M  ab";
  ASSERT_NE(moved.find(from), std::string::npos);
  moved.replace(moved.find(from), from.size(), "emmc boot 16781312 ab");
  const ShellRun refused = preflight_on(moved);
  EXPECT_EQ(refused.code, 6) << refused.output;
  EXPECT_NE(refused.output.find("GPT mismatch found at: file:boot_a vs on_disk:boot_a"),
            std::string::npos)
      << refused.output;
}

// The same package is refused on a board whose first NOR partition is smaller.
TEST_F(BoardLayoutsTest, SamePackageOnSmallerNor) {
  std::string layout(ota::board::default_layout_text());
  const std::string from = "nor  uboot     512K ab";
  ASSERT_NE(layout.find(from), std::string::npos);
  layout.replace(layout.find(from), from.size(), "nor  uboot     508K ab");
  const ShellRun refused = preflight_on(layout);
  EXPECT_EQ(refused.code, 6) << refused.output;
  EXPECT_NE(refused.output.find("nor:526336 and 522240 compare failed!"), std::string::npos)
      << refused.output;
}

}  // namespace
