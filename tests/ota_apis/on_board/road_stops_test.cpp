// The switch gate and the clear against records written by hand, as an unfinished step
// leaves them. A stop between two durable writes of the switch or the sync, with its retry,
// is proven by the kill-point road (tests/kill_points).
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
