// killpoint_writer MODE DEVICE: makes one kind of write (or flush) to DEVICE, as named by
// MODE, for the tracer's tests: each mode is one system call the tracer must see (or,
// for the "not_*" modes, must not count), at a known offset and length.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace {

char g_buf[4096];

int temp_file() {
  char name[] = "/tmp/killpoint_writer.XXXXXX";
  const int fd = ::mkstemp(name);
  ::unlink(name);
  if (fd < 0 || ::write(fd, g_buf, sizeof(g_buf)) != static_cast<ssize_t>(sizeof(g_buf))) {
    return -1;
  }
  return fd;
}

int run(const std::string& mode, int fd) {
  iovec iov[2] = {{g_buf, 100}, {g_buf, 412}};
  const std::map<std::string, std::function<long()>> modes = {
      {"write", [&] { return ::lseek(fd, 4096, SEEK_SET) < 0 ? -1 : ::write(fd, g_buf, 512); }},
      {"pwrite", [&] { return ::pwrite(fd, g_buf, 4096, 8192); }},
      {"writev", [&] { return ::lseek(fd, 1024, SEEK_SET) < 0 ? -1 : ::writev(fd, iov, 2); }},
      {"pwritev", [&] { return ::pwritev(fd, iov, 2, 2048); }},
      {"pwritev2",
       [&] { return ::lseek(fd, 3072, SEEK_SET) < 0 ? -1 : ::pwritev2(fd, iov, 2, -1, 0); }},
      {"fsync", [&] { return ::fsync(fd); }},
      {"fdatasync", [&] { return ::fdatasync(fd); }},
      {"sync_file_range", [&] { return ::sync_file_range(fd, 4096, 8192, SYNC_FILE_RANGE_WRITE); }},
      {"blkflsbuf", [&] { return ::ioctl(fd, BLKFLSBUF, 0); }},
      {"blkzeroout",
       [&] {
         uint64_t range[2] = {4096, 4096};
         return ::ioctl(fd, BLKZEROOUT, range);
       }},
      {"fallocate", [&] { return ::fallocate(fd, FALLOC_FL_ZERO_RANGE, 0, 4096); }},
      {"copy_file_range",
       [&] {
         const int in = temp_file();
         loff_t from = 0;
         loff_t to = 8192;
         return ::copy_file_range(in, &from, fd, &to, 4096, 0);
       }},
      {"sendfile",
       [&] {
         const int in = temp_file();
         off_t from = 0;
         return ::lseek(fd, 0, SEEK_SET) < 0 ? -1 : ::sendfile(fd, in, &from, 4096);
       }},
      {"splice",
       [&] {
         int p[2];
         loff_t to = 12288;
         return ::pipe(p) != 0 || ::write(p[1], g_buf, 4096) != 4096
                    ? -1
                    : ::splice(p[0], nullptr, fd, &to, 4096, 0);
       }},
      {"sync", [&] { return (::sync(), 0L); }},
      {"syncfs", [&] { return ::syncfs(fd); }},
      {"thread",
       [&] {
         long r = -1;
         std::thread t([&] { r = ::pwrite(fd, g_buf, 16, 0); });
         t.join();
         return r;
       }},
      {"fork",
       [&] {
         const pid_t pid = ::fork();
         if (pid == 0) {
           ::_exit(::pwrite(fd, g_buf, 16, 0) == 16 ? 0 : 1);
         }
         int status = 0;
         return ::waitpid(pid, &status, 0) == pid && status == 0 ? 0L : -1L;
       }},
      {"vfork",
       [&] {
         const pid_t pid = ::vfork();
         if (pid == 0) {
           ::_exit(::pwrite(fd, g_buf, 16, 0) == 16 ? 0 : 1);
         }
         int status = 0;
         return ::waitpid(pid, &status, 0) == pid && status == 0 ? 0L : -1L;
       }},
      {"not_pipe",
       [&] {
         int p[2];
         return ::pipe(p) != 0 ? -1 : ::write(p[1], g_buf, 16);
       }},
      {"not_file",
       [&] {
         const int f = temp_file();
         return f < 0 ? -1 : ::fsync(f);
       }},
  };
  const auto it = modes.find(mode);
  if (it == modes.end()) {
    std::fprintf(stderr, "killpoint_writer: unknown mode %s\n", mode.c_str());
    return 2;
  }
  // The call's own result does not matter (a loop device may refuse a discard): the
  // tracer records it at its entry.
  (void)it->second();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: killpoint_writer MODE DEVICE\n");
    return 2;
  }
  std::memset(g_buf, 'w', sizeof(g_buf));
  const int fd = ::open(argv[2], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[2]);
    return 1;
  }
  return run(argv[1], fd);
}
