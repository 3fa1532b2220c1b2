// The crash-state explorer: records a scenario's road once on a power-cut board, then
// rebuilds the board a cut at any moment of the record leaves (vboard crash-state),
// boots it and checks it, and for some states finishes the road from there.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"

namespace ota_road {

// One crash state: a cut after `events` events with the unflushed writes kept as
// `mode` says (none, all, random, torn: vboard crash-state --pending), and whether the
// road is finished from it.
struct CrashPoint {
  size_t events = 0;
  std::string mode = "none";
  uint64_t seed = 0;
  bool rerun = false;

  // "K MODE SEED check|rerun", the line a failure file keeps.
  [[nodiscard]] std::string text() const;
  [[nodiscard]] static CrashPoint parse(const std::string& line);
};

struct Sampling {
  size_t states = 40;  // drawn states besides the flush boundaries
  uint64_t seed = 1;
  size_t boundary_step = 1;  // every n-th flush boundary (1: all)
  size_t reruns = 5;         // states the road is finished from, spread over the phases
};

// What one scenario's exploration came to.
struct Tally {
  size_t events = 0;
  size_t writes = 0;
  size_t flushes = 0;
  size_t checked = 0;
  size_t boundaries = 0;
  size_t reruns = 0;
  size_t violations = 0;
  std::map<std::string, size_t> seen;  // what the states showed, by phase
};

// The step a cut after `events` events falls in, by the record's length when each step
// started (marks): -1 before the first step.
int step_of(const std::vector<size_t>& marks, size_t events);

// The states to check: the boundaries (every boundary_step-th, nothing kept past them),
// then `states` drawn ones (a cut after 1..events events, the pending writes kept as a
// random subset, torn, all or none, in turn); `reruns` of them, spread over the steps
// (round-robin, a shuffled state of each step in turn), are finished too.
std::vector<CrashPoint> sample_states(const std::vector<size_t>& boundaries,
                                      const std::vector<size_t>& marks, const Sampling& how,
                                      size_t events);

class Explorer {
 public:
  // The scenario's folder holds its packages, the recorded board, its base and marks.
  Explorer(const std::string& scenario, std::string folder, std::string layout, Tools tools);

  [[nodiscard]] const Scenario& scenario() const { return s_; }

  // Brings a board to where the record starts, copies it as the base and runs the road
  // recorded; throws when the road itself does not end well.
  void record();
  // The record's counts and its flush boundaries (event counts right after a flush that
  // made a write durable; the others leave the same state as the boundary before).
  [[nodiscard]] std::vector<size_t> boundaries(Tally& t) const;
  // The scenario's states to check (sample_states over its record's steps).
  [[nodiscard]] std::vector<CrashPoint> sample(const std::vector<size_t>& boundaries,
                                               const Sampling& how, size_t events) const {
    return sample_states(boundaries, marks_, how, events);
  }
  // What breaks the rules in the state; *seen says what it showed.
  [[nodiscard]] std::vector<std::string> check(const CrashPoint& p, std::string* seen) const;
  // The step of the road a cut after `events` events falls in (-1: before the first).
  [[nodiscard]] int step_at(size_t events) const;

 private:
  [[nodiscard]] std::string board_dir() const { return folder_ + "/board"; }
  [[nodiscard]] std::string base_dir() const { return folder_ + "/base"; }
  [[nodiscard]] std::string marks() const { return folder_ + "/marks.txt"; }
  [[nodiscard]] size_t cycle_of(int step) const;
  // The marks the last record left (none before the first).
  void load_marks();
  void check_param(const RoadBoard& board, int slot, bool want_new,
                   std::vector<std::string>& problems) const;
  [[nodiscard]] std::vector<std::string> end_problems(const RoadBoard& board) const;
  // e2fsck of the board's userdata partition (throws when it cannot be repaired).
  void repair_userdata(const RoadBoard& board) const;
  // The shell that finishes the road from the state of the board, cut in step.
  [[nodiscard]] std::string finish(const RoadBoard& board, const Records& r, int step) const;

  Scenario s_;
  std::string folder_;
  std::string layout_;
  Tools tools_;
  std::vector<size_t> marks_;  // the record's length when each step started
};

}  // namespace ota_road
