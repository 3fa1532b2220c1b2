#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "health_checks.h"
#include "test_support.h"

namespace {

using ota_tool::CheckOutcome;

class HealthChecksTest : public ::testing::Test {
 protected:
  std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string path = dir_.file(name);
    ota_test::write_file(path, "#!/bin/sh\n" + body);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  ota_tool::CheckResult run(const std::string& path, int timeout_s = 10,
                            const std::vector<std::string>& env = {}) {
    lines_.clear();
    return ota_tool::run_health_check(path, env, timeout_s,
                                      [this](const std::string& l) { lines_.push_back(l); });
  }

  ota_test::TempDir dir_;
  std::vector<std::string> lines_;
};

// Checks run in byte order of their names; hidden files, folders and files without an
// execute bit are not run but reported.
TEST_F(HealthChecksTest, ListIsInNameOrderAndSkipsWhatCannotRun) {
  script("20-net", "exit 0\n");
  script("10-disk", "exit 0\n");
  script("Z-upper", "exit 0\n");
  script(".hidden", "exit 0\n");
  script("30-notes", "exit 0\n", 0644);
  ASSERT_EQ(::mkdir(dir_.file("40-dir").c_str(), 0755), 0);
  auto list = ota_tool::list_health_checks(dir_.path());
  ASSERT_TRUE(list) << list.error().message();
  EXPECT_EQ(list.value().paths, (std::vector<std::string>{dir_.file("10-disk"), dir_.file("20-net"),
                                                          dir_.file("Z-upper")}));
  EXPECT_EQ(list.value().skipped,
            (std::vector<std::string>{dir_.file("30-notes"), dir_.file("40-dir")}));

  auto none = ota_tool::list_health_checks(dir_.file("missing"));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none.value().paths.empty());
  auto not_dir = ota_tool::list_health_checks(dir_.file("10-disk"));
  EXPECT_FALSE(not_dir) << "a file in place of the folder is an error, not an empty folder";
}

// Outcome and exit status of a check; its stdout and stderr arrive as lines, the last one
// without its newline too.
TEST_F(HealthChecksTest, OutcomesAndOutput) {
  auto r = run(script("ok", "echo one; echo two >&2; printf three\n"));
  EXPECT_EQ(r.outcome, CheckOutcome::kPassed);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.name, "ok");
  EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two", "three"}));

  r = run(script("bad", "echo broken; exit 3\n"));
  EXPECT_EQ(r.outcome, CheckOutcome::kFailed);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(ota_tool::describe_check(r, 10), "failed with status 3");
  EXPECT_EQ(lines_, (std::vector<std::string>{"broken"}));

  r = run(script("killed", "kill -TERM $$\n"));
  EXPECT_EQ(r.outcome, CheckOutcome::kFailed);
  EXPECT_EQ(r.exit_status, 128 + SIGTERM);

  r = run(script("noexec", "exit 0\n", 0644));
  EXPECT_NE(r.outcome, CheckOutcome::kPassed);
}

// A hanging check is stopped at its limit with every process of its group, even one that
// keeps its output open.
TEST_F(HealthChecksTest, TimeoutKillsTheWholeGroup) {
  const std::string pid_file = dir_.file("child.pid");
  const auto start = std::chrono::steady_clock::now();
  const auto r =
      run(script("hang", "sleep 60 & echo $! > " + pid_file + "; echo waiting; wait\n"), 1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.outcome, CheckOutcome::kTimedOut);
  EXPECT_EQ(r.exit_status, 128 + SIGKILL);
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_EQ(lines_, (std::vector<std::string>{"waiting"}));
  const pid_t child = std::stoi(ota_test::read_file(pid_file));
  // Killed, the child may stay a zombie until whoever adopted it reaps it.
  const auto running = [child] {
    const std::string stat = "/proc/" + std::to_string(child) + "/stat";
    if (::access(stat.c_str(), F_OK) != 0) {
      return false;
    }
    const std::string text = ota_test::read_file(stat);
    return text.find(") Z ") == std::string::npos;
  };
  for (int i = 0; i < 50 && running(); ++i) {
    ::usleep(20000);
  }
  EXPECT_FALSE(running()) << "the check's background child survived the timeout";
  EXPECT_NE(ota_tool::describe_check(r, 1).find("timed out after 1 s"), std::string::npos);
}

// The check sees the caller's environment with the extra variables added or replaced.
TEST_F(HealthChecksTest, EnvironmentCarriesTheSlots) {
  ::setenv("MIRVO_OTA_BOOTED_SLOT", "stale", 1);
  ::setenv("HEALTH_TEST_KEPT", "kept", 1);
  const auto r = run(script("env",
                            "echo \"$MIRVO_OTA_BOOTED_SLOT $MIRVO_OTA_PREVIOUS_SLOT "
                            "$HEALTH_TEST_KEPT\"\n"),
                     10, {"MIRVO_OTA_BOOTED_SLOT=b", "MIRVO_OTA_PREVIOUS_SLOT=a"});
  ::unsetenv("MIRVO_OTA_BOOTED_SLOT");
  ::unsetenv("HEALTH_TEST_KEPT");
  EXPECT_EQ(r.outcome, CheckOutcome::kPassed);
  EXPECT_EQ(lines_, (std::vector<std::string>{"b a kept"}));
}

}  // namespace
