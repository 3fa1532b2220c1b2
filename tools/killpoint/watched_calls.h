// The system calls that can write to or flush a device, and the seccomp program that
// stops a traced process at the entry of each of them (ioctl only for the block-device
// requests that flush, discard or zero). Every other call runs untraced, at full speed.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace killpoint {

// How a watched call names its target and its range.
struct WatchedCall {
  long nr;
  std::string_view name;
  int fd_arg;  // argument holding the descriptor written to, -1 for none (sync)
};

// The watched calls of this architecture.
[[nodiscard]] const std::vector<WatchedCall>& watched_calls();
[[nodiscard]] const WatchedCall* find_watched(uint64_t nr);

// The ioctl requests that write to or flush a block device.
[[nodiscard]] const std::vector<unsigned long>& watched_ioctls();

// The seccomp program: SECCOMP_RET_TRACE for the watched calls (and for any call of a
// foreign architecture, which the tracer then refuses to guess about), ALLOW otherwise.
[[nodiscard]] std::vector<sock_filter> watch_program();

// The audit architecture of this build (AUDIT_ARCH_AARCH64, AUDIT_ARCH_X86_64).
[[nodiscard]] uint32_t native_arch();

}  // namespace killpoint
