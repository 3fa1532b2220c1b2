// Folders and files in places other users can reach (world-writable /tmp, a backup
// directory named by a package, the folder an update package was put in): made or opened
// so that nobody else can plant, swap or redirect what the engine opens, mounts, reads or
// writes there.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "unique_fd.h"

namespace ota {

// True when st is owned by this process's user and closed to group and others.
[[nodiscard]] bool is_ours_alone(const struct stat& st);

// Opens path for reading without following a link (nor waiting on a FIFO), and keeps it
// only when it is a regular file owned by root that no one else may write: a file another
// user wrote, or could swap or change while it is read, is refused. The descriptor, or an
// invalid one with *why saying what is wrong.
[[nodiscard]] UniqueFd open_root_file(const char* path, std::string* why);

// "/proc/self/fd/N": opening it opens again the very file fd refers to, whatever the file's
// old name holds by then, so a reader that takes a path reads what was opened and checked.
[[nodiscard]] std::string descriptor_path(int fd);

// Makes a fresh directory "<parent>/<prefix>XXXXXX" (mkdtemp: mode 0700, ours, a name
// nobody can have taken before). The parent must be a real directory (not a link) owned
// by root or by us that others cannot rename entries in (not writable by them, or
// sticky). The path, or "" with errno set (EPERM for an unsafe parent).
[[nodiscard]] std::string make_private_dir(const char* parent, const char* prefix);

// Makes path a directory of ours closed to others (mode 0700), keeping one that already
// is, with what it holds. Anything else under the name is replaced, never followed: a
// link or other non-directory is removed, a directory of ours open to others made afresh
// (anyone could have put an entry in it). Another user's directory is refused with errno
// EPERM. 0, or -1 with errno set.
[[nodiscard]] int claim_private_dir(const char* path);

// Removes path and everything below it without following a link and without entering
// another file system (a mount below path is left alone and makes the removal fail).
// 0, or -1 with errno set. A path that does not exist counts as removed.
[[nodiscard]] int remove_tree(const char* path);

// The mount point of the file system that holds path: its highest ancestor on the same
// device (for a path not made yet, that of its nearest existing ancestor). "" when even
// "/" cannot be examined.
[[nodiscard]] std::string mount_root_of(std::string_view path);

// Opens directory path, which must be root or lie below it (both absolute, path without
// ".."), walking from root one component at a time with O_NOFOLLOW and staying on root's
// file system; missing components are created with mode 0700 when create is set. Fails
// with errno EXDEV (outside root or on another file system), ELOOP (a link on the way),
// EINVAL (a relative path or ".."), or that of the failed open or mkdir.
[[nodiscard]] UniqueFd open_confined_dir(std::string_view root, std::string_view path, bool create);

// Text for the errno of open_confined_dir.
[[nodiscard]] const char* confined_error_text(int err);

}  // namespace ota
