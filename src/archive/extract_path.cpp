#include "extract_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ota_log.h"

namespace ota {
namespace {

// Calls fn(component, is_last) for each non-empty, non-"." component of name.
template <typename Fn>
bool for_each_component(std::string_view name, Fn&& fn) {
  while (!name.empty() && name.back() == '/') {
    name.remove_suffix(1);
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) {
      end = name.size();
    }
    const std::string_view part = name.substr(start, end - start);
    const bool last = end == name.size();
    if (!part.empty() && part != "." && !fn(part, last)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

UniqueFd open_dir_nofollow(int parent, const std::string& part) {
  return UniqueFd(retry_eintr([&] {
    return ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
}

// O_DIRECTORY|O_NOFOLLOW on a link to a directory reports ENOTDIR on some kernels; name
// the real reason.
int classify_failure(int parent, const std::string& part, int err) {
  struct stat st {};
  if (::fstatat(parent, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return ELOOP;
  }
  return err;
}

}  // namespace

bool is_safe_member_name(std::string_view name) {
  if (name.empty() || name.front() == '/') {
    return false;
  }
  bool has_component = false;
  const bool no_parent = for_each_component(name, [&](std::string_view part, bool) {
    has_component = true;
    return part != "..";
  });
  return no_parent && has_component;
}

std::string member_leaf(std::string_view name) {
  while (!name.empty() && name.back() == '/') {
    name.remove_suffix(1);
  }
  const size_t slash = name.rfind('/');
  return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

UniqueFd open_member_parent(int dir_fd, std::string_view name, bool create) {
  if (!is_safe_member_name(name)) {
    errno = EINVAL;
    return UniqueFd();
  }
  UniqueFd current(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  if (!current) {
    return current;
  }
  int failure = 0;
  for_each_component(name, [&](std::string_view part_view, bool last) {
    if (last) {
      return true;
    }
    const std::string part(part_view);
    UniqueFd next = open_dir_nofollow(current.get(), part);
    if (!next && errno == ENOENT && create) {
      if (::mkdirat(current.get(), part.c_str(), 0775) != 0 && errno != EEXIST) {
        failure = errno;
        return false;
      }
      next = open_dir_nofollow(current.get(), part);
    }
    if (!next) {
      failure = classify_failure(current.get(), part, errno);
      return false;
    }
    current = std::move(next);
    return true;
  });
  if (failure != 0) {
    errno = failure;
    return UniqueFd();
  }
  return current;
}

UniqueFd open_member_file(int dir_fd, std::string_view name, bool create_dirs) {
  UniqueFd parent = open_member_parent(dir_fd, name, create_dirs);
  if (!parent) {
    return parent;
  }
  const std::string leaf = member_leaf(name);
  UniqueFd file(retry_eintr([&] {
    return ::openat(parent.get(), leaf.c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  }));
  if (!file) {
    errno = classify_failure(parent.get(), leaf, errno);
  }
  return file;
}

bool is_member_refusal(int err) { return err == EINVAL || err == ELOOP; }

const char* member_error_text(int err) {
  switch (err) {
    case EINVAL:
      return "absolute name or \"..\" component";
    case ELOOP:
      return "path passes through a symbolic link";
    default:
      return std::strerror(err);
  }
}

void remove_member(int dir_fd, std::string_view name) {
  const int saved = errno;
  UniqueFd parent = open_member_parent(dir_fd, name, false);
  if (parent) {
    (void)::unlinkat(parent.get(), member_leaf(name).c_str(), 0);
  }
  errno = saved;
}

bool ExtractBudget::take_inode(std::string_view member) {
  if (inodes == 0) {
    OTA_LOG_ERR("no inode left for member %.*s: the file system is full\n",
                static_cast<int>(member.size()), member.data());
    return false;
  }
  --inodes;
  return true;
}

bool ExtractBudget::take_bytes(std::string_view member, uint64_t n) {
  if (n > bytes) {
    OTA_LOG_ERR("member %.*s needs %llu bytes, only %llu left on the file system\n",
                static_cast<int>(member.size()), member.data(), static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(bytes));
    return false;
  }
  bytes -= n;
  return true;
}

}  // namespace ota
