// Support code of the suite (in a *_test.cpp file so the suite's glob builds it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "board_client.h"
#include "md5.h"
#include "pack_description.h"
#include "packager.h"
#include "unique_fd.h"

namespace board_client {

void ClientTest::SetUp() {
  ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
  ota_test::clear_log_records();
  ASSERT_EQ(otaInitLib(), 0);
}

void ClientTest::TearDown() { (void)otaDeinitLib(); }

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
  auto d = ota::pack::parse_description("worker " + worker + "\n" + description, dir.path());
  EXPECT_TRUE(d.ok()) << d.error().message();
  const std::string out = name[0] == '/' ? name : dir.file(name);
  if (d.ok()) {
    auto r = ota::pack::make_package(d.value(), out);
    EXPECT_TRUE(r.ok()) << r.error().message();
  }
  return out;
}

std::string scripted(const ota_test::TempDir& dir, const std::string& body,
                     const std::string& name) {
  ota_test::write_file(dir.file(name + ".sh"), worker_script(body));
  return pack(dir, "", dir.file(name + ".sh"), name);
}

int run(const std::string& cmd) {
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void reboot() { ASSERT_EQ(run(std::string(VBOARD_EXE) + " reboot \"$VBOARD_DIR\""), 0); }

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

ota_update_flag_e up_status() {
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  EXPECT_EQ(ota_get_up_status(&status), 0);
  return status;
}

uint32_t next_slot() {
  uint32_t slot = 9;
  EXPECT_EQ(ota_get_next_slot(&slot), 0);
  return slot;
}

std::string part_md5(const std::string& name, long len) {
  unsigned char h[16] = {};
  EXPECT_EQ(MD5DevPart((kByName + name).c_str(), 0, len, h), 0) << name;
  char text[33] = {};
  for (int i = 0; i < 16; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", h[i]);
  }
  return text;
}

long part_size(const std::string& name) {
  const ota::UniqueFd fd = ota::open_fd((kByName + name).c_str(), O_RDONLY);
  return fd ? static_cast<long>(lseek(fd.get(), 0, SEEK_END)) : -1;
}

void write_part(const std::string& name, const std::string& bytes) {
  const ota::UniqueFd fd = ota::open_fd((kByName + name).c_str(), O_WRONLY);
  ASSERT_TRUE(fd.valid()) << name;
  ASSERT_TRUE(ota::pwrite_full(fd.get(), bytes.data(), bytes.size(), 0)) << name;
  ASSERT_TRUE(ota::sync_fd(fd.get())) << name;
}

pid_t worker_pid() {
  // argv[0], which the library sets to "ota_process" (comm would name the descriptor
  // the worker was executed through).
  const std::string name("ota_process", sizeof("ota_process"));
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const pid_t pid = std::atoi(e.path().filename().c_str());
    try {
      if (pid > 0 && ota_test::read_file(e.path() / "cmdline").compare(0, name.size(), name) == 0) {
        return pid;
      }
    } catch (...) {  // the process is gone
    }
  }
  return -1;
}

void expect_synced_into_b() {
  EXPECT_EQ(part_md5("boot_b", 1 << 20), part_md5("boot_a", 1 << 20));
  const slot_metadata b = misc_slot(1);
  EXPECT_EQ(b.priority(), 14);
  EXPECT_EQ(b.tries_remaining(), 1);
  EXPECT_EQ(b.successful_boot(), 1);
  EXPECT_EQ(road().phase, OTA_ROAD_SWITCHED);
  EXPECT_EQ(road().sync_slot, OTA_ROAD_NO_SLOT);
  ota_update_flag_e backup_copy = OTA_FLAG_BURN;
  EXPECT_EQ(ota_get_backup_up_status(&backup_copy), 0);
  EXPECT_EQ(backup_copy, OTA_FLAG_NORMAL);
}

}  // namespace board_client
