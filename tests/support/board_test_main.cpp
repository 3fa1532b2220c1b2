// main of the board test suites: every run of the binary gets a fresh virtual board.
// Outside a board it creates one, re-executes itself inside it with `vboard run` and
// removes it; inside (VBOARD_DIR set) it runs the tests. Listing the tests needs no board.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool listing_only(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) {
      return true;
    }
  }
  return false;
}

int run_and_wait(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("board test: fork");
    return 125;
  }
  if (pid == 0) {
    execv(argv[0], argv.data());
    std::fprintf(stderr, "board test: cannot execute %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return 125;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Creates a board, runs this binary with the same arguments on it, removes it.
int run_on_fresh_board(int argc, char** argv) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  char dir[] = "/tmp/board-test.XXXXXX";
  if (n <= 0 || mkdtemp(dir) == nullptr) {
    std::perror("board test: prepare the board");
    return 125;
  }
  self[n] = '\0';
  std::vector<std::string> create = {VBOARD_EXE, "create", dir};
#ifdef VBOARD_CREATE_FLAG
  create.emplace_back(VBOARD_CREATE_FLAG);  // a suite's board layer, e.g. --mtd-chardev
#endif
  int code = run_and_wait(create);
  if (code != 0) {
    std::fprintf(stderr, "board test: vboard create %s failed (%d): the tests cannot run\n", dir,
                 code);
  } else {
    std::vector<std::string> args = {VBOARD_EXE, "run", dir, "--", self};
    args.insert(args.end(), argv + 1, argv + argc);
    code = run_and_wait(args);
  }
  run_and_wait({"/bin/rm", "-rf", dir});
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("VBOARD_DIR") == nullptr && !listing_only(argc, argv)) {
    return run_on_fresh_board(argc, argv);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
