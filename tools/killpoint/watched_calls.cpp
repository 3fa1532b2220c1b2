#include "watched_calls.h"

#include <linux/audit.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

#include <cstddef>

namespace killpoint {

namespace {

#if defined(__aarch64__)
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#elif defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#else
#error "ota_killpoint knows the audit architecture of aarch64 and x86_64 only"
#endif

sock_filter stmt(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) {
  return BPF_JUMP(code, k, jt, jf);
}

// "if A == value: return TRACE", as two instructions.
void trace_if(std::vector<sock_filter>& p, uint32_t value) {
  p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1));
  p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_TRACE));
}

}  // namespace

const std::vector<WatchedCall>& watched_calls() {
  // Numbers from <sys/syscall.h>: each architecture has its own.
  static const std::vector<WatchedCall> calls = {
      {SYS_write, "write", 0},         {SYS_pwrite64, "pwrite64", 0},
      {SYS_writev, "writev", 0},       {SYS_pwritev, "pwritev", 0},
      {SYS_pwritev2, "pwritev2", 0},   {SYS_fsync, "fsync", 0},
      {SYS_fdatasync, "fdatasync", 0}, {SYS_sync_file_range, "sync_file_range", 0},
      {SYS_fallocate, "fallocate", 0}, {SYS_ioctl, "ioctl", 0},
      {SYS_sync, "sync", -1},          {SYS_syncfs, "syncfs", 0},
      {SYS_sendfile, "sendfile", 0},   {SYS_copy_file_range, "copy_file_range", 2},
      {SYS_splice, "splice", 2},
  };
  return calls;
}

const WatchedCall* find_watched(uint64_t nr) {
  for (const auto& c : watched_calls()) {
    if (static_cast<uint64_t>(c.nr) == nr) {
      return &c;
    }
  }
  return nullptr;
}

const std::vector<unsigned long>& watched_ioctls() {
  static const std::vector<unsigned long> requests = {BLKFLSBUF, BLKDISCARD, BLKZEROOUT,
                                                      BLKSECDISCARD};
  return requests;
}

uint32_t native_arch() { return kArch; }

std::vector<sock_filter> watch_program() {
  std::vector<sock_filter> p;
  p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
  p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_TRACE));
  p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const auto& c : watched_calls()) {
    if (c.nr != SYS_ioctl) {
      trace_if(p, static_cast<uint32_t>(c.nr));
    }
  }
  p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(SYS_ioctl), 1, 0));
  p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  // The request's low 32 bits (little-endian): every watched request fits in them.
  p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])));
  for (unsigned long request : watched_ioctls()) {
    trace_if(p, static_cast<uint32_t>(request));
  }
  p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return p;
}

}  // namespace killpoint
