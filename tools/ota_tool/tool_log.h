// The tool's own account of what it does: each step with its reason goes to the screen,
// to the system log and to the --log file; the output of a health check goes to the
// system log and the --log file only.
#pragma once

#include <cstdio>
#include <string>

namespace ota_tool {

class ToolLog {
 public:
  // out and err are the screen (null: nothing on it); log_fd < 0: no file.
  ToolLog(std::FILE* out, std::FILE* err, int log_fd) : out_(out), err_(err), log_fd_(log_fd) {}

  void step(const std::string& line) const;    // information
  void error(const std::string& line) const;   // something failed
  void detail(const std::string& line) const;  // not for the screen

 private:
  void to_file(const char* tag, const std::string& line) const;
  std::FILE* out_;
  std::FILE* err_;
  int log_fd_;
};

}  // namespace ota_tool
