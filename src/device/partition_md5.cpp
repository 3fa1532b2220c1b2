// Digest proofs of device ranges. A proof must read what the medium holds: the pages a
// write left in the cache would prove only that the cache matches, so every proof first
// makes the device durable and drops its cached pages over the hashed range.
#include "partition_md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "md5.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {

constexpr size_t kMd5Len = 16;

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

int32_t get_md5_from_string(const char* md5_str, unsigned char* md5_val) {
  if (md5_str == nullptr || md5_val == nullptr) {
    OTA_LOG_ERR("NULL input in %s\n", "get_md5_from_string");
    return -1;
  }
  for (size_t i = 0; i < 2 * kMd5Len; i += 2) {
    // A character that is not a digit (the terminator of a short text included) would
    // otherwise turn into an arbitrary byte that can never be matched on purpose.
    const int high = hex_value(md5_str[i]);
    const int low = high < 0 ? -1 : hex_value(md5_str[i + 1]);
    if (high < 0 || low < 0) {
      OTA_LOG_ERR("md5 text %.32s is not 32 hexadecimal digits\n", md5_str);
      return -1;
    }
    md5_val[i / 2] = static_cast<unsigned char>(high * 16 + low);
  }
  return 0;
}

int32_t ota_flush_and_drop_cache(const char* path, uint64_t offset, uint64_t len) {
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open %s failed: %s\n", path, std::strerror(errno));
    return -1;
  }
  // A block device's page cache is shared by every descriptor on it, so syncing through
  // this one makes durable whatever any writer left dirty.
  if (!ota::sync_fd(fd.get())) {
    OTA_LOG_ERR("sync %s failed: %s\n", path, std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    OTA_LOG_ERR("stat %s failed: %s\n", path, std::strerror(errno));
    return -1;
  }
  // Character devices (raw flash) are read past any page cache: nothing to drop.
  if (S_ISCHR(st.st_mode)) {
    return 0;
  }
  if (!ota::drop_cached_pages(fd.get(), static_cast<off_t>(offset), static_cast<off_t>(len))) {
    OTA_LOG_ERR("dropping cached pages of %s failed\n", path);
    return -1;
  }
  return 0;
}

int32_t verify_image_checksum_with_part(const char* md5_expect, uint64_t image_size,
                                        const char* part_dev_name, uint64_t offset) {
  return verify_image_checksum_after_read_back(md5_expect, image_size, part_dev_name, offset,
                                               ota::ReadBackProof{});
}

int32_t verify_image_checksum_after_read_back(const char* md5_expect, uint64_t image_size,
                                              const char* part_dev_name, uint64_t offset,
                                              const ota::ReadBackProof& proof) {
  unsigned char expect[kMd5Len];
  if (get_md5_from_string(md5_expect, expect) != 0 || part_dev_name == nullptr) {
    return -1;
  }
  // A proof longer than the range (never made by a burn) is started over.
  ota::ReadBackProof done = proof.hashed <= image_size ? proof : ota::ReadBackProof{};
  const uint64_t from = offset + done.hashed;
  const uint64_t rest = image_size - done.hashed;
  if (ota_flush_and_drop_cache(part_dev_name, from, rest) != 0) {
    return -1;
  }
  const int ret =
      MD5DevContinue(part_dev_name, static_cast<long>(from), static_cast<long>(rest), &done.ctx);
  if (ret != 0) {
    OTA_LOG_ERR("Failed get md5sum of dev\n");
    return ret;
  }
  unsigned char dev[kMd5Len];
  MD5Final(dev, &done.ctx);
  OTA_LOG_INFO("md5_dev: %02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n",
               dev[0], dev[1], dev[2], dev[3], dev[4], dev[5], dev[6], dev[7], dev[8], dev[9],
               dev[10], dev[11], dev[12], dev[13], dev[14], dev[15]);
  OTA_LOG_INFO("md5_file: %02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n",
               expect[0], expect[1], expect[2], expect[3], expect[4], expect[5], expect[6],
               expect[7], expect[8], expect[9], expect[10], expect[11], expect[12], expect[13],
               expect[14], expect[15]);
  OTA_LOG_INFO("\n");
  if (std::memcmp(dev, expect, kMd5Len) != 0) {
    OTA_LOG_ERR("MD5 check fail!\n");
    return -1;
  }
  OTA_LOG_INFO("\n");
  return 0;
}

namespace {

// Logs both digests and compares them, with the messages of a two-partition check.
int32_t compare_partition_md5(const char* partition1_path, const char* partition2_path,
                              const unsigned char (&md5)[2][kMd5Len]) {
  const unsigned char* a = md5[0];
  const unsigned char* b = md5[1];
  OTA_LOG_INFO("part1_md5: %02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n",
               a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12],
               a[13], a[14], a[15]);
  OTA_LOG_INFO("part2_md5: %02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n",
               b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
               b[13], b[14], b[15]);
  if (std::memcmp(a, b, kMd5Len) != 0) {
    OTA_LOG_ERR("dev:%s md5 not equal dev:%s\n", partition1_path, partition2_path);
    return -1;
  }
  return 0;
}

// The digest of the whole device at path, going on from a read-back of its first bytes:
// only the rest is flushed, dropped and read here.
bool finish_device_md5(const char* path, const ota::ReadBackProof& proof,
                       unsigned char (&md5)[kMd5Len]) {
  off_t end = -1;
  {
    const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
    end = fd ? ::lseek(fd.get(), 0, SEEK_END) : -1;
  }
  if (end < 0) {
    return false;
  }
  OTA_LOG_INFO("%s size %ld, garbage %d\n", path, static_cast<long>(end), 0);
  const auto size = static_cast<uint64_t>(end);
  // A proof longer than the device (never made by a copy) is started over.
  ota::ReadBackProof done = proof.hashed <= size ? proof : ota::ReadBackProof{};
  const uint64_t rest = size - done.hashed;
  if (rest > 0 && ota_flush_and_drop_cache(path, done.hashed, rest) != 0) {
    return false;
  }
  if (MD5DevContinue(path, static_cast<long>(done.hashed), static_cast<long>(rest), &done.ctx) !=
      0) {
    return false;
  }
  MD5Final(md5, &done.ctx);
  return true;
}

}  // namespace

int32_t ota_check_copied_partition_md5(const char* partition1_path, const char* partition2_path,
                                       const ota::CopyProof& proof) {
  if (partition1_path == nullptr || partition2_path == nullptr) {
    OTA_LOG_ERR("check two partition md5sum parament error!\n");
    return -1;
  }
  unsigned char md5[2][kMd5Len];
  OTA_LOG_INFO("%s size %ld, garbage %d\n", partition1_path, static_cast<long>(proof.source_bytes),
               0);
  MD5_CTX source = proof.source;
  MD5Final(md5[0], &source);
  if (!finish_device_md5(partition2_path, proof.dest, md5[1])) {
    OTA_LOG_ERR("md5 %s fail\n", partition2_path);
    return -1;
  }
  return compare_partition_md5(partition1_path, partition2_path, md5);
}

int32_t ota_check_two_partition_md5(const char* partition1_path, const char* partition2_path,
                                    int32_t garbage) {
  if (partition1_path == nullptr || partition2_path == nullptr) {
    OTA_LOG_ERR("check two partition md5sum parament error!\n");
    return -1;
  }
  unsigned char md5[2][kMd5Len];
  const char* paths[2] = {partition1_path, partition2_path};
  for (int i = 0; i < 2; ++i) {
    if (ota_flush_and_drop_cache(paths[i], 0, 0) != 0 || MD5Dev(paths[i], md5[i], garbage) != 0) {
      OTA_LOG_ERR("md5 %s fail\n", paths[i]);
      return -1;
    }
  }
  return compare_partition_md5(partition1_path, partition2_path, md5);
}
