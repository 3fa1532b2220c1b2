// `ota_tool boot-check` on a board: the end of the road without a person. A new slot that
// passes its health checks ends confirmed, synchronised and cleared; one that fails or
// hangs ends, after the reboots boot-check asks for, on the old slot with its images
// intact; a boot with nothing pending changes nothing; a boot-check killed during its
// checks and run again at the next boot reaches the same end.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "board_client.h"

namespace {

using board_client::misc_slot;
using board_client::part_md5;
using board_client::reboot;
using board_client::run;
using board_client::up_status;

constexpr int kStatusDone = 0;
constexpr int kStatusRolledBack = 5;

class BootCheckTest : public board_client::ClientTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ClientTest::SetUp());
    ASSERT_EQ(otaMarkOTASuccessful(), 0);  // the factory slot a, as a first boot-check does
    ASSERT_EQ(::mkdir(health_.c_str(), 0755), 0);
    log_ = dir_.file("boot-check.log");
  }

  void health_check(const std::string& name, const std::string& body) {
    const std::string path = health_ + "/" + name;
    ota_test::write_file(path, "#!/bin/sh\n" + body + "\n");
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
  }

  // boot-check with this test's folder, log and time limit; its exit status.
  int boot_check(const std::string& reboot_cmd, const std::string& prefix = "") {
    return run(prefix + OTA_TOOL_EXE + " boot-check --health-dir '" + health_ + "' --log '" + log_ +
               "' --check-timeout 2 --reboot-cmd '" + reboot_cmd + "' >>'" + log_ +
               ".screen' 2>&1");
  }
  int boot_check_and_reboot() {
    return boot_check(std::string(VBOARD_EXE) + " reboot \"$VBOARD_DIR\"");
  }

  // The real worker writes slot b from a package of one boot image; the board is switched
  // to b and rebooted into it, on trial.
  void update_into_b() {
    const std::string image = dir_.file("boot.img");
    ota_test::write_file(image, ota_test::make_image_bytes(1 << 20, 23));
    new_md5_ = ota_test::md5sum_of(image);
    old_md5_ = part_md5("boot_a", 1 << 20);
    const std::string pkg = board_client::pack(dir_, "part boot boot.img\n", OTA_PROCESS_EXE,
                                               "/userdata/all_in_one_check.zip");
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), 0);
    ASSERT_EQ(board_client::wait_final(300), UPGRADE_SUCCESS);
    ASSERT_EQ(otaSetPartition(1), 0);
    reboot();
    ASSERT_EQ(ota_get_cur_slot(), 1);
  }

  std::string said() const {
    return ota_test::read_file(log_) + ota_test::read_file(log_ + ".screen");
  }

  void expect_idle_on(int slot) {
    EXPECT_EQ(ota_get_cur_slot(), slot);
    EXPECT_EQ(up_status(), OTA_FLAG_NORMAL);
    EXPECT_EQ(board_client::road().phase, OTA_ROAD_IDLE);
    EXPECT_EQ(misc_slot(slot).successful_boot(), 1) << "slot " << slot;
    EXPECT_GT(misc_slot(slot).tries_remaining(), 0) << "slot " << slot;
  }

  ota_test::TempDir dir_;
  std::string health_ = dir_.file("health.d");
  std::string log_;
  std::string old_md5_;
  std::string new_md5_;
};

// One row per kind of health check: the statuses of the boot-check runs, one per boot,
// and the slot the board ends on.
TEST_F(BootCheckTest, HealthChecksDecideTheSlot) {
  const struct {
    const char* what;
    const char* body;
    int first_status;
    int end_slot;
    const char* log_says;
  } rows[] = {
      {"passing",
       "[ \"$MIRVO_OTA_BOOTED_SLOT$MIRVO_OTA_PREVIOUS_SLOT\" = ba ] || exit 9; echo fine",
       kStatusDone, 1, "health check 10-check: fine"},
      {"failing", "echo sick; exit 3", kStatusRolledBack, 0, "failed with status 3"},
      {"hanging", "echo waiting; exec sleep 60", kStatusRolledBack, 0, "timed out after 2 s"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_NO_FATAL_FAILURE(update_into_b());
    health_check("10-check", row.body);
    EXPECT_EQ(boot_check_and_reboot(), row.first_status) << said();
    if (row.first_status == kStatusRolledBack) {
      // The reboot boot-check asked for brought the old slot back; there it clears.
      ASSERT_EQ(ota_get_cur_slot(), 0) << said();
      EXPECT_EQ(boot_check_and_reboot(), kStatusDone) << said();
      EXPECT_EQ(misc_slot(1).successful_boot(), 0) << "the failed slot must stay unconfirmed";
    } else {
      EXPECT_EQ(misc_slot(0).successful_boot(), 1) << "the synchronised fallback";
      EXPECT_GT(misc_slot(0).tries_remaining(), 0);
    }
    expect_idle_on(row.end_slot);
    // The default road keeps the previous generation in the fallback slot either way.
    EXPECT_EQ(part_md5("boot_a", 1 << 20), old_md5_);
    EXPECT_EQ(part_md5("boot_b", 1 << 20), new_md5_);
    EXPECT_NE(said().find(row.log_says), std::string::npos) << said();
    // Slot b with the old image is what the next row updates from: back to slot a.
    if (row.end_slot == 1) {
      ASSERT_EQ(otaSetPartition(0), 0);
      reboot();
    }
    ASSERT_EQ(ota_get_cur_slot(), 0);
    ota_test::write_file(log_, "");
  }
}

// boot-check killed while a check runs (the check kills its parent with SIGKILL the first
// time, as a watchdog or a power loss would stop it) has written nothing yet; run again
// at the next boot, it ends where an undisturbed one ends. The kill at each durable write
// after the checks is the kill-point suite's (kill_points.boot_check.*).
TEST_F(BootCheckTest, KilledDuringTheChecksEndsTheSameAtTheNextBoot) {
  const struct {
    const char* what;
    const char* second_exit;
    int second_status;
    int end_slot;
  } rows[] = {
      {"passing", "0", kStatusDone, 1},
      {"failing", "4", kStatusRolledBack, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_NO_FATAL_FAILURE(update_into_b());
    const std::string marker = dir_.file(std::string("killed-") + row.what);
    health_check("10-check", "if [ ! -e '" + marker + "' ]; then touch '" + marker +
                                 "'; kill -KILL $PPID; sleep 1; fi; echo second run; exit " +
                                 row.second_exit);
    const int killed = boot_check("false");
    EXPECT_NE(killed, kStatusDone) << said();
    EXPECT_NE(killed, kStatusRolledBack) << said();
    ASSERT_EQ(::access(marker.c_str(), F_OK), 0) << "the check did not run: " << said();
    EXPECT_EQ(said().find("second run"), std::string::npos) << said();
    // Nothing was written: the board is still on trial in slot b.
    EXPECT_EQ(up_status(), OTA_FLAG_VERIFY);
    EXPECT_EQ(misc_slot(1).successful_boot(), 0);

    reboot();  // the next boot spends one more try of slot b
    ASSERT_EQ(ota_get_cur_slot(), 1) << "slot b should have tries left";
    EXPECT_EQ(boot_check_and_reboot(), row.second_status) << said();
    EXPECT_NE(said().find("second run"), std::string::npos) << said();
    if (row.second_status == kStatusRolledBack) {
      ASSERT_EQ(ota_get_cur_slot(), 0) << said();
      EXPECT_EQ(boot_check_and_reboot(), kStatusDone) << said();
      EXPECT_EQ(misc_slot(1).successful_boot(), 0) << "the failed slot must stay unconfirmed";
    }
    expect_idle_on(row.end_slot);
    EXPECT_EQ(part_md5("boot_a", 1 << 20), old_md5_);
    EXPECT_EQ(part_md5("boot_b", 1 << 20), new_md5_);
    if (row.end_slot == 1) {
      ASSERT_EQ(otaSetPartition(0), 0);
      reboot();
    }
    ASSERT_EQ(ota_get_cur_slot(), 0);
    ota_test::write_file(log_, "");
    ota_test::write_file(log_ + ".screen", "");
  }
}

// A boot with nothing pending writes nothing and says so; it does not even run the checks.
// (On a factory board the check's reset to defaults writes the blank road record once.)
TEST_F(BootCheckTest, NothingPendingChangesNothing) {
  health_check("10-check", "touch '" + dir_.file("ran") + "'; exit 1");
  reboot();
  ASSERT_EQ(boot_check("false"), kStatusDone) << said();
  reboot();
  const slot_metadata a = misc_slot(0);
  const slot_metadata b = misc_slot(1);
  const std::string status_md5 = part_md5("veeprom", 4096);
  EXPECT_EQ(boot_check("false"), kStatusDone) << said();
  EXPECT_NE(said().find("no update pending"), std::string::npos) << said();
  EXPECT_EQ(part_md5("veeprom", 4096), status_md5);
  EXPECT_EQ(misc_slot(0).bytes[0], a.bytes[0]);
  EXPECT_EQ(misc_slot(1).bytes[0], b.bytes[0]);
  EXPECT_NE(::access(dir_.file("ran").c_str(), F_OK), 0) << "a check ran with nothing pending";
}

}  // namespace
