// The worker executable on a virtual board: system and parameter packages written and
// proven, what a run leaves in the FIFO records, the road record, the boot control block,
// the status and anti-rollback records and the new slot before any reboot, and the runs it
// refuses. (A worker killed at each of its durable writes: tests/kill_points.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_records.h"
#include "boot_control.h"
#include "crc.h"
#include "flash_cmd.h"
#include "partition_md5.h"
#include "road_record.h"
#include "veeprom_flag.h"
#include "recovery_tables.h"
#include "worker_run.h"

namespace {

using namespace worker_run;
using board_io::reboot;
using board_records::boot_block_on_disk;
using board_records::status_on_disk;

constexpr size_t kBootSize = 200000;
constexpr size_t kSystemSize = 3000000;

// A NOR image whose flash header carries ver with a valid CRC16.
std::string nor_image(uint16_t ver, unsigned seed) {
  std::string img = ota_test::make_image_bytes(65536, seed);
  img[2] = static_cast<char>(ver & 0xff);
  img[3] = static_cast<char>(ver >> 8);
  const uint16_t crc = CRC16(reinterpret_cast<const uint8_t*>(img.data()), 46);
  img[46] = static_cast<char>(crc & 0xff);
  img[47] = static_cast<char>(crc >> 8);
  return img;
}

ota_road_record_t road() {
  ota_road_record_t rec{};
  EXPECT_EQ(ota_road_read(&rec), 0);
  return rec;
}

class WorkerE2eTest : public OnBoard {
 protected:
  // The halves of slot a differ from those of slot b, so every copy shows.
  void SetUp() override {
    OnBoard::SetUp();
    const auto l = board_io::layout();
    unsigned seed = 100;
    for (const auto* list : {&l.emmc, &l.nor}) {
      for (const auto& p : *list) {
        if (p.name.ends_with("_a") && !p.ext4) {
          board_io::write_dev(kByName + p.name, 0, board_io::pattern(p.size, seed++));
        }
      }
    }
    boot_ = ota_test::make_image_bytes(kBootSize, 11);
    system_ = ota_test::make_image_bytes(kSystemSize, 12);
    ota_test::write_file(dir_.file("boot.img"), boot_);
    ota_test::write_file(dir_.file("system.img"), system_);
    ota_test::write_file(dir_.file("uboot.img"), nor_image(3, 13));
  }
  // What every failed run leaves: exit 255, a last record UPGRADE_FAILED.
  static void expect_failed(const Outcome& out) {
    EXPECT_EQ(out.exit_status, 255);
    ASSERT_FALSE(out.records.empty());
    EXPECT_EQ(out.records.back().result, UPGRADE_FAILED);
  }
  // The A/B partitions (eMMC and NOR) not named copied from slot a into slot b.
  static void expect_copied(const std::vector<const char*>& emmc,
                            const std::vector<const char*>& nor) {
    for (const std::string part : emmc) {
      EXPECT_EQ(whole(part + "_b"), whole(part + "_a")) << part;
    }
    for (const std::string part : nor) {
      EXPECT_EQ(nor_half(part + "_b"), nor_half(part + "_a")) << part;
    }
  }
  std::string boot_;
  std::string system_;
};

const char* const kSystemDesc =
    "part boot boot.img\n"
    "part system system.img\n"
    "part uboot uboot.img anti_ver\n";

void expect_success_records(const std::vector<ota_upgrade_info>& records) {
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(name_of(records[0]), "None");
  EXPECT_EQ(records[0].result, UPGRADE_IN_PROGRESS);
  EXPECT_EQ(records[0].progress, 0u);
  const size_t n = records.size();
  EXPECT_EQ(name_of(records[n - 1]), "all_img_finish");
  EXPECT_EQ(records[n - 1].result, UPGRADE_SUCCESS);
  EXPECT_EQ(records[n - 1].progress, 100u);
  EXPECT_EQ(records[n - 2].result, UPGRADE_IN_PROGRESS);
  EXPECT_EQ(records[n - 2].progress, 100u);
  EXPECT_EQ(name_of(records[n - 2]), "all_img_finish");
  // Every burn names its image and moves the share from 15 up to 85 once all is burned.
  uint32_t last = 0;
  bool named_boot = false;
  for (size_t i = 1; i + 2 < n; ++i) {
    EXPECT_EQ(records[i].result, UPGRADE_IN_PROGRESS) << i;
    EXPECT_GE(records[i].progress, last) << i;
    last = records[i].progress;
    EXPECT_TRUE(last == 0 || (last >= 15 && last <= 85)) << i << ": " << last;
    named_boot = named_boot || name_of(records[i]).starts_with("boot.img");
  }
  EXPECT_EQ(last, 85u);
  EXPECT_TRUE(named_boot);
}

// A zip, a tar+zstd and a zip for a secure board (signed NOR layout) system package all
// update slot b completely before any reboot, with the records the client expects and exit
// 0: slot b written and proven (slot a as it was), the untouched A/B partitions copied, nothing
// left for the firmware, slot b unbootable and unconfirmed until the switch, the road WRITTEN for
// slot b from slot a under a VERIFY status, slot a still booting.
TEST_F(WorkerE2eTest, SystemPackageZipTarAndSecure) {
  const std::pair<std::string, std::string> variants[] = {
      {"zip", ""}, {"tar", ""}, {"zip", "key nor_sign 1\n"}};
  const std::string boot_a = whole("boot_a");
  for (const auto& [format, keys] : variants) {
    SCOPED_TRACE(format + " " + keys);
    const std::string pkg =
        package("all_in_one_v2." + format, "format " + format + "\n" + keys + kSystemDesc);
    const Outcome out = run_worker(pkg);
    EXPECT_EQ(out.exit_status, 0) << worker_log();
    expect_success_records(out.records);
    EXPECT_EQ(device_head("boot_b", boot_.size()), boot_);
    EXPECT_EQ(device_head("system_b", system_.size()), system_);
    EXPECT_EQ(device_head("uboot_b", 48), nor_image(3, 13).substr(0, 48));
    EXPECT_EQ(whole("boot_a"), boot_a);
    expect_copied({"vbmeta", "app_param"}, {"bl31", "ddr_fw"});
    EXPECT_EQ(ota_flashcmd_pending(nullptr), 0);
    const slot_metadata b = boot_block_on_disk().slot_info[1];
    EXPECT_EQ(b.successful_boot(), 0);
    EXPECT_EQ(b.tries_remaining(), 0);
    const ota_road_record_t rec = road();
    EXPECT_EQ(rec.phase, OTA_ROAD_WRITTEN);
    EXPECT_EQ(rec.target_slot, 1U);
    EXPECT_EQ(rec.from_slot, 0U);
    EXPECT_EQ(status_on_disk().up, OTA_FLAG_VERIFY);
    ASSERT_EQ(reboot(), 0);
    EXPECT_EQ(ota_get_cur_slot(), 0);
    // The next run starts from a clean slate on the same board.
    board_io::write_dev(kByName + "boot_b", 0, std::vector<uint8_t>(kBootSize, 0));
    board_io::write_dev(kByName + "system_b", 0, std::vector<uint8_t>(kSystemSize, 0));
    board_io::write_dev(kByName + "uboot_b", 0, std::vector<uint8_t>(65536, 0));
  }
}

// A second update after a confirmed first one writes the slot that was confirmed in its
// earlier life: it too is left unbootable and unconfirmed, and the board keeps booting the
// slot it came from.
TEST_F(WorkerE2eTest, SecondUpdateLeavesItsTargetUnconfirmed) {
  const std::string pkg = package("all_in_one_two.zip", "part boot boot.img\n");
  ASSERT_EQ(run_worker(pkg).exit_status, 0) << worker_log();
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);  // the switch, as the client makes it
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(ota_get_cur_slot(), 1);
  ASSERT_EQ(ota_mark_slot_boot_successful(1), 0);
  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
  ASSERT_EQ(reboot(), 0);
  ASSERT_EQ(boot_block_on_disk().slot_info[0].successful_boot(), 1);  // slot a's earlier life

  ASSERT_EQ(run_worker(pkg).exit_status, 0) << worker_log();
  const slot_metadata a = boot_block_on_disk().slot_info[0];
  EXPECT_EQ(a.successful_boot(), 0);
  EXPECT_EQ(a.tries_remaining(), 0);
  EXPECT_EQ(road().target_slot, 0U);
  EXPECT_EQ(road().from_slot, 1U);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 1);
}

// A parameter-only run (a tar package) writes app_param through its script and copies
// every other A/B partition, eMMC and NOR, so the new slot is complete; on a board whose
// anti-rollback record was never written it leaves a valid record with nothing to commit.
TEST_F(WorkerE2eTest, ParameterOnlyRunCompletesTheSlot) {
  board_io::write_dev(board_records::kVeeprom, OTA_ANTI_VER_OFFSET, std::vector<uint8_t>(16, 0xFF));
  ota_test::write_file(dir_.file("app_param"), "brightness=7\n");
  ota_test::write_file(dir_.file("param_update.sh"), "#!/bin/sh\ncp \"$1\" \"$2/settings\"\n");
  const Outcome out = run_worker(
      package("board_param.tar",
              "format tar\nfile app_param app_param\nfile param_update.sh param_update.sh\n"));
  ASSERT_EQ(out.exit_status, 0) << worker_log();
  ota_test::TempDir mnt;
  ASSERT_EQ(std::system(("mount -t ext4 -o ro " + kByName + "app_param_b " + mnt.path()).c_str()),
            0);
  EXPECT_EQ(ota_test::read_file(mnt.file("settings")), "brightness=7\n");
  ASSERT_EQ(std::system(("umount " + mnt.path()).c_str()), 0);
  expect_copied({"boot", "system", "vbmeta"}, {"uboot", "bl31", "ddr_fw"});
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
  EXPECT_EQ(ota_flashcmd_pending(nullptr), 0);
}

// A normal-mode package that also carries the partition tables succeeds: the tables are
// neither written nor flushed, and the disk's tables stay as they were.
TEST_F(WorkerE2eTest, PartitionTablesInNormalModeAreSkipped) {
  const std::string blk = kByName + "blk";
  const auto tables = board_io::read_dev(blk, 0, 34 * 512);
  const std::string pkg = edited_package(
      package("plain.zip", "part boot boot.img\n"), "/userdata/all_in_one_gpt.zip",
      [](cJSON* root, const std::string& dir) {
        ota_road::add_table_member(root, dir, "gpt_main", std::string(34 * 512, 'M'));
        ota_road::add_table_member(root, dir, "gpt_backup", std::string(33 * 512, 'B'));
      });
  ASSERT_EQ(run_worker(pkg).exit_status, 0) << worker_log();
  EXPECT_EQ(board_io::read_dev(blk, 0, 34 * 512), tables);
  EXPECT_EQ(device_head("boot_b", kBootSize), boot_);
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_VERIFY);
}

// A backup directory from the package that holds shell syntax reaches the shell as one
// word: the dump lands in that literal directory and nothing else runs.
TEST_F(WorkerE2eTest, PackageTextStaysOneShellWord) {
  const std::string hsm = ota_test::make_image_bytes(100000, 23);
  ota_test::write_file(dir_.file("hsm.img"), hsm);
  const std::string odd = "/userdata/bak;touch${IFS}/tmp/pwned;'x'$(touch${IFS}/tmp/pwned2)";
  const std::string pkg =
      package("all_in_one_odd.zip", "key backup_dir " + odd + "\npart HSM_FW hsm.img\n");
  ASSERT_EQ(run_worker(pkg).exit_status, 0) << worker_log();
  EXPECT_EQ(device_head("HSM_FW", hsm.size()), hsm);
  EXPECT_NE(::access((odd + "/HSM_FW.img").c_str(), F_OK), -1);
  EXPECT_EQ(::access("/tmp/pwned", F_OK), -1);
  EXPECT_EQ(::access("/tmp/pwned2", F_OK), -1);
}

// An incremental package (zip, or tar with a zstd patch) made from the running slot's image
// is applied and proven; from a running slot that holds other bytes it fails before slot
// b is written.
TEST_F(WorkerE2eTest, IncrementalPackage) {
  std::string next = system_;
  for (size_t i = 0; i < next.size(); i += 4096) {
    next[i] = static_cast<char>(next[i] ^ 0x5a);
  }
  ota_test::write_file(dir_.file("system_new.img"), next);
  const std::vector<uint8_t> source(system_.begin(), system_.end());
  for (const std::string format : {"zip", "tar"}) {
    SCOPED_TRACE(format);
    board_io::write_dev(kByName + "system_a", 0, source);
    const std::string pkg = package(
        "all_in_one_inc." + format,
        "format " + format + "\npart system system_new.img method=image_diff old=system.img\n");
    ASSERT_EQ(run_worker(pkg).exit_status, 0) << worker_log();
    EXPECT_EQ(device_head("system_b", next.size()), next);
    ASSERT_EQ(reboot(), 0);
    board_io::write_dev(kByName + "system_b", 0, std::vector<uint8_t>(kSystemSize, 0));
  }
  board_io::write_dev(kByName + "system_a", 1000, {0x55});
  const std::string system_b = whole("system_b");
  expect_failed(run_worker("/userdata/all_in_one_inc.tar"));
  EXPECT_NE(worker_log().find("MD5 check fail!"), std::string::npos) << worker_log();
  EXPECT_EQ(whole("system_b"), system_b);
}

struct FailureCase {
  const char* title;
  const char* desc;        // the package (zip, system kind unless named otherwise)
  const char* layout;      // "" or a line replaced in the default layout: "from|to"
  const char* name;        // package file name
  ota_update_flag_e flag;  // status flag after the run
  bool corrupt = false;    // system.img's member bytes damaged in the zip
};

// Each refusal ends the run with exit 255 and a failed last record, and leaves the flag
// where the run stopped: before the burn NORMAL, once burning BURN with slot b unbootable
// after the next boot.
TEST_F(WorkerE2eTest, FailuresEndWithTheirFlags) {
  ota_test::write_file(dir_.file("bl31.img"), nor_image(4, 14));
  ota_test::write_file(dir_.file("fail.sh"), "#!/bin/sh\nexit 3\n");
  const FailureCase cases[] = {
      {"gpt.conf disagrees", "part boot boot.img\n", "emmc boot      16M  ab|emmc boot 16781312 ab",
       "all_in_one_gpt.zip", OTA_FLAG_NORMAL},
      {"anti-rollback class split", "part uboot uboot.img anti_ver\npart bl31 bl31.img anti_ver\n",
       "", "all_in_one_anti.zip", OTA_FLAG_NORMAL},
      {"pre-install hook fails", "part boot boot.img\nhook pre boot fail.sh\n", "",
       "all_in_one_hook.zip", OTA_FLAG_BURN},
      {"corrupt image member", kSystemDesc, "", "all_in_one_bad.zip", OTA_FLAG_BURN, true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.title);
    std::string text = c.desc;
    if (c.layout[0] != '\0') {
      const std::string edit = c.layout;
      const std::string from = edit.substr(0, edit.find('|'));
      std::string layout(ota::board::default_layout_text());
      layout.replace(layout.find(from), from.size(), edit.substr(edit.find('|') + 1));
      ota_test::write_file(dir_.file("board.layout"), layout);
      text = "layout board.layout\n" + text;
    }
    ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
    const std::string pkg = package(c.name, text);
    if (c.corrupt) {
      std::string bytes = ota_test::read_file(pkg);
      const size_t at = bytes.find("system.img");  // local header, then the member's data
      ASSERT_NE(at, std::string::npos);
      for (size_t i = at + 4096; i < at + 4200; ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0xff);
      }
      ota_test::write_file(pkg, bytes);
    }
    expect_failed(run_worker(pkg));
    EXPECT_EQ(status_on_disk().up, c.flag);
    ASSERT_EQ(reboot(), 0);
    EXPECT_EQ(ota_get_cur_slot(), 0);
    if (c.flag == OTA_FLAG_BURN) {
      EXPECT_EQ(boot_block_on_disk().slot_info[1].tries_remaining(), 0);
    }
  }
}

// A booted slot not marked successful refuses the run and resets the status record; an
// application package on a board in recovery mode is refused. Neither writes slot b.
TEST_F(WorkerE2eTest, RunsRefusedByTheBoardsState) {
  ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFIED), 0);
  bootloader_control ctrl = boot_block_on_disk();
  ctrl.slot_info[0].set_successful_boot(0);
  ctrl.crc32_le = bootctrl_crc(ctrl);
  std::vector<uint8_t> raw(32);
  ASSERT_TRUE(encode(ctrl, raw));
  board_io::write_dev(kByName + "misc", BOOT_CTRL_OFFSET, raw);
  const std::string boot_b = whole("boot_b");
  expect_failed(run_worker(package("all_in_one_v3.zip", kSystemDesc)));
  EXPECT_NE(worker_log().find("Current slot was marked unbootable, please reset the system"),
            std::string::npos);
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_NORMAL);

  ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
  board_records::set_cmdline(
      "console=ttyS0,115200 mirvoboot.slot_suffix=_a mirvoboot.mode=recovery "
      "mirvoboot.bootcount=0");
  expect_failed(run_worker(package("x_app.zip", "part boot boot.img\n")));
  EXPECT_NE(worker_log().find("app or middleware forced upgrading is not supported"),
            std::string::npos);
  EXPECT_EQ(whole("boot_b"), boot_b);
}

}  // namespace
