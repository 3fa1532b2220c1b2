// Helpers of the worker scenarios: packages from ota_pack descriptions, the worker run
// as the client runs it (FIFO read record by record), and the board's state after it.
#pragma once

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive_fixtures.h"
#include "board_io.h"
#include "boot_control.h"
#include "kx_zip.h"
#include "pack_description.h"
#include "packager.h"
#include "progress.h"
#include "test_support.h"

namespace worker_run {

inline constexpr const char* kPipe = "/tmp/ota_pipe";
inline const std::string kByName = board_io::kByName;

struct Outcome {
  int exit_status = -1;  // 0..255, or 128 + signal
  std::vector<ota_upgrade_info> records;
};

// Packs a description into `output`; the test fails with the builder's message.
inline void pack(const std::string& text, const std::string& base_dir, const std::string& output) {
  auto d = ota::pack::parse_description(text, base_dir);
  ASSERT_TRUE(d.ok()) << d.error().message();
  auto r = ota::pack::make_package(d.value(), output);
  ASSERT_TRUE(r.ok()) << r.error().message();
}

// The worker with args; with a prefix (a tracer and its options, ending in "--") the
// prefix runs and starts the worker.
inline pid_t start_worker(const std::vector<std::string>& args, const std::string& log,
                          const std::vector<std::string>& prefix = {}) {
  ::unlink(kPipe);
  EXPECT_EQ(::mkfifo(kPipe, 0600), 0) << std::strerror(errno);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> argv;
    for (const auto& a : prefix) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(const_cast<char*>(OTA_PROCESS_EXE));
    for (const auto& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Reads whole records until the worker closes the FIFO or dies.
inline std::vector<ota_upgrade_info> read_records(int fd) {
  std::vector<ota_upgrade_info> out;
  uint8_t buf[OTA_PROGRESS_RECORD_SIZE];
  size_t have = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf + have, sizeof(buf) - have);
    if (n <= 0) {
      EXPECT_EQ(have, 0u) << "partial record";
      return out;
    }
    have += static_cast<size_t>(n);
    if (have == sizeof(buf)) {
      out.push_back(ota_upgrade_info_decode(buf));
      have = 0;
    }
  }
}

inline int wait_status(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The worker run to its end with `-p kPipe -z packages` (under the prefix, if any).
inline Outcome run_worker(const std::string& packages, const std::string& log = "/tmp/worker.log",
                          const std::vector<std::string>& prefix = {}) {
  const pid_t pid = start_worker({"-p", kPipe, "-z", packages}, log, prefix);
  Outcome out;
  const int fd = ::open(kPipe, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    out.records = read_records(fd);
    ::close(fd);
  }
  out.exit_status = wait_status(pid);
  return out;
}

// The first `len` bytes of a device.
inline std::string device_head(const std::string& name, size_t len) {
  const auto bytes = board_io::read_dev(kByName + name, 0, len);
  return {bytes.begin(), bytes.end()};
}

inline std::string worker_log() { return ota_test::read_file("/tmp/worker.log"); }

// MD5 of a whole partition.
inline std::string whole(const std::string& name) { return ota_test::md5sum_of(kByName + name); }

// The data bytes of a NOR partition (its firmware trailer left out), from the NOR device.
inline std::vector<uint8_t> nor_half(const std::string& name) {
  const auto l = board_io::layout();
  const auto* p = l.find(name);
  return board_io::read_dev("/dev/mtd0", p->offset, p->size);
}

inline std::string name_of(const ota_upgrade_info& r) {
  return std::string(r.part_name, strnlen(r.part_name, sizeof(r.part_name)));
}

inline std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  for (const dirent* e = d != nullptr ? ::readdir(d) : nullptr; e != nullptr; e = ::readdir(d)) {
    if (e->d_type == DT_REG) {
      names.emplace_back(e->d_name);
    }
  }
  if (d != nullptr) {
    ::closedir(d);
  }
  return names;
}

// Changes a test makes to the manifest, gpt.conf and the members in dir before they are
// packed again.
using Repack = std::function<void(cJSON* manifest, std::string* conf, const std::string& dir)>;

// The ota_pack package `plain` unpacked, edited and packed again into out (a ".tar" name
// makes a tar package with zstd images).
inline void repack(const std::string& plain, const std::string& out, const Repack& edit) {
  ota_test::TempDir dir;
  ASSERT_EQ(kx_uncompress(plain.c_str(), dir.path().c_str()), 0);
  std::string conf = ota_test::read_file(dir.file("gpt.conf"));
  cJSON* root = cJSON_Parse(ota_test::read_file(dir.file("data.json")).c_str());
  ASSERT_NE(root, nullptr);
  edit(root, &conf, dir.path());
  ota_test::write_file(dir.file("gpt.conf"), conf);
  char* json = cJSON_Print(root);
  ota_test::write_file(dir.file("data.json"), json);
  cJSON_free(json);
  cJSON_Delete(root);
  std::vector<archive_test::Member> members;
  const bool tar = out.ends_with(".tar");
  for (const std::string& m : files_in(dir.path())) {
    const bool zstd = tar && m.ends_with(".img");
    members.push_back(
        {.name = m + (zstd ? ".zst" : ""), .data = ota_test::read_file(dir.file(m)), .zstd = zstd});
  }
  tar ? archive_test::write_tar(out, members) : archive_test::write_zip(out, members);
}

using Edit = std::function<void(cJSON* root, const std::string& staging)>;

// An ota_pack package with its manifest edited, zipped again with every member.
inline std::string edited_package(const std::string& plain, const std::string& out,
                                  const Edit& edit) {
  repack(plain, out, [&](cJSON* root, std::string*, const std::string& dir) { edit(root, dir); });
  return out;
}

// A board in service: slot a booted and confirmed; packages made from dir_.
class OnBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
    ASSERT_EQ(board_io::reboot(), 0);
  }
  std::string package(const std::string& name, const std::string& text) {
    const std::string out = "/userdata/" + name;
    pack(text, dir_.path(), out);
    return out;
  }
  ota_test::TempDir dir_;
};

}  // namespace worker_run
