#include <gtest/gtest.h>

#include <string>

#include "boot_check.h"
#include "mirvo_ota_hl.h"
#include "road_inputs.h"

namespace {

using ota_tool::BootAction;
using ota_tool_test::meta;

const slot_metadata kConfirmed = meta(15, 1, 1);
const slot_metadata kFallback = meta(14, 1, 1);
const slot_metadata kOnTrial = meta(15, 2, 0);
const slot_metadata kUnconfirmedLow = meta(14, 2, 0);

// An update from a to b, as the records hold it after otaCheckUpdate.
ota_tool::BootFacts facts(int32_t check, ota_update_flag_e up, ota_road_phase_e phase,
                          slot_metadata a, slot_metadata b, int32_t running) {
  ota_tool::BootFacts f;
  f.check = check;
  f.board = ota_tool_test::board(up, phase, 1, a, b, running);
  return f;
}

// What boot-check does for each answer of the check and state of the board, above all
// on a boot that follows a stop of an earlier boot-check.
TEST(BootDecisionTest, ActionForEveryBoot) {
  const struct {
    const char* what;
    ota_tool::BootFacts f;
    BootAction action;
    const char* says;
  } rows[] = {
      {"idle board", facts(-OTAERR_STAGE, OTA_FLAG_NORMAL, OTA_ROAD_IDLE, kConfirmed, kOnTrial, 0),
       BootAction::kNothing, "no update pending"},
      {"clear stopped after the status",
       facts(-OTAERR_STAGE, OTA_FLAG_NORMAL, OTA_ROAD_SWITCHED, kFallback, kConfirmed, 1),
       BootAction::kClearLeftover, "clearing again"},
      {"worker stopped while writing",
       facts(-OTAERR_IMAGE_WRITE, OTA_FLAG_BURN, OTA_ROAD_WRITING, kConfirmed, meta(15, 0, 0), 0),
       BootAction::kLeaveUnfinished, "update again, or clear"},
      {"new slot booted on trial",
       facts(0, OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, kFallback, kOnTrial, 1), BootAction::kRunChecks,
       "slot b booted on trial"},
      {"confirm stopped after misc",
       facts(0, OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, kFallback, kConfirmed, 1),
       BootAction::kRunChecks, "health checks"},
      {"confirmed, sync or clear stopped",
       facts(0, OTA_FLAG_VERIFIED, OTA_ROAD_SYNCING, meta(14, 0, 0), kConfirmed, 1),
       BootAction::kFinishConfirmed, "synchronising and clearing"},
      {"new slot ran out of tries",
       facts(-OTAERR_BOOT_FAILED, OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, kFallback, meta(15, 0, 0), 0),
       BootAction::kClearFailed, "slot a runs confirmed: clearing the flags"},
      {"back on the old slot after a rollback",
       facts(-OTAERR_BOOT_FAILED, OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, kConfirmed, kUnconfirmedLow,
             0),
       BootAction::kClearFailed, "OTAERR_BOOT_FAILED"},
      {"rollback stopped before its misc write",
       facts(-OTAERR_BOOT_FAILED, OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, kFallback, kOnTrial, 1),
       BootAction::kFinishRollback, "finishing the rollback"},
      {"check could not read the records",
       facts(-OTAERR_IO, OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, kFallback, kOnTrial, 1),
       BootAction::kCannotDecide, "-1 OTAERR_IO"},
      {"no confirmed slot at all",
       facts(-OTAERR_BOOT_FAILED, OTA_FLAG_VERIFY, OTA_ROAD_WRITTEN, kOnTrial, kUnconfirmedLow, 0),
       BootAction::kCannotDecide, "neither slot is confirmed"},
  };
  for (const auto& row : rows) {
    const ota_tool::BootDecision d = ota_tool::decide_boot_action(row.f);
    EXPECT_EQ(d.action, row.action) << row.what << ": " << d.reason;
    EXPECT_NE(d.reason.find(row.says), std::string::npos) << row.what << ": " << d.reason;
  }
}

// A board whose running slot or boot control block is unknown is never cleared or rolled
// back on a guess.
TEST(BootDecisionTest, UnknownBoardIsLeftAlone) {
  auto f = facts(-OTAERR_BOOT_FAILED, OTA_FLAG_VERIFY, OTA_ROAD_SWITCHED, kConfirmed, kOnTrial, -1);
  EXPECT_EQ(ota_tool::decide_boot_action(f).action, BootAction::kCannotDecide);
  f.board.running = 0;
  f.board.misc_valid = false;
  EXPECT_EQ(ota_tool::decide_boot_action(f).action, BootAction::kCannotDecide);
}

}  // namespace
