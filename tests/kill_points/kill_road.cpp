#include "kill_road.h"
#include "road_images.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "pack_description.h"
#include "packager.h"

namespace kill_points {

namespace {

constexpr int kStoppedStatus = 100;      // ota_killpoint: killed at the requested write
constexpr int kBootCheckRolledBack = 5;  // ota_tool boot-check: back to the old slot, reboot

using ota_road::kRoadImages;
using ota_road::letter;
using ota_road::RoadImage;

void expect_ok(const Outcome& o, const std::string& what) {
  if (o.status != 0) {
    throw std::runtime_error(what + " failed with status " + std::to_string(o.status) + ":\n" +
                             tail(o.output));
  }
}

}  // namespace

const char* phase_name(Phase p) {
  static const char* const kNames[] = {"update",  "switch", "reboot", "check",
                                       "confirm", "sync",   "clear"};
  return kNames[static_cast<int>(p)];
}

std::vector<std::string> read_record(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    out.push_back(line);
  }
  return out;
}

KillRoad::KillRoad(const std::string& folder, const std::string& board_dir) : folder_(folder) {
  board_ = std::make_unique<RoadBoard>(
      VBOARD_EXE, board_dir.empty() ? tmp_.file("board") : board_dir, KILL_ROAD_LAYOUT);
  unsigned seed = 1;
  for (const RoadImage& img : kRoadImages) {
    const std::string n = img.name;
    old_[n] = ota_road::road_image_bytes(img.size, seed++);
    new_[n] = img.in_package ? ota_road::road_image_bytes(img.size, seed++) : old_[n];
    stale_[n] = ota_road::road_image_bytes(img.size, seed++);
  }
  new_package_ = folder_ + "/all_in_one_new.zip";
}

CleanRoad KillRoad::prepare(const std::string& folder) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  KillRoad road(folder, folder + "/board");
  road.bring_into_service();
  road.record_clean_road();
  return road.clean_;
}

KillRoad::KillRoad(const std::string& folder) : KillRoad(folder, "") {
  if (!std::filesystem::exists(folder + "/road.txt")) {
    (void)prepare(folder);
  }
  std::ifstream in(folder + "/road.txt");
  std::string key;
  while (in >> key) {
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (key == "problem") {
      clean_.problems.push_back(rest);
    }
    for (Phase p : kPhases) {
      if (key == phase_name(p)) {
        clean_.writes[p] = std::stoull(rest);
      }
    }
  }
  if (clean_.writes.size() != std::size(kPhases)) {
    throw std::runtime_error(folder + "/road.txt does not name the writes of every phase");
  }
}

// The factory flashes slot a (b stays blank) and confirms it; one whole road to b
// follows; then an update to a is abandoned (cleared) after it wrote other content into
// the partitions the packages leave out, vbmeta_a and bl31_a.
void KillRoad::bring_into_service() {
  std::string desc = "layout " KILL_ROAD_LAYOUT "\nworker " OTA_PROCESS_EXE "\n";
  std::string old_desc = desc;
  std::string new_desc = desc;
  std::string stale_desc = desc;
  auto add = [&](std::string& text, const char* prefix, const std::string& n,
                 const std::string& bytes) {
    ota_test::write_file(folder_ + "/" + prefix + n + ".img", bytes);
    text += "part " + n + " " + prefix + n + ".img\n";
  };
  for (const RoadImage& img : kRoadImages) {
    const std::string n = img.name;
    board_->write_part(n + "_a", old_[n]);
    if (img.in_package) {
      add(old_desc, "old_", n, old_[n]);
      add(new_desc, "new_", n, new_[n]);
    } else {
      add(stale_desc, "stale_", n, stale_[n]);
    }
  }
  for (const auto& [text, name] :
       {std::pair{&old_desc, "all_in_one_old.zip"}, std::pair{&new_desc, "all_in_one_new.zip"},
        std::pair{&stale_desc, "all_in_one_stale.zip"}}) {
    auto d = ota::pack::parse_description(*text, folder_);
    if (!d) {
      throw std::runtime_error(d.error().message());
    }
    if (auto r = ota::pack::make_package(d.value(), folder_ + "/" + name); !r) {
      throw std::runtime_error(r.error().message());
    }
  }
  expect_ok(board_->run({OTA_TOOL_EXE, "confirm"}), "confirm the factory slot");
  expect_ok(board_->reboot(), "reboot");
  run_road(folder_ + "/all_in_one_old.zip", 1);
  expect_ok(board_->run({OTA_TOOL_EXE, "update", folder_ + "/all_in_one_stale.zip"}),
            "the update that is abandoned");
  expect_ok(board_->run({OTA_TOOL_EXE, "clear"}), "abandon it");
}

void KillRoad::run_road(const std::string& package, int target) {
  const std::vector<std::vector<std::string>> steps = {{"update", package},
                                                       {"set-slot", letter(target)},
                                                       {},
                                                       {"check"},
                                                       {"confirm"},
                                                       {"sync"},
                                                       {"clear"},
                                                       {}};
  for (const auto& s : steps) {
    if (s.empty()) {
      expect_ok(board_->reboot(), "reboot");
      continue;
    }
    std::vector<std::string> argv = {OTA_TOOL_EXE};
    argv.insert(argv.end(), s.begin(), s.end());
    expect_ok(board_->run(argv), "setting up the board: ota_tool " + s[0]);
  }
}

std::string KillRoad::snapshot(Phase p) const { return folder_ + "/before_" + phase_name(p); }

std::vector<std::string> KillRoad::tool_args(Phase p) const {
  switch (p) {
    case Phase::update:
      return {"update", new_package_};
    case Phase::switch_slot:
      return {"set-slot", letter(target_)};
    default:
      return {phase_name(p)};
  }
}

Outcome KillRoad::step(Phase p) const {
  if (p == Phase::reboot) {
    return board_->reboot();
  }
  std::vector<std::string> argv = {OTA_TOOL_EXE};
  for (auto& a : tool_args(p)) {
    argv.push_back(a);
  }
  return board_->run(argv);
}

Outcome KillRoad::traced(Phase p, const std::string& record, uint64_t stop_at) const {
  std::vector<std::string> argv = {KILLPOINT_EXE, "--record", record};
  if (stop_at != 0) {
    argv.insert(argv.end(), {"--stop-at", std::to_string(stop_at)});
  }
  if (p == Phase::reboot) {
    // The firmware writes the images themselves, from outside the board.
    argv.insert(argv.end(),
                {"--watch", board_->dir() + "/emmc.img", "--watch", board_->dir() + "/nor.img",
                 "--", VBOARD_EXE, "reboot", board_->dir()});
    return run_process(argv);
  }
  argv.insert(argv.end(), {"--", OTA_TOOL_EXE});
  for (auto& a : tool_args(p)) {
    argv.push_back(a);
  }
  return board_->run(argv);
}

void KillRoad::record_clean_road() {
  std::string text;
  for (Phase p : kPhases) {
    const std::string snap = snapshot(p);
    std::filesystem::create_directories(snap);
    board_->save(snap);
    const Outcome o = traced(p, snap + "/clean.rec", 0);
    expect_ok(o, std::string("the new road's ") + phase_name(p) + " (traced)");
    clean_.writes[p] = read_record(snap + "/clean.rec").size();
    text += std::string(phase_name(p)) + " " + std::to_string(clean_.writes[p]) + "\n";
  }
  expect_ok(board_->reboot(), "reboot after the new road");
  find_unfinished(clean_.problems);
  for (const auto& problem : clean_.problems) {
    text += "problem " + problem + "\n";
  }
  ota_test::write_file(folder_ + "/road.txt", text);
}

std::string KillRoad::slot_content(int slot) const {
  std::string parts;
  bool all_old = true;
  bool all_new = true;
  for (const auto& [name, want_new] : new_) {
    const std::string have = board_->read_part(name + "_" + letter(slot), want_new.size());
    const bool is_new = have == want_new;
    const bool is_old = have == old_.at(name);
    all_old = all_old && is_old;
    all_new = all_new && is_new;
    parts += " " + name + (is_new ? (is_old ? " same" : " new") : is_old ? " old" : " other");
  }
  return all_new ? "new" : all_old ? "old" : "a mix:" + parts;
}

void KillRoad::expect_finished(std::vector<std::string>& problems) const {
  std::vector<std::string> found;
  find_unfinished(found);
  for (auto& f : found) {
    if (std::find(clean_.problems.begin(), clean_.problems.end(), f) == clean_.problems.end()) {
      problems.push_back(std::move(f));
    }
  }
}

ota_road::RoadGoal KillRoad::goal() const {
  // The sync copies only what the update listed, which is nothing: the fallback slot
  // keeps whichever whole generation it had.
  return {{old_, new_}, target_, 1, -1};
}

void KillRoad::find_unfinished(std::vector<std::string>& problems) const {
  for (auto& p : ota_road::finished_problems(*board_, goal())) {
    problems.push_back(std::move(p));
  }
}

void KillRoad::inspect_after_kill(Phase phase, StopResult& r) const {
  const Records rec = board_->records();
  r.after_kill = rec.recovery ? "recovery" : rec.booted == target_ ? "new slot" : "old slot";
  for (auto& p : ota_road::interrupted_problems(*board_, rec, goal())) {
    r.problems.push_back("after the kill and a reboot: " + p);
  }
  if (rec.recovery) {
    return;
  }
  // A slot switched to for an update stays on trial until it is confirmed, so that an
  // image that does not come up runs out of tries.
  const auto t = static_cast<uint32_t>(target_);
  const bool switched =
      (rec.road_valid && rec.road.phase == OTA_ROAD_SWITCHED && rec.road.target_slot == t) ||
      (rec.status_valid && rec.status.up == OTA_FLAG_VERIFY && rec.status.next_slot == t);
  if (phase < Phase::confirm && switched && rec.misc_valid &&
      rec.misc.slot_info[target_].successful_boot() != 0) {
    r.problems.push_back("slot " + letter(target_) +
                         " was switched to and is marked confirmed before the confirmation");
  }
  const std::string target_content = slot_content(target_);
  // What the update service does after each boot: ask whether the update took; and
  // what an operator reads: the state of the road the records show.
  const Outcome seen = board_->run(
      {"/bin/sh", "-c", "\"$0\" check; echo \"check status $?\"; \"$0\" status", OTA_TOOL_EXE});
  const bool took = seen.output.find("check status 0\n") != std::string::npos;
  if (took && (rec.booted != target_ || target_content != "new")) {
    r.problems.push_back("ota_tool check reports the update took, but the board runs slot " +
                         letter(rec.booted) + " holding " + slot_content(rec.booted));
  }
  const size_t at = seen.output.find("road state: ");
  const std::string row = at == std::string::npos
                              ? ""
                              : seen.output.substr(at + 12, seen.output.find('\n', at) - at - 12);
  r.row = row.substr(0, row.find(' '));
  if (row.empty() || row[0] == '?') {
    r.problems.push_back("ota_tool status names no state of the road: " +
                         (row.empty() ? tail(seen.output, 4) : row));
  }
}

void KillRoad::finish_road(Phase p, StopResult& r) {
  auto failed = [&](Phase q, const Outcome& o) {
    r.problems.push_back(std::string("retry: ota_tool ") + phase_name(q) + " failed (status " +
                         std::to_string(o.status) + "):\n" + tail(o.output, 6));
  };
  Phase first = std::max(p, Phase::check);
  if (board_->records().booted != target_) {
    first = Phase::check;
    r.retry = "switch";
    if (step(Phase::switch_slot).status != 0) {
      r.retry = "update again";
      Outcome u = step(Phase::update);
      if (u.status != 0) {
        r.retry = "clear, update again";
        (void)step(Phase::clear);
        u = step(Phase::update);
      }
      if (u.status != 0) {
        return failed(Phase::update, u);
      }
      if (const Outcome s = step(Phase::switch_slot); s.status != 0) {
        return failed(Phase::switch_slot, s);
      }
    }
    (void)board_->reboot();
    if (board_->records().booted != target_) {
      r.problems.push_back("retry: after the switch and a reboot the board still boots slot " +
                           letter(board_->records().booted));
      return;
    }
  }
  r.retry += r.retry.empty() ? "" : ", ";
  r.retry += std::string("from ") + phase_name(first);
  for (Phase q : kPhases) {
    if (q < first) {
      continue;
    }
    if (const Outcome o = step(q); o.status != 0) {
      return failed(q, o);
    }
  }
  (void)board_->reboot();
  expect_finished(r.problems);
}

std::string KillRoad::describe(const std::string& line) const {
  std::istringstream fields(line);
  std::vector<std::string> f;
  for (std::string field; std::getline(fields, field, '\t');) {
    f.push_back(field);
  }
  f.resize(7);
  auto [comm, call, target, offset, length] = std::tie(f[2], f[3], f[4], f[5], f[6]);
  if ((target == "emmc.img" || target == "nor.img") && offset != "-") {
    target = board_->part_at(target, std::stoull(offset));
  }
  return call + " on " + target + (offset == "-" ? "" : " at " + offset) +
         (length == "-" ? "" : " (" + length + " bytes)") + " by " + comm;
}

StopResult KillRoad::stop_at(Phase phase, uint64_t n) {
  StopResult r;
  board_->restore(snapshot(phase));
  const std::string record = tmp_.file("stop.rec");
  const Outcome o = traced(phase, record, n);
  const auto events = read_record(record);
  if (!events.empty() && events.back().ends_with("\tstopped")) {
    r.event = describe(events.back());
  }
  if (o.status != kStoppedStatus) {
    r.problems.push_back("the phase ended (status " + std::to_string(o.status) + ") after " +
                         std::to_string(events.size()) + " writes, before write " +
                         std::to_string(n) + ":\n" + tail(o.output, 6));
    return r;
  }
  if (const Outcome b = board_->reboot(); b.status != 0) {
    r.problems.push_back("the reboot after the kill failed:\n" + tail(b.output, 6));
    return r;
  }
  inspect_after_kill(phase, r);
  if (r.after_kill != "recovery") {
    finish_road(phase, r);
  }
  return r;
}

std::vector<std::string> KillRoad::boot_check_args(bool checks_pass) const {
  // A folder below the board's temporary folder, which the board shows.
  const std::string dir = tmp_.file(checks_pass ? "health-pass" : "health-fail");
  if (!std::filesystem::exists(dir)) {
    std::filesystem::create_directories(dir);
    const std::string check = dir + "/10-check";
    ota_test::write_file(check, std::string("#!/bin/sh\necho checking slot "
                                            "\"$MIRVO_OTA_BOOTED_SLOT\"\nexit ") +
                                    (checks_pass ? "0" : "3") + "\n");
    std::filesystem::permissions(check, std::filesystem::perms::owner_all |
                                            std::filesystem::perms::group_read |
                                            std::filesystem::perms::group_exec);
  }
  // No --reboot-cmd: the reboot it asks for (status 5) is the test's, from the host.
  return {OTA_TOOL_EXE, "boot-check", "--health-dir", dir, "--check-timeout", "30"};
}

bool KillRoad::finish_boot_check(bool checks_pass, int status, StopResult& r) {
  constexpr int kMostBoots = 4;
  const std::vector<std::string> argv = boot_check_args(checks_pass);
  for (int boot = 1; status == kBootCheckRolledBack; ++boot) {
    if (boot > kMostBoots) {
      r.problems.push_back("boot-check still asks for a reboot after " +
                           std::to_string(kMostBoots) + " boots");
      return false;
    }
    if (const Outcome b = board_->reboot(); b.status != 0) {
      r.problems.push_back("a reboot boot-check asked for failed:\n" + tail(b.output, 6));
      return false;
    }
    const Outcome o = board_->run(argv);
    status = o.status;
    r.retry += ", " + std::string(status == 0 ? "done" : "rolled back") + " on " +
               letter(board_->records().booted);
    if (status != 0 && status != kBootCheckRolledBack) {
      r.problems.push_back("boot-check failed (status " + std::to_string(status) + "):\n" +
                           tail(o.output, 6));
      return false;
    }
  }
  return true;
}

void KillRoad::find_rolled_back(std::vector<std::string>& problems) const {
  const Records r = board_->records();
  const int old_slot = 1 - target_;
  if (r.recovery || r.booted != old_slot) {
    problems.push_back("the board runs " + std::string(r.recovery ? "recovery" : "slot ") +
                       letter(r.booted) + ", not the old slot " + letter(old_slot));
  }
  if (const std::string held = slot_content(old_slot); held != "old") {
    problems.push_back("the old slot " + letter(old_slot) + " holds " + held);
  }
  if (!r.misc_valid || !bootable(r.misc.slot_info[old_slot]) ||
      r.misc.slot_info[old_slot].successful_boot() != 1) {
    problems.push_back("the old slot " + letter(old_slot) + " is not bootable and confirmed");
  }
  if (r.misc_valid && r.misc.slot_info[target_].successful_boot() != 0) {
    problems.push_back("the slot that failed its checks, " + letter(target_) +
                       ", is marked confirmed");
  }
  add_idle_end_problems(r, problems);
}

StopResult KillRoad::boot_check_at(bool checks_pass, int earlier_boots, uint64_t n,
                                   uint64_t* writes) {
  StopResult r;
  board_->restore(snapshot(Phase::check));
  for (int boot = 0; boot < earlier_boots; ++boot) {
    const Outcome o = board_->run(boot_check_args(checks_pass));
    if (o.status != 0 && o.status != kBootCheckRolledBack) {
      r.problems.push_back("boot-check at boot " + std::to_string(boot + 1) +
                           " (not traced) failed with status " + std::to_string(o.status) + ":\n" +
                           tail(o.output, 6));
      return r;
    }
    (void)board_->reboot();
  }
  const std::string record = tmp_.file("boot-check.rec");
  std::vector<std::string> argv = {KILLPOINT_EXE, "--record", record};
  if (n != 0) {
    argv.insert(argv.end(), {"--stop-at", std::to_string(n)});
  }
  argv.push_back("--");
  for (auto& a : boot_check_args(checks_pass)) {
    argv.push_back(a);
  }
  const Outcome o = board_->run(argv);
  const auto events = read_record(record);
  if (writes != nullptr) {
    *writes = events.size();
  }
  if (!events.empty() && events.back().ends_with("\tstopped")) {
    r.event = describe(events.back());
  }
  // Only the first boot of a slot that fails its checks rolls back.
  const int expected = n != 0                             ? kStoppedStatus
                       : checks_pass || earlier_boots > 0 ? 0
                                                          : kBootCheckRolledBack;
  if (o.status != expected) {
    r.problems.push_back("boot-check ended with status " + std::to_string(o.status) + " (not " +
                         std::to_string(expected) + ") after " + std::to_string(events.size()) +
                         " writes:\n" + tail(o.output, 6));
    return r;
  }
  int status = o.status;
  if (n == 0) {
    r.after_kill = "not killed";
    r.retry = status == 0 ? "done" : "rolled back";
  } else {
    if (const Outcome b = board_->reboot(); b.status != 0) {
      r.problems.push_back("the reboot after the kill failed:\n" + tail(b.output, 6));
      return r;
    }
    const Records rec = board_->records();
    r.after_kill = rec.recovery ? "recovery" : rec.booted == target_ ? "new slot" : "old slot";
    for (auto& p : ota_road::interrupted_problems(*board_, rec, goal())) {
      r.problems.push_back("after the kill and a reboot: " + p);
    }
    if (rec.recovery) {
      return r;
    }
    // The next boot's boot-check: a reboot has happened already.
    const Outcome next = board_->run(boot_check_args(checks_pass));
    status = next.status;
    r.retry = std::string(status == 0 ? "done" : "rolled back") + " on " + letter(rec.booted);
    if (status != 0 && status != kBootCheckRolledBack) {
      r.problems.push_back("boot-check after the kill failed (status " + std::to_string(status) +
                           "):\n" + tail(next.output, 6));
      return r;
    }
  }
  if (!finish_boot_check(checks_pass, status, r)) {
    return r;
  }
  (void)board_->reboot();
  if (checks_pass) {
    expect_finished(r.problems);
  } else {
    find_rolled_back(r.problems);
  }
  return r;
}

}  // namespace kill_points
