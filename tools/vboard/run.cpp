// `vboard run`: a command inside the board. The parent attaches the images as loop
// devices and stays outside to detach them whatever happens; the child is init of a
// new PID namespace with a private mount namespace, in which it builds a root that
// shows the host's files plus the board's devices, sysfs, /proc/cmdline, /usr/mirvo,
// /etc/runtime_config, /userdata and a private /tmp (showing of the host's /tmp only
// what host_tmp.h chooses), then runs the command.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "board_ops.h"
#include "fuse_layer.h"
#include "host_tmp.h"
#include "loop.h"

namespace vboard {

namespace {

using ota::board::Layout;

// A device of the board: its kernel name and number, and its names on the board.
struct BoardDevice {
  std::string kernel_name;
  dev_t number = 0;
  std::vector<std::string> links;  // entries of /dev/block/platform/by-name
  bool is_mtd0 = false;
};

struct Attached {
  std::vector<LoopDevice> loops;
  std::vector<BoardDevice> devices;
  std::string mtd0_file;  // not empty: "/dev/mtd0" is this served file, not a loop device
};

// The by-name directory, below /dev.
constexpr const char* kByNameRel = "/block/platform/by-name";

// The image files the loop devices are attached to: the board's own, or the FUSE
// server's view of them.
struct Images {
  std::string emmc;
  std::string nor;
};

Result<void> attach_board(const Images& images, const Layout& layout, Attached& out) {
  auto disk = attach_loop(images.emmc, 0, 0, true);
  if (!disk) {
    return disk.error();
  }
  out.loops.push_back(std::move(disk.value()));
  const LoopDevice& d = out.loops.back();
  if (auto r = add_partitions(d, layout); !r) {
    return r;
  }
  auto add = [&](const std::string& kname, std::vector<std::string> links,
                 bool mtd0) -> Result<void> {
    auto num = block_dev_number(kname);
    if (!num) {
      return num.error();
    }
    out.devices.push_back({kname, *num, std::move(links), mtd0});
    return {};
  };
  if (auto r = add(d.name(), {"blk"}, false); !r) {
    return r;
  }
  for (size_t i = 0; i < layout.emmc.size(); ++i) {
    if (auto r = add(d.name() + "p" + std::to_string(i + 1), {layout.emmc[i].name}, false); !r) {
      return r;
    }
  }
  auto nor = attach_loop(images.nor, 0, layout.nor_size, false);
  if (!nor) {
    return nor.error();
  }
  out.loops.push_back(std::move(nor.value()));
  if (auto r = add(out.loops.back().name(), {}, true); !r) {
    return r;
  }
  for (const auto& p : layout.nor) {
    auto part = attach_loop(images.nor, p.offset, p.mtd_size(), false);
    if (!part) {
      return part.error();
    }
    out.loops.push_back(std::move(part.value()));
    if (auto r = add(out.loops.back().name(), {p.name}, false); !r) {
      return r;
    }
  }
  return {};
}

void detach_board(Attached& att) {
  std::vector<int> numbers;
  for (auto& l : att.loops) {
    numbers.push_back(l.number);
    detach_loop(l);
  }
  // The namespace's mounts go away just after its last process; autoclear then frees
  // the devices. Waiting here keeps "after vboard run" meaning "nothing left".
  wait_detached(numbers, 10000);
}

// ---- inside the namespace -------------------------------------------------------

Result<void> do_mount(const std::string& src, const std::string& target, const char* type,
                      unsigned long flags, const std::string& data = "") {
  if (::mount(src.empty() ? nullptr : src.c_str(), target.c_str(), type, flags,
              data.empty() ? nullptr : data.c_str()) != 0) {
    return ota::tool::errno_error("mount " + (src.empty() ? std::string(type) : src) + " on " +
                                  target);
  }
  return {};
}

Result<void> bind(const std::string& src, const std::string& target, bool read_only = false) {
  if (auto r = do_mount(src, target, nullptr, MS_BIND | MS_REC); !r) {
    return r;
  }
  if (read_only) {
    return do_mount("", target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY);
  }
  return {};
}

Result<void> touch(const std::string& path) {
  auto fd = open_file(path, O_WRONLY | O_CREAT, 0644);
  return fd ? Result<void>() : Result<void>(fd.error());
}

Result<void> mkdir_one(const std::string& path, mode_t mode = 0755) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    return ota::tool::errno_error("mkdir " + path);
  }
  return {};
}

// Every top-level entry of the host's root, except those the board replaces.
Result<void> mirror_host_root(const std::string& nr) {
  static const char* const kReplaced[] = {"dev", "tmp", "proc", "sys", "usr", "etc", "userdata"};
  ota::UniqueDir d(::opendir("/"));
  if (!d) {
    return ota::tool::errno_error("open /");
  }
  while (const dirent* de = ::readdir(d.get())) {
    const std::string n = de->d_name;
    bool replaced = n == "." || n == "..";
    for (const char* r : kReplaced) {
      replaced = replaced || n == r;
    }
    struct stat st {};
    if (replaced || ::lstat(("/" + n).c_str(), &st) != 0) {
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t len = ::readlink(("/" + n).c_str(), target, sizeof(target) - 1);
      if (len < 0 || ::symlink(std::string(target, static_cast<size_t>(len)).c_str(),
                               (nr + "/" + n).c_str()) != 0) {
        return ota::tool::errno_error("copy link /" + n);
      }
    } else if (S_ISDIR(st.st_mode)) {
      if (auto r = mkdir_one(nr + "/" + n); !r) {
        return r;
      }
      if (auto r = bind("/" + n, nr + "/" + n); !r) {
        return r;
      }
    } else if (S_ISREG(st.st_mode)) {
      if (auto r = touch(nr + "/" + n); !r) {
        return r;
      }
      if (auto r = bind("/" + n, nr + "/" + n); !r) {
        return r;
      }
    }
  }
  return {};
}

// /usr and /etc show the host's files with the board's own laid over them.
Result<void> overlay_dirs(const BoardDir& dir, const std::string& nr) {
  for (const std::string top : {"usr", "etc"}) {
    if (auto r = mkdir_one(nr + "/" + top); !r) {
      return r;
    }
    const std::string opts =
        "lowerdir=/" + top + ",upperdir=" + dir.overlay(top) + ",workdir=" + dir.overlay_work(top);
    if (auto r = do_mount("overlay", nr + "/" + top, "overlay", 0, opts); !r) {
      return r;
    }
  }
  // Files the host mounts inside them (resolv.conf and the like) stay visible.
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream in(line);
    std::string id, parent, devno, root, point;
    in >> id >> parent >> devno >> root >> point;
    if (point.rfind("/usr/", 0) == 0 || point.rfind("/etc/", 0) == 0) {
      struct stat st {};
      if (::stat((nr + point).c_str(), &st) == 0) {
        (void)bind(point, nr + point);
      }
    }
  }
  return {};
}

Result<void> board_sysfs(const BoardDir& dir, const std::string& nr) {
  if (auto r = mkdir_one(nr + "/sys"); !r) {
    return r;
  }
  if (auto r = bind("/sys", nr + "/sys"); !r) {
    return r;
  }
  const std::string cls = nr + "/sys/class";
  if (auto r = do_mount("tmpfs", cls, "tmpfs", MS_NOSUID | MS_NODEV, "mode=755"); !r) {
    return r;
  }
  ota::UniqueDir d(::opendir("/sys/class"));
  while (d) {
    const dirent* de = ::readdir(d.get());
    if (de == nullptr) {
      break;
    }
    const std::string n = de->d_name;
    if (n == "." || n == ".." || n == "mtd" || n == "boardinfo") {
      continue;
    }
    if (auto r = mkdir_one(cls + "/" + n); !r) {
      return r;
    }
    if (auto r = bind("/sys/class/" + n, cls + "/" + n); !r) {
      return r;
    }
  }
  for (const std::string n : {"mtd", "boardinfo"}) {
    if (auto r = mkdir_one(cls + "/" + n); !r) {
      return r;
    }
    if (auto r = bind(dir.sys_class(n), cls + "/" + n, true); !r) {
      return r;
    }
  }
  return {};
}

Result<void> board_proc(const BoardDir& dir, const std::string& nr) {
  if (auto r = mkdir_one(nr + "/proc"); !r) {
    return r;
  }
  if (auto r = do_mount("proc", nr + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC); !r) {
    return r;
  }
  return bind(dir.cmdline(), nr + "/proc/cmdline", true);
}

Result<void> copy_node(const std::string& host, const std::string& target) {
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) {
    return ota::tool::errno_error("stat " + host);
  }
  if (::mknod(target.c_str(), st.st_mode, st.st_rdev) != 0 ||
      ::chmod(target.c_str(), st.st_mode & 07777) != 0) {
    return ota::tool::errno_error("create " + target);
  }
  return {};
}

Result<void> board_devices(const Attached& att, const std::string& dev) {
  if (auto r = make_dirs(dev + kByNameRel); !r) {
    return r;
  }
  for (const auto& d : att.devices) {
    const std::string node = dev + "/" + d.kernel_name;
    if (::mknod(node.c_str(), S_IFBLK | 0660, d.number) != 0) {
      return ota::tool::errno_error("create " + node);
    }
    if (d.is_mtd0 && att.mtd0_file.empty() &&
        ::mknod((dev + "/mtd0").c_str(), S_IFBLK | 0660, d.number) != 0) {
      return ota::tool::errno_error("create " + dev + "/mtd0");
    }
    for (const auto& link : d.links) {
      const std::string at = dev + kByNameRel + "/" + link;
      if (::symlink(("/dev/" + d.kernel_name).c_str(), at.c_str()) != 0) {
        return ota::tool::errno_error("link " + at);
      }
    }
  }
  if (att.mtd0_file.empty()) {
    return {};
  }
  if (auto r = touch(dev + "/mtd0"); !r) {
    return r;
  }
  return bind(att.mtd0_file, dev + "/mtd0");
}

Result<void> board_dev(const BoardDir& dir, const Attached& att, const std::string& nr) {
  const std::string dev = nr + "/dev";
  if (auto r = mkdir_one(dev); !r) {
    return r;
  }
  if (auto r = do_mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=755"); !r) {
    return r;
  }
  for (const char* n : {"null", "zero", "full", "random", "urandom", "tty", "ptmx"}) {
    if (auto r = copy_node(std::string("/dev/") + n, dev + "/" + n); !r) {
      return r;
    }
  }
  for (const auto& [link, target] :
       std::initializer_list<std::pair<const char*, const char*>>{{"fd", "/proc/self/fd"},
                                                                  {"stdin", "/proc/self/fd/0"},
                                                                  {"stdout", "/proc/self/fd/1"},
                                                                  {"stderr", "/proc/self/fd/2"}}) {
    if (::symlink(target, (dev + "/" + link).c_str()) != 0) {
      return ota::tool::errno_error("link " + dev + "/" + link);
    }
  }
  for (auto r :
       {mkdir_one(dev + "/pts"), bind("/dev/pts", dev + "/pts"), mkdir_one(dev + "/shm", 01777),
        do_mount("tmpfs", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777"),
        touch(dev + "/console"), bind(dir.console(), dev + "/console")}) {
    if (!r) {
      return r;
    }
  }
  return board_devices(att, dev);
}

// A private /tmp that shows, at their paths, the host's entries below /tmp chosen by
// tmp_entries_to_show: a build tree in /tmp keeps its libraries and data beside the
// command that needs them.
Result<void> board_tmp(const std::vector<std::string>& shown, const std::string& nr) {
  if (auto r = mkdir_one(nr + "/tmp", 01777); !r) {
    return r;
  }
  if (auto r = do_mount("tmpfs", nr + "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777"); !r) {
    return r;
  }
  for (const auto& path : shown) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      return ota::tool::errno_error("show " + path + " on the board");
    }
    auto made = S_ISDIR(st.st_mode) ? make_dirs(nr + path) : touch(nr + path);
    if (!made) {
      return made;
    }
    if (auto r = bind(path, nr + path); !r) {
      return r;
    }
  }
  return {};
}

Result<void> board_userdata(const Attached& att, const std::string& nr) {
  if (auto r = mkdir_one(nr + kUserdataMount); !r) {
    return r;
  }
  for (const auto& d : att.devices) {
    if (!d.links.empty() && d.links[0] == "userdata") {
      return do_mount("/dev/" + d.kernel_name, nr + kUserdataMount, "ext4", MS_NOATIME);
    }
  }
  return Error(ENOENT, "the board has no userdata partition");
}

Result<void> enter_root(const std::string& nr) {
  if (::chdir(nr.c_str()) != 0) {
    return ota::tool::errno_error("enter " + nr);
  }
  if (::syscall(SYS_pivot_root, ".", ".") != 0) {
    return ota::tool::errno_error("pivot_root to " + nr);
  }
  if (::umount2(".", MNT_DETACH) != 0) {
    return ota::tool::errno_error("detach the host root");
  }
  return ::chdir("/") == 0 ? Result<void>() : ota::tool::errno_error("chdir /");
}

// What the command runs with: its arguments, the caller's directory and the entries of
// the host's /tmp the board shows.
struct Launch {
  std::vector<std::string> argv;
  std::string cwd;
  std::vector<std::string> shown;
};

Result<void> build_root(const BoardDir& dir, const Attached& att, const Launch& launch) {
  if (::unshare(CLONE_NEWNS) != 0) {
    return ota::tool::errno_error("new mount namespace");
  }
  if (auto r = do_mount("", "/", nullptr, MS_REC | MS_PRIVATE); !r) {
    return r;
  }
  const std::string nr = dir.mount_root();
  if (auto r = do_mount("tmpfs", nr, "tmpfs", 0, "mode=755"); !r) {
    return r;
  }
  for (auto r :
       {mirror_host_root(nr), overlay_dirs(dir, nr), board_sysfs(dir, nr), board_proc(dir, nr),
        board_dev(dir, att, nr), board_tmp(launch.shown, nr), board_userdata(att, nr)}) {
    if (!r) {
      return r;
    }
  }
  if (auto r = enter_root(nr); !r) {
    return r;
  }
  // The caller's directory, when the board shows it; else the board's root.
  if (::chdir(launch.cwd.c_str()) != 0 && ::chdir("/") != 0) {
    return ota::tool::errno_error("chdir /");
  }
  return {};
}

const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigaddset(&set, SIGUSR1);  // the FUSE server cut the power
  for (int s : kForwarded) {
    sigaddset(&set, s);
  }
  return set;
}

// Waits for pid while passing the forwarded signals on to it; a second SIGINT or
// SIGTERM kills it, and so does SIGUSR1 from `cutter` (the FUSE server, at a power cut),
// noted in *cut. Every other child that ends meanwhile is reaped.
int supervise(pid_t pid, pid_t cutter = -1, bool* cut = nullptr) {
  const sigset_t set = handled_signals();
  int forwarded = 0;
  for (;;) {
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(-1, &status, WNOHANG)) > 0) {
      if (done == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    if (done < 0 && errno == ECHILD) {
      return 127;
    }
    siginfo_t info{};
    const int sig = ::sigwaitinfo(&set, &info);
    if (sig == SIGUSR1) {
      if (cutter > 0 && info.si_pid == cutter) {
        *cut = true;
        ::kill(pid, SIGKILL);
      }
    } else if (sig > 0 && sig != SIGCHLD) {
      ::kill(pid, ++forwarded > 1 && sig != SIGHUP ? SIGKILL : sig);
    }
  }
}

[[noreturn]] void exec_command(const std::vector<std::string>& argv) {
  const sigset_t set = handled_signals();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  std::fprintf(stderr, "vboard run: cannot execute %s: %s\n", args[0], std::strerror(errno));
  ::_exit(127);
}

// Init of the board's PID namespace: builds the root, starts the command, waits.
[[noreturn]] void board_init(const BoardDir& dir, const Attached& att, const Launch& launch,
                             int report_fd) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  auto r = build_root(dir, att, launch);
  if (!r) {
    const std::string msg = r.error().message();
    (void)ota::write_full(report_fd, msg.data(), msg.size());
    ::_exit(125);
  }
  ::setenv("VBOARD_DIR", dir.root().c_str(), 1);
  const pid_t pid = ::fork();
  if (pid < 0) {
    const std::string msg = "fork the command: " + std::string(std::strerror(errno));
    (void)ota::write_full(report_fd, msg.data(), msg.size());
    ::_exit(125);
  }
  if (pid == 0) {
    exec_command(launch.argv);
  }
  ::close(report_fd);
  ::_exit(supervise(pid));
}

// The init of the board's PID namespace is started from a child of its own, so that
// vboard itself stays in the host's namespace (and can still start threads and
// processes there, as the sanitizers' leak check does at exit).
[[noreturn]] void start_init(const BoardDir& dir, const Attached& att, const Launch& launch,
                             int report_fd) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::unshare(CLONE_NEWPID) != 0) {
    const std::string msg = "new PID namespace: " + std::string(std::strerror(errno));
    (void)ota::write_full(report_fd, msg.data(), msg.size());
    ::_exit(125);
  }
  const pid_t init = ::fork();
  if (init < 0) {
    const std::string msg = "fork the board's init: " + std::string(std::strerror(errno));
    (void)ota::write_full(report_fd, msg.data(), msg.size());
    ::_exit(125);
  }
  if (init == 0) {
    board_init(dir, att, launch, report_fd);
  }
  ::close(report_fd);
  ::_exit(supervise(init));
}

Result<ota::UniqueFd> lock_board(const BoardDir& dir) {
  auto fd = open_file(dir.run_lock(), O_RDWR | O_CREAT, 0644);
  if (!fd) {
    return fd.error();
  }
  if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
    return Error(EBUSY, "board " + dir.root() + " is already running (" + dir.run_lock() + ")");
  }
  return fd;
}

Result<void> check_dir_name(const std::string& root) {
  // The overlay options are a comma-separated list with ':' between lower layers.
  if (root.find_first_of(",:\\ ") != std::string::npos) {
    return Error(EINVAL, "board directory " + root + " contains one of , : \\ or blank");
  }
  return {};
}

// Starts init of the board namespace; returns its exit code once it has ended. A power
// cut by `server` ends it at once.
Result<int> start_and_wait(const BoardDir& dir, const Attached& att, const Launch& launch,
                           pid_t server) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return ota::tool::errno_error("pipe");
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    return ota::tool::errno_error("fork");
  }
  if (pid == 0) {
    ::close(report[0]);
    start_init(dir, att, launch, report[1]);
  }
  ::close(report[1]);
  ota::UniqueFd report_fd(report[0]);
  std::string msg;
  char buf[512];
  ssize_t n = 0;
  while ((n = ota::retry_eintr([&] { return ::read(report_fd.get(), buf, sizeof(buf)); })) > 0) {
    msg.append(buf, static_cast<size_t>(n));
  }
  bool cut = false;
  const int code = supervise(pid, server, &cut);
  if (!msg.empty() && !cut) {
    return Error(EIO, "set up board " + dir.root() + ": " + msg);
  }
  if (cut) {
    std::fprintf(stderr, "vboard run: %s lost power (vboard power-cut)\n", dir.root().c_str());
  }
  return code;
}

// Serves the images through the FUSE server when the board asks for it, attaches them,
// runs the board and takes everything down again.
Result<int> run_attached(const BoardDir& dir, const Layout& layout, const Launch& launch) {
  auto layers = load_layers(dir);
  if (!layers) {
    return layers.error();
  }
  Images images{dir.emmc_image(), dir.nor_image()};
  FuseImages server;
  Attached att;
  if (layers->fuse) {
    std::vector<ServedFile> files{{images.emmc, "emmc.img"}, {images.nor, "nor.img"}};
    if (layers->mtd_chardev) {
      files.push_back({images.nor, "mtd0", ota::board::kNorEraseSize});
    }
    auto started = FuseImages::start(dir, files, layers->power_cut);
    if (!started) {
      return started.error();
    }
    server = std::move(started.value());
    images = {server.served("emmc.img"), server.served("nor.img")};  // see image_paths()
    att.mtd0_file = layers->mtd_chardev ? server.served("mtd0") : "";
  }
  Result<int> result = Error(EIO, "not started");
  if (auto r = attach_board(images, layout, att); !r) {
    result = std::move(r.error().context("attach board " + dir.root()));
  } else {
    result = start_and_wait(dir, att, launch, server.pid());
  }
  detach_board(att);
  if (auto r = server.stop(); !r && result) {
    result = r.error();
  }
  return result;
}

}  // namespace

Result<int> run_in_board(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& keep) {
  if (argv.empty()) {
    return Error(EINVAL, "no command to run");
  }
  auto root = real_path(path);
  if (!root) {
    return root.error();
  }
  if (auto r = check_dir_name(*root); !r) {
    return r.error();
  }
  const BoardDir dir(*root);
  auto layout = load_board(dir);
  if (!layout) {
    return layout.error();
  }
  char cwd_buf[4096];
  Launch launch{argv, ::getcwd(cwd_buf, sizeof(cwd_buf)) != nullptr ? cwd_buf : "/", {}};
  auto shown = tmp_entries_to_show(HostView{dir.root(), launch.cwd, argv, keep});
  if (!shown) {
    return shown.error();
  }
  launch.shown = std::move(shown.value());
  auto lock = lock_board(dir);
  if (!lock) {
    return lock.error();
  }
  // Signals wait until the board is up and are then passed to the command.
  const sigset_t set = handled_signals();
  sigset_t old;
  ::sigprocmask(SIG_BLOCK, &set, &old);
  Result<int> result = run_attached(dir, *layout, launch);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  return result;
}

}  // namespace vboard
