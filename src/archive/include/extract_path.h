// Where an archive member may land inside an extraction directory.
//
// The rule is deliberately simple so that it can be checked by reading it: a member name
// must be relative and free of ".." components, and every component beneath the
// extraction directory, the last one included, is opened with O_NOFOLLOW. A symbolic
// link found there (whoever made it, typically an earlier entry of the same archive) is
// never followed, so no write, chmod or time change can leave the directory through it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace ota {

// True when name is non-empty, relative and has no ".." component.
[[nodiscard]] bool is_safe_member_name(std::string_view name);

// The last component of name, trailing '/' ignored ("a/b/" gives "b").
[[nodiscard]] std::string member_leaf(std::string_view name);

// Opens the directory that holds member `name` beneath dir_fd, walking its components
// with O_NOFOLLOW and creating missing ones (mode 0775) when `create` is set. Fails with
// errno EINVAL for an unsafe name, ELOOP when a component is a symbolic link, or the
// errno of the failed open or mkdir.
[[nodiscard]] UniqueFd open_member_parent(int dir_fd, std::string_view name, bool create);

// Opens member `name` beneath dir_fd for writing (created or truncated, mode 0666 less
// the umask) with O_NOFOLLOW on every component; errno as for open_member_parent.
[[nodiscard]] UniqueFd open_member_file(int dir_fd, std::string_view name, bool create_dirs);

// True for the errno values that mean the name itself is refused (unsafe or a link on
// its way), as opposed to an ordinary open failure.
[[nodiscard]] bool is_member_refusal(int err);

// Text for the errno of a failed open_member_parent or O_NOFOLLOW open.
[[nodiscard]] const char* member_error_text(int err);

// Removes what an extraction left of a member it could not finish, without following a
// link on the way (errors ignored: the work directory is cleared at the run's end anyway).
void remove_member(int dir_fd, std::string_view name);

// What a whole-archive extraction may still take from its file system: bytes of member
// data and inodes (one per file, directory or link). A member that would overspend
// fails the extraction instead of filling the file system.
struct ExtractBudget {
  uint64_t bytes = UINT64_MAX;
  uint64_t inodes = UINT64_MAX;

  // Takes one inode; false (logged, naming the member) when none is left.
  [[nodiscard]] bool take_inode(std::string_view member);
  // Takes n bytes; false (logged, naming the member) when fewer are left.
  [[nodiscard]] bool take_bytes(std::string_view member, uint64_t n);
};

}  // namespace ota
