// Launches of scripted workers: the final result, the progress relayed, refusals, and the
// files of a launch in world-writable /tmp (lock, FIFO, worker folder) kept to itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "board_client.h"

namespace {

using board_client::scripted;
using board_client::wait_final;

size_t count_entries(const char* dir) {
  const auto it = std::filesystem::directory_iterator(dir);
  return static_cast<size_t>(std::distance(begin(it), end(it)));
}

class LaunchTest : public board_client::ClientTest {
 protected:
  ota_test::TempDir dir_;
};

struct WorkerCase {
  const char* what;
  const char* body;
  int result;
  const char* log;  // a line the client must have logged, or ""
};

// The final result follows the worker's last record, and only a clean exit settles a
// missing one as success; the FIFO and the lock are released every time (the next
// launch is accepted), also when the worker removed the FIFO itself; after a failure no
// switch is allowed and none is written.
TEST_F(LaunchTest, FinalResultAndCleanup) {
  const WorkerCase cases[] = {
      {"success record", "rec system 1 50 >&3; rec all_img_finish 2 100 >&3", 2, ""},
      {"failed record, exit 0", "rec system 3 40 >&3; exit 0", 3, ""},
      {"success record, exit 7", "rec all_img_finish 2 100 >&3; exit 7", 2, "exit with 7"},
      {"no record, exit 0", "exit 0", 2, ""},
      {"no record, exit 4", "rec system 1 10 >&3; exit 4", 3, "exit with 4"},
      {"killed before any record", "kill -9 $$", 3, "killed by the 9th signal"},
      {"never opens the FIFO", "exec 3>&-; sleep 1; exit 1", 3, "exit with 1"},
      {"removes the FIFO", "rec system 1 10 >&3; rm -f /tmp/ota_pipe; rec all_img_finish 2 100 >&3",
       2, "release pipe file or lock failed"},
  };
  int n = 0;
  for (const WorkerCase& c : cases) {
    SCOPED_TRACE(c.what);
    ota_test::clear_log_records();
    const std::string pkg = scripted(dir_, c.body, "p" + std::to_string(n++) + ".zip");
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
    EXPECT_EQ(wait_final(), c.result);
    EXPECT_NE(access("/tmp/ota_pipe", F_OK), 0);
    if (c.log[0] != '\0') {
      EXPECT_TRUE(ota_test::log_contains(c.log)) << c.log;
    }
    if (c.result == UPGRADE_FAILED) {
      EXPECT_EQ(otaSetPartition(1), -OTAERR_STAGE);
      EXPECT_NE(board_client::next_slot(), 1U);
    }
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
    EXPECT_EQ(wait_final(), c.result);
  }
}

// The burn's thread cap set in the client's environment reaches the worker it launches,
// and only when it is set.
TEST_F(LaunchTest, BurnThreadCapReachesTheWorker) {
  const std::string pkg = scripted(
      dir_, "[ \"${OTA_BURN_THREADS-}\" = 1 ] || exit 5; rec all_img_finish 2 100 >&3", "cap.zip");
  ASSERT_EQ(setenv("OTA_BURN_THREADS", "1", 1), 0);
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
  ASSERT_EQ(unsetenv("OTA_BURN_THREADS"), 0);
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_FAILED);
}

// Name and percentage of the running image reach the getters while the worker runs; a
// switch or a second start, from this or another process, is refused and leaves the
// running update untouched; a reported success is not shown before the launch closed.
TEST_F(LaunchTest, RunningLaunchRelaysProgressAndRefusesOthers) {
  const std::string pkg =
      scripted(dir_, "rec boot 1 42 >&3; sleep 2; rec all_img_finish 2 100 >&3; sleep 1");
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), 0);
  for (int i = 0; i < 150 && otaGetProgress() != 42; ++i) {
    usleep(10000);
  }
  EXPECT_EQ(otaGetProgress(), 42);
  char name[64] = {};
  ASSERT_EQ(otaGetUpdatingImageName(name, sizeof(name)), 0);
  EXPECT_STREQ(name, "boot");
  EXPECT_EQ(otaGetResult(), UPGRADE_IN_PROGRESS);
  EXPECT_EQ(otaSetPartition(1), -OTAERR_STAGE);
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -OTAERR_REPEAT);
  // The tool's refusal: exit 1, the code and its name in the final JSON object.
  const std::string said = dir_.file("refusal.json");
  EXPECT_EQ(board_client::run(std::string(OTA_TOOL_EXE) + " update '" + pkg + "' --json >'" + said +
                              "' 2>/dev/null"),
            1);
  EXPECT_NE(ota_test::read_file(said).find(R"("code":-3,"error":"OTAERR_REPEAT")"),
            std::string::npos)
      << ota_test::read_file(said);
  EXPECT_EQ(otaGetProgress(), 42);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
  EXPECT_EQ(otaGetProgress(), 100);
}

// Refusals before the worker runs release the FIFO and the lock: relative and missing
// paths, a package without a worker, a worker member over 32 MiB (refused by name before
// it lands in RAM-backed /tmp), a worker folder that is a planted link or open to others;
// an empty first piece is skipped, and the worker folder made is closed to others.
TEST_F(LaunchTest, RefusedPackagesLeaveNothingHeld) {
  const std::string pkg = scripted(dir_, "rec all_img_finish 2 100 >&3");
  ota_test::write_file(dir_.file("empty.zip"), "");
  std::string big = board_client::worker_script("rec all_img_finish 2 100 >&3");
  big += "#" + std::string((32 << 20) + 1, 'x') + "\n";
  ota_test::write_file(dir_.file("big.sh"), big);
  const std::string big_pkg = board_client::pack(dir_, "", dir_.file("big.sh"), "big.zip");
  EXPECT_EQ(otaRequestStart("", OTA_TOOL), -1);
  EXPECT_EQ(otaRequestStart("relative.zip", OTA_TOOL), -OTAERR_NULLPOINTER);
  EXPECT_EQ(otaRequestStart("/nonexistent/p.zip", OTA_TOOL), -OTAERR_NO_EXISTS);
  EXPECT_EQ(otaRequestStart(dir_.file("empty.zip").c_str(), OTA_TOOL), -OTAERR_UNZIP);
  EXPECT_EQ(otaRequestStart(big_pkg.c_str(), OTA_TOOL), -OTAERR_UNZIP);
  EXPECT_TRUE(ota_test::log_contains("member ota_process"));
  EXPECT_NE(access("/tmp/process/ota_process", F_OK), 0);
  EXPECT_NE(access("/tmp/ota_pipe", F_OK), 0);
  (void)board_client::run("rm -rf /tmp/process");
  ASSERT_EQ(symlink(dir_.path().c_str(), "/tmp/process"), 0);
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -1);
  EXPECT_NE(access(dir_.file("ota_process").c_str(), F_OK), 0);
  ASSERT_EQ(unlink("/tmp/process"), 0);
  ASSERT_EQ(mkdir("/tmp/process", 0777), 0);
  ASSERT_EQ(chmod("/tmp/process", 0777), 0);
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -1);
  ASSERT_EQ(rmdir("/tmp/process"), 0);
  ASSERT_EQ(otaRequestStart((";" + pkg).c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
  struct stat st {};
  ASSERT_EQ(lstat("/tmp/process", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700U);
}

// The worker finds a FIFO only its user can open and holds the lock file it was handed
// (nothing else of the client's); its extracted file is gone once the launch started it.
TEST_F(LaunchTest, LaunchKeepsItsFilesToItself) {
  const std::string pkg = scripted(dir_,
                                   "stat -c %a \"$fifo\" > /tmp/probe_fifo\n"
                                   "ls -l /proc/$$/fd > /tmp/probe_fds\n"
                                   "rec all_img_finish 2 100 >&3");
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  ASSERT_EQ(wait_final(), UPGRADE_SUCCESS);
  EXPECT_EQ(ota_test::read_file("/tmp/probe_fifo"), "600\n");
  const std::string fds = ota_test::read_file("/tmp/probe_fds");
  EXPECT_NE(fds.find("-> /tmp/ota.lock"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("-> " + dir_.path()), std::string::npos) << fds;
  EXPECT_NE(access("/tmp/process/ota_process", F_OK), 0);
}

// A hundred launches leave no thread, descriptor or FIFO behind.
TEST_F(LaunchTest, HundredCyclesLeaveNothingBehind) {
  const std::string pkg = scripted(dir_, "rec system 1 50 >&3; rec all_img_finish 2 100 >&3");
  // One launch first, so lazily created process state is not counted as a leak.
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  ASSERT_EQ(wait_final(), UPGRADE_SUCCESS);
  ASSERT_EQ(otaDeinitLib(), 0);
  const size_t tasks = count_entries("/proc/self/task");
  const size_t fds = count_entries("/proc/self/fd");
  ASSERT_EQ(otaInitLib(), 0);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0) << i;
    ASSERT_EQ(wait_final(), UPGRADE_SUCCESS) << i;
  }
  ASSERT_EQ(otaDeinitLib(), 0);
  EXPECT_EQ(count_entries("/proc/self/task"), tasks);
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  ASSERT_EQ(otaInitLib(), 0);
}

}  // namespace
