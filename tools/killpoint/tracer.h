// The tracer: runs a command with every process and thread it starts followed (fork,
// vfork, clone, exec), stopped by seccomp at the entry of each watched call, and counts
// the durable writes. At the entry of the stop-at-th one it kills every traced process
// with SIGKILL before that call runs (the kernel skips a call whose caller has a fatal
// signal pending), then waits until all of them are gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "durable_write.h"

namespace killpoint {

struct Event {
  uint64_t index = 0;  // 1 for the first durable write
  pid_t pid = 0;
  std::string comm;
  DurableWrite write;
};

struct TraceOptions {
  std::vector<std::string> argv;
  uint64_t stop_at = 0;  // 0: never stop
  std::function<void(const Event&, bool stopping)> on_event;
};

struct TraceResult {
  int status = 0;        // the command's exit status, 128 + signal when a signal ended it
  bool stopped = false;  // killed at event stop_at
  uint64_t events = 0;   // durable writes that reached their entry
};

// Runs and follows the command until every traced process has ended.
[[nodiscard]] Result<TraceResult> trace(const TraceOptions& options, const Targets& targets);

}  // namespace killpoint
