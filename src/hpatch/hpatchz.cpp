// hpatchz(): opens old, patch and new, refuses combinations that would corrupt data, and
// reports success only once new is on the medium.
#include "hpatch.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apply.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace ota::hpatch {
namespace {

using ull = unsigned long long;

struct OpenFile {
  UniqueFd fd;
  struct stat st {};
  uint64_t size = 0;
};

bool same_file(const struct stat& a, const struct stat& b) {
  if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) {
    return a.st_rdev == b.st_rdev;
  }
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Regular files report their length, block devices their capacity.
bool measure(const char* path, OpenFile* file) {
  if (fstat(file->fd.get(), &file->st) != 0) {
    OTA_LOG_ERR("stat %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  if (S_ISREG(file->st.st_mode)) {
    file->size = static_cast<uint64_t>(file->st.st_size);
    return true;
  }
  if (S_ISBLK(file->st.st_mode)) {
    if (ioctl(file->fd.get(), BLKGETSIZE64, &file->size) != 0) {
      OTA_LOG_ERR("reading the size of %s failed: %s\n", path, std::strerror(errno));
      return false;
    }
    return true;
  }
  OTA_LOG_ERR("%s is neither a regular file nor a block device\n", path);
  return false;
}

bool open_input(const char* path, OpenFile* file) {
  file->fd = open_fd(path, O_RDONLY);
  if (!file->fd) {
    OTA_LOG_ERR("open %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  return measure(path, file);
}

// A regular old file must be exactly the image the patch was made from; a partition
// holds it in its first bytes.
bool check_old(const char* path, const OpenFile& old, uint64_t want) {
  const bool fits = S_ISBLK(old.st.st_mode) ? old.size >= want : old.size == want;
  if (!fits) {
    OTA_LOG_ERR("old %s is %llu bytes but the patch was made from %llu bytes\n", path,
                static_cast<ull>(old.size), static_cast<ull>(want));
  }
  return fits;
}

bool open_new(const char* path, uint64_t new_size, OpenFile* file, bool* created) {
  file->fd = open_fd(path, O_WRONLY);
  *created = false;
  if (!file->fd && errno == ENOENT) {
    file->fd = open_fd(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    *created = true;
  }
  if (!file->fd) {
    OTA_LOG_ERR("open %s for writing failed: %s\n", path, std::strerror(errno));
    return false;
  }
  if (!measure(path, file)) {
    return false;
  }
  if (S_ISBLK(file->st.st_mode) && file->size < new_size) {
    OTA_LOG_ERR("new %s holds %llu bytes but the new image is %llu bytes\n", path,
                static_cast<ull>(file->size), static_cast<ull>(new_size));
    return false;
  }
  return true;
}

// A receiver of new gets a block device it can write from offset 0, nothing else.
bool hand_over(const char* path, const OpenFile& out, const hpatch_out* sink) {
  if (sink == nullptr) {
    return true;
  }
  if (!S_ISBLK(out.st.st_mode)) {
    OTA_LOG_ERR("new %s is not a block device: it cannot be handed over\n", path);
    return false;
  }
  if (sink->begin(sink->ctx, out.fd.get()) != 0) {
    OTA_LOG_ERR("handing %s over failed: %s\n", path, std::strerror(errno));
    return false;
  }
  return true;
}

// Cuts a regular new file to exactly new_size and makes it durable (through the receiver
// of new when there is one: it holds what is still being written).
bool settle_new(const char* path, const OpenFile& out, uint64_t new_size, const hpatch_out* sink) {
  if (S_ISREG(out.st.st_mode) && ftruncate(out.fd.get(), static_cast<off_t>(new_size)) != 0) {
    OTA_LOG_ERR("truncating %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  if (sink != nullptr ? sink->finish(sink->ctx) != 0 : !sync_fd(out.fd.get())) {
    OTA_LOG_ERR("sync %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  return true;
}

bool run(const char* old_path, const char* diff_path, const char* new_path, size_t cache_size,
         const hpatch_out* sink) {
  OpenFile patch;
  PatchInfo info;
  if (!open_input(diff_path, &patch) || !S_ISREG(patch.st.st_mode)) {
    if (patch.fd) {
      OTA_LOG_ERR("patch %s is not a regular file\n", diff_path);
    }
    return false;
  }
  if (!read_patch_header(patch.fd.get(), patch.size, &info)) {
    OTA_LOG_ERR("patch %s cannot be applied\n", diff_path);
    return false;
  }
  // An empty old path stands for an empty old image (patches that carry all of new).
  OpenFile old;
  if (old_path[0] == '\0'
          ? !check_old("(empty)", old, info.old_size)
          : !open_input(old_path, &old) || !check_old(old_path, old, info.old_size)) {
    return false;
  }
  OpenFile out;
  bool created = false;
  if (!open_new(new_path, info.new_size, &out, &created)) {
    return false;
  }
  if ((old.fd && same_file(old.st, out.st)) || same_file(patch.st, out.st)) {
    OTA_LOG_ERR("new %s is the same file as the old image or the patch\n", new_path);
    return false;
  }
  const ApplyIo io{patch.fd.get(), patch.size, OldImage{old.fd.get(), info.old_size},
                   out.fd.get(),   cache_size, sink};
  bool ok = hand_over(new_path, out, sink) && apply_patch(info, io) &&
            settle_new(new_path, out, info.new_size, sink);
  if (out.fd.close() != 0 && ok) {
    OTA_LOG_ERR("close %s failed: %s\n", new_path, std::strerror(errno));
    ok = false;
  }
  if (!ok) {
    OTA_LOG_ERR("patching %s with %s into %s failed\n", old_path[0] != '\0' ? old_path : "(empty)",
                diff_path, new_path);
    if (created) {
      unlink(new_path);
    }
  }
  return ok;
}

}  // namespace
}  // namespace ota::hpatch

extern "C" int hpatch_sizes(const char* diff, unsigned long long* old_size,
                            unsigned long long* new_size) {
  using namespace ota::hpatch;
  OpenFile patch;
  PatchInfo info;
  if (diff == nullptr || old_size == nullptr || new_size == nullptr || !open_input(diff, &patch) ||
      !S_ISREG(patch.st.st_mode) || !read_patch_header(patch.fd.get(), patch.size, &info)) {
    OTA_LOG_ERR("%s is not a patch this engine applies\n", diff == nullptr ? "(null)" : diff);
    return -1;
  }
  *old_size = info.old_size;
  *new_size = info.new_size;
  return 0;
}

extern "C" int hpatchz(const char* old, const char* diff, const char* out_new, size_t cache_size) {
  if (old == nullptr || diff == nullptr || out_new == nullptr) {
    OTA_LOG_ERR("hpatchz: a path is missing\n");
    return -1;
  }
  return ota::hpatch::run(old, diff, out_new, cache_size, nullptr) ? 0 : -1;
}

extern "C" int hpatchz_out(const char* old, const char* diff, const char* out_new,
                           size_t cache_size, const hpatch_out* out) {
  if (old == nullptr || diff == nullptr || out_new == nullptr || out == nullptr) {
    OTA_LOG_ERR("hpatchz: a path or the receiver of new is missing\n");
    return -1;
  }
  return ota::hpatch::run(old, diff, out_new, cache_size, out) ? 0 : -1;
}
