#include "launch_monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "client_state.h"
#include "ota_log.h"
#include "progress_state.h"

namespace ota_client {

namespace {

constexpr const char* PIPE_FILE = "/tmp/ota_pipe";
constexpr int READER_IDLE_LIMIT = 200;
constexpr int READER_IDLE_WAIT_MS = 1000;

// A thread left running at exit must not end the process through std::terminate.
struct OwnedThread {
  std::thread thread;
  ~OwnedThread() {
    if (thread.joinable()) {
      thread.detach();
    }
  }
};

OwnedThread g_reader;
// A byte written to g_reader_stop_w stops the reader. Both ends live until the join, so
// the write can never meet a closed pipe.
ota::UniqueFd g_reader_stop_r;
ota::UniqueFd g_reader_stop_w;
OwnedThread g_reaper;
std::atomic<bool> g_reaper_done{true};
// Client threads may start and join reapers concurrently (a launch, a deinit).
std::mutex g_reaper_mutex;

// Collects the bytes of one record; a record split over reads is completed first.
struct RecordReader {
  uint8_t buf[OTA_PROGRESS_RECORD_SIZE] = {};
  size_t have = 0;

  // Reads once; returns the read's result and reports whether a final record arrived.
  ssize_t read_once(int fd, bool* final_seen) {
    const ssize_t n = ota::retry_eintr([&] { return ::read(fd, buf + have, sizeof(buf) - have); });
    if (n > 0) {
      have += static_cast<size_t>(n);
      if (have == sizeof(buf)) {
        const ota_upgrade_info info = ota_upgrade_info_decode(buf);
        progress_store(info);
        have = 0;
        std::memset(buf, 0, sizeof(buf));
        *final_seen = info.result == UPGRADE_SUCCESS || info.result == UPGRADE_FAILED;
      }
    }
    return n;
  }
};

// After a stop the worker is gone: everything it wrote is already in the FIFO.
void drain(int fd, RecordReader* rec) {
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  bool final_seen = false;
  while (!final_seen && rec->read_once(fd, &final_seen) > 0) {
  }
}

bool wait_stop(int stop_fd, int timeout_ms) {
  pollfd p{stop_fd, POLLIN, 0};
  return ota::retry_eintr([&] { return ::poll(&p, 1, timeout_ms); }) > 0;
}

void pipe_communicate(ota::UniqueFd fifo, int stop) {
  OTA_LOG_INFO("\n");
  RecordReader rec;
  int empty_reads = 0;
  pollfd fds[2] = {{fifo.get(), POLLIN, 0}, {stop, POLLIN, 0}};
  for (;;) {
    if (ota::retry_eintr([&] { return ::poll(fds, 2, -1); }) < 0) {
      OTA_LOG_ERR("poll on %s failed: %s\n", PIPE_FILE, std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) {
      drain(fifo.get(), &rec);
      return;
    }
    bool final_seen = false;
    const ssize_t n = rec.read_once(fifo.get(), &final_seen);
    if (final_seen) {
      return;
    }
    if (n > 0) {
      empty_reads = 0;
    } else if (n == 0) {
      // The worker has closed its end; it may still reopen it for a while.
      if (empty_reads++ >= READER_IDLE_LIMIT || wait_stop(stop, READER_IDLE_WAIT_MS)) {
        return;
      }
    } else if (errno != EAGAIN) {
      // A failed read is not a record: keep the last one and give up.
      OTA_LOG_ERR("read %s failed: %s\n", PIPE_FILE, std::strerror(errno));
      return;
    }
  }
}

void do_sig_child(pid_t pid) {
  int status = 0;
  const pid_t got = ota::retry_eintr([&] { return ::waitpid(pid, &status, 0); });
  bool clean_exit = false;
  if (got == pid) {
    if (WIFEXITED(status)) {
      clean_exit = WEXITSTATUS(status) == 0;
      if (!clean_exit) {
        OTA_LOG_ERR("ota process %d exit with %d\n", pid, WEXITSTATUS(status));
      }
    } else if (WIFSIGNALED(status)) {
      OTA_LOG_ERR("ota process %d killed by the %dth signal\n", pid, WTERMSIG(status));
    }
  } else {
    // No exit status (SIGCHLD ignored by the client): nothing proves success.
    OTA_LOG_ERR("wait for ota process %d failed: %s\n", pid, std::strerror(errno));
  }
  // The lock is released even when the FIFO is already gone (removed by someone else):
  // a lock kept here would refuse every later start, sync and clear of this process. The
  // worker that shared it has ended, so releasing the open file frees it for everyone.
  const bool fifo_removed = ::unlink(PIPE_FILE) == 0;
  const bool lock_released = release_process_lock() == 0;
  if (!fifo_removed || !lock_released) {
    OTA_LOG_ERR("release pipe file or lock failed\n");
  }
  stop_reader();
  progress_settle(clean_exit);
  set_launch_active(false);
  g_reaper_done.store(true);
}

}  // namespace

int32_t start_reader(ota::UniqueFd fifo) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) {
    OTA_LOG_ERR("pipe for the reader failed: %s\n", std::strerror(errno));
    return -1;
  }
  ota::UniqueFd stop_r(p[0]);
  ota::UniqueFd stop_w(p[1]);
  try {
    g_reader.thread = std::thread(pipe_communicate, std::move(fifo), stop_r.get());
  } catch (const std::system_error& e) {
    OTA_LOG_ERR("reader thread: %s\n", e.what());
    return -1;
  }
  g_reader_stop_r = std::move(stop_r);
  g_reader_stop_w = std::move(stop_w);
  return 0;
}

void stop_reader() {
  if (!g_reader.thread.joinable()) {
    return;
  }
  const char byte = 1;
  (void)ota::retry_eintr([&] { return ::write(g_reader_stop_w.get(), &byte, 1); });
  g_reader.thread.join();
  g_reader_stop_w.reset();
  g_reader_stop_r.reset();
}

int32_t start_reaper(pid_t pid) {
  const std::lock_guard<std::mutex> guard(g_reaper_mutex);
  g_reaper_done.store(false);
  try {
    g_reaper.thread = std::thread(do_sig_child, pid);
  } catch (const std::system_error& e) {
    OTA_LOG_ERR("reaper thread: %s\n", e.what());
    g_reaper_done.store(true);
    return -1;
  }
  return 0;
}

bool join_reaper(bool wait) {
  const std::lock_guard<std::mutex> guard(g_reaper_mutex);
  if (!g_reaper.thread.joinable()) {
    return true;
  }
  if (!wait && !g_reaper_done.load()) {
    return false;
  }
  g_reaper.thread.join();
  return true;
}

}  // namespace ota_client
