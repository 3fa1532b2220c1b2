// The command line of ota_tool: commands, their argument and options, and the help texts
// that list every one of them.
#pragma once

#include <optional>
#include <string>

namespace ota_tool {

inline constexpr const char* kDefaultHealthDir = "/etc/mirvo/ota-health.d";
inline constexpr int kDefaultCheckTimeoutS = 60;

struct Options {
  std::string command;
  std::string arg;  // the command's argument, empty for commands that take none
  bool help = false;
  bool json = false;
  std::string log_file;
  std::string reboot_cmd;
  std::string health_dir = kDefaultHealthDir;
  int check_timeout_s = kDefaultCheckTimeoutS;
};

struct ParsedLine {
  std::optional<Options> options;  // empty when the line is wrong
  std::string error;               // what is wrong with it
};

// argv[1..argc-1]: "COMMAND [ARG] [OPTIONS]", options anywhere after the command, as
// "--name VALUE" or "--name=VALUE". "--help" alone or after a command asks for help.
[[nodiscard]] ParsedLine parse_command_line(int argc, const char* const* argv);

// Every command with its argument and options, then the exit statuses.
[[nodiscard]] std::string general_help();
// One command's help; empty for an unknown command.
[[nodiscard]] std::string command_help(const std::string& command);

}  // namespace ota_tool
