// `ota_tool boot-check`, run once per boot: decides from the library's check and the
// board's records whether a new slot is to be tested, confirmed, rolled back or cleared,
// and does it through the public library. Every step can be stopped and the next run
// (at the next boot) reaches the same end: README "boot-check".
#pragma once

#include <cstdint>
#include <string>

#include "cli.h"
#include "road_state.h"
#include "tool_log.h"

namespace ota_tool {

enum class BootAction {
  kNothing,          // no update pending
  kClearLeftover,    // the flags were cleared but the road record was not: clear again
  kLeaveUnfinished,  // an update stopped while writing: not boot-check's to end
  kRunChecks,        // the new slot booted on trial: health checks, then confirm or roll back
  kFinishConfirmed,  // the update is confirmed: sync and clear
  kClearFailed,      // the new slot did not boot; the board runs its confirmed slot: clear
  kFinishRollback,   // the board runs the failed new slot and a rollback was begun: again
  kCannotDecide,     // no safe step (check failed, or no confirmed slot to go back to)
};

// What boot-check knows after otaCheckUpdate: its result and the records read after it.
struct BootFacts {
  int32_t check = 0;
  RoadInputs board;
};

struct BootDecision {
  BootAction action = BootAction::kCannotDecide;
  std::string reason;
};

[[nodiscard]] BootDecision decide_boot_action(const BootFacts& facts);

// Runs boot-check; returns the exit status (exit_status.h).
[[nodiscard]] int run_boot_check(const Options& options, const ToolLog& log);

}  // namespace ota_tool
