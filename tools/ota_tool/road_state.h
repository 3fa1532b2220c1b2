// Where the update road stands, named by the row of docs/update-road.md the board is in.
// The row follows from what the board holds durably (status record, road record, boot
// control block, pending flash command) and from the slot it runs, so `ota_tool status`
// can say what a stop left and which command finishes or abandons it.
#pragma once

#include <cstdint>
#include <string>

#include "boot_control.h"
#include "road_record.h"
#include "veeprom_flag.h"

namespace ota_tool {

struct RoadInputs {
  bool status_valid = false;
  ota_update_flag_e up = OTA_FLAG_NORMAL;
  ota_update_flag_e up_backup = OTA_FLAG_NORMAL;
  uint32_t next_slot = 0;
  bool road_readable = true;  // a board without a valid road record reads as idle
  ota_road_record_t road{};
  bool misc_valid = false;
  slot_metadata slots[2] = {};
  std::string pending;  // name of the command waiting in flashcmd, empty when none
  int32_t running = -1;
};

struct RoadState {
  std::string id;    // the row: I, W1..W6, S1..S3, N1, N2, R1, R2, K, Y1..Y3, X1, or "?"
  std::string text;  // what the row means for the operator
};

[[nodiscard]] RoadState classify_road(const RoadInputs& in);

// "road state: ID TEXT", then the pending and queued flash commands when there are any.
[[nodiscard]] std::string road_state_line(const RoadInputs& in);

// The inputs as the running board holds them. Unreadable records are marked invalid.
[[nodiscard]] RoadInputs read_road_inputs();

}  // namespace ota_tool
