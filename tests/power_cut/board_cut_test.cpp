// A power cut of a running board: what was flushed survives, what was not is lost, the
// run ends, and the record rebuilds the same board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "test_support.h"
#include "unique_fd.h"

namespace {

using ota_test::shell_output;

constexpr const char* kMisc = "/dev/block/platform/by-name/misc";
constexpr uint64_t kMiscOffset = 1024 * 1024;  // the default layout's first partition

// `vboard ARGS` with stderr joined to stdout.
std::string vboard(const std::string& args, int* status) {
  return shell_output(std::string(VBOARD_EXE) + " " + args + " 2>&1", status);
}

// A shell line that writes `text` into misc's sector `sector` straight to the device
// (no page cache), so that it reaches the server's cache at once; flush adds an fsync.
// The sector goes whole: dd writes a short last block through the page cache.
std::string put(const std::string& text, int sector, bool flush) {
  return "(printf " + text + "; head -c " + std::to_string(512 - text.size()) +
         " /dev/zero) | dd of=" + kMisc + " bs=512 seek=" + std::to_string(sector) +
         " iflag=fullblock oflag=direct conv=notrunc" + (flush ? ",fsync" : "") + " 2>/dev/null; ";
}

std::string sector_text(const std::string& image, int sector, size_t len) {
  const ota::UniqueFd fd = ota::open_fd(image.c_str(), O_RDONLY);
  std::string out(len, '\0');
  EXPECT_EQ(ota::pread_full(fd.get(), out.data(), len,
                            static_cast<off_t>(kMiscOffset + static_cast<uint64_t>(sector) * 512)),
            static_cast<ssize_t>(len))
      << image;
  return out;
}

class BoardCut : public ::testing::Test {
 protected:
  void SetUp() override {
    int status = 0;
    const std::string out = vboard("create " + board_ + " --power-cut", &status);
    ASSERT_EQ(status, 0) << out;
    ASSERT_EQ(shell_output("cp -a --sparse=always " + board_ + " " + base_, &status), "");
    ASSERT_EQ(status, 0);
  }

  ota_test::TempDir tmp_;
  std::string board_ = tmp_.file("board");
  std::string base_ = tmp_.file("base");
};

TEST_F(BoardCut, UnflushedWritesAreLostAndTheRunEnds) {
  int status = 0;
  const std::string script = put("KEPT", 10, true) + put("LOST", 20, false) + VBOARD_EXE +
                             " power-cut $VBOARD_DIR; sleep 5; echo still running";
  std::string out = vboard("run " + board_ + " -- sh -c '" + script + "'", &status);
  EXPECT_EQ(status, 128 + 9) << out;
  EXPECT_EQ(out.find("still running"), std::string::npos) << out;
  EXPECT_NE(out.find("lost power"), std::string::npos) << out;
  const std::string image = board_ + "/emmc.img";
  EXPECT_EQ(sector_text(image, 10, 4), "KEPT");
  EXPECT_EQ(sector_text(image, 20, 4), std::string(4, '\0'));

  // The record rebuilds the cut: nothing pending kept equals the board, all of it
  // equals what the board showed just before.
  out = vboard("crash-state " + board_ + " --list", &status);
  ASSERT_EQ(status, 0) << out;
  size_t events = 0;
  ASSERT_EQ(std::sscanf(out.c_str(), "events %zu", &events), 1) << out;
  const std::string at_cut = std::to_string(events);
  const std::string before_cut = std::to_string(events - 1);
  out = vboard("crash-state " + board_ + " --from " + base_ + " --at " + at_cut +
                   " --pending all " + tmp_.file("at_cut"),
               &status);
  ASSERT_EQ(status, 0) << out;
  shell_output("cmp -s " + tmp_.file("at_cut/emmc.img") + " " + image, &status);
  EXPECT_EQ(status, 0) << "all writes pending at the cut were lost, whatever --pending says";
  out = vboard("crash-state " + board_ + " --from " + base_ + " --at " + before_cut +
                   " --pending all " + tmp_.file("all"),
               &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(sector_text(tmp_.file("all/emmc.img"), 20, 4), "LOST");

  // The board runs again from what was durable.
  out = vboard("run " + board_ + " -- dd if=" + std::string(kMisc) +
                   " bs=512 skip=10 count=1 iflag=direct status=none",
               &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.substr(0, 4), "KEPT");
}

TEST_F(BoardCut, ARunThatEndsWithPowerOnKeepsEverything) {
  int status = 0;
  std::string out =
      vboard("run " + board_ + " -- sh -c '" + put("CLEAN", 30, false) + "'", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(sector_text(board_ + "/emmc.img", 30, 5), "CLEAN");
  // A cut from outside a run is no cut at all.
  out = vboard("power-cut " + board_, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("not running"), std::string::npos) << out;
  EXPECT_EQ(sector_text(board_ + "/emmc.img", 30, 5), "CLEAN");
}

// A crash state that cannot be built (its record's data no longer matches) fails with
// what broke and leaves no half-built board behind.
TEST_F(BoardCut, AStateThatCannotBeBuiltLeavesNoFolder) {
  int status = 0;
  std::string out = vboard("run " + board_ + " -- sh -c '" + put("DATA", 40, true) + "'", &status);
  ASSERT_EQ(status, 0) << out;
  ota_test::write_file(board_ + "/power-cut.dat",
                       std::string(ota_test::read_file(board_ + "/power-cut.dat").size(), 'z'));
  out = vboard("crash-state " + board_ + " --list", &status);
  size_t events = 0;
  ASSERT_EQ(std::sscanf(out.c_str(), "events %zu", &events), 1) << out;
  out = vboard("crash-state " + board_ + " --from " + base_ + " --at " + std::to_string(events) +
                   " --pending all " + tmp_.file("state"),
               &status);
  EXPECT_NE(status, 0) << out;
  EXPECT_NE(out.find("does not match its MD5"), std::string::npos) << out;
  EXPECT_NE(::access(tmp_.file("state").c_str(), F_OK), 0) << "a half-built state was left";
}

// The firmware booted from the host, outside a run, records its writes and flushes as
// the server does: its boots are cut like the engine's writes.
TEST_F(BoardCut, AFirmwareBootOutsideARunIsRecorded) {
  int status = 0;
  std::string out = vboard("reboot " + board_, &status);
  ASSERT_EQ(status, 0) << out;
  const std::string log = ota_test::read_file(board_ + "/power-cut.log");
  const size_t first_write = log.find("W emmc.img ");
  ASSERT_NE(first_write, std::string::npos) << "the boot's misc write is not in the record:\n"
                                            << log;
  // Events up to and with the first flush after that write.
  const size_t flush = log.find("F emmc.img\n", first_write);
  ASSERT_NE(flush, std::string::npos) << log;
  const auto lines_to = [&](size_t at) {
    return static_cast<size_t>(std::count(log.begin(), log.begin() + static_cast<long>(at), '\n'));
  };
  const size_t flushed = lines_to(flush) + 1;
  for (const auto& [at, same] : {std::pair{flushed, true}, std::pair{flushed - 1, false}}) {
    const std::string state = tmp_.file("state" + std::to_string(at));
    out = vboard(
        "crash-state " + board_ + " --from " + base_ + " --at " + std::to_string(at) + " " + state,
        &status);
    ASSERT_EQ(status, 0) << out;
    shell_output("cmp -s " + state + "/emmc.img " + board_ + "/emmc.img", &status);
    EXPECT_EQ(status == 0, same) << "cut after " << at << " of the boot's events";
  }
}

}  // namespace
