// ota_tool: the operator's command line over the client library.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "board_status.h"
#include "boot_check.h"
#include "cli.h"
#include "engine_output.h"
#include "error_names.h"
#include "exit_status.h"
#include "json_report.h"
#include "mirvo_ota_hl.h"
#include "tool_log.h"

namespace {

using ota_tool::EngineOutput;
using ota_tool::Options;

constexpr auto kPollInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 30;
constexpr const char* kSeeLog = "the engine's reasons are in the system log (or the --log file)";

// The tool's screen while the engine's output is diverted.
struct Screen {
  std::FILE* out;
  std::FILE* err;
};

// Prints a failed library result with its code, name and meaning.
int report(const Screen& s, const char* what, int32_t code) {
  if (code >= 0) {
    return ota_tool::kExitDone;
  }
  std::fprintf(s.err, "ota_tool: %s failed: %s; %s\n", what, ota_tool::describe_code(code).c_str(),
               kSeeLog);
  return ota_tool::kExitFailed;
}

class ProgressView {
 public:
  ProgressView(const Screen& s, bool json)
      : s_(s), json_(json), tty_(::isatty(fileno(s.out)) == 1) {}

  void show(int32_t result, int32_t progress, const std::string& name) {
    std::string key = std::to_string(result) + " " + std::to_string(progress) + " " + name;
    if (key == last_) {
      return;
    }
    last_ = std::move(key);
    if (json_) {
      std::fprintf(s_.out, "%s\n", ota_tool::progress_json(result, progress, name).c_str());
    } else if (tty_) {
      const int filled = progress * kBarWidth / 100;
      std::fprintf(s_.out, "\r\033[K[%s%s] %3d%%  %s",
                   std::string(static_cast<size_t>(filled), '#').c_str(),
                   std::string(static_cast<size_t>(kBarWidth - filled), '-').c_str(), progress,
                   name.c_str());
      drawn_ = true;
    } else {
      std::fprintf(s_.out, "progress %d%% %s\n", progress, name.c_str());
    }
    std::fflush(s_.out);
  }

  void end() {
    if (drawn_) {
      std::fprintf(s_.out, "\n");
    }
  }

 private:
  Screen s_;
  bool json_;
  bool tty_;
  bool drawn_ = false;
  std::string last_;
};

int update_started_failed(const Screen& s, const Options& o, int32_t code) {
  if (o.json) {
    std::fprintf(
        s.out, "%s\n",
        ota_tool::update_result_json(UPGRADE_NOT_START, 0, "", code,
                                     "the update did not start: " + ota_tool::describe_code(code))
            .c_str());
  }
  return report(s, "update start", code);
}

int cmd_update(const Screen& s, const Options& o) {
  (void)otaInitLib();
  const int32_t ret = otaRequestStart(o.arg.c_str(), OTA_TOOL);
  if (ret != 0) {
    (void)otaDeinitLib();
    return update_started_failed(s, o, ret);
  }
  ProgressView view(s, o.json);
  int32_t result = UPGRADE_IN_PROGRESS;
  int32_t progress = 0;
  std::string image;
  for (;;) {
    result = otaGetResult();
    progress = otaGetProgress();
    char name[64] = {};
    (void)otaGetUpdatingImageName(name, sizeof(name));
    image = name;
    if (result == UPGRADE_SUCCESS || result == UPGRADE_FAILED || result < 0) {
      break;
    }
    view.show(result, progress, image);
    std::this_thread::sleep_for(kPollInterval);
  }
  view.end();
  (void)otaDeinitLib();
  const bool ok = result == UPGRADE_SUCCESS;
  if (o.json) {
    std::fprintf(
        s.out, "%s\n",
        ota_tool::update_result_json(
            result, progress, image, ok ? 0 : -OTAERR_IO,
            ok ? "update succeeded" : std::string("the worker reported a failure; ") + kSeeLog)
            .c_str());
  } else if (ok) {
    std::fprintf(s.out, "update succeeded\n");
  }
  if (!ok) {
    std::fprintf(s.err, "ota_tool: update failed: %s; %s\n",
                 ota_tool::describe_code(-OTAERR_IO).c_str(), kSeeLog);
  }
  return ok ? ota_tool::kExitDone : ota_tool::kExitFailed;
}

// The library functions that need it are called between init and deinit.
int with_lib(const Screen& s, const char* what, int32_t (*fn)()) {
  (void)otaInitLib();
  const int32_t ret = fn();
  (void)otaDeinitLib();
  if (ret >= 0) {
    std::fprintf(s.out, "%s: done\n", what);
  }
  return report(s, what, ret);
}

int cmd_set_slot(const Screen& s, std::string_view arg) {
  if (arg != "a" && arg != "b") {
    std::fprintf(s.err, "ota_tool: set-slot takes a or b\n");
    return ota_tool::kExitUsage;
  }
  (void)otaInitLib();
  const int32_t ret = otaSetPartition(arg == "a" ? 0 : 1);
  (void)otaDeinitLib();
  if (ret == 0) {
    std::fprintf(s.out, "next boot: slot %c\n", arg == "a" ? 'A' : 'B');
  }
  return report(s, "set-slot", ret);
}

int cmd_notify(const Screen& s, std::string_view arg) {
  constexpr std::string_view kNames[] = {"start", "post", "abort", "pre-reboot"};
  for (int i = 0; i < 4; ++i) {
    if (arg == kNames[i]) {
      const int32_t ret = otaNotifyMCU(static_cast<hl_ota_msg>(i));
      if (ret == 0) {
        std::fprintf(s.out, "notice %s sent\n", kNames[i].data());
      }
      return report(s, "notify-mcu", ret);
    }
  }
  std::fprintf(s.err, "ota_tool: notify-mcu takes start, post, abort or pre-reboot\n");
  return ota_tool::kExitUsage;
}

int cmd_slot(const Screen& s) {
  uint8_t slot = 0;
  const int32_t ret = otaGetPartition(&slot);
  if (ret == 0) {
    std::fprintf(s.out, "%c\n", slot == 0 ? 'a' : 'b');
  }
  return report(s, "slot", ret);
}

std::string lib_version() {
  char version[16] = {};
  return otaGetLibVersion(version, sizeof(version)) == 0 ? version : "";
}

int cmd_status(const Screen& s, const Options& o) {
  if (o.json) {
    std::fprintf(s.out, "%s\n",
                 ota_tool::status_json(ota_tool::read_road_inputs(), lib_version()).c_str());
    return ota_tool::kExitDone;
  }
  auto result = ota_tool::print_board_status(s.out);
  if (!result) {
    std::fprintf(s.err, "ota_tool: status: %s\n", result.error().message().c_str());
    return ota_tool::kExitFailed;
  }
  return ota_tool::kExitDone;
}

int32_t clear_flags() {
  otaClearFlags();
  return 0;
}

int cmd_check(const Screen& s) {
  const int32_t ret = otaCheckUpdate();
  if (ret == 0) {
    std::fprintf(s.out, "check: the update took\n");
  }
  return report(s, "check", ret);
}

int dispatch(const Screen& s, const Options& o, const EngineOutput& engine) {
  const std::string& c = o.command;
  if (c == "update") {
    return cmd_update(s, o);
  }
  if (c == "set-slot") {
    return cmd_set_slot(s, o.arg);
  }
  if (c == "notify-mcu") {
    return cmd_notify(s, o.arg);
  }
  if (c == "check") {
    return cmd_check(s);
  }
  if (c == "confirm") {
    return with_lib(s, "confirm", otaMarkOTASuccessful);
  }
  if (c == "sync") {
    return with_lib(s, "sync", otaPartitionSync);
  }
  if (c == "clear") {
    return with_lib(s, "clear", clear_flags);
  }
  if (c == "slot") {
    return cmd_slot(s);
  }
  if (c == "status") {
    return cmd_status(s, o);
  }
  if (c == "boot-check") {
    return ota_tool::run_boot_check(
        o, ota_tool::ToolLog(s.out, s.err, engine.logging_to_file() ? engine.log_fd() : -1));
  }
  std::fprintf(s.err, "ota_tool: no command %s\n", c.c_str());
  return ota_tool::kExitUsage;
}

int show_help(const Options& o) {
  const std::string text =
      o.command.empty() ? ota_tool::general_help() : ota_tool::command_help(o.command);
  std::fputs(text.c_str(), stdout);
  return ota_tool::kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  const ota_tool::ParsedLine line = ota_tool::parse_command_line(argc, argv);
  if (!line.options) {
    std::fprintf(stderr, "ota_tool: %s (ota_tool --help lists the commands and their options)\n",
                 line.error.c_str());
    return ota_tool::kExitUsage;
  }
  const Options& o = *line.options;
  if (o.help) {
    return show_help(o);
  }
  if (o.command == "version") {
    const std::string v = lib_version();
    std::printf("%s\n", v.c_str());
    return v.empty() ? ota_tool::kExitFailed : ota_tool::kExitDone;
  }
  auto engine = EngineOutput::divert(o.log_file);
  if (!engine) {
    std::fprintf(stderr, "ota_tool: %s\n", engine.error().message().c_str());
    return ota_tool::kExitFailed;
  }
  const Screen screen{engine.value()->out(), engine.value()->err()};
  return dispatch(screen, o, *engine.value());
}
