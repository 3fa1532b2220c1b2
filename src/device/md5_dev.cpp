// Digests of device ranges and of whole devices, the proof of every write. Read errors
// end the hash early on purpose: they surface as a digest mismatch at the caller.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "md5.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {

constexpr size_t MD5DEV_BUF_SIZE = 1048576;
// One per process: hashing allocates nothing, and only one hash runs at a time.
alignas(4096) unsigned char buffer_md5dev[MD5DEV_BUF_SIZE];

// Hashes up to `len` bytes from the current position of fd (fewer if the file ends or a
// read fails first).
void md5_stream(int fd, unsigned long long len, MD5_CTX* ctx) {
  while (len > 0) {
    const size_t want = static_cast<size_t>(std::min<unsigned long long>(len, MD5DEV_BUF_SIZE));
    const ssize_t n = ota::retry_eintr([&] { return ::read(fd, buffer_md5dev, want); });
    if (n <= 0) {
      return;
    }
    MD5Update(ctx, buffer_md5dev, static_cast<unsigned int>(n));
    len -= static_cast<unsigned long long>(n);
  }
}

}  // namespace

int MD5DevContinue(const char* filename, long offset, long checklen, MD5_CTX* ctx) {
  if (filename == nullptr || ctx == nullptr) {
    return -1;
  }
  const ota::UniqueFd fd = ota::open_fd(filename, O_RDONLY);
  if (!fd) {
    return -1;
  }
  // A hint for readahead; its failure changes nothing.
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // A failed seek leaves the position at 0, as a plain seek-and-read would; the digest
  // then differs and the caller sees the mismatch.
  (void)::lseek(fd.get(), offset, SEEK_SET);
  // A negative length hashes nothing rather than a wrapped-around count.
  md5_stream(fd.get(), checklen > 0 ? static_cast<unsigned long long>(checklen) : 0, ctx);
  return 0;
}

int MD5DevPart(const char* filename, long offset, long checklen, unsigned char hash[16]) {
  if (hash == nullptr) {
    return -1;
  }
  MD5_CTX ctx;
  MD5Init(&ctx);
  if (MD5DevContinue(filename, offset, checklen, &ctx) != 0) {
    return -1;
  }
  MD5Final(hash, &ctx);
  return 0;
}

int MD5Dev(const char* filename, unsigned char hash[16], int32_t garbage) {
  if (filename == nullptr || hash == nullptr) {
    return -1;
  }
  const ota::UniqueFd fd = ota::open_fd(filename, O_RDONLY);
  if (!fd) {
    return -1;
  }
  const long size = static_cast<long>(::lseek(fd.get(), 0, SEEK_END));
  OTA_LOG_INFO("%s size %ld, garbage %d\n", filename, size, garbage);
  if (size < 0) {
    return -1;
  }
  const long len = size - garbage;
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
    OTA_LOG_ERR("lseek error\n");
    return -2;
  }
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  MD5_CTX ctx;
  MD5Init(&ctx);
  md5_stream(fd.get(), len > 0 ? static_cast<unsigned long long>(len) : 0, &ctx);
  MD5Final(hash, &ctx);
  return 0;
}
