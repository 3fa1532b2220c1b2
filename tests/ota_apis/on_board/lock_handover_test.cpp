// The process lock across a client that dies while its worker runs: the worker holds the
// lock it was handed for as long as it runs, so no other process can start, sync, switch
// or clear beside it, while the hooks it runs hold no descriptor of the lock file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "board_client.h"

namespace {

using board_client::run;
using board_client::up_status;

constexpr const char* kLock = "/tmp/ota.lock";

// True once done() holds, false when it has not after timeout_s.
template <typename Done>
bool within(int timeout_s, Done done) {
  for (int i = 0; i < timeout_s * 50; ++i) {
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// True when one of pid's descriptors is the file at path.
bool holds_file(pid_t pid, const std::string& path) {
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(fd.path(), ec) == path) {
      return true;
    }
  }
  return false;
}

// `ota_tool update PKG` in a process of its own, its output in log: the client to kill.
pid_t start_client(const std::string& pkg, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    (void)dup2(out, STDOUT_FILENO);
    (void)dup2(out, STDERR_FILENO);
    execl(OTA_TOOL_EXE, "ota_tool", "update", pkg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

class LockHandoverTest : public board_client::ClientTest {
 protected:
  void TearDown() override {
    ClientTest::TearDown();
    (void)prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
};

// A client killed while its worker runs a hook: every other way in is refused (-3 to
// start or sync, -10 to switch, a clear does nothing) until the worker has ended, then
// each succeeds. The worker holds the lock file; the hook holds none of it.
TEST_F(LockHandoverTest, KilledClientsWorkerKeepsTheLockUntilItEnds) {
  // Orphans of this test's children (the worker of a killed client) become ours to wait for.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("boot.img"), ota_test::make_image_bytes(1 << 20, 41));
  // The hook reports its own descriptors, then holds the worker until the test lets go.
  ota_test::write_file(dir.file("hook.sh"),
                       "#!/bin/sh\nls -l /proc/$$/fd > " + dir.file("hook_fds") + "\ntouch " +
                           dir.file("started") + "\ni=0\nwhile [ ! -e " + dir.file("go") +
                           " ] && [ $i -lt 1200 ]; do sleep 0.1; i=$((i+1)); done\n");
  const std::string pkg = board_client::pack(dir, "part boot boot.img\nhook pre boot hook.sh\n",
                                             OTA_PROCESS_EXE, "/userdata/all_in_one_handover.zip");
  ASSERT_EQ(otaMarkOTASuccessful(), 0);  // the worker refuses an unconfirmed slot
  const pid_t client = start_client(pkg, dir.file("client.log"));
  ASSERT_GT(client, 0);
  ASSERT_TRUE(within(120, [&] { return access(dir.file("started").c_str(), F_OK) == 0; }))
      << ota_test::read_file(dir.file("client.log"));
  const pid_t worker = board_client::worker_pid();
  ASSERT_GT(worker, 0);
  ASSERT_EQ(kill(client, SIGKILL), 0);
  ASSERT_EQ(waitpid(client, nullptr, 0), client);
  ASSERT_EQ(kill(worker, 0), 0) << "the worker ended with its client";

  const std::string hook_fds = ota_test::read_file(dir.file("hook_fds"));
  EXPECT_NE(hook_fds.find("->"), std::string::npos) << hook_fds;
  EXPECT_EQ(hook_fds.find("ota.lock"), std::string::npos) << hook_fds;
  EXPECT_TRUE(holds_file(worker, kLock));

  EXPECT_EQ(otaPartitionSync(), -OTAERR_REPEAT);
  EXPECT_EQ(otaSetPartition(1), -OTAERR_STAGE);
  EXPECT_TRUE(ota_test::log_contains("/tmp/ota.lock is held"));
  otaClearFlags();
  EXPECT_TRUE(ota_test::log_contains("OTA_LOCK_FILE flock failed"));
  EXPECT_EQ(up_status(), OTA_FLAG_BURN) << "a clear ran beside the worker";
  const std::string tool = OTA_TOOL_EXE;
  // Each refusal exits 1 and names the library's code.
  const std::string said = dir.file("refusal");
  for (const auto& [args, code] : {std::pair<std::string, const char*>{"sync", "-3 OTAERR_REPEAT"},
                                   {"set-slot b", "-10 OTAERR_STAGE"},
                                   {"update '" + pkg + "'", "-3 OTAERR_REPEAT"}}) {
    EXPECT_EQ(run(tool + " " + args + " >'" + said + "' 2>&1"), 1) << args;
    EXPECT_NE(ota_test::read_file(said).find(code), std::string::npos)
        << args << ": " << ota_test::read_file(said);
  }
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), -OTAERR_REPEAT);
  ASSERT_EQ(kill(worker, 0), 0) << "the worker ended before every refusal was seen";

  ota_test::write_file(dir.file("go"), "");
  // The worker of the killed client is re-parented to this process: ours to wait for.
  ASSERT_TRUE(within(300, [&] { return waitpid(worker, nullptr, WNOHANG) == worker; }));
  // Free again: clear, a whole new update, its switch and, after the reboot, its sync.
  EXPECT_EQ(run(tool + " clear >/dev/null 2>&1"), 0);
  EXPECT_EQ(up_status(), OTA_FLAG_NORMAL);
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), 0);
  ASSERT_EQ(board_client::wait_final(300), UPGRADE_SUCCESS);
  ASSERT_EQ(otaSetPartition(1), 0);
  board_client::reboot();
  ASSERT_EQ(otaCheckUpdate(), 0);
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  EXPECT_EQ(otaPartitionSync(), 0);
}

}  // namespace
