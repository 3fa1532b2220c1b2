// vboard: the virtual board. See README.md, "The virtual board".
#include <unistd.h>

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
    "usage: vboard create DIR [--layout FILE] [--fuse] [--mtd-chardev]\n"
    "       vboard run DIR [--keep PATH]... -- CMD [ARG...]\n"
    "       vboard reboot DIR [--recovery]\n"
    "       vboard status DIR [--json]\n"
    "       vboard scratch [--layout FILE] [--fuse] [--mtd-chardev] [--keep] -- CMD [ARG...]\n"
    "       vboard layout [--gpt-conf] [FILE]\n"
    "Of the host's /tmp, `run` shows only the folders right below /tmp that hold the board,\n"
    "the working directory, the command's file and the libraries it links from /tmp, and\n"
    "each --keep PATH; a program below /tmp named in an argument but not shown is refused.\n"
    "--fuse: the board's images are served through vboard's FUSE server, which logs every\n"
    "flush that reaches them in DIR/fuse.log; --mtd-chardev (implies --fuse): /dev/mtd0 is\n"
    "the server's MTD character device stand-in (MEMGETINFO, MEMERASE, NOR writes).\n";

struct Args {
  std::vector<std::string> plain;    // before "--"
  std::vector<std::string> command;  // after "--"
  std::optional<std::string> layout;
  std::vector<std::string> keep_paths;  // run: --keep PATH
  bool json = false;
  bool recovery = false;
  bool keep = false;
  bool gpt_conf = false;
  vboard::Layers layers;  // create, scratch: --fuse, --mtd-chardev
};

// `run` takes --keep PATH; `scratch` takes --keep alone (keep the board afterwards).
Result<Args> parse_args(const std::string& cmd, int argc, char** argv) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--") {
      a.command.assign(argv + i + 1, argv + argc);
      break;
    }
    if (s == "--layout" && i + 1 < argc) {
      a.layout = argv[++i];
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
  if (auto r = vboard::create_board(dir, a.layout, a.layers); !r) {
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

Result<int> dispatch(const std::string& cmd, const Args& a) {
  if (cmd == "scratch") {
    return cmd_scratch(a);
  }
  if (cmd == "layout") {
    return cmd_layout(a);
  }
  if (a.plain.size() != 1) {
    return Error(EINVAL, std::string("expected one board directory\n") + kUsage);
  }
  const std::string& dir = a.plain[0];
  if (cmd == "create") {
    auto r = vboard::create_board(dir, a.layout, a.layers);
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
