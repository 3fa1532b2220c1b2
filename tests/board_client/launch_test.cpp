#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "board_client.h"
#include "mirvo_ota_hl.h"
#include "unique_fd.h"

namespace {

using board_client::pack;
using board_client::wait_final;
using board_client::worker_script;

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ota_test::clear_log_records();
    ASSERT_EQ(otaInitLib(), 0);
  }
  void TearDown() override { (void)otaDeinitLib(); }

  std::string package_with(const std::string& body) {
    ota_test::write_file(dir_.file("worker.sh"), worker_script(body));
    return pack(dir_, "", dir_.file("worker.sh"));
  }
  ota_test::TempDir dir_;
};

struct WorkerCase {
  const char* what;
  const char* body;
  int result;
  const char* log;  // a line the client must have logged, or ""
};

class WorkerOutcomeTest : public LaunchTest, public ::testing::WithParamInterface<WorkerCase> {};

// The final result follows the worker's last record, and only a clean exit settles a
// missing one as success; the launch's FIFO and lock are released every time.
TEST_P(WorkerOutcomeTest, FinalResultAndCleanup) {
  const WorkerCase& c = GetParam();
  const std::string pkg = package_with(c.body);
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), c.result) << c.what;
  EXPECT_NE(access("/tmp/ota_pipe", F_OK), 0);
  if (c.log[0] != '\0') {
    EXPECT_TRUE(ota_test::log_contains(c.log)) << c.log;
  }
  // The lock is free again: a new launch is accepted at once.
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Workers, WorkerOutcomeTest,
    ::testing::Values(
        WorkerCase{"success record", "rec system 1 50 >&3; rec all_img_finish 2 100 >&3", 2, ""},
        WorkerCase{"failed record, exit 0", "rec system 3 40 >&3; exit 0", 3, ""},
        WorkerCase{"success record, exit 7", "rec all_img_finish 2 100 >&3; exit 7", 2,
                   "exit with 7"},
        WorkerCase{"no record, exit 0", "exit 0", 2, ""},
        WorkerCase{"no record, exit 4", "rec system 1 10 >&3; exit 4", 3, "exit with 4"},
        WorkerCase{"killed before any record", "kill -9 $$", 3, "killed by the 9th signal"},
        WorkerCase{"never opens the FIFO", "exec 3>&-; sleep 1; exit 1", 3, "exit with 1"}));

// Name and percentage of the running image reach the getters while the worker runs,
// and a reported success is not shown before the launch has closed.
TEST_F(LaunchTest, ProgressIsRelayedWhileRunning) {
  const std::string pkg =
      package_with("rec boot 1 42 >&3; sleep 2; rec all_img_finish 2 100 >&3; sleep 1");
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
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
  EXPECT_EQ(otaGetProgress(), 100);
}

// A second start while one runs, from this or another process, is refused with -3 and
// leaves the running update untouched.
TEST_F(LaunchTest, SecondStartIsRefused) {
  const std::string pkg = package_with("rec boot 1 30 >&3; sleep 3; rec all_img_finish 2 100 >&3");
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  for (int i = 0; i < 150 && otaGetProgress() != 30; ++i) {
    usleep(10000);
  }
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -OTAERR_REPEAT);
  EXPECT_EQ(board_client::run(std::string(OTA_TOOL_EXE) + " update '" + pkg + "' 2>/dev/null"),
            OTAERR_REPEAT);
  EXPECT_EQ(otaGetProgress(), 30);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
}

// Refusals before the worker runs release the FIFO and the lock: relative and missing
// paths, a package without a worker; an empty first piece is skipped.
TEST_F(LaunchTest, RefusedPackagesLeaveNothingHeld) {
  const std::string pkg = package_with("rec all_img_finish 2 100 >&3");
  ota_test::write_file(dir_.file("empty.zip"), "");
  EXPECT_EQ(otaRequestStart("", OTA_TOOL), -1);
  EXPECT_EQ(otaRequestStart("relative.zip", OTA_TOOL), -OTAERR_NULLPOINTER);
  EXPECT_EQ(otaRequestStart("/nonexistent/p.zip", OTA_TOOL), -OTAERR_NO_EXISTS);
  EXPECT_EQ(otaRequestStart(dir_.file("empty.zip").c_str(), OTA_TOOL), -OTAERR_UNZIP);
  EXPECT_NE(access("/tmp/ota_pipe", F_OK), 0);
  ASSERT_EQ(otaRequestStart((";" + pkg).c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
}

// The worker directory must be ours alone: a planted link or a directory open to others
// is refused rather than used.
TEST_F(LaunchTest, UnsafeWorkerDirectoryIsRefused) {
  const std::string pkg = package_with("rec all_img_finish 2 100 >&3");
  (void)board_client::run("rm -rf /tmp/process");
  ASSERT_EQ(symlink(dir_.path().c_str(), "/tmp/process"), 0);
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -1);
  EXPECT_NE(access(dir_.file("ota_process").c_str(), F_OK), 0);
  ASSERT_EQ(unlink("/tmp/process"), 0);
  ASSERT_EQ(mkdir("/tmp/process", 0777), 0);
  ASSERT_EQ(chmod("/tmp/process", 0777), 0);
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -1);
  ASSERT_EQ(rmdir("/tmp/process"), 0);
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
  struct stat st {};
  ASSERT_EQ(lstat("/tmp/process", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700U);
}

// A FIFO removed by someone else while the worker runs does not keep the lock held: the
// lock is free for any process afterwards, and the next start is accepted.
TEST_F(LaunchTest, RemovedFifoStillReleasesTheLock) {
  const std::string pkg =
      package_with("rec system 1 10 >&3; rm -f /tmp/ota_pipe; rec all_img_finish 2 100 >&3");
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
  EXPECT_TRUE(ota_test::log_contains("release pipe file or lock failed"));
  {
    const ota::UniqueFd other = ota::open_fd("/tmp/ota.lock", O_WRONLY);
    ASSERT_TRUE(other.valid());
    EXPECT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
  }
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
}

// A hundred launches leave no thread, descriptor or FIFO behind.
TEST_F(LaunchTest, HundredCyclesLeaveNothingBehind) {
  const std::string pkg = package_with("rec system 1 50 >&3; rec all_img_finish 2 100 >&3");
  // One launch first, so lazily created process state is not counted as a leak.
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  ASSERT_EQ(wait_final(), UPGRADE_SUCCESS);
  ASSERT_EQ(otaDeinitLib(), 0);
  const size_t tasks = board_client::count_entries("/proc/self/task");
  const size_t fds = board_client::count_entries("/proc/self/fd");
  ASSERT_EQ(otaInitLib(), 0);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0) << i;
    ASSERT_EQ(wait_final(), UPGRADE_SUCCESS) << i;
  }
  ASSERT_EQ(otaDeinitLib(), 0);
  EXPECT_EQ(board_client::count_entries("/proc/self/task"), tasks);
  EXPECT_EQ(board_client::count_entries("/proc/self/fd"), fds);
  ASSERT_EQ(otaInitLib(), 0);
}

}  // namespace
