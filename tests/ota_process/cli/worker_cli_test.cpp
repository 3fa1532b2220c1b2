// The worker's command line, run as a separate process: usage, exit statuses, and the
// FIFO path cut to its buffer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace {

const std::string kUsageTail =
    " Usage:\n   -p, --pipe [pipe file path]        Pipeline file path.\n"
    "   -z, --zip [zip path]               the package paths can be absolute only.\n"
    "   -h, --help                         Display this help screen.\n"
    "Warnning: This file cannot be executed manually\n";

struct CliCase {
  const char* title;
  const char* args;
  int status;
  bool usage;
  const char* err;  // text on standard error, or ""
};

// Each unusable command line ends with its exit status, the usage text where it is due
// and the error line where one is due; none of them starts an upgrade.
TEST(WorkerCli, UnusableCommandLines) {
  const CliCase cases[] = {
      {"no arguments", "", 0, true, ""},
      {"bare word", "update", 255, true, "ota_process: invalid option -- update"},
      {"help", "-h", 0, true, ""},
      {"long help", "--help", 0, true, ""},
      {"unknown option", "-x", 0, true, ""},
      {"option without argument", "-p", 0, true, ""},
      {"zip without pipe", "-z /data/all_in_one.zip", 255, false, "open pipe file  failed"},
  };
  ota_test::TempDir dir;
  for (const CliCase& c : cases) {
    SCOPED_TRACE(c.title);
    int status = -1;
    const std::string out = ota_test::shell_output(
        std::string(OTA_PROCESS_EXE) + " " + c.args + " 2>" + dir.file("err"), &status);
    const std::string err = ota_test::read_file(dir.file("err"));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out.find(std::string(OTA_PROCESS_EXE) + kUsageTail) != std::string::npos, c.usage)
        << out;
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
  }
}

// A 40-character FIFO path is cut to its first 31 characters before it is opened: the
// worker writes its first record into the FIFO of the short name.
TEST(WorkerCli, LongPipePathTruncated) {
  const std::string dir = "/tmp/w2cli" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  std::string full = dir + "/";
  full += std::string(40 - full.size(), 'p');
  const std::string cut = full.substr(0, 31);
  ASSERT_EQ(::mkfifo(cut.c_str(), 0600), 0);
  int status = -1;
  const std::string got =
      ota_test::shell_output(std::string(OTA_PROCESS_EXE) + " -p " + full +
                                 " -z relative.zip >/dev/null 2>&1 & cat " + cut + "; wait $!",
                             &status);
  ::unlink(cut.c_str());
  ::rmdir(dir.c_str());
  // The first record only; a relative package path fails before the upgrade (-6).
  ASSERT_EQ(got.size(), 72u);
  EXPECT_EQ(got.substr(0, 5), std::string("None\0", 5));
  EXPECT_EQ(static_cast<uint8_t>(got[64]), 1);
  EXPECT_EQ(status, 250);
}

}  // namespace
