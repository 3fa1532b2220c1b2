// Raw zip members inflated by igzip; see member_inflate.h.
#include "member_inflate.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "ota_log.h"

#if OTA_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#else
// Without ISA-L (a tree whose target has no such library) minizip inflates with zlib and
// checks the CRC itself, as it always did; the state is never made.
struct inflate_state {};
#endif

namespace ota {

namespace {

// Members are read raw, their CRC and size checked here, only where igzip inflates them.
constexpr bool kRaw = OTA_HAVE_ISAL != 0;

// Compressed bytes handed to igzip per refill: large enough that minizip's per-call cost
// vanishes against the inflate, small against the ring.
constexpr size_t kInputSize = 256 * 1024;

}  // namespace

MemberInflate::MemberInflate() = default;

MemberInflate::~MemberInflate() {
  if (archive_ != nullptr) {
    unzCloseCurrentFile(archive_);
  }
}

int MemberInflate::open(unzFile archive, [[maybe_unused]] const char* path,
                        const unz_file_info64& info) {
  int method = 0;
  int level = 0;
  if (const int err = unzOpenCurrentFile2(archive, &method, &level, kRaw ? 1 : 0); err != UNZ_OK) {
    return err;
  }
  archive_ = archive;
  if (method != 0 && method != Z_DEFLATED) {
    OTA_LOG_ERR("zip member compressed with method %d, neither stored nor deflated\n", method);
    return UNZ_BADZIPFILE;
  }
  deflated_ = kRaw && method == Z_DEFLATED;
  declared_ = info.uncompressed_size;
  expected_crc_ = static_cast<uint32_t>(info.crc);
#if OTA_HAVE_ISAL
  // minizip would copy the bytes 16 KiB at a time, with a seek and a CRC over them each
  // time: a third of igzip's own time. It found them; they are read here.
  package_ = open_fd(path, O_RDONLY | O_CLOEXEC);
  if (!package_) {
    OTA_LOG_ERR("cannot open %s: %s\n", path, strerror(errno));
    return UNZ_ERRNO;
  }
  (void)posix_fadvise(package_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  packed_at_ = unzGetCurrentFileZStreamPos64(archive);
  packed_left_ = info.compressed_size;
  if (deflated_) {
    state_ = std::make_unique<inflate_state>();
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_GZIP_NO_HDR;
    input_ = std::make_unique<uint8_t[]>(kInputSize);
  }
#endif
  return UNZ_OK;
}

int MemberInflate::read(uint8_t* out, size_t len) {
  if (delivered_ == declared_) {
    return 0;
  }
  // Never past the declared size, as minizip: whatever follows is not the member's.
  len = static_cast<size_t>(std::min<uint64_t>({len, declared_ - delivered_, INT_MAX}));
  const int n = deflated_ ? read_deflated(out, len) : read_stored(out, len);
  if (n > 0) {
    delivered_ += static_cast<uint64_t>(n);
  }
  return n;
}

// A stored member, or any member minizip inflates itself.
int MemberInflate::read_stored(uint8_t* out, size_t len) {
  if (!kRaw) {
    return unzReadCurrentFile(archive_, out, static_cast<unsigned>(len));
  }
#if OTA_HAVE_ISAL
  const int n = read_packed(out, len);
  if (n > 0) {
    crc_ = crc32_gzip_refl(crc_, out, static_cast<uint64_t>(n));
  }
  return n;
#else
  return UNZ_INTERNALERROR;
#endif
}

// Up to len of the member's packed bytes: their count, 0 past the last, or UNZ_ERRNO.
int MemberInflate::read_packed(uint8_t* out, size_t len) {
  len = static_cast<size_t>(std::min<uint64_t>(len, packed_left_));
  const ssize_t n = len == 0 ? 0 : retry_eintr([&] {
    return ::pread(package_.get(), out, len, static_cast<off_t>(packed_at_));
  });
  if (n < 0) {
    OTA_LOG_ERR("reading the zip member failed: %s\n", strerror(errno));
    return UNZ_ERRNO;
  }
  packed_at_ += static_cast<uint64_t>(n);
  // A package shorter than its directory says ends the member's bytes here.
  packed_left_ = n == 0 ? 0 : packed_left_ - static_cast<uint64_t>(n);
  return static_cast<int>(n);
}

#if OTA_HAVE_ISAL

int MemberInflate::refill() {
  const int n = read_packed(input_.get(), kInputSize);
  if (n < 0) {
    return n;
  }
  input_done_ = n == 0;
  state_->next_in = input_.get();
  state_->avail_in = static_cast<uint32_t>(n);
  return UNZ_OK;
}

int MemberInflate::read_deflated(uint8_t* out, size_t len) {
  inflate_state& s = *state_;
  s.next_out = out;
  s.avail_out = static_cast<uint32_t>(len);
  while (s.avail_out > 0 && s.block_state != ISAL_BLOCK_FINISH) {
    if (s.avail_in == 0 && !input_done_) {
      if (const int err = refill(); err != UNZ_OK) {
        return err;
      }
    }
    const uint32_t in_before = s.avail_in;
    const uint32_t out_before = s.avail_out;
    if (isal_inflate(&s) < 0) {
      return Z_DATA_ERROR;
    }
    // All the member's bytes given and nothing more coming out: the stream was cut short.
    if (input_done_ && s.avail_in == 0 && in_before == 0 && s.avail_out == out_before &&
        s.block_state != ISAL_BLOCK_FINISH) {
      return Z_BUF_ERROR;
    }
  }
  return static_cast<int>(len - s.avail_out);
}
#else
int MemberInflate::refill() { return UNZ_INTERNALERROR; }
int MemberInflate::read_deflated(uint8_t*, size_t) { return UNZ_INTERNALERROR; }
#endif

int MemberInflate::close() {
  unzFile archive = archive_;
  archive_ = nullptr;
  if (const int rc = unzCloseCurrentFile(archive); rc != UNZ_OK) {
    return rc;
  }
  if (delivered_ < declared_) {
    OTA_LOG_ERR("zip member ends before its declared size: truncated or corrupt\n");
    return UNZ_BADZIPFILE;
  }
  if (!kRaw) {
    return UNZ_OK;  // minizip compared the CRC
  }
#if OTA_HAVE_ISAL
  const uint32_t crc = deflated_ ? state_->crc : crc_;
#else
  const uint32_t crc = crc_;
#endif
  return crc == expected_crc_ ? UNZ_OK : UNZ_CRCERROR;
}

}  // namespace ota
