#include "board_checks.h"

namespace ota_road {

namespace {

// "generation 1" or "a mix: system 0 boot other".
std::string held(int gen, const std::string& parts) {
  return gen >= 0 ? "generation " + std::to_string(gen) : "a mix:" + parts;
}

}  // namespace

std::string letter(int slot) { return slot == 0 ? "a" : "b"; }

bool update_on_record(const Records& r, int target) {
  const auto t = static_cast<uint32_t>(target);
  return (r.status_valid && r.status.next_slot == t &&
          (r.status.up == OTA_FLAG_VERIFY || r.status.up == OTA_FLAG_VERIFIED)) ||
         (r.road_valid && r.road.phase >= OTA_ROAD_WRITTEN && r.road.target_slot == t);
}

void add_idle_end_problems(const Records& r, std::vector<std::string>& problems) {
  if (!r.status_valid || r.status.up != OTA_FLAG_NORMAL) {
    problems.push_back("the status record is not idle at the end");
  }
  if (r.road_valid && (r.road.phase != OTA_ROAD_IDLE || r.road.sync_slot != OTA_ROAD_NO_SLOT)) {
    problems.push_back("the road record is not idle at the end");
  }
  if (r.pending_command != 0) {
    problems.push_back("flash command " + std::to_string(r.pending_command) +
                       " still pending after the last reboot");
  }
}

std::vector<std::string> interrupted_problems(const RoadBoard& board, const Records& r,
                                              const RoadGoal& goal) {
  std::vector<std::string> problems;
  if (r.recovery) {
    problems.push_back("the firmware found no slot to boot: recovery mode");
    return problems;
  }
  for (int slot = 0; slot < 2; ++slot) {
    const bool booted = slot == r.booted;
    if (!booted && !(r.misc_valid && bootable(r.misc.slot_info[slot]))) {
      continue;
    }
    std::string parts;
    if (const int g = board.generation(slot, goal.gens, &parts); g < 0) {
      problems.push_back("slot " + letter(slot) + (booted ? " boots" : " is bootable") +
                         " holding " + held(g, parts));
    }
  }
  const auto t = static_cast<uint32_t>(goal.target);
  const bool status_says = r.status_valid &&
                           (r.status.up == OTA_FLAG_VERIFY || r.status.up == OTA_FLAG_VERIFIED) &&
                           r.status.next_slot == t;
  const bool road_says =
      r.road_valid && r.road.phase >= OTA_ROAD_WRITTEN && r.road.target_slot == t;
  if (status_says || road_says) {
    std::string parts;
    if (const int g = board.generation(goal.target, goal.gens, &parts); g != goal.target_gen) {
      problems.push_back(std::string("the ") + (status_says ? "status" : "road") +
                         " record says slot " + letter(goal.target) +
                         " was written, but it holds " + held(g, parts) + " (" + r.describe() +
                         ")");
    }
  }
  return problems;
}

std::vector<std::string> finished_problems(const RoadBoard& board, const RoadGoal& goal) {
  std::vector<std::string> problems;
  const Records r = board.records();
  const int other = 1 - goal.target;
  if (r.recovery || r.booted != goal.target) {
    problems.push_back("the board runs " + std::string(r.recovery ? "recovery" : "slot ") +
                       letter(r.booted) + ", not the new slot " + letter(goal.target));
  }
  std::string parts;
  if (const int g = board.generation(goal.target, goal.gens, &parts); g != goal.target_gen) {
    problems.push_back("the new slot " + letter(goal.target) + " holds " + held(g, parts));
  }
  if (const int g = board.generation(other, goal.gens, &parts);
      g < 0 || (goal.fallback_gen >= 0 && g != goal.fallback_gen)) {
    problems.push_back(
        "the fallback slot " + letter(other) + " holds " + held(g, parts) +
        (goal.fallback_gen >= 0 ? ", not generation " + std::to_string(goal.fallback_gen) : ""));
  }
  for (int slot = 0; slot < 2; ++slot) {
    if (!r.misc_valid || !bootable(r.misc.slot_info[slot])) {
      problems.push_back("slot " + letter(slot) + " is not bootable at the end");
    }
  }
  if (r.misc_valid && r.misc.slot_info[goal.target].successful_boot() != 1) {
    problems.push_back("the new slot is not confirmed at the end");
  }
  add_idle_end_problems(r, problems);
  return problems;
}

}  // namespace ota_road
