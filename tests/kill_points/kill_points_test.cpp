// The update road killed at every durable write of every phase: after the kill and a
// reboot the board boots a whole slot, the records tell the truth, and the rest of the
// road then ends on the new slot with both slots bootable and the records idle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "kill_road.h"

namespace kill_points {
namespace {

// The road without a kill, prepared once for the phases' tests (a ctest fixture): its
// board brought into service, each phase's writes counted, a snapshot before each.
TEST(KillRoadPrepare, RecordTheRoadWithoutKill) {
  const CleanRoad road = KillRoad::prepare(KILL_ROAD_FOLDER);
  for (Phase p : kPhases) {
    std::printf("kill points: %s makes %llu durable writes\n", phase_name(p),
                static_cast<unsigned long long>(road.writes.at(p)));
  }
}

// KILL_POINTS_SHARD="i/n" (set by ctest for the long phases): this run takes the stop
// points i, i + n, i + 2n, ... of the phase, so that n runs share the phase.
std::pair<uint64_t, uint64_t> shard() {
  const char* env = std::getenv("KILL_POINTS_SHARD");
  unsigned long long i = 1;
  unsigned long long n = 1;
  if (env != nullptr && (std::sscanf(env, "%llu/%llu", &i, &n) != 2 || i < 1 || i > n)) {
    throw std::runtime_error(std::string("KILL_POINTS_SHARD is not i/n: ") + env);
  }
  return {i, n};
}

class KillPoints : public ::testing::TestWithParam<Phase> {};

// Every stop point of one phase holds: each is restored from the snapshot before the
// phase, killed at its write, rebooted, inspected and driven to the end of the road.
TEST_P(KillPoints, EveryDurableWriteOfThePhase) {
  const Phase phase = GetParam();
  const auto started = std::chrono::steady_clock::now();
  KillRoad road(KILL_ROAD_FOLDER);
  for (const auto& p : road.clean().problems) {
    ADD_FAILURE() << "the road without a kill does not end well: " << p;
  }
  // A phase that writes nothing (check, when no firmware command waits) has no stop point.
  const uint64_t total = road.clean().writes.at(phase);
  std::map<std::string, unsigned> outcomes;
  unsigned failed = 0;
  const auto [first, step] = shard();
  uint64_t taken = 0;
  for (uint64_t n = first; n <= total; n += step, ++taken) {
    const StopResult r = road.stop_at(phase, n);
    ++outcomes[r.after_kill.empty() ? "not stopped"
                                    : r.after_kill + " (" + r.row + "), retry " + r.retry];
    if (!r.problems.empty()) {
      ++failed;
      std::string text;
      for (const auto& p : r.problems) {
        text += "\n  - " + p;
      }
      ADD_FAILURE() << "phase " << phase_name(phase) << ", stop " << n << " of " << total << " ("
                    << r.event << "), the board booted the " << r.after_kill << ":" << text;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "kill points, phase %s: %llu stop points (%llu here: from %llu every %llu), %u "
      "failed, %.1f s\n",
      phase_name(phase), static_cast<unsigned long long>(total),
      static_cast<unsigned long long>(taken), static_cast<unsigned long long>(first),
      static_cast<unsigned long long>(step), failed, seconds);
  for (const auto& [what, count] : outcomes) {
    std::printf("  %3u x after the kill: %s\n", count, what.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Road, KillPoints, ::testing::ValuesIn(kPhases),
                         [](const auto& param_info) {
                           return std::string(phase_name(param_info.param));
                         });

// ota_tool boot-check after the new slot's first boot, killed at every durable write of
// one of its runs: after the kill and a reboot the board boots a whole slot, and
// boot-check run at each following boot ends where the road without a kill ends. (A kill
// during a check, before any write, is a board test:
// BootCheckTest.KilledDuringTheChecksEndsTheSameAtTheNextBoot.)
struct BootCheckRun {
  const char* name;
  bool checks_pass;
  int earlier_boots;  // plain boot-check runs before the killed one
  const char* what;
};
constexpr BootCheckRun kBootCheckRuns[] = {
    {"passing", true, 0, "confirm, sync and clear after a passing check"},
    {"failing", false, 0, "the rollback after a failing check"},
    {"failing_next_boot", false, 1, "the clear on the old slot the rollback rebooted into"},
};

class KillBootCheck : public ::testing::TestWithParam<BootCheckRun> {};

TEST_P(KillBootCheck, EveryDurableWrite) {
  const BootCheckRun& run = GetParam();
  const auto started = std::chrono::steady_clock::now();
  KillRoad road(KILL_ROAD_FOLDER);
  uint64_t total = 0;
  const StopResult clean = road.boot_check_at(run.checks_pass, run.earlier_boots, 0, &total);
  for (const auto& p : clean.problems) {
    ADD_FAILURE() << "boot-check, " << run.what << ", not killed: " << p;
  }
  ASSERT_GT(total, 0U) << "boot-check made no durable write in " << run.what;
  std::map<std::string, unsigned> outcomes;
  unsigned failed = 0;
  const auto [first, step] = shard();
  for (uint64_t n = first; n <= total; n += step) {
    const StopResult r = road.boot_check_at(run.checks_pass, run.earlier_boots, n);
    ++outcomes[r.after_kill + ", then " + r.retry];
    if (!r.problems.empty()) {
      ++failed;
      std::string text;
      for (const auto& p : r.problems) {
        text += "\n  - " + p;
      }
      ADD_FAILURE() << "boot-check, " << run.what << ", stop " << n << " of " << total << " ("
                    << r.event << "), the board booted the " << r.after_kill << ":" << text;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "kill points, boot-check, %s: %llu stop points (from %llu every %llu), %u failed, "
      "%.1f s\n",
      run.what, static_cast<unsigned long long>(total), static_cast<unsigned long long>(first),
      static_cast<unsigned long long>(step), failed, seconds);
  for (const auto& [outcome, count] : outcomes) {
    std::printf("  %3u x after the kill: %s\n", count, outcome.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Road, KillBootCheck, ::testing::ValuesIn(kBootCheckRuns),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kill_points
