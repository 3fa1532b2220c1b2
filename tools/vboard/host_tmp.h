// What `vboard run` shows of the host's /tmp. The board has a /tmp of its own; of the
// host's it shows only the entries right below /tmp ("/tmp/ci" for
// "/tmp/ci/repo/build/bin/x") that hold the board's directory, the caller's working
// directory, the command's file (an interpreter script's interpreter too), the shared
// libraries these link from /tmp, and each path the caller asks to keep. A program in
// another /tmp folder would be missing on the board, so it is named in an error before
// anything runs rather than found missing half way.
#pragma once

#include <string>
#include <vector>

#include "sys_util.h"

namespace vboard {

struct HostView {
  std::string board_root;         // the board's directory
  std::string cwd;                // the caller's working directory
  std::vector<std::string> argv;  // the command and its arguments
  std::vector<std::string> keep;  // --keep paths
};

// The entry right below /tmp that holds path, or "" when path does not lie below /tmp.
[[nodiscard]] std::string tmp_top(const std::string& path);

// The command's file as the board's execvp will find it: a path with a '/' made
// absolute, a bare name searched in PATH; "" when the host has no such program (it may
// be one of the board's own, such as /usr/mirvo/bin/provision_tool).
[[nodiscard]] std::string locate_command(const std::string& name, const std::string& cwd);

// The files below /tmp that the program at path needs to start: the interpreter of a
// script, and the shared libraries its dynamic section names that the loader finds in
// /tmp (through RPATH, RUNPATH or LD_LIBRARY_PATH), with theirs in turn.
[[nodiscard]] std::vector<std::string> tmp_files_needed(const std::string& path);

// The entries below /tmp to show, or an error naming what the command needs that the
// board would not show (a --keep path that does not exist, a command below /tmp that
// the host does not have, a program below /tmp named in an argument).
[[nodiscard]] Result<std::vector<std::string>> tmp_entries_to_show(const HostView& view);

}  // namespace vboard
