// The switch and the partition sync against the records a stop leaves behind, written by
// hand as a kill between two durable writes leaves them: before the switch, in its cancel
// and between the copies of an ab_sync sync. Stops inside the switch itself are the
// kill-point road's (tests/kill_points), which drives no cancel and copies nothing in
// its sync.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "board_client.h"
#include "unique_fd.h"

namespace {

using board_client::misc_slot;
using board_client::next_slot;
using board_client::reboot;
using board_client::set_misc_slot;
using board_client::set_road;

struct Meta {
  uint8_t priority, tries, successful;
};

void expect_meta(int slot, Meta want) {
  const slot_metadata m = misc_slot(slot);
  EXPECT_EQ(m.priority(), want.priority) << "slot " << slot;
  EXPECT_EQ(m.tries_remaining(), want.tries) << "slot " << slot;
  EXPECT_EQ(m.successful_boot(), want.successful) << "slot " << slot;
}

class RoadStopsTest : public board_client::ClientTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ClientTest::SetUp());
    ASSERT_EQ(otaMarkOTASuccessful(), 0);  // slot a confirmed, as a service does at boot
  }

  // W6: a worker wrote and proved slot b from a.
  static void written_b() {
    ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFY), 0);
    ASSERT_NO_FATAL_FAILURE(set_road(OTA_ROAD_WRITTEN, 0, 1));
    ASSERT_NO_FATAL_FAILURE(set_misc_slot(1, 15, 0, 0));
  }
};

struct GateRow {
  const char* what;
  ota_update_flag_e up;
  ota_road_phase_e phase;
  uint32_t target;
  Meta b;  // slot b in misc before the call
  bool lock_held_elsewhere;
  uint8_t slot;      // asked for
  const char* says;  // in the error line of a refusal (-10); nullptr: switched
  ota_road_phase_e phase_after;
  Meta asked_after;  // the asked slot in misc after a switch
};

constexpr Meta kUnbootable{15, 0, 0};
constexpr Meta kFactory{15, 7, 0};
constexpr Meta kOnTrial{15, 3, 0};
constexpr Meta kFallback{14, 1, 1};  // confirmed, behind the other slot
constexpr Meta kTrialConfirmed{15, 3, 1};
constexpr Meta kUnused{};  // a refusal switches nothing
constexpr uint32_t kNone = OTA_ROAD_NO_SLOT;

// A slot is switched to only when its update was finished and proven, or when it is a
// confirmed slot; everything else is refused with -10, a line saying why, and nothing
// written. A switched-to update target boots on trial, whatever it carried before.
TEST_F(RoadStopsTest, SwitchGate) {
  const GateRow rows[] = {
      {"update killed while writing b", OTA_FLAG_BURN, OTA_ROAD_WRITING, 1, kUnbootable, false, 1,
       "status BURN", OTA_ROAD_WRITING, kUnused},
      {"b proven, VERIFY never recorded", OTA_FLAG_BURN, OTA_ROAD_WRITTEN, 1, kUnbootable, false, 1,
       "status BURN", OTA_ROAD_WRITTEN, kUnused},
      {"back to a while b is half written", OTA_FLAG_BURN, OTA_ROAD_WRITING, 1, kUnbootable, false,
       0, "status BURN", OTA_ROAD_WRITING, kUnused},
      {"no update, b never confirmed", OTA_FLAG_NORMAL, OTA_ROAD_IDLE, kNone, kFactory, false, 1,
       "holds no finished update", OTA_ROAD_IDLE, kUnused},
      {"b finished, lock held by another process", OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 1,
       kUnbootable, true, 1, "/tmp/ota.lock is held", OTA_ROAD_WRITTEN, kUnused},
      {"sync into b unfinished", OTA_FLAG_VERIFIED, OTA_ROAD_SYNCING, 0, kUnbootable, false, 0,
       "sync into slot b did not finish", OTA_ROAD_SYNCING, kUnused},
      {"b finished", OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 1, kUnbootable, false, 1, nullptr,
       OTA_ROAD_SWITCHED, kOnTrial},
      {"b finished, confirmed in an earlier life", OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 1, kFallback,
       false, 1, nullptr, OTA_ROAD_SWITCHED, kOnTrial},
      {"cancel: back to the confirmed a", OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 1, kOnTrial, false, 0,
       nullptr, OTA_ROAD_WRITTEN, kTrialConfirmed},
      {"no update, rollback to the confirmed b", OTA_FLAG_NORMAL, OTA_ROAD_IDLE, kNone, kFallback,
       false, 1, nullptr, OTA_ROAD_IDLE, kTrialConfirmed},
  };
  for (const GateRow& r : rows) {
    SCOPED_TRACE(r.what);
    ota_test::clear_log_records();
    ASSERT_EQ(ota_set_up_status(r.up), 0);
    ASSERT_EQ(ota_set_next_slot(0), 0);
    const uint32_t from = r.target == kNone ? kNone : r.target ^ 1;
    ASSERT_NO_FATAL_FAILURE(
        set_road(r.phase, from, r.target, r.phase == OTA_ROAD_SYNCING ? 1 : kNone));
    // a: the confirmed slot the update came from, behind the switched-to slot.
    ASSERT_NO_FATAL_FAILURE(set_misc_slot(0, 14, 1, 1));
    ASSERT_NO_FATAL_FAILURE(set_misc_slot(1, r.b.priority, r.b.tries, r.b.successful));
    const slot_metadata before = misc_slot(r.slot);
    ota::UniqueFd other;
    if (r.lock_held_elsewhere) {
      other = ota::open_fd("/tmp/ota.lock", O_WRONLY | O_CREAT, 0600);
      ASSERT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
    }
    EXPECT_EQ(otaSetPartition(r.slot), r.says == nullptr ? 0 : -OTAERR_STAGE);
    other.reset();
    EXPECT_EQ(board_client::road().phase, r.phase_after);
    if (r.says != nullptr) {
      EXPECT_TRUE(ota_test::log_contains(r.says)) << r.says;
      EXPECT_EQ(next_slot(), 0U);
      EXPECT_EQ(std::memcmp(misc_slot(r.slot).bytes, before.bytes, 2), 0);
      continue;
    }
    EXPECT_EQ(next_slot(), r.slot);
    expect_meta(r.slot, r.asked_after);
    EXPECT_EQ(misc_slot(r.slot ^ 1).priority(), 14);
  }
}

struct SwitchStop {
  const char* what;
  ota_road_phase_e phase;
  uint32_t next;
  bool misc_b_active;  // the misc write of the switch (or of the stopped cancel) done
  int boots;           // the slot the firmware boots before any retry
  int32_t check;       // otaCheckUpdate on that boot
};

// A stop before the switch or in its cancel leaves a board that boots a slot the records
// account for; the check never reports success for a switch that was not recorded, and
// retrying set-slot b finishes the switch. (Stops inside the switch itself, S1 road, S2
// next slot, S3 misc, are the kill-point road's switch phase.)
TEST_F(RoadStopsTest, SwitchStoppedBetweenWritesThenRetried) {
  const SwitchStop rows[] = {
      {"rebooted before the switch", OTA_ROAD_WRITTEN, 0, false, 0, -OTAERR_BOOT_FAILED},
      {"cancel stopped after its first write", OTA_ROAD_WRITTEN, 1, true, 1, -OTAERR_BOOT_FAILED},
      {"cancel stopped before its misc write", OTA_ROAD_WRITTEN, 0, true, 1, -OTAERR_BOOT_FAILED},
  };
  for (const SwitchStop& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_NO_FATAL_FAILURE(written_b());
    ASSERT_NO_FATAL_FAILURE(set_road(r.phase, 0, 1));
    ASSERT_EQ(ota_set_next_slot(r.next), 0);
    if (r.misc_b_active) {
      ASSERT_NO_FATAL_FAILURE(set_misc_slot(0, 14, 1, 1));
      ASSERT_NO_FATAL_FAILURE(set_misc_slot(1, 15, 3, 0));
    }
    reboot();
    EXPECT_EQ(ota_get_cur_slot(), r.boots);
    ota_test::clear_log_records();
    EXPECT_EQ(otaCheckUpdate(), r.check);
    EXPECT_TRUE(r.misc_b_active || ota_test::log_contains("no switch was recorded"));
    ASSERT_EQ(otaSetPartition(1), 0);
    EXPECT_EQ(board_client::road().phase, OTA_ROAD_SWITCHED);
    EXPECT_EQ(next_slot(), 1U);
    if (ota_get_cur_slot() != 1) {
      reboot();
    }
    EXPECT_EQ(ota_get_cur_slot(), 1);
    EXPECT_EQ(otaCheckUpdate(), 0);
    // Back to a confirmed a for the next row.
    ASSERT_NO_FATAL_FAILURE(set_misc_slot(0, 15, 1, 1));
    ASSERT_NO_FATAL_FAILURE(set_misc_slot(1, 14, 0, 0));
    reboot();
    ASSERT_EQ(ota_get_cur_slot(), 0);
  }
}

struct SyncStop {
  const char* what;
  bool fallback_unbootable;  // Y2 done
  bool backup_burn;          // Y3 begun
  bool half_copied;          // Y4 stopped in a copy
  bool fallback_proven;      // Y5 done
};

// A stop anywhere in the partition sync leaves the slot being overwritten unbootable
// until its copies are proven, so the board keeps booting the confirmed slot; a retry
// finishes the copies and makes the overwritten slot a bootable fallback again. (What
// `ota_tool status` names each stop is the road-state table's, tests/tools/ota_tool.)
TEST_F(RoadStopsTest, SyncStoppedBetweenWritesThenRetried) {
  const SyncStop rows[] = {
      {"after Y1", false, false, false, false}, {"after Y2", true, false, false, false},
      {"in Y3", true, true, false, false},      {"in Y4", true, false, true, false},
      {"after Y5", false, false, false, true},
  };
  update_part_t parts{};
  std::strcpy(parts.array[0], "boot");
  parts.medium[0] = OTA_EMMC;
  parts.type[0] = AB;
  parts.num = 1;
  ASSERT_EQ(ota_set_part_array(&parts), 0);
  const std::string image = ota_test::make_image_bytes(1 << 20, 21);
  ASSERT_NO_FATAL_FAILURE(board_client::write_part("boot_a", image));
  for (const SyncStop& r : rows) {
    SCOPED_TRACE(r.what);
    // K: the update to a confirmed; b was the slot the update came from.
    ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFIED), 0);
    ASSERT_EQ(ota_set_backup_up_status(r.backup_burn ? OTA_FLAG_BURN : OTA_FLAG_NORMAL), 0);
    ASSERT_NO_FATAL_FAILURE(set_road(OTA_ROAD_SYNCING, 1, 0, 1));
    ASSERT_NO_FATAL_FAILURE(set_misc_slot(1, 14, r.fallback_unbootable ? 0 : 1, 1));
    ASSERT_NO_FATAL_FAILURE(board_client::write_part("boot_b", r.fallback_proven ? image
                                                               : r.half_copied
                                                                   ? image.substr(0, 512 << 10)
                                                                   : std::string(1 << 20, 'x')));
    for (int boot = 0; boot < 2; ++boot) {
      reboot();
      EXPECT_EQ(ota_get_cur_slot(), 0);
    }
    EXPECT_EQ(misc_slot(1).tries_remaining() == 0, r.fallback_unbootable);
    ASSERT_EQ(otaPartitionSync(), 0);
    board_client::expect_synced_into_b();
  }
}

// Clearing the flags after a stopped sync returns the road to idle but never makes the
// half-overwritten slot bootable.
TEST_F(RoadStopsTest, ClearAfterStoppedSyncKeepsTheFallbackUnbootable) {
  ASSERT_EQ(ota_set_up_status(OTA_FLAG_VERIFIED), 0);
  ASSERT_NO_FATAL_FAILURE(set_road(OTA_ROAD_SYNCING, 1, 0, 1));
  ASSERT_NO_FATAL_FAILURE(set_misc_slot(1, 14, 0, 0));
  otaClearFlags();
  EXPECT_EQ(board_client::road().phase, OTA_ROAD_IDLE);
  EXPECT_EQ(misc_slot(1).tries_remaining(), 0);
  EXPECT_EQ(board_client::up_status(), OTA_FLAG_NORMAL);
  reboot();
  EXPECT_EQ(ota_get_cur_slot(), 0);
}

}  // namespace
