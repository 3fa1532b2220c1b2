// Which stopped system calls are durable writes of the board, and what they write: the
// device (by its by-name partition when it has one), the offset and the length.
//
// The target is decided by what the descriptor is, never by its path: fstat of
// /proc/PID/fd/N must show a block device (every by-name partition, the whole disk, the
// NOR device /dev/mtd0 of the board), a character device with the NOR device's number
// (an MTD character device), or one of the regular files given to watch (a board's
// image files, as the boot firmware writes them from outside the board).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tool_result.h"

namespace killpoint {

using ota::tool::Error;
using ota::tool::Result;

// A system call stopped at its entry.
struct SyscallEntry {
  pid_t pid = 0;
  uint64_t nr = 0;
  std::array<uint64_t, 6> args{};
};

struct DurableWrite {
  std::string call;                // "pwrite64"
  std::string target;              // "boot_b", "mtd0", "emmc.img"; "all" for sync
  std::optional<uint64_t> offset;  // none: the whole target (a flush)
  std::optional<uint64_t> length;
};

// The board's devices and the watched files, named.
class Targets {
 public:
  // Reads the by-name directory and /dev/mtd0 (when present) and the watched files.
  [[nodiscard]] static Result<Targets> scan(const std::vector<std::string>& watched);

  // The name of what st is when writing to it is durable, or nullopt. link is the
  // descriptor's /proc link text, the name of a block device the board does not name.
  [[nodiscard]] std::optional<std::string> name(const struct stat& st,
                                                const std::string& link) const;

 private:
  std::map<dev_t, std::string> block_names_;
  std::optional<dev_t> nor_;
  std::map<std::pair<dev_t, ino_t>, std::string> files_;
};

// The durable write that call is about to make, or nullopt when it writes elsewhere
// (a pipe, a log file, a terminal). An error when the process cannot be inspected.
[[nodiscard]] Result<std::optional<DurableWrite>> classify(const SyscallEntry& call,
                                                           const Targets& targets);

}  // namespace killpoint
