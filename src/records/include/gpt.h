// GUID partition table records of the eMMC disk (UEFI layout, little-endian on disk):
// the header at LBA 1 (and its backup copy in the last LBA) and the 128-byte entries
// of the partition entry array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "le_bytes.h"

inline constexpr uint64_t GPT_SIGNATURE = 0x5452415020494645ULL;  // "EFI PART" on disk
inline constexpr uint32_t GPT_REVISION = 0x00010000;
inline constexpr uint32_t GPT_HEADER_SIZE = 92;
inline constexpr uint32_t GPT_ENTRY_SIZE = 128;
inline constexpr uint32_t GPT_ENTRY_COUNT = 128;
inline constexpr uint32_t GPT_ENTRY_ARRAY_SIZE = GPT_ENTRY_SIZE * GPT_ENTRY_COUNT;  // 16384
inline constexpr size_t GPT_NAME_UNITS = 36;  // UTF-16 code units of a partition name

struct gpt_header {
  uint64_t signature;
  uint32_t revision;
  uint32_t header_size;
  uint32_t header_crc32;
  uint32_t reserved1;
  uint64_t my_lba;
  uint64_t alternate_lba;
  uint64_t first_usable_lba;
  uint64_t last_usable_lba;
  uint8_t disk_guid[16];
  uint64_t partition_entry_lba;
  uint32_t num_partition_entries;
  uint32_t sizeof_partition_entry;
  uint32_t partition_entry_array_crc32;
} __attribute__((packed));
static_assert(sizeof(gpt_header) == GPT_HEADER_SIZE);
static_assert(offsetof(gpt_header, signature) == 0);
static_assert(offsetof(gpt_header, revision) == 8);
static_assert(offsetof(gpt_header, header_size) == 12);
static_assert(offsetof(gpt_header, header_crc32) == 16);
static_assert(offsetof(gpt_header, reserved1) == 20);
static_assert(offsetof(gpt_header, my_lba) == 24);
static_assert(offsetof(gpt_header, alternate_lba) == 32);
static_assert(offsetof(gpt_header, first_usable_lba) == 40);
static_assert(offsetof(gpt_header, last_usable_lba) == 48);
static_assert(offsetof(gpt_header, disk_guid) == 56);
static_assert(offsetof(gpt_header, partition_entry_lba) == 72);
static_assert(offsetof(gpt_header, num_partition_entries) == 80);
static_assert(offsetof(gpt_header, sizeof_partition_entry) == 84);
static_assert(offsetof(gpt_header, partition_entry_array_crc32) == 88);
static_assert(std::is_trivially_copyable_v<gpt_header>);

struct gpt_entry {
  uint64_t part_type_guid_low;
  uint64_t part_type_guid_high;
  uint64_t uuid_low;
  uint64_t uuid_high;
  uint64_t start_lba;
  uint64_t end_lba;  // inclusive
  uint64_t attrs;
  uint16_t part_name[GPT_NAME_UNITS];  // UTF-16LE, zero-padded
};
static_assert(sizeof(gpt_entry) == GPT_ENTRY_SIZE);
static_assert(offsetof(gpt_entry, part_type_guid_low) == 0);
static_assert(offsetof(gpt_entry, part_type_guid_high) == 8);
static_assert(offsetof(gpt_entry, uuid_low) == 16);
static_assert(offsetof(gpt_entry, uuid_high) == 24);
static_assert(offsetof(gpt_entry, start_lba) == 32);
static_assert(offsetof(gpt_entry, end_lba) == 40);
static_assert(offsetof(gpt_entry, attrs) == 48);
static_assert(offsetof(gpt_entry, part_name) == 56);
static_assert(std::is_trivially_copyable_v<gpt_entry>);

// Record codecs: false when the buffer is too small.
[[nodiscard]] inline bool encode(const gpt_header& h, std::span<uint8_t> out) {
  using namespace ota;
  if (out.size() < GPT_HEADER_SIZE) {
    return false;
  }
  uint8_t* p = out.data();
  store_le64(p + offsetof(gpt_header, signature), h.signature);
  store_le32(p + offsetof(gpt_header, revision), h.revision);
  store_le32(p + offsetof(gpt_header, header_size), h.header_size);
  store_le32(p + offsetof(gpt_header, header_crc32), h.header_crc32);
  store_le32(p + offsetof(gpt_header, reserved1), h.reserved1);
  store_le64(p + offsetof(gpt_header, my_lba), h.my_lba);
  store_le64(p + offsetof(gpt_header, alternate_lba), h.alternate_lba);
  store_le64(p + offsetof(gpt_header, first_usable_lba), h.first_usable_lba);
  store_le64(p + offsetof(gpt_header, last_usable_lba), h.last_usable_lba);
  std::memcpy(p + offsetof(gpt_header, disk_guid), h.disk_guid, sizeof(h.disk_guid));
  store_le64(p + offsetof(gpt_header, partition_entry_lba), h.partition_entry_lba);
  store_le32(p + offsetof(gpt_header, num_partition_entries), h.num_partition_entries);
  store_le32(p + offsetof(gpt_header, sizeof_partition_entry), h.sizeof_partition_entry);
  store_le32(p + offsetof(gpt_header, partition_entry_array_crc32), h.partition_entry_array_crc32);
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, gpt_header* h) {
  using namespace ota;
  if (h == nullptr || in.size() < GPT_HEADER_SIZE) {
    return false;
  }
  const uint8_t* p = in.data();
  h->signature = load_le64(p + offsetof(gpt_header, signature));
  h->revision = load_le32(p + offsetof(gpt_header, revision));
  h->header_size = load_le32(p + offsetof(gpt_header, header_size));
  h->header_crc32 = load_le32(p + offsetof(gpt_header, header_crc32));
  h->reserved1 = load_le32(p + offsetof(gpt_header, reserved1));
  h->my_lba = load_le64(p + offsetof(gpt_header, my_lba));
  h->alternate_lba = load_le64(p + offsetof(gpt_header, alternate_lba));
  h->first_usable_lba = load_le64(p + offsetof(gpt_header, first_usable_lba));
  h->last_usable_lba = load_le64(p + offsetof(gpt_header, last_usable_lba));
  std::memcpy(h->disk_guid, p + offsetof(gpt_header, disk_guid), sizeof(h->disk_guid));
  h->partition_entry_lba = load_le64(p + offsetof(gpt_header, partition_entry_lba));
  h->num_partition_entries = load_le32(p + offsetof(gpt_header, num_partition_entries));
  h->sizeof_partition_entry = load_le32(p + offsetof(gpt_header, sizeof_partition_entry));
  h->partition_entry_array_crc32 = load_le32(p + offsetof(gpt_header, partition_entry_array_crc32));
  return true;
}

[[nodiscard]] inline bool encode(const gpt_entry& e, std::span<uint8_t> out) {
  using namespace ota;
  if (out.size() < GPT_ENTRY_SIZE) {
    return false;
  }
  uint8_t* p = out.data();
  store_le64(p + offsetof(gpt_entry, part_type_guid_low), e.part_type_guid_low);
  store_le64(p + offsetof(gpt_entry, part_type_guid_high), e.part_type_guid_high);
  store_le64(p + offsetof(gpt_entry, uuid_low), e.uuid_low);
  store_le64(p + offsetof(gpt_entry, uuid_high), e.uuid_high);
  store_le64(p + offsetof(gpt_entry, start_lba), e.start_lba);
  store_le64(p + offsetof(gpt_entry, end_lba), e.end_lba);
  store_le64(p + offsetof(gpt_entry, attrs), e.attrs);
  for (size_t i = 0; i < GPT_NAME_UNITS; ++i) {
    store_le16(p + offsetof(gpt_entry, part_name) + 2 * i, e.part_name[i]);
  }
  return true;
}

[[nodiscard]] inline bool decode(std::span<const uint8_t> in, gpt_entry* e) {
  using namespace ota;
  if (e == nullptr || in.size() < GPT_ENTRY_SIZE) {
    return false;
  }
  const uint8_t* p = in.data();
  e->part_type_guid_low = load_le64(p + offsetof(gpt_entry, part_type_guid_low));
  e->part_type_guid_high = load_le64(p + offsetof(gpt_entry, part_type_guid_high));
  e->uuid_low = load_le64(p + offsetof(gpt_entry, uuid_low));
  e->uuid_high = load_le64(p + offsetof(gpt_entry, uuid_high));
  e->start_lba = load_le64(p + offsetof(gpt_entry, start_lba));
  e->end_lba = load_le64(p + offsetof(gpt_entry, end_lba));
  e->attrs = load_le64(p + offsetof(gpt_entry, attrs));
  for (size_t i = 0; i < GPT_NAME_UNITS; ++i) {
    e->part_name[i] = load_le16(p + offsetof(gpt_entry, part_name) + 2 * i);
  }
  return true;
}

// Sets an entry's name from ASCII text; false when it does not fit 36 units.
[[nodiscard]] inline bool gpt_set_name(gpt_entry* e, std::string_view name) {
  if (e == nullptr || name.size() > GPT_NAME_UNITS) {
    return false;
  }
  std::memset(e->part_name, 0, sizeof(e->part_name));
  for (size_t i = 0; i < name.size(); ++i) {
    e->part_name[i] = static_cast<unsigned char>(name[i]);
  }
  return true;
}

// The entry's name as text, up to its first zero unit; units above 0x7F become '?'.
[[nodiscard]] inline std::string gpt_name(const gpt_entry& e) {
  std::string out;
  for (size_t i = 0; i < GPT_NAME_UNITS && e.part_name[i] != 0; ++i) {
    out.push_back(e.part_name[i] < 0x80 ? static_cast<char>(e.part_name[i]) : '?');
  }
  return out;
}
