// Streaming of one zip member into a file or block device through the chunk buffers of
// the device I/O layer.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "kx_zip.h"
#include "member_inflate.h"
#include "ota_log.h"
#include "unz_handle.h"

namespace {

struct Chunk {
  uint8_t* buf;
  size_t size;
};

Chunk chunk_for(ota_medium_e medium) {
  if (medium == OTA_EMMC) {
    return {g_mmc_buf, OTA_MMC_CHUNK};
  }
  const size_t size = ota_chunk_size(medium);
  return {g_flash_buf, size < sizeof(g_flash_buf) ? size : sizeof(g_flash_buf)};
}

// Starts writeback of each chunk as soon as it is written and waits for chunks a few
// behind, so the device writes while the next chunks inflate instead of all at the final
// sync, and dirty pages stay bounded. Only a hint: the final sync decides.
class WritebackPacer {
 public:
  explicit WritebackPacer(int fd) : fd_(fd) {}
  void written(size_t len) {
    (void)sync_file_range(fd_, offset_, static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
    offset_ += static_cast<off_t>(len);
    if (offset_ > kLag) {
      (void)sync_file_range(fd_, 0, offset_ - kLag, SYNC_FILE_RANGE_WAIT_BEFORE);
    }
  }

 private:
  static constexpr off_t kLag = 4 * static_cast<off_t>(OTA_MMC_CHUNK);
  int fd_;
  off_t offset_ = 0;
};

// Reads the open member chunk by chunk into fd; read_cb sees every read that did not
// fail, the final empty one included.
int32_t stream_member(ota::MemberInflate& member, Chunk chunk, int fd, ota_progress_cb_t read_cb) {
  WritebackPacer pacer(fd);
  for (;;) {
    const int n = member.read(chunk.buf, chunk.size);
    if (n < 0) {
      OTA_LOG_ERR("error %d with zipfile in unzReadCurrentFile\n", n);
      return n;
    }
    if (n > 0 && !ota::write_full(fd, chunk.buf, static_cast<size_t>(n))) {
      OTA_LOG_ERR("error in writing extracted file %d\n", n);
      return -1;
    }
    pacer.written(static_cast<size_t>(n));
    if (read_cb != nullptr) {
      read_cb(n);
    }
    if (n == 0) {
      return 0;
    }
  }
}

void report_written(ota::BurnPipeline& pipe, ota_progress_cb_t read_cb) {
  const uint64_t n = pipe.take_written();
  if (read_cb != nullptr && n > 0) {
    read_cb(static_cast<ssize_t>(n));
  }
}

int32_t pipe_failed(ota::BurnPipeline& pipe, const char* path, int n) {
  if (pipe.fault() == ota::PipeFault::sync) {
    OTA_LOG_ERR("sync %s failed: %s\n", path, strerror(pipe.error()));
  } else {
    OTA_LOG_ERR("error in writing extracted file %d\n", n);
  }
  return -1;
}

// stream_member with the write and its read-back proof on the pipeline's writer: this
// thread only inflates. The member's CRC is checked before the closing sync, as there.
int32_t stream_member_piped(ota::MemberInflate& member, int fd, const char* path,
                            ota_progress_cb_t read_cb, ota::ReadBackProof* proof) {
  ota::BurnPipeline pipe(fd, path, proof);
  if (!pipe.ready()) {
    return -1;
  }
  for (;;) {
    uint8_t* buf = pipe.slot();
    if (buf == nullptr) {
      return pipe_failed(pipe, path, 0);
    }
    const int n = member.read(buf, ota::kBurnSlotSize);
    if (n < 0) {
      OTA_LOG_ERR("error %d with zipfile in unzReadCurrentFile\n", n);
      return n;
    }
    if (n == 0) {
      break;
    }
    if (!pipe.push(static_cast<size_t>(n))) {
      return pipe_failed(pipe, path, n);
    }
    report_written(pipe, read_cb);
  }
  if (const int rc = member.close(); rc != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzCloseCurrentFile\n", rc);
    return rc;
  }
  if (!pipe.finish()) {
    return pipe_failed(pipe, path, 0);
  }
  report_written(pipe, read_cb);
  if (read_cb != nullptr) {
    read_cb(0);
  }
  return 0;
}

// A file made by this call takes the member's times and mode; an existing one (a device
// node) keeps its own.
int32_t apply_entry_metadata(int fd, const unz_file_info64& info, const char* path) {
  (void)change_file_date(fd, info.tmu_date);
  const int perm = ota::zip_entry_perm(info);
  if (perm >= 0 && fchmod(fd, static_cast<mode_t>(perm)) != 0) {
    OTA_LOG_ERR("chmod %s failed: %s\n", path, strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int32_t kx_unzip_file_to(const char* src, const char* file, ota_file_info_t* dest_file,
                         ota_progress_cb_t read_cb, uint64_t max_bytes, ota::ReadBackProof* proof) {
  if (src == nullptr || file == nullptr || dest_file == nullptr) {
    OTA_LOG_ERR("file info is null\n");
    return -1;
  }
  const Chunk chunk = chunk_for(dest_file->medium);
  ota::UniqueUnz archive(unzOpen64(src));
  if (!archive) {
    OTA_LOG_ERR("Cannot open %s or %s.zip\n", src, src);
    return -1;
  }
  if (const int err = unzLocateFile(archive.get(), file, 0); err != UNZ_OK) {
    OTA_LOG_ERR("Cannot find file in zip: %s\n", file);
    return err;
  }
  unz_file_info64 info{};
  if (const int err =
          unzGetCurrentFileInfo64(archive.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0);
      err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetCurrentFileInfo\n", err);
    return err;
  }
  // minizip delivers no more than the declared size: a declared size within the bound
  // keeps the whole write inside the device.
  if (info.uncompressed_size > max_bytes) {
    OTA_LOG_ERR("member %s of %s holds %llu bytes, more than the %llu of %s: refused\n", file, src,
                static_cast<unsigned long long>(info.uncompressed_size),
                static_cast<unsigned long long>(max_bytes), dest_file->path);
    return -1;
  }
  if (ota::zip_entry_is_link(info)) {
    OTA_LOG_ERR("member %s of %s is a symbolic link, not an image: refused\n", file, src);
    return -1;
  }
  ota::MemberInflate member;
  if (const int err = member.open(archive.get(), src, info); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzipOpenCurrentFile\n", err);
    return err;
  }
  const bool existed = access(dest_file->path, F_OK) == 0;
  ota::UniqueFd fd = ota::open_fd(dest_file->path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) {
    OTA_LOG_ERR("failed to create dest file %s\n", dest_file->path);
    return -1;
  }
  if (proof != nullptr) {
    if (const int32_t rc = stream_member_piped(member, fd.get(), dest_file->path, read_cb, proof);
        rc != 0) {
      return rc;
    }
  } else {
    if (const int32_t rc = stream_member(member, chunk, fd.get(), read_cb); rc != 0) {
      return rc;
    }
    // The member's CRC is known only once it has been read whole: a mismatch means the
    // device now holds corrupt data, whatever the later MD5 check would say.
    if (const int rc = member.close(); rc != UNZ_OK) {
      OTA_LOG_ERR("error %d with zipfile in unzCloseCurrentFile\n", rc);
      return rc;
    }
    if (!ota::sync_fd(fd.get())) {
      OTA_LOG_ERR("sync %s failed: %s\n", dest_file->path, strerror(errno));
      return -1;
    }
  }
  if (!existed && apply_entry_metadata(fd.get(), info, dest_file->path) != 0) {
    return -1;
  }
  if (fd.close() != 0) {
    OTA_LOG_ERR("close %s failed: %s\n", dest_file->path, strerror(errno));
    return -1;
  }
  return 0;
}

int32_t kx_uncompress_file_to(const char* src, const char* file, ota_file_info_t* dest_file,
                              ota_progress_cb_t read_cb, uint64_t max_bytes,
                              ota::ReadBackProof* proof) {
  if (dest_file == nullptr) {
    return -1;
  }
  switch (ota_archive_kind(src)) {
    case OTA_ARCHIVE_ZIP:
      return kx_unzip_file_to(src, file, dest_file, read_cb, max_bytes, proof);
    case OTA_ARCHIVE_TAR: {
      const char* path = dest_file->path;
      return ota_untar_unzst_with(
          src, file, path,
          [path] { return ota::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0666); }, read_cb,
          max_bytes, proof);
    }
    default:
      return -1;
  }
}
