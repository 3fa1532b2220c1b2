// The update road with the real worker on a board: update, switch, reboot, check, confirm
// and sync, for the packages the kill-point road (tests/kill_points) does not drive.
#include <gtest/gtest.h>

#include <string>

#include "board_client.h"
#include "mirvo_ota_ll.h"

namespace {

using board_client::part_md5;
using board_client::reboot;
using board_client::up_status;

class RoadTest : public board_client::ClientTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ClientTest::SetUp());
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(3 << 20, 11));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(256 << 10, 13));
    // The service confirms the factory slot at boot; the worker refuses an unconfirmed one.
    ASSERT_EQ(otaMarkOTASuccessful(), 0);
  }

  std::string package(const std::string& description, const std::string& name) {
    return board_client::pack(dir_, description, OTA_PROCESS_EXE, "/userdata/" + name);
  }

  // Runs the worker on `pkg` from the running slot and switches the next boot to the
  // slot it wrote.
  static void update_and_switch(const std::string& pkg) {
    ASSERT_EQ(otaRequestStart(pkg.c_str(), OTA_SERVICE), 0);
    ASSERT_EQ(board_client::wait_final(300), UPGRADE_SUCCESS);
    ASSERT_EQ(otaSetPartition(static_cast<uint8_t>(ota_get_cur_slot() ^ 1)), 0);
  }

  // The partition holds the image whole.
  void expect_image(const std::string& part, const char* image) {
    const std::string file = dir_.file(image);
    EXPECT_EQ(part_md5(part, static_cast<long>(ota_test::read_file(file).size())),
              ota_test::md5sum_of(file))
        << part;
  }

  ota_test::TempDir dir_;
};

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
  ASSERT_EQ(ota_get_cur_slot(), 1);
  expect_image("uboot_b", "uboot.img");
  for (const auto& [part, size] : untouched) {
    EXPECT_EQ(part_md5(part + std::string("_b"), size), part_md5(part + std::string("_a"), size))
        << part;
  }
  EXPECT_EQ(otaCheckUpdate(), 0);
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
  ASSERT_EQ(ota_get_cur_slot(), 1);
  ASSERT_EQ(otaCheckUpdate(), 0);
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  EXPECT_EQ(otaPartitionSync(), 0);
  const long size = board_client::part_size("app_param_a");
  EXPECT_EQ(part_md5("app_param_a", size), part_md5("app_param_b", size));
  otaClearFlags();
  EXPECT_EQ(up_status(), OTA_FLAG_NORMAL);
}

}  // namespace
