#include "board_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace vboard {

const CmdTemplate kCmdTemplates[10] = {
    {"misc_write_cmd", CmdType::misc_write, 4096}, {"other_a2b_cmd", CmdType::other_a2b, 200},
    {"other_b2a_cmd", CmdType::other_b2a, 200},    {"hsm_m2b_cmd", CmdType::hsm_m2b, 0},
    {"hsm_b2m_cmd", CmdType::hsm_b2m, 0},          {"aonreg_write_cmd", CmdType::aonreg_write, 0},
    {"mcu_start_ota", CmdType::mcu_start_ota, 0},  {"mcu_post_ota", CmdType::mcu_post_ota, 0},
    {"mcu_abort_ota", CmdType::mcu_abort_ota, 0},  {"mcu_pre_reboot", CmdType::mcu_pre_reboot, 0},
};

const CmdTemplate* find_template(CmdType type) {
  for (const auto& t : kCmdTemplates) {
    if (t.type == type) {
      return &t;
    }
  }
  return nullptr;
}

Result<ota::board::Layout> load_board(const BoardDir& dir) {
  struct stat st {};
  for (const auto& f : {dir.emmc_image(), dir.nor_image(), dir.layout_file()}) {
    if (::stat(f.c_str(), &st) != 0) {
      return std::move(ota::tool::errno_error(f).context("not a virtual board: " + dir.root()));
    }
  }
  return ota::board::load_layout(dir.layout_file());
}

Result<Layers> load_layers(const BoardDir& dir) {
  Layers out;
  if (::access(dir.layers_file().c_str(), F_OK) != 0) {
    return out;  // a board made without layers
  }
  auto text = read_text(dir.layers_file());
  if (!text) {
    return text.error();
  }
  std::istringstream in(*text);
  for (std::string word; in >> word;) {
    if (word == "fuse") {
      out.fuse = true;
    } else if (word == "mtd-chardev") {
      out.fuse = true;
      out.mtd_chardev = true;
    } else if (word == "power-cut") {
      out.fuse = true;
      out.power_cut = true;
    } else {
      return Error(EINVAL, dir.layers_file() + ": unknown device layer \"" + word + "\"");
    }
  }
  return out;
}

Result<void> save_layers(const BoardDir& dir, const Layers& layers) {
  std::string text = layers.fuse || layers.mtd_chardev || layers.power_cut ? "fuse\n" : "";
  if (layers.mtd_chardev) {
    text += "mtd-chardev\n";
  }
  if (layers.power_cut) {
    text += "power-cut\n";
  }
  return write_text(dir.layers_file(), text);
}

}  // namespace vboard
