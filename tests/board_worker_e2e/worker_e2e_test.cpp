// The worker executable on a virtual board: system packages written and proven, the
// FIFO records, the status flags and refusals. (A worker killed at each of its durable
// writes: tests/kill_points.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_records.h"
#include "boot_control.h"
#include "crc.h"
#include "partition_md5.h"
#include "veeprom_flag.h"
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

// The data bytes of a NOR partition (its firmware trailer left out), from the NOR device.
std::vector<uint8_t> nor_half(const std::string& name) {
  const auto l = board_io::layout();
  const auto* p = l.find(name);
  return board_io::read_dev("/dev/mtd0", p->offset, p->size);
}

uint32_t pending_cmdtype() {
  return board_io::le32(board_io::read_dev(kByName + "flashcmd", 0, 8), 4);
}

class WorkerE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    // A board in service: slot a booted and confirmed.
    ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
    ASSERT_EQ(reboot(), 0);
    ASSERT_EQ(ota_get_cur_slot(), 0);
    boot_ = ota_test::make_image_bytes(kBootSize, 11);
    system_ = ota_test::make_image_bytes(kSystemSize, 12);
    ota_test::write_file(dir_.file("boot.img"), boot_);
    ota_test::write_file(dir_.file("system.img"), system_);
    ota_test::write_file(dir_.file("uboot.img"), nor_image(3, 13));
  }
  std::string package(const std::string& name, const std::string& text) {
    const std::string out = "/userdata/" + name;
    pack(text, dir_.path(), out);
    return out;
  }
  // What every failed run leaves: exit 255, a last record UPGRADE_FAILED.
  static void expect_failed(const Outcome& out) {
    EXPECT_EQ(out.exit_status, 255);
    ASSERT_FALSE(out.records.empty());
    EXPECT_EQ(out.records.back().result, UPGRADE_FAILED);
  }
  ota_test::TempDir dir_;
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
  uint32_t last = 0;
  bool saw_burn = false;
  for (size_t i = 1; i + 2 < n; ++i) {
    EXPECT_EQ(records[i].result, UPGRADE_IN_PROGRESS) << i;
    EXPECT_GE(records[i].progress, last) << i;
    last = records[i].progress;
    if (last != 0) {
      saw_burn = true;
      EXPECT_GE(last, 15u) << i;
      EXPECT_LE(last, 85u) << i;
    }
  }
  EXPECT_TRUE(saw_burn);
}

// What a successful system update leaves on the board before any reboot: slot b written
// and proven, the untouched A/B partitions (eMMC and NOR) copied, VERIFY, slot b
// unbootable and unconfirmed until the switch, nothing left for the firmware, slot a
// still booting.
void expect_slot_b_updated(const std::string& boot, const std::string& system) {
  EXPECT_EQ(device_head("boot_b", boot.size()), boot);
  EXPECT_EQ(device_head("system_b", system.size()), system);
  EXPECT_EQ(device_head("uboot_b", 65536).substr(0, 48), nor_image(3, 13).substr(0, 48));
  for (const char* part : {"vbmeta", "app_param"}) {
    EXPECT_EQ(ota_check_two_partition_md5((kByName + part + "_a").c_str(),
                                          (kByName + part + "_b").c_str(), 0),
              0)
        << part;
  }
  for (const char* part : {"bl31", "ddr_fw"}) {
    EXPECT_EQ(nor_half(std::string(part) + "_b"), nor_half(std::string(part) + "_a")) << part;
  }
  const ota_status_t status = status_on_disk();
  EXPECT_EQ(status.up, OTA_FLAG_VERIFY);
  EXPECT_EQ(pending_cmdtype(), 0u);
  const slot_metadata b = boot_block_on_disk().slot_info[1];
  EXPECT_EQ(b.successful_boot(), 0);
  EXPECT_EQ(b.tries_remaining(), 0);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 0);
}

// A zip, a tar+zstd and a zip for a secure board (signed NOR layout) system package all
// update slot b completely, with the records the client expects and exit 0.
TEST_F(WorkerE2eTest, SystemPackageZipTarAndSecure) {
  const std::pair<std::string, std::string> variants[] = {
      {"zip", ""}, {"tar", ""}, {"zip", "key nor_sign 1\n"}};
  for (const auto& [format, keys] : variants) {
    SCOPED_TRACE(format + " " + keys);
    const std::string pkg =
        package("all_in_one_v2." + format, "format " + format + "\n" + keys + kSystemDesc);
    const Outcome out = run_worker(pkg);
    EXPECT_EQ(out.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
    expect_success_records(out.records);
    expect_slot_b_updated(boot_, system_);
    // The next run starts from a clean slate on the same board.
    board_io::write_dev(kByName + "boot_b", 0, std::vector<uint8_t>(kBootSize, 0));
    board_io::write_dev(kByName + "system_b", 0, std::vector<uint8_t>(kSystemSize, 0));
    board_io::write_dev(kByName + "uboot_b", 0, std::vector<uint8_t>(65536, 0));
  }
}

// HSM_FW in the package: its previous content is saved to the backup directory before
// it is overwritten, and the new image is proven on the device.
TEST_F(WorkerE2eTest, HsmFirmwareDumpedFirst) {
  const std::vector<uint8_t> old = board_io::pattern(1048576, 21);
  board_io::write_dev(kByName + "HSM_FW", 0, old);
  const std::string hsm = ota_test::make_image_bytes(300000, 22);
  ota_test::write_file(dir_.file("hsm.img"), hsm);
  const std::string pkg =
      package("all_in_one_hsm.zip", std::string("key backup_dir /userdata/hsm_bak\n") +
                                        kSystemDesc + "part HSM_FW hsm.img\n");
  const Outcome out = run_worker(pkg);
  ASSERT_EQ(out.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  EXPECT_EQ(device_head("HSM_FW", hsm.size()), hsm);
  const std::string saved = ota_test::read_file("/userdata/hsm_bak/HSM_FW.img");
  ASSERT_GE(saved.size(), hsm.size());
  EXPECT_EQ(saved, std::string(old.begin(), old.begin() + static_cast<long>(saved.size())));
}

// A backup directory from the package that holds shell syntax reaches the shell as one
// word: the dump lands in that literal directory and nothing else runs.
TEST_F(WorkerE2eTest, PackageTextStaysOneShellWord) {
  const std::string hsm = ota_test::make_image_bytes(100000, 23);
  ota_test::write_file(dir_.file("hsm.img"), hsm);
  const std::string odd = "/userdata/bak;touch${IFS}/tmp/pwned;'x'$(touch${IFS}/tmp/pwned2)";
  const std::string pkg =
      package("all_in_one_odd.zip", "key backup_dir " + odd + "\npart HSM_FW hsm.img\n");
  const Outcome out = run_worker(pkg);
  ASSERT_EQ(out.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  EXPECT_NE(::access((odd + "/HSM_FW.img").c_str(), F_OK), -1);
  EXPECT_EQ(::access("/tmp/pwned", F_OK), -1);
  EXPECT_EQ(::access("/tmp/pwned2", F_OK), -1);
}

// An incremental package made from the running slot's image is applied and proven; the
// same package against a board whose source differs fails before slot b is written.
TEST_F(WorkerE2eTest, IncrementalPackage) {
  board_io::write_dev(kByName + "system_a", 0,
                      std::vector<uint8_t>(system_.begin(), system_.end()));
  std::string next = system_;
  for (size_t i = 0; i < next.size(); i += 4096) {
    next[i] = static_cast<char>(next[i] ^ 0x5a);
  }
  ota_test::write_file(dir_.file("system_new.img"), next);
  const std::string pkg = package("all_in_one_inc.zip",
                                  "part system system_new.img method=image_diff old=system.img\n");
  const Outcome ok = run_worker(pkg);
  ASSERT_EQ(ok.exit_status, 0) << ota_test::read_file("/tmp/worker.log");
  EXPECT_EQ(device_head("system_b", next.size()), next);

  board_io::write_dev(kByName + "system_b", 0, std::vector<uint8_t>(kSystemSize, 0));
  board_io::write_dev(kByName + "system_a", 0, std::vector<uint8_t>(4096, 0x77));
  const Outcome bad = run_worker(pkg);
  expect_failed(bad);
  EXPECT_EQ(device_head("system_b", kSystemSize), std::string(kSystemSize, '\0'));
}

struct FailureCase {
  const char* title;
  const char* desc;        // the package (zip, system kind unless named otherwise)
  const char* layout;      // "" or a line replaced in the default layout: "from|to"
  const char* name;        // package file name
  ota_update_flag_e flag;  // status flag after the run
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
    const Outcome out = run_worker(package(c.name, text));
    expect_failed(out);
    EXPECT_EQ(status_on_disk().up, c.flag);
    ASSERT_EQ(reboot(), 0);
    EXPECT_EQ(ota_get_cur_slot(), 0);
    if (c.flag == OTA_FLAG_BURN) {
      EXPECT_EQ(boot_block_on_disk().slot_info[1].tries_remaining(), 0);
    }
  }
}

// A corrupt image member ends the run during the burn: BURN, slot b never bootable.
TEST_F(WorkerE2eTest, CorruptImageFails) {
  const std::string pkg = package("all_in_one_bad.zip", kSystemDesc);
  std::string bytes = ota_test::read_file(pkg);
  const size_t at = bytes.find("system.img");  // local header, then the member's data
  ASSERT_NE(at, std::string::npos);
  for (size_t i = at + 4096; i < at + 4200; ++i) {
    bytes[i] = static_cast<char>(bytes[i] ^ 0xff);
  }
  ota_test::write_file(pkg, bytes);
  const Outcome out = run_worker(pkg);
  expect_failed(out);
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_BURN);
  ASSERT_EQ(reboot(), 0);
  EXPECT_EQ(ota_get_cur_slot(), 0);
  EXPECT_EQ(boot_block_on_disk().slot_info[1].tries_remaining(), 0);
}

// A booted slot not marked successful refuses the run and resets the status record.
TEST_F(WorkerE2eTest, UnconfirmedSlotRefused) {
  ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFIED), 0);
  bootloader_control ctrl = boot_block_on_disk();
  ctrl.slot_info[0].set_successful_boot(0);
  ctrl.crc32_le = bootctrl_crc(ctrl);
  std::vector<uint8_t> raw(32);
  ASSERT_TRUE(encode(ctrl, raw));
  board_io::write_dev(kByName + "misc", BOOT_CTRL_OFFSET, raw);
  const Outcome out = run_worker(package("all_in_one_v3.zip", kSystemDesc));
  expect_failed(out);
  EXPECT_TRUE(ota_test::read_file("/tmp/worker.log")
                  .find("Current slot was marked unbootable, please reset the system") !=
              std::string::npos);
  EXPECT_EQ(status_on_disk().up, OTA_FLAG_NORMAL);
  EXPECT_EQ(device_head("boot_b", 4096), device_head("boot_a", 4096));
}

// An application package on a board in recovery mode is refused.
TEST_F(WorkerE2eTest, AppPackageInRecoveryRefused) {
  board_records::set_cmdline(
      "console=ttyS0,115200 mirvoboot.slot_suffix=_a mirvoboot.mode=recovery "
      "mirvoboot.bootcount=0");
  const Outcome out = run_worker(package("x_app.zip", "part boot boot.img\n"));
  expect_failed(out);
  EXPECT_NE(ota_test::read_file("/tmp/worker.log")
                .find("app or middleware forced upgrading is not supported"),
            std::string::npos);
}

}  // namespace
