// The worker's part of the update road on a virtual board: what a run leaves in the road
// record, the boot control block, the status and anti-rollback records and the new slot,
// before any reboot.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_writer.h"
#include "board_records.h"
#include "boot_control.h"
#include "flash_cmd.h"
#include "kx_zip.h"
#include "road_record.h"
#include "veeprom_flag.h"
#include "worker_run.h"

namespace {

using namespace worker_run;
using board_io::reboot;
using board_records::boot_block_on_disk;
using board_records::status_on_disk;

std::vector<uint8_t> nor_half(const std::string& name) {
  const auto l = board_io::layout();
  const auto* p = l.find(name);
  return board_io::read_dev("/dev/mtd0", p->offset, p->size);
}

std::vector<uint8_t> whole(const std::string& name) {
  const auto l = board_io::layout();
  return board_io::read_dev(kByName + name, 0, l.find(name)->size);
}

ota_road_record_t road() {
  ota_road_record_t rec{};
  EXPECT_EQ(ota_road_read(&rec), 0);
  return rec;
}

bool flash_channel_free() { return ota_flashcmd_pending(nullptr) == 0; }

class WorkerRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    // A board in service: slot a booted and confirmed, the halves of slot b different
    // from those of slot a.
    ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
    ASSERT_EQ(reboot(), 0);
    const auto l = board_io::layout();
    unsigned seed = 100;
    for (const auto* list : {&l.emmc, &l.nor}) {
      for (const auto& p : *list) {
        if (p.name.ends_with("_a") && !p.ext4) {
          board_io::write_dev(kByName + p.name, 0, board_io::pattern(p.size, seed++));
        }
      }
    }
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(150000, 1));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(40000, 2));
  }
  std::string package(const std::string& name, const std::string& text) {
    const std::string out = "/userdata/" + name;
    pack(text, dir_.path(), out);
    return out;
  }
  // A system package with its manifest edited by `edit` (members re-zipped as they are).
  std::string edited(const std::string& name, const std::string& text,
                     const std::vector<std::string>& members, void (*edit)(cJSON*, const char*)) {
    const std::string plain = package("plain_" + name, text);
    ota_test::TempDir staging;
    EXPECT_EQ(kx_uncompress(plain.c_str(), staging.path().c_str()), 0);
    cJSON* root = cJSON_Parse(ota_test::read_file(staging.file("data.json")).c_str());
    EXPECT_NE(root, nullptr);
    edit(root, staging.path().c_str());
    char* json = cJSON_Print(root);
    ota_test::write_file(staging.file("data.json"), json);
    cJSON_free(json);
    cJSON_Delete(root);
    const std::string out = "/userdata/" + name;
    auto zip = ota::archive::ZipWriter::create(out);
    EXPECT_TRUE(zip.ok());
    for (const std::string& m : members) {
      EXPECT_TRUE(zip->add_file({.name = m}, staging.file(m)).ok()) << m;
    }
    EXPECT_TRUE(zip->finish().ok());
    return out;
  }
  ota_test::TempDir dir_;
};

// On the default road a package carrying one NOR partition of three leaves, before any
// reboot, every NOR half of slot b right (its image or slot a's content), the untouched
// eMMC partitions copied, nothing pending for the firmware, slot b unbootable, and the
// road WRITTEN for slot b from slot a under a VERIFY status.
TEST_F(WorkerRoadTest, DefaultRoadCompletesTheSlotBeforeAnyReboot) {
  const Outcome out = run_worker(package("all_in_one_nor.zip",
                                         "key ab_sync 0\npart boot boot.img\npart uboot "
                                         "uboot.img\n"));
  ASSERT_EQ(out.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  const std::string uboot = ota_test::read_file(dir_.file("uboot.img"));
  EXPECT_EQ(device_head("uboot_b", uboot.size()), uboot);
  for (const char* part : {"bl31", "ddr_fw"}) {
    EXPECT_EQ(nor_half(std::string(part) + "_b"), nor_half(std::string(part) + "_a")) << part;
  }
  for (const char* part : {"system", "vbmeta"}) {
    EXPECT_EQ(whole(std::string(part) + "_b"), whole(std::string(part) + "_a")) << part;
  }
  EXPECT_TRUE(flash_channel_free());
  const slot_metadata b = boot_block_on_disk().slot_info[1];
  EXPECT_EQ(b.successful_boot(), 0);
  EXPECT_EQ(b.tries_remaining(), 0);
  const ota_road_record_t rec = road();
  EXPECT_EQ(rec.phase, OTA_ROAD_WRITTEN);
  EXPECT_EQ(rec.target_slot, 1U);
  EXPECT_EQ(rec.from_slot, 0U);
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_VERIFY);
}

// A second update after a confirmed first one writes the slot that was confirmed in its
// earlier life: it too is left unbootable and unconfirmed, and the board keeps booting the
// slot it came from.
TEST_F(WorkerRoadTest, SecondUpdateLeavesItsTargetUnconfirmed) {
  const std::string pkg = package("all_in_one_two.zip", "part boot boot.img\n");
  ASSERT_EQ(run_worker(pkg).exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);  // the switch, as the client makes it
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_get_cur_slot(), 1);
  ASSERT_EQ(ota_mark_slot_boot_successful(1), 0);
  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(boot_block_on_disk().slot_info[0].successful_boot(), 1);  // slot a's earlier life

  ASSERT_EQ(run_worker(pkg).exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  const slot_metadata a = boot_block_on_disk().slot_info[0];
  EXPECT_EQ(a.successful_boot(), 0);
  EXPECT_EQ(a.tries_remaining(), 0);
  EXPECT_EQ(road().target_slot, 0U);
  EXPECT_EQ(road().from_slot, 1U);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 1);
}

// A parameter-only run writes app_param and copies every other A/B partition, eMMC and
// NOR, so the new slot is complete; on a board whose anti-rollback record was never
// written it leaves a valid record with nothing to commit.
TEST_F(WorkerRoadTest, ParameterOnlyRunCompletesTheSlot) {
  board_io::write_dev(board_records::kVeeprom, OTA_ANTI_VER_OFFSET, std::vector<uint8_t>(16, 0xFF));
  ota_test::write_file(dir_.file("app_param"), "brightness=7\n");
  ota_test::write_file(dir_.file("param_update.sh"), "#!/bin/sh\ncp \"$1\" \"$2/app_param\"\n");
  const Outcome out = run_worker(package(
      "board_param.zip", "file app_param app_param\nfile param_update.sh param_update.sh\n"));
  ASSERT_EQ(out.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  for (const char* part : {"boot", "system", "vbmeta"}) {
    EXPECT_EQ(whole(std::string(part) + "_b"), whole(std::string(part) + "_a")) << part;
  }
  for (const char* part : {"uboot", "bl31", "ddr_fw"}) {
    EXPECT_EQ(nor_half(std::string(part) + "_b"), nor_half(std::string(part) + "_a")) << part;
  }
  const ota_status_t status = status_on_disk();
  EXPECT_EQ(status.up, OTA_FLAG_VERIFY);
  EXPECT_EQ(status.up_param, OTA_FLAG_VERIFY);
  ASSERT_EQ(status.update_part.num, 1U);
  EXPECT_STREQ(status.update_part.array[0], "app_param");
  antirollback_ver_t ver{};
  ASSERT_EQ(ota_get_anti_ver_veeprom(&ver), 0);
  EXPECT_EQ(ver.hsm_up_flag, 0);
  EXPECT_EQ(ver.host_up_flag, 0);
  EXPECT_EQ(road().phase, OTA_ROAD_WRITTEN);
  EXPECT_TRUE(flash_channel_free());
}

// A normal-mode package that also carries the partition tables succeeds: the tables are
// neither written nor flushed, and the disk's tables stay as they were.
TEST_F(WorkerRoadTest, PartitionTablesInNormalModeAreSkipped) {
  const std::string blk = kByName + "blk";
  const auto tables = board_io::read_dev(blk, 0, 34 * 512);
  const std::string pkg =
      edited("all_in_one_gpt.zip", "part boot boot.img\n",
             {"data.json", "gpt.conf", "boot.img", "gpt_main.img", "gpt_backup.img"},
             [](cJSON* root, const char* dir) {
               add_table(root, dir, "gpt_main", std::string(34 * 512, 'M'));
               add_table(root, dir, "gpt_backup", std::string(33 * 512, 'B'));
             });
  const Outcome out = run_worker(pkg);
  ASSERT_EQ(out.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  EXPECT_EQ(board_io::read_dev(blk, 0, 34 * 512), tables);
  EXPECT_EQ(device_head("boot_b", 150000), ota_test::read_file(dir_.file("boot.img")));
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_VERIFY);
}

// A manifest with no partition to write (the tables alone) is refused before anything is
// written: the records, the boot control block, veeprom and slot b are as before.
TEST_F(WorkerRoadTest, ManifestWithoutPartitionsRefused) {
  const std::string pkg =
      edited("all_in_one_empty.zip", "part boot boot.img\n",
             {"data.json", "gpt.conf", "gpt_main.img", "gpt_backup.img"},
             [](cJSON* root, const char* dir) {
               cJSON_ReplaceItemInObject(root, "update_partition", cJSON_CreateArray());
               cJSON_ReplaceItemInObject(root, "partition_info", cJSON_CreateObject());
               add_table(root, dir, "gpt_main", std::string(34 * 512, 'M'));
               add_table(root, dir, "gpt_backup", std::string(33 * 512, 'B'));
             });
  ota_update_flag_e up = OTA_FLAG_BURN;
  ASSERT_EQ(ota_get_up_status(&up), 0);  // a fresh board's status record is made by a read
  const auto veeprom = board_io::read_dev(board_records::kVeeprom, 0, 4096);
  const auto misc = board_io::read_dev(board_records::kMisc, 0, 4096);
  const auto boot_b = whole("boot_b");
  const Outcome out = run_worker(pkg);
  EXPECT_EQ(out.exit_status, 255);
  EXPECT_NE(
      ota_test::read_file("/tmp/worker.log").find("package " + pkg + " has no partition to write"),
      std::string::npos);
  EXPECT_EQ(board_io::read_dev(board_records::kVeeprom, 0, 4096), veeprom);
  EXPECT_EQ(board_io::read_dev(board_records::kMisc, 0, 4096), misc);
  EXPECT_EQ(whole("boot_b"), boot_b);
}

}  // namespace
