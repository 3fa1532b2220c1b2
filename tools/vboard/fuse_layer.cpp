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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "power_cut.h"

namespace vboard {

namespace {

// One image file behind the server. With a power-cut board its writes wait in a
// volatile cache until a flush of the image, and every write and flush is recorded.
struct Image {
  std::string name;  // its file name, as the record names it
  ota::UniqueFd fd;
  std::unique_ptr<SectorCache> cache;
  uint64_t writes = 0;  // since the last fsync: what a flush now makes durable
};

// One served file: a view of an image under a name of its own.
struct Served {
  std::string name;
  size_t image = 0;
  uint32_t erasesize = 0;  // not 0: the MTD character device stand-in
};

struct ServerState {
  std::vector<Image> images;
  std::vector<Served> files;
  ota::UniqueFd log;
  std::optional<RecordWriter> record;
  pid_t runner = -1;
  bool cut = false;  // the power was cut: nothing is written any more
};

// The file whose write cuts the power; its handle is past the served files.
constexpr const char* kCutFile = ".power-cut";
constexpr uint64_t kCutHandle = UINT64_MAX;

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

Image& image_of(const Served& f) { return state().images[f.image]; }

bool is_cut_file(const char* path) {
  return state().record.has_value() && path[0] == '/' && std::strcmp(path + 1, kCutFile) == 0;
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
  if (is_cut_file(path)) {
    st->st_mode = S_IFREG | 0200;
    st->st_nlink = 1;
    return 0;
  }
  const Served* f = find(path);
  if (f == nullptr) {
    return -ENOENT;
  }
  struct stat real {};
  if (::fstat(image_of(*f).fd.get(), &real) != 0) {
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
  if (is_cut_file(path)) {
    fi->fh = kCutHandle;
    fi->direct_io = 1;
    return 0;
  }
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
  const Image& img = image_of(*f);
  struct stat real {};
  if (::fstat(img.fd.get(), &real) != 0) {
    return -errno;
  }
  // Reads end at the image's end, as the medium does.
  const auto size = static_cast<uint64_t>(real.st_size);
  const uint64_t start = std::min(static_cast<uint64_t>(off), size);
  len = static_cast<size_t>(std::min<uint64_t>(len, size - start));
  if (img.cache) {
    return img.cache->read(buf, len, start) ? static_cast<int>(len) : -errno;
  }
  const ssize_t n = ota::pread_full(img.fd.get(), buf, len, off);
  return n < 0 ? -errno : static_cast<int>(n);
}

// Every byte that reaches an image passes here: into the cache or the file, and into
// the record.
bool put(Image& img, const char* buf, size_t len, uint64_t off) {
  const bool ok = img.cache ? img.cache->write(buf, len, off)
                            : ota::pwrite_full(img.fd.get(), buf, len, static_cast<off_t>(off));
  auto& record = state().record;
  if (ok && record && !record->write(img.name, buf, len, off)) {
    log_line("record of a write to " + img.name + " failed: " + std::strerror(errno) + "\n");
    return false;
  }
  return ok;
}

bool get(const Image& img, char* buf, size_t len, uint64_t off) {
  if (img.cache) {
    return img.cache->read(buf, len, off);
  }
  return ota::pread_full(img.fd.get(), buf, len, static_cast<off_t>(off)) ==
         static_cast<ssize_t>(len);
}

// NOR programming only clears bits: a 1 asked over a 0 stays 0, as on the chip. Such
// a write means a missing erase, and is logged.
bool program_nor(Served& f, const char* buf, size_t len, off_t off) {
  std::vector<char> cell(len);
  Image& img = image_of(f);
  if (!get(img, cell.data(), len, static_cast<uint64_t>(off))) {
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
  return put(img, cell.data(), len, static_cast<uint64_t>(off));
}

int cut_power();

int on_write(const char* /*path*/, const char* buf, size_t len, off_t off, fuse_file_info* fi) {
  if (fi != nullptr && fi->fh == kCutHandle) {
    return cut_power() == 0 ? static_cast<int>(len) : -EIO;
  }
  Served* f = by_handle(fi);
  if (f == nullptr) {
    return -EBADF;
  }
  // After the cut the board has no power: what the kernel still writes back is lost.
  if (state().cut) {
    return -EIO;
  }
  Image& img = image_of(*f);
  struct stat real {};
  if (::fstat(img.fd.get(), &real) != 0) {
    return -errno;
  }
  if (off < 0 || static_cast<uint64_t>(off) + len > static_cast<uint64_t>(real.st_size)) {
    return -ENOSPC;
  }
  const bool ok = f->erasesize != 0 ? program_nor(*f, buf, len, off)
                                    : put(img, buf, len, static_cast<uint64_t>(off));
  if (!ok) {
    return errno != 0 ? -errno : -EIO;
  }
  ++img.writes;
  return static_cast<int>(len);
}

// Makes the image's cached writes durable; the whole image, whichever of its served
// files (and whichever loop device over it) asked.
int make_durable(Image& img, int datasync) {
  if (state().cut) {
    return 0;  // nothing is pending after the cut
  }
  int err = img.cache && !img.cache->flush() ? errno : 0;
  if (err == 0) {
    const int rc = datasync != 0 ? ::fdatasync(img.fd.get()) : ::fsync(img.fd.get());
    err = rc == 0 ? 0 : errno;
  }
  auto& record = state().record;
  if (err == 0 && record && !record->flush(img.name)) {
    err = errno != 0 ? errno : EIO;
  }
  return err;
}

int on_fsync(const char* /*path*/, int datasync, fuse_file_info* fi) {
  Served* f = by_handle(fi);
  if (f == nullptr) {
    return fi != nullptr && fi->fh == kCutHandle ? 0 : -EBADF;
  }
  Image& img = image_of(*f);
  const int err = make_durable(img, datasync);
  std::ostringstream line;
  line << "fsync " << f->name << " datasync=" << datasync << " writes=" << img.writes
       << (err == 0 ? "" : std::string(" failed: ") + std::strerror(err)) << "\n";
  log_line(line.str());
  img.writes = 0;
  return -err;
}

int on_flush(const char* /*path*/, fuse_file_info* fi) {
  const Served* f = by_handle(fi);
  if (f == nullptr) {
    return fi != nullptr && fi->fh == kCutHandle ? 0 : -EBADF;
  }
  log_line("flush " + f->name + " writes=" + std::to_string(image_of(*f).writes) + "\n");
  return 0;
}

// The power cut: every write still in a cache is lost, nothing is written from now on,
// and the runner is told to end the board's processes.
int cut_power() {
  ServerState& st = state();
  if (st.cut) {
    return 0;
  }
  size_t lost = 0;
  for (auto& img : st.images) {
    lost += img.cache ? img.cache->pending_sectors() : 0;
    if (img.cache) {
      img.cache->drop();
    }
    img.writes = 0;
  }
  st.cut = true;
  const bool recorded = st.record->cut();
  log_line("power cut: " + std::to_string(lost) + " cached sectors lost\n");
  ::kill(st.runner, SIGUSR1);
  return recorded ? 0 : -1;
}

// Erases [start, start + len): whole erase blocks inside the chip, set to 0xFF.
int erase_nor(Served& f, uint64_t start, uint64_t len) {
  if (state().cut) {
    return -EIO;
  }
  Image& img = image_of(f);
  struct stat real {};
  if (::fstat(img.fd.get(), &real) != 0) {
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
    if (!put(img, ones.data(), ones.size(), at)) {
      return -errno;
    }
  }
  log_line("erase " + f.name + " at " + std::to_string(start) + " len " + std::to_string(len) +
           "\n");
  return 0;
}

int nor_info(const Served& f, void* data) {
  struct stat real {};
  if (::fstat(image_of(f).fd.get(), &real) != 0) {
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

// The image behind a served file: each image file is opened (and cached) once, however
// many served files show it.
Result<size_t> open_image(ServerState& st, const std::string& path, bool power_cut) {
  const std::string name = path.substr(path.rfind('/') + 1);
  for (size_t i = 0; i < st.images.size(); ++i) {
    if (st.images[i].name == name) {
      return i;
    }
  }
  auto fd = open_file(path, O_RDWR | O_CLOEXEC);
  if (!fd) {
    return fd.error();
  }
  Image img{name, std::move(fd.value()), nullptr, 0};
  if (power_cut) {
    img.cache = std::make_unique<SectorCache>(img.fd.get());
  }
  st.images.push_back(std::move(img));
  return st.images.size() - 1;
}

Result<std::unique_ptr<ServerState>> open_state(const BoardDir& dir,
                                                const std::vector<ServedFile>& files,
                                                bool power_cut) {
  auto st = std::make_unique<ServerState>();
  auto log = open_file(dir.fuse_log(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (!log) {
    return log.error();
  }
  st->log = std::move(log.value());
  for (const auto& file : files) {
    auto image = open_image(*st, file.image, power_cut);
    if (!image) {
      return image.error();
    }
    st->files.push_back({file.name, *image, file.erasesize});
  }
  if (power_cut) {
    auto record = RecordWriter::open(dir.record_log(), dir.record_data());
    if (!record) {
      return record.error();
    }
    st->record = std::move(record.value());
  }
  return st;
}

// The run ended with the power on: what the caches hold is written back, as a board
// shut down cleanly does.
bool write_back_all(ServerState& st) {
  bool ok = true;
  for (auto& img : st.images) {
    if (st.cut || !img.cache || img.cache->pending_sectors() == 0) {
      continue;
    }
    ok = img.cache->flush() && ::fdatasync(img.fd.get()) == 0 && st.record->flush(img.name) && ok;
  }
  return ok;
}

// The server process: mounts, reports "+" (or why not) on report_fd, serves until
// the file system is unmounted.
[[noreturn]] void serve(const BoardDir& dir, const std::vector<ServedFile>& files, bool power_cut,
                        pid_t runner, int report_fd) {
  // Without the runner nobody unmounts us: die with it, also if it died before this.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != runner) {
    ::_exit(1);
  }
  auto report = [&](const std::string& msg) {
    (void)ota::write_full(report_fd, msg.data(), msg.size());
  };
  auto opened = open_state(dir, files, power_cut);
  if (!opened) {
    report(opened.error().message());
    ::_exit(1);
  }
  ServerState& st = **opened;
  st.runner = runner;
  const char* argv[] = {"vboard-fuse", "-o", "fsname=vboard,subtype=vboard", nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  const fuse_operations ops = server_ops();
  fuse* f = fuse_new(&args, &ops, sizeof(ops), &st);
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
  ::_exit(rc == 0 && write_back_all(st) ? 0 : 1);
}

}  // namespace

Result<FuseImages> FuseImages::start(const BoardDir& dir, const std::vector<ServedFile>& files,
                                     bool power_cut) {
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
    serve(dir, files, power_cut, runner, report[1]);
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
