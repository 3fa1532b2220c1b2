// A full system update cut at sampled moments. The road (update, switch, reboot, check,
// confirm, sync, clear, reboot) runs once on a power-cut board, recorded; then for every
// flush boundary of the record and a seeded sample of other moments the board a cut
// there leaves is rebuilt, booted by the firmware and checked: it boots a slot holding
// wholly the old or wholly the new images, no slot marked bootable holds a mix, and a
// record that says the new slot was written is true.
//
// POWER_CUT_STATES: how many sampled states besides the flush boundaries (default 40);
// POWER_CUT_SEED: the sample's seed (default: from the clock, printed). A sanitizer
// build checks a small fixed sample: every tenth boundary, 5 states, seed 1;
// POWER_CUT_REPLAY: a file of states ("K MODE SEED" lines, as a failure saves them) to
// check again on the record the last run kept, instead of recording and sampling.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "board_layout.h"
#include "boot_control.h"
#include "crc.h"
#include "pack_description.h"
#include "packager.h"
#include "road_images.h"
#include "road_record.h"
#include "test_support.h"
#include "veeprom_flag.h"

namespace {

using ota_test::shell_output;

using ota_test::kRoadImages;
using ota_test::RoadImage;

std::string quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command; its output, with the status required to be 0.
std::string must(const std::string& cmd) {
  int status = 0;
  std::string out = shell_output(cmd + " 2>&1", &status);
  if (status != 0) {
    throw std::runtime_error(cmd + " failed with status " + std::to_string(status) + ":\n" + out);
  }
  return out;
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

// One crash state: a cut after `events` events, with the unflushed writes kept as
// `mode` says (the words of vboard crash-state --pending).
struct State {
  size_t events = 0;
  std::string mode = "none";
  uint64_t seed = 0;

  [[nodiscard]] std::string text() const {
    return std::to_string(events) + " " + mode + " " + std::to_string(seed);
  }
};

// A board directory's records and slots, read from its image files.
class BoardView {
 public:
  BoardView(std::string dir, const ota::board::Layout& layout)
      : dir_(std::move(dir)), layout_(layout) {}

  [[nodiscard]] std::string part(const std::string& name, size_t len) const {
    const auto* p = layout_.find(name);
    if (p == nullptr) {
      throw std::runtime_error("no partition " + name);
    }
    const std::string image =
        dir_ + (p->medium == ota::board::Medium::emmc ? "/emmc.img" : "/nor.img");
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(p->offset));
    std::string out(len, '\0');
    if (!in.read(out.data(), static_cast<std::streamsize>(len))) {
      throw std::runtime_error("read " + name + " from " + image);
    }
    return out;
  }

  // "old", "new", or which partitions hold neither.
  [[nodiscard]] std::string slot_content(int slot, const std::map<std::string, std::string>& old,
                                         const std::map<std::string, std::string>& fresh) const {
    bool all_old = true;
    bool all_new = true;
    std::string parts;
    for (const auto& [name, want_new] : fresh) {
      const std::string have = part(name + (slot == 0 ? "_a" : "_b"), want_new.size());
      const bool is_new = have == want_new;
      const bool is_old = have == old.at(name);
      all_old = all_old && is_old;
      all_new = all_new && is_new;
      parts += " " + name + (is_new ? (is_old ? " same" : " new") : is_old ? " old" : " other");
    }
    return all_new ? "new" : all_old ? "old" : "a mix:" + parts;
  }

  [[nodiscard]] std::string cmdline() const { return ota_test::read_file(dir_ + "/cmdline"); }

  [[nodiscard]] bool misc(bootloader_control* ctrl) const {
    const std::string m = part("misc", BOOT_CTRL_OFFSET + sizeof(bootloader_control));
    const auto* raw = reinterpret_cast<const uint8_t*>(m.data()) + BOOT_CTRL_OFFSET;
    (void)decode(std::span<const uint8_t>(raw, sizeof(bootloader_control)), ctrl);
    return ctrl->magic == BOOT_CTRL_MAGIC && CRC32(raw, BOOT_CTRL_CRC_LEN) == ctrl->crc32_le;
  }

  [[nodiscard]] bool status(ota_status_t* st) const {
    const std::string v = part("veeprom", OTA_STATUS_OFFSET + sizeof(ota_status_t));
    const auto* raw = reinterpret_cast<const uint8_t*>(v.data()) + OTA_STATUS_OFFSET;
    (void)decode(std::span<const uint8_t>(raw, sizeof(ota_status_t)), st);
    return st->magic == OTA_STATUS_MAGIC && ota_status_crc(*st) == st->crc32_le;
  }

  [[nodiscard]] bool road(ota_road_record_t* rec) const {
    const std::string v = part("veeprom", OTA_ROAD_OFFSETS[1] + sizeof(ota_road_record_t));
    const auto* raw = reinterpret_cast<const uint8_t*>(v.data());
    return ota_road_pick(std::span<const uint8_t>(raw + OTA_ROAD_OFFSETS[0], 256),
                         std::span<const uint8_t>(raw + OTA_ROAD_OFFSETS[1], 256), rec) >= 0;
  }

 private:
  std::string dir_;
  const ota::board::Layout& layout_;
};

#ifdef POWER_CUT_SMALL_SAMPLE
constexpr size_t kBoundaryStep = 10;
constexpr const char* kDefaultStates = "5";
constexpr const char* kDefaultSeed = "1";
#else
constexpr size_t kBoundaryStep = 1;
constexpr const char* kDefaultStates = "40";
constexpr const char* kDefaultSeed = "";  // from the clock
#endif

bool bootable(const slot_metadata& s) {
  return s.priority() > 0 && s.tries_remaining() > 0 && s.verity_corrupted() == 0;
}

class UpdateRoad {
 public:
  explicit UpdateRoad(std::string folder)
      : folder_(std::move(folder)), layout_(ota::board::load_layout(POWER_CUT_LAYOUT).value()) {
    unsigned seed = 1;
    for (const RoadImage& img : kRoadImages) {
      old_[img.name] = ota_test::road_image_bytes(img.size, seed++);
      new_[img.name] =
          img.in_package ? ota_test::road_image_bytes(img.size, seed++) : old_[img.name];
    }
  }

  [[nodiscard]] std::string board() const { return folder_ + "/board"; }
  [[nodiscard]] std::string base() const { return folder_ + "/base"; }

  // The factory flashes the old generation into both slots and slot a is confirmed;
  // the board is copied as it is then, and the road runs once, recorded.
  void record() {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    must(std::string(VBOARD_EXE) + " create " + board() + " --layout " POWER_CUT_LAYOUT +
         " --power-cut");
    std::string desc = "layout " POWER_CUT_LAYOUT "\nworker " OTA_PROCESS_EXE "\n";
    for (const RoadImage& img : kRoadImages) {
      for (const char* slot : {"_a", "_b"}) {
        flash(img.name + std::string(slot), old_[img.name]);
      }
      if (img.in_package) {
        ota_test::write_file(folder_ + "/new_" + img.name + ".img", new_[img.name]);
        desc += std::string("part ") + img.name + " new_" + img.name + ".img\n";
      }
    }
    auto d = ota::pack::parse_description(desc, folder_);
    if (!d) {
      throw std::runtime_error(d.error().message());
    }
    if (auto r = ota::pack::make_package(d.value(), package()); !r) {
      throw std::runtime_error(r.error().message());
    }
    must(std::string(VBOARD_EXE) + " run " + board() + " -- " OTA_TOOL_EXE " confirm");
    must(std::string(VBOARD_EXE) + " reboot " + board());
    std::filesystem::remove(board() + "/power-cut.log");
    std::filesystem::remove(board() + "/power-cut.dat");
    must("cp -a --sparse=always " + board() + " " + base());
    const std::string road =
        "set -e; T=" OTA_TOOL_EXE "; V=" VBOARD_EXE
        "; $T update $0; $T set-slot b; $V reboot $VBOARD_DIR; $T check; $T confirm; $T sync; "
        "$T clear; $V reboot $VBOARD_DIR";
    must(std::string(VBOARD_EXE) + " run " + board() + " -- sh -c " + quote(road) + " " +
         package());
  }

  // The end of the recorded road: the new slot runs, confirmed and holding the new images.
  [[nodiscard]] std::vector<std::string> finished() const {
    std::vector<std::string> problems;
    const BoardView view(board(), layout_);
    if (view.cmdline().find("slot_suffix=_b mirvoboot.mode=normal") == std::string::npos) {
      problems.push_back("the recorded road ends on " + view.cmdline());
    }
    if (const std::string c = view.slot_content(1, old_, new_); c != "new") {
      problems.push_back("the recorded road leaves slot b holding " + c);
    }
    return problems;
  }

  [[nodiscard]] std::vector<size_t> boundaries(size_t* events) const {
    std::istringstream in(must(std::string(VBOARD_EXE) + " crash-state " + board() + " --list"));
    std::string word;
    in >> word >> *events;
    std::vector<size_t> out;
    for (std::string line; std::getline(in, line);) {
      size_t k = 0;
      if (std::sscanf(line.c_str(), "flush %zu", &k) == 1) {
        out.push_back(k);
      }
    }
    return out;
  }

  // What is wrong with the board a cut at `s` leaves, once the firmware booted it; *seen
  // says what it showed (the booted slot, slot b's content, the road's phase).
  // tamper, when given, changes the rebuilt board before it boots.
  [[nodiscard]] std::vector<std::string> check(
      const State& s, std::string* seen,
      const std::function<void(const std::string&)>& tamper = nullptr) const {
    const std::string out = folder_ + "/state";
    std::filesystem::remove_all(out);
    must(std::string(VBOARD_EXE) + " crash-state " + board() + " --from " + base() + " --at " +
         std::to_string(s.events) + " --pending " + s.mode + " --seed " + std::to_string(s.seed) +
         " " + out);
    if (tamper) {
      tamper(out);
    }
    std::vector<std::string> problems;
    int status = 0;
    const std::string boot =
        shell_output(std::string(VBOARD_EXE) + " reboot " + out + " 2>&1", &status);
    if (status != 0) {
      problems.push_back("the firmware failed: " + boot);
      return problems;
    }
    const BoardView view(out, layout_);
    if (boot.find("mode=recovery") != std::string::npos) {
      problems.push_back("no slot left to boot: recovery mode");
      return problems;
    }
    const int booted = boot.find("slot_suffix=_b") != std::string::npos ? 1 : 0;
    bootloader_control ctrl{};
    const bool misc_valid = view.misc(&ctrl);
    for (int slot = 0; slot < 2; ++slot) {
      if (slot != booted && !(misc_valid && bootable(ctrl.slot_info[slot]))) {
        continue;
      }
      if (const std::string c = view.slot_content(slot, old_, new_); c != "old" && c != "new") {
        problems.push_back(std::string("slot ") + (slot == 0 ? "a" : "b") +
                           (slot == booted ? " boots" : " is bootable") + " holding " + c);
      }
    }
    // A record saying slot b was written and proven must be true.
    const std::string b = view.slot_content(1, old_, new_);
    ota_status_t st{};
    if (view.status(&st) && (st.up == OTA_FLAG_VERIFY || st.up == OTA_FLAG_VERIFIED) &&
        st.next_slot == 1 && b != "new") {
      problems.push_back("the status record says slot b was written, but it holds " + b);
    }
    ota_road_record_t road{};
    const bool road_valid = view.road(&road);
    *seen = std::string("boots ") + (booted == 0 ? "a" : "b") + ", b " +
            (b.rfind("a mix", 0) == 0 ? "mixed" : b) + ", road " +
            (road_valid ? ota_road_phase_name(road.phase) : "none");
    if (road_valid && road.phase >= OTA_ROAD_WRITTEN && road.target_slot == 1 && b != "new") {
      problems.push_back(std::string("the road record is ") + ota_road_phase_name(road.phase) +
                         " for slot b, but it holds " + b);
    }
    std::filesystem::remove_all(out);
    return problems;
  }

  // Keeps a failing state for scripts/power-cut.sh --replay.
  void save_failure(const State& s) const {
    std::ofstream(folder_ + "/failed.txt", std::ios::app) << s.text() << "\n";
  }

  // Writes bytes at the start of a partition of the board in dir, as the factory does.
  void flash(const std::string& part, const std::string& bytes, const std::string& dir = "") const {
    const auto* p = layout_.find(part);
    const std::string image = (dir.empty() ? board() : dir) +
                              (p->medium == ota::board::Medium::emmc ? "/emmc.img" : "/nor.img");
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(p->offset));
    if (!f.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !f.flush()) {
      throw std::runtime_error("flash " + part);
    }
  }

 private:
  [[nodiscard]] std::string package() const { return folder_ + "/all_in_one_new.zip"; }

  std::string folder_;
  ota::board::Layout layout_;
  std::map<std::string, std::string> old_;
  std::map<std::string, std::string> new_;
};

// The flush boundaries, then `count` other states drawn with `seed`: any moment, with
// the unflushed writes kept as a random subset, all of them, or torn.
std::vector<State> sample(size_t events, const std::vector<size_t>& boundaries, size_t count,
                          uint64_t seed) {
  std::vector<State> out;
  for (size_t i = 0; i < boundaries.size(); i += kBoundaryStep) {
    out.push_back({boundaries[i], "none", 0});
  }
  std::mt19937_64 rng(seed);
  const char* const modes[] = {"random", "torn", "all"};
  for (size_t i = 0; i < count; ++i) {
    out.push_back({1 + rng() % events, modes[i % 3], rng()});
  }
  return out;
}

std::vector<State> load_states(const std::string& file) {
  std::vector<State> out;
  std::ifstream in(file);
  State s;
  while (in >> s.events >> s.mode >> s.seed) {
    out.push_back(s);
  }
  if (out.empty()) {
    throw std::runtime_error("no states in " + file);
  }
  return out;
}

TEST(PowerCutRoad, EveryFlushBoundaryAndASampleOfCutsBootAWholeSlot) {
  UpdateRoad road(POWER_CUT_FOLDER);
  const std::string replay = env_or("POWER_CUT_REPLAY", "");
  std::vector<State> states;
  if (replay.empty()) {
    road.record();
    const auto unfinished = road.finished();
    ASSERT_TRUE(unfinished.empty()) << unfinished.front();
    size_t events = 0;
    const auto boundaries = road.boundaries(&events);
    ASSERT_GT(events, 0U);
    const auto now = std::chrono::system_clock::now().time_since_epoch().count();
    const std::string clock_seed = std::to_string(now % 1000000);
    const uint64_t seed =
        std::stoull(env_or("POWER_CUT_SEED", *kDefaultSeed != '\0' ? kDefaultSeed : clock_seed));
    const size_t count = std::stoul(env_or("POWER_CUT_STATES", kDefaultStates));
    // The check itself finds a slot that boots half written: the end of the road with
    // a block of system_b overwritten.
    std::string what;
    const auto caught = road.check({events, "all", 0}, &what, [&](const std::string& dir) {
      road.flash("system_b", std::string(4096, 'X'), dir);
    });
    ASSERT_FALSE(caught.empty()) << "a torn slot b passed the check: " << what;
    EXPECT_NE(caught.front().find("slot b boots holding a mix"), std::string::npos)
        << caught.front();
    std::printf("record: %zu events, %zu flush boundaries; sample of %zu with seed %llu\n", events,
                boundaries.size(), count, static_cast<unsigned long long>(seed));
    states = sample(events, boundaries, count, seed);
  } else {
    states = load_states(replay);
    std::printf("replaying %zu states of %s on the record in %s\n", states.size(), replay.c_str(),
                POWER_CUT_FOLDER);
  }
  size_t failed = 0;
  std::map<std::string, size_t> seen;  // what the states showed, for the coverage line
  for (const State& s : states) {
    std::string what = "no boot";
    const auto problems = road.check(s, &what);
    ++seen[what];
    if (problems.empty()) {
      continue;
    }
    ++failed;
    road.save_failure(s);
    std::string text;
    for (const auto& p : problems) {
      text += "\n  " + p;
    }
    ADD_FAILURE() << "cut after " << s.events << " events, pending writes " << s.mode << " (seed "
                  << s.seed << "):" << text;
  }
  for (const auto& [what, n] : seen) {
    std::printf("  %4zu states: %s\n", n, what.c_str());
  }
  std::printf("%zu crash states checked, %zu failed%s\n", states.size(), failed,
              failed == 0 ? "" : " (kept in " POWER_CUT_FOLDER "/failed.txt)");
}

}  // namespace
