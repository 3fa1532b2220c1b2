// Keeps the engine's own output off the operator's screen. The library prints its log
// lines on the tool's stdout and stderr, and the worker it launches inherits both (its log
// lines, and the output of the commands it runs such as `df`). While an EngineOutput
// lives, descriptors 1 and 2 point at the --log file (appended) or at /dev/null, so the
// worker and the library write there; every engine line still reaches the system log as
// before, and the tool writes its own lines and its progress bar to the copies of the
// original descriptors that out() and err() give.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "tool_result.h"

namespace ota_tool {

class EngineOutput {
 public:
  // log_file empty: the engine's output is dropped (it is in the system log).
  [[nodiscard]] static ota::tool::Result<std::unique_ptr<EngineOutput>> divert(
      const std::string& log_file);
  ~EngineOutput();
  EngineOutput(const EngineOutput&) = delete;
  EngineOutput& operator=(const EngineOutput&) = delete;

  [[nodiscard]] std::FILE* out() const { return out_; }
  [[nodiscard]] std::FILE* err() const { return err_; }
  // The descriptor of the --log file (or /dev/null) for the tool's own log lines.
  [[nodiscard]] int log_fd() const { return log_fd_; }
  [[nodiscard]] bool logging_to_file() const { return to_file_; }

 private:
  EngineOutput() = default;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  int saved_out_ = -1;
  int saved_err_ = -1;
  int log_fd_ = -1;
  bool to_file_ = false;
};

}  // namespace ota_tool
