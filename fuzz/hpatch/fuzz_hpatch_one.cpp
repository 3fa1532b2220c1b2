#include "fuzz_hpatch_one.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "apply.h"
#include "unique_fd.h"

namespace fuzz_hpatch {
namespace {

// Larger images only cost time; the reader's logic is the same at any size.
constexpr uint64_t kMaxNewSize = 1u << 20;
constexpr size_t kPatternSize = 1u << 20;

int memory_file(const char* name) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) {
    std::abort();
  }
  return fd;
}

struct Files {
  int old_fd = memory_file("old");
  int patch_fd = memory_file("patch");
  int new_fd = memory_file("new");

  Files() {
    const auto& old = old_pattern();
    if (!ota::pwrite_full(old_fd, old.data(), old.size(), 0)) {
      std::abort();
    }
  }
};

Files& files() {
  static Files instance;
  return instance;
}

uint64_t size_of(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    std::abort();
  }
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace

const std::vector<uint8_t>& old_pattern() {
  static const std::vector<uint8_t> old = [] {
    std::vector<uint8_t> bytes(kPatternSize);
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8));
    }
    return bytes;
  }();
  return old;
}

bool apply_one(const uint8_t* data, size_t size) {
  Files& f = files();
  if (ftruncate(f.patch_fd, 0) != 0 || ftruncate(f.new_fd, 0) != 0 ||
      !ota::pwrite_full(f.patch_fd, data, size, 0)) {
    std::abort();
  }
  ota::hpatch::PatchInfo info;
  if (!ota::hpatch::read_patch_header(f.patch_fd, size, &info) || info.new_size > kMaxNewSize ||
      info.old_size > kPatternSize) {
    return false;
  }
  const ota::hpatch::ApplyIo io{f.patch_fd, size, ota::hpatch::OldImage{f.old_fd, info.old_size},
                                f.new_fd, size % 2 == 0 ? 0 : size_t{1} << 20};
  const bool ok = ota::hpatch::apply_patch(info, io);
  const uint64_t written = size_of(f.new_fd);
  if (written > info.new_size || (ok && written != info.new_size)) {
    std::abort();
  }
  return ok;
}

std::vector<uint8_t> last_output() {
  Files& f = files();
  std::vector<uint8_t> out(size_of(f.new_fd));
  if (ota::pread_full(f.new_fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
    std::abort();
  }
  return out;
}

}  // namespace fuzz_hpatch
