// vboard: the virtual board. See README.md, "The virtual board".
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "board_ops.h"

namespace {

using vboard::Error;
using vboard::Result;

constexpr const char* kUsage =
    "usage: vboard create DIR [--layout FILE] [--fuse] [--mtd-chardev] [--power-cut]\n"
    "                         [--keyring KEYDIR]\n"
    "       vboard run DIR [--keep PATH]... -- CMD [ARG...]\n"
    "       vboard reboot DIR [--recovery]\n"
    "       vboard status DIR [--json]\n"
    "       vboard power-cut DIR\n"
    "       vboard crash-state DIR --list\n"
    "       vboard crash-state DIR --from BASE --at K [--pending none|all|random|torn]\n"
    "                          [--seed N] OUT\n"
    "       vboard scratch [--layout FILE] [--fuse] [--mtd-chardev] [--power-cut]\n"
    "                      [--keyring KEYDIR] [--keep]\n"
    "                      -- CMD [ARG...]\n"
    "       vboard layout [--gpt-conf] [FILE]\n"
    "Of the host's /tmp, `run` shows only the folders right below /tmp that hold the board,\n"
    "the working directory, the command's file and the libraries it links from /tmp, and\n"
    "each --keep PATH; a program below /tmp named in an argument but not shown is refused.\n"
    "--fuse: the board's images are served through vboard's FUSE server, which logs every\n"
    "flush that reaches them in DIR/fuse.log; --mtd-chardev (implies --fuse): /dev/mtd0 is\n"
    "the server's MTD character device stand-in (MEMGETINFO, MEMERASE, NOR writes).\n"
    "--power-cut (implies --fuse): writes wait in the server's volatile cache until their\n"
    "image is flushed, and every write and flush is recorded in DIR/power-cut.{log,dat};\n"
    "`power-cut` drops the cache of the live run and ends it; `crash-state` makes OUT a\n"
    "copy of board BASE (DIR before its record began) as a cut after K events of DIR's\n"
    "record leaves it, with none, all, a seeded random subset of the writes not flushed,\n"
    "or all but the last, which is torn at 512-byte sectors.\n"
    "--keyring KEYDIR (or --keyring=KEYDIR): the files of KEYDIR become the board's keyring\n"
    "/etc/mirvo/ota-keys (Ed25519 public keys, *.pem); an empty KEYDIR refuses every package.\n";

struct Args {
  std::vector<std::string> plain;    // before "--"
  std::vector<std::string> command;  // after "--"
  std::optional<std::string> layout;
  std::optional<std::string> keyring;   // create, scratch: --keyring DIR
  std::vector<std::string> keep_paths;  // run: --keep PATH
  bool json = false;
  bool recovery = false;
  bool keep = false;
  bool gpt_conf = false;
  vboard::Layers layers;  // create, scratch: --fuse, --mtd-chardev, --power-cut
  // crash-state
  bool list = false;
  std::optional<std::string> from;
  std::optional<size_t> at;
  vboard::Keep pending = vboard::Keep::none;
  uint64_t seed = 0;
};

Result<uint64_t> parse_number(const std::string& opt, const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
    return Error(EINVAL, opt + " needs a number, not \"" + text + "\"");
  }
  return static_cast<uint64_t>(v);
}

// The options of `crash-state`; true when s was one of them.
Result<bool> parse_crash_option(Args& a, const std::string& s, int& i, int argc, char** argv) {
  if (s == "--list") {
    a.list = true;
    return true;
  }
  if (s != "--from" && s != "--at" && s != "--pending" && s != "--seed") {
    return false;
  }
  if (i + 1 >= argc) {
    return Error(EINVAL, s + " needs a value");
  }
  const char* value = argv[++i];
  if (s == "--from") {
    a.from = value;
  } else if (s == "--pending") {
    auto keep = vboard::parse_keep(value);
    if (!keep) {
      return keep.error();
    }
    a.pending = *keep;
  } else {
    auto n = parse_number(s, value);
    if (!n) {
      return n.error();
    }
    if (s == "--at") {
      a.at = static_cast<size_t>(*n);
    } else {
      a.seed = *n;
    }
  }
  return true;
}

// `run` takes --keep PATH; `scratch` takes --keep alone (keep the board afterwards).
Result<Args> parse_args(const std::string& cmd, int argc, char** argv) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--") {
      a.command.assign(argv + i + 1, argv + argc);
      break;
    }
    if (cmd == "crash-state") {
      auto taken = parse_crash_option(a, s, i, argc, argv);
      if (!taken) {
        return taken.error();
      }
      if (*taken) {
        continue;
      }
    }
    if (s == "--layout" && i + 1 < argc) {
      a.layout = argv[++i];
    } else if (s == "--keyring" && (cmd == "create" || cmd == "scratch") && i + 1 < argc) {
      a.keyring = argv[++i];
    } else if (s.rfind("--keyring=", 0) == 0 && (cmd == "create" || cmd == "scratch")) {
      a.keyring = s.substr(10);
    } else if (s == "--json") {
      a.json = true;
    } else if (s == "--recovery") {
      a.recovery = true;
    } else if (s == "--keep" && cmd == "run") {
      if (i + 1 >= argc) {
        return Error(EINVAL, "--keep needs a path");
      }
      a.keep_paths.push_back(argv[++i]);
    } else if (s == "--keep") {
      a.keep = true;
    } else if (s == "--fuse" && (cmd == "create" || cmd == "scratch")) {
      a.layers.fuse = true;
    } else if (s == "--mtd-chardev" && (cmd == "create" || cmd == "scratch")) {
      a.layers.mtd_chardev = true;
    } else if (s == "--power-cut" && (cmd == "create" || cmd == "scratch")) {
      a.layers.power_cut = true;
    } else if (s == "--gpt-conf") {
      a.gpt_conf = true;
    } else if (s.rfind("--", 0) == 0) {
      return Error(EINVAL, "unknown option " + s);
    } else {
      a.plain.push_back(s);
    }
  }
  return a;
}

Result<int> cmd_scratch(const Args& a) {
  char tmpl[] = "/tmp/vboard.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    return ota::tool::errno_error("create a board directory in /tmp");
  }
  const std::string dir = tmpl;
  Result<int> result = Error(EIO, "not run");
  if (auto r = vboard::create_board(dir, a.layout, a.layers, a.keyring); !r) {
    result = r.error();
  } else {
    result = vboard::run_in_board(dir, a.command);
  }
  if (a.keep) {
    std::fprintf(stderr, "vboard scratch: board kept in %s\n", dir.c_str());
  } else {
    (void)vboard::remove_tree(dir);
  }
  return result;
}

Result<int> cmd_layout(const Args& a) {
  auto layout = a.plain.empty() ? Result<ota::board::Layout>(ota::board::default_layout())
                                : ota::board::load_layout(a.plain[0]);
  if (!layout) {
    return layout.error();
  }
  if (a.gpt_conf) {
    std::fputs(ota::board::gpt_conf_text(*layout).c_str(), stdout);
  } else if (a.plain.empty()) {
    std::fputs(std::string(ota::board::default_layout_text()).c_str(), stdout);
  } else {
    // A layout file is checked and shown as placed.
    for (const auto* parts : {&layout->emmc, &layout->nor}) {
      for (const auto& p : *parts) {
        std::printf("%-4s %-14s offset %10llu size %10llu\n",
                    p.medium == ota::board::Medium::emmc ? "emmc" : "nor", p.name.c_str(),
                    static_cast<unsigned long long>(p.offset),
                    static_cast<unsigned long long>(p.device_size()));
      }
    }
  }
  return 0;
}

Result<int> cmd_crash_state(const Args& a) {
  const std::string& dir = a.plain[0];
  if (a.list) {
    auto text = vboard::list_record(dir);
    if (!text) {
      return text.error();
    }
    std::fputs(text->c_str(), stdout);
    return 0;
  }
  if (!a.from || !a.at || a.plain.size() != 2) {
    return Error(EINVAL,
                 std::string("crash-state needs --list, or --from BASE --at K and OUT\n") + kUsage);
  }
  auto r = vboard::build_crash_state(dir, *a.from, a.plain[1], {*a.at, a.pending, a.seed});
  return r ? Result<int>(0) : Result<int>(r.error());
}

Result<int> cmd_power_cut(const std::string& dir) {
  auto cut = vboard::power_cut(dir);
  if (!cut) {
    return cut.error();
  }
  std::fprintf(stderr,
               *cut ? "vboard power-cut: %s lost power\n"
                    : "vboard power-cut: %s is not running: nothing to cut\n",
               dir.c_str());
  return 0;
}

Result<int> dispatch(const std::string& cmd, const Args& a) {
  if (cmd == "scratch") {
    return cmd_scratch(a);
  }
  if (cmd == "layout") {
    return cmd_layout(a);
  }
  if (cmd == "crash-state" && !a.plain.empty()) {
    return cmd_crash_state(a);
  }
  if (a.plain.size() != 1) {
    return Error(EINVAL, std::string("expected one board directory\n") + kUsage);
  }
  const std::string& dir = a.plain[0];
  if (cmd == "power-cut") {
    return cmd_power_cut(dir);
  }
  if (cmd == "create") {
    auto r = vboard::create_board(dir, a.layout, a.layers, a.keyring);
    return r ? Result<int>(0) : Result<int>(r.error());
  }
  if (cmd == "run") {
    return vboard::run_in_board(dir, a.command, a.keep_paths);
  }
  if (cmd == "reboot") {
    auto r = vboard::reboot_board(dir, vboard::RebootOptions{a.recovery});
    if (!r) {
      return r.error();
    }
    std::fputs(vboard::cmdline_text(*r).c_str(), stdout);
    return 0;
  }
  if (cmd == "status") {
    auto r = vboard::board_status(dir, a.json);
    if (!r) {
      return r.error();
    }
    std::fputs(r->c_str(), stdout);
    return 0;
  }
  return Error(EINVAL, "unknown command " + cmd + "\n" + kUsage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string cmd = argv[1];
  auto args = parse_args(cmd, argc, argv);
  Result<int> result = args ? dispatch(cmd, *args) : Result<int>(args.error());
  if (!result) {
    std::fprintf(stderr, "vboard %s: %s\n", cmd.c_str(), result.error().message().c_str());
    // 125: the board failed, as distinct from the command's own status.
    return 125;
  }
  return result.value();
}
