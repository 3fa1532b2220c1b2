#include "explorer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "road_images.h"

namespace ota_road {

namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

Outcome must(const std::vector<std::string>& argv, const std::string& what) {
  Outcome o = run_process(argv);
  if (o.status != 0) {
    throw std::runtime_error(what + " failed with status " + std::to_string(o.status) + ":\n" +
                             tail(o.output));
  }
  return o;
}

Outcome shell(const std::string& cmd) { return run_process({"/bin/sh", "-c", cmd}); }

}  // namespace

std::string CrashPoint::text() const {
  return std::to_string(events) + " " + mode + " " + std::to_string(seed) +
         (rerun ? " rerun" : " check");
}

CrashPoint CrashPoint::parse(const std::string& line) {
  CrashPoint p;
  std::istringstream in(line);
  std::string what;
  if (!(in >> p.events >> p.mode >> p.seed >> what) || (what != "rerun" && what != "check")) {
    throw std::runtime_error("not a crash point (K MODE SEED check|rerun): \"" + line + "\"");
  }
  p.rerun = what == "rerun";
  return p;
}

Explorer::Explorer(const std::string& scenario, std::string folder, std::string layout, Tools tools)
    : folder_(std::move(folder)), layout_(std::move(layout)), tools_(std::move(tools)) {
  s_ = make_scenario(scenario, folder_, layout_, tools_);
  load_marks();
}

void Explorer::load_marks() {
  marks_.clear();
  std::ifstream in(marks());
  size_t step = 0;
  size_t at = 0;
  while (in >> step >> at) {
    marks_.push_back(at);
  }
}

void Explorer::record() {
  for (const std::string& d : {board_dir(), base_dir(), folder_ + "/state"}) {
    std::filesystem::remove_all(d);
  }
  std::filesystem::remove(marks());
  marks_.clear();
  const RoadBoard board(tools_.vboard, board_dir(), layout_, {"--power-cut"});
  // The factory flashes the first generation into both slots and confirms slot a.
  for (const RoadImage& img : kRoadImages) {
    for (const char* slot : {"_a", "_b"}) {
      board.write_part(img.name + std::string(slot), s_.gens[0].at(img.name));
    }
  }
  (void)must({tools_.vboard, "run", board_dir(), "--", tools_.ota_tool, "confirm"},
             "confirm the factory slot");
  (void)must({tools_.vboard, "reboot", board_dir()}, "the first boot");
  if (!s_.setup.empty()) {
    Scenario setup = s_;
    setup.road = s_.setup;
    (void)must({tools_.vboard, "run", board_dir(), "--", "/bin/sh", "-c",
                road_script(setup, 0, setup.road.size(), tools_, "")},
               "bring the board to where the record starts");
  }
  std::filesystem::remove(board_dir() + "/power-cut.log");
  std::filesystem::remove(board_dir() + "/power-cut.dat");
  (void)must({"/bin/cp", "-a", "--sparse=always", board_dir(), base_dir()}, "copy the base");
  (void)must({tools_.vboard, "run", board_dir(), "--", "/bin/sh", "-c",
              road_script(s_, 0, s_.road.size(), tools_, marks())},
             "the recorded road of " + s_.name);
  load_marks();
  if (marks_.size() != s_.road.size()) {
    throw std::runtime_error("the road of " + s_.name + " marked " + std::to_string(marks_.size()) +
                             " steps of " + std::to_string(s_.road.size()));
  }
  if (const auto problems = end_problems(board); !problems.empty()) {
    throw std::runtime_error("the recorded road of " + s_.name +
                             " does not end well: " + problems.front());
  }
}

std::vector<size_t> Explorer::boundaries(Tally& t) const {
  // The record's lines (README "Power cuts"): "W FILE ...", "F FILE", "C". A flush that
  // finds nothing of its image pending leaves the state of the boundary before it.
  std::ifstream in(board_dir() + "/power-cut.log");
  std::map<std::string, size_t> pending;
  std::vector<size_t> out;
  for (std::string line; std::getline(in, line);) {
    ++t.events;
    std::istringstream fields(line);
    std::string kind;
    std::string file;
    fields >> kind >> file;
    if (kind == "W") {
      ++t.writes;
      ++pending[file];
    } else if (kind == "F") {
      ++t.flushes;
      if (pending[file] != 0) {
        out.push_back(t.events);
      }
      pending[file] = 0;
    } else {
      pending.clear();
    }
  }
  if (t.events == 0) {
    throw std::runtime_error("the record of " + s_.name + " in " + board_dir() + " is empty");
  }
  return out;
}

int step_of(const std::vector<size_t>& marks, size_t events) {
  int step = -1;
  for (size_t i = 0; i < marks.size(); ++i) {
    if (marks[i] < events) {
      step = static_cast<int>(i);
    }
  }
  return step;
}

int Explorer::step_at(size_t events) const { return step_of(marks_, events); }

size_t Explorer::cycle_of(int step) const {
  size_t c = 0;
  while (c + 1 < s_.cycles.size() && static_cast<int>(s_.cycles[c + 1].first_step) <= step) {
    ++c;
  }
  return c;
}

std::vector<CrashPoint> sample_states(const std::vector<size_t>& boundaries,
                                      const std::vector<size_t>& marks, const Sampling& how,
                                      size_t events) {
  std::vector<CrashPoint> out;
  for (size_t i = 0; i < boundaries.size(); i += std::max<size_t>(1, how.boundary_step)) {
    out.push_back({boundaries[i], "none", 0, false});
  }
  std::mt19937_64 rng(how.seed);
  const char* const modes[] = {"random", "torn", "all", "none"};
  for (size_t i = 0; i < how.states && events > 0; ++i) {
    out.push_back({1 + rng() % events, modes[i % 4], rng(), false});
  }
  // The reruns go round the phases, a shuffled state of each in turn.
  std::map<int, std::vector<size_t>> by_step;
  for (size_t i = 0; i < out.size(); ++i) {
    by_step[step_of(marks, out[i].events)].push_back(i);
  }
  for (auto& [step, list] : by_step) {
    std::shuffle(list.begin(), list.end(), rng);
  }
  size_t picked = 0;
  for (size_t round = 0; picked < how.reruns && picked < out.size(); ++round) {
    for (auto& [step, list] : by_step) {
      if (round < list.size() && picked < how.reruns) {
        out[list[round]].rerun = true;
        ++picked;
      }
    }
  }
  return out;
}

void Explorer::check_param(const RoadBoard& board, int slot, bool want_new,
                           std::vector<std::string>& problems) const {
  const auto* p = board.layout().find(std::string("app_param_") + letter(slot));
  if (p == nullptr) {
    throw std::runtime_error("the layout has no app_param partition");
  }
  // A copy, so that the journal is replayed as a boot would and the state stays as built.
  const std::string copy = folder_ + "/param.img";
  const std::string mnt = folder_ + "/param.mnt";
  std::filesystem::create_directories(mnt);
  const Outcome o = shell(
      "dd status=none if=" + quote(board.dir() + "/emmc.img") + " of=" + quote(copy) +
      " bs=64K iflag=skip_bytes,count_bytes skip=" + std::to_string(p->offset) +
      " count=" + std::to_string(p->size) + " && mount -o loop " + quote(copy) + " " + quote(mnt) +
      " && { cat " + quote(mnt + "/app_param") + "; s=$?; umount " + quote(mnt) + "; exit $s; }");
  std::filesystem::remove(copy);
  const std::string name = "app_param_" + letter(slot);
  if (o.status != 0) {
    problems.push_back(name + " does not mount or holds no app_param:\n" + tail(o.output, 4));
  } else if (o.output != s_.param_new && (want_new || o.output != s_.param_old)) {
    problems.push_back(name + " holds \"" + o.output + "\", not " +
                       (want_new ? "the new file" : "the old or the new file"));
  }
}

void Explorer::repair_userdata(const RoadBoard& board) const {
  const auto* p = board.layout().find("userdata");
  if (p == nullptr) {
    throw std::runtime_error("the layout has no userdata partition");
  }
  // e2fsck -y exits 1 or 2 when it corrected something, 4 and up when it could not.
  const Outcome o =
      shell("d=$(losetup -f --show -o " + std::to_string(p->offset) + " --sizelimit " +
            std::to_string(p->size) + " " + quote(board.dir() + "/emmc.img") +
            ") || exit 8; e2fsck -fy \"$d\"; s=$?; losetup -d \"$d\"; "
            "[ $s -lt 4 ]");
  if (o.status != 0) {
    throw std::runtime_error("repair the userdata of " + board.dir() + ":\n" + tail(o.output, 6));
  }
}

std::vector<std::string> Explorer::end_problems(const RoadBoard& board) const {
  std::vector<std::string> problems = finished_problems(board, s_.cycles.back().goal);
  if (!s_.param_new.empty()) {
    check_param(board, s_.cycles.back().goal.target, true, problems);
  }
  for (const auto& [part, bytes] : s_.bak_new) {
    if (board.read_part(part, bytes.size()) != bytes) {
      problems.push_back(part + " does not hold the package's image at the end");
    }
  }
  return problems;
}

std::string Explorer::finish(const RoadBoard& board, const Records& r, int step) const {
  const size_t c = cycle_of(step);
  const Cycle& cycle = s_.cycles[c];
  const int at = step - static_cast<int>(cycle.first_step) + static_cast<int>(cycle.skipped);
  const RoadGoal& g = cycle.goal;
  std::string parts;
  Resume from = Resume::update;
  if (r.booted == g.target && board.generation(g.target, g.gens, &parts) == g.target_gen) {
    from = Resume::client;
  } else if (update_on_record(r, g.target)) {
    from = Resume::switch_slot;
  }
  return finish_script(s_, c, std::max(at, 0), from, tools_);
}

std::vector<std::string> Explorer::check(const CrashPoint& p, std::string* seen) const {
  const std::string out = folder_ + "/state";
  std::filesystem::remove_all(out);
  (void)must({tools_.vboard, "crash-state", board_dir(), "--from", base_dir(), "--at",
              std::to_string(p.events), "--pending", p.mode, "--seed", std::to_string(p.seed), out},
             "build the crash state " + p.text());
  std::vector<std::string> problems;
  const int step = step_at(p.events);
  const Cycle& cycle = s_.cycles[cycle_of(step)];
  *seen = step < 0 ? "start" : s_.road[static_cast<size_t>(step)].name;
  if (const Outcome b = run_process({tools_.vboard, "reboot", out}); b.status != 0) {
    problems.push_back("the firmware failed:\n" + tail(b.output, 6));
    return problems;
  }
  const RoadBoard board = RoadBoard::open(tools_.vboard, out, layout_);
  const Records r = board.records();
  problems = interrupted_problems(board, r, cycle.goal);
  *seen += std::string(r.recovery ? ": recovery" : ": boots ") + letter(r.booted) + ", road " +
           (r.road_valid ? ota_road_phase_name(r.road.phase) : "none");
  if (!s_.param_new.empty() && !r.recovery) {
    const auto t = static_cast<uint32_t>(cycle.goal.target);
    const bool written =
        (r.status_valid && r.status.next_slot == t &&
         (r.status.up == OTA_FLAG_VERIFY || r.status.up == OTA_FLAG_VERIFIED)) ||
        (r.road_valid && r.road.phase >= OTA_ROAD_WRITTEN && r.road.target_slot == t);
    check_param(board, r.booted, false, problems);
    if (written && r.booted != cycle.goal.target) {
      check_param(board, cycle.goal.target, true, problems);
    }
  }
  if (p.rerun && problems.empty()) {
    const std::vector<std::string> argv = {tools_.vboard,         "run", out, "--", "/bin/sh", "-c",
                                           finish(board, r, step)};
    Outcome o = run_process(argv);
    // The userdata file system's own consistency is not the engine's to prove: a state
    // whose userdata does not mount is repaired, noted, and run again.
    if (o.status != 0 && o.output.find("/userdata: ") != std::string::npos &&
        o.output.find("set up board") != std::string::npos) {
      repair_userdata(board);
      *seen += " (userdata repaired)";
      o = run_process(argv);
    }
    if (o.status != 0) {
      problems.push_back("the road from this state failed (status " + std::to_string(o.status) +
                         "):\n" + tail(o.output, 8));
    } else {
      for (auto& e : end_problems(board)) {
        problems.push_back("after the road from this state: " + e);
      }
    }
  }
  if (problems.empty()) {
    std::filesystem::remove_all(out);
  }
  return problems;
}

}  // namespace ota_road
