#include "durable_write.h"

#include <dirent.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <climits>
#include <fstream>

#include "unique_fd.h"
#include "watched_calls.h"

namespace killpoint {

namespace {

constexpr const char* kByName = "/dev/block/platform/by-name";
constexpr const char* kNorDevice = "/dev/mtd0";
constexpr size_t kMaxIov = 1024;  // IOV_MAX

std::string proc_path(pid_t pid, const std::string& rest) {
  return "/proc/" + std::to_string(pid) + "/" + rest;
}

// Reads len bytes at addr of pid's memory.
bool read_memory(pid_t pid, uint64_t addr, void* out, size_t len) {
  iovec local{out, len};
  iovec remote{reinterpret_cast<void*>(addr), len};
  return ::process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(len);
}

std::optional<uint64_t> read_u64(pid_t pid, uint64_t addr) {
  uint64_t v = 0;
  return addr != 0 && read_memory(pid, addr, &v, sizeof(v)) ? std::optional<uint64_t>(v)
                                                            : std::nullopt;
}

// The descriptor's file position (the "pos:" line of fdinfo).
std::optional<uint64_t> position(pid_t pid, uint64_t fd) {
  std::ifstream in(proc_path(pid, "fdinfo/" + std::to_string(fd)));
  std::string key;
  uint64_t value = 0;
  while (in >> key >> value) {
    if (key == "pos:") {
      return value;
    }
    in.ignore(4096, '\n');
  }
  return std::nullopt;
}

std::optional<uint64_t> iov_total(pid_t pid, uint64_t addr, uint64_t count) {
  if (count > kMaxIov) {
    return std::nullopt;
  }
  std::vector<iovec> iov(count);
  if (count != 0 && !read_memory(pid, addr, iov.data(), count * sizeof(iovec))) {
    return std::nullopt;
  }
  uint64_t total = 0;
  for (const auto& v : iov) {
    total += v.iov_len;
  }
  return total;
}

// Offset and length of what the call writes; both unset for a flush of the whole target.
void fill_range(const SyscallEntry& c, const WatchedCall& w, DurableWrite& out) {
  const auto& a = c.args;
  const uint64_t fd = a[static_cast<size_t>(w.fd_arg < 0 ? 0 : w.fd_arg)];
  const std::string_view n = w.name;
  if (n == "write" || n == "sendfile") {
    out.offset = position(c.pid, fd);
    out.length = n == "write" ? a[2] : a[3];
  } else if (n == "pwrite64") {
    out.offset = a[3];
    out.length = a[2];
  } else if (n == "writev" || n == "pwritev" || n == "pwritev2") {
    const bool at_position = n == "writev" || static_cast<int64_t>(a[3]) == -1;
    out.offset = at_position ? position(c.pid, fd) : std::optional<uint64_t>(a[3]);
    out.length = iov_total(c.pid, a[1], a[2]);
  } else if (n == "sync_file_range") {
    out.offset = a[1];
    out.length = a[2];  // 0: to the end of the device
  } else if (n == "fallocate") {
    out.offset = a[2];
    out.length = a[3];
  } else if (n == "copy_file_range" || n == "splice") {
    out.offset = a[3] != 0 ? read_u64(c.pid, a[3]) : position(c.pid, fd);
    out.length = a[4];
  } else if (n == "ioctl" && a[1] != BLKFLSBUF) {
    out.offset = read_u64(c.pid, a[2]);
    out.length = read_u64(c.pid, a[2] + sizeof(uint64_t));
  }
}

std::string basename_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Result<Targets> Targets::scan(const std::vector<std::string>& watched) {
  Targets t;
  if (DIR* d = ::opendir(kByName)) {
    while (const dirent* de = ::readdir(d)) {
      struct stat st {};
      const std::string name = de->d_name;
      if (name != "." && name != ".." &&
          ::stat((std::string(kByName) + "/" + name).c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        t.block_names_[st.st_rdev] = name;
      }
    }
    ::closedir(d);
  }
  struct stat nor {};
  if (::stat(kNorDevice, &nor) == 0 && (S_ISBLK(nor.st_mode) || S_ISCHR(nor.st_mode))) {
    t.nor_ = nor.st_rdev;
    t.block_names_.emplace(nor.st_rdev, "mtd0");
  }
  for (const auto& path : watched) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return Error(errno != 0 ? errno : EINVAL, "--watch " + path + ": not a regular file");
    }
    t.files_[{st.st_dev, st.st_ino}] = basename_of(path);
  }
  return t;
}

std::optional<std::string> Targets::name(const struct stat& st, const std::string& link) const {
  if (S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && nor_ && st.st_rdev == *nor_)) {
    const auto it = block_names_.find(st.st_rdev);
    return it != block_names_.end() ? it->second : basename_of(link);
  }
  if (S_ISREG(st.st_mode)) {
    const auto it = files_.find({st.st_dev, st.st_ino});
    if (it != files_.end()) {
      return it->second;
    }
  }
  return std::nullopt;
}

Result<std::optional<DurableWrite>> classify(const SyscallEntry& call, const Targets& targets) {
  const WatchedCall* w = find_watched(call.nr);
  if (w == nullptr) {
    return std::optional<DurableWrite>();
  }
  if (w->nr == SYS_ioctl && std::find(watched_ioctls().begin(), watched_ioctls().end(),
                                      call.args[1]) == watched_ioctls().end()) {
    return std::optional<DurableWrite>();
  }
  DurableWrite out{std::string(w->name), "all", std::nullopt, std::nullopt};
  if (w->fd_arg < 0) {
    return std::optional<DurableWrite>(out);  // sync: every device of the machine
  }
  const uint64_t fd = call.args[static_cast<size_t>(w->fd_arg)];
  const std::string link_path = proc_path(call.pid, "fd/" + std::to_string(fd));
  struct stat st {};
  if (fd > INT32_MAX || ::stat(link_path.c_str(), &st) != 0) {
    if (errno == ENOENT || fd > INT32_MAX) {
      return std::optional<DurableWrite>();  // not an open descriptor: the call fails
    }
    return ota::tool::errno_error("inspect " + link_path);
  }
  char link[4096] = {};
  const ssize_t len = ::readlink(link_path.c_str(), link, sizeof(link) - 1);
  auto name = targets.name(st, len > 0 ? std::string(link, static_cast<size_t>(len)) : "");
  if (!name) {
    return std::optional<DurableWrite>();
  }
  out.target = *name;
  fill_range(call, *w, out);
  return std::optional<DurableWrite>(out);
}

}  // namespace killpoint
