// The files of a launch in world-writable /tmp: the lock and the FIFO are the caller's
// alone, the worker is handed the lock and finds no worker file left behind, and a
// worker member too large for RAM-backed /tmp is refused before it lands there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "board_client.h"
#include "mirvo_ota_hl.h"

namespace {

using board_client::pack;
using board_client::wait_final;
using board_client::worker_script;

class SharedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ota_test::clear_log_records();
    ASSERT_EQ(otaInitLib(), 0);
  }
  void TearDown() override { (void)otaDeinitLib(); }
  ota_test::TempDir dir_;
};

// A planted lock link is replaced, not followed; the worker finds a FIFO only its user
// can open and holds the lock file it was handed (nothing else of the client's); its
// extracted file is gone once the launch has started it.
TEST_F(SharedFilesTest, LaunchKeepsItsFilesToItself) {
  ota_test::write_file("/tmp/victim", "keep");
  ASSERT_EQ(chmod("/tmp/victim", 0600), 0);
  (void)unlink("/tmp/ota.lock");
  ASSERT_EQ(symlink("/tmp/victim", "/tmp/ota.lock"), 0);
  ota_test::write_file(dir_.file("worker.sh"),
                       worker_script("stat -c %a \"$fifo\" > /tmp/probe_fifo\n"
                                     "ls -l /proc/$$/fd > /tmp/probe_fds\n"
                                     "rec all_img_finish 2 100 >&3"));
  const std::string pkg = pack(dir_, "", dir_.file("worker.sh"));

  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), 0);
  ASSERT_EQ(wait_final(), UPGRADE_SUCCESS);
  EXPECT_EQ(ota_test::read_file("/tmp/probe_fifo"), "600\n");
  const std::string fds = ota_test::read_file("/tmp/probe_fds");
  EXPECT_NE(fds.find("-> /tmp/ota.lock"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("victim"), std::string::npos) << fds;
  EXPECT_NE(access("/tmp/process/ota_process", F_OK), 0);
  EXPECT_EQ(ota_test::read_file("/tmp/victim"), "keep");
  struct stat st {};
  ASSERT_EQ(lstat("/tmp/ota.lock", &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A worker member over 32 MiB is refused by name before anything lands in /tmp/process;
// the launch releases everything and the next one is accepted.
TEST_F(SharedFilesTest, OversizedWorkerRefused) {
  std::string big = worker_script("rec all_img_finish 2 100 >&3");
  big += "#" + std::string((32 << 20) + 1, 'x') + "\n";
  ota_test::write_file(dir_.file("big.sh"), big);
  const std::string pkg = pack(dir_, "", dir_.file("big.sh"));
  EXPECT_EQ(otaRequestStart(pkg.c_str(), OTA_TOOL), -OTAERR_UNZIP);
  EXPECT_TRUE(ota_test::log_contains("member ota_process"));
  EXPECT_NE(access("/tmp/process/ota_process", F_OK), 0);
  EXPECT_NE(access("/tmp/ota_pipe", F_OK), 0);

  ota_test::write_file(dir_.file("ok.sh"), worker_script("rec all_img_finish 2 100 >&3"));
  ASSERT_EQ(otaRequestStart(pack(dir_, "", dir_.file("ok.sh"), "ok.zip").c_str(), OTA_TOOL), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
}

}  // namespace
