// The files of one virtual board inside its directory. A board is its directory:
// everything `vboard create` makes and every later state lives there.
#pragma once

#include <string>
#include <vector>

#include "board_layout.h"
#include "sys_util.h"

namespace vboard {

// Flash command kinds of the board's templates (the "cmdtype" word).
enum class CmdType : uint32_t {
  misc_write = 1,
  other_a2b = 2,
  other_b2a = 3,
  hsm_m2b = 4,
  hsm_b2m = 5,
  aonreg_write = 6,
  mcu_start_ota = 7,
  mcu_post_ota = 8,
  mcu_abort_ota = 9,
  mcu_pre_reboot = 10,
};

struct CmdTemplate {
  const char* name;
  CmdType type;
  uint32_t data_size;  // the word at offset 12: size of the data area
};
// Every command of the flash command table, with its template's data area.
extern const CmdTemplate kCmdTemplates[10];
[[nodiscard]] const CmdTemplate* find_template(CmdType type);

// Where the work directory lives on the board, and so where userdata is mounted.
inline constexpr const char* kDeployDir = "/userdata/ota";
inline constexpr const char* kUserdataMount = "/userdata";

class BoardDir {
 public:
  explicit BoardDir(std::string root) : root_(std::move(root)) {}

  [[nodiscard]] const std::string& root() const { return root_; }
  [[nodiscard]] std::string path(const std::string& name) const { return root_ + "/" + name; }
  [[nodiscard]] std::string layout_file() const { return path("board.layout"); }
  [[nodiscard]] std::string emmc_image() const { return path("emmc.img"); }
  [[nodiscard]] std::string nor_image() const { return path("nor.img"); }
  [[nodiscard]] std::string cmdline() const { return path("cmdline"); }
  [[nodiscard]] std::string console() const { return path("console.log"); }
  [[nodiscard]] std::string firmware_log() const { return path("firmware.log"); }
  [[nodiscard]] std::string firmware_state() const { return path("firmware.state"); }
  [[nodiscard]] std::string firmware_lock() const { return path("firmware.lock"); }
  [[nodiscard]] std::string run_lock() const { return path("run.lock"); }
  // Files laid over the board's root file system (/usr/mirvo, /etc/runtime_config).
  [[nodiscard]] std::string overlay(const std::string& top) const { return path("root/" + top); }
  [[nodiscard]] std::string overlay_work(const std::string& top) const {
    return path(".work/" + top);
  }
  [[nodiscard]] std::string sys_class(const std::string& cls) const {
    return path("sys/class/" + cls);
  }
  [[nodiscard]] std::string mount_root() const { return path(".root"); }
  // The optional device layers the board was made with (vboard create --fuse).
  [[nodiscard]] std::string layers_file() const { return path("layers"); }
  // Where the FUSE server shows the served images, and its log of flushes.
  [[nodiscard]] std::string fuse_mount() const { return path(".fuse"); }
  [[nodiscard]] std::string fuse_log() const { return path("fuse.log"); }
  // A power-cut board's record of writes and flushes, and the written bytes.
  [[nodiscard]] std::string record_log() const { return path("power-cut.log"); }
  [[nodiscard]] std::string record_data() const { return path("power-cut.dat"); }
  // Writing to this served file cuts the power of the running board.
  [[nodiscard]] std::string cut_file() const { return fuse_mount() + "/.power-cut"; }
  // Every file the board's loop devices may be attached to: the images, and their
  // served views while a FUSE server shows them.
  [[nodiscard]] std::vector<std::string> image_paths() const {
    return {emmc_image(), nor_image(), fuse_mount() + "/emmc.img", fuse_mount() + "/nor.img"};
  }

 private:
  std::string root_;
};

// Opens an existing board: its directory must hold a layout and both images.
[[nodiscard]] Result<ota::board::Layout> load_board(const BoardDir& dir);

// The optional device layers a board asks for, one word a line in its "layers" file:
// "fuse" serves the images through our FUSE server (see fuse_layer.h); "mtd-chardev"
// (which implies "fuse") makes "/dev/mtd0" the server's MTD character device stand-in
// instead of a block device over the whole NOR image; "power-cut" (which implies
// "fuse") gives the images a volatile write cache and records every write and flush.
struct Layers {
  bool fuse = false;
  bool mtd_chardev = false;
  bool power_cut = false;
};
[[nodiscard]] Result<Layers> load_layers(const BoardDir& dir);
[[nodiscard]] Result<void> save_layers(const BoardDir& dir, const Layers& layers);

}  // namespace vboard
