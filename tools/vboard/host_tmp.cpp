#include "host_tmp.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

namespace vboard {

namespace {

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string canonical_or_same(const std::string& path) {
  std::error_code ec;
  const auto p = std::filesystem::canonical(path, ec);
  return ec ? path : p.string();
}

std::vector<std::string> split(const std::string& text, const char* separators) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(separators, at);
    if (start == std::string::npos) {
      break;
    }
    const size_t end = text.find_first_of(separators, start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    at = end == std::string::npos ? text.size() : end;
  }
  return out;
}

// ---- the dynamic section of an ELF file ------------------------------------------

struct DynamicInfo {
  std::string interpreter;
  std::vector<std::string> needed;
  std::vector<std::string> rpath;    // DT_RPATH, searched before LD_LIBRARY_PATH
  std::vector<std::string> runpath;  // DT_RUNPATH, searched after it
};

bool read_at(int fd, void* buf, size_t len, uint64_t offset) {
  return ota::pread_full(fd, buf, len, static_cast<off_t>(offset)) == static_cast<ssize_t>(len);
}

std::optional<uint64_t> file_offset(const std::vector<Elf64_Phdr>& phdrs, uint64_t vaddr) {
  for (const auto& ph : phdrs) {
    if (ph.p_type == PT_LOAD && vaddr >= ph.p_vaddr && vaddr < ph.p_vaddr + ph.p_filesz) {
      return vaddr - ph.p_vaddr + ph.p_offset;
    }
  }
  return std::nullopt;
}

std::vector<std::string> search_dirs(const std::string& list, const std::string& origin) {
  std::vector<std::string> dirs;
  for (std::string d : split(list, ":")) {
    for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
      for (size_t at = d.find(token); at != std::string::npos; at = d.find(token)) {
        d.replace(at, std::strlen(token), origin);
      }
    }
    dirs.push_back(d);
  }
  return dirs;
}

// A 64-bit ELF file's interpreter and dynamic entries; nullopt for anything else (a
// 32-bit program, a script, a truncated file), which then needs nothing from /tmp here.
std::optional<DynamicInfo> read_dynamic(const std::string& path) {
  const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
  Elf64_Ehdr eh{};
  if (!fd || !read_at(fd.get(), &eh, sizeof(eh), 0) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_phentsize != sizeof(Elf64_Phdr)) {
    return std::nullopt;
  }
  std::vector<Elf64_Phdr> phdrs(eh.e_phnum);
  if (!read_at(fd.get(), phdrs.data(), phdrs.size() * sizeof(Elf64_Phdr), eh.e_phoff)) {
    return std::nullopt;
  }
  DynamicInfo info;
  std::vector<Elf64_Dyn> dyn;
  for (const auto& ph : phdrs) {
    if (ph.p_type == PT_INTERP && ph.p_filesz < 4096) {
      std::string text(ph.p_filesz, '\0');
      if (read_at(fd.get(), text.data(), text.size(), ph.p_offset)) {
        info.interpreter = text.c_str();
      }
    } else if (ph.p_type == PT_DYNAMIC && ph.p_filesz < (1u << 20)) {
      dyn.resize(ph.p_filesz / sizeof(Elf64_Dyn));
      if (!read_at(fd.get(), dyn.data(), dyn.size() * sizeof(Elf64_Dyn), ph.p_offset)) {
        return std::nullopt;
      }
    }
  }
  uint64_t strtab = 0;
  uint64_t strsz = 0;
  for (const auto& d : dyn) {
    strtab = d.d_tag == DT_STRTAB ? d.d_un.d_ptr : strtab;
    strsz = d.d_tag == DT_STRSZ ? d.d_un.d_val : strsz;
  }
  const auto str_off = file_offset(phdrs, strtab);
  std::string strings(strsz < (16u << 20) ? strsz : 0, '\0');
  if (!str_off || strings.empty() || !read_at(fd.get(), strings.data(), strings.size(), *str_off)) {
    return info;
  }
  const std::string origin = std::filesystem::path(canonical_or_same(path)).parent_path().string();
  for (const auto& d : dyn) {
    if (d.d_un.d_val >= strings.size()) {
      continue;
    }
    const std::string s = strings.c_str() + d.d_un.d_val;
    if (d.d_tag == DT_NEEDED) {
      info.needed.push_back(s);
    } else if (d.d_tag == DT_RPATH) {
      info.rpath = search_dirs(s, origin);
    } else if (d.d_tag == DT_RUNPATH) {
      info.runpath = search_dirs(s, origin);
    }
  }
  return info;
}

// Where the loader finds `name` before its system directories, or "".
std::string find_library(const std::string& name, const DynamicInfo& info) {
  if (name.find('/') != std::string::npos) {
    return name;
  }
  std::vector<std::string> dirs = info.runpath.empty() ? info.rpath : std::vector<std::string>{};
  const char* env = std::getenv("LD_LIBRARY_PATH");
  for (const auto& d : split(env != nullptr ? env : "", ":;")) {
    dirs.push_back(d);
  }
  dirs.insert(dirs.end(), info.runpath.begin(), info.runpath.end());
  for (const auto& d : dirs) {
    if (exists(d + "/" + name)) {
      return d + "/" + name;
    }
  }
  return "";
}

// The interpreter named on a script's "#!" line, or "".
std::string script_interpreter(const std::string& path) {
  const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
  char head[256] = {};
  if (!fd || ota::pread_full(fd.get(), head, sizeof(head) - 1, 0) < 2 || head[0] != '#' ||
      head[1] != '!') {
    return "";
  }
  const auto words = split(std::string(head + 2, std::strcspn(head + 2, "\n")), " \t");
  return words.empty() ? "" : words[0];
}

void collect_needed(const std::string& path, std::set<std::string>& seen,
                    std::vector<std::string>& out) {
  if (path.empty() || !seen.insert(path).second) {
    return;
  }
  if (!tmp_top(path).empty()) {
    out.push_back(path);
  }
  if (const std::string interp = script_interpreter(path); !interp.empty()) {
    collect_needed(interp, seen, out);
    return;
  }
  const auto info = read_dynamic(path);
  if (!info) {
    return;
  }
  collect_needed(info->interpreter, seen, out);
  for (const auto& lib : info->needed) {
    collect_needed(find_library(lib, *info), seen, out);
  }
}

// A word of an argument that names a program in the host's /tmp: a shell command
// string ("sh -c '/tmp/x/run --fast'") is searched word by word.
std::optional<std::string> hidden_program(const std::string& arg,
                                          const std::set<std::string>& shown) {
  for (const auto& word : split(arg, " \t\n;&|()<>'\"`=,")) {
    if (word.rfind("/tmp/", 0) == 0 && shown.count(tmp_top(word)) == 0 &&
        is_executable_file(word)) {
      return word;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string tmp_top(const std::string& path) {
  if (path.rfind("/tmp/", 0) != 0 || path.size() <= 5) {
    return "";
  }
  const size_t end = path.find('/', 5);
  return end == std::string::npos ? path : path.substr(0, end);
}

std::string locate_command(const std::string& name, const std::string& cwd) {
  if (name.find('/') != std::string::npos) {
    return name[0] == '/' ? name : cwd + "/" + name;
  }
  const char* env = std::getenv("PATH");
  for (const auto& dir : split(env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin", ":")) {
    const std::string candidate = (dir.empty() ? cwd : dir) + "/" + name;
    if (is_executable_file(candidate)) {
      return candidate;
    }
  }
  return "";
}

std::vector<std::string> tmp_files_needed(const std::string& path) {
  std::set<std::string> seen;
  std::vector<std::string> out;
  collect_needed(path, seen, out);
  return out;
}

Result<std::vector<std::string>> tmp_entries_to_show(const HostView& view) {
  std::set<std::string> shown;
  auto show = [&](const std::string& path) {
    if (const std::string top = tmp_top(path); !top.empty() && exists(top)) {
      shown.insert(top);
    }
  };
  show(view.board_root);
  show(view.cwd);
  for (const auto& k : view.keep) {
    const std::string abs = k.empty() || k[0] == '/' ? k : view.cwd + "/" + k;
    if (!exists(abs)) {
      return Error(ENOENT, "--keep " + k + ": no such file or directory on the host");
    }
    show(canonical_or_same(abs));
  }
  if (!view.argv.empty()) {
    const std::string command = locate_command(view.argv[0], view.cwd);
    if (!tmp_top(command).empty() && !exists(command)) {
      return Error(ENOENT, "the command " + view.argv[0] +
                               " lies in /tmp but the host has no such file (the board's own "
                               "/tmp starts empty)");
    }
    for (const auto& path : tmp_files_needed(command)) {
      show(path);
    }
    for (const auto& path : tmp_files_needed(canonical_or_same(command))) {
      show(path);
    }
  }
  for (size_t i = 1; i < view.argv.size(); ++i) {
    if (auto hidden = hidden_program(view.argv[i], shown)) {
      return Error(ENOENT, *hidden + " (named in argument " + std::to_string(i) +
                               " of the command) is a program in the host's /tmp that the board "
                               "would not show; add --keep " +
                               tmp_top(*hidden));
    }
  }
  return std::vector<std::string>(shown.begin(), shown.end());
}

}  // namespace vboard
