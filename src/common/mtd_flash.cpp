#include "mtd_flash.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <mtd/mtd-abi.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>

#include "ota_log.h"
#include "unique_fd.h"

namespace {

constexpr const char* kMtd0Sysfs = "/sys/class/mtd/mtd0/";

bool read_sysfs_u64(const char* attr, uint64_t* out) {
  const std::string path = std::string(kMtd0Sysfs) + attr;
  const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
  char text[32] = {};
  const ssize_t n = fd ? ota::read_full(fd.get(), text, sizeof(text) - 1) : -1;
  if (n <= 0) {
    return false;
  }
  const char* end = text + std::strcspn(text, " \n");
  const auto [ptr, ec] = std::from_chars(text, end, *out);
  return ec == std::errc() && ptr == end && ptr != text;
}

}  // namespace

ota_mtd_device::Kind ota_kernel_mtd_device::kind() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    return Kind::other;
  }
  if (S_ISBLK(st.st_mode)) {
    return Kind::block;
  }
  return S_ISCHR(st.st_mode) ? Kind::mtd_char : Kind::other;
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
  if (!read_sysfs_u64("size", size) || !read_sysfs_u64("erasesize", &erase) || erase > UINT32_MAX) {
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
      OTA_LOG_ERR("cannot size %s: neither MEMGETINFO nor %s{size,erasesize} answer\n", path,
                  kMtd0Sysfs);
      return false;
    case ota_mtd_device::Kind::other:
      break;
  }
  OTA_LOG_ERR("%s is neither a block device nor an MTD character device\n", path);
  return false;
}

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
                static_cast<unsigned long long>(start), static_cast<unsigned long long>(len),
                g.erasesize, static_cast<unsigned long long>(limit));
    return false;
  }
  for (uint64_t at = erase_start; at < erase_start + erase_len; at += g.erasesize) {
    if (!dev.erase(at, g.erasesize)) {
      OTA_LOG_ERR("erase of the NOR block at %llu failed: %s\n",
                  static_cast<unsigned long long>(at), std::strerror(errno));
      return false;
    }
  }
  return true;
}
