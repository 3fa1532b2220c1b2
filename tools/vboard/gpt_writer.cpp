#include "gpt_writer.h"

#include <array>
#include <vector>

#include "crc.h"
#include "gpt.h"

namespace vboard {

namespace {

using ota::board::kSectorSize;

// "Linux filesystem data" type GUID 0FC63DAF-8483-4772-8E79-3D76E47D7DE4 as the two
// little-endian words of its on-disk (mixed-endian) bytes.
constexpr uint64_t kLinuxDataLow = 0x477284830FC63DAFULL;
constexpr uint64_t kLinuxDataHigh = 0xE47D7DE4763D798EULL;

// Stable GUIDs (version 4 layout) so that the same layout gives the same disk.
std::array<uint8_t, 16> guid_for(const std::string& seed) {
  uint64_t h1 = 1469598103934665603ULL;
  uint64_t h2 = 1099511628211ULL * 7;
  for (unsigned char c : seed) {
    h1 = (h1 ^ c) * 1099511628211ULL;
    h2 = (h2 ^ c) * 6364136223846793005ULL + 1442695040888963407ULL;
  }
  std::array<uint8_t, 16> g{};
  ota::store_le64(g.data(), h1);
  ota::store_le64(g.data() + 8, h2);
  g[7] = static_cast<uint8_t>((g[7] & 0x0F) | 0x40);  // version 4 (byte 7 of mixed-endian)
  g[8] = static_cast<uint8_t>((g[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

std::vector<uint8_t> entry_array(const ota::board::Layout& layout) {
  std::vector<uint8_t> arr(GPT_ENTRY_ARRAY_SIZE, 0);
  for (size_t i = 0; i < layout.emmc.size(); ++i) {
    const auto& p = layout.emmc[i];
    gpt_entry e{};
    e.part_type_guid_low = kLinuxDataLow;
    e.part_type_guid_high = kLinuxDataHigh;
    const auto uuid = guid_for("part:" + std::to_string(i) + ":" + p.name);
    e.uuid_low = ota::load_le64(uuid.data());
    e.uuid_high = ota::load_le64(uuid.data() + 8);
    e.start_lba = p.first_lba();
    e.end_lba = p.last_lba();
    (void)gpt_set_name(&e, p.name);  // names are validated to 31 characters
    (void)encode(e, std::span<uint8_t>(arr).subspan(i * GPT_ENTRY_SIZE));
  }
  return arr;
}

std::vector<uint8_t> header_sector(gpt_header h) {
  std::vector<uint8_t> sector(kSectorSize, 0);
  h.header_crc32 = 0;
  (void)encode(h, sector);
  h.header_crc32 = CRC32(sector.data(), GPT_HEADER_SIZE);
  (void)encode(h, sector);
  return sector;
}

std::vector<uint8_t> protective_mbr(uint64_t disk_sectors) {
  std::vector<uint8_t> mbr(kSectorSize, 0);
  uint8_t* part = mbr.data() + 446;
  part[1] = 0x00;  // CHS of LBA 1: head 0, sector 2, cylinder 0
  part[2] = 0x02;
  part[3] = 0x00;
  part[4] = 0xEE;  // GPT protective
  part[5] = 0xFF;
  part[6] = 0xFF;
  part[7] = 0xFF;
  ota::store_le32(part + 8, 1);
  const uint64_t count = disk_sectors - 1;
  ota::store_le32(part + 12, count > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<uint32_t>(count));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return mbr;
}

}  // namespace

Result<void> write_gpt(int fd, const ota::board::Layout& layout) {
  const uint64_t sectors = layout.emmc_size / kSectorSize;
  const uint64_t array_sectors = GPT_ENTRY_ARRAY_SIZE / kSectorSize;  // 32
  const auto entries = entry_array(layout);

  gpt_header h{};
  h.signature = GPT_SIGNATURE;
  h.revision = GPT_REVISION;
  h.header_size = GPT_HEADER_SIZE;
  h.my_lba = 1;
  h.alternate_lba = sectors - 1;
  h.first_usable_lba = 2 + array_sectors;
  h.last_usable_lba = sectors - 2 - array_sectors;
  const auto disk_guid = guid_for("disk");
  std::memcpy(h.disk_guid, disk_guid.data(), sizeof(h.disk_guid));
  h.partition_entry_lba = 2;
  h.num_partition_entries = GPT_ENTRY_COUNT;
  h.sizeof_partition_entry = GPT_ENTRY_SIZE;
  h.partition_entry_array_crc32 = CRC32(entries.data(), entries.size());

  gpt_header backup = h;
  backup.my_lba = sectors - 1;
  backup.alternate_lba = 1;
  backup.partition_entry_lba = sectors - 1 - array_sectors;

  const auto mbr = protective_mbr(sectors);
  const auto primary = header_sector(h);
  const auto secondary = header_sector(backup);
  const std::string what = "partition table";
  for (auto r :
       {pwrite_exact(fd, mbr.data(), mbr.size(), 0, what),
        pwrite_exact(fd, primary.data(), primary.size(), kSectorSize, what),
        pwrite_exact(fd, entries.data(), entries.size(), 2 * kSectorSize, what),
        pwrite_exact(fd, entries.data(), entries.size(), backup.partition_entry_lba * kSectorSize,
                     what),
        pwrite_exact(fd, secondary.data(), secondary.size(), backup.my_lba * kSectorSize, what)}) {
    if (!r) {
      return r;
    }
  }
  return {};
}

}  // namespace vboard
