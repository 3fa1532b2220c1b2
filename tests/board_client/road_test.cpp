// The whole update road with the real worker on a board: update, switch, reboot, check,
// confirm, sync, clear, over several cycles, and the ways it must refuse to go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "board_client.h"
#include "md5.h"
#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"
#include "unique_fd.h"

namespace {

using board_client::booted_slot;
using board_client::reboot;
using board_client::worker_pid;

std::string hex_md5_of_part(const std::string& dev, long len) {
  unsigned char h[16] = {};
  EXPECT_EQ(MD5DevPart(dev.c_str(), 0, len, h), 0);
  char text[33] = {};
  for (int i = 0; i < 16; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", h[i]);
  }
  return text;
}

long dev_size(const std::string& dev) {
  const ota::UniqueFd fd = ota::open_fd(dev.c_str(), O_RDONLY);
  return fd ? static_cast<long>(lseek(fd.get(), 0, SEEK_END)) : -1;
}

char letter(int slot) { return static_cast<char>('a' + slot); }

ota_update_flag_e up_status() {
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  EXPECT_EQ(ota_get_up_status(&status), 0);
  return status;
}

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ota_test::clear_log_records();
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(3 << 20, 11));
    ota_test::write_file(dir_.file("system.img"), ota_test::make_image_bytes(6 << 20, 12));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(256 << 10, 13));
    pkg_ = package(
        "key ab_sync 1\npart boot boot.img\npart system system.img\n"
        "part uboot uboot.img\n",
        "all_in_one_update.zip");
    ASSERT_EQ(otaInitLib(), 0);
    // The service confirms the factory slot at boot; the worker refuses an unconfirmed one.
    ASSERT_EQ(otaMarkOTASuccessful(), 0);
  }
  void TearDown() override { (void)otaDeinitLib(); }

  std::string package(const std::string& description, const std::string& name) {
    return board_client::pack(dir_, description, OTA_PROCESS_EXE, "/userdata/" + name);
  }

  // Runs the worker on `pkg` from the running slot and switches the next boot to the
  // slot it wrote.
  static void update_and_switch(const std::string& pkg) {
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), 0);
    ASSERT_EQ(board_client::wait_final(300), UPGRADE_SUCCESS);
    ASSERT_EQ(otaSetPartition(static_cast<uint8_t>(booted_slot() ^ 1)), 0);
  }

  std::string image_md5(const char* name) { return ota_test::md5sum_of(dir_.file(name)); }
  std::string part_md5_as(const std::string& part, const char* image) {
    return hex_md5_of_part(board_client::kByName + part,
                           static_cast<long>(ota_test::read_file(dir_.file(image)).size()));
  }

  ota_test::TempDir dir_;
  std::string pkg_;
};

// The whole road: update, switch, reboot, check, confirm, sync, clear; the sync leaves
// both slots with the new images at once (NOR included), and the board keeps booting the
// confirmed slot.
TEST_F(RoadTest, UpdateConfirmSyncClear) {
  ASSERT_NO_FATAL_FAILURE(update_and_switch(pkg_));
  reboot();
  uint8_t slot = 9;
  ASSERT_EQ(otaGetPartition(&slot), 0);
  EXPECT_EQ(slot, 1);
  EXPECT_EQ(otaCheckUpdate(), 0);
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  EXPECT_EQ(up_status(), OTA_FLAG_VERIFIED);
  ASSERT_EQ(otaPartitionSync(), 0);
  for (const auto& [part, image] :
       {std::pair{"boot", "boot.img"}, {"system", "system.img"}, {"uboot", "uboot.img"}}) {
    EXPECT_EQ(part_md5_as(std::string(part) + "_a", image), image_md5(image)) << part;
    EXPECT_EQ(part_md5_as(std::string(part) + "_b", image), image_md5(image)) << part;
  }
  otaClearFlags();
  EXPECT_EQ(up_status(), OTA_FLAG_NORMAL);
  EXPECT_EQ(board_client::road_state_line().rfind("road state: I ", 0), 0U)
      << board_client::road_state_line();
  for (int boot = 0; boot < 5; ++boot) {
    reboot();
  }
  ASSERT_EQ(otaGetPartition(&slot), 0);
  EXPECT_EQ(slot, 1);
  uint8_t from_bak = 9;
  ASSERT_EQ(ota_back_slot_stat(&from_bak), 0);
  EXPECT_EQ(from_bak, 0);
}

struct Cycles {
  const char* name;
  std::vector<bool> confirm;  // per update cycle: confirmed after the reboot, or never
};

void PrintTo(const Cycles& c, std::ostream* os) { *os << c.name; }

class UpdateCyclesTest : public RoadTest, public ::testing::WithParamInterface<Cycles> {};

// Update after update on one board: a new slot that is never confirmed runs out of tries
// and the board comes back on the slot it came from, with the check saying the update
// did not take, every time (also when the slot was confirmed in an earlier cycle); a
// confirmed one keeps booting.
TEST_P(UpdateCyclesTest, UnconfirmedFallsBackConfirmedStays) {
  for (size_t cycle = 0; cycle < GetParam().confirm.size(); ++cycle) {
    const bool confirm = GetParam().confirm[cycle];
    const int from = booted_slot();
    SCOPED_TRACE("cycle " + std::to_string(cycle) + " from " + letter(from));
    ASSERT_NO_FATAL_FAILURE(update_and_switch(pkg_));
    if (confirm) {
      reboot();
      ASSERT_EQ(booted_slot(), from ^ 1);
      ASSERT_EQ(otaCheckUpdate(), 0);
      ASSERT_EQ(otaMarkOTASuccessful(), 0);
      ASSERT_EQ(otaPartitionSync(), 0);
    }
    for (int boot = 0; boot < 4; ++boot) {
      reboot();
    }
    EXPECT_EQ(booted_slot(), confirm ? from ^ 1 : from);
    EXPECT_EQ(otaCheckUpdate(), confirm ? 0 : -OTAERR_BOOT_FAILED);
    otaClearFlags();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Road, UpdateCyclesTest,
    ::testing::Values(Cycles{"TwoUnconfirmed", {false, false}},
                      Cycles{"ThreeUnconfirmed", {false, false, false}},
                      Cycles{"ConfirmedUnconfirmedConfirmed", {true, false, true}},
                      Cycles{"TwoConfirmedThenUnconfirmed", {true, true, false}}),
    [](const ::testing::TestParamInfo<Cycles>& row) { return std::string(row.param.name); });

// On the default road (ab_sync 0) the new slot is complete when the board boots it: the
// NOR A/B partitions the package does not carry hold the running slot's content, the one
// it carries its image, with no copy left for the firmware.
TEST_F(RoadTest, DefaultRoadLeavesEveryNorPartitionOfTheNewSlotRight) {
  const std::string pkg =
      package("key ab_sync 0\npart boot boot.img\npart uboot uboot.img\n", "all_in_one_nor.zip");
  const std::pair<const char*, long> untouched[] = {{"bl31", 256 << 10}, {"ddr_fw", 128 << 10}};
  for (const auto& [part, size] : untouched) {
    ASSERT_NO_FATAL_FAILURE(
        board_client::write_part(std::string(part) + "_a", ota_test::make_image_bytes(size, 31)));
    ASSERT_NO_FATAL_FAILURE(
        board_client::write_part(std::string(part) + "_b", std::string(size, 'x')));
  }
  ASSERT_NO_FATAL_FAILURE(update_and_switch(pkg));
  reboot();
  ASSERT_EQ(booted_slot(), 1);
  EXPECT_EQ(part_md5_as("uboot_b", "uboot.img"), image_md5("uboot.img"));
  for (const auto& [part, size] : untouched) {
    EXPECT_EQ(hex_md5_of_part(board_client::kByName + part + "_b", size),
              hex_md5_of_part(board_client::kByName + part + "_a", size))
        << part;
  }
  EXPECT_EQ(otaCheckUpdate(), 0);
}

// A board restarted after the worker finished but before the switch comes back on the old
// slot: the check does not call that a success, a sync refuses to copy the old slot over
// the new one, and the switch can still be made afterwards.
TEST_F(RoadTest, RebootBeforeTheSwitchIsNoSuccess) {
  ASSERT_EQ(otaRequestStart(pkg_.c_str(), OTA_SERVICE), 0);
  ASSERT_EQ(board_client::wait_final(300), UPGRADE_SUCCESS);
  reboot();
  ASSERT_EQ(booted_slot(), 0);
  EXPECT_EQ(otaCheckUpdate(), -OTAERR_BOOT_FAILED);
  EXPECT_TRUE(ota_test::log_contains("no switch was recorded"));
  EXPECT_EQ(board_client::road_state_line().rfind("road state: W6 ", 0), 0U)
      << board_client::road_state_line();
  EXPECT_EQ(otaPartitionSync(), -1);
  EXPECT_EQ(part_md5_as("boot_b", "boot.img"), image_md5("boot.img"));
  ASSERT_EQ(otaSetPartition(1), 0);
  reboot();
  ASSERT_EQ(booted_slot(), 1);
  EXPECT_EQ(otaCheckUpdate(), 0);
}

// A worker killed while it writes leaves status BURN: switching to the torn slot is
// refused (here and from another process), and so is a switch back while it stays so.
TEST_F(RoadTest, KilledUpdateIsNeverSwitchedTo) {
  ASSERT_EQ(otaRequestStart(pkg_.c_str(), OTA_SERVICE), 0);
  for (int i = 0; i < 3000 && otaGetProgress() < 20; ++i) {
    usleep(10000);
  }
  const pid_t pid = worker_pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_EQ(board_client::wait_final(), UPGRADE_FAILED);
  ASSERT_EQ(up_status(), OTA_FLAG_BURN);
  EXPECT_EQ(otaSetPartition(1), -OTAERR_STAGE);
  // A client that did not see the launch fail (restarted library) is refused as well.
  ASSERT_EQ(otaDeinitLib(), 0);
  ASSERT_EQ(otaInitLib(), 0);
  EXPECT_EQ(otaSetPartition(1), -OTAERR_STAGE);
  EXPECT_TRUE(ota_test::log_contains("status BURN"));
  EXPECT_EQ(board_client::run(std::string(OTA_TOOL_EXE) + " set-slot b 2>/dev/null"), OTAERR_STAGE);
  EXPECT_EQ(otaSetPartition(0), -OTAERR_STAGE);
  EXPECT_EQ(board_client::misc_slot(1).tries_remaining(), 0);
  reboot();
  EXPECT_EQ(booted_slot(), 0);
  EXPECT_EQ(otaCheckUpdate(), -OTAERR_IMAGE_WRITE);
}

// A package whose manifest lists no partition is refused by the worker, and nothing can
// be switched to afterwards.
TEST_F(RoadTest, EmptyPackageIsRefusedAndNotSwitchedTo) {
  const std::string pkg = package("", "all_in_one_empty.zip");
  ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), 0);
  EXPECT_EQ(board_client::wait_final(300), UPGRADE_FAILED);
  EXPECT_NE(up_status(), OTA_FLAG_VERIFY);
  ASSERT_EQ(otaDeinitLib(), 0);  // a library that did not see the launch fail
  ASSERT_EQ(otaInitLib(), 0);
  EXPECT_EQ(otaSetPartition(1), -OTAERR_STAGE);
  EXPECT_EQ(board_client::misc_slot(1).tries_remaining(), 7);  // b untouched: factory tries
}

// A parameter-only update on a board whose veeprom never held an anti-rollback record
// goes the whole road, its sync included.
TEST_F(RoadTest, ParameterUpdateThenSyncWithoutAntiRollbackRecord) {
  ota_test::write_file(dir_.file("app_param"), "brightness=7\n");
  ota_test::write_file(dir_.file("param_update.sh"), "#!/bin/sh\ncp \"$1\" \"$2/app_param\"\n");
  const std::string pkg = package(
      "file app_param app_param\nfile param_update.sh param_update.sh\n", "board_param.zip");
  ASSERT_NO_FATAL_FAILURE(update_and_switch(pkg));
  reboot();
  ASSERT_EQ(booted_slot(), 1);
  ASSERT_EQ(otaCheckUpdate(), 0);
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  EXPECT_EQ(otaPartitionSync(), 0);
  const long size = dev_size(board_client::kByName + ("app_param_a"));
  EXPECT_EQ(hex_md5_of_part(board_client::kByName + ("app_param_a"), size),
            hex_md5_of_part(board_client::kByName + ("app_param_b"), size));
  otaClearFlags();
  EXPECT_EQ(up_status(), OTA_FLAG_NORMAL);
}

// Clearing the flags of an abandoned update restores the security partitions from their
// backups at once (the engine copies them) and resets the records.
TEST_F(RoadTest, ClearAfterAbandonRestoresSecurityPartitions) {
  ASSERT_NO_FATAL_FAILURE(update_and_switch(pkg_));
  const std::string bak = board_client::kByName + ("HSM_FW_bak");
  const std::string main = board_client::kByName + ("HSM_FW");
  const long size = dev_size(main);
  ASSERT_GT(size, 4096);
  // The main copy damaged after the update (what a half-written security image leaves).
  ASSERT_NO_FATAL_FAILURE(board_client::write_part("HSM_FW", "damaged"));
  otaClearFlags();
  EXPECT_EQ(hex_md5_of_part(main, size - 2048), hex_md5_of_part(bak, size - 2048));
  EXPECT_EQ(up_status(), OTA_FLAG_NORMAL);
  EXPECT_EQ(board_client::road().phase, OTA_ROAD_IDLE);
}

}  // namespace
