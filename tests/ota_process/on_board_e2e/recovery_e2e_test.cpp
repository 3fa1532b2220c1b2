// The recovery-mode rewrite on a virtual board: a package made by ota_pack and turned
// into a recovery package (gpt.conf in sectors, the board's partition tables added) is
// written at raw offsets, and the board then boots slot a with the record at VERIFY.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_writer.h"
#include "board_records.h"
#include "boot_control.h"
#include "recovery_package.h"
#include "road_record.h"
#include "veeprom_flag.h"
#include "worker_run.h"

namespace {

using namespace worker_run;
using board_io::reboot;
using board_records::boot_block_on_disk;
using board_records::status_on_disk;

using recovery_package::kSector;

class RecoveryKinds : public ::testing::TestWithParam<const char*> {};

// A recovery boot rewrites slot a, the NOR flash and the partition tables at the offsets
// of the package's gpt.conf, never slot b, and the next boot comes up on slot a with the
// status record at VERIFY naming the written partitions; a zip and a tar package alike.
TEST_P(RecoveryKinds, WholeSystemRewritten) {
  const std::string package = std::string("/userdata/all_in_one_rec.") + GetParam();
  ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
  ota_test::TempDir dir;
  const std::string boot = ota_test::make_image_bytes(200000, 31);
  const std::string system = ota_test::make_image_bytes(2000000, 32);
  const std::string uboot = ota_test::make_image_bytes(65536, 33);
  ota_test::write_file(dir.file("boot.img"), boot);
  ota_test::write_file(dir.file("system.img"), system);
  ota_test::write_file(dir.file("uboot.img"), uboot);
  pack("part boot boot.img\npart system system.img\npart uboot uboot.img\n", dir.path(),
       dir.file("plain.zip"));

  const std::string blk = kByName + "blk";
  const uint64_t disk = board_io::layout().emmc_size;
  const auto [main_table, backup_table] = recovery_package::disk_tables();
  ota_test::TempDir staging;
  recovery_package::make(dir.file("plain.zip"), package, staging.path(), main_table, backup_table);
  ASSERT_EQ(reboot(/*recovery=*/true), 0);
  ASSERT_NE(board_io::cmdline().find("mirvoboot.mode=recovery"), std::string::npos);
  // The tables on the disk are damaged: only the package's copies can restore them.
  board_io::write_dev(blk, kSector, std::vector<uint8_t>(kSector, 0));
  board_io::write_dev(blk, disk - kSector, std::vector<uint8_t>(kSector, 0));
  const std::string boot_b_before = ota_test::md5sum_of(kByName + "boot_b");

  const Outcome out = run_worker(package);
  ASSERT_EQ(out.exit_status, 0) << worker_log();
  EXPECT_EQ(out.records.back().result, UPGRADE_SUCCESS);
  EXPECT_EQ(recovery_package::disk_tables(), std::make_pair(main_table, backup_table));
  EXPECT_TRUE(device_head("boot_a", boot.size()) == boot);
  EXPECT_TRUE(device_head("system_a", system.size()) == system);
  const auto nor =
      board_io::read_dev("/dev/mtd0", board_io::layout().find("uboot_a")->offset, uboot.size());
  EXPECT_TRUE(std::string(nor.begin(), nor.end()) == uboot);
  EXPECT_EQ(ota_test::md5sum_of(kByName + "boot_b"), boot_b_before);

  ASSERT_EQ(reboot(), 0);
  EXPECT_NE(board_io::cmdline().find("mirvoboot.slot_suffix=_a mirvoboot.mode=normal"),
            std::string::npos)
      << board_io::cmdline();
  const ota_status_t status = status_on_disk();
  EXPECT_EQ(status.up, OTA_FLAG_VERIFY);
  EXPECT_EQ(status.up_system, OTA_FLAG_VERIFY);
  EXPECT_EQ(status.next_slot, 0u);
  EXPECT_STREQ(status.update_part.array[0], "boot");
  EXPECT_STREQ(status.update_part.array[2], "uboot");
  EXPECT_EQ(status.update_part.array[3][0], '\0');  // gpt_main: no entry of its own
  // The switch to slot a is on record, so the confirmation after this boot finds it.
  ota_road_record_t road{};
  ASSERT_EQ(ota_road_read(&road), 0);
  EXPECT_EQ(road.phase, OTA_ROAD_SWITCHED);
  EXPECT_EQ(road.target_slot, 0u);
}

INSTANTIATE_TEST_SUITE_P(RecoveryE2e, RecoveryKinds, ::testing::Values("zip", "tar"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
