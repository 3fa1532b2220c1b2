// What ota_tool shows while the real worker updates the board: on a pipe and on a terminal
// only the tool's own lines and bar, never a line of the engine (the library's and the
// worker's log lines, the worker's "g_ota_dir" and the `df` it runs), which --log FILE
// collects instead.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "board_client.h"

namespace {

using board_client::run;

class ToolOutputTest : public board_client::ClientTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ClientTest::SetUp());
    ASSERT_EQ(otaMarkOTASuccessful(), 0);
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(1 << 20, 31));
    pkg_ = board_client::pack(dir_, "part boot boot.img\n", OTA_PROCESS_EXE,
                              "/userdata/all_in_one_output.zip");
  }

  // ota_tool update with its log in log_, its own output redirected as given.
  int update(const std::string& options, const std::string& redirect) {
    return run(std::string(OTA_TOOL_EXE) + " update '" + pkg_ + "' --log '" + log_ + "' " +
               options + " " + redirect);
  }

  // The engine's lines went to the log and nowhere else: the worker's own print and a
  // log line of its.
  void expect_engine_lines_in_log() const {
    const std::string log = ota_test::read_file(log_);
    EXPECT_NE(log.find("g_ota_dir /userdata/ota"), std::string::npos) << log;
    EXPECT_NE(log.find("[OTA_INFO]["), std::string::npos) << log;
  }

  static void expect_no_engine_line(const std::string& screen) {
    for (const char* engine : {"g_ota_dir", "[OTA_", "/userdata\n", "Filesystem"}) {
      EXPECT_EQ(screen.find(engine), std::string::npos) << engine << " on the screen:\n" << screen;
    }
  }

  ota_test::TempDir dir_;
  std::string pkg_;
  std::string log_ = dir_.file("engine.log");
};

std::vector<std::string> split(const std::string& text, const std::string& separators) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    if (separators.find(c) != std::string::npos) {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

// Not a terminal (a service, a pipe): one "progress" line per change, then the result.
TEST_F(ToolOutputTest, PipeShowsOnlyProgressLinesAndTheResult) {
  const std::string out = dir_.file("out");
  const std::string err = dir_.file("err");
  ASSERT_EQ(update("", ">'" + out + "' 2>'" + err + "'"), 0) << ota_test::read_file(out);
  const std::string screen = ota_test::read_file(out);
  expect_no_engine_line(screen);
  EXPECT_EQ(ota_test::read_file(err), "");
  const std::regex progress(R"(progress (\d|[1-9]\d|100)% [A-Za-z0-9_.]*)");
  const std::vector<std::string> lines = split(screen, "\n");
  ASSERT_GE(lines.size(), 3U) << screen;
  for (size_t i = 0; i + 2 < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], progress)) << "line " << i << ": " << lines[i];
  }
  EXPECT_EQ(lines[lines.size() - 2], "update succeeded");
  EXPECT_EQ(lines.back(), "");
  expect_engine_lines_in_log();
}

// On a terminal (util-linux `script` gives the tool one): the bar redrawn in place, then
// the result; the log gathers the engine's lines of this run after those already there.
TEST_F(ToolOutputTest, TerminalShowsOnlyTheBarAndTheResult) {
  ota_test::write_file(log_, "earlier line\n");
  const std::string typescript = dir_.file("typescript");
  const std::string cmd = std::string(OTA_TOOL_EXE) + " update '" + pkg_ + "' --log '" + log_ + "'";
  ASSERT_EQ(run("script -q -e -c \"" + cmd + "\" /dev/null >'" + typescript + "' 2>&1"), 0)
      << ota_test::read_file(typescript);
  const std::string screen = ota_test::read_file(typescript);
  expect_no_engine_line(screen);
  const std::regex bar(R"(\x1b\[K\[#*-*\] +(\d|[1-9]\d|100)%  [A-Za-z0-9_.]*)");
  unsigned bars = 0;
  std::vector<std::string> others;
  for (const std::string& piece : split(screen, "\r\n")) {
    if (std::regex_match(piece, bar)) {
      ++bars;
    } else if (!piece.empty()) {
      others.push_back(piece);
    }
  }
  EXPECT_GE(bars, 1U) << screen;
  ASSERT_EQ(others.size(), 1U) << screen;
  EXPECT_EQ(others[0], "update succeeded");
  const std::string log = ota_test::read_file(log_);
  EXPECT_EQ(log.rfind("earlier line\n", 0), 0U) << "--log must append";
  expect_engine_lines_in_log();
}

}  // namespace
