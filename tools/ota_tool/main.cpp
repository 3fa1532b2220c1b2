// ota_tool: the operator's command line over the client library.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "board_status.h"
#include "error_names.h"
#include "mirvo_ota_hl.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 30;

void usage(std::FILE* out) {
  std::fputs(
      "usage: ota_tool COMMAND [ARG]\n"
      "  update PKG[;PKG...]   run an update from absolute package paths\n"
      "  set-slot a|b          boot this slot next\n"
      "  check                 after the reboot: did the update take?\n"
      "  confirm               mark the running slot as good\n"
      "  sync                  copy updated partitions to the other slot and the backups\n"
      "  clear                 return the board to the no-update state\n"
      "  notify-mcu start|post|abort|pre-reboot\n"
      "  slot                  the booted slot\n"
      "  version               the library version\n"
      "  status                the road state, then the board's update records decoded\n",
      out);
}

// Prints a failed library result with its name and meaning; the exit status is the code.
int report(const char* what, int32_t code) {
  if (code >= 0) {
    return 0;
  }
  std::fprintf(stderr, "ota_tool: %s failed: %s\n", what, ota_tool::describe_code(code).c_str());
  return -code;
}

void show_progress(bool tty, int32_t progress, const char* name, std::string* last) {
  if (tty) {
    const int filled = progress * kBarWidth / 100;
    std::printf("\r\033[K[%s%s] %3d%%  %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                std::string(static_cast<size_t>(kBarWidth - filled), '-').c_str(), progress, name);
    std::fflush(stdout);
    return;
  }
  std::string line = std::to_string(progress) + "% " + name;
  if (line != *last) {
    std::printf("progress %s\n", line.c_str());
    std::fflush(stdout);
    *last = std::move(line);
  }
}

int cmd_update(const char* packages) {
  int32_t ret = otaInitLib();
  if (ret != 0) {
    return report("init", ret);
  }
  ret = otaRequestStart(packages, OTA_TOOL);
  if (ret != 0) {
    (void)otaDeinitLib();
    return report("update start", ret);
  }
  const bool tty = ::isatty(STDOUT_FILENO) == 1;
  std::string last;
  int32_t result = UPGRADE_IN_PROGRESS;
  for (;;) {
    result = otaGetResult();
    char name[64] = {};
    (void)otaGetUpdatingImageName(name, sizeof(name));
    show_progress(tty, otaGetProgress(), name, &last);
    if (result == UPGRADE_SUCCESS || result == UPGRADE_FAILED || result < 0) {
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  if (tty) {
    std::printf("\n");
  }
  (void)otaDeinitLib();
  if (result == UPGRADE_SUCCESS) {
    std::printf("update succeeded\n");
    return 0;
  }
  std::fprintf(stderr, "ota_tool: update failed (see the worker's messages above)\n");
  return 1;
}

// The library functions that need it are called between init and deinit.
int with_lib(const char* what, int32_t (*fn)()) {
  (void)otaInitLib();
  const int32_t ret = fn();
  (void)otaDeinitLib();
  if (ret >= 0) {
    std::printf("%s: done\n", what);
  }
  return report(what, ret);
}

int cmd_set_slot(std::string_view arg) {
  if (arg != "a" && arg != "b") {
    std::fprintf(stderr, "ota_tool: set-slot takes a or b\n");
    return 2;
  }
  (void)otaInitLib();
  const int32_t ret = otaSetPartition(arg == "a" ? 0 : 1);
  (void)otaDeinitLib();
  if (ret == 0) {
    std::printf("next boot: slot %c\n", arg == "a" ? 'A' : 'B');
  }
  return report("set-slot", ret);
}

int cmd_notify(std::string_view arg) {
  constexpr std::string_view kNames[] = {"start", "post", "abort", "pre-reboot"};
  for (int i = 0; i < 4; ++i) {
    if (arg == kNames[i]) {
      const int32_t ret = otaNotifyMCU(static_cast<hl_ota_msg>(i));
      if (ret == 0) {
        std::printf("notice %s sent\n", kNames[i].data());
      }
      return report("notify-mcu", ret);
    }
  }
  std::fprintf(stderr, "ota_tool: notify-mcu takes start, post, abort or pre-reboot\n");
  return 2;
}

int cmd_slot() {
  uint8_t slot = 0;
  const int32_t ret = otaGetPartition(&slot);
  if (ret == 0) {
    std::printf("%c\n", slot == 0 ? 'a' : 'b');
  }
  return report("slot", ret);
}

int cmd_version() {
  char version[16] = {};
  const int32_t ret = otaGetLibVersion(version, sizeof(version));
  if (ret == 0) {
    std::printf("%s\n", version);
  }
  return report("version", ret);
}

int cmd_status() {
  auto result = ota_tool::print_board_status(stdout);
  if (!result) {
    std::fprintf(stderr, "ota_tool: status: %s\n", result.error().message().c_str());
    return 1;
  }
  return 0;
}

int32_t clear_flags() {
  otaClearFlags();
  return 0;
}

int dispatch(std::string_view cmd, const char* arg) {
  if (cmd == "update" && arg != nullptr) {
    return cmd_update(arg);
  }
  if (cmd == "set-slot" && arg != nullptr) {
    return cmd_set_slot(arg);
  }
  if (cmd == "notify-mcu" && arg != nullptr) {
    return cmd_notify(arg);
  }
  if (arg != nullptr) {
    usage(stderr);
    return 2;
  }
  if (cmd == "check") {
    const int32_t ret = otaCheckUpdate();
    if (ret == 0) {
      std::printf("check: the update took\n");
    }
    return report("check", ret);
  }
  if (cmd == "confirm") {
    return with_lib("confirm", otaMarkOTASuccessful);
  }
  if (cmd == "sync") {
    return with_lib("sync", otaPartitionSync);
  }
  if (cmd == "clear") {
    return with_lib("clear", clear_flags);
  }
  if (cmd == "slot") {
    return cmd_slot();
  }
  if (cmd == "version") {
    return cmd_version();
  }
  if (cmd == "status") {
    return cmd_status();
  }
  usage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "--help") == 0) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  return dispatch(argv[1], argc == 3 ? argv[2] : nullptr);
}
