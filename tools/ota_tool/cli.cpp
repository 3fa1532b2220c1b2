#include "cli.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace ota_tool {

namespace {

enum OptionBit : unsigned {
  kOptLog = 1U << 0,
  kOptJson = 1U << 1,
  kOptRebootCmd = 1U << 2,
  kOptHealthDir = 1U << 3,
  kOptCheckTimeout = 1U << 4,
};

struct OptionInfo {
  OptionBit bit;
  const char* name;
  const char* value;  // nullptr for a flag
  const char* text;
};

constexpr std::array<OptionInfo, 5> kOptionTable = {{
    {kOptLog, "--log", "FILE",
     "append the engine's own output (its log lines, the worker's and its commands')\n"
     "                       to FILE; without it they go to the system log only"},
    {kOptJson, "--json", nullptr,
     "print JSON objects instead of text (README \"ota_tool --json\")"},
    {kOptRebootCmd, "--reboot-cmd", "CMD",
     "shell command that reboots the board after a rollback (none: the board\n"
     "                       boots the old slot at its next reboot)"},
    {kOptHealthDir, "--health-dir", "DIR",
     "folder of health-check executables (default /etc/mirvo/ota-health.d)"},
    {kOptCheckTimeout, "--check-timeout", "S",
     "seconds each health check may run before it counts as failed (default 60)"},
}};

struct CommandInfo {
  const char* name;
  const char* arg;  // nullptr: no argument
  const char* text;
  unsigned options;
};

constexpr std::array<CommandInfo, 12> kCommands = {{
    {"update", "PKG[;PKG...]", "run an update from absolute package paths", kOptLog | kOptJson},
    {"set-slot", "a|b", "boot this slot next", kOptLog},
    {"check", nullptr, "after the reboot: did the update take?", kOptLog},
    {"confirm", nullptr, "mark the running slot as good", kOptLog},
    {"sync", nullptr, "copy updated partitions to the other slot and the backups", kOptLog},
    {"clear", nullptr, "return the board to the no-update state", kOptLog},
    {"boot-check", nullptr,
     "once per boot: run the health checks of a new slot, then confirm, sync and\n"
     "                       clear, or send the board back to the old slot",
     kOptLog | kOptRebootCmd | kOptHealthDir | kOptCheckTimeout},
    {"notify-mcu", "start|post|abort|pre-reboot", "send a notice to the microcontroller", kOptLog},
    {"slot", nullptr, "the booted slot", kOptLog},
    {"version", nullptr, "the library version", 0},
    {"status", nullptr, "the road state, then the board's update records decoded",
     kOptLog | kOptJson},
    {"help", "[COMMAND]", "this text, or one command's", 0},
}};

constexpr const char* kExitTable =
    "exit status:\n"
    "  0  done (boot-check: nothing pending, or the update confirmed)\n"
    "  1  the operation failed (the library's code and name are printed)\n"
    "  2  usage error\n"
    "  5  boot-check rolled back to the old slot and asked for a reboot\n";

const CommandInfo* find_command(std::string_view name) {
  for (const CommandInfo& c : kCommands) {
    if (name == c.name) {
      return &c;
    }
  }
  return nullptr;
}

// The name column of the help: padded to the text's column, or on a line of its own.
std::string column(std::string head) {
  constexpr size_t kTextColumn = 23;
  if (head.size() >= kTextColumn) {
    return head + "\n" + std::string(kTextColumn, ' ');
  }
  head.resize(kTextColumn, ' ');
  return head;
}

std::string synopsis(const CommandInfo& c) {
  std::string line = std::string("ota_tool ") + c.name;
  if (c.arg != nullptr) {
    line += std::string(" ") + c.arg;
  }
  for (const OptionInfo& o : kOptionTable) {
    if ((c.options & o.bit) != 0) {
      line +=
          std::string(" [") + o.name + (o.value != nullptr ? std::string(" ") + o.value : "") + "]";
    }
  }
  return line;
}

std::string option_lines(unsigned mask) {
  std::string text;
  for (const OptionInfo& o : kOptionTable) {
    if ((mask & o.bit) == 0) {
      continue;
    }
    std::string head =
        std::string("  ") + o.name + (o.value != nullptr ? std::string(" ") + o.value : "");
    text += column(head) + o.text + "\n";
  }
  return text;
}

// Stores the value of one option; an error text when it is not acceptable.
std::string apply_option(const OptionInfo& o, const std::string& value, Options* out) {
  switch (o.bit) {
    case kOptLog:
      out->log_file = value;
      return value.empty() ? "--log needs a file name" : "";
    case kOptJson:
      out->json = true;
      return "";
    case kOptRebootCmd:
      out->reboot_cmd = value;
      return "";
    case kOptHealthDir:
      out->health_dir = value;
      return value.empty() ? "--health-dir needs a folder" : "";
    case kOptCheckTimeout: {
      char* end = nullptr;
      const long s = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || s < 1 || s > 86400) {
        return "--check-timeout takes whole seconds from 1 to 86400, not '" + value + "'";
      }
      out->check_timeout_s = static_cast<int>(s);
      return "";
    }
  }
  return "unknown option";
}

// One option at argv[*i] (advancing *i past its value); an error text when wrong.
std::string take_option(const CommandInfo& c, int argc, const char* const* argv, int* i,
                        Options* out) {
  const std::string word = argv[*i];
  const size_t eq = word.find('=');
  const std::string name = word.substr(0, eq);
  for (const OptionInfo& o : kOptionTable) {
    if (name != o.name) {
      continue;
    }
    if ((c.options & o.bit) == 0) {
      return std::string(c.name) + " takes no option " + name;
    }
    if (o.value == nullptr) {
      return eq == std::string::npos ? apply_option(o, "", out) : name + " takes no value";
    }
    if (eq != std::string::npos) {
      return apply_option(o, word.substr(eq + 1), out);
    }
    if (*i + 1 >= argc) {
      return name + " needs a value (" + o.value + ")";
    }
    ++*i;
    return apply_option(o, argv[*i], out);
  }
  return "unknown option " + name;
}

ParsedLine wrong(std::string why) { return {std::nullopt, std::move(why)}; }

}  // namespace

ParsedLine parse_command_line(int argc, const char* const* argv) {
  if (argc < 2) {
    return wrong("no command given");
  }
  Options out;
  const std::string first = argv[1];
  if (first == "-h" || first == "--help") {
    out.help = true;
    return {out, ""};
  }
  const CommandInfo* c = find_command(first);
  if (c == nullptr) {
    return wrong("unknown command '" + first + "'");
  }
  out.command = c->name;
  bool have_arg = false;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-h" || word == "--help") {
      out.help = true;
      continue;
    }
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
      if (std::string why = take_option(*c, argc, argv, &i, &out); !why.empty()) {
        return wrong(why);
      }
      continue;
    }
    if (c->arg == nullptr || have_arg) {
      return wrong(std::string(c->name) + ": unexpected argument '" + word + "'");
    }
    out.arg = word;
    have_arg = true;
  }
  if (out.command == "help") {
    if (have_arg && find_command(out.arg) == nullptr) {
      return wrong("unknown command '" + out.arg + "'");
    }
    out.help = true;
    out.command = out.arg;
    out.arg.clear();
    return {out, ""};
  }
  if (!out.help && c->arg != nullptr && !have_arg) {
    return wrong(std::string(c->name) + " needs " + c->arg);
  }
  return {out, ""};
}

std::string general_help() {
  std::string text =
      "usage: ota_tool COMMAND [ARG] [OPTIONS]   (ota_tool COMMAND --help for one)\n";
  for (const CommandInfo& c : kCommands) {
    std::string head =
        std::string("  ") + c.name + (c.arg != nullptr ? std::string(" ") + c.arg : "");
    text += column(head) + c.text + "\n";
  }
  text += "options:\n";
  unsigned all = 0;
  for (const OptionInfo& o : kOptionTable) {
    all |= o.bit;
  }
  text += option_lines(all);
  text += "  -h, --help           this text; after a command, that command's help\n";
  for (const CommandInfo& c : kCommands) {
    if (c.options != 0) {
      text += "  " + synopsis(c) + "\n";
    }
  }
  return text + kExitTable;
}

std::string command_help(const std::string& command) {
  const CommandInfo* c = find_command(command);
  if (c == nullptr) {
    return "";
  }
  std::string text = "usage: " + synopsis(*c) + "\n  " + c->text + "\n";
  if (c->options != 0) {
    text += "options:\n" + option_lines(c->options);
  }
  return text + kExitTable;
}

}  // namespace ota_tool
