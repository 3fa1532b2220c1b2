// The order of the worker's durable writes where a stop between two of them matters,
// seen by ota_killpoint: every write to a device recorded in order, and the worker
// killed right before a chosen one.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "board_records.h"
#include "boot_control.h"
#include "recovery_package.h"
#include "road_record.h"
#include "veeprom_flag.h"
#include "worker_run.h"

namespace {

using namespace worker_run;
using board_io::reboot;
using board_records::status_on_disk;

constexpr int kStopped = 100;  // ota_killpoint's status when it killed the run
constexpr const char* kRecord = "/tmp/killpoint.rec";

// One line of ota_killpoint's record: a durable write.
struct Write {
  uint64_t index = 0;
  std::string call;
  std::string target;
  std::string offset;
  bool stopped = false;
};

std::vector<Write> read_record() {
  std::ifstream in(kRecord);
  std::vector<Write> out;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) {
      f.push_back(x);
    }
    if (f.size() >= 7) {
      out.push_back({std::stoull(f[0]), f[3], f[4], f[5], f.size() > 7 && f[7] == "stopped"});
    }
  }
  return out;
}

// The worker on packages under ota_killpoint, killed at write stop_at (0: never).
Outcome traced_run(const std::string& packages, uint64_t stop_at = 0) {
  std::vector<std::string> prefix = {KILLPOINT_EXE, "--record", kRecord};
  if (stop_at != 0) {
    prefix.insert(prefix.end(), {"--stop-at", std::to_string(stop_at)});
  }
  prefix.emplace_back("--");
  return run_worker(packages, "/tmp/worker.log", prefix);
}

// A write of data (not a flush).
bool is_data_write(const Write& w) { return w.call.starts_with("pwrite") || w.call == "write"; }

bool is_road_write(const Write& w) {
  return is_data_write(w) && w.target == "veeprom" &&
         (w.offset == std::to_string(OTA_ROAD_OFFSETS[0]) ||
          w.offset == std::to_string(OTA_ROAD_OFFSETS[1]));
}

// The index of the first (or last) data write that `match` accepts.
std::optional<uint64_t> find(const std::vector<Write>& writes, bool (*match)(const Write&),
                             bool last = false) {
  std::optional<uint64_t> at;
  for (const Write& w : writes) {
    if (match(w)) {
      at = w.index;
      if (!last) {
        break;
      }
    }
  }
  return at;
}

std::string dump(const std::vector<Write>& writes) {
  std::string text;
  for (const Write& w : writes) {
    text += std::to_string(w.index) + " " + w.call + " " + w.target + " @" + w.offset + "\n";
  }
  return text;
}

antirollback_ver_t versions_on_disk() {
  antirollback_ver_t ver{};
  EXPECT_EQ(ota_get_anti_ver_veeprom(&ver), 0);
  return ver;
}

// The anti-rollback versions of a package go on record only once the road names the
// update they belong to: a worker killed right before its road write leaves the versions
// of the update already on the road (here 7) for that update's sync to commit.
TEST(RoadOrder, VersionsRecordedAfterTheRoadNamesTheUpdate) {
  ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
  ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);  // both runs start from valid records
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("vbmeta.img"), ota_test::avb_image(9));
  ota_test::write_file(dir.file("boot.img"), ota_test::make_image_bytes(100000, 3));
  pack("key antirollbackUpdate_host 1\npart boot boot.img\npart vbmeta vbmeta.img anti_ver\n",
       dir.path(), "/userdata/all_in_one_ver.zip");

  const Outcome first = traced_run("/userdata/all_in_one_ver.zip");
  ASSERT_EQ(first.exit_status, 0) << worker_log();
  const std::vector<Write> writes = read_record();
  const auto road = find(writes, is_road_write);
  const auto versions = find(writes, [](const Write& w) {
    return is_data_write(w) && w.target == "veeprom" &&
           w.offset == std::to_string(OTA_ANTI_VER_OFFSET);
  });
  ASSERT_TRUE(road.has_value() && versions.has_value()) << dump(writes);
  EXPECT_LT(*road, *versions) << dump(writes);
  EXPECT_EQ(versions_on_disk().host_ver, 9u);
  EXPECT_EQ(versions_on_disk().host_up_flag, 1u);
  EXPECT_EQ(versions_on_disk().hsm_up_flag, 0u);

  // The same run from the records of an update on the road, killed at its road write.
  antirollback_ver_t earlier{};
  earlier.host_ver = 7;
  earlier.host_up_flag = 1;
  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
  ASSERT_EQ(ota_set_anti_ver_veeprom(&earlier), 0);
  const Outcome killed = traced_run("/userdata/all_in_one_ver.zip", *road);
  EXPECT_EQ(killed.exit_status, kStopped) << worker_log();
  EXPECT_EQ(versions_on_disk().host_ver, 7u) << dump(read_record());
}

// A recovery boot rewrites slot a, the NOR flash and the damaged partition tables at the
// offsets of the package's gpt.conf, never slot b, and records the switch to slot a in the
// road before misc makes slot a active (the next boot comes up on slot a): killed at that
// misc write, the records already show the switch (a retry finishes it), never a slot a
// that boots while the check finds none.
TEST(RoadOrder, RecoveryRewritesSlotAAndRecordsTheSwitchFirst) {
  ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
  ota_test::TempDir dir;
  const std::string boot = ota_test::make_image_bytes(100000, 5);
  const std::string uboot = ota_test::make_image_bytes(65536, 6);
  ota_test::write_file(dir.file("boot.img"), boot);
  ota_test::write_file(dir.file("uboot.img"), uboot);
  pack("part boot boot.img\npart uboot uboot.img\n", dir.path(), dir.file("plain.zip"));
  const auto tables = recovery_package::disk_tables();
  recovery_package::make(dir.file("plain.zip"), "/userdata/all_in_one_rec.zip", tables);
  ASSERT_EQ(reboot(/*recovery=*/true), 0);
  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);  // both runs start from valid records
  // The tables on the disk are damaged: only the package's copies can restore them.
  const uint64_t disk = board_io::layout().emmc_size;
  board_io::write_dev(kByName + "blk", 512, std::vector<uint8_t>(512, 0));
  board_io::write_dev(kByName + "blk", disk - 512, std::vector<uint8_t>(512, 0));
  const std::string boot_b = ota_test::md5sum_of(kByName + "boot_b");

  const Outcome first = traced_run("/userdata/all_in_one_rec.zip");
  ASSERT_EQ(first.exit_status, 0) << worker_log();
  EXPECT_EQ(first.records.back().result, UPGRADE_SUCCESS);
  EXPECT_EQ(recovery_package::disk_tables(), tables);
  EXPECT_EQ(device_head("boot_a", boot.size()), boot);
  EXPECT_EQ(device_head("uboot_a", uboot.size()), uboot);
  EXPECT_EQ(ota_test::md5sum_of(kByName + "boot_b"), boot_b);
  const ota_status_t status = status_on_disk();
  EXPECT_EQ(status.up_system, OTA_FLAG_VERIFY);
  EXPECT_STREQ(status.update_part.array[1], "uboot");
  EXPECT_EQ(status.update_part.array[2][0], '\0');  // gpt_main: no entry of its own
  const std::vector<Write> writes = read_record();
  const auto last_road = find(writes, is_road_write, /*last=*/true);
  const auto last_misc = find(
      writes, [](const Write& w) { return is_data_write(w) && w.target == "misc"; }, true);
  ASSERT_TRUE(last_road.has_value() && last_misc.has_value()) << dump(writes);
  EXPECT_LT(*last_road, *last_misc) << dump(writes);
  ASSERT_EQ(reboot(), 0);
  EXPECT_NE(board_io::cmdline().find("mirvoboot.slot_suffix=_a mirvoboot.mode=normal"),
            std::string::npos)
      << board_io::cmdline();

  // Killed at that misc write, from the records the rewrite started from.
  ASSERT_EQ(reboot(/*recovery=*/true), 0);
  ota_road_record_t idle = ota_road_idle_record();
  ASSERT_EQ(ota_road_write(&idle), 0);
  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
  const Outcome killed = traced_run("/userdata/all_in_one_rec.zip", *last_misc);
  EXPECT_EQ(killed.exit_status, kStopped) << dump(writes) << "\n" << dump(read_record());
  const std::vector<Write> stopped = read_record();
  ASSERT_FALSE(stopped.empty());
  EXPECT_TRUE(stopped.back().stopped && stopped.back().target == "misc") << dump(stopped);
  ota_road_record_t rec{};
  ASSERT_EQ(ota_road_read(&rec), 0);
  EXPECT_EQ(rec.phase, OTA_ROAD_SWITCHED);
  EXPECT_EQ(rec.target_slot, 0u);
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_VERIFY);
  EXPECT_EQ(status_on_disk().next_slot, 0u);
}

}  // namespace
