#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "board_client.h"
#include "boot_control.h"
#include "flash_cmd.h"
#include "mirvo_ota_ll.h"
#include "unique_fd.h"
#include "veeprom_flag.h"

namespace {

// The cmdtype of the command waiting in flashcmd (0 when none).
uint32_t pending_cmdtype() {
  const ota::UniqueFd fd = ota::open_fd((board_client::kByName + "flashcmd").c_str(), O_RDONLY);
  uint8_t head[8] = {};
  EXPECT_EQ(ota::pread_full(fd.get(), head, sizeof(head), 0), 8);
  return ota::load_le32(head) == FLASHCMD_MAGIC ? ota::load_le32(head + 4) : 0;
}

void set_cmdline(const std::string& line) {
  ota_test::write_file(std::string(std::getenv("VBOARD_DIR")) + "/cmdline", line + "\n");
}

using PostUpdateTest = board_client::ClientTest;

constexpr const char* kA0 = "mirvoboot.slot_suffix=_a mirvoboot.mode=normal mirvoboot.bootcount=0";
constexpr const char* kB0 = "mirvoboot.slot_suffix=_b mirvoboot.mode=normal mirvoboot.bootcount=0";
constexpr const char* kB5 = "mirvoboot.slot_suffix=_b mirvoboot.mode=normal mirvoboot.bootcount=5";
constexpr const char* kRec =
    "mirvoboot.slot_suffix=_b mirvoboot.mode=recovery mirvoboot.bootcount=0";

// The check's verdict follows the status record, the boot mode, the boot count, the
// recorded switch and the booted slot, in that order; only the "no update pending"
// answer resets the record.
TEST_F(PostUpdateTest, CheckUpdateVerdict) {
  const struct {
    const char* name;
    ota_update_flag_e status;
    uint32_t next_slot;
    bool switched;  // the road records the switch to next_slot
    const char* cmdline;
    int expected;
  } cases[] = {
      {"verified", OTA_FLAG_VERIFIED, 1, true, kA0, 0},
      {"normal", OTA_FLAG_NORMAL, 1, true, kB0, -OTAERR_STAGE},
      {"burn", OTA_FLAG_BURN, 1, true, kB0, -OTAERR_IMAGE_WRITE},
      {"verify, recovery", OTA_FLAG_VERIFY, 1, true, kRec, -OTAERR_BOOT_FAILED},
      {"verify, from backup", OTA_FLAG_VERIFY, 1, true, kB5, -OTAERR_BOOT_FAILED},
      {"verify, old slot booted", OTA_FLAG_VERIFY, 1, true, kA0, -OTAERR_BOOT_FAILED},
      {"verify, switched and booted", OTA_FLAG_VERIFY, 1, true, kB0, 0},
      // Written but never switched to: the board still runs the slot the status names as
      // next (the default), which is no success.
      {"verify, never switched", OTA_FLAG_VERIFY, 0, false, kA0, -OTAERR_BOOT_FAILED},
      {"verify, not switched but booted", OTA_FLAG_VERIFY, 1, false, kB0, -OTAERR_BOOT_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ota_set_up_status(c.status), 0);
    ASSERT_EQ(ota_set_next_slot(c.next_slot), 0);
    ASSERT_NO_FATAL_FAILURE(board_client::set_road(
        c.switched ? OTA_ROAD_SWITCHED : OTA_ROAD_WRITTEN, c.next_slot ^ 1, c.next_slot));
    set_cmdline(c.cmdline);
    EXPECT_EQ(otaCheckUpdate(), c.expected);
    EXPECT_EQ(board_client::up_status(), c.status);
  }
}

// A confirmation survives the commands sent after it before the reboot: the confirmed
// slot keeps booting.
TEST_F(PostUpdateTest, ConfirmationSurvivesLaterCommands) {
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  // Slot b written and proven by a worker (W6 of the road).
  ASSERT_NO_FATAL_FAILURE(board_client::set_road(OTA_ROAD_WRITTEN, 0, 1));
  ASSERT_NO_FATAL_FAILURE(board_client::set_misc_slot(1, 15, 0, 0));
  ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFY), 0);
  ASSERT_EQ(otaSetPartition(1), 0);
  board_client::reboot();
  ASSERT_EQ(otaCheckUpdate(), 0);
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  ASSERT_EQ(otaNotifyMCU(HL_MCU_POST_OTA), 0);
  for (int boot = 0; boot < 5; ++boot) {
    board_client::reboot();
  }
  uint8_t slot = 9;
  ASSERT_EQ(otaGetPartition(&slot), 0);
  EXPECT_EQ(slot, 1);
  uint8_t from_bak = 9;
  ASSERT_EQ(ota_back_slot_stat(&from_bak), 0);
  EXPECT_EQ(from_bak, 0);
}

// A confirmed update on slot a (the board's running slot), as the road holds it at K.
void confirmed_update_on_a(update_part_t parts) {
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  ASSERT_EQ(ota_set_part_array(&parts), 0);
  ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFIED), 0);
  ASSERT_NO_FATAL_FAILURE(board_client::set_road(OTA_ROAD_SWITCHED, 1, 0));
  antirollback_ver_t nothing_to_commit{};  // what the worker's pre-flight records
  ASSERT_EQ(ota_set_anti_ver_veeprom(&nothing_to_commit), 0);
}

update_part_t listed(bool with_nor) {
  update_part_t parts{};
  std::strcpy(parts.array[0], "boot");
  parts.medium[0] = OTA_EMMC;
  parts.type[0] = AB;
  std::strcpy(parts.array[1], "uboot");
  parts.medium[1] = OTA_NOR;
  parts.type[1] = AB;
  parts.num = with_nor ? 2 : 1;
  return parts;
}

// The partition sync copies the listed A/B partitions (eMMC and NOR) from the booted
// slot to the other and refreshes the backups, all by the engine itself: nothing is left
// for the firmware, and the overwritten slot is a bootable fallback again at the end.
TEST_F(PostUpdateTest, PartitionSyncCopiesListedPartitions) {
  for (const bool with_nor : {false, true}) {
    SCOPED_TRACE(with_nor ? "with NOR" : "eMMC only");
    ASSERT_NO_FATAL_FAILURE(confirmed_update_on_a(listed(with_nor)));
    const std::string image = ota_test::make_image_bytes(1 << 20, with_nor ? 5 : 6);
    ASSERT_NO_FATAL_FAILURE(board_client::write_part("boot_a", image));
    ASSERT_NO_FATAL_FAILURE(board_client::write_part("uboot_a", image.substr(0, 512 << 10)));
    ASSERT_NO_FATAL_FAILURE(board_client::write_part("HSM_FW", image.substr(0, 4096)));
    const std::string uboot_b_before = board_client::part_md5("uboot_b", 512 << 10);
    ASSERT_EQ(otaPartitionSync(), 0);
    board_client::expect_synced_into_b();
    EXPECT_EQ(board_client::part_md5("uboot_b", 512 << 10),
              with_nor ? board_client::part_md5("uboot_a", 512 << 10) : uboot_b_before);
    EXPECT_EQ(board_client::part_md5("HSM_FW_bak", 4096), board_client::part_md5("HSM_FW", 4096));
    EXPECT_EQ(pending_cmdtype(), 6U);  // only the confirmation's aonreg_write_cmd
  }
}

struct RefusedSync {
  const char* what;
  ota_update_flag_e status;
  ota_road_phase_e phase;
  uint32_t target;
};

// Without a confirmed update on the running slot the sync refuses and changes nothing:
// neither the other slot, its boot control entry, the backups nor the records.
TEST_F(PostUpdateTest, SyncWithoutConfirmedUpdateChangesNothing) {
  const RefusedSync rows[] = {
      {"no update", OTA_FLAG_NORMAL, OTA_ROAD_IDLE, OTA_ROAD_NO_SLOT},
      {"running slot not yet confirmed", OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 0},
      {"confirmed, but the board runs the other slot", OTA_FLAG_VERIFIED, OTA_ROAD_SWITCHED, 1},
      {"written, never switched to", OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 1},
  };
  ASSERT_EQ(otaMarkOTASuccessful(), 0);
  update_part_t parts = listed(true);
  ASSERT_EQ(ota_set_part_array(&parts), 0);
  ASSERT_NO_FATAL_FAILURE(
      board_client::write_part("boot_a", ota_test::make_image_bytes(1 << 20, 8)));
  ASSERT_NO_FATAL_FAILURE(
      board_client::write_part("HSM_FW", "main copy that must not reach the backup"));
  for (const RefusedSync& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(ota_set_up_status(r.status), 0);
    const uint32_t from = r.target == OTA_ROAD_NO_SLOT ? OTA_ROAD_NO_SLOT : r.target ^ 1;
    ASSERT_NO_FATAL_FAILURE(board_client::set_road(r.phase, from, r.target));
    const std::string boot_b = board_client::part_md5("boot_b", 1 << 20);
    const std::string bak = board_client::part_md5("HSM_FW_bak", 4096);
    const slot_metadata b = board_client::misc_slot(1);
    EXPECT_EQ(otaPartitionSync(), -1);
    EXPECT_EQ(board_client::part_md5("boot_b", 1 << 20), boot_b);
    EXPECT_EQ(board_client::part_md5("HSM_FW_bak", 4096), bak);
    EXPECT_EQ(std::memcmp(board_client::misc_slot(1).bytes, b.bytes, 2), 0);
    EXPECT_EQ(board_client::road().phase, r.phase);
  }
}

// A firmware command that met a busy channel waits in the road queue and goes out at the
// first otaInitLib or otaCheckUpdate after the firmware has carried out the pending one.
TEST_F(PostUpdateTest, QueuedCommandGoesOutAfterTheReboot) {
  for (const bool at_init : {true, false}) {
    SCOPED_TRACE(at_init ? "otaInitLib" : "otaCheckUpdate");
    ASSERT_EQ(otaNotifyMCU(HL_MCU_PRE_REBOOT), 0);
    ASSERT_EQ(otaMarkOTASuccessful(), 0);  // its aonreg_write_cmd has to wait
    EXPECT_EQ(pending_cmdtype(), 10U);     // mcu_pre_reboot
    EXPECT_EQ(board_client::road().queue_len, 1U);
    board_client::reboot();
    EXPECT_EQ(pending_cmdtype(), 0U);
    if (at_init) {
      ASSERT_EQ(otaDeinitLib(), 0);
      ASSERT_EQ(otaInitLib(), 0);
    } else {
      (void)otaCheckUpdate();
    }
    EXPECT_EQ(pending_cmdtype(), 6U);  // aonreg_write_cmd
    EXPECT_EQ(board_client::road().queue_len, 0U);
    board_client::reboot();
  }
}

// Clearing the flags of an abandoned update restores the security partitions from their
// backups at once (the engine copies them, no command waits for the firmware), unless a
// main-to-backup copy is marked unfinished: then the main copies are kept. Either way the
// records are reset.
TEST_F(PostUpdateTest, ClearRestoresSecurityPartitionsUnlessBackupCopyUnfinished) {
  const long size = board_client::part_size("HSM_FW");
  ASSERT_GT(size, 4096);
  for (const bool backup_copy_unfinished : {false, true}) {
    SCOPED_TRACE(backup_copy_unfinished ? "main-to-backup copy unfinished" : "abandoned update");
    ASSERT_NO_FATAL_FAILURE(board_client::write_part("HSM_FW", "half-written main copy"));
    ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFY), 0);
    ASSERT_EQ(ota_set_backup_up_status(backup_copy_unfinished ? OTA_FLAG_BURN : OTA_FLAG_NORMAL),
              0);
    ASSERT_NO_FATAL_FAILURE(board_client::set_road(OTA_ROAD_SWITCHED, 0, 1));
    const std::string main_before = board_client::part_md5("HSM_FW", size - 2048);
    otaClearFlags();
    EXPECT_EQ(
        board_client::part_md5("HSM_FW", size - 2048),
        backup_copy_unfinished ? main_before : board_client::part_md5("HSM_FW_bak", size - 2048));
    EXPECT_EQ(pending_cmdtype(), 0U);
    EXPECT_EQ(board_client::up_status(), OTA_FLAG_NORMAL);
    EXPECT_EQ(board_client::road().phase, OTA_ROAD_IDLE);
  }
}

}  // namespace
