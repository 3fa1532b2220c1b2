// otaRequestStart: one upgrade, run by the worker executable taken from the package.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_api.h"
#include "client_state.h"
#include "file_lock.h"
#include "kx_zip.h"
#include "launch_monitor.h"
#include "ota_log.h"
#include "package_verify.h"
#include "private_dir.h"
#include "progress_state.h"
#include "unique_fd.h"
#include "veeprom_flag.h"

// Takes "ota_process" out of the first package of zip_path into "/tmp/process/".
int32_t get_ota_process(const char* zip_path, char* process_path, int32_t len);

namespace {

constexpr const char* PIPE_FILE = "/tmp/ota_pipe";
constexpr const char* PROCESS_DIR = "/tmp/process/";
constexpr const char* PROCESS_DIR_NOSLASH = "/tmp/process";
constexpr const char* PROCESS_NAME = "ota_process";
constexpr size_t ZIP_PATH_BUF = 512;
constexpr size_t PROCESS_PATH_LEN = 128;
constexpr size_t ENV_BUF = 512;
constexpr useconds_t CHILD_DELAY_US = 100000;

// The worker runs as the caller (root): its directory must be one that nobody else can
// have put a file or link into. Only a real directory of ours, closed to others, is used.
int32_t prepare_process_dir() {
  struct stat st {};
  if (::lstat(PROCESS_DIR_NOSLASH, &st) != 0) {
    if (errno != ENOENT || (::mkdir(PROCESS_DIR_NOSLASH, 0700) != 0 && errno != EEXIST) ||
        ::lstat(PROCESS_DIR_NOSLASH, &st) != 0) {
      OTA_LOG_ERR("make ota process path: %s failed: %s\n", PROCESS_DIR, std::strerror(errno));
      return -1;
    }
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
    OTA_LOG_ERR("make ota process path: %s failed: not a directory of uid %u closed to others\n",
                PROCESS_DIR, static_cast<unsigned>(::geteuid()));
    return -1;
  }
  // A worker left from an earlier launch is never run again.
  if (::unlink("/tmp/process/ota_process") != 0 && errno != ENOENT) {
    OTA_LOG_ERR("remove old /tmp/process/ota_process failed: %s\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

// The extracted worker, opened without following links and checked to be our own file.
ota::UniqueFd open_worker(const char* path) {
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY | O_NOFOLLOW);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      st.st_nlink != 1) {
    OTA_LOG_ERR("%s is not a regular file of this user\n", path);
    return {};
  }
  if (::fchmod(fd.get(), 0755) != 0) {
    std::perror("chmod ota_process failed");
    return {};
  }
  return fd;
}

// Removes the extracted worker when the launch is over; the child already holds it open.
class WorkerFileRemover {
 public:
  explicit WorkerFileRemover(const char* path) : path_(path) {}
  WorkerFileRemover(const WorkerFileRemover&) = delete;
  WorkerFileRemover& operator=(const WorkerFileRemover&) = delete;
  ~WorkerFileRemover() {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
      OTA_LOG_WARN("remove %s failed: %s\n", path_.c_str(), std::strerror(errno));
    }
  }

 private:
  std::string path_;
};

// The FIFO lies in world-writable /tmp: made with mode 0600 and reopened only as the FIFO
// of our own user, so nobody else can read the worker's records away or forge them.
int32_t make_fifo() {
  if ((::unlink(PIPE_FILE) != 0 && errno != ENOENT) || ::mkfifo(PIPE_FILE, 0600) != 0) {
    OTA_LOG_ERR("pipe file create failed: %s\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

ota::UniqueFd open_fifo() {
  ota::UniqueFd fd = ota::open_fd(PIPE_FILE, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISFIFO(st.st_mode) || !ota::is_ours_alone(st)) {
    OTA_LOG_ERR("%s is not a FIFO of uid %u closed to others\n", PIPE_FILE,
                static_cast<unsigned>(::geteuid()));
    return {};
  }
  return fd;
}

// Child side of the fork: only async-signal-safe calls. The worker alone inherits the
// process lock (it is close-on-exec everywhere else): the lock belongs to the open file,
// so it stays held for as long as the worker runs, even when this client dies first, and
// nothing can start, sync, switch or clear beside a running worker.
[[noreturn]] void exec_worker(int fd, int lock_fd, char* const argv[], char* const envp[]) {
  if (::fcntl(lock_fd, F_SETFD, 0) != 0) {
    ::_exit(255);
  }
  ::usleep(CHILD_DELAY_US);
  ::fexecve(fd, argv, envp);
  if (errno == ENOENT) {
    // A script needs its descriptor to survive the exec (the interpreter opens it).
    (void)::fcntl(fd, F_SETFD, 0);
    ::fexecve(fd, argv, envp);
  }
  ::_exit(255);
}

int32_t finish_failed(int32_t result, bool fifo_made) {
  if (fifo_made && ::unlink(PIPE_FILE) != 0) {
    OTA_LOG_ERR("release pipe file failed\n");
  }
  if (ota_client::release_process_lock() != 0) {
    OTA_LOG_ERR("release flock failed\n");
  }
  return result;
}

int32_t launch(const char* zip_path) {
  char arg_zip[ZIP_PATH_BUF];
  std::snprintf(arg_zip, sizeof(arg_zip), "%s", zip_path);
  char arg0[] = "ota_process";
  char arg1[] = "-z";
  char arg3[] = "-p";
  char arg4[] = "/tmp/ota_pipe";
  char* argv[] = {arg0, arg1, arg_zip, arg3, arg4, nullptr, nullptr};
  char env0[ENV_BUF] = {};
  char env1[ENV_BUF] = {};
  char* envp[] = {nullptr, nullptr, nullptr};

  if (zip_path[0] == '\0') {
    OTA_LOG_ERR("OTA package %s is invalid\n", zip_path);
    return -1;
  }
  if (prepare_process_dir() != 0) {
    return -1;
  }
  char process_path[PROCESS_PATH_LEN] = {};
  const int32_t got = get_ota_process(zip_path, process_path, sizeof(process_path));
  if (got != 0) {
    return got;
  }
  // The worker runs from its open descriptor: its file in RAM-backed /tmp goes as soon as
  // this launch is decided, whichever way.
  const WorkerFileRemover remover(process_path);
  OTA_LOG_INFO("ota_process extracted\n");
  size_t envc = 0;
  if (const char* lib_path = std::getenv("LD_LIBRARY_PATH"); lib_path != nullptr) {
    std::snprintf(env0, sizeof(env0), "LD_LIBRARY_PATH=%s", lib_path);
    envp[envc++] = env0;
  }
  // An integrator's cap on the burn (one thread) is set for the service, not the worker.
  if (const char* threads = std::getenv("OTA_BURN_THREADS"); threads != nullptr) {
    std::snprintf(env1, sizeof(env1), "OTA_BURN_THREADS=%s", threads);
    envp[envc++] = env1;
  }
  ota::UniqueFd worker = open_worker(process_path);
  if (!worker) {
    return -1;
  }
  const int lock_fd = ota_client::process_lock_fd();
  if (lock_fd < 0) {
    OTA_LOG_ERR("process lock %s not held: the worker would run unguarded\n", OTA_LOCK_FILE);
    return -1;
  }
  // Opened before the worker starts, so the worker's open for writing never waits.
  ota::UniqueFd fifo = open_fifo();
  if (!fifo || ota_client::start_reader(std::move(fifo)) != 0) {
    OTA_LOG_ERR("creat upgrade thread fail\n");
    return -OTAERR_THREAD_CREATE;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    exec_worker(worker.get(), lock_fd, argv, envp);
  }
  if (pid < 0) {
    OTA_LOG_ERR("fork child process failed\n");
    ota_client::stop_reader();
    return -OTAERR_THREAD_CREATE;
  }
  if (ota_client::start_reaper(pid) != 0) {
    // Without a reaper nobody would close the launch: end the worker now.
    (void)::kill(pid, SIGKILL);
    (void)ota::retry_eintr([&] { return ::waitpid(pid, nullptr, 0); });
    ota_client::stop_reader();
    return -OTAERR_THREAD_CREATE;
  }
  return 0;
}

// The worker runs as root out of the package: on a board with a keyring, only a worker
// that the package's signed list vouches for is taken out (the worker itself then checks
// every member). Without a keyring the worker says so in its own warning.
int32_t check_worker_signed(const char* package, int fd) {
  struct stat st {};
  if (::lstat(ota::sign::kKeyringDir, &st) != 0) {
    return 0;
  }
  ota::sign::Keyring keyring;
  ota::sign::Verified verified;
  std::string why;
  if (keyring.load(ota::sign::kKeyringDir, &why) &&
      ota::sign::verify_package(fd, keyring, PROCESS_NAME, &verified, &why)) {
    return 0;
  }
  OTA_LOG_ERR("worker of package %s refused: %s\n", package, why.c_str());
  return -OTAERR_VERIFY;
}

}  // namespace

int32_t get_ota_process(const char* zip_path, char* process_path, int32_t len) {
  if (zip_path == nullptr || zip_path[0] == '\0') {
    OTA_LOG_ERR("No update file selected\n");
    return -OTAERR_NULLPOINTER;
  }
  char buf[ZIP_PATH_BUF];
  std::snprintf(buf, sizeof(buf), "%s", zip_path);
  char* save = nullptr;
  // strtok_r skips empty pieces: the first non-empty one decides.
  const char* first = ::strtok_r(buf, ";", &save);
  if (first == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  if (first[0] != '/') {
    OTA_LOG_ERR("Please use absolute path: %s\n", first);
    return -OTAERR_NULLPOINTER;
  }
  if (::access(first, F_OK) != 0) {
    OTA_LOG_ERR("cannot read file: %s\n", first);
    return -OTAERR_NO_EXISTS;
  }
  // Opened once: the check and the extraction read this very file, whatever is renamed
  // over its name meanwhile, and only root's own file is run as root.
  std::string why;
  const ota::UniqueFd package = ota::open_root_file(first, &why);
  if (!package) {
    OTA_LOG_ERR("package %s refused: %s\n", first, why.c_str());
    return -OTAERR_VERIFY;
  }
  const int32_t checked = check_worker_signed(first, package.get());
  if (checked != 0) {
    return checked;
  }
  const std::string read_path = ota::descriptor_path(package.get());
  if (kx_uncompress_one(read_path.c_str(), PROCESS_DIR, PROCESS_NAME, OTA_WORKER_MEMBER_MAX) != 0) {
    OTA_LOG_ERR("get system upgrade process [%s] out of %s failed\n", PROCESS_NAME, first);
    return -OTAERR_UNZIP;
  }
  if (process_path != nullptr && len > 0) {
    std::snprintf(process_path, static_cast<size_t>(len), "%s/%s", PROCESS_DIR, PROCESS_NAME);
  }
  return 0;
}

extern "C" MIRVO_OTA_API int32_t otaRequestStart(const char* zip_path, ota_update_owner_e owner) {
  if (!ota_client::is_initialised()) {
    OTA_LOG_ERR("OTA library not init\n");
    return -OTAERR_NOTINIT;
  }
  if (zip_path == nullptr) {
    OTA_LOG_ERR("zip_path is null\n");
    return -OTAERR_NULLPOINTER;
  }
  if (static_cast<uint32_t>(owner) >= OTA_N_OWNER) {
    OTA_LOG_ERR("unknown owner\n");
    return -OTAERR_RANGE;
  }
  try {
    if (ota_client::take_process_lock() != 0) {
      return -OTAERR_REPEAT;
    }
    // The lock is ours, so the previous launch's reaper has released it and is ending.
    (void)ota_client::join_reaper(true);
    if (ota_set_owner(owner) != 0) {
      return finish_failed(-1, false);
    }
    if (make_fifo() != 0) {
      return finish_failed(-1, false);
    }
    ota_client::progress_clear();
    ota_client::set_launch_active(true);
    const int32_t ret = launch(zip_path);
    if (ret != 0) {
      ota_client::set_launch_active(false);
      return finish_failed(ret, true);
    }
    return 0;
  } catch (...) {
    OTA_LOG_ERR("otaRequestStart: unexpected failure\n");
    return -1;
  }
}
