#include "health_checks.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace ota_tool {

using ota::tool::errno_error;
using ota::tool::Result;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollMs = 100;

int status_code(int wstatus) {
  if (WIFEXITED(wstatus)) {
    return WEXITSTATUS(wstatus);
  }
  return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
}

// Splits what arrived into lines for the sink; a last piece without its newline waits.
class LineSplitter {
 public:
  explicit LineSplitter(const LineSink& sink) : sink_(sink) {}
  void feed(const char* data, size_t n) {
    pending_.append(data, n);
    size_t start = 0;
    for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
      sink_(pending_.substr(start, nl - start));
    }
    pending_.erase(0, start);
  }
  void finish() {
    if (!pending_.empty()) {
      sink_(pending_);
      pending_.clear();
    }
  }

 private:
  const LineSink& sink_;
  std::string pending_;
};

// Reads whatever the pipe holds now; false at end of file.
bool drain(int fd, LineSplitter* lines) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n > 0) {
      lines->feed(buf, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

[[noreturn]] void exec_check(const std::string& path, int out_fd, char* const envp[]) {
  (void)::setpgid(0, 0);
  const int null_fd = ::open("/dev/null", O_RDONLY);
  if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0 || ::dup2(out_fd, STDOUT_FILENO) < 0 ||
      ::dup2(out_fd, STDERR_FILENO) < 0) {
    ::_exit(126);
  }
  char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
  ::execve(path.c_str(), argv, envp);
  ::_exit(127);
}

std::vector<char*> environment(std::vector<std::string>* storage) {
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::any_of(storage->begin(), storage->end(), [&](const std::string& x) {
      return entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1);
    });
    if (!replaced) {
      envp.push_back(*e);
    }
  }
  for (std::string& x : *storage) {
    envp.push_back(x.data());
  }
  envp.push_back(nullptr);
  return envp;
}

}  // namespace

Result<CheckList> list_health_checks(const std::string& dir) {
  CheckList list;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    if (errno == ENOENT) {
      return list;
    }
    return errno_error("opening the health-check folder " + dir);
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') {
      names.emplace_back(e->d_name);
    }
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
      list.paths.push_back(path);
    } else {
      list.skipped.push_back(path);
    }
  }
  return list;
}

CheckResult run_health_check(const std::string& path, const std::vector<std::string>& extra_env,
                             int timeout_s, const LineSink& on_line) {
  CheckResult r;
  r.name = path.substr(path.rfind('/') + 1);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return r;
  }
  std::vector<std::string> storage = extra_env;
  std::vector<char*> envp = environment(&storage);
  const pid_t pid = ::fork();
  if (pid == 0) {
    exec_check(path, fds[1], envp.data());
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return r;
  }
  (void)::setpgid(pid, pid);  // also here, so the group exists before any kill below
  (void)::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  LineSplitter lines(on_line);
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
  bool open = true;
  int wstatus = 0;
  for (;;) {
    if (open) {
      pollfd p{fds[0], POLLIN, 0};
      (void)::poll(&p, 1, kPollMs);
      open = drain(fds[0], &lines);
    } else {
      ::usleep(kPollMs * 1000);
    }
    if (::waitpid(pid, &wstatus, WNOHANG) == pid) {
      r.outcome = status_code(wstatus) == 0 ? CheckOutcome::kPassed : CheckOutcome::kFailed;
      r.exit_status = status_code(wstatus);
      break;
    }
    if (Clock::now() >= deadline) {
      (void)::kill(-pid, SIGKILL);
      (void)::waitpid(pid, &wstatus, 0);
      r.outcome = CheckOutcome::kTimedOut;
      r.exit_status = status_code(wstatus);
      break;
    }
  }
  // What the check wrote before it ended; a child it left behind is not waited for.
  if (open) {
    (void)drain(fds[0], &lines);
  }
  lines.finish();
  ::close(fds[0]);
  if (r.outcome == CheckOutcome::kFailed && r.exit_status == 127) {
    r.outcome = CheckOutcome::kNotStarted;
  }
  return r;
}

std::string describe_check(const CheckResult& r, int timeout_s) {
  switch (r.outcome) {
    case CheckOutcome::kPassed:
      return "passed";
    case CheckOutcome::kFailed:
      return "failed with status " + std::to_string(r.exit_status);
    case CheckOutcome::kTimedOut:
      return "timed out after " + std::to_string(timeout_s) + " s (its process group killed)";
    case CheckOutcome::kNotStarted:
      break;
  }
  return "could not be started";
}

}  // namespace ota_tool
