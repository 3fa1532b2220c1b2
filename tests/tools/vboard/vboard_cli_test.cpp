// vboard as its users drive it from the host, boards with the FUSE layer (vboard create
// --fuse / --mtd-chardev) included: what the board directory records and shows, and that a
// run leaves no server, mount or loop device behind, even after its runner was killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using ota_test::shell_output;

std::string vboard(const std::string& args, int* code = nullptr) {
  return shell_output(std::string(VBOARD_EXE) + " " + args + " 2>&1", code);
}

// Loop devices whose backing file lies in dir, and mounts naming it.
size_t traces_of(const std::string& dir) {
  size_t n = 0;
  for (const auto& line :
       {shell_output("losetup -a"), ota_test::read_file("/proc/self/mountinfo")}) {
    for (size_t at = line.find(dir); at != std::string::npos; at = line.find(dir, at + 1)) {
      ++n;
    }
  }
  return n;
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    out.insert(e.path().filename());
  }
  return out;
}

class BoardFixture : public testing::Test {
 protected:
  void SetUp() override {
    int code = 0;
    const std::string out = vboard("create " + board_, &code);
    ASSERT_EQ(code, 0) << out;
  }
  ota_test::TempDir tmp_;
  std::string board_ = tmp_.file("board");
};

// The run's exit status is the command's, also when a signal ended it; vboard's own
// refusals are 125.
TEST_F(BoardFixture, RunReturnsTheCommandsStatus) {
  const std::pair<std::string, int> cases[] = {
      {"true", 0}, {"sh -c 'exit 7'", 7}, {"sh -c 'kill -9 $$'", 137}, {"/no/such/program", 127}};
  for (const auto& [cmd, status] : cases) {
    int code = -1;
    const std::string out = vboard("run " + board_ + " -- " + cmd, &code);
    EXPECT_EQ(code, status) << cmd << ": " << out;
  }
  int code = -1;
  EXPECT_EQ(vboard("run " + board_ + " -- sh -c 'echo $VBOARD_DIR'", &code), board_ + "\n");
  // A layer the board directory names but vboard does not know is an error naming it.
  ota_test::write_file(board_ + "/layers", "fuse\nwarp-drive\n");
  const std::string out = vboard("run " + board_ + " -- true", &code);
  EXPECT_EQ(code, 125) << out;
  EXPECT_NE(out.find(board_ + "/layers: unknown device layer \"warp-drive\""), std::string::npos)
      << out;
  EXPECT_EQ(traces_of(board_), 0u);
}

// Of the host's /tmp the board shows the command's folder and the folder of a library
// it links from there; a program of another folder named in a shell string is refused
// before anything runs until --keep shows it; a --keep path must exist.
TEST_F(BoardFixture, HostTmpShowsWhatTheCommandRuns) {
  const ota_test::TempDir bin;
  const ota_test::TempDir lib;
  const ota_test::TempDir other;
  fs::copy_file(PROBE_EXE, bin.file("probe"));
  fs::copy_file(PROBE_LIB, lib.file(fs::path(PROBE_LIB).filename()));
  ota_test::write_file(other.file("hello"), "#!/bin/sh\necho hello\n");
  fs::permissions(other.file("hello"), fs::perms::owner_all);
  struct Case {
    std::string args;
    int status;
    std::string output;  // expected in the output
  };
  const Case cases[] = {
      {"-- " + bin.file("probe"), 0, "probe 42"},
      {"-- sh -c '" + other.file("hello") + " x'", 125, "add --keep " + other.path()},
      {"--keep " + other.path() + " -- sh -c '" + other.file("hello") + " x'", 0, "hello"},
      {"-- sh -c 'ls " + other.path() + "'", 2, "No such file"},
      {"--keep " + other.file("none") + " -- true", 125, other.file("none")},
      {"-- " + other.file("none"), 125, "the host has no such file"},
  };
  for (const Case& c : cases) {
    int code = -1;
    const std::string out = shell_output("LD_LIBRARY_PATH=" + lib.path() + " " + VBOARD_EXE +
                                             " run " + board_ + " " + c.args + " 2>&1",
                                         &code);
    EXPECT_EQ(code, c.status) << c.args << ": " << out;
    EXPECT_NE(out.find(c.output), std::string::npos) << c.args << ": " << out;
  }
}

// A hundred runs leave no loop device, mount or file behind, in /tmp or in the board.
TEST_F(BoardFixture, HundredRunsLeaveNothingBehind) {
  // A /tmp of this test's own, so that other processes' files do not count.
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  // The board's directory, and the build tree when it lies in /tmp too, stay where they
  // were, on top of the fresh /tmp.
  std::vector<std::string> kept = {tmp_.path()};
  const std::string exe_dir = fs::path(VBOARD_EXE).parent_path().string();
  if (exe_dir.rfind("/tmp/", 0) == 0) {
    kept.push_back(exe_dir.substr(0, exe_dir.find('/', 5)));
  }
  std::vector<int> keep_fds;
  for (const std::string& dir : kept) {
    keep_fds.push_back(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(keep_fds.back(), 0) << dir;
  }
  ASSERT_EQ(::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777"), 0);
  for (size_t i = 0; i < kept.size(); ++i) {
    fs::create_directories(kept[i]);
    const std::string keep_path = "/proc/self/fd/" + std::to_string(keep_fds[i]);
    ASSERT_EQ(::mount(keep_path.c_str(), kept[i].c_str(), nullptr, MS_BIND, nullptr), 0);
    ::close(keep_fds[i]);
  }
  const auto tmp_before = entries("/tmp");
  const auto board_before = entries(board_);
  for (int i = 0; i < 100; ++i) {
    int code = -1;
    const std::string out = vboard("run " + board_ + " -- true", &code);
    ASSERT_EQ(code, 0) << "run " << i << ": " << out;
  }
  // Other boards may come and go meanwhile: only this board's traces count.
  EXPECT_EQ(traces_of(board_), 0U);
  EXPECT_EQ(entries("/tmp"), tmp_before);
  EXPECT_EQ(entries(board_), board_before);
  for (const std::string& dir : kept) {
    ASSERT_EQ(::umount2(dir.c_str(), MNT_DETACH), 0);
  }
  ASSERT_EQ(::umount2("/tmp", MNT_DETACH), 0);
}

// SIGTERM to vboard run ends the command and still frees the board's devices.
TEST_F(BoardFixture, TerminatedRunCleansUp) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(VBOARD_EXE, VBOARD_EXE, "run", board_.c_str(), "--", "sleep", "60", nullptr);
    ::_exit(127);
  }
  const auto started = std::chrono::steady_clock::now();
  while (traces_of(board_) == 0 &&
         std::chrono::steady_clock::now() - started < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(traces_of(board_), 0U);
}

// Two boards run at once, each with its own devices; one board runs once at a time.
TEST_F(BoardFixture, TwoBoardsRunAtOnceButNotOneBoardTwice) {
  const std::string second = tmp_.file("second");
  int code = -1;
  ASSERT_EQ((vboard("create " + second, &code), code), 0);
  const std::string script =
      "sh -c 'dd if=/dev/urandom of=/dev/block/platform/by-name/boot_a bs=4096 count=1 "
      "conv=fsync 2>/dev/null; sleep 1; md5sum < /dev/block/platform/by-name/boot_a'";
  std::string out1;
  std::string out2;
  int code1 = -1;
  int code2 = -1;
  std::thread t1([&] { out1 = vboard("run " + board_ + " -- " + script, &code1); });
  std::thread t2([&] { out2 = vboard("run " + second + " -- " + script, &code2); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const std::string busy = vboard("run " + board_ + " -- true", &code);
  t1.join();
  t2.join();
  EXPECT_EQ(code1, 0) << out1;
  EXPECT_EQ(code2, 0) << out2;
  EXPECT_NE(out1, out2);  // different random data: different devices
  EXPECT_EQ(code, 125);
  EXPECT_NE(busy.find("already running"), std::string::npos) << busy;
}

// The firmware called from outside sees what a running board left in its caches, and
// the board then reads what the firmware wrote.
TEST_F(BoardFixture, RebootFromOutsideFlushesARunningBoard) {
  const std::string script =
      "sh -c 'printf XYZ | dd of=/dev/block/platform/by-name/HSM_FW conv=notrunc 2>/dev/null; "
      "cat /usr/mirvo/share/ota/hsm_m2b_cmd /dev/zero | head -c 2276 | "
      "dd of=/dev/block/platform/by-name/flashcmd conv=notrunc 2>/dev/null; "
      "head -c 3 /dev/block/platform/by-name/HSM_FW_bak > /dev/null; "
      "touch $VBOARD_DIR/written; while [ ! -e $VBOARD_DIR/go ]; do sleep 0.05; done; "
      "head -c 3 /dev/block/platform/by-name/HSM_FW_bak'";
  std::string out;
  int code = -1;
  std::thread t([&] { out = vboard("run " + board_ + " -- " + script, &code); });
  for (int i = 0; i < 400 && !fs::exists(board_ + "/written"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  int rc = -1;
  const std::string rb = vboard("reboot " + board_, &rc);
  ota_test::write_file(board_ + "/go", "");
  t.join();
  EXPECT_EQ(rc, 0) << rb;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, "XYZ");
}

// A board that cannot be made is not left half made; a used directory is refused.
TEST(Create, RefusesBadLayoutAndUsedDirectory) {
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("bad.layout"), "emmc misc 1M\nemmc userdata 8M\n");
  int code = -1;
  const std::string out =
      vboard("create " + tmp.file("b") + " --layout " + tmp.file("bad.layout"), &code);
  EXPECT_EQ(code, 125);
  EXPECT_NE(out.find("'veeprom' is missing"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(tmp.file("b")) && !fs::is_empty(tmp.file("b")));
  fs::create_directories(tmp.file("used"));
  ota_test::write_file(tmp.file("used/x"), "");
  EXPECT_NE(vboard("create " + tmp.file("used"), &code).find("not empty"), std::string::npos);
  EXPECT_EQ(code, 125);
}

// A board from a layout file shows exactly that layout in its status.
TEST(Create, CustomLayoutShowsInStatus) {
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("small.layout"),
                       "emmc misc 64K\nemmc veeprom 64K\nemmc flashcmd 64K\n"
                       "emmc kernel 2M ab\nemmc userdata 4M ext4\nnor spl 64K ab\n"
                       "lifecycle OHP\n");
  int code = -1;
  std::string out =
      vboard("create " + tmp.file("b") + " --layout " + tmp.file("small.layout"), &code);
  ASSERT_EQ(code, 0) << out;
  out = vboard("status " + tmp.file("b") + " --json", &code);
  ASSERT_EQ(code, 0) << out;
  for (const char* s : {"\"name\": \"kernel_b\"", "\"name\": \"spl_b\"", "\"crc32\": 1730845967",
                        "\"pending_flash_command\": \"none\"", "mirvoboot.slot_suffix=_a"}) {
    EXPECT_NE(out.find(s), std::string::npos) << s << " in " << out;
  }
  out = vboard("run " + tmp.file("b") + " -- /usr/mirvo/bin/provision_tool --get-lifecycle", &code);
  EXPECT_EQ(out, "lifecycle: OHP\n");
}

// --keyring: the folder's files (no sub-folder, no link) are the board's keyring, an
// empty folder an empty keyring; a missing folder refuses the board.
TEST(Create, KeyringFolderBecomesTheBoardsKeyring) {
  ota_test::TempDir tmp;
  fs::create_directories(tmp.file("keys/sub"));
  ota_test::write_file(tmp.file("keys/owner.pub.pem"), "key text\n");
  fs::create_symlink("/etc/hostname", tmp.file("keys/link.pem"));
  fs::create_directories(tmp.file("empty"));
  int code = -1;
  std::string out = vboard("create " + tmp.file("b") + " --keyring " + tmp.file("keys"), &code);
  ASSERT_EQ(code, 0) << out;
  out = vboard(
      "run " + tmp.file("b") + " -- sh -c 'ls -A /etc/mirvo/ota-keys; cat /etc/mirvo/ota-keys/*'",
      &code);
  EXPECT_EQ(out, "owner.pub.pem\nkey text\n");
  out = vboard("create " + tmp.file("e") + " --keyring=" + tmp.file("empty"), &code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_EQ(vboard("run " + tmp.file("e") + " -- ls -A /etc/mirvo/ota-keys", &code), "");
  EXPECT_EQ(code, 0);
  vboard("create " + tmp.file("m") + " --keyring " + tmp.file("absent"), &code);
  EXPECT_EQ(code, 125);
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
  for (int i = 0; i < 100 && shell_output("pgrep -f '^sleep 3$'").empty(); ++i) {
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
  EXPECT_EQ(traces_of(board), 0u) << shell_output("losetup -a")
                                  << shell_output("grep fuse /proc/self/mountinfo");
}

}  // namespace
