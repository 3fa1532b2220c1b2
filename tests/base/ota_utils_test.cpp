#include "file_lock.h"
#include "shell_exec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "ota_log.h"
#include "test_support.h"

namespace {

// An empty file of ours with exactly `mode`; 0 on success.
int make_file(const char* path, mode_t mode) {
  const int fd = creat(path, mode);
  return fd < 0 || close(fd) != 0 ? -1 : chmod(path, mode);
}

class UtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_lock_reset_state();
    ota_test::clear_log_records();
  }
  void TearDown() override { ota_lock_reset_state(); }

  // Runs body in a forked child; its exit status, or -1 when it did not exit.
  template <typename Body>
  static int in_child(Body body) {
    const pid_t child = fork();
    if (child == 0) {
      _exit(body());
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
               ? WEXITSTATUS(status)
               : -1;
  }
  // 0 when another process can take the lock at lock_.
  int other_process_locks() {
    return in_child([&] { return get_file_lock(lock_.data()) == 0 ? 0 : 1; });
  }

  ota_test::TempDir dir_;
  std::string lock_ = dir_.file("ota.lock");
};

// Only a normal exit with status 0 counts as success.
TEST_F(UtilsTest, ShellVerdict) {
  EXPECT_EQ(ota_system_exe("true"), 0);
  EXPECT_EQ(ota_system_exe("exit 1"), -1);
  EXPECT_TRUE(ota_test::log_contains("execute cmd:exit 1 failed!"));
  EXPECT_EQ(ota_system_exe("kill -9 $$"), -1);
  EXPECT_EQ(ota_system_exe(nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("system cmd is NULL!"));
}

// A lock held by one process refuses a second one (which logs both error lines) until
// the first releases it; in the same process a second call fails too, as flock belongs
// to the open file. Releasing without a lock, and locking in a missing directory, fail.
TEST_F(UtilsTest, LockExcludesAnotherProcess) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(put_file_lock(lock_.data()), -1);
  EXPECT_TRUE(testing::internal::GetCapturedStderr().empty());
  ASSERT_EQ(get_file_lock(lock_.data()), 0);
  EXPECT_EQ(in_child([&] {
              ota_lock_reset_state();  // the inherited descriptor is the parent's lock, not ours
              ota_test::clear_log_records();
              return get_file_lock(lock_.data()) == -1 &&
                             ota_test::log_contains("is already locked.") &&
                             ota_test::log_contains("ota doesn't support multiple processes.")
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_EQ(get_file_lock(lock_.data()), -1);
  ASSERT_EQ(put_file_lock(lock_.data()), 0);
  EXPECT_EQ(other_process_locks(), 0);

  std::string missing = dir_.file("no/such/dir/ota.lock");
  EXPECT_EQ(get_file_lock(missing.data()), -1);
  EXPECT_TRUE(ota_test::log_contains("open file " + missing + " failed."));
}

// A program started while the lock is held does not inherit it (only the worker's launch
// hands it over on purpose), so it is free once its holder lets go.
TEST_F(UtilsTest, LockNotInheritedByAnExecutedChild) {
  ASSERT_EQ(get_file_lock(lock_.data()), 0);
  // Until its exec the forked child holds every descriptor: the end of this pipe (also
  // close-on-exec) tells when the exec has happened.
  int exec_done[2];
  ASSERT_EQ(pipe2(exec_done, O_CLOEXEC), 0);
  const pid_t worker = fork();
  ASSERT_GE(worker, 0);
  if (worker == 0) {
    execlp("sleep", "sleep", "5", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(exec_done[1]);
  char byte = 0;
  EXPECT_EQ(read(exec_done[0], &byte, 1), 0);
  close(exec_done[0]);
  ota_lock_reset_state();  // the holder's own descriptor is gone
  EXPECT_EQ(other_process_locks(), 0) << "the child kept the lock";
  kill(worker, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(worker, &status, 0), worker);
}

// The worker's start: every inherited descriptor above 2 stays open for the process but
// reaches no command it runs; the standard streams are left as they were.
TEST_F(UtilsTest, KeepDescriptorsToSelf) {
  EXPECT_EQ(in_child([] {
              int p[2];
              if (pipe(p) != 0 || dup2(p[0], 77) != 77) {
                return 10;
              }
              const int std_flags = fcntl(STDERR_FILENO, F_GETFD);
              if (ota_keep_descriptors_to_self() != 0) {
                return 11;
              }
              for (const int fd : {p[0], p[1], 77}) {
                if (fcntl(fd, F_GETFD) != FD_CLOEXEC) {
                  return 12;  // closed, or still passed on
                }
              }
              if (fcntl(STDERR_FILENO, F_GETFD) != std_flags) {
                return 13;
              }
              // A shell command run now finds none of them.
              return ota_system_exe("test ! -e /proc/self/fd/77") == 0 ? 0 : 14;
            }),
            0);
}

// Whatever someone planted under the lock's name (a link, a file open to others, a file
// of another user, a second name, a FIFO) is replaced by a fresh file of ours with mode
// 0600 that nobody else can open; the planted target is never touched.
TEST_F(UtilsTest, PlantedLockFilesAreReplaced) {
  const std::string victim = dir_.file("victim");
  const struct {
    const char* what;
    int (*plant)(const char* lock, const char* victim);
  } rows[] = {
      {"link", [](const char* l, const char* v) { return symlink(v, l); }},
      {"open to all", [](const char* l, const char*) { return make_file(l, 0666); }},
      {"another user's",
       [](const char* l, const char*) {
         return make_file(l, 0600) != 0 ? -1 : chown(l, 65534, 65534);
       }},
      {"second name", [](const char* l, const char* v) { return link(v, l); }},
      {"fifo", [](const char* l, const char*) { return mkfifo(l, 0666); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ota_test::write_file(victim, "keep");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(row.plant(lock_.c_str(), victim.c_str()), 0);
    ASSERT_EQ(get_file_lock(lock_.data()), 0);
    struct stat st {};
    ASSERT_EQ(lstat(lock_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(ota_test::read_file(victim), "keep");
    ASSERT_EQ(put_file_lock(lock_.data()), 0);
    ASSERT_EQ(unlink(lock_.c_str()), 0);
  }
}

}  // namespace
