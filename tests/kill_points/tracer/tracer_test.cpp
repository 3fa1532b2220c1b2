// ota_killpoint on a board: which calls count as durable writes and what the record
// says of them, processes followed through fork, vfork, threads and exec, the kill at a
// write before it lands, and the exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "run_process.h"
#include "test_support.h"

namespace {

constexpr const char* kDev = "/dev/block/platform/by-name/";

struct Traced {
  int status = -1;
  std::vector<std::string> lines;  // of the record
  std::string output;
};

// ota_killpoint --record FILE OPTIONS -- COMMAND, its output and record.
Traced killpoint(const std::vector<std::string>& options, const std::vector<std::string>& cmd) {
  const ota_test::TempDir dir;
  std::vector<std::string> argv = {KILLPOINT_EXE, "--record", dir.file("rec")};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("--");
  argv.insert(argv.end(), cmd.begin(), cmd.end());
  const ota_road::Outcome o = ota_road::run_process(argv);
  Traced t{o.status, {}, o.output};
  std::ifstream in(dir.file("rec"));
  for (std::string line; std::getline(in, line);) {
    t.lines.push_back(line);
  }
  return t;
}

// Columns 4.. of a record line: call, target, offset, length (and "stopped").
std::string what(const std::string& line) {
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    at = line.find('\t', at) + 1;
  }
  return line.substr(at);
}

std::vector<std::string> whats(const Traced& t) {
  std::vector<std::string> out;
  for (const auto& l : t.lines) {
    out.push_back(what(l));
  }
  return out;
}

void fill(const std::string& dev, char c, size_t len) {
  const std::string data(len, c);
  const int fd = ::open(dev.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, data.data(), len, 0), static_cast<ssize_t>(len));
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

// The letter each of the first `blocks` 4 KiB blocks of dev is filled with ('?' mixed).
std::string blocks_of(const std::string& dev, size_t blocks) {
  std::string data(blocks * 4096, '\0');
  const int fd = ::open(dev.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(::pread(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  ::close(fd);
  std::string out;
  for (size_t b = 0; b < blocks; ++b) {
    const std::string block = data.substr(b * 4096, 4096);
    out += block == std::string(4096, block[0]) ? block[0] : '?';
  }
  return out;
}

struct WriteCase {
  const char* mode;
  const char* device;    // below by-name, or an absolute path
  const char* recorded;  // "" for a call that is no durable write
};

// Each kind of call into a block device (a partition, the whole disk, a NOR partition,
// the NOR device) is one record line with its offset and length; writes to a pipe or a
// regular file are none.
TEST(Tracer, EachDurableWriteIsRecorded) {
  const WriteCase cases[] = {
      {"write", "boot_a", "write\tboot_a\t4096\t512"},
      {"pwrite", "boot_a", "pwrite64\tboot_a\t8192\t4096"},
      {"writev", "boot_a", "writev\tboot_a\t1024\t512"},
      {"pwritev", "boot_a", "pwritev\tboot_a\t2048\t512"},
      {"pwritev2", "boot_a", "pwritev2\tboot_a\t3072\t512"},
      {"fsync", "boot_a", "fsync\tboot_a\t-\t-"},
      {"fdatasync", "system_b", "fdatasync\tsystem_b\t-\t-"},
      {"sync_file_range", "boot_a", "sync_file_range\tboot_a\t4096\t8192"},
      {"blkflsbuf", "boot_a", "ioctl\tboot_a\t-\t-"},
      {"blkzeroout", "boot_a", "ioctl\tboot_a\t4096\t4096"},
      {"fallocate", "boot_a", "fallocate\tboot_a\t0\t4096"},
      {"copy_file_range", "boot_a", "copy_file_range\tboot_a\t8192\t4096"},
      {"sendfile", "boot_a", "sendfile\tboot_a\t0\t4096"},
      {"splice", "boot_a", "splice\tboot_a\t12288\t4096"},
      {"sync", "boot_a", "sync\tall\t-\t-"},
      {"syncfs", "boot_a", "syncfs\tboot_a\t-\t-"},
      {"pwrite", "blk", "pwrite64\tblk\t8192\t4096"},
      {"pwrite", "uboot_b", "pwrite64\tuboot_b\t8192\t4096"},
      {"pwrite", "/dev/mtd0", "pwrite64\tmtd0\t8192\t4096"},
      {"thread", "misc", "pwrite64\tmisc\t0\t16"},
      {"fork", "misc", "pwrite64\tmisc\t0\t16"},
      {"vfork", "misc", "pwrite64\tmisc\t0\t16"},
      {"not_pipe", "misc", ""},
      {"not_file", "misc", ""},
  };
  for (const WriteCase& c : cases) {
    const std::string dev = c.device[0] == '/' ? c.device : std::string(kDev) + c.device;
    const Traced t = killpoint({}, {WRITER_EXE, c.mode, dev});
    EXPECT_EQ(t.status, 0) << c.mode << ": " << t.output;
    const std::vector<std::string> want =
        c.recorded[0] == '\0' ? std::vector<std::string>{} : std::vector<std::string>{c.recorded};
    EXPECT_EQ(whats(t), want) << c.mode << " on " << c.device;
  }
}

// A regular file counts when it is watched, by what it is, not by its name.
TEST(Tracer, WatchedFileCounts) {
  const ota_test::TempDir dir;
  ota_test::write_file(dir.file("disk.img"), std::string(65536, '\0'));
  ASSERT_EQ(::symlink(dir.file("disk.img").c_str(), dir.file("alias").c_str()), 0);
  const Traced watched =
      killpoint({"--watch", dir.file("disk.img")}, {WRITER_EXE, "pwrite", dir.file("alias")});
  EXPECT_EQ(whats(watched), std::vector<std::string>{"pwrite64\tdisk.img\t8192\t4096"});
  const Traced unwatched = killpoint({}, {WRITER_EXE, "pwrite", dir.file("disk.img")});
  EXPECT_TRUE(unwatched.lines.empty());
}

// Stopped at write 3 of six (three dd runs, each a write and its flush): the writes
// before it landed, the third never did, every traced process (a background sleeper
// too) is gone, the exit status says so. A stop past the last write changes nothing.
TEST(Tracer, StopKillsEveryProcessBeforeTheWrite) {
  const std::string dev = std::string(kDev) + "boot_a";
  const std::string script =
      "sleep 30 & echo $! > /tmp/sleeper; for i in 0 1 2; do "
      "head -c 4096 /dev/zero | tr '\\0' B | dd of=" +
      dev + " bs=4096 seek=$i conv=notrunc,fsync status=none; done";
  fill(dev, 'A', 3 * 4096);
  const auto started = std::chrono::steady_clock::now();
  const Traced stopped = killpoint({"--stop-at", "3"}, {"/bin/sh", "-c", script});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10))
      << "the stop waited for the background process";
  EXPECT_EQ(stopped.status, 100) << stopped.output;
  ASSERT_EQ(stopped.lines.size(), 3U) << stopped.output;
  EXPECT_EQ(what(stopped.lines[2]), "write\tboot_a\t4096\t4096\tstopped");
  EXPECT_EQ(blocks_of(dev, 3), "BAA");
  const std::string sleeper = ota_test::read_file("/tmp/sleeper");
  std::ifstream stat("/proc/" + sleeper.substr(0, sleeper.find('\n')) + "/stat");
  std::string pid, comm, state;
  stat >> pid >> comm >> state;
  EXPECT_TRUE(!stat || state == "Z") << "the background process survived the stop: " << state;

  fill(dev, 'A', 3 * 4096);
  const Traced past = killpoint({"--stop-at", "99"}, {"/bin/sh", "-c", script + "; kill $!"});
  EXPECT_EQ(past.status, 0) << past.output;
  EXPECT_EQ(past.lines.size(), 6U);
  EXPECT_EQ(blocks_of(dev, 3), "BBB");
}

struct StatusCase {
  std::vector<std::string> options;
  std::vector<std::string> command;
  int status;
  size_t lines;
};

// The command's own exit status comes back (a signal as 128 + its number); a process
// that stops itself until another continues it, and an exec chain, are followed to
// their writes; usage errors exit 2 and a missing program 127.
TEST(Tracer, ExitStatusesAndProcessStates) {
  const std::string dd =
      "dd if=/dev/zero of=" + std::string(kDev) + "boot_a bs=512 count=1 conv=notrunc status=none";
  const StatusCase cases[] = {
      {{}, {"/bin/sh", "-c", "exit 3"}, 3, 0},
      {{}, {"/bin/sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, 0},
      {{},
       {"/bin/sh", "-c", "sh -c 'kill -STOP $$; " + dd + "' & sleep 0.3; kill -CONT $!; wait"},
       0,
       1},
      {{}, {"/bin/sh", "-c", "exec " + dd}, 0, 1},
      {{}, {"/no/such/program"}, 127, 0},
      {{"--stop-at", "0"}, {"/bin/true"}, 2, 0},
      {{"--stop-at", "x"}, {"/bin/true"}, 2, 0},
      {{"--bogus", "1"}, {"/bin/true"}, 2, 0},
  };
  for (const StatusCase& c : cases) {
    const Traced t = killpoint(c.options, c.command);
    EXPECT_EQ(t.status, c.status) << c.command.back() << ": " << t.output;
    EXPECT_EQ(t.lines.size(), c.lines) << c.command.back();
  }
}

}  // namespace
