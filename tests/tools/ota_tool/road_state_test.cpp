#include <gtest/gtest.h>

#include <string>

#include "road_inputs.h"
#include "road_state.h"

namespace {

using ota_tool::RoadInputs;
using ota_tool_test::board;
using ota_tool_test::meta;

const slot_metadata kConfirmed = meta(15, 1, 1);
const slot_metadata kFallback = meta(14, 1, 1);
const slot_metadata kUnbootable = meta(15, 0, 0);
const slot_metadata kOnTrial = meta(15, 3, 0);

RoadInputs syncing(slot_metadata a, ota_update_flag_e up_backup) {
  RoadInputs in = board(OTA_FLAG_VERIFIED, OTA_ROAD_SYNCING, 1, a, meta(15, 1, 1), 1);
  in.road.sync_slot = 0;
  in.up_backup = up_backup;
  return in;
}

RoadInputs broken(RoadInputs in, void (*spoil)(RoadInputs*)) {
  spoil(&in);
  return in;
}

struct Row {
  const char* id;
  RoadInputs in;
  const char* says;  // a part of the text the operator must see
};

// Every row of the road's table is named from the records alone, with the command that
// finishes or abandons it; a combination outside the table is named unrecognised.
TEST(RoadStateTest, EveryRowOfTheTable) {
  const Row rows[] = {
      {"I", board(OTA_FLAG_NORMAL, OTA_ROAD_IDLE, 0, kConfirmed, meta(15, 7, 0), 0), "running a"},
      {"W1", board(OTA_FLAG_NORMAL, OTA_ROAD_WRITING, 0, kConfirmed, meta(15, 7, 0), 0),
       "update of b begun"},
      {"W2", board(OTA_FLAG_NORMAL, OTA_ROAD_WRITING, 0, kConfirmed, kUnbootable, 0),
       "b unbootable"},
      {"W3", board(OTA_FLAG_BURN, OTA_ROAD_WRITING, 0, kConfirmed, kUnbootable, 0), "writing b"},
      {"W5", board(OTA_FLAG_BURN, OTA_ROAD_WRITTEN, 0, kConfirmed, kUnbootable, 0),
       "VERIFY not yet recorded"},
      {"W6", board(OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 0, kConfirmed, kUnbootable, 0), "set-slot b"},
      {"N1", board(OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 1, kFallback, kOnTrial, 0),
       "retry set-slot a, or set-slot b"},
      {"N2", board(OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 0, kFallback, kOnTrial, 1),
       "misc still boots b"},
      {"W6", board(OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 0, meta(15, 3, 1), meta(14, 3, 0), 0),
       "switch pending"},
      {"S1", board(OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 0, kConfirmed, kUnbootable, 0),
       "retry set-slot b"},
      {"S2", board(OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 1, kConfirmed, kUnbootable, 0),
       "no tries left"},
      {"S3", board(OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 1, kFallback, kOnTrial, 0),
       "switched to b, reboot pending"},
      {"R1", board(OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 1, kFallback, meta(15, 2, 0), 1),
       "2 tries left"},
      {"R2", board(OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 1, kFallback, meta(15, 1, 1), 1),
       "not yet VERIFIED"},
      {"K", board(OTA_FLAG_VERIFIED, OTA_ROAD_SWITCHED, 1, kFallback, meta(15, 1, 1), 1),
       "b confirmed"},
      {"Y1", syncing(kFallback, OTA_FLAG_NORMAL), "retry sync"},
      {"Y2", syncing(meta(14, 0, 0), OTA_FLAG_NORMAL), "a unbootable until every copy"},
      {"Y3", syncing(meta(14, 0, 0), OTA_FLAG_BURN), "backups"},
      {"X1", board(OTA_FLAG_NORMAL, OTA_ROAD_SWITCHED, 1, kFallback, kConfirmed, 1), "clear again"},
      {"?", board(OTA_FLAG_VERIFY, OTA_ROAD_IDLE, 0, kConfirmed, kUnbootable, 0),
       "without a road record"},
      {"?", board(OTA_FLAG_VERIFIED, OTA_ROAD_SWITCHED, 1, kConfirmed, kFallback, 0), "running a"},
      {"?", broken(syncing(kFallback, OTA_FLAG_NORMAL), [](RoadInputs* in) { in->running = 0; }),
       "sync of a"},
      {"?",
       broken(board(OTA_FLAG_NORMAL, OTA_ROAD_IDLE, 0, kConfirmed, kConfirmed, 0),
              [](RoadInputs* in) { in->misc_valid = false; }),
       "boot control block invalid"},
      {"I",
       broken(board(OTA_FLAG_VERIFY, OTA_ROAD_IDLE, 1, meta(15, 7, 0), meta(15, 7, 0), 0),
              [](RoadInputs* in) { in->status_valid = false; }),
       "unconfirmed: confirm before an update) (status record blank"},
      {"?",
       broken(board(OTA_FLAG_NORMAL, OTA_ROAD_IDLE, 0, kConfirmed, kConfirmed, 0),
              [](RoadInputs* in) {
                in->status_valid = false;
                in->running = -1;
              }),
       "running slot unknown"},
      {"?",
       broken(board(OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, 0, kConfirmed, kUnbootable, 0),
              [](RoadInputs* in) { in->road.target_slot = 0; }),
       "slots a -> a"},
  };
  for (const Row& row : rows) {
    const ota_tool::RoadState state = ota_tool::classify_road(row.in);
    EXPECT_EQ(state.id, row.id) << state.text;
    EXPECT_NE(state.text.find(row.says), std::string::npos) << row.id << ": " << state.text;
  }
}

// A switch recorded in the road but not in misc (S3 not reached) is not taken for S3,
// and misc that prefers the old slot after a full switch is not called switched.
TEST(RoadStateTest, SwitchIsS3OnlyWhenMiscPicksTheTarget) {
  RoadInputs in = board(OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, 1, kConfirmed, meta(14, 3, 0), 0);
  EXPECT_EQ(ota_tool::classify_road(in).id, "?");
  in.slots[0] = kFallback;
  in.slots[1] = kOnTrial;
  EXPECT_EQ(ota_tool::classify_road(in).id, "S3");
}

// The one-line report carries the pending firmware command and the queue length.
TEST(RoadStateTest, LineNamesPendingAndQueuedCommands) {
  RoadInputs in = board(OTA_FLAG_VERIFIED, OTA_ROAD_SWITCHED, 1, kFallback, kConfirmed, 1);
  EXPECT_EQ(ota_tool::road_state_line(in), "road state: K b confirmed (sync, then clear)");
  in.pending = "aonreg_write_cmd";
  ASSERT_TRUE(ota_road_queue_push(&in.road, "mcu_post_ota"));
  EXPECT_EQ(ota_tool::road_state_line(in),
            "road state: K b confirmed (sync, then clear); firmware command pending: "
            "aonreg_write_cmd; 1 queued");
}

}  // namespace
