// Helpers of the vboard tests: raw device I/O, flash command records built from the
// board's templates, and the firmware run the way a test on the board runs it.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_layout.h"
#include "test_support.h"

namespace board_io {

inline constexpr const char* kByName = "/dev/block/platform/by-name/";

inline std::string board_dir() {
  const char* d = std::getenv("VBOARD_DIR");
  if (d == nullptr) {
    throw std::runtime_error("VBOARD_DIR is not set: not on a board");
  }
  return d;
}

inline ota::board::Layout layout() {
  auto l = ota::board::load_layout(board_dir() + "/board.layout");
  if (!l) {
    throw std::runtime_error(l.error().message());
  }
  return std::move(l).value();
}

inline std::vector<uint8_t> read_dev(const std::string& path, uint64_t offset, size_t len) {
  std::vector<uint8_t> buf(len);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : ::pread(fd, buf.data(), len, static_cast<off_t>(offset));
  if (fd >= 0) {
    ::close(fd);
  }
  if (n != static_cast<ssize_t>(len)) {
    throw std::runtime_error("cannot read " + path);
  }
  return buf;
}

// Writes and syncs, as the engine does before it hands over to the firmware.
inline void write_dev(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok = fd >= 0 &&
                  ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) ==
                      static_cast<ssize_t>(data.size()) &&
                  ::fdatasync(fd) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  if (!ok) {
    throw std::runtime_error("cannot write " + path);
  }
}

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

inline void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
  }
}

// A command record as the engine sends it: the template, the data area (for the data
// commands) holding `data` at `offset`, four zero bytes.
inline std::vector<uint8_t> command_record(const std::string& name,
                                           const std::vector<uint8_t>& data = {},
                                           uint32_t offset = 0) {
  const std::string t = ota_test::read_file("/usr/mirvo/share/ota/" + name);
  std::vector<uint8_t> rec(t.begin(), t.end());
  const uint32_t area = data.empty() ? 0 : le32(rec, 12);
  rec.resize(rec.size() + area + 4, 0);
  if (!data.empty()) {
    std::memcpy(rec.data() + 2272 + offset, data.data(), data.size());
  }
  return rec;
}

inline void send_command(const std::vector<uint8_t>& rec) {
  write_dev(std::string(kByName) + "flashcmd", 0, rec);
}

inline int run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int reboot(bool recovery = false) {
  std::vector<std::string> args = {VBOARD_EXE, "reboot", board_dir()};
  if (recovery) {
    args.push_back("--recovery");
  }
  return run(args);
}

inline std::string cmdline() { return ota_test::read_file("/proc/cmdline"); }

inline std::vector<uint8_t> pattern(size_t len, unsigned seed) {
  const std::string s = ota_test::make_image_bytes(len, seed);
  return {s.begin(), s.end()};
}

}  // namespace board_io
