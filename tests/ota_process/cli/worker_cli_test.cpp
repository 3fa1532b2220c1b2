// The worker's command line, run as a separate process: usage, exit statuses, and the
// FIFO path cut to its buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

CliRun run_worker(const std::vector<std::string>& args) {
  ota_test::TempDir dir;
  const std::string out = dir.file("out");
  const std::string err = dir.file("err");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<char*> argv{const_cast<char*>(OTA_PROCESS_EXE)};
    for (const auto& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
          ota_test::read_file(out), ota_test::read_file(err)};
}

const std::string kUsageTail =
    " Usage:\n   -p, --pipe [pipe file path]        Pipeline file path.\n"
    "   -z, --zip [zip path]               the package paths can be absolute only.\n"
    "   -h, --help                         Display this help screen.\n"
    "Warnning: This file cannot be executed manually\n";

struct CliCase {
  const char* title;
  std::vector<std::string> args;
  int status;
  bool usage;
  const char* err;  // text on standard error, or ""
};

// Each unusable command line ends with its exit status, the usage text where it is due
// and the error line where one is due; none of them starts an upgrade.
TEST(WorkerCli, UnusableCommandLines) {
  const CliCase cases[] = {
      {"no arguments", {}, 0, true, ""},
      {"bare word", {"update"}, 255, true, "ota_process: invalid option -- update"},
      {"help", {"-h"}, 0, true, ""},
      {"long help", {"--help"}, 0, true, ""},
      {"unknown option", {"-x"}, 0, true, ""},
      {"option without argument", {"-p"}, 0, true, ""},
      {"zip without pipe", {"-z", "/data/all_in_one.zip"}, 255, false, "open pipe file  failed"},
  };
  for (const CliCase& c : cases) {
    SCOPED_TRACE(c.title);
    const CliRun r = run_worker(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.find(std::string(OTA_PROCESS_EXE) + kUsageTail) != std::string::npos, c.usage)
        << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

// A 40-character FIFO path is cut to its first 31 characters before it is opened: the
// worker writes its first record into the FIFO of the short name.
TEST(WorkerCli, LongPipePathTruncated) {
  const std::string dir = "/tmp/w2cli" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  std::string full = dir + "/";
  full += std::string(40 - full.size(), 'p');
  ASSERT_EQ(full.size(), 40u);
  const std::string cut = full.substr(0, 31);
  ASSERT_EQ(::mkfifo(cut.c_str(), 0600), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execl(OTA_PROCESS_EXE, OTA_PROCESS_EXE, "-p", full.c_str(), "-z", "relative.zip", nullptr);
    ::_exit(127);
  }
  const int fd = ::open(cut.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(fd, buf, sizeof(buf))) > 0;) {
    got.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::unlink(cut.c_str());
  ::rmdir(dir.c_str());
  // The first record only; a relative package path fails before the upgrade (-6).
  ASSERT_EQ(got.size(), 72u);
  EXPECT_EQ(got.substr(0, 5), std::string("None\0", 5));
  EXPECT_EQ(static_cast<uint8_t>(got[64]), 1);
  EXPECT_EQ(WEXITSTATUS(status), 250);
}

}  // namespace
