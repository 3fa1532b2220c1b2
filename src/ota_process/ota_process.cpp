// The update worker's entry: the command line, the FIFO to the client's reader thread,
// the first and the final progress records, and the exit status that is the verdict.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ota_log.h"
#include "package_paths.h"
#include "private_dir.h"
#include "progress.h"
#include "shell_exec.h"
#include "unique_fd.h"
#include "upgrade.h"

namespace {

constexpr size_t kPipePathLen = 32;
constexpr size_t kZipPathLen = 1024;

// Copies an option value into a fixed buffer, cut to what the buffer holds.
void copy_truncated(char* out, size_t size, const char* value) {
  std::snprintf(out, size, "%s", value);
}

// The progress channel lies in world-writable /tmp: only a FIFO of our own user that no
// one else can open carries the records, never a link or a FIFO someone else made (its
// owner could read the records away from the client or forge them).
ota::UniqueFd open_pipe(const char* pipe_path) {
  // A blocking open: it waits for the client's reader, so no record is ever lost.
  ota::UniqueFd pipe = ota::open_fd(pipe_path, O_WRONLY | O_NOFOLLOW);
  if (!pipe) {
    OTA_LOG_ERR("open pipe file %s failed\n", pipe_path);
    return pipe;
  }
  struct stat st {};
  if (::fstat(pipe.get(), &st) != 0 || !S_ISFIFO(st.st_mode) || !ota::is_ours_alone(st)) {
    OTA_LOG_ERR("pipe file %s is not a FIFO of uid %u closed to others: refused\n", pipe_path,
                static_cast<unsigned>(::geteuid()));
    return {};
  }
  return pipe;
}

}  // namespace

void show_usage(char* process) {
  std::printf(
      "%s Usage:\n"
      "   -p, --pipe [pipe file path]        Pipeline file path.\n"
      "   -z, --zip [zip path]               the package paths can be absolute only.\n"
      "   -h, --help                         Display this help screen.\n"
      "Warnning: This file cannot be executed manually\n",
      process);
  std::fflush(stdout);
}

int32_t ota_update_process(const char* zip_path) {
  OTA_LOG_INFO("process zip path: %s\n", zip_path);
  set_result(UPGRADE_IN_PROGRESS);
  int32_t ret = update_ota_partition_path();
  if (ret < 0) {
    OTA_LOG_ERR("use default ot mount path\n");
    return ret;
  }
  ret = ota_get_package_path(zip_path);
  if (ret < 0) {
    OTA_LOG_ERR("get package path failed\n");
    return ret;
  }
  ret = ota_start_upgrade();
  // Whatever the outcome, nothing the run unpacked stays behind to fill the disk.
  if (clear_ota_unzip_dir() != 0) {
    OTA_LOG_WARN("clear of %s failed\n", ota_get_unzip_dir());
  }
  if (ret == 0) {
    set_imgname("all_img_finish");
    set_progress(100);
  }
  set_result(ret == 0 ? UPGRADE_SUCCESS : UPGRADE_FAILED);
  return ret;
}

int main(int argc, char** argv) {
  // The client hands over its process lock: kept open here, so the lock is held for as
  // long as this run lasts, but never passed to a hook or shell command, which could
  // outlive the run and hold it.
  if (ota_keep_descriptors_to_self() != 0) {
    OTA_LOG_ERR("mark inherited descriptors close-on-exec failed: %s\n", std::strerror(errno));
    return -1;
  }
  char pipe_path[kPipePathLen] = {};
  char zip_path[kZipPathLen] = {};
  if (argc <= 1) {
    show_usage(argv[0]);
    return 0;
  }
  if (argv[1][0] != '-') {
    OTA_LOG_ERR("%s: invalid option -- %s\n", argv[0], argv[1]);
    show_usage(argv[0]);
    return -1;
  }
  static const option kLongOptions[] = {{"pipe", required_argument, nullptr, 'p'},
                                        {"zip", required_argument, nullptr, 'z'},
                                        {"help", no_argument, nullptr, 'h'},
                                        {nullptr, 0, nullptr, 0}};
  int opt = 0;
  while ((opt = getopt_long(argc, argv, "p:z:h", kLongOptions, nullptr)) != -1) {
    switch (opt) {
      case 'p':
        copy_truncated(pipe_path, sizeof(pipe_path), optarg);
        break;
      case 'z':
        copy_truncated(zip_path, sizeof(zip_path), optarg);
        break;
      default:  // -h, an unknown option or a missing argument
        show_usage(argv[0]);
        return 0;
    }
  }
  ota::UniqueFd pipe = open_pipe(pipe_path);
  if (!pipe) {
    return -1;
  }
  ota_set_pipe_fd(pipe.get());
  const int32_t ret = ota_update_process(zip_path);
  ota_set_pipe_fd(-1);
  if (pipe.close() != 0) {
    OTA_LOG_WARN("close pipe file %s failed: %s\n", pipe_path, std::strerror(errno));
  }
  if (ret == 0) {
    OTA_LOG_INFO("OTA process run success, exit\n");
  } else {
    OTA_LOG_ERR("OTA process run failed, exit\n");
  }
  return ret;
}
