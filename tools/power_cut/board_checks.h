// What must hold on a board whose road was interrupted (a kill or a power cut) once the
// firmware booted it, and what must hold at the end of a road. The kill-point tests and
// the power-cut explorer share these checks.
#pragma once

#include <string>
#include <vector>

#include "road_board.h"

namespace ota_road {

// The generations a road's slots may hold, and what its update writes where.
struct RoadGoal {
  std::vector<Generation> gens;  // every generation a slot may hold whole
  int target = 1;                // the slot the update writes (0 = a)
  int target_gen = 1;            // the generation it writes there
  int fallback_gen = 0;          // the generation the other slot keeps; -1: any whole one
};

std::string letter(int slot);

// A status (VERIFY, VERIFIED) or road (WRITTEN or later) record says an update wrote
// slot target and proved it.
bool update_on_record(const Records& r, int target);

// Appends what keeps the records from being idle once a road is over, whichever slot it
// ended on: the status or road record still mid-road, a flash command still pending.
void add_idle_end_problems(const Records& r, std::vector<std::string>& problems);

// The board booted a slot holding one whole generation, every other bootable slot holds
// one too, and a status or road record saying the target slot was written is true.
std::vector<std::string> interrupted_problems(const RoadBoard& board, const Records& r,
                                              const RoadGoal& goal);

// The road's end: on the target slot, confirmed, holding the new generation; the other
// slot bootable and holding its fallback; the records idle, no flash command pending.
std::vector<std::string> finished_problems(const RoadBoard& board, const RoadGoal& goal);

}  // namespace ota_road
