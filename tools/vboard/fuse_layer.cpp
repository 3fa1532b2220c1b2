#include "fuse_layer.h"

#define FUSE_USE_VERSION 314
#include <fcntl.h>
#include <fuse.h>
#include <mtd/mtd-abi.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace vboard {

namespace {

// One served image: the board's file the server writes through to.
struct Served {
  std::string name;
  ota::UniqueFd fd;
  uint32_t erasesize = 0;  // not 0: the MTD character device stand-in
  uint64_t writes = 0;     // since the last fsync: what a flush now makes durable
};

struct ServerState {
  std::vector<Served> files;
  ota::UniqueFd log;
};

ServerState& state() { return *static_cast<ServerState*>(fuse_get_context()->private_data); }

Served* find(const char* path) {
  for (auto& f : state().files) {
    if (path[0] == '/' && f.name == path + 1) {
      return &f;
    }
  }
  return nullptr;
}

Served* by_handle(const fuse_file_info* fi) {
  auto& files = state().files;
  return fi != nullptr && fi->fh < files.size() ? &files[fi->fh] : nullptr;
}

void log_line(const std::string& line) {
  (void)ota::write_full(state().log.get(), line.data(), line.size());
}

void* on_init(fuse_conn_info* conn, fuse_config* cfg) {
  // Every write must reach the server when the kernel takes it, not when the page
  // cache chooses to write it back: the order of writes and flushes is what we watch.
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  cfg->kernel_cache = 0;
  return fuse_get_context()->private_data;
}

int on_getattr(const char* path, struct stat* st, fuse_file_info* /*fi*/) {
  *st = {};
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  const Served* f = find(path);
  if (f == nullptr) {
    return -ENOENT;
  }
  struct stat real {};
  if (::fstat(f->fd.get(), &real) != 0) {
    return -errno;
  }
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  // A character device has no size of its own: the MTD stand-in reports 0 as one does.
  st->st_size = f->erasesize != 0 ? 0 : real.st_size;
  st->st_blocks = f->erasesize != 0 ? 0 : real.st_blocks;
  st->st_mtim = real.st_mtim;
  return 0;
}

int on_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t /*off*/,
               fuse_file_info* /*fi*/, fuse_readdir_flags /*flags*/) {
  if (std::strcmp(path, "/") != 0) {
    return -ENOTDIR;
  }
  fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
  fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
  for (const auto& f : state().files) {
    fill(buf, f.name.c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
  }
  return 0;
}

int on_open(const char* path, fuse_file_info* fi) {
  const Served* f = find(path);
  if (f == nullptr) {
    return -ENOENT;
  }
  // An image keeps its size: the board's partitions are laid out over all of it.
  if ((fi->flags & O_TRUNC) != 0) {
    return -EPERM;
  }
  fi->fh = static_cast<uint64_t>(f - state().files.data());
  // No page cache above us: every read comes to the server too (it is to be the one
  // place that knows what the medium holds, once it keeps a volatile cache), the boot
  // firmware's writes to the image files are seen at once, and the MTD stand-in, of size
  // 0 as stat shows it, is read and written past the kernel's idea of its end.
  fi->direct_io = 1;
  return 0;
}

int on_truncate(const char* /*path*/, off_t /*size*/, fuse_file_info* /*fi*/) { return -EPERM; }

int on_read(const char* /*path*/, char* buf, size_t len, off_t off, fuse_file_info* fi) {
  const Served* f = by_handle(fi);
  if (f == nullptr) {
    return -EBADF;
  }
  const ssize_t n = ota::pread_full(f->fd.get(), buf, len, off);
  return n < 0 ? -errno : static_cast<int>(n);
}

// NOR programming only clears bits: a 1 asked over a 0 stays 0, as on the chip. Such
// a write means a missing erase, and is logged.
bool program_nor(Served& f, const char* buf, size_t len, off_t off) {
  std::vector<char> cell(len);
  if (ota::pread_full(f.fd.get(), cell.data(), len, off) != static_cast<ssize_t>(len)) {
    return false;
  }
  size_t refused = 0;
  for (size_t i = 0; i < len; ++i) {
    refused += (buf[i] & ~cell[i]) != 0 ? 1 : 0;
    cell[i] = static_cast<char>(cell[i] & buf[i]);
  }
  if (refused != 0) {
    log_line("unerased " + f.name + " at " + std::to_string(off) + " len " + std::to_string(len) +
             ": " + std::to_string(refused) + " bytes kept cleared bits\n");
  }
  return ota::pwrite_full(f.fd.get(), cell.data(), len, off);
}

int on_write(const char* /*path*/, const char* buf, size_t len, off_t off, fuse_file_info* fi) {
  Served* f = by_handle(fi);
  if (f == nullptr) {
    return -EBADF;
  }
  struct stat real {};
  if (::fstat(f->fd.get(), &real) != 0) {
    return -errno;
  }
  if (off < 0 || static_cast<uint64_t>(off) + len > static_cast<uint64_t>(real.st_size)) {
    return -ENOSPC;
  }
  const bool ok = f->erasesize != 0 ? program_nor(*f, buf, len, off)
                                    : ota::pwrite_full(f->fd.get(), buf, len, off);
  if (!ok) {
    return -errno;
  }
  ++f->writes;
  return static_cast<int>(len);
}

int on_fsync(const char* /*path*/, int datasync, fuse_file_info* fi) {
  Served* f = by_handle(fi);
  if (f == nullptr) {
    return -EBADF;
  }
  const int rc = datasync != 0 ? ::fdatasync(f->fd.get()) : ::fsync(f->fd.get());
  const int err = rc == 0 ? 0 : errno;
  std::ostringstream line;
  line << "fsync " << f->name << " datasync=" << datasync << " writes=" << f->writes
       << (err == 0 ? "" : std::string(" failed: ") + std::strerror(err)) << "\n";
  log_line(line.str());
  f->writes = 0;
  return -err;
}

int on_flush(const char* /*path*/, fuse_file_info* fi) {
  const Served* f = by_handle(fi);
  if (f == nullptr) {
    return -EBADF;
  }
  log_line("flush " + f->name + " writes=" + std::to_string(f->writes) + "\n");
  return 0;
}

// Erases [start, start + len): whole erase blocks inside the chip, set to 0xFF.
int erase_nor(Served& f, uint64_t start, uint64_t len) {
  struct stat real {};
  if (::fstat(f.fd.get(), &real) != 0) {
    return -errno;
  }
  const auto size = static_cast<uint64_t>(real.st_size);
  if (len == 0 || start % f.erasesize != 0 || len % f.erasesize != 0 || start > size ||
      len > size - start) {
    log_line("erase " + f.name + " at " + std::to_string(start) + " len " + std::to_string(len) +
             " refused\n");
    return -EINVAL;
  }
  const std::vector<char> ones(f.erasesize, static_cast<char>(0xFF));
  for (uint64_t at = start; at < start + len; at += f.erasesize) {
    if (!ota::pwrite_full(f.fd.get(), ones.data(), ones.size(), static_cast<off_t>(at))) {
      return -errno;
    }
  }
  log_line("erase " + f.name + " at " + std::to_string(start) + " len " + std::to_string(len) +
           "\n");
  return 0;
}

int nor_info(const Served& f, void* data) {
  struct stat real {};
  if (::fstat(f.fd.get(), &real) != 0) {
    return -errno;
  }
  mtd_info_user info{};
  info.type = MTD_NORFLASH;
  info.flags = MTD_CAP_NORFLASH;
  info.size = static_cast<uint32_t>(real.st_size);
  info.erasesize = f.erasesize;
  info.writesize = 1;
  std::memcpy(data, &info, sizeof(info));
  return 0;
}

// The MTD requests the engine makes; the kernel carries them to a regular file of
// ours because each encodes its argument's size and direction.
int on_ioctl(const char* /*path*/, unsigned int cmd, void* /*arg*/, fuse_file_info* fi,
             unsigned int /*flags*/, void* data) {
  Served* f = by_handle(fi);
  if (f == nullptr || f->erasesize == 0) {
    return -ENOTTY;
  }
  switch (cmd) {
    case MEMGETINFO:
      return nor_info(*f, data);
    case MEMERASE: {
      erase_info_user e{};
      std::memcpy(&e, data, sizeof(e));
      return erase_nor(*f, e.start, e.length);
    }
    case MEMERASE64: {
      erase_info_user64 e{};
      std::memcpy(&e, data, sizeof(e));
      return erase_nor(*f, e.start, e.length);
    }
    default:
      return -ENOTTY;
  }
}

fuse_operations server_ops() {
  fuse_operations ops{};
  ops.init = on_init;
  ops.getattr = on_getattr;
  ops.readdir = on_readdir;
  ops.open = on_open;
  ops.truncate = on_truncate;
  ops.read = on_read;
  ops.write = on_write;
  ops.fsync = on_fsync;
  ops.flush = on_flush;
  ops.ioctl = on_ioctl;
  return ops;
}

Result<ServerState> open_state(const BoardDir& dir, const std::vector<ServedFile>& files) {
  ServerState st;
  auto log = open_file(dir.fuse_log(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (!log) {
    return log.error();
  }
  st.log = std::move(log.value());
  for (const auto& file : files) {
    auto fd = open_file(file.image, O_RDWR | O_CLOEXEC);
    if (!fd) {
      return fd.error();
    }
    st.files.push_back({file.name, std::move(fd.value()), file.erasesize, 0});
  }
  return st;
}

// The server process: mounts, reports "+" (or why not) on report_fd, serves until
// the file system is unmounted.
[[noreturn]] void serve(const BoardDir& dir, const std::vector<ServedFile>& files, pid_t runner,
                        int report_fd) {
  // Without the runner nobody unmounts us: die with it, also if it died before this.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != runner) {
    ::_exit(1);
  }
  auto report = [&](const std::string& msg) {
    (void)ota::write_full(report_fd, msg.data(), msg.size());
  };
  auto st = open_state(dir, files);
  if (!st) {
    report(st.error().message());
    ::_exit(1);
  }
  const char* argv[] = {"vboard-fuse", "-o", "fsname=vboard,subtype=vboard", nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  const fuse_operations ops = server_ops();
  fuse* f = fuse_new(&args, &ops, sizeof(ops), &*st);
  if (f == nullptr || fuse_mount(f, dir.fuse_mount().c_str()) != 0) {
    report("cannot mount the FUSE server on " + dir.fuse_mount());
    ::_exit(1);
  }
  report("+");
  ::close(report_fd);
  // One thread: requests are handled in the order the kernel queued them.
  const int rc = fuse_loop(f);
  fuse_unmount(f);
  fuse_destroy(f);
  ::_exit(rc == 0 ? 0 : 1);
}

}  // namespace

Result<FuseImages> FuseImages::start(const BoardDir& dir, const std::vector<ServedFile>& files) {
  // A server killed with its runner leaves a dead mount behind, on which even mkdir
  // fails: it goes first.
  (void)::umount2(dir.fuse_mount().c_str(), MNT_DETACH);
  if (auto r = make_dirs(dir.fuse_mount(), 0700); !r) {
    return r.error();
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return ota::tool::errno_error("pipe");
  }
  const pid_t runner = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    return ota::tool::errno_error("fork");
  }
  if (pid == 0) {
    ::close(report[0]);
    serve(dir, files, runner, report[1]);
  }
  ::close(report[1]);
  const ota::UniqueFd report_fd(report[0]);
  std::string msg;
  char buf[256];
  ssize_t n = 0;
  while ((n = ota::retry_eintr([&] { return ::read(report_fd.get(), buf, sizeof(buf)); })) > 0) {
    msg.append(buf, static_cast<size_t>(n));
  }
  FuseImages out;
  out.mount_ = dir.fuse_mount();
  out.pid_ = pid;
  if (msg != "+") {
    (void)out.stop();
    return Error(EIO, "start the FUSE server of " + dir.root() + ": " +
                          (msg.empty() ? "it ended without a word" : msg));
  }
  return out;
}

Result<void> FuseImages::stop() {
  if (pid_ < 0) {
    return {};
  }
  if (::umount2(mount_.c_str(), 0) != 0 && errno != EINVAL) {
    (void)::umount2(mount_.c_str(), MNT_DETACH);
  }
  const int code = wait_exit_code(pid_);
  pid_ = -1;
  if (code != 0) {
    return Error(EIO,
                 "the FUSE server of " + mount_ + " ended with status " + std::to_string(code));
  }
  return {};
}

FuseImages::~FuseImages() { (void)stop(); }

}  // namespace vboard
