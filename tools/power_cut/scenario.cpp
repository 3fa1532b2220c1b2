#include "scenario.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "pack_description.h"
#include "packager.h"
#include "recovery_package.h"
#include "road_images.h"

namespace ota_road {

namespace {

using ota_road::kRoadImages;
using ota_road::RoadImage;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
    throw std::runtime_error("write " + path);
  }
}

// Generation g of every road image: the images a package carries differ between
// generations, the others stay as the factory flashed them.
Generation generation(unsigned g) {
  Generation out;
  unsigned seed = 1;
  for (const RoadImage& img : kRoadImages) {
    const unsigned own = img.in_package ? seed + 10 * g : seed;
    out[img.name] = ota_road::road_image_bytes(img.size, own);
    ++seed;
  }
  return out;
}

// The package of the description text, its image files written into folder first. It
// is made afresh each time: a package kept from an earlier build may carry other images.
std::string package(const std::string& folder, const std::string& name, const std::string& text,
                    const Tools& tools) {
  const std::string out = folder + "/" + name;
  std::filesystem::remove(out);
  auto d = ota::pack::parse_description("worker " + tools.ota_process + "\n" + text, folder);
  if (!d) {
    throw std::runtime_error(d.error().message());
  }
  if (auto r = ota::pack::make_package(d.value(), out); !r) {
    throw std::runtime_error(r.error().message());
  }
  return out;
}

// A whole-image package of generation g: every image it carries, and HSM_FW when hsm is
// given.
std::string full_package(const std::string& folder, const std::string& layout,
                         const Generation& gen, unsigned g, const std::string& hsm,
                         const Tools& tools) {
  std::string text = "layout " + layout + "\n";
  for (const RoadImage& img : kRoadImages) {
    if (img.in_package) {
      const std::string file = "gen" + std::to_string(g) + "_" + img.name + ".img";
      write_file(folder + "/" + file, gen.at(img.name));
      text += std::string("part ") + img.name + " " + file + "\n";
    }
  }
  if (!hsm.empty()) {
    write_file(folder + "/gen" + std::to_string(g) + "_HSM_FW.img", hsm);
    // A security partition's old image is dumped before it is rewritten.
    text +=
        "key backup_dir /userdata/ota_bak\npart HSM_FW gen" + std::to_string(g) + "_HSM_FW.img\n";
  }
  return package(folder,
                 "all_in_one_gen" + std::to_string(g) + (hsm.empty() ? "" : "_hsm") + ".zip", text,
                 tools);
}

// The road of one update cycle to slot target, ending in the new slot's first boot and
// the client's steps.
std::vector<Step> cycle_steps(const std::string& target) {
  return {{"update", "$T update $P"}, {"switch", "$T set-slot " + target},
          {"reboot", "$V reboot $D"}, {"check", "$T check"},
          {"confirm", "$T confirm"},  {"sync", "$T sync"},
          {"clear", "$T clear"},      {"last reboot", "$V reboot $D"}};
}

void add_cycle(Scenario& s, const std::string& package, RoadGoal goal) {
  s.cycles.push_back({package, std::move(goal), s.road.size()});
  for (Step& st : cycle_steps(letter(s.cycles.back().goal.target))) {
    s.road.push_back(std::move(st));
  }
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

// The partition tables a board of the layout holds: the first and the last sectors of
// its disk, read from a board made for the purpose.
std::pair<std::string, std::string> disk_tables(const std::string& folder,
                                                const std::string& layout_file,
                                                const Tools& tools) {
  const std::string dir = folder + "/tables.board";
  std::filesystem::remove_all(dir);
  const RoadBoard board(tools.vboard, dir, layout_file);
  std::ifstream in(dir + "/emmc.img", std::ios::binary);
  const auto size = static_cast<uint64_t>(std::filesystem::file_size(dir + "/emmc.img"));
  std::string main_table(kMainTableLen, '\0');
  std::string backup_table(kBackupTableLen, '\0');
  in.read(main_table.data(), static_cast<std::streamsize>(kMainTableLen));
  in.seekg(static_cast<std::streamoff>(size - kBackupTableLen));
  in.read(backup_table.data(), static_cast<std::streamsize>(kBackupTableLen));
  if (!in) {
    throw std::runtime_error("read the partition tables of " + dir);
  }
  std::filesystem::remove_all(dir);
  return {main_table, backup_table};
}

}  // namespace

const std::vector<std::string>& scenario_names() {
  static const std::vector<std::string> names = {"full",   "incremental", "recovery",
                                                 "client", "param",       "twice"};
  return names;
}

Scenario make_scenario(const std::string& name, const std::string& folder,
                       const std::string& layout_file, const Tools& tools) {
  std::filesystem::create_directories(folder);
  Scenario s;
  s.name = name;
  s.gens = {generation(0), generation(1)};
  // Half the partition: the engine's copies of a security partition leave out its tail.
  const std::string hsm = ota_road::road_image_bytes(32 << 10, 90);
  if (name == "full") {
    s.title = "a full system update with eMMC and NOR images";
    add_cycle(s, full_package(folder, layout_file, s.gens[1], 1, "", tools), {s.gens, 1, 1, 0});
  } else if (name == "incremental") {
    s.title = "an incremental update: system as a patch against the running slot";
    // The new system differs from the old in a byte of each 4 KiB block, as a patch
    // release does, so that the patch stays small.
    std::string& next = s.gens[1].at("system");
    next = s.gens[0].at("system");
    for (size_t i = 100; i < next.size(); i += 4096) {
      next[i] = static_cast<char>(next[i] ^ 0x5a);
    }
    std::string text = "layout " + layout_file + "\n";
    for (const RoadImage& img : kRoadImages) {
      if (!img.in_package) {
        continue;
      }
      const std::string n = img.name;
      write_file(folder + "/new_" + n + ".img", s.gens[1].at(n));
      if (n == "system") {
        write_file(folder + "/old_" + n + ".img", s.gens[0].at(n));
        text += "part system new_system.img method=image_diff old=old_system.img\n";
      } else {
        text += "part " + n + " new_" + n + ".img\n";
      }
    }
    add_cycle(s, package(folder, "all_in_one_inc.zip", text, tools), {s.gens, 1, 1, 0});
  } else if (name == "recovery") {
    s.title = "a recovery-mode rewrite of slot a, the NOR flash and the partition tables";
    const std::string plain = full_package(folder, layout_file, s.gens[1], 1, "", tools);
    const auto [main_table, backup_table] = disk_tables(folder, layout_file, tools);
    const std::string staging = folder + "/recovery.staging";
    std::filesystem::remove_all(staging);
    std::filesystem::create_directories(staging);
    const std::string pkg = folder + "/all_in_one_rec.zip";
    std::filesystem::remove(pkg);
    make_recovery_package(plain, pkg, staging, main_table, backup_table);
    std::filesystem::remove_all(staging);
    // The rewrite switches to slot a itself; the sync then copies what it wrote to b.
    s.cycles.push_back({pkg, {s.gens, 0, 1, 1}, 0, 0, "$V reboot --recovery $D; $T update $P"});
    s.road = {{"recovery boot", "$V reboot --recovery $D"},
              {"update", "$T update $P"},
              {"reboot", "$V reboot $D"},
              {"check", "$T check"},
              {"confirm", "$T confirm"},
              {"sync", "$T sync"},
              {"clear", "$T clear"},
              {"last reboot", "$V reboot $D"}};
  } else if (name == "client") {
    s.title = "the client road after the reboot: check, confirm, sync with backup copies, clear";
    const std::string pkg = full_package(folder, layout_file, s.gens[1], 1, hsm, tools);
    s.setup = {{"update", "$T update $P"}, {"switch", "$T set-slot b"}};
    s.cycles.push_back({pkg, {s.gens, 1, 1, 0}, 0, 2});
    auto steps = cycle_steps("b");
    s.road.assign(steps.begin() + 2, steps.end());
    s.bak_new = {{"HSM_FW", hsm}, {"HSM_FW_bak", hsm}};
  } else if (name == "param") {
    s.title = "a parameter-partition update";
    s.param_old = "volume=3\nbrightness=40\n";
    s.param_new = "volume=7\nbrightness=65\nlocale=de\n";
    write_file(folder + "/app_param", s.param_new);
    write_file(folder + "/param_update.sh", "#!/bin/sh\ncp \"$1\" \"$2/app_param\"\n");
    const std::string pkg =
        package(folder, "board_param.zip",
                "layout " + layout_file +
                    "\nfile app_param app_param\nfile param_update.sh param_update.sh\n",
                tools);
    // Both slots' parameter partitions hold the old file before the record starts.
    std::string put;
    for (const char* slot : {"a", "b"}) {
      put += std::string("m=$(mktemp -d); mount /dev/block/platform/by-name/app_param_") + slot +
             " $m; printf %s " + quote(s.param_old) + " > $m/app_param; umount $m; rmdir $m; ";
    }
    s.setup = {{"param files", put + "sync"}};
    s.gens = {s.gens[0]};
    add_cycle(s, pkg, {s.gens, 1, 0, 0});
  } else if (name == "twice") {
    s.title = "two update cycles on one board: to slot b, then back to slot a";
    s.gens.push_back(generation(2));
    add_cycle(s, full_package(folder, layout_file, s.gens[1], 1, "", tools), {s.gens, 1, 1, 0});
    add_cycle(s, full_package(folder, layout_file, s.gens[2], 2, "", tools), {s.gens, 0, 2, 1});
  } else {
    throw std::runtime_error("no scenario \"" + name + "\"");
  }
  return s;
}

std::string road_script(const Scenario& s, size_t first, size_t last, const Tools& tools,
                        const std::string& marks) {
  std::string out =
      "set -e; T=" + quote(tools.ota_tool) + "; V=" + quote(tools.vboard) + "; D=\"$VBOARD_DIR\"; ";
  for (size_t i = first; i < last; ++i) {
    size_t c = 0;
    while (c + 1 < s.cycles.size() && s.cycles[c + 1].first_step <= i) {
      ++c;
    }
    out += "P=" + quote(s.cycles[c].package) + "; ";
    if (!marks.empty()) {
      out += "echo " + std::to_string(i) + " $(wc -l < \"$D/power-cut.log\") >> " + quote(marks) +
             "; ";
    }
    out += s.road[i].shell + "; ";
  }
  return out;
}

std::string finish_script(const Scenario& s, size_t cycle, int at, Resume from,
                          const Tools& tools) {
  const Cycle& c = s.cycles[cycle];
  const std::string x = letter(c.goal.target);
  static const char* const kClient[] = {"check", "confirm", "sync", "clear"};
  std::string out = "set -e; T=" + quote(tools.ota_tool) + "; V=" + quote(tools.vboard) +
                    "; D=\"$VBOARD_DIR\"; P=" + quote(c.package) + "; ";
  if (from != Resume::client) {
    // The same update again (after a clear when a half-done one blocks it), unless the
    // update is on record and only its switch is missing.
    const std::string update =
        "{ " + c.update + "; } || { $T clear; " + c.update + "; }; $T set-slot " + x + "; ";
    out += from == Resume::update ? update : "if ! $T set-slot " + x + "; then " + update + "fi; ";
    out += "$V reboot $D; grep -q 'slot_suffix=_" + x +
           " ' /proc/cmdline || { echo 'the switch and a reboot left the board on slot " +
           letter(1 - c.goal.target) + "'; exit 9; }; ";
    at = 3;
  }
  for (int i = std::max(at - 3, 0); i < 4; ++i) {
    out += std::string("$T ") + kClient[i] + "; ";
  }
  out += "$V reboot $D; ";
  if (cycle + 1 < s.cycles.size()) {
    out += road_script(s, s.cycles[cycle + 1].first_step, s.road.size(), tools, "");
  }
  return out;
}

}  // namespace ota_road
