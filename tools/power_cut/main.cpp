// ota_power_cut: the crash-state explorer of the power-cut board (README "Power cuts").
//   ota_power_cut explore SCENARIO... --work DIR --layout FILE [--states N] [--seed S]
//                 [--boundary-step N] [--reruns N] [--failures FILE]
//   ota_power_cut replay FILE --work DIR --layout FILE
// explore records each scenario's road once in DIR/SCENARIO, then checks the board a
// cut leaves at every flush boundary (every N-th with --boundary-step) and at N drawn
// states shared among the scenarios (--states, default 40, drawn with --seed), and
// finishes the road from --reruns states per scenario spread over its steps. A failing
// state is appended to the failures file (default DIR/failed.txt) with what broke, and
// replay checks the states of such a file again on the records in DIR.
// POWER_CUT_STATES and POWER_CUT_SEED, when set, override --states and --seed.
// SCENARIO: full, incremental, recovery, client, param, twice, or all. vboard, ota_tool and
// ota_process are taken from the folder this program lies in. Exit status: 0 when no
// state broke the rules, 1 when one did, 2 when the exploration could not run.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "explorer.h"

namespace {

using ota_road::CrashPoint;
using ota_road::Explorer;
using ota_road::Sampling;
using ota_road::Tally;

struct Options {
  std::string command;
  std::vector<std::string> scenarios;
  std::string work;
  std::string layout;
  std::string failures;
  std::string replay;
  Sampling how;
};

const char* const kUsage =
    "usage: ota_power_cut explore SCENARIO... --work DIR --layout FILE [--states N] [--seed S]\n"
    "                     [--boundary-step N] [--reruns N] [--failures FILE]\n"
    "       ota_power_cut replay FILE --work DIR --layout FILE\n"
    "SCENARIO: full, incremental, recovery, client, param, twice, all\n";

uint64_t number(const std::string& opt, const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') {
    throw std::invalid_argument(opt + " takes a number, not \"" + text + "\"");
  }
  return v;
}

Options parse(int argc, char** argv) {
  if (argc < 2) {
    throw std::invalid_argument("no command");
  }
  Options o;
  o.command = argv[1];
  if (o.command != "explore" && o.command != "replay") {
    throw std::invalid_argument("unknown command \"" + o.command + "\"");
  }
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--", 0) != 0) {
      if (o.command == "replay" && o.replay.empty()) {
        o.replay = a;
      } else if (a == "all") {
        o.scenarios = ota_road::scenario_names();
      } else {
        o.scenarios.push_back(a);
      }
      continue;
    }
    if (i + 1 >= argc) {
      throw std::invalid_argument(a + " needs a value");
    }
    const char* v = argv[++i];
    if (a == "--work") {
      o.work = std::filesystem::absolute(v).string();
    } else if (a == "--layout") {
      o.layout = std::filesystem::absolute(v).string();
    } else if (a == "--failures") {
      o.failures = v;
    } else if (a == "--states") {
      o.how.states = number(a, v);
    } else if (a == "--seed") {
      o.how.seed = number(a, v);
    } else if (a == "--boundary-step") {
      o.how.boundary_step = number(a, v);
    } else if (a == "--reruns") {
      o.how.reruns = number(a, v);
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  if (o.work.empty() || o.layout.empty()) {
    throw std::invalid_argument("--work and --layout are required");
  }
  if (o.command == "explore" ? o.scenarios.empty() : o.replay.empty()) {
    throw std::invalid_argument(o.command == "explore" ? "no scenario" : "no file to replay");
  }
  // The test suite's fixed sample can be changed without editing it.
  if (const char* v = std::getenv("POWER_CUT_STATES"); v != nullptr && *v != '\0') {
    o.how.states = number("POWER_CUT_STATES", v);
  }
  if (const char* v = std::getenv("POWER_CUT_SEED"); v != nullptr && *v != '\0') {
    o.how.seed = number("POWER_CUT_SEED", v);
  }
  if (o.failures.empty()) {
    o.failures = o.work + "/failed.txt";
  }
  return o;
}

ota_road::Tools tools_beside_me() {
  const std::string dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  ota_road::Tools t{dir + "/vboard", dir + "/ota_tool", dir + "/ota_process"};
  for (const std::string& p : {t.vboard, t.ota_tool, t.ota_process}) {
    if (::access(p.c_str(), X_OK) != 0) {
      throw std::runtime_error(p + " is not there to run: build it beside ota_power_cut");
    }
  }
  return t;
}

// Checks the states; failures go to the failures file with what broke, as comments.
size_t check_all(const Explorer& ex, const std::vector<CrashPoint>& states, Tally& t,
                 const std::string& failures) {
  size_t failed = 0;
  for (const CrashPoint& p : states) {
    std::string seen;
    const auto problems = ex.check(p, &seen);
    ++t.checked;
    t.reruns += p.rerun ? 1 : 0;
    ++t.seen[seen];
    if (problems.empty()) {
      continue;
    }
    ++failed;
    std::ofstream out(failures, std::ios::app);
    std::string text;
    for (const auto& line : problems) {
      text += "\n  " + line;
    }
    std::printf("VIOLATION %s %s (%s):%s\n", ex.scenario().name.c_str(), p.text().c_str(),
                seen.c_str(), text.c_str());
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
      out << "# " << l << "\n";
    }
    out << ex.scenario().name << " " << p.text() << "\n";
  }
  t.violations += failed;
  return failed;
}

void print(const Explorer& ex, const Tally& t, double seconds, const Sampling& how) {
  std::printf(
      "scenario %s (%s): %zu events, %zu writes, %zu flushes; %zu crash states checked (%zu "
      "flush boundaries that made writes durable, seed %llu), %zu re-run; %zu violations; %.0f s\n",
      ex.scenario().name.c_str(), ex.scenario().title.c_str(), t.events, t.writes, t.flushes,
      t.checked, t.boundaries, static_cast<unsigned long long>(how.seed), t.reruns, t.violations,
      seconds);
  for (const auto& [what, n] : t.seen) {
    std::printf("  %4zu states cut in %s\n", n, what.c_str());
  }
  std::fflush(stdout);
}

// One scenario explored; the number of violations.
size_t explore_one(const Options& o, const ota_road::Tools& tools, size_t i) {
  const size_t n = o.scenarios.size();
  const auto started = std::chrono::steady_clock::now();
  Explorer ex(o.scenarios[i], o.work + "/" + o.scenarios[i], o.layout, tools);
  ex.record();
  Tally t;
  const auto bounds = ex.boundaries(t);
  Sampling how = o.how;
  how.states = o.how.states / n + (i < o.how.states % n ? 1 : 0);
  how.seed = o.how.seed + i;
  const auto states = ex.sample(bounds, how, t.events);
  t.boundaries = (bounds.size() + how.boundary_step - 1) / std::max<size_t>(1, how.boundary_step);
  const size_t v = check_all(ex, states, t, o.failures);
  print(ex, t, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
        how);
  return v;
}

// Every scenario explored, one that cannot be recorded reported and the next one taken.
int explore(const Options& o, const ota_road::Tools& tools) {
  size_t violations = 0;
  bool broken = false;
  for (size_t i = 0; i < o.scenarios.size(); ++i) {
    try {
      violations += explore_one(o, tools, i);
    } catch (const std::exception& e) {
      std::printf("scenario %s could not be explored: %s\n", o.scenarios[i].c_str(), e.what());
      std::fflush(stdout);
      broken = true;
    }
  }
  return broken ? 2 : violations == 0 ? 0 : 1;
}

int replay(const Options& o, const ota_road::Tools& tools) {
  std::ifstream in(o.replay);
  std::map<std::string, std::vector<CrashPoint>> by_scenario;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const size_t sp = line.find(' ');
    by_scenario[line.substr(0, sp)].push_back(CrashPoint::parse(line.substr(sp + 1)));
  }
  if (by_scenario.empty()) {
    throw std::runtime_error("no crash points in " + o.replay);
  }
  size_t violations = 0;
  for (const auto& [name, states] : by_scenario) {
    const Explorer ex(name, o.work + "/" + name, o.layout, tools);
    Tally t;
    (void)ex.boundaries(t);
    violations += check_all(ex, states, t, o.failures);
    print(ex, t, 0, o.how);
  }
  return violations == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = parse(argc, argv);
    const auto tools = tools_beside_me();
    std::filesystem::create_directories(o.work);
    return o.command == "explore" ? explore(o, tools) : replay(o, tools);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "ota_power_cut: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ota_power_cut: %s\n", e.what());
    return 2;
  }
}
