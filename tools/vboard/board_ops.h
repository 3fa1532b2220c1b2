// The four things one does with a virtual board.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "board_dir.h"
#include "power_cut.h"

namespace vboard {

// Makes a new board in dir (which must not exist or be empty), with the device layers
// asked for recorded in it. With a keyring folder, its regular files become the board's
// "/etc/mirvo/ota-keys" (an empty folder gives the empty keyring that refuses everything).
[[nodiscard]] Result<void> create_board(const std::string& dir,
                                        const std::optional<std::string>& layout_file,
                                        const Layers& layers = {},
                                        const std::optional<std::string>& keyring = {});

// Runs argv inside the board; returns argv's exit status (128 + signal if killed). Of
// the host's /tmp the board shows what host_tmp.h says, keep included.
[[nodiscard]] Result<int> run_in_board(const std::string& dir, const std::vector<std::string>& argv,
                                       const std::vector<std::string>& keep = {});

struct RebootOptions {
  bool force_recovery = false;  // boot recovery mode whatever the slots say
};
struct BootResult {
  int slot = 0;  // 0 = a, 1 = b
  bool recovery = false;
  unsigned bootcount = 0;
};
// The boot firmware: carries out the pending flash command, chooses the slot and
// writes the next kernel command line.
[[nodiscard]] Result<BootResult> reboot_board(const std::string& dir, const RebootOptions& opts);

// The board as text, or as one JSON object.
[[nodiscard]] Result<std::string> board_status(const std::string& dir, bool json);

// Cuts the power of a power-cut board's live run (the writes not flushed are lost, the
// run ends) and returns once the run has ended; false: no run was live.
[[nodiscard]] Result<bool> power_cut(const std::string& dir);
// The counts and flush boundaries of a power-cut board's record, as text.
[[nodiscard]] Result<std::string> list_record(const std::string& dir);
// Makes board `out` (which must not exist) a copy of board `base`, the board as it was
// when dir's record began, with the images a power cut at `cut` would have left.
[[nodiscard]] Result<void> build_crash_state(const std::string& dir, const std::string& base,
                                             const std::string& out, const CutPoint& cut);

// The kernel command line the firmware hands to the booted system.
[[nodiscard]] std::string cmdline_text(const BootResult& boot);

}  // namespace vboard
