// The roads the power-cut explorer records and cuts. A scenario names the generations of
// images its slots may hold, how a board is brought to where the record starts, the
// recorded steps (shell lines run on the board), and the update cycles they make up, so
// that a state can be checked against the cycle it was cut in and the road finished
// from there.
#pragma once

#include <string>
#include <vector>

#include "board_checks.h"

namespace ota_road {

// The programs a road runs.
struct Tools {
  std::string vboard;
  std::string ota_tool;
  std::string ota_process;
};

// One update cycle: the package it installs and what it leaves where.
struct Cycle {
  std::string package;  // the file, on the host (the board sees the same path)
  RoadGoal goal;
  size_t first_step = 0;                // the recorded step it starts with
  size_t skipped = 0;                   // steps of the whole cycle run before the record started
  std::string update = "$T update $P";  // the shell that installs the package
};

// A shell line run on the board by `sh -c`, with $T (ota_tool), $V (vboard), $D (the
// board folder) and $P (the cycle's package) set.
struct Step {
  std::string name;
  std::string shell;
};

struct Scenario {
  std::string name;
  std::string title;
  std::vector<Generation> gens;  // gens[0] is flashed into both slots by the factory
  std::vector<Step> setup;       // run before the record starts (not cut)
  std::vector<Step> road;        // recorded and cut
  std::vector<Cycle> cycles;
  // The parameter partition's file in the generation before and after its update; empty
  // when the scenario does not touch the partition.
  std::string param_old;
  std::string param_new;
  // BAK partitions the package writes: at the end both copies hold the new image.
  std::vector<std::pair<std::string, std::string>> bak_new;
};

// The names explore and replay take: full, incremental, recovery, client, param, twice.
const std::vector<std::string>& scenario_names();

// Makes the scenario's images and packages in folder for a board of layout_file.
Scenario make_scenario(const std::string& name, const std::string& folder,
                       const std::string& layout_file, const Tools& tools);

// Where the road goes on from a crash state.
enum class Resume {
  client,       // the board runs the target slot holding the new images: the client's steps
  switch_slot,  // the update is on record: the switch (the update again when refused)
  update,       // nothing on record: the same update again
};

// The shell that finishes the road from a crash state of cycle c cut in step `at` of
// the cycle (0: update, 1: switch, 2: reboot, 3: check, 4: confirm, 5: sync, 6: clear,
// 7: reboot): the update or the switch as `from` says, then the client's steps (check,
// confirm, sync, clear; only from the one cut when the board already runs the target)
// and a reboot, then every later cycle whole.
std::string finish_script(const Scenario& s, size_t cycle, int at, Resume from, const Tools& tools);

// The shell of steps [first, last) with the variables set and, when marks is not empty,
// each step's name and the record's length when it starts appended to that file.
std::string road_script(const Scenario& s, size_t first, size_t last, const Tools& tools,
                        const std::string& marks);

}  // namespace ota_road
