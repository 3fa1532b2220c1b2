// The engine's own A/B and backup copies. Every copy is proven the same way as an image
// burn: the bytes are flushed, the cached pages dropped, and both sides hashed as the
// medium holds them, so a copy is never believed that did not reach the flash.
#include "slot_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "burn_pipeline.h"
#include "device_io.h"
#include "md5.h"
#include "mtd_flash.h"
#include "ota_log.h"
#include "partition_md5.h"
#include "unique_fd.h"

namespace {

constexpr const char* kByName = "/dev/block/platform/by-name/";
constexpr size_t kMd5Len = 16;
constexpr uint32_t kMaxMtdParts = 255;  // the order numbers gpt.conf lines can reach

struct MtdPart {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;  // as sysfs shows it, the 2048-byte pad included
};

char slot_letter(int32_t slot) { return slot == 0 ? 'a' : 'b'; }

bool parse_u64(const char* text, uint64_t* out) {
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, *out);
  return ec == std::errc() && ptr == end && ptr != text;
}

bool mtd_exists(uint32_t order) {
  char dir[64];
  std::snprintf(dir, sizeof(dir), "%s%u", OTA_MTD_SYSFS, order);
  return ::access(dir, F_OK) == 0;
}

// Partition `order` from sysfs; false (logged) when an attribute is missing or malformed.
bool read_mtd_part(uint32_t order, MtdPart* part) {
  char name[33] = {};
  char offset[33] = {};
  char size[33] = {};
  if (ota_mtd_read_attr(order, "name", name, sizeof(name)) != 0 ||
      ota_mtd_read_attr(order, "offset", offset, sizeof(offset)) != 0 ||
      ota_mtd_read_attr(order, "size", size, sizeof(size)) != 0) {
    return false;
  }
  if (!parse_u64(offset, &part->offset) || !parse_u64(size, &part->size) ||
      part->size <= OTA_NOR_SIZE_PAD) {
    OTA_LOG_ERR("mtd%u (%s): offset %s or size %s is not a NOR partition\n", order, name, offset,
                size);
    return false;
  }
  part->name = name;
  return true;
}

const MtdPart* find_part(const std::vector<MtdPart>& parts, const std::string& name) {
  for (const MtdPart& p : parts) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

// Pairs each "_a" partition with its "_b" partner; false (logged) for a pair whose data
// lengths differ or that does not fit `out`.
bool pair_parts(const std::vector<MtdPart>& parts, std::span<ota_nor_ab_pair_t> out,
                size_t* count) {
  *count = 0;
  for (const MtdPart& a : parts) {
    if (a.name.size() <= 2 || !a.name.ends_with("_a")) {
      continue;
    }
    const std::string base = a.name.substr(0, a.name.size() - 2);
    const MtdPart* b = find_part(parts, base + "_b");
    if (b == nullptr) {
      continue;
    }
    if (a.size != b->size || base.size() >= OTA_NOR_NAME_LEN || *count >= out.size()) {
      OTA_LOG_ERR("NOR pair %s: sizes %llu/%llu, or more than %zu pairs\n", base.c_str(),
                  static_cast<unsigned long long>(a.size), static_cast<unsigned long long>(b->size),
                  out.size());
      return false;
    }
    ota_nor_ab_pair_t& pair = out[(*count)++];
    pair = ota_nor_ab_pair_t{};
    std::memcpy(pair.base, base.data(), base.size());
    pair.offset_a = a.offset;
    pair.offset_b = b->offset;
    pair.length = a.size - OTA_NOR_SIZE_PAD;
  }
  return true;
}

bool find_nor_pair(const char* name, ota_nor_ab_pair_t* found) {
  ota_nor_ab_pair_t pairs[OTA_NOR_AB_MAX];
  const int32_t count = ota_list_nor_ab_pairs(pairs);
  for (int32_t i = 0; i < count; ++i) {
    if (std::strcmp(pairs[i].base, name) == 0) {
      *found = pairs[i];
      return true;
    }
  }
  if (count >= 0) {
    OTA_LOG_ERR("NOR partitions %s_a and %s_b are not both in %s*\n", name, name, OTA_MTD_SYSFS);
  }
  return false;
}

// The per-partition block devices over the NOR flash see the same bytes as the NOR
// device through their own page cache: they are flushed and forgotten around a copy so
// that no reader of either view sees bytes older than the copy.
void settle_nor_view(const char* base, int32_t slot) {
  const std::string view = std::string(kByName) + base + "_" + slot_letter(slot);
  if (::access(view.c_str(), F_OK) == 0) {
    (void)ota_flush_and_drop_cache(view.c_str(), 0, 0);
  }
}

// MD5 of [offset, offset + len) of the NOR device as the flash holds it.
bool nor_range_md5(uint64_t offset, uint64_t len, unsigned char md5[kMd5Len]) {
  return ota_flush_and_drop_cache(OTA_NOR_DEV, offset, len) == 0 &&
         MD5DevPart(OTA_NOR_DEV, static_cast<long>(offset), static_cast<long>(len), md5) == 0;
}

int32_t prove_nor_copy(const char* name, uint64_t from, uint64_t to, uint64_t len) {
  unsigned char a[kMd5Len];
  unsigned char b[kMd5Len];
  if (!nor_range_md5(from, len, a) || !nor_range_md5(to, len, b)) {
    OTA_LOG_ERR("md5 of NOR partition %s on %s failed\n", name, OTA_NOR_DEV);
    return -1;
  }
  if (std::memcmp(a, b, kMd5Len) != 0) {
    OTA_LOG_ERR("NOR copy of %s: %s at %llu and at %llu (%llu bytes) md5 not equal\n", name,
                OTA_NOR_DEV, static_cast<unsigned long long>(from),
                static_cast<unsigned long long>(to), static_cast<unsigned long long>(len));
    return -1;
  }
  return 0;
}

// Raw bytes move as they lie: never the signed-image layout that a NOR burn of a package
// image applies under the board-secure flag. The destination's erase blocks are erased
// first when the NOR device is the MTD character device.
bool write_nor_copy(uint64_t from, uint64_t to, uint64_t len) {
  const ota::UniqueFd fd = ota::open_fd(OTA_NOR_DEV, O_RDWR);
  if (!fd) {
    OTA_LOG_ERR("open %s failed: %s\n", OTA_NOR_DEV, std::strerror(errno));
    return false;
  }
  ota_kernel_mtd_device nor(fd.get());
  return ota_nor_copy_range(nor, OTA_NOR_DEV, from, to, len);
}

int32_t copy_nor(const char* name, int32_t from_slot, int32_t to_slot) {
  ota_nor_ab_pair_t pair{};
  if (!find_nor_pair(name, &pair)) {
    return -1;
  }
  const uint64_t from = from_slot == 0 ? pair.offset_a : pair.offset_b;
  const uint64_t to = to_slot == 0 ? pair.offset_a : pair.offset_b;
  settle_nor_view(name, from_slot);
  settle_nor_view(name, to_slot);
  if (ota_flush_and_drop_cache(OTA_NOR_DEV, from, pair.length) != 0 ||
      !write_nor_copy(from, to, pair.length)) {
    OTA_LOG_ERR("NOR copy of %s from slot %c to slot %c failed\n", name, slot_letter(from_slot),
                slot_letter(to_slot));
    return -1;
  }
  const int32_t proven = prove_nor_copy(name, from, to, pair.length);
  settle_nor_view(name, to_slot);
  return proven;
}

// The message of the plain copy for a failure of the pipeline's writer.
void log_pipe_fault(const ota::BurnPipeline& pipe, const char* to) {
  if (pipe.fault() == ota::PipeFault::sync) {
    OTA_LOG_ERR("sync %s failed: %s\n", to, std::strerror(pipe.error()));
  } else {
    OTA_LOG_ERR("write %s image error\n", to);
  }
}

// Reads `from` to its end into the pipeline's chunks, hashing each chunk as read.
bool feed_copy(int src, const char* from, const char* to, ota::BurnPipeline& pipe,
               ota::CopyProof* proof) {
  for (;;) {
    uint8_t* buf = pipe.slot();
    if (buf == nullptr) {
      log_pipe_fault(pipe, to);
      return false;
    }
    const ssize_t n = ota::read_full(src, buf, ota::kBurnSlotSize);
    if (n < 0) {
      OTA_LOG_ERR("read %s image error\n", from);
      return false;
    }
    if (n == 0) {
      return true;
    }
    MD5Update(&proof->source, buf, static_cast<unsigned int>(n));
    proof->source_bytes += static_cast<uint64_t>(n);
    if (!pipe.push(static_cast<size_t>(n))) {
      log_pipe_fault(pipe, to);
      return false;
    }
  }
}

int32_t copy_emmc(const char* name, int32_t from_slot, int32_t to_slot) {
  const std::string from = std::string(kByName) + name + "_" + slot_letter(from_slot);
  const std::string to = std::string(kByName) + name + "_" + slot_letter(to_slot);
  return ota_copy_device_proven(from.c_str(), to.c_str(), 0);
}

}  // namespace

int32_t ota_mtd_read_attr(uint32_t order, const char* attr, char* out, size_t out_len) {
  char path[128] = {};
  std::snprintf(path, sizeof(path), "%s%u/%s", OTA_MTD_SYSFS, order, attr);
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("nor:%s not found!\n", path);
    return -1;
  }
  char value[33] = {};
  const ssize_t got = ota::read_full(fd.get(), value, 32);
  if (got <= 0) {
    OTA_LOG_ERR("nor:%s read failed!\n", path);
    return -1;
  }
  value[std::strcspn(value, " \n")] = '\0';
  std::snprintf(out, out_len, "%s", value);
  return 0;
}

int32_t ota_list_nor_ab_pairs(std::span<ota_nor_ab_pair_t> out) {
  std::vector<MtdPart> parts;
  for (uint32_t order = 1; order <= kMaxMtdParts && mtd_exists(order); ++order) {
    MtdPart part;
    if (!read_mtd_part(order, &part)) {
      return -1;
    }
    parts.push_back(std::move(part));
  }
  size_t count = 0;
  if (!pair_parts(parts, out, &count)) {
    return -1;
  }
  return static_cast<int32_t>(count);
}

int32_t ota_copy_ab_partition(const char* name, ota_medium_e medium, int32_t from_slot,
                              int32_t to_slot) {
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr ||
      (from_slot != 0 && from_slot != 1) || (to_slot != 0 && to_slot != 1) ||
      from_slot == to_slot) {
    OTA_LOG_ERR("A/B copy of %s from slot %d to slot %d refused: bad name or slots\n",
                name == nullptr ? "(null)" : name, from_slot, to_slot);
    return -1;
  }
  OTA_LOG_INFO("copy %s %s from slot %c to slot %c\n", medium == OTA_NOR ? "NOR" : "eMMC", name,
               slot_letter(from_slot), slot_letter(to_slot));
  return medium == OTA_NOR ? copy_nor(name, from_slot, to_slot)
                           : copy_emmc(name, from_slot, to_slot);
}

int32_t ota_copy_device_proven(const char* from, const char* to, int32_t garbage) {
  if (garbage == 0) {
    ota::CopyProof proof;
    if (copy_part_proven(from, to, &proof) != 0) {
      OTA_LOG_ERR("copy %s to %s failed\n", from == nullptr ? "(null)" : from,
                  to == nullptr ? "(null)" : to);
      return -1;
    }
    if (ota_check_copied_partition_md5(from, to, proof) != 0) {
      OTA_LOG_ERR("copy %s to %s is not proven: md5 differs\n", from, to);
      return -1;
    }
    return 0;
  }
  if (copy_part(from, to) != 0) {
    OTA_LOG_ERR("copy %s to %s failed\n", from == nullptr ? "(null)" : from,
                to == nullptr ? "(null)" : to);
    return -1;
  }
  if (ota_check_two_partition_md5(from, to, garbage) != 0) {
    OTA_LOG_ERR("copy %s to %s is not proven: md5 differs\n", from, to);
    return -1;
  }
  return 0;
}

int32_t copy_part(const char* part1, const char* part2) {
  ota_file_info_t source{};
  ota_file_info_t dest{};
  source.size = UINT64_MAX;
  source.medium = OTA_EMMC;
  dest.medium = OTA_EMMC;
  if (part1 == nullptr || part2 == nullptr ||
      std::snprintf(source.path, sizeof(source.path), "%s", part1) >=
          static_cast<int>(sizeof(source.path)) ||
      std::snprintf(dest.path, sizeof(dest.path), "%s", part2) >=
          static_cast<int>(sizeof(dest.path))) {
    OTA_LOG_ERR("copy_part: bad device path\n");
    return -1;
  }
  return ota_file_to_file(&source, &dest, nullptr) < 0 ? -1 : 0;
}

int32_t copy_part_proven(const char* part1, const char* part2, ota::CopyProof* proof) {
  if (part1 == nullptr || part2 == nullptr || proof == nullptr) {
    OTA_LOG_ERR("copy_part: bad device path\n");
    return -1;
  }
  const ota::UniqueFd src = ota::open_fd(part1, O_RDONLY);
  if (!src) {
    OTA_LOG_ERR("open file: %s failed\n", part1);
    return -1;
  }
  ota::UniqueFd dst = ota::open_fd(part2, O_WRONLY);
  if (!dst) {
    OTA_LOG_ERR("open file:%s failed\n", part2);
    return -1;
  }
  // The source's digest is taken from the copy's own read: that read must come from the
  // medium, not from pages an earlier reader or writer left in the cache.
  if (ota_flush_and_drop_cache(part1, 0, 0) != 0) {
    return -1;
  }
  (void)::posix_fadvise(src.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  *proof = ota::CopyProof{};
  {
    ota::BurnPipeline pipe(dst.get(), part2, &proof->dest);
    if (!pipe.ready() || !feed_copy(src.get(), part1, part2, pipe, proof)) {
      return -1;
    }
    if (!pipe.finish()) {
      log_pipe_fault(pipe, part2);
      return -1;
    }
  }
  if (dst.close() != 0) {
    OTA_LOG_ERR("close %s failed: %s\n", part2, std::strerror(errno));
    return -1;
  }
  return 0;
}
