// A whole tar package into a directory, and its size: the parameter and recovery roads
// unpack the package at once and take tar packages as well as zip ones.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "extract_path.h"
#include "file_names.h"
#include "kx_zip.h"
#include "make_dir.h"
#include "ota_log.h"
#include "tar_zstd.h"

namespace {

// One header of the walk: the member's name, type, link target, mode and data.
struct Entry {
  std::string name;
  std::string link;
  char type = '0';
  uint32_t mode = 0644;
  long start = 0;
  uint64_t size = 0;
};

std::string field_text(const char* field, size_t len) { return {field, strnlen(field, len)}; }

uint64_t octal(const char* field, size_t len) {
  uint64_t value = 0;
  size_t i = 0;
  while (i < len && field[i] == ' ') {
    ++i;
  }
  for (; i < len && field[i] >= '0' && field[i] <= '7'; ++i) {
    value = value * 8 + static_cast<uint64_t>(field[i] - '0');
  }
  return value;
}

// Reads the header at pos: 1 with the entry, 0 at the archive's end, -1 on a bad header.
int read_entry(FILE* tar, long pos, Entry* out) {
  uint8_t block[TAR_BLOCK_SIZE];
  if (fseek(tar, pos, SEEK_SET) != 0 || fread(block, 1, sizeof(block), tar) != sizeof(block)) {
    return 0;  // a missing end-of-archive block ends the walk like one
  }
  if (block[0] == 0) {
    return 0;
  }
  tar_header_t h;
  std::memcpy(&h, block, sizeof(h));
  if (validate_header(&h) != 0 || (static_cast<unsigned char>(h.size[0]) & 0x80U) != 0) {
    return -1;
  }
  out->name = field_text(h.name, sizeof(h.name));
  out->link = field_text(h.linkname, sizeof(h.linkname));
  out->type = h.typeflag;
  out->mode = static_cast<uint32_t>(octal(h.mode, sizeof(h.mode)) & 0777U);
  out->size = octal(h.size, sizeof(h.size));
  out->start = pos + static_cast<long>(TAR_BLOCK_SIZE);
  return out->size <= static_cast<uint64_t>(LONG_MAX) / 2 ? 1 : -1;
}

long next_pos(const Entry& e) {
  const uint64_t blocks = (e.size + TAR_BLOCK_SIZE - 1) / TAR_BLOCK_SIZE;
  return e.start + static_cast<long>(blocks * TAR_BLOCK_SIZE);
}

bool is_zst(const std::string& name) { return name.size() > 4 && name.ends_with(".zst"); }

int refuse(const Entry& e, const char* src, const char* why) {
  OTA_LOG_ERR("refusing member %s of %s: %s\n", e.name.c_str(), src, why);
  return -1;
}

int make_directory(int dest_fd, const Entry& e, const char* src) {
  ota::UniqueFd parent = ota::open_member_parent(dest_fd, e.name, true);
  const std::string leaf = ota::member_leaf(e.name);
  if (!parent || (::mkdirat(parent.get(), leaf.c_str(), 0755) != 0 && errno != EEXIST)) {
    return refuse(e, src, ota::member_error_text(errno));
  }
  return 0;
}

// A link is made as the archive says and never followed: later members and the roads
// open their files beneath the directory with O_NOFOLLOW.
int make_link(int dest_fd, const Entry& e, const char* src) {
  ota::UniqueFd parent = ota::open_member_parent(dest_fd, e.name, true);
  const std::string leaf = ota::member_leaf(e.name);
  if (!parent) {
    return refuse(e, src, ota::member_error_text(errno));
  }
  (void)::unlinkat(parent.get(), leaf.c_str(), 0);
  if (::symlinkat(e.link.c_str(), parent.get(), leaf.c_str()) != 0) {
    return refuse(e, src, std::strerror(errno));
  }
  return 0;
}

// A regular member, ".zst" ones decompressed under their name less the suffix.
int make_file(FILE* tar, int dest_fd, const Entry& e, const char* src, ota::ExtractBudget* b) {
  const std::string out_name = is_zst(e.name) ? e.name.substr(0, e.name.size() - 4) : e.name;
  ota::UniqueFd out = ota::open_member_file(dest_fd, out_name, true);
  if (!out) {
    return refuse(e, src, ota::member_error_text(errno));
  }
  int32_t rc = 0;
  if (is_zst(e.name)) {
    uint64_t written = 0;
    rc = tar_unzst_member(tar, e.start, static_cast<long>(e.size), out.get(), nullptr, b->bytes,
                          &written);
    rc = rc == 0 && b->take_bytes(e.name, written) ? 0 : -1;
  } else if (b->take_bytes(e.name, e.size)) {
    rc = tar_copy_member(tar, e.start, static_cast<long>(e.size), out.get());
  } else {
    rc = -1;
  }
  if (rc == 0 && (::fchmod(out.get(), e.mode) != 0 || out.close() != 0)) {
    rc = -1;
  }
  return rc == 0 ? 0 : refuse(e, src, "extraction failed");
}

int extract_entry(FILE* tar, int dest_fd, const Entry& e, const char* src, ota::ExtractBudget* b) {
  if (e.type == 'x' || e.type == 'g') {
    return 0;  // extended attributes of the next member or the archive: nothing to make
  }
  if (!ota::is_safe_member_name(e.name)) {
    return refuse(e, src, ota::member_error_text(EINVAL));
  }
  if (!b->take_inode(e.name)) {
    return -1;
  }
  if (e.type == '5') {
    return make_directory(dest_fd, e, src);
  }
  if (e.type == '2') {
    return make_link(dest_fd, e, src);
  }
  if (!tar_is_regular(e.type)) {
    return refuse(e, src, "neither a file, a directory nor a symbolic link");
  }
  return make_file(tar, dest_fd, e, src, b);
}

}  // namespace

int32_t untar_all(const char* tar_filename, const char* output_dir, ota::ExtractBudget* budget) {
  if (tar_filename == nullptr || output_dir == nullptr || budget == nullptr) {
    return -1;
  }
  ota::UniqueFile tar(fopen(tar_filename, "rbe"));
  if (!tar) {
    OTA_LOG_ERR("Failed to open TAR file %s\n", tar_filename);
    return -1;
  }
  (void)makedir(output_dir);
  ota::UniqueFd dest = ota::open_fd(output_dir, O_RDONLY | O_DIRECTORY);
  if (!dest) {
    OTA_LOG_ERR("open %s failed: %s\n", output_dir, std::strerror(errno));
    return -1;
  }
  long pos = 0;
  for (;;) {
    Entry e;
    const int got = read_entry(tar.get(), pos, &e);
    if (got <= 0) {
      return got;
    }
    if (extract_entry(tar.get(), dest.get(), e, tar_filename, budget) != 0) {
      return -1;
    }
    pos = next_pos(e);
  }
}

int64_t tar_package_size(const char* tar_filename, uint64_t* img_size, uint64_t* members) {
  ota::UniqueFile tar(fopen(tar_filename, "rbe"));
  if (!tar) {
    OTA_LOG_ERR("open %s failed\n", tar_filename);
    return -1;
  }
  int64_t total = 0;
  long pos = 0;
  for (;;) {
    Entry e;
    const int got = read_entry(tar.get(), pos, &e);
    if (got < 0) {
      OTA_LOG_ERR("%s holds a bad tar header at %ld\n", tar_filename, pos);
      return -1;
    }
    if (got == 0) {
      return total;
    }
    total += static_cast<int64_t>(e.size);
    if (img_size != nullptr && is_xxx_file(e.name.c_str(), "img") == 1) {
      *img_size += e.size;
    }
    if (members != nullptr) {
      ++*members;
    }
    pos = next_pos(e);
  }
}
