#include "kx_zip.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "extract_path.h"
#include "file_names.h"
#include "ota_log.h"
#include "unz_handle.h"

namespace {

constexpr size_t kZipBufSize = 8192;
constexpr size_t kNameBufSize = 256;
constexpr size_t kOutPathSize = 256;

// Read buffer of every extraction into a directory; one extraction at a time.
char g_zip_buf[kZipBufSize];

// Reads the current entry's information and name; the name must fit the buffer whole, a
// cut name would send the member elsewhere.
int get_entry(unzFile archive, unz_file_info64* info, char (&name)[kNameBufSize]) {
  std::memset(name, 0, sizeof(name));
  const int err =
      unzGetCurrentFileInfo64(archive, info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0);
  if (err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetCurrentFileInfo\n", err);
    return err;
  }
  if (info->size_filename >= sizeof(name)) {
    OTA_LOG_ERR("member name %s... longer than %zu bytes\n", name, sizeof(name) - 1);
    return -1;
  }
  return UNZ_OK;
}

void refuse(const char* name, const char* src, int err) {
  OTA_LOG_ERR("refusing member %s of %s: %s\n", name, src, ota::member_error_text(err));
}

// A directory entry makes its last level only; a missing parent is not created.
int extract_directory(int dest_fd, const char* name, const char* src) {
  ota::UniqueFd parent = ota::open_member_parent(dest_fd, name, false);
  if (!parent) {
    if (ota::is_member_refusal(errno)) {
      refuse(name, src, errno);
      return -1;
    }
    return 0;
  }
  errno = 0;
  (void)mkdirat(parent.get(), ota::member_leaf(name).c_str(), 0775);
  return 0;
}

// A link entry's data is its target; the link is made (replacing what held its name)
// but never followed afterwards.
int extract_link(unzFile archive, int dest_fd, const char* name, const char* src) {
  const int n = unzReadCurrentFile(archive, g_zip_buf, kZipBufSize);
  if (n < 0) {
    OTA_LOG_ERR("error %d with zipfile in unzReadCurrentFile\n", n);
    return n;
  }
  if (static_cast<size_t>(n) >= kZipBufSize) {
    OTA_LOG_ERR("link target of %s in %s is %zu bytes or longer\n", name, src, kZipBufSize);
    return -1;
  }
  const std::string target(g_zip_buf, static_cast<size_t>(n));
  OTA_LOG_INFO("g_zip_buf is %s, filename_inzip = %s\n", target.c_str(), name);
  ota::UniqueFd parent = ota::open_member_parent(dest_fd, name, false);
  if (!parent && ota::is_member_refusal(errno)) {
    refuse(name, src, errno);
    return -1;
  }
  const std::string leaf = ota::member_leaf(name);
  if (parent) {
    (void)unlinkat(parent.get(), leaf.c_str(), 0);
  }
  if (!parent || symlinkat(target.c_str(), parent.get(), leaf.c_str()) != 0) {
    OTA_LOG_ERR("%s symlink error: %s\n", target.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// Copies the open member into fd; more than max_bytes fails (minizip stops at the size
// the entry declares, this bound holds whatever the entry says).
int copy_member_to(unzFile archive, int fd, uint64_t max_bytes, const char* name) {
  uint64_t written = 0;
  for (;;) {
    const int n = unzReadCurrentFile(archive, g_zip_buf, kZipBufSize);
    if (n < 0) {
      OTA_LOG_ERR("error %d with zipfile in unzReadCurrentFile\n", n);
      return n;
    }
    if (n == 0) {
      return 0;
    }
    if (static_cast<uint64_t>(n) > max_bytes - written) {
      OTA_LOG_ERR("member %s holds more than the %llu bytes it may take\n", name,
                  static_cast<unsigned long long>(max_bytes));
      return -1;
    }
    if (!ota::write_full(fd, g_zip_buf, static_cast<size_t>(n))) {
      OTA_LOG_ERR("error in writing extracted file\n");
      return -1;
    }
    written += static_cast<uint64_t>(n);
  }
}

// How one entry may be extracted: a single member expected as a regular file, bounded
// by max_bytes; or one entry of a whole-archive walk, which makes links and directories
// as the archive says and spends from the budget.
struct EntryRules {
  uint64_t max_bytes = UINT64_MAX;
  ota::ExtractBudget* budget = nullptr;  // set for a whole-archive walk
};

// A member too large for its place is refused before anything is written.
bool fits_bound(const unz_file_info64& info, uint64_t max_bytes, const char* name,
                const char* src) {
  if (info.uncompressed_size <= max_bytes) {
    return true;
  }
  OTA_LOG_ERR("member %s of %s holds %llu bytes, more than the %llu it may take: refused\n", name,
              src, static_cast<unsigned long long>(info.uncompressed_size),
              static_cast<unsigned long long>(max_bytes));
  return false;
}

int extract_regular(unzFile archive, const unz_file_info64& info, int dest_fd, const char* name,
                    const char* src, uint64_t max_bytes) {
  ota::UniqueFd fd = ota::open_member_file(dest_fd, name, true);
  if (!fd) {
    if (ota::is_member_refusal(errno)) {
      refuse(name, src, errno);
    } else {
      OTA_LOG_ERR("error opening %s: %s\n", name, strerror(errno));
    }
    return -1;
  }
  int err = copy_member_to(archive, fd.get(), max_bytes, name);
  if (err == 0) {
    (void)change_file_date(fd.get(), info.tmu_date);
  }
  if (const int perm = ota::zip_entry_perm(info); perm >= 0) {
    (void)fchmod(fd.get(), static_cast<mode_t>(perm));
  }
  if (fd.close() != 0 && err == 0) {
    OTA_LOG_ERR("close %s failed: %s\n", name, strerror(errno));
    err = -1;
  }
  if (err != 0) {
    ota::remove_member(dest_fd, name);
  }
  return err;
}

// A regular entry within its bound (and the walk's budget), or a link of a whole walk.
int extract_file_entry(unzFile archive, const unz_file_info64& info, int dest_fd, const char* name,
                       const char* src, const EntryRules& rules) {
  const bool link = ota::zip_entry_is_link(info);
  if (rules.budget == nullptr) {
    if (link) {
      OTA_LOG_ERR("member %s of %s is a symbolic link, not a regular file: refused\n", name, src);
      return -1;
    }
    return fits_bound(info, rules.max_bytes, name, src)
               ? extract_regular(archive, info, dest_fd, name, src, rules.max_bytes)
               : -1;
  }
  if (!rules.budget->take_inode(name)) {
    return -1;
  }
  if (link) {
    return extract_link(archive, dest_fd, name, src);
  }
  if (!rules.budget->take_bytes(name, info.uncompressed_size)) {
    return -1;
  }
  return extract_regular(archive, info, dest_fd, name, src, info.uncompressed_size);
}

// Extracts the archive's current entry beneath dest_fd.
int do_extract_currentfile(unzFile archive, int dest_fd, const char* src, const EntryRules& rules) {
  unz_file_info64 info{};
  char name[kNameBufSize];
  if (const int err = get_entry(archive, &info, name); err != UNZ_OK) {
    return err;
  }
  if (!ota::is_safe_member_name(name)) {
    refuse(name, src, EINVAL);
    return -1;
  }
  if (name[std::strlen(name) - 1] == '/') {
    if (rules.budget == nullptr) {
      OTA_LOG_ERR("member %s of %s is a directory, not a regular file: refused\n", name, src);
      return -1;
    }
    return rules.budget->take_inode(name) ? extract_directory(dest_fd, name, src) : -1;
  }
  int err = unzOpenCurrentFilePassword(archive, nullptr);
  if (err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzOpenCurrentFilePassword\n", err);
    return err;
  }
  ota::OpenMember member(archive);
  err = extract_file_entry(archive, info, dest_fd, name, src, rules);
  if (err != 0) {
    return err;
  }
  if (const int rc = member.close(); rc != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzCloseCurrentFile\n", rc);
    if (rules.budget == nullptr) {
      ota::remove_member(dest_fd, name);
    }
    return rc;
  }
  return 0;
}

int do_extract(unzFile archive, int dest_fd, const char* src, ota::ExtractBudget* budget) {
  unz_global_info64 global{};
  if (const int err = unzGetGlobalInfo64(archive, &global); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetGlobalInfo \n", err);
    return -1;
  }
  const EntryRules rules{.budget = budget};
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    if (do_extract_currentfile(archive, dest_fd, src, rules) != 0) {
      return -1;
    }
    if (i + 1 < global.number_entry) {
      if (const int err = unzGoToNextFile(archive); err != UNZ_OK) {
        OTA_LOG_ERR("error %d with zipfile in unzGoToNextFile\n", err);
        return -1;
      }
    }
  }
  return 0;
}

// Opens the extraction directory, creating it (and its parents) when missing.
ota::UniqueFd open_dest_dir(const char* dest, ota_log_level_e missing_level) {
  ota::UniqueFd dir = ota::open_fd(dest, O_RDONLY | O_DIRECTORY);
  if (!dir) {
    ota_log_print(missing_level, __FILE__, __LINE__, "%s is not exist, create it\n", dest);
    (void)makedir(dest);
    dir = ota::open_fd(dest, O_RDONLY | O_DIRECTORY);
  }
  if (!dir) {
    OTA_LOG_ERR("change dir failed \n");
  }
  return dir;
}

// Extracts the tar member file_name (zstd-compressed) into dest less its ".zst"; what a
// failure wrote is removed again.
int32_t untar_zst_into(const char* src, const char* dest, const char* file_name,
                       const char* out_path, uint64_t max_bytes) {
  char out_name[kOutPathSize];
  if (remove_zst_suffix(file_name, out_name, sizeof(out_name)) != 0) {
    return -1;
  }
  ota::UniqueFd dir = ota::open_fd(dest, O_RDONLY | O_DIRECTORY);
  if (!dir) {
    OTA_LOG_ERR("open %s failed: %s\n", dest, strerror(errno));
    return -1;
  }
  bool opened = false;
  const auto open_output = [&] {
    ota::UniqueFd fd = ota::open_member_file(dir.get(), out_name, false);
    if (!fd) {
      const int err = errno;
      OTA_LOG_ERR("cannot write member %s of %s: %s\n", file_name, src,
                  ota::member_error_text(err));
      errno = err;
    }
    opened = fd.valid();
    return fd;
  };
  const int32_t rc =
      ota_untar_unzst_with(src, file_name, out_path, open_output, nullptr, max_bytes);
  if (rc != 0 && opened) {
    ota::remove_member(dir.get(), out_name);
  }
  return rc;
}

// The kind a file's first bytes show: a zip local header or end record, or a ustar
// header's magic.
ota_archive_kind_e kind_by_content(const char* path) {
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  uint8_t head[TAR_BLOCK_SIZE] = {};
  const ssize_t n = fd ? ota::read_full(fd.get(), head, sizeof(head)) : -1;
  if (n >= 4 && head[0] == 'P' && head[1] == 'K' &&
      ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6))) {
    return OTA_ARCHIVE_ZIP;
  }
  const size_t magic = offsetof(tar_header_t, magic);
  if (n == static_cast<ssize_t>(sizeof(head)) && std::memcmp(head + magic, "ustar", 5) == 0) {
    return OTA_ARCHIVE_TAR;
  }
  return OTA_ARCHIVE_UNKNOWN;
}

bool name_ends_with(std::string_view path, std::string_view suffix) {
  return path.size() > suffix.size() && path.ends_with(suffix);
}

}  // namespace

ota_archive_kind_e ota_archive_kind(const char* path) {
  if (path == nullptr) {
    return OTA_ARCHIVE_UNKNOWN;
  }
  if (const ota_archive_kind_e kind = kind_by_content(path); kind != OTA_ARCHIVE_UNKNOWN) {
    return kind;
  }
  // Not readable (yet) or neither magic: the name's end decides, never a folder's name.
  if (name_ends_with(path, ".zip")) {
    return OTA_ARCHIVE_ZIP;
  }
  return name_ends_with(path, ".tar") ? OTA_ARCHIVE_TAR : OTA_ARCHIVE_UNKNOWN;
}

int32_t mymkdir(const char* dirname) {
  errno = 0;
  return mkdir(dirname, 0775);
}

int32_t makedir(const char* newdir) {
  const size_t len = newdir != nullptr ? std::strlen(newdir) : 0;
  if (len == 0) {
    return -1;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[len + 1]);
  if (!buffer) {
    OTA_LOG_ERR("Error allocating memory\n");
    return -104;
  }
  std::memcpy(buffer.get(), newdir, len + 1);
  if (len > 1 && buffer[len - 1] == '/') {
    buffer[len - 1] = '\0';
  }
  if (mymkdir(buffer.get()) == 0) {
    return 0;
  }
  for (char* p = buffer.get() + 1;; ++p) {
    const char hold = *p;
    if (hold != '\0' && hold != '/' && hold != '\\') {
      continue;
    }
    *p = '\0';
    if (mymkdir(buffer.get()) != 0 && errno == ENOENT) {
      OTA_LOG_ERR("couldn't create directory %s\n", buffer.get());
      return -1;
    }
    if (hold == '\0') {
      return 0;
    }
    *p = hold;
  }
}

int32_t change_file_date(int fd, const tm_unz_s& date) {
  struct tm when {};
  when.tm_sec = static_cast<int>(date.tm_sec);
  when.tm_min = static_cast<int>(date.tm_min);
  when.tm_hour = static_cast<int>(date.tm_hour);
  when.tm_mday = static_cast<int>(date.tm_mday);
  when.tm_mon = static_cast<int>(date.tm_mon);
  when.tm_year = static_cast<int>(date.tm_year > 1900 ? date.tm_year - 1900 : date.tm_year);
  when.tm_isdst = -1;
  const time_t t = mktime(&when);
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  if (futimens(fd, times) != 0) {
    OTA_LOG_WARN("setting file times failed: %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

int32_t kx_unzip_one(const char* src, const char* dest, const char* file_name, uint64_t max_bytes) {
  if (src == nullptr || dest == nullptr || file_name == nullptr) {
    OTA_LOG_ERR("destnation or source file is null\n");
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(src));
  if (!archive) {
    OTA_LOG_INFO("Cannot open %s or %s.zip\n", src, src);
    return -1;
  }
  ota::UniqueFd dir = open_dest_dir(dest, OTA_LEVEL_WARNING);
  if (!dir) {
    return -1;
  }
  if (const int err = unzLocateFile(archive.get(), file_name, 0); err != UNZ_OK) {
    OTA_LOG_WARN("%d with zipfile in unzGoToNextFile, src: %s, file_name:%s, dest: %s\n", err, src,
                 file_name, dest);
    return -1;
  }
  if (do_extract_currentfile(archive.get(), dir.get(), src, EntryRules{.max_bytes = max_bytes}) !=
      0) {
    OTA_LOG_ERR("extract file failed\n");
    return -1;
  }
  return 0;
}

int32_t kx_uncompress(const char* src, const char* dest, ota::ExtractBudget* budget) {
  if (src == nullptr || dest == nullptr) {
    OTA_LOG_ERR("destnation or source file is null\n");
    return -1;
  }
  ota::ExtractBudget unbounded;
  if (budget == nullptr) {
    budget = &unbounded;
  }
  const ota_archive_kind_e kind = ota_archive_kind(src);
  if (kind == OTA_ARCHIVE_TAR) {
    return untar_all(src, dest, budget);
  }
  if (kind != OTA_ARCHIVE_ZIP) {
    OTA_LOG_ERR("unknown file formate %s\n", src);
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(src));
  if (!archive) {
    OTA_LOG_ERR("Cannot open %s or %s.zip\n", src, src);
    return -1;
  }
  ota::UniqueFd dir = open_dest_dir(dest, OTA_LEVEL_ERROR);
  if (!dir) {
    return -1;
  }
  return do_extract(archive.get(), dir.get(), src, budget);
}

int32_t kx_uncompress_one(const char* src, const char* dest, const char* file_name,
                          uint64_t max_bytes) {
  if (src == nullptr || dest == nullptr || file_name == nullptr) {
    OTA_LOG_ERR("destnation or source file is null\n");
    return -1;
  }
  char out_path[kOutPathSize];
  const int len = snprintf(out_path, sizeof(out_path), "%s/%s", dest, file_name);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(out_path)) {
    OTA_LOG_ERR("output path %s/%s too long\n", dest, file_name);
    return -1;
  }
  if (len > 3 && std::strcmp(out_path + len - 4, ".zst") == 0) {
    out_path[len - 4] = '\0';
  }
  int32_t rc = -1;
  switch (ota_archive_kind(src)) {
    case OTA_ARCHIVE_ZIP:
      rc = kx_unzip_one(src, dest, file_name, max_bytes);
      break;
    case OTA_ARCHIVE_TAR:
      rc = std::strstr(file_name, "zst") != nullptr
               ? untar_zst_into(src, dest, file_name, out_path, max_bytes)
               : untar(src, file_name, dest, max_bytes);
      break;
    default:
      OTA_LOG_ERR("unknown file formate %s\n", src);
      break;
  }
  if (rc < 0) {
    OTA_LOG_ERR("kx_uncompress_one %s from %s failed\n", file_name, src);
  }
  return rc;
}

int32_t kx_zip_has_file(const char* zipfile, const char* file_name) {
  if (zipfile == nullptr || file_name == nullptr) {
    OTA_LOG_ERR("error:no zip file\n");
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(zipfile));
  if (!archive) {
    OTA_LOG_ERR("open %s failed\n", zipfile);
    return -1;
  }
  unz_global_info64 global{};
  if (const int err = unzGetGlobalInfo64(archive.get(), &global); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetGlobalInfo \n", err);
    return -1;
  }
  const size_t want = std::strlen(file_name);
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    unz_file_info64 info{};
    char name[kNameBufSize] = {};
    if (const int err = unzGetCurrentFileInfo64(archive.get(), &info, name, sizeof(name) - 1,
                                                nullptr, 0, nullptr, 0);
        err != UNZ_OK) {
      OTA_LOG_ERR("error %d with zipfile in unzGetCurrentFileInfo\n", err);
      return -1;
    }
    if (std::strncmp(name, file_name, want) == 0) {
      OTA_LOG_INFO("in zip has file:%s\n", name);
      return 1;
    }
    if (i + 1 < global.number_entry) {
      if (const int err = unzGoToNextFile(archive.get()); err != UNZ_OK) {
        OTA_LOG_ERR("error %d with zipfile in unzGoToNextFile\n", err);
        break;
      }
    }
  }
  return 0;
}

int32_t kx_compress_has_file(const char* compress_file, const char* filename) {
  switch (ota_archive_kind(compress_file)) {
    case OTA_ARCHIVE_ZIP:
      return kx_zip_has_file(compress_file, filename);
    case OTA_ARCHIVE_TAR: {
      ota::UniqueFile tar_file(fopen(compress_file, "rbe"));
      if (!tar_file) {
        OTA_LOG_ERR("Failed to open TAR file %s\n", compress_file);
        return -1;
      }
      long start = 0;
      long size = 0;
      return find_file_in_tar(tar_file.get(), filename, &start, &size) == 0 ? 1 : 0;
    }
    default:
      OTA_LOG_ERR("unknown file formate %s\n", compress_file != nullptr ? compress_file : "(null)");
      return -1;
  }
}

int64_t kx_get_zip_size(const char* zipfile, uint64_t* img_size) {
  if (zipfile == nullptr) {
    OTA_LOG_ERR("no zip file\n");
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(zipfile));
  if (!archive) {
    OTA_LOG_ERR("open %s failed\n", zipfile);
    return -1;
  }
  unz_global_info64 global{};
  if (const int err = unzGetGlobalInfo64(archive.get(), &global); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetGlobalInfo \n", err);
  }
  int64_t total = 0;
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    unz_file_info64 info{};
    char name[kNameBufSize];
    if (get_entry(archive.get(), &info, name) != UNZ_OK) {
      return -1;
    }
    OTA_LOG_DEBUG("file name in zip:%s\n", name);
    OTA_LOG_DEBUG("len:%llu\n", static_cast<unsigned long long>(info.uncompressed_size));
    total += static_cast<int64_t>(info.uncompressed_size);
    if (img_size != nullptr && is_xxx_file(name, "img") == 1) {
      *img_size += info.uncompressed_size;
    }
    if (i + 1 < global.number_entry) {
      if (const int err = unzGoToNextFile(archive.get()); err != UNZ_OK) {
        OTA_LOG_ERR("error %d with zipfile in unzGoToNextFile\n", err);
        return total;
      }
    }
  }
  return total;
}

int64_t kx_get_package_size(const char* package, uint64_t* img_size, uint64_t* members) {
  if (ota_archive_kind(package) == OTA_ARCHIVE_TAR) {
    return tar_package_size(package, img_size, members);
  }
  ota::UniqueUnz archive(package != nullptr ? unzOpen64(package) : nullptr);
  unz_global_info64 global{};
  if (archive && members != nullptr && unzGetGlobalInfo64(archive.get(), &global) == UNZ_OK) {
    *members += global.number_entry;
  }
  return kx_get_zip_size(package, img_size);
}

namespace {

bool is_regular_zip(const char* dir_path, const dirent& entry) {
  if (std::strcmp(entry.d_name, ".") == 0 || std::strcmp(entry.d_name, "..") == 0) {
    return false;
  }
  bool regular = entry.d_type == DT_REG;
  if (entry.d_type == DT_UNKNOWN) {
    struct stat st {};
    const std::string path = std::string(dir_path) + "/" + entry.d_name;
    regular = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  return regular && is_xxx_file(entry.d_name, "zip") == 1;
}

// Calls fn(path of zip, name) for every regular zip file of the directory; stops with
// -1 when fn does.
template <typename Fn>
int for_each_zip(const char* path, Fn&& fn) {
  ota::UniqueDir dir(opendir(path));
  if (!dir) {
    OTA_LOG_ERR("Open dir error...\n");
    return -1;
  }
  while (const dirent* entry = readdir(dir.get())) {
    if (is_regular_zip(path, *entry)) {
      const std::string zip_path = std::string(path) + "/" + entry->d_name;
      if (fn(zip_path.c_str(), entry->d_name) != 0) {
        return -1;
      }
    }
  }
  return 0;
}

}  // namespace

int64_t kx_all_image_size(const char* path) {
  if (path == nullptr) {
    OTA_LOG_ERR("no zip file\n");
    return -1;
  }
  int64_t sum = 0;
  const int rc = for_each_zip(path, [&](const char* zip_path, const char* name) {
    uint64_t img_size = 0;
    const int64_t size = kx_get_zip_size(zip_path, &img_size);
    OTA_LOG_INFO("zip name:%s, image size:%lu\n", name, static_cast<unsigned long>(img_size));
    if (size < 0) {
      OTA_LOG_ERR("get zip size error\n");
      return -1;
    }
    sum += static_cast<int64_t>(img_size);
    return 0;
  });
  return rc != 0 ? -1 : sum;
}

int64_t kx_get_max_zip_size(const char* path) {
  if (path == nullptr) {
    OTA_LOG_ERR("no zip file\n");
    return -1;
  }
  int64_t largest = 0;
  const int rc = for_each_zip(path, [&](const char* zip_path, const char* name) {
    uint64_t img_size = 0;
    const int64_t size = kx_get_zip_size(zip_path, &img_size);
    if (size < 0) {
      OTA_LOG_ERR("get zip size error\n");
      return -1;
    }
    OTA_LOG_INFO("zip name:%s, zip size:%ld\n", name, static_cast<long>(size));
    largest = size > largest ? size : largest;
    return 0;
  });
  return rc != 0 ? -1 : largest;
}
