#include "mtd_flash.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <mtd/mtd-abi.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "ota_log.h"
#include "unique_fd.h"

namespace {

// The MTD driver's attribute of the character device fd is open on, found through its
// device number: "/sys/dev/char/MAJOR:MINOR/" is the device's own mtdN directory, so the
// node of a partition is sized as that partition, never as the whole chip.
bool read_sysfs_u64(int fd, const char* attr, uint64_t* out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    return false;
  }
  char path[96];
  std::snprintf(path, sizeof(path), "/sys/dev/char/%u:%u/%s", ::major(st.st_rdev),
                ::minor(st.st_rdev), attr);
  const ota::UniqueFd attr_fd = ota::open_fd(path, O_RDONLY);
  char text[32] = {};
  const ssize_t n = attr_fd ? ota::read_full(attr_fd.get(), text, sizeof(text) - 1) : -1;
  if (n <= 0) {
    return false;
  }
  const char* end = text + std::strcspn(text, " \n");
  const auto [ptr, ec] = std::from_chars(text, end, *out);
  return ec == std::errc() && ptr == end && ptr != text;
}

// Only an MTD driver answers MEMGETINFO. Its node is normally a character device, but
// a flash driver served from user space shows its node as a regular file: that node is
// an MTD device too, known by its answer.
bool answers_mtd_info(int fd) {
  mtd_info_user info{};
  return ::ioctl(fd, MEMGETINFO, &info) == 0;
}

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

bool write_logged(ota_mtd_device& dev, const char* path, const void* buf, size_t len, uint64_t at) {
  if (len == 0 || dev.write_at(buf, len, at)) {
    return true;
  }
  OTA_LOG_ERR("write %s at %llu failed: %s\n", path, ull(at), std::strerror(errno));
  return false;
}

// A signed chunk's trailer not yet written: the next chunk's data lands on it.
struct HeldTrailer {
  std::array<uint8_t, OTA_NOR_TRAILER> bytes{};
  size_t len = 0;
  uint64_t at = 0;
};

// Writes a chunk of got bytes read into g_flash_buf at `at`. On flash that is only erased
// once (program_once), each byte is written once, with the value the block device layout
// leaves there last: the trailer is held back, and of the one held before, only the
// bytes past this chunk's end (no later chunk covers them) are written.
bool write_chunk(ota_mtd_device& dev, const char* path, size_t got, uint64_t at, size_t back,
                 bool program_once, HeldTrailer* held) {
  const bool tail_ok = held->len <= got || write_logged(dev, path, held->bytes.data() + got,
                                                        held->len - got, held->at + got);
  held->len = 0;
  if (!tail_ok) {
    return false;
  }
  size_t now = got;
  if (program_once && back > 0) {
    held->len = std::min(got, back);
    now = got - held->len;
    held->at = at + now;
    std::memcpy(held->bytes.data(), g_flash_buf + now, held->len);
  }
  return write_logged(dev, path, g_flash_buf, now, at);
}

// The chunk loop of a NOR write, through g_flash_buf.
bool write_chunks(ota_mtd_device& dev, ota_byte_source& src, const char* path,
                  const ota_nor_write_t& w, bool program_once) {
  const size_t chunk = w.signed_layout ? OTA_NOR_SIGNED_CHUNK : OTA_NOR_CHUNK;
  const size_t back = w.signed_layout ? OTA_NOR_TRAILER : 0;
  HeldTrailer held;
  uint64_t at = w.offset;
  for (uint64_t done = 0; done < w.size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk, w.size - done));
    const ssize_t n = src.read_at(g_flash_buf, want, w.src_offset + done);
    if (n < 0) {
      OTA_LOG_ERR("read of the bytes for %s at %llu failed: %s\n", path, ull(w.src_offset + done),
                  std::strerror(errno));
      return false;
    }
    if (n == 0) {
      break;  // a source shorter than size is written up to its end
    }
    const auto got = static_cast<size_t>(n);
    if (!write_chunk(dev, path, got, at, back, program_once, &held)) {
      return false;
    }
    done += got;
    at += got - std::min(got, back);
    if (w.progress != nullptr) {
      w.progress(dev.descriptor(), static_cast<int32_t>(got));
    }
  }
  return write_logged(dev, path, held.bytes.data(), held.len, held.at);
}

}  // namespace

ssize_t ota_fd_source::read_at(void* buf, size_t len, uint64_t offset) {
  return ota::pread_full(fd_, buf, len, static_cast<off_t>(offset));
}

ota_mtd_device::Kind ota_kernel_mtd_device::kind() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    return Kind::other;
  }
  if (S_ISBLK(st.st_mode)) {
    return Kind::block;
  }
  return S_ISCHR(st.st_mode) || (S_ISREG(st.st_mode) && answers_mtd_info(fd_)) ? Kind::mtd_char
                                                                               : Kind::other;
}

bool ota_kernel_mtd_device::block_size(uint64_t* size) {
  return ::ioctl(fd_, BLKGETSIZE64, size) == 0;
}

bool ota_kernel_mtd_device::mtd_info(uint64_t* size, uint32_t* erasesize) {
  mtd_info_user info{};
  if (::ioctl(fd_, MEMGETINFO, &info) != 0) {
    return false;
  }
  *size = info.size;
  *erasesize = info.erasesize;
  return true;
}

bool ota_kernel_mtd_device::sysfs_info(uint64_t* size, uint32_t* erasesize) {
  uint64_t erase = 0;
  if (!read_sysfs_u64(fd_, "size", size) || !read_sysfs_u64(fd_, "erasesize", &erase) ||
      erase > UINT32_MAX) {
    return false;
  }
  *erasesize = static_cast<uint32_t>(erase);
  return true;
}

bool ota_kernel_mtd_device::erase(uint64_t start, uint64_t len) {
  erase_info_user64 range{};
  range.start = start;
  range.length = len;
  return ::ioctl(fd_, MEMERASE64, &range) == 0;
}

ssize_t ota_kernel_mtd_device::read_at(void* buf, size_t len, uint64_t offset) {
  return ota::pread_full(fd_, buf, len, static_cast<off_t>(offset));
}

bool ota_kernel_mtd_device::write_at(const void* buf, size_t len, uint64_t offset) {
  const auto at = static_cast<off_t>(offset);
  if (at < 0 || !ota::pwrite_full(fd_, buf, len, at)) {
    return false;
  }
  // Only a head start for a block device's page cache; flush() reports any error.
  (void)::sync_file_range(fd_, at, static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
  return true;
}

bool ota_kernel_mtd_device::flush() { return ota::sync_fd(fd_); }

bool ota_mtd_geometry(ota_mtd_device& dev, const char* path, ota_mtd_geometry_t* out) {
  *out = ota_mtd_geometry_t{};
  switch (dev.kind()) {
    case ota_mtd_device::Kind::block:
      if (dev.block_size(&out->size) && out->size > 0) {
        return true;
      }
      OTA_LOG_ERR("cannot size %s: the block layer reports no size\n", path);
      return false;
    case ota_mtd_device::Kind::mtd_char:
      if ((dev.mtd_info(&out->size, &out->erasesize) ||
           dev.sysfs_info(&out->size, &out->erasesize)) &&
          out->size > 0 && out->erasesize > 0) {
        out->needs_erase = true;
        return true;
      }
      OTA_LOG_ERR("cannot size %s: neither MEMGETINFO nor its sysfs size and erasesize answer\n",
                  path);
      return false;
    case ota_mtd_device::Kind::other:
      break;
  }
  OTA_LOG_ERR("%s is neither a block device nor an MTD character device\n", path);
  return false;
}

// Every writer starts at the first byte of its partition, so the bytes of an erase block
// before an unaligned start belong to the partition before it. Erasing them, even to
// write them back, would leave that neighbour (perhaps the running slot's copy) broken by
// a power cut in between: an unaligned start is refused. The end is rounded up to whole
// blocks as long as they stay within the partition (limit), whose own bytes the writer
// is replacing.
bool ota_mtd_erase_span(const ota_mtd_geometry_t& g, uint64_t start, uint64_t len, uint64_t limit,
                        uint64_t* erase_start, uint64_t* erase_len) {
  if (g.erasesize == 0 || start % g.erasesize != 0 || len > UINT64_MAX - g.erasesize) {
    return false;
  }
  const uint64_t rounded = (len + g.erasesize - 1) / g.erasesize * g.erasesize;
  if (start > limit || rounded > limit - start || limit > g.size) {
    return false;
  }
  *erase_start = start;
  *erase_len = rounded;
  return true;
}

bool ota_mtd_prepare_range(ota_mtd_device& dev, const ota_mtd_geometry_t& g, uint64_t start,
                           uint64_t len, uint64_t limit) {
  if (!g.needs_erase) {
    return true;
  }
  uint64_t erase_start = 0;
  uint64_t erase_len = 0;
  if (!ota_mtd_erase_span(g, start, len, limit, &erase_start, &erase_len)) {
    OTA_LOG_ERR("NOR range %llu+%llu cannot be erased in blocks of %u within %llu: refused\n",
                ull(start), ull(len), g.erasesize, ull(limit));
    return false;
  }
  for (uint64_t at = erase_start; at < erase_start + erase_len; at += g.erasesize) {
    if (!dev.erase(at, g.erasesize)) {
      OTA_LOG_ERR("erase of the NOR block at %llu failed: %s\n", ull(at), std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool ota_nor_write(ota_mtd_device& dev, ota_byte_source& src, const char* path,
                   const ota_nor_write_t& w) {
  ota_mtd_geometry_t g{};
  if (!ota_mtd_geometry(dev, path, &g)) {
    return false;
  }
  const uint64_t extent = w.signed_layout ? ota_signed_nor_extent(w.size) : w.size;
  const uint64_t limit = std::min(w.limit, g.size);
  if (w.offset > limit || extent > limit - w.offset) {
    OTA_LOG_ERR("%llu bytes at %llu of %s pass the end of their range (%llu): refused\n",
                ull(extent), ull(w.offset), path, ull(limit));
    return false;
  }
  if (!ota_mtd_prepare_range(dev, g, w.offset, extent, limit) ||
      !write_chunks(dev, src, path, w, g.needs_erase)) {
    return false;
  }
  if (!dev.flush()) {
    OTA_LOG_ERR("sync %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  return true;
}

bool ota_nor_write_image(ota_mtd_device& dev, const char* path, ota_byte_source& image,
                         uint64_t size, uint64_t offset, uint64_t limit, ota_write_cb_t progress) {
  ota_nor_write_t w;
  w.size = size;
  w.offset = offset;
  w.limit = limit;
  w.signed_layout = is_bd_secure() == 1;
  w.progress = progress;
  return ota_nor_write(dev, image, path, w);
}

bool ota_nor_copy_range(ota_mtd_device& dev, const char* path, uint64_t from, uint64_t to,
                        uint64_t len) {
  if (from > UINT64_MAX - len || to > UINT64_MAX - len || (from < to + len && to < from + len)) {
    OTA_LOG_ERR("copy of %llu bytes from %llu to %llu of %s: the ranges overlap\n", ull(len),
                ull(from), ull(to), path);
    return false;
  }
  ota_nor_write_t w;
  w.src_offset = from;
  w.size = len;
  w.offset = to;
  w.limit = to + len;
  return ota_nor_write(dev, dev, path, w);
}

uint64_t ota_mtd_char_size(int fd, const char* path) {
  ota_kernel_mtd_device dev(fd);
  ota_mtd_geometry_t g{};
  return dev.kind() == ota_mtd_device::Kind::mtd_char && ota_mtd_geometry(dev, path, &g) ? g.size
                                                                                         : 0;
}

bool ota_is_mtd_char_device(const char* path) {
  struct stat st {};
  // Opening anything else (a FIFO) could block; a regular file counts only if it answers
  // MEMGETINFO below.
  if (path == nullptr || ::stat(path, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISREG(st.st_mode))) {
    return false;
  }
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  ota_kernel_mtd_device dev(fd.get());
  uint64_t size = 0;
  uint32_t erasesize = 0;
  return fd && (dev.mtd_info(&size, &erasesize) || dev.sysfs_info(&size, &erasesize)) && size > 0 &&
         erasesize > 0;
}
