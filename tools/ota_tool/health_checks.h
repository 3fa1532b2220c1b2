// The board's health checks: the executables of one folder, run one after the other in
// name order, each in a process group of its own with a time limit, their output handed
// line by line to the caller's log.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tool_result.h"

namespace ota_tool {

enum class CheckOutcome { kPassed, kFailed, kTimedOut, kNotStarted };

struct CheckResult {
  std::string name;
  CheckOutcome outcome = CheckOutcome::kNotStarted;
  int exit_status = -1;  // the exit code, or 128 + the signal that ended it
};

// The checks of `dir` in byte order of their names: regular files (links followed) with an
// execute bit, names not starting with "."; other entries are reported in `skipped`. A
// folder that does not exist holds no checks.
struct CheckList {
  std::vector<std::string> paths;
  std::vector<std::string> skipped;
};
[[nodiscard]] ota::tool::Result<CheckList> list_health_checks(const std::string& dir);

// Runs one check with the caller's environment plus `extra_env` ("NAME=value"), stdin
// /dev/null, stdout and stderr given to `on_line` one line at a time. After `timeout_s` the
// check's whole process group is killed and the check counts as timed out.
using LineSink = std::function<void(const std::string&)>;
[[nodiscard]] CheckResult run_health_check(const std::string& path,
                                           const std::vector<std::string>& extra_env, int timeout_s,
                                           const LineSink& on_line);

// "passed", "failed with status 3", "timed out after 5 s (killed)", "could not be started".
[[nodiscard]] std::string describe_check(const CheckResult& r, int timeout_s);

}  // namespace ota_tool
