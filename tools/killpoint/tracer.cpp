#include "tracer.h"

#include <elf.h>
#include <fcntl.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "unique_fd.h"
#include "watched_calls.h"

namespace killpoint {

namespace {

constexpr long kOptions = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                          PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT |
                          PTRACE_O_EXITKILL;

// ---- the traced child, before its exec --------------------------------------------

bool install_filter() {
  std::vector<sock_filter> prog = watch_program();
  sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0) {
    return true;
  }
  // Without CAP_SYS_ADMIN a filter needs no_new_privs.
  return errno == EACCES && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// Waits until the tracer has seized it, installs the filter and runs the command.
[[noreturn]] void run_child(int go_fd, const std::vector<std::string>& argv) {
  char c = 0;
  if (ota::retry_eintr([&] { return ::read(go_fd, &c, 1); }) != 1) {
    ::_exit(101);  // the tracer is gone
  }
  ::close(go_fd);
  if (!install_filter()) {
    std::fprintf(stderr, "ota_killpoint: install the seccomp filter: %s\n", std::strerror(errno));
    ::_exit(101);
  }
  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  std::fprintf(stderr, "ota_killpoint: cannot execute %s: %s\n", args[0], std::strerror(errno));
  ::_exit(127);
}

// ---- reading a stopped call ---------------------------------------------------------

// The call at a seccomp stop, by PTRACE_GET_SYSCALL_INFO; on kernels without it, from the
// registers (PTRACE_GETREGSET), where each architecture keeps number and arguments.
Result<SyscallEntry> stopped_call(pid_t pid) {
  SyscallEntry call;
  call.pid = pid;
  __ptrace_syscall_info info{};
  if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof(info), &info) > 0) {
    if (info.op != PTRACE_SYSCALL_INFO_SECCOMP) {
      return Error(EINVAL, "process " + std::to_string(pid) + " is not at a seccomp stop");
    }
    if (info.arch != native_arch()) {
      return Error(ENOEXEC, "process " + std::to_string(pid) +
                                " made a system call of another architecture: its writes "
                                "cannot be told apart");
    }
    call.nr = info.seccomp.nr;
    for (size_t i = 0; i < 6; ++i) {
      call.args[i] = info.seccomp.args[i];
    }
    return call;
  }
  user_regs_struct regs{};
  iovec io{&regs, sizeof(regs)};
  if (::ptrace(PTRACE_GETREGSET, pid, NT_PRSTATUS, &io) != 0) {
    return ota::tool::errno_error("read the registers of process " + std::to_string(pid));
  }
#if defined(__aarch64__)
  call.nr = regs.regs[8];
  for (size_t i = 0; i < 6; ++i) {
    call.args[i] = regs.regs[i];
  }
#else
  call.nr = regs.orig_rax;
  call.args = {regs.rdi, regs.rsi, regs.rdx, regs.r10, regs.r8, regs.r9};
#endif
  return call;
}

std::string comm_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

bool is_stop_signal(int sig) {
  return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// ---- the trace ----------------------------------------------------------------------

class Tracer {
 public:
  Tracer(const TraceOptions& options, const Targets& targets, pid_t child)
      : options_(options), targets_(targets), child_(child) {
    tracees_.insert(child);
  }

  Result<TraceResult> run() {
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, __WALL);
      if (pid < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == ECHILD) {
          break;
        }
        return failure(ota::tool::errno_error("wait for the traced processes"));
      }
      if (WIFEXITED(status) || WIFSIGNALED(status)) {
        tracees_.erase(pid);
        if (pid == child_) {
          result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
      } else if (WIFSTOPPED(status)) {
        if (auto r = on_stop(pid, status); !r) {
          return failure(r.error());
        }
      }
    }
    return result_;
  }

 private:
  // Kills everything and waits until it is gone, then passes the error on.
  Error failure(Error error) {
    kill_all();
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, __WALL);
      if (pid < 0 && errno != EINTR) {
        return error;
      }
      if (pid > 0 && WIFSTOPPED(status)) {
        ::kill(pid, SIGKILL);
        resume(pid, 0);
      }
    }
  }

  void kill_all() {
    killing_ = true;
    for (const pid_t pid : tracees_) {
      ::kill(pid, SIGKILL);
    }
  }

  // Lets a stopped process go on; one that vanished meanwhile (ESRCH) is fine.
  void resume(pid_t pid, int sig) {
    if (pid > 0) {
      (void)::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig)));
    }
  }

  Result<void> on_stop(pid_t pid, int status) {
    const int sig = WSTOPSIG(status);
    const int event = status >> 16;
    tracees_.insert(pid);  // a new child's first stop may come before its parent's event
    if (killing_) {
      // Whatever still moves after the kill dies: a child whose fork was not yet seen too.
      ::kill(pid, SIGKILL);
    }
    switch (event) {
      case PTRACE_EVENT_SECCOMP:
        if (!killing_) {
          if (auto r = on_call(pid); !r) {
            return r;
          }
        }
        break;
      case PTRACE_EVENT_FORK:
      case PTRACE_EVENT_VFORK:
      case PTRACE_EVENT_CLONE: {
        unsigned long child = 0;
        if (::ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &child) == 0) {
          tracees_.insert(static_cast<pid_t>(child));
          if (killing_) {
            ::kill(static_cast<pid_t>(child), SIGKILL);
          }
        }
        break;
      }
      case PTRACE_EVENT_EXEC: {
        // A thread other than the leader that execs takes over the leader's id.
        unsigned long former = 0;
        if (::ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &former) == 0 &&
            static_cast<pid_t>(former) != pid) {
          tracees_.erase(static_cast<pid_t>(former));
        }
        break;
      }
      case PTRACE_EVENT_STOP:
        if (is_stop_signal(sig)) {
          // A group-stop: the process stays stopped until SIGCONT, as untraced.
          (void)::ptrace(PTRACE_LISTEN, pid, nullptr, nullptr);
          return {};
        }
        break;
      case 0:
        resume(pid, sig);  // a signal on its way: delivered as it would be untraced
        return {};
      default:
        break;  // PTRACE_EVENT_EXIT and the like
    }
    resume(pid, 0);
    return {};
  }

  Result<void> on_call(pid_t pid) {
    auto call = stopped_call(pid);
    if (!call) {
      return call.error();
    }
    auto write = classify(*call, targets_);
    if (!write) {
      return write.error();
    }
    if (!write->has_value()) {
      return {};
    }
    Event e{++result_.events, pid, comm_of(pid), std::move(**write)};
    const bool stopping = e.index == options_.stop_at;
    if (options_.on_event) {
      options_.on_event(e, stopping);
    }
    if (stopping) {
      result_.stopped = true;
      kill_all();
    }
    return {};
  }

  const TraceOptions& options_;
  const Targets& targets_;
  const pid_t child_;
  std::set<pid_t> tracees_;
  bool killing_ = false;
  TraceResult result_;
};

}  // namespace

Result<TraceResult> trace(const TraceOptions& options, const Targets& targets) {
  if (options.argv.empty()) {
    return Error(EINVAL, "no command to run");
  }
  int go[2];
  if (::pipe2(go, O_CLOEXEC) != 0) {
    return ota::tool::errno_error("pipe");
  }
  const pid_t child = ::fork();
  if (child < 0) {
    return ota::tool::errno_error("fork");
  }
  if (child == 0) {
    ::close(go[1]);
    run_child(go[0], options.argv);
  }
  ::close(go[0]);
  ota::UniqueFd go_fd(go[1]);
  if (::ptrace(PTRACE_SEIZE, child, nullptr, reinterpret_cast<void*>(kOptions)) != 0) {
    Error e = ota::tool::errno_error("trace process " + std::to_string(child));
    ::kill(child, SIGKILL);
    (void)ota::retry_eintr([&] { return ::waitpid(child, nullptr, 0); });
    return e;
  }
  if (!ota::write_full(go_fd.get(), "g", 1)) {
    return ota::tool::errno_error("start the command");
  }
  go_fd.reset();
  return Tracer(options, targets, child).run();
}

}  // namespace killpoint
