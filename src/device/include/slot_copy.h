// Proven copies between the two slots of an A/B partition, and between a security
// partition and its backup, done by the engine itself: copied, flushed, then both sides
// hashed as they lie on the medium and compared. Shared by the worker (the untouched
// partitions of a new slot) and the client library (the partition sync).
//
// eMMC partitions are whole devices under "/dev/block/platform/by-name/". NOR partitions
// are ranges of the NOR device "/dev/mtd0" at the offsets the MTD driver publishes in
// sysfs; each MTD partition is 2048 bytes longer than its data, and those trailing bytes
// belong to the boot firmware, so a copy moves only the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "ota_types.h"

namespace ota {
struct CopyProof;
}

inline constexpr const char* OTA_NOR_DEV = "/dev/mtd0";
inline constexpr const char* OTA_MTD_SYSFS = "/sys/class/mtd/mtd";
inline constexpr uint32_t OTA_NOR_SIZE_PAD = 2048;  // added to the size the MTD driver shows
inline constexpr size_t OTA_NOR_AB_MAX = 16;
inline constexpr size_t OTA_NOR_NAME_LEN = 32;

// One NOR A/B pair: base name (suffix removed), the byte offsets of the "_a" and "_b"
// partitions on the NOR device, and the data length (MTD size less the 2048-byte pad).
struct ota_nor_ab_pair_t {
  char base[OTA_NOR_NAME_LEN];
  uint64_t offset_a;
  uint64_t offset_b;
  uint64_t length;
};

// Reads the sysfs attribute `attr` of MTD partition `order` ("/sys/class/mtd/mtd%d/%s"),
// cut at the first blank or line feed, into `out` (at most 32 characters). 0, or -1 after
// "nor:%s not found!" / "nor:%s read failed!".
[[nodiscard]] int32_t ota_mtd_read_attr(uint32_t order, const char* attr, char* out,
                                        size_t out_len);

// The NOR A/B pairs of the board in MTD order (an "_a" partition with a "_b" partner of
// the same data length). The count, or -1 when sysfs cannot be read or more pairs than
// `out` holds exist.
[[nodiscard]] int32_t ota_list_nor_ab_pairs(std::span<ota_nor_ab_pair_t> out);

// Copies A/B partition `name` from slot `from_slot` to slot `to_slot` (0 = A, 1 = B) on
// its medium and proves the copy by MD5 of both sides. 0, or -1 with the reason logged.
[[nodiscard]] int32_t ota_copy_ab_partition(const char* name, ota_medium_e medium,
                                            int32_t from_slot, int32_t to_slot);

// Copies device `from` over device `to` (whole source), flushed, then compares the MD5 of
// both devices less `garbage` trailing bytes (ota_check_two_partition_md5). 0 or -1.
[[nodiscard]] int32_t ota_copy_device_proven(const char* from, const char* to, int32_t garbage);

// Device to device, the whole source, in eMMC chunks; durable. 0 or -1.
[[nodiscard]] int32_t copy_part(const char* part1, const char* part2);
// copy_part overlapped with its proof: the source is read from the medium (its cached
// pages dropped first) on the caller's thread and hashed from that read, while the burn
// pipeline writes the destination and reads back what it wrote. Same messages and results
// as copy_part; ota_check_copied_partition_md5 then compares the two digests.
[[nodiscard]] int32_t copy_part_proven(const char* part1, const char* part2, ota::CopyProof* proof);
