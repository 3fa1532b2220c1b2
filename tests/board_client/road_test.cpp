#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "board_client.h"
#include "md5.h"
#include "unique_fd.h"
#include "veeprom_flag.h"
// The engine's types first, then the public declarations that reuse them.
#define MIRVO_OTA_INTERNAL_TYPES 1
#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"

namespace {

using board_client::reboot;

constexpr const char* kDev = "/dev/block/platform/by-name/";

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

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(3 << 20, 11));
    ota_test::write_file(dir_.file("system.img"), ota_test::make_image_bytes(6 << 20, 12));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(256 << 10, 13));
    pkg_ = board_client::pack(
        dir_, "key ab_sync 1\npart boot boot.img\npart system system.img\npart uboot uboot.img\n",
        OTA_PROCESS_EXE, "/userdata/all_in_one_update.zip");
    ASSERT_EQ(otaInitLib(), 0);
    // The service confirms the factory slot at boot; the worker refuses an unconfirmed one.
    ASSERT_EQ(otaMarkOTASuccessful(), 0);
  }
  void TearDown() override { (void)otaDeinitLib(); }

  // Runs the worker on the package and switches the next boot to slot B.
  void update_to_b() {
    ASSERT_EQ(otaRequestStart(pkg_.c_str(), OTA_SERVICE), 0);
    ASSERT_EQ(board_client::wait_final(300), UPGRADE_SUCCESS);
    ASSERT_EQ(otaSetPartition(1), 0);
  }
  std::string image_md5(const char* name) { return ota_test::md5sum_of(dir_.file(name)); }
  std::string part_md5(const std::string& part, const char* image) {
    return hex_md5_of_part(kDev + part,
                           static_cast<long>(ota_test::read_file(dir_.file(image)).size()));
  }

  ota_test::TempDir dir_;
  std::string pkg_;
};

// The whole road: update, switch, reboot, check, confirm, sync, clear; afterwards both
// slots hold the new images and the board keeps booting the confirmed slot.
TEST_F(RoadTest, UpdateConfirmSyncClear) {
  ASSERT_NO_FATAL_FAILURE(update_to_b());
  reboot();
  uint8_t slot = 9;
  ASSERT_EQ(otaGetPartition(&slot), 0);
  EXPECT_EQ(slot, 1);
  EXPECT_EQ(otaCheckUpdate(), 0);
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  ASSERT_EQ(ota_get_up_status(&status), 0);
  EXPECT_EQ(status, OTA_FLAG_VERIFIED);
  ASSERT_EQ(otaPartitionSync(), 0);
  // eMMC copies are made and proven at once.
  for (const auto& [part, image] : {std::pair{"boot", "boot.img"}, {"system", "system.img"}}) {
    EXPECT_EQ(part_md5(std::string(part) + "_a", image), image_md5(image)) << part;
    EXPECT_EQ(part_md5(std::string(part) + "_b", image), image_md5(image)) << part;
  }
  otaClearFlags();
  ASSERT_EQ(ota_get_up_status(&status), 0);
  EXPECT_EQ(status, OTA_FLAG_NORMAL);
  // The NOR copy is the firmware's, at the next boot; the confirmed slot stays.
  reboot();
  EXPECT_EQ(part_md5("uboot_a", "uboot.img"), image_md5("uboot.img"));
  EXPECT_EQ(part_md5("uboot_b", "uboot.img"), image_md5("uboot.img"));
  for (int boot = 0; boot < 4; ++boot) {
    reboot();
  }
  ASSERT_EQ(otaGetPartition(&slot), 0);
  EXPECT_EQ(slot, 1);
  uint8_t from_bak = 9;
  ASSERT_EQ(ota_back_slot_stat(&from_bak), 0);
  EXPECT_EQ(from_bak, 0);
}

// A new slot that is never confirmed runs out of tries: the board falls back to A and
// the check reports that the new slot did not boot.
TEST_F(RoadTest, UnconfirmedSlotFallsBack) {
  ASSERT_NO_FATAL_FAILURE(update_to_b());
  for (int boot = 0; boot < 4; ++boot) {
    reboot();
  }
  uint8_t slot = 9;
  ASSERT_EQ(otaGetPartition(&slot), 0);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(otaCheckUpdate(), -OTAERR_BOOT_FAILED);
}

// Clearing the flags of an abandoned update has the firmware restore the security
// partitions from their backups at the next boot.
TEST_F(RoadTest, ClearAfterAbandonRestoresSecurityPartitions) {
  ASSERT_NO_FATAL_FAILURE(update_to_b());
  const std::string bak = kDev + std::string("HSM_FW_bak");
  const std::string main = kDev + std::string("HSM_FW");
  const long size = dev_size(main);
  ASSERT_GT(size, 4096);
  // The main copy damaged after the update (what a half-written security image leaves).
  ASSERT_EQ(board_client::run("printf damaged | dd of=" + main + " conv=notrunc status=none"), 0);
  otaClearFlags();
  reboot();
  EXPECT_EQ(hex_md5_of_part(main, size - 2048), hex_md5_of_part(bak, size - 2048));
  ota_update_flag_e status = OTA_FLAG_BURN;
  ASSERT_EQ(ota_get_up_status(&status), 0);
  EXPECT_EQ(status, OTA_FLAG_NORMAL);
}

}  // namespace
