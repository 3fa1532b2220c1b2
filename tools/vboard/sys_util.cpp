#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace vboard {

Result<ota::UniqueFd> open_file(const std::string& path, int flags, mode_t mode) {
  ota::UniqueFd fd = ota::open_fd(path.c_str(), flags, mode);
  if (!fd) {
    return ota::tool::errno_error("open " + path);
  }
  return fd;
}

Result<std::string> read_text(const std::string& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) {
    return fd.error();
  }
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ota::retry_eintr([&] { return ::read(fd->get(), buf, sizeof(buf)); });
    if (n < 0) {
      return ota::tool::errno_error("read " + path);
    }
    if (n == 0) {
      return out;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

Result<void> write_text(const std::string& path, const std::string& text, mode_t mode) {
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (!fd) {
    return fd.error();
  }
  if (!ota::write_full(fd->get(), text.data(), text.size())) {
    return ota::tool::errno_error("write " + path);
  }
  if (::fsync(fd->get()) != 0 || fd->close() != 0) {
    return ota::tool::errno_error("sync " + path);
  }
  return {};
}

Result<void> make_dirs(const std::string& path, mode_t mode) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) {
    return Error(ec.value(), "create directory " + path + ": " + ec.message());
  }
  if (::chmod(path.c_str(), mode) != 0) {
    return ota::tool::errno_error("chmod " + path);
  }
  return {};
}

Result<void> remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) {
    return Error(ec.value(), "remove " + path + ": " + ec.message());
  }
  return {};
}

Result<void> pread_exact(int fd, void* buf, size_t len, uint64_t offset, const std::string& what) {
  const ssize_t n = ota::pread_full(fd, buf, len, static_cast<off_t>(offset));
  if (n < 0) {
    return ota::tool::errno_error("read " + what);
  }
  if (static_cast<size_t>(n) != len) {
    return Error(EIO, "read " + what + ": short read at offset " + std::to_string(offset));
  }
  return {};
}

Result<void> pwrite_exact(int fd, const void* buf, size_t len, uint64_t offset,
                          const std::string& what) {
  if (!ota::pwrite_full(fd, buf, len, static_cast<off_t>(offset))) {
    return ota::tool::errno_error("write " + what);
  }
  return {};
}

int wait_exit_code(pid_t pid) {
  int status = 0;
  if (ota::retry_eintr([&] { return ::waitpid(pid, &status, 0); }) < 0) {
    return 127;
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
}

Result<void> run_program(const std::vector<std::string>& argv) {
  int err_pipe[2];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    return ota::tool::errno_error("pipe");
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    return ota::tool::errno_error("fork for " + argv[0]);
  }
  if (pid == 0) {
    ::dup2(err_pipe[1], STDERR_FILENO);
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(err_pipe[1]);
  ota::UniqueFd err_fd(err_pipe[0]);
  std::string err_text;
  char buf[512];
  ssize_t n = 0;
  while ((n = ota::retry_eintr([&] { return ::read(err_fd.get(), buf, sizeof(buf)); })) > 0) {
    if (err_text.size() < 4096) {
      err_text.append(buf, static_cast<size_t>(n));
    }
  }
  const int code = wait_exit_code(pid);
  if (code != 0) {
    while (!err_text.empty() && (err_text.back() == '\n' || err_text.back() == ' ')) {
      err_text.pop_back();
    }
    return Error(EIO, argv[0] + " exited with " + std::to_string(code) +
                          (err_text.empty() ? "" : ": " + err_text));
  }
  return {};
}

Result<std::string> real_path(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) {
    return ota::tool::errno_error("resolve " + path);
  }
  return std::string(buf);
}

}  // namespace vboard
