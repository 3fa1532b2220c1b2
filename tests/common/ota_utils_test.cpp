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

class UtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_lock_reset_state();
    ota_test::clear_log_records();
  }
  void TearDown() override { ota_lock_reset_state(); }
  ota_test::TempDir dir_;
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

// A lock held by one process refuses a second one until the first releases it; the
// second attempt logs both error lines.
TEST_F(UtilsTest, LockExcludesAnotherProcess) {
  std::string path = dir_.file("ota.lock");
  ASSERT_EQ(get_file_lock(path.data()), 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ota_lock_reset_state();  // the inherited descriptor is the parent's lock, not ours
    ota_test::clear_log_records();
    const bool refused = get_file_lock(path.data()) == -1 &&
                         ota_test::log_contains("is already locked.") &&
                         ota_test::log_contains("ota doesn't support multiple processes.");
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // In the same process a second call fails too: flock belongs to the open file.
  EXPECT_EQ(get_file_lock(path.data()), -1);
  ASSERT_EQ(put_file_lock(path.data()), 0);

  const pid_t second = fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    _exit(get_file_lock(path.data()) == 0 ? 0 : 1);
  }
  ASSERT_EQ(waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A program started while the lock is held does not inherit it (only the worker's launch
// hands it over on purpose), so it is free once its holder lets go.
TEST_F(UtilsTest, LockNotInheritedByAnExecutedChild) {
  std::string path = dir_.file("ota.lock");
  ASSERT_EQ(get_file_lock(path.data()), 0);
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

  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    _exit(get_file_lock(path.data()) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child kept the lock";
  kill(worker, SIGKILL);
  ASSERT_EQ(waitpid(worker, &status, 0), worker);
}

// The worker's start: every inherited descriptor above 2 stays open for the process but
// reaches no command it runs; the standard streams are left as they were.
TEST_F(UtilsTest, KeepDescriptorsToSelf) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int p[2];
    if (pipe(p) != 0 || dup2(p[0], 77) != 77) {
      _exit(10);
    }
    const int std_flags = fcntl(STDERR_FILENO, F_GETFD);
    if (ota_keep_descriptors_to_self() != 0) {
      _exit(11);
    }
    for (const int fd : {p[0], p[1], 77}) {
      if (fcntl(fd, F_GETFD) != FD_CLOEXEC) {
        _exit(12);  // closed, or still passed on
      }
    }
    if (fcntl(STDERR_FILENO, F_GETFD) != std_flags) {
      _exit(13);
    }
    // A shell command run now finds none of them.
    _exit(ota_system_exe("test ! -e /proc/self/fd/77") == 0 ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Releasing without a lock, and locking in a missing directory, fail cleanly.
TEST_F(UtilsTest, LockFailures) {
  std::string path = dir_.file("ota.lock");
  testing::internal::CaptureStderr();
  EXPECT_EQ(put_file_lock(path.data()), -1);
  EXPECT_TRUE(testing::internal::GetCapturedStderr().empty());

  std::string missing = dir_.file("no/such/dir/ota.lock");
  EXPECT_EQ(get_file_lock(missing.data()), -1);
  EXPECT_TRUE(ota_test::log_contains("open file " + missing + " failed."));
}

// Whatever someone planted under the lock's name (a link, a file open to others, a file
// of another user, a FIFO) is replaced by a fresh file of ours with mode 0600 that
// nobody else can open; the planted target is never touched.
TEST_F(UtilsTest, PlantedLockFilesAreReplaced) {
  const std::string victim = dir_.file("victim");
  std::string lock = dir_.file("ota.lock");
  struct Row {
    const char* what;
    bool (*plant)(const std::string& lock, const std::string& victim);
  };
  const Row rows[] = {
      {"link", [](const std::string& l,
                  const std::string& v) { return symlink(v.c_str(), l.c_str()) == 0; }},
      {"open to all",
       [](const std::string& l, const std::string&) {
         ota_test::write_file(l, "");
         return chmod(l.c_str(), 0666) == 0;
       }},
      {"another user's",
       [](const std::string& l, const std::string&) {
         ota_test::write_file(l, "");
         return chmod(l.c_str(), 0600) == 0 && chown(l.c_str(), 65534, 65534) == 0;
       }},
      {"second name",
       [](const std::string& l, const std::string& v) { return link(v.c_str(), l.c_str()) == 0; }},
      {"fifo",
       [](const std::string& l, const std::string&) { return mkfifo(l.c_str(), 0666) == 0; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ota_test::write_file(victim, "keep");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_TRUE(row.plant(lock, victim));
    ASSERT_EQ(get_file_lock(lock.data()), 0);
    struct stat st {};
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(ota_test::read_file(victim), "keep");
    ASSERT_EQ(put_file_lock(lock.data()), 0);
    ASSERT_EQ(unlink(lock.c_str()), 0);
  }
}

}  // namespace
