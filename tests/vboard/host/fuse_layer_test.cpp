// Boards that ask for the FUSE layer (vboard create --fuse / --mtd-chardev), driven from
// the host: what the board directory records, what the board shows, and that a run
// leaves no server, mount or loop device behind, even after its runner was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "test_support.h"

namespace {

std::string shell(const std::string& cmd, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  char buf[512];
  while (p != nullptr && std::fgets(buf, sizeof(buf), p) != nullptr) {
    out += buf;
  }
  const int status = p != nullptr ? ::pclose(p) : -1;
  if (code != nullptr) {
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return out;
}

std::string vboard(const std::string& args, int* code = nullptr) {
  return shell(std::string(VBOARD_EXE) + " " + args + " 2>&1", code);
}

// Loop devices whose backing file lies in dir, and mounts naming it.
size_t traces_of(const std::string& dir) {
  size_t n = 0;
  for (const auto& text : {shell("losetup -a"), ota_test::read_file("/proc/self/mountinfo")}) {
    for (size_t at = text.find(dir); at != std::string::npos; at = text.find(dir, at + 1)) {
      ++n;
    }
  }
  return n;
}

// Each way to create a board: the layers file it records and what "/dev/mtd0" is.
TEST(FuseLayerHost, CreateRecordsTheLayersAndRunShowsThem) {
  struct Case {
    std::string flag;
    std::string layers;  // "" : no layers file
    std::string mtd0_test;
  };
  const Case cases[] = {
      {"", "", "test -b /dev/mtd0"},
      {"--fuse", "fuse\n", "test -b /dev/mtd0"},
      {"--mtd-chardev", "fuse\nmtd-chardev\n", "test -f /dev/mtd0 && ! test -s /dev/mtd0"},
  };
  for (const auto& c : cases) {
    const ota_test::TempDir tmp;
    const std::string board = tmp.file("board");
    int code = -1;
    std::string out = vboard("create " + board + " " + c.flag, &code);
    ASSERT_EQ(code, 0) << c.flag << ": " << out;
    const bool has_layers = std::filesystem::exists(board + "/layers");
    EXPECT_EQ(has_layers ? ota_test::read_file(board + "/layers") : "", c.layers) << c.flag;
    out = vboard("run " + board + " -- sh -c '" + c.mtd0_test + "'", &code);
    EXPECT_EQ(code, 0) << c.flag << ": " << out;
    EXPECT_EQ(traces_of(board), 0u) << c.flag;
    // Only a served board has a server to log the flushes of its run.
    EXPECT_EQ(std::filesystem::exists(board + "/fuse.log"), !c.layers.empty()) << c.flag;
  }
}

// A layer the board directory names but vboard does not know is an error naming it.
TEST(FuseLayerHost, UnknownLayerRefused) {
  const ota_test::TempDir tmp;
  const std::string board = tmp.file("board");
  int code = -1;
  ASSERT_EQ((vboard("create " + board, &code), code), 0);
  ota_test::write_file(board + "/layers", "fuse\nwarp-drive\n");
  const std::string out = vboard("run " + board + " -- true", &code);
  EXPECT_EQ(code, 125) << out;
  EXPECT_NE(out.find(board + "/layers: unknown device layer \"warp-drive\""), std::string::npos)
      << out;
  EXPECT_EQ(traces_of(board), 0u);
}

// A runner killed outright takes its server along and leaves the server's mount dead;
// the next run (once the board's command has ended and freed the board) clears it,
// works, and leaves nothing behind.
TEST(FuseLayerHost, RunAfterAKilledRunnerWorks) {
  const ota_test::TempDir tmp;
  const std::string board = tmp.file("board");
  int code = -1;
  ASSERT_EQ((vboard("create " + board + " --fuse", &code), code), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(VBOARD_EXE, VBOARD_EXE, "run", board.c_str(), "--", "sleep", "3", nullptr);
    ::_exit(127);
  }
  // The board is up once its command runs.
  for (int i = 0; i < 100 && shell("pgrep -f '^sleep 3$'").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_GT(traces_of(board), 0u) << "the runner died before its board was up";
  std::string out = vboard("run " + board + " -- true", &code);
  for (int i = 0; i < 100 && out.find("already running") != std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    out = vboard("run " + board + " -- true", &code);
  }
  EXPECT_EQ(code, 0) << out;
  for (int i = 0; i < 100 && traces_of(board) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(traces_of(board), 0u) << shell("losetup -a") << shell("grep fuse /proc/self/mountinfo");
}

}  // namespace
