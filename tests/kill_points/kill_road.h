// The update road of the kill-point tests on one board: the images of an old and a new
// generation, the packages, the board brought into service (a complete earlier road,
// then an abandoned update that left stale content in the slot the next update writes),
// the phases of the new road run plainly or under ota_killpoint, what the board must
// show after a kill, and the rest of the road driven to its end from there.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board_checks.h"
#include "road_board.h"
#include "test_support.h"

namespace kill_points {

using ota_road::bootable;
using ota_road::Outcome;
using ota_road::Records;
using ota_road::RoadBoard;
using ota_road::run_process;
using ota_road::tail;

enum class Phase { update, switch_slot, reboot, check, confirm, sync, clear };
inline constexpr Phase kPhases[] = {Phase::update,  Phase::switch_slot, Phase::reboot, Phase::check,
                                    Phase::confirm, Phase::sync,        Phase::clear};
const char* phase_name(Phase p);

// The lines of ota_killpoint's record: index, pid, comm, call, target, offset, length,
// tab-separated, and "stopped" after the write it was killed at.
std::vector<std::string> read_record(const std::string& path);

// What one stop point came to.
struct StopResult {
  std::string event;                  // "pwrite64 misc @2048 +32 by ota_process"
  std::string after_kill;             // "old slot", "new slot"
  std::string row;                    // the road's state after the kill, by ota_tool status
  std::string retry;                  // which rest of the road ran
  std::vector<std::string> problems;  // empty: the stop point holds
};

// What the road without a kill recorded: the durable writes of each phase, and what is
// wrong at its end (nothing, when the engine is right). Stop points report only what
// goes wrong beyond that.
struct CleanRoad {
  std::map<Phase, uint64_t> writes;
  std::vector<std::string> problems;
};

class KillRoad {
 public:
  // Prepares the road in folder (emptied first): the images and packages, a board
  // brought into service, and the new road run once with every phase traced and a
  // snapshot of the board before each phase.
  static CleanRoad prepare(const std::string& folder);
  // The road prepared in folder (prepared now when it is not), on a board of its own.
  explicit KillRoad(const std::string& folder);

  [[nodiscard]] const CleanRoad& clean() const { return clean_; }

  // Restores the snapshot before phase, kills the phase at its write n, reboots, checks
  // the board and the records, and drives the rest of the road to its end.
  StopResult stop_at(Phase phase, uint64_t n);

  // `ota_tool boot-check` after the new slot's first boot (the snapshot before the check)
  // with one health check that passes or fails, run plainly at earlier_boots boots (each
  // followed by a reboot), then traced and killed at its write n (0: not killed), then
  // run again at each boot it asks for until it is done; the board must end on the new
  // slot, confirmed and synchronised, or back on the old one, cleared. *writes (when
  // given) receives the number of durable writes of the traced run.
  StopResult boot_check_at(bool checks_pass, int earlier_boots, uint64_t n,
                           uint64_t* writes = nullptr);

 private:
  // board_dir "" : a board of its own in a temporary folder.
  KillRoad(const std::string& folder, const std::string& board_dir);
  void bring_into_service();
  void record_clean_road();
  void run_road(const std::string& package, int target);
  [[nodiscard]] std::vector<std::string> tool_args(Phase p) const;
  [[nodiscard]] Outcome step(Phase p) const;
  [[nodiscard]] Outcome traced(Phase p, const std::string& record, uint64_t stop_at) const;
  [[nodiscard]] std::string snapshot(Phase p) const;
  // "old", "new", or what a slot holding neither whole generation holds.
  [[nodiscard]] std::string slot_content(int slot) const;
  // What the road may leave in its slots: old or new, the new one in the target slot.
  [[nodiscard]] ota_road::RoadGoal goal() const;
  // What keeps the board from the end of the road: on the new slot, which is confirmed
  // and holds the new images, the other one holding a whole generation, both bootable,
  // the records idle.
  void find_unfinished(std::vector<std::string>& problems) const;
  // The same, less what the road without a kill shows too.
  void expect_finished(std::vector<std::string>& problems) const;
  // What must hold after a kill in phase and a reboot: no torn slot bootable, records
  // that say no more than the board holds, a check that tells the truth.
  void inspect_after_kill(Phase phase, StopResult& r) const;
  void finish_road(Phase p, StopResult& r);
  // ota_tool boot-check with a health-check folder of one check that passes or fails.
  [[nodiscard]] std::vector<std::string> boot_check_args(bool checks_pass) const;
  // After a boot-check that ended with status: while it asks for a reboot (5), reboots
  // and runs it again; false (and a problem) when it fails or keeps asking.
  bool finish_boot_check(bool checks_pass, int status, StopResult& r);
  // The end of a rolled-back road: on the old slot, confirmed, holding the old images,
  // the records idle; the failed slot unconfirmed.
  void find_rolled_back(std::vector<std::string>& problems) const;
  // "pwrite64 on misc at 2048 (32 bytes) by ota_process" for a line of the record.
  [[nodiscard]] std::string describe(const std::string& line) const;

  std::string folder_;  // the prepared road
  ota_test::TempDir tmp_;
  std::unique_ptr<RoadBoard> board_;
  std::map<std::string, std::string> old_;  // A/B base name -> bytes of a slot
  std::map<std::string, std::string> new_;
  std::map<std::string, std::string> stale_;
  std::string new_package_;
  CleanRoad clean_;
  int target_ = 0;  // the slot the new road writes; it starts from the other one
};

}  // namespace kill_points
