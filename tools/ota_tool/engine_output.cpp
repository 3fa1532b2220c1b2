#include "engine_output.h"

#include <fcntl.h>
#include <unistd.h>

namespace ota_tool {

using ota::tool::errno_error;
using ota::tool::Error;
using ota::tool::Result;

Result<std::unique_ptr<EngineOutput>> EngineOutput::divert(const std::string& log_file) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::unique_ptr<EngineOutput> e(new EngineOutput());
  e->to_file_ = !log_file.empty();
  const char* target = e->to_file_ ? log_file.c_str() : "/dev/null";
  e->log_fd_ = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (e->log_fd_ < 0) {
    return errno_error(std::string("opening the log ") + target);
  }
  e->saved_out_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  e->saved_err_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (e->saved_out_ < 0 || e->saved_err_ < 0) {
    return errno_error("keeping the terminal's descriptors");
  }
  // The tool's own streams: line by line to the screen, the bar flushed where it is drawn.
  e->out_ = ::fdopen(::fcntl(e->saved_out_, F_DUPFD_CLOEXEC, 3), "w");
  e->err_ = ::fdopen(::fcntl(e->saved_err_, F_DUPFD_CLOEXEC, 3), "w");
  if (e->out_ == nullptr || e->err_ == nullptr) {
    return errno_error("opening the terminal's streams");
  }
  std::setvbuf(e->out_, nullptr, _IOLBF, 0);
  std::setvbuf(e->err_, nullptr, _IONBF, 0);
  // Descriptors 1 and 2 are inherited by the worker: not close-on-exec.
  if (::dup2(e->log_fd_, STDOUT_FILENO) < 0 || ::dup2(e->log_fd_, STDERR_FILENO) < 0) {
    return errno_error("sending the engine's output to " + std::string(target));
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return e;
}

EngineOutput::~EngineOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (saved_out_ >= 0) {
    (void)::dup2(saved_out_, STDOUT_FILENO);
    ::close(saved_out_);
  }
  if (saved_err_ >= 0) {
    (void)::dup2(saved_err_, STDERR_FILENO);
    ::close(saved_err_);
  }
  if (out_ != nullptr) {
    std::fclose(out_);
  }
  if (err_ != nullptr) {
    std::fclose(err_);
  }
  if (log_fd_ >= 0) {
    ::close(log_fd_);
  }
}

}  // namespace ota_tool
