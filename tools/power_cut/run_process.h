// Runs a program and collects what it printed, for the kill-point harness and the
// tracer's tests.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace ota_road {

struct Outcome {
  int status = -1;     // exit status, 128 + signal when a signal ended it
  std::string output;  // stdout and stderr together
};

// Runs argv (argv[0] a path) and waits for it; throws when it cannot be started.
inline Outcome run_process(std::vector<std::string> argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    std::vector<char*> args;
    for (auto& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "cannot execute %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  const ota::UniqueFd read_end(pipe_fds[0]);
  if (pid < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  Outcome out;
  char buf[8192];
  ssize_t n = 0;
  while ((n = ota::retry_eintr([&] { return ::read(read_end.get(), buf, sizeof(buf)); })) > 0) {
    out.output.append(buf, static_cast<size_t>(n));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return out;
}

}  // namespace ota_road
