#include "private_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ota {
namespace {

std::string parent_of(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) {
    return "/";
  }
  return std::string(path.substr(0, slash));
}

bool has_dotdot(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (path.substr(start, end - start) == "..") {
      return true;
    }
    start = end + 1;
  }
  return false;
}

UniqueFd open_dir_at(int dir_fd, const char* name) {
  return UniqueFd(retry_eintr(
      [&] { return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

// The errno of a failed no-follow open of a directory, with a link named as such.
int open_failure(int dir_fd, const char* name, int err) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return ELOOP;
  }
  return err;
}

// Empties the directory open as dir_fd, staying on device dev.
int remove_below(int dir_fd, dev_t dev) {
  UniqueDir dir(::fdopendir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0)));
  if (!dir) {
    return -1;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (::unlinkat(dir_fd, name, 0) != 0) {
        return -1;
      }
      continue;
    }
    if (st.st_dev != dev) {
      errno = EXDEV;  // something is mounted here: never empty another file system
      return -1;
    }
    UniqueFd child = open_dir_at(dir_fd, name);
    if (!child || remove_below(child.get(), dev) != 0 ||
        ::unlinkat(dir_fd, name, AT_REMOVEDIR) != 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace

bool is_ours_alone(const struct stat& st) {
  return st.st_uid == ::geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

UniqueFd open_root_file(const char* path, std::string* why) {
  UniqueFd fd = open_fd(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd) {
    *why = errno == ELOOP ? std::string("it is a symbolic link")
                          : std::string("cannot open it: ") + std::strerror(errno);
    return {};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *why = std::string("cannot examine it: ") + std::strerror(errno);
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "it is not a regular file";
  } else if (st.st_uid != 0) {
    *why = "it is owned by uid " + std::to_string(st.st_uid) + ", not by root";
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = std::string("its group or others may write it (mode ") + mode + ")";
  } else {
    return fd;
  }
  return {};
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::string make_private_dir(const char* parent, const char* prefix) {
  struct stat st {};
  if (::lstat(parent, &st) != 0) {
    return "";
  }
  const bool owner_ok = st.st_uid == 0 || st.st_uid == ::geteuid();
  const bool others_cannot_swap =
      (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
  if (!S_ISDIR(st.st_mode) || !owner_ok || !others_cannot_swap) {
    errno = EPERM;
    return "";
  }
  std::string path = std::string(parent) + "/" + prefix + "XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) {
    return "";
  }
  return path;
}

int claim_private_dir(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode) && st.st_uid != ::geteuid()) {
      errno = EPERM;
      return -1;
    }
    if (S_ISDIR(st.st_mode) && is_ours_alone(st)) {
      return 0;
    }
    if (remove_tree(path) != 0) {
      return -1;
    }
  } else if (errno != ENOENT) {
    return -1;
  }
  return ::mkdir(path, 0700);
}

int remove_tree(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) != 0) {
    return errno == ENOENT ? 0 : -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    return ::unlink(path);
  }
  UniqueFd dir = open_dir_at(AT_FDCWD, path);
  if (!dir || remove_below(dir.get(), st.st_dev) != 0) {
    return -1;
  }
  return ::rmdir(path);
}

std::string mount_root_of(std::string_view path) {
  std::string at(path.empty() ? "/" : path);
  struct stat st {};
  while (::stat(at.c_str(), &st) != 0) {
    if (at == "/") {
      return "";
    }
    at = parent_of(at);
  }
  for (;;) {
    if (at == "/") {
      return at;
    }
    const std::string up = parent_of(at);
    struct stat up_st {};
    if (::stat(up.c_str(), &up_st) != 0 || up_st.st_dev != st.st_dev) {
      return at;
    }
    at = up;
  }
}

UniqueFd open_confined_dir(std::string_view root, std::string_view path, bool create) {
  if (root.empty() || root.front() != '/' || path.empty() || path.front() != '/' ||
      has_dotdot(path)) {
    errno = EINVAL;
    return UniqueFd();
  }
  const std::string base = root == "/" ? "" : std::string(root);
  if (path.substr(0, base.size()) != base ||
      (path.size() > base.size() && path[base.size()] != '/')) {
    errno = EXDEV;
    return UniqueFd();
  }
  UniqueFd current = open_fd(std::string(root).c_str(), O_RDONLY | O_DIRECTORY);
  struct stat root_st {};
  if (!current || ::fstat(current.get(), &root_st) != 0) {
    return UniqueFd();
  }
  std::string_view rest = path.substr(base.size());
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string part(rest.substr(0, slash));
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    if (part.empty() || part == ".") {
      continue;
    }
    UniqueFd next = open_dir_at(current.get(), part.c_str());
    if (!next && errno == ENOENT && create &&
        (::mkdirat(current.get(), part.c_str(), 0700) == 0 || errno == EEXIST)) {
      next = open_dir_at(current.get(), part.c_str());
    }
    struct stat st {};
    if (!next) {
      errno = open_failure(current.get(), part.c_str(), errno);
      return UniqueFd();
    }
    if (::fstat(next.get(), &st) != 0 || st.st_dev != root_st.st_dev) {
      errno = EXDEV;
      return UniqueFd();
    }
    current = std::move(next);
  }
  return current;
}

const char* confined_error_text(int err) {
  switch (err) {
    case EXDEV:
      return "it lies outside the file system of the work directory";
    case ELOOP:
      return "it passes through a symbolic link";
    case EINVAL:
      return "it is relative or holds \"..\"";
    default:
      return std::strerror(err);
  }
}

}  // namespace ota
