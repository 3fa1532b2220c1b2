// The explorer's own logic, without a board: which states it samples and re-runs, where
// a cut falls in the road, the crash points a failure file keeps, the shell that
// finishes a road from a state, and the recovery package's sector table.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "explorer.h"
#include "recovery_package.h"

namespace {

using ota_road::CrashPoint;
using ota_road::Sampling;

TEST(Explorer, StepOfACutFollowsTheMarks) {
  // Steps 1 and 2 start at the same length: step 1 wrote nothing.
  const std::vector<size_t> marks = {9, 68, 68, 74};
  const std::pair<size_t, int> rows[] = {{1, -1}, {9, -1}, {10, 0}, {68, 0},
                                         {69, 2}, {74, 2}, {75, 3}, {500, 3}};
  for (const auto& [events, step] : rows) {
    EXPECT_EQ(ota_road::step_of(marks, events), step) << "cut after " << events;
  }
}

TEST(Explorer, SampleTakesTheBoundariesThenDrawsAndSpreadsTheReruns) {
  const std::vector<size_t> marks = {0, 100, 200, 300};
  std::vector<size_t> boundaries;
  for (size_t k = 10; k < 400; k += 10) {
    boundaries.push_back(k);
  }
  const Sampling how{.states = 20, .seed = 5, .boundary_step = 3, .reruns = 8};
  const auto states = ota_road::sample_states(boundaries, marks, how, 400);
  const size_t taken = (boundaries.size() + 2) / 3;
  ASSERT_EQ(states.size(), taken + 20);
  for (size_t i = 0; i < taken; ++i) {
    EXPECT_EQ(states[i].events, boundaries[3 * i]);
    EXPECT_EQ(states[i].mode, "none");
  }
  std::set<std::string> modes;
  std::set<int> rerun_steps;
  size_t reruns = 0;
  for (size_t i = 0; i < states.size(); ++i) {
    EXPECT_GE(states[i].events, 1U);
    EXPECT_LE(states[i].events, 400U);
    if (i >= taken) {
      modes.insert(states[i].mode);
    }
    if (states[i].rerun) {
      ++reruns;
      rerun_steps.insert(ota_road::step_of(marks, states[i].events));
    }
  }
  EXPECT_EQ(modes, (std::set<std::string>{"all", "none", "random", "torn"}));
  EXPECT_EQ(reruns, 8U);
  EXPECT_EQ(rerun_steps.size(), 4U) << "the re-runs leave a step out";
  // The seed alone decides the sample.
  const auto again = ota_road::sample_states(boundaries, marks, how, 400);
  Sampling other = how;
  other.seed = 6;
  const auto different = ota_road::sample_states(boundaries, marks, other, 400);
  auto texts = [](const std::vector<CrashPoint>& v) {
    std::vector<std::string> out;
    for (const auto& p : v) {
      out.push_back(p.text());
    }
    return out;
  };
  EXPECT_EQ(texts(again), texts(states));
  EXPECT_NE(texts(different), texts(states));
}

TEST(Explorer, CrashPointsRoundTripAndBadLinesAreRefused) {
  const CrashPoint p{.events = 123, .mode = "torn", .seed = 99, .rerun = true};
  const CrashPoint back = CrashPoint::parse(p.text());
  EXPECT_EQ(back.text(), "123 torn 99 rerun");
  EXPECT_TRUE(back.rerun);
  EXPECT_FALSE(CrashPoint::parse("7 none 0 check").rerun);
  for (const char* bad : {"", "7 none 0", "7 none 0 maybe", "x none 0 check"}) {
    EXPECT_THROW((void)CrashPoint::parse(bad), std::runtime_error) << bad;
  }
}

// The ota_tool commands and reboots a finish script runs, in order ("$T check" ->
// "check", "$V reboot" -> "reboot"), and whether it tries the switch before the update.
std::vector<std::string> commands(const std::string& script) {
  std::vector<std::string> out;
  for (size_t at = 0; (at = script.find('$', at)) != std::string::npos; ++at) {
    const char who = script[at + 1];
    if ((who != 'T' && who != 'V') || script[at + 2] != ' ') {
      continue;
    }
    const size_t end = script.find_first_of(" ;", at + 3);
    out.push_back(script.substr(at + 3, end - at - 3));
  }
  return out;
}

TEST(Explorer, TheFinishScriptResumesWhereTheStateStands) {
  ota_road::Scenario s;
  s.road = {{"update", "$T update $P"}, {"switch", "$T set-slot b"}};
  s.cycles = {{"/p1.zip", {{}, 1, 1, 0}, 0, 0, "$T update $P"},
              {"/p2.zip", {{}, 0, 2, 1}, 2, 0, "$T update $P"}};
  s.road.push_back({"update", "$T update $P"});
  const ota_road::Tools tools{"/v", "/t", "/p"};
  using R = ota_road::Resume;
  struct Row {
    const char* title;
    size_t cycle;
    int at;
    R from;
    std::vector<std::string> want;
  } const rows[] = {
      {"on the target, cut in sync", 0, 5, R::client, {"sync", "clear", "reboot", "update"}},
      {"on the target, cut in the last reboot", 1, 7, R::client, {"reboot"}},
      {"update on record",
       1,
       1,
       R::switch_slot,
       {"set-slot", "update", "clear", "update", "set-slot", "reboot", "check", "confirm", "sync",
        "clear", "reboot"}},
      {"nothing on record",
       1,
       0,
       R::update,
       {"update", "clear", "update", "set-slot", "reboot", "check", "confirm", "sync", "clear",
        "reboot"}},
  };
  for (const Row& r : rows) {
    const std::string script = ota_road::finish_script(s, r.cycle, r.at, r.from, tools);
    EXPECT_EQ(commands(script), r.want) << r.title << ": " << script;
    // The later cycle's package follows the first cycle's.
    EXPECT_EQ(script.find("/p2.zip") != std::string::npos, true) << r.title;
    EXPECT_EQ(script.find("/p1.zip") != std::string::npos, r.cycle == 0) << r.title;
  }
}

TEST(RecoveryPackage, GptConfCountsSectors) {
  EXPECT_EQ(ota_road::gpt_conf_in_sectors("misc:1048576:1114111:0FC63DAF\n"
                                          "boot_a:1114112:12648447:0FC63DAF\n"),
            "misc:2048:2175:0FC63DAF\nboot_a:2176:24703:0FC63DAF\n");
  EXPECT_THROW((void)ota_road::gpt_conf_in_sectors("misc:1048576\n"), std::runtime_error);
}

}  // namespace
