// Board states for ota_tool's tests: slot metadata and an update from slot a to slot b as
// the records hold it at one phase of the road.
#pragma once

#include <cstdint>

#include "road_state.h"

namespace ota_tool_test {

// (priority, tries, successful) of one slot.
inline slot_metadata meta(uint8_t priority, uint8_t tries, uint8_t successful) {
  slot_metadata m{};
  m.set_priority(priority);
  m.set_tries_remaining(tries);
  m.set_successful_boot(successful);
  return m;
}

// Readable records of an update from slot a (0) to slot b (1); an idle road names no
// slots.
inline ota_tool::RoadInputs board(ota_update_flag_e up, ota_road_phase_e phase, uint32_t next_slot,
                                  slot_metadata a, slot_metadata b, int32_t running) {
  ota_tool::RoadInputs in;
  in.status_valid = true;
  in.up = up;
  in.next_slot = next_slot;
  in.road = ota_road_idle_record();
  in.road.phase = phase;
  if (phase != OTA_ROAD_IDLE) {
    in.road.from_slot = 0;
    in.road.target_slot = 1;
  }
  in.misc_valid = true;
  in.slots[0] = a;
  in.slots[1] = b;
  in.running = running;
  return in;
}

}  // namespace ota_tool_test
