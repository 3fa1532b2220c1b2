// Support code of the suite (in a *_test.cpp file so the suite's glob builds it).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "board_client.h"
#include "md5.h"
#include "mirvo_ota_hl.h"
#include "pack_description.h"
#include "packager.h"
#include "unique_fd.h"

namespace board_client {

std::string worker_script(const std::string& body) {
  return "#!/bin/sh\n"
         "fifo=\"$4\"\n"
         "le() { printf \"\\\\$(printf %03o $(($1 & 255)))\\\\$(printf %03o $(($1 >> 8 & 255)))"
         "\\\\000\\\\000\"; }\n"
         "rec() { printf '%s' \"$1\"; head -c $((64 - ${#1})) /dev/zero; le $2; le $3; }\n"
         "exec 3>\"$fifo\"\n" +
         body + "\n";
}

std::string pack(const ota_test::TempDir& dir, const std::string& description,
                 const std::string& worker, const std::string& name) {
  const std::string desc = "worker " + worker + "\n" + description;
  auto d = ota::pack::parse_description(desc, dir.path());
  EXPECT_TRUE(d.ok()) << d.error().message();
  const std::string out = name[0] == '/' ? name : dir.file(name);
  if (d.ok()) {
    auto r = ota::pack::make_package(d.value(), out);
    EXPECT_TRUE(r.ok()) << r.error().message();
  }
  return out;
}

int wait_final(int timeout_s) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (std::chrono::steady_clock::now() < end) {
    const int r = otaGetResult();
    if (r == UPGRADE_SUCCESS || r == UPGRADE_FAILED || r < 0) {
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

int run(const std::string& cmd) {
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void reboot() { ASSERT_EQ(run(std::string(VBOARD_EXE) + " reboot \"$VBOARD_DIR\""), 0); }

size_t count_entries(const char* dir) {
  size_t n = 0;
  DIR* d = opendir(dir);
  if (d == nullptr) {
    return 0;
  }
  while (readdir(d) != nullptr) {
    ++n;
  }
  closedir(d);
  return n;
}

ota_road_record_t road() {
  ota_road_record_t rec{};
  EXPECT_EQ(ota_road_read(&rec), 0);
  return rec;
}

void set_road(ota_road_phase_e phase, uint32_t from, uint32_t target, uint32_t sync) {
  ota_road_record_t rec = road();
  rec.phase = phase;
  rec.from_slot = from;
  rec.target_slot = target;
  rec.sync_slot = sync;
  ASSERT_EQ(ota_road_write(&rec), 0);
}

slot_metadata misc_slot(int slot) {
  bootloader_control ctrl{};
  EXPECT_EQ(bootctrl_get_info(&ctrl), 0);
  return ctrl.slot_info[slot];
}

void set_misc_slot(int slot, uint8_t priority, uint8_t tries, uint8_t successful) {
  bootloader_control ctrl{};
  ASSERT_EQ(bootctrl_get_info(&ctrl), 0);
  slot_metadata& m = ctrl.slot_info[slot];
  m.set_priority(priority);
  m.set_tries_remaining(tries);
  m.set_successful_boot(successful);
  ASSERT_EQ(bootctrl_update_and_save(&ctrl), 0);
}

int booted_slot() { return ota_get_cur_slot(); }

std::string part_md5(const std::string& name, long len) {
  unsigned char h[16] = {};
  EXPECT_EQ(MD5DevPart((kByName + name).c_str(), 0, len, h), 0) << name;
  return std::string(reinterpret_cast<char*>(h), 16);
}

void write_part(const std::string& name, const std::string& bytes) {
  const ota::UniqueFd fd = ota::open_fd((kByName + name).c_str(), O_WRONLY);
  ASSERT_TRUE(fd.valid()) << name;
  ASSERT_TRUE(ota::pwrite_full(fd.get(), bytes.data(), bytes.size(), 0)) << name;
  ASSERT_TRUE(ota::sync_fd(fd.get())) << name;
}

namespace {

// A file of /proc, empty when the process is gone.
std::string read_proc(const std::string& path) {
  try {
    return ota_test::read_file(path);
  } catch (...) {
    return {};
  }
}

}  // namespace

pid_t worker_pid() {
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  for (dirent* e = proc != nullptr ? readdir(proc) : nullptr; e != nullptr; e = readdir(proc)) {
    const pid_t pid = std::atoi(e->d_name);
    // argv[0], which the library sets to "ota_process" (comm would name the descriptor
    // the worker was executed through).
    const std::string cmdline =
        pid > 0 ? read_proc("/proc/" + std::string(e->d_name) + "/cmdline") : "";
    if (cmdline.compare(0, sizeof("ota_process"),
                        std::string("ota_process", sizeof("ota_process"))) == 0) {
      found = pid;
    }
  }
  if (proc != nullptr) {
    closedir(proc);
  }
  return found;
}

std::string road_state_line() {
  std::string line;
  FILE* p = popen((std::string(OTA_TOOL_EXE) + " status 2>/dev/null").c_str(), "r");
  if (p == nullptr) {
    return line;
  }
  for (int c = std::fgetc(p); c != EOF && c != '\n'; c = std::fgetc(p)) {
    line.push_back(static_cast<char>(c));
  }
  while (std::fgetc(p) != EOF) {
  }
  pclose(p);
  return line;
}

}  // namespace board_client
