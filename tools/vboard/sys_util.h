// Small system helpers of the virtual board: whole-file I/O, directories, running a
// program and waiting for it. Every failure comes back as a tool::Error naming the
// path or program and the system's reason.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool_result.h"
#include "unique_fd.h"

namespace vboard {

using ota::tool::Error;
using ota::tool::Result;

[[nodiscard]] Result<std::string> read_text(const std::string& path);
// Writes the whole file (created 0644 or truncated in place, so bind mounts of it see
// the new content) and syncs it.
[[nodiscard]] Result<void> write_text(const std::string& path, const std::string& text,
                                      mode_t mode = 0644);
[[nodiscard]] Result<void> make_dirs(const std::string& path, mode_t mode = 0755);
// Removes a tree; missing paths are fine.
[[nodiscard]] Result<void> remove_tree(const std::string& path);

[[nodiscard]] Result<ota::UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0);
[[nodiscard]] Result<void> pread_exact(int fd, void* buf, size_t len, uint64_t offset,
                                       const std::string& what);
[[nodiscard]] Result<void> pwrite_exact(int fd, const void* buf, size_t len, uint64_t offset,
                                        const std::string& what);

// Runs argv (argv[0] searched in PATH) with stdout sent to /dev/null; stderr is kept
// and returned in the error when the program fails.
[[nodiscard]] Result<void> run_program(const std::vector<std::string>& argv);

// Waits for pid; returns the exit code, or 128 + the signal that ended it.
[[nodiscard]] int wait_exit_code(pid_t pid);

// The absolute, symlink-free form of an existing path.
[[nodiscard]] Result<std::string> real_path(const std::string& path);

}  // namespace vboard
