// Copies between buffers, files and devices. A result of 0 from a writer means the bytes
// reached the medium: each writer flushes and checks the close before it reports, since
// an image the board believes written but loses on a power cut bricks the slot.
#include "device_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "mtd_flash.h"
#include "ota_log.h"
#include "unique_fd.h"

alignas(4096) uint8_t g_mmc_buf[OTA_MMC_CHUNK];
alignas(4096) uint8_t g_flash_buf[OTA_NOR_SIGNED_CHUNK];

namespace {

// Set while the manifest is parsed; read by the copies. Atomic because the client
// library's threads may read it while another sets it.
std::atomic<int32_t> g_is_bd_secure{0};

struct chunk_plan {
  uint8_t* buf;
  size_t chunk;
  bool signed_nor;  // move back over each chunk's trailer
};

chunk_plan plan_for(ota_medium_e medium, int32_t secure) {
  if (medium == OTA_EMMC) {
    return {g_mmc_buf, OTA_MMC_CHUNK, false};
  }
  if (secure == 1) {
    return {g_flash_buf, OTA_NOR_SIGNED_CHUNK, true};
  }
  return {g_flash_buf, OTA_NOR_CHUNK, false};
}

bool seek_to(int fd, uint64_t offset) {
  const auto pos = static_cast<off_t>(offset);
  return pos >= 0 && ::lseek(fd, pos, SEEK_SET) == pos;
}

// Flushes and closes a descriptor that was written; logs and fails on either error.
bool finish_write(ota::UniqueFd& fd, const char* path) {
  if (!ota::sync_fd(fd.get())) {
    OTA_LOG_ERR("sync %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  if (fd.close() != 0) {
    OTA_LOG_ERR("close %s failed: %s\n", path, std::strerror(errno));
    return false;
  }
  return true;
}

// The chunk loop of ota_file_to_file; both descriptors are positioned at their offsets.
bool copy_chunks(int src, int dst, const ota_file_info_t& ori, const ota_file_info_t& dest,
                 ota_write_cb_t read_cb) {
  const chunk_plan plan = plan_for(dest.medium, is_bd_secure());
  uint64_t copied = 0;
  while (copied < ori.size) {
    const uint64_t rest = ori.size - copied;
    const size_t want = rest < plan.chunk ? static_cast<size_t>(rest) : plan.chunk;
    const ssize_t n = ota::read_full(src, plan.buf, want);
    if (n < 0) {
      OTA_LOG_ERR("read %s image error\n", ori.path);
      return false;
    }
    if (n == 0) {
      break;  // a source shorter than size is copied up to its end
    }
    if (!ota_write_behind(dst, plan.buf, static_cast<size_t>(n))) {
      OTA_LOG_ERR("write %s image error\n", dest.path);
      return false;
    }
    copied += static_cast<uint64_t>(n);
    if (plan.signed_nor && ::lseek(dst, -static_cast<off_t>(OTA_NOR_TRAILER), SEEK_CUR) < 0) {
      OTA_LOG_ERR("write %s image error\n", dest.path);
      return false;
    }
    if (read_cb != nullptr) {
      read_cb(dst, static_cast<int32_t>(n));
    }
  }
  return true;
}

}  // namespace

int32_t ota_file_to_file(ota_file_info_t* ori_file, ota_file_info_t* dest_file,
                         ota_write_cb_t read_cb) {
  if (ori_file == nullptr || dest_file == nullptr) {
    OTA_LOG_ERR("file info is null\n");
    return -1;
  }
  const ota::UniqueFd src = ota::open_fd(ori_file->path, O_RDONLY);
  if (!src) {
    OTA_LOG_ERR("open file: %s failed\n", ori_file->path);
    return -1;
  }
  ota::UniqueFd dst = ota::open_fd(dest_file->path, O_WRONLY);
  if (!dst) {
    OTA_LOG_ERR("open file:%s failed\n", dest_file->path);
    return -1;
  }
  if (!seek_to(src.get(), ori_file->offset) || !seek_to(dst.get(), dest_file->offset)) {
    OTA_LOG_ERR("fseek failed\n");
    return -1;
  }
  if (!copy_chunks(src.get(), dst.get(), *ori_file, *dest_file, read_cb)) {
    return -1;
  }
  return finish_write(dst, dest_file->path) ? 0 : -1;
}

int32_t ota_buf_to_file(ota_file_info_t* dest_file, const void* buffer, uint64_t buf_len) {
  if (dest_file == nullptr || buffer == nullptr) {
    OTA_LOG_ERR("file info is null\n");
    return -1;
  }
  // Like fopen "wb": a regular file is truncated, a device node keeps its content. A
  // missing node under "/dev" is a device the board does not have: a file made in its
  // place would take the record and give it back as if it were on the medium.
  ota::UniqueFd fd = ota::open_fd(dest_file->path, O_WRONLY | O_TRUNC);
  if (!fd && errno == ENOENT && std::strncmp(dest_file->path, "/dev/", 5) != 0) {
    fd = ota::open_fd(dest_file->path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  if (!fd) {
    OTA_LOG_ERR("open file:%s failed\n", dest_file->path);
    return -1;
  }
  // Any short write fails: a record stored in part is a corrupt record.
  if (!seek_to(fd.get(), dest_file->offset) ||
      !ota::write_full(fd.get(), buffer, static_cast<size_t>(buf_len))) {
    OTA_LOG_ERR("write %s file error\n", dest_file->path);
    return -1;
  }
  return finish_write(fd, dest_file->path) ? 0 : -1;
}

int32_t ota_file_to_buf(ota_file_info_t* ori_file, void* buffer, uint64_t buf_len) {
  if (ori_file == nullptr || buffer == nullptr) {
    OTA_LOG_ERR("file info is null\n");
    return -1;
  }
  const ota::UniqueFd fd = ota::open_fd(ori_file->path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open file:%s failed\n", ori_file->path);
    return -1;
  }
  if (!seek_to(fd.get(), ori_file->offset) ||
      ota::read_full(fd.get(), buffer, static_cast<size_t>(buf_len)) !=
          static_cast<ssize_t>(buf_len)) {
    OTA_LOG_ERR("read %s file error\n", ori_file->path);
    return -1;
  }
  return 0;
}

bool ota_write_behind(int fd, const void* buf, size_t len) {
  if (!ota::write_full(fd, buf, len)) {
    return false;
  }
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end >= static_cast<off_t>(len)) {
    // Only a head start: whatever cannot start now is flushed by the closing sync_fd,
    // which also reports any writeback error.
    (void)::sync_file_range(fd, end - static_cast<off_t>(len), static_cast<off_t>(len),
                            SYNC_FILE_RANGE_WRITE);
  }
  return true;
}

int32_t is_bd_secure() {
  const int32_t secure = g_is_bd_secure.load();
  OTA_LOG_INFO("BD_SECURE:%d\n", secure);
  return secure;
}

int32_t ota_set_bd_secure(int sec) {
  if (sec != 0 && sec != 1) {
    return -1;
  }
  g_is_bd_secure.store(sec);
  return 0;
}

uint64_t ota_signed_nor_extent(uint64_t image_size) {
  if (image_size <= OTA_NOR_SIGNED_CHUNK) {
    return image_size;
  }
  const uint64_t chunks = (image_size + OTA_NOR_SIGNED_CHUNK - 1) / OTA_NOR_SIGNED_CHUNK;
  const uint64_t last = image_size - (chunks - 1) * OTA_NOR_SIGNED_CHUNK;
  return (chunks - 1) * OTA_NOR_CHUNK + (last < OTA_NOR_TRAILER ? OTA_NOR_TRAILER : last);
}

size_t ota_chunk_size(ota_medium_e medium) { return plan_for(medium, g_is_bd_secure.load()).chunk; }

void device_io_reset_state() { g_is_bd_secure.store(0); }

long int get_file_size(const char* file_path) {
  if (file_path == nullptr) {
    OTA_LOG_ERR("file ptr is empty\n");
    return -1;
  }
  struct stat st {};
  if (::stat(file_path, &st) != 0) {
    return -1;
  }
  return static_cast<long int>(st.st_size);
}

uint64_t ota_device_size(const char* path) {
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    return 0;
  }
  uint64_t size = 0;
  if (::ioctl(fd.get(), BLKGETSIZE64, &size) == 0) {
    return size;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return 0;
  }
  if (S_ISCHR(st.st_mode)) {
    return ota_mtd_char_size(fd.get(), path);
  }
  if (!S_ISREG(st.st_mode)) {
    return 0;
  }
  // A regular file may be an MTD device served from user space, of stat size 0.
  const uint64_t mtd = ota_mtd_char_size(fd.get(), path);
  return mtd > 0 ? mtd : static_cast<uint64_t>(st.st_size);
}
