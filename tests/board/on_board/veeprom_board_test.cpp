// The OTA status and anti-rollback records in the veeprom partition of a virtual board.
#include <gtest/gtest.h>

#include <cstring>

#include "board_records.h"
#include "crc.h"

namespace {

using namespace board_io;
using namespace board_records;

// A valid record with every field set, as an earlier update would have left it.
ota_status_t busy_status() {
  ota_status_t s{};
  s.magic = OTA_STATUS_MAGIC;
  s.up = OTA_FLAG_VERIFY;
  s.up_system = OTA_FLAG_VERIFY;
  s.up_backup = OTA_FLAG_VERIFY;
  s.up_app = OTA_FLAG_BURN;
  s.up_middleware = OTA_FLAG_BURN;
  s.up_param = OTA_FLAG_VERIFIED;
  s.owner = OTA_SERVICE;
  s.next_slot = 1;
  s.update_part.num = 3;
  std::strcpy(s.update_part.array[0], "boot");
  std::strcpy(s.update_part.array[1], "system");
  std::strcpy(s.update_part.array[2], "HSM_FW");
  for (uint8_t& b : s.reserved) {
    b = 0x5A;
  }
  return s;
}

// A blank partition (all 0xFF or all zero) reads as a fresh record: magic "SATO", every
// flag 0, owner 0, next slot the booted slot, written back with a valid CRC.
TEST(VeepromBoard, BlankPartitionReadsAsFreshRecord) {
  ASSERT_EQ(ota_set_next_expected_slot(1), 0);
  ASSERT_EQ(reboot(), 0);
  for (const uint8_t blank : {uint8_t{0xFF}, uint8_t{0x00}}) {
    write_dev(kVeeprom, 0, filled(4096, blank));
    ota_test::clear_log_records();
    ota_update_flag_e up = OTA_FLAG_VERIFIED;
    ASSERT_EQ(ota_get_up_status(&up), 0);
    EXPECT_EQ(up, OTA_FLAG_NORMAL);
    EXPECT_TRUE(ota_test::log_contains("magic number is wrong"));
    EXPECT_TRUE(ota_test::log_contains("OTA status in veeprom is invalid, init"));
    const auto raw = read_dev(kVeeprom, OTA_STATUS_OFFSET, sizeof(ota_status_t));
    EXPECT_EQ(std::memcmp(raw.data(), "SATO", 4), 0);
    for (size_t offset = 4; offset < 32; offset += 4) {
      EXPECT_EQ(le32(raw, offset), 0U) << "blank " << int(blank) << " offset " << offset;
    }
    EXPECT_EQ(le32(raw, 32), 1U);  // next slot: booted from b
    EXPECT_EQ(le32(raw, 36), 0U);
    EXPECT_EQ(le32(raw, 1352), CRC32(raw.data(), 1352));
    // Nothing outside the record was touched.
    EXPECT_EQ(read_dev(kVeeprom, 0, OTA_STATUS_OFFSET), filled(OTA_STATUS_OFFSET, blank));
  }
}

// The status record now, after checking that nothing but [offset, offset + len) changed
// since `before` and that the CRC covers the new bytes.
std::vector<uint8_t> only_field_changed(const std::vector<uint8_t>& before, size_t offset,
                                        size_t len) {
  const auto after = read_dev(kVeeprom, OTA_STATUS_OFFSET, sizeof(ota_status_t));
  for (size_t i = 0; i < OTA_STATUS_CRC_LEN; ++i) {
    EXPECT_TRUE((i >= offset && i < offset + len) || after[i] == before[i]) << "byte " << i;
  }
  EXPECT_EQ(le32(after, OTA_STATUS_CRC_LEN), CRC32(after.data(), OTA_STATUS_CRC_LEN));
  return after;
}

// Each typed setter changes its own field on disk only; its getter reads it back.
TEST(VeepromBoard, EachSetterWritesOnlyItsField) {
  const struct {
    const char* name;
    int32_t (*set)(ota_update_flag_e);
    int32_t (*get)(ota_update_flag_e*);
    size_t offset;
    ota_update_flag_e value;
  } flags[] = {
      {"up", ota_set_up_status, ota_get_up_status, 4, OTA_FLAG_BURN},
      {"system", ota_set_system_up_status, ota_get_system_up_status, 8, OTA_FLAG_VERIFY},
      {"backup", ota_set_backup_up_status, ota_get_backup_up_status, 12, OTA_FLAG_VERIFIED},
      {"app", ota_set_app_up_status, ota_get_app_up_status, 16, OTA_FLAG_VERIFY},
      {"middleware", ota_set_middleware_up_status, ota_get_middleware_up_status, 20,
       OTA_FLAG_VERIFIED},
      {"param", ota_set_param_up_status, ota_get_param_up_status, 24, OTA_FLAG_BURN},
  };
  ota_update_flag_e first{};
  ASSERT_EQ(ota_get_up_status(&first), 0);  // a fresh board's record is made on first use
  auto before = read_dev(kVeeprom, OTA_STATUS_OFFSET, sizeof(ota_status_t));
  for (const auto& f : flags) {
    SCOPED_TRACE(f.name);
    ASSERT_EQ(f.set(f.value), 0);
    before = only_field_changed(before, f.offset, 4);
    EXPECT_EQ(le32(before, f.offset), static_cast<uint32_t>(f.value));
    ota_update_flag_e back{};
    ASSERT_EQ(f.get(&back), 0);
    EXPECT_EQ(back, f.value);
  }
  ASSERT_EQ(ota_set_owner(OTA_SERVICE), 0);
  before = only_field_changed(before, 28, 4);
  ota_update_owner_e owner{};
  ASSERT_EQ(ota_get_owner(&owner), 0);
  EXPECT_EQ(owner, OTA_SERVICE);
  EXPECT_EQ(ota_process_owner(), OTA_SERVICE);
  ASSERT_EQ(ota_set_next_slot(1), 0);
  before = only_field_changed(before, 32, 4);
  EXPECT_EQ(le32(before, 32), 1U);
  update_part_t parts = busy_status().update_part;
  parts.medium[2] = OTA_EMMC;
  parts.type[2] = BAK;
  ASSERT_EQ(ota_set_part_array(&parts), 0);
  (void)only_field_changed(before, 36, sizeof(update_part_t));
  update_part_t back{};
  ASSERT_EQ(ota_get_part_array(&back), 0);
  EXPECT_EQ(std::memcmp(&back, &parts, sizeof(parts)), 0);
}

// A record with the right magic but one changed byte in the partition list is reset;
// the m2b flag and the reserved bytes survive, the list is emptied.
TEST(VeepromBoard, DamagedRecordResetKeepsM2bAndReserved) {
  put_status_on_disk(busy_status());
  auto raw = read_dev(kVeeprom, OTA_STATUS_OFFSET, sizeof(ota_status_t));
  raw[36 + 4 + 1] ^= 0x20;  // "boot" becomes "bOot"
  write_dev(kVeeprom, OTA_STATUS_OFFSET, raw);

  ota_update_flag_e up{};
  ASSERT_EQ(ota_get_up_status(&up), 0);
  EXPECT_EQ(up, OTA_FLAG_NORMAL);
  EXPECT_TRUE(ota_test::log_contains("veeprom crc, oricrc["));
  ota_status_t disk = status_on_disk();
  EXPECT_EQ(is_ota_status_valid(&disk), 0);
  EXPECT_EQ(disk.up_backup, OTA_FLAG_VERIFY);
  EXPECT_EQ(disk.reserved[0], 0x5A);
  EXPECT_EQ(disk.reserved[31], 0x5A);
  EXPECT_EQ(disk.update_part.num, 0U);
  EXPECT_EQ(disk.owner, NORMAL_BOOT);
  EXPECT_EQ(disk.up_middleware, OTA_FLAG_NORMAL);
}

// The anti-rollback record reads back as written; a flipped byte reads as -1 with a
// zeroed record and the partition is left as it is.
TEST(VeepromBoard, AntiRollbackRecord) {
  antirollback_ver_t ver{};
  ver.hsm_up_flag = 1;
  ver.host_up_flag = 1;
  ver.hsm_ver = 7;
  ver.host_ver = 0x00020003;
  ASSERT_EQ(ota_set_anti_ver_veeprom(&ver), 0);
  const auto stored = read_dev(kVeeprom, OTA_ANTI_VER_OFFSET, 16);
  EXPECT_EQ(le32(stored, 12), CRC32(stored.data(), 12));
  EXPECT_EQ(le32(stored, 12), ver.crc32_le);
  antirollback_ver_t back{};
  ASSERT_EQ(ota_get_anti_ver_veeprom(&back), 0);
  EXPECT_EQ(std::memcmp(&back, &ver, sizeof(ver)), 0);

  for (const size_t at : {size_t{0}, size_t{4}, size_t{9}, size_t{14}}) {
    auto damaged = stored;
    damaged[at] ^= 0x01;
    write_dev(kVeeprom, OTA_ANTI_VER_OFFSET, damaged);
    std::memset(&back, 0xEE, sizeof(back));
    EXPECT_EQ(ota_get_anti_ver_veeprom(&back), -1) << at;
    EXPECT_EQ(std::memcmp(&back, filled(16, 0).data(), 16), 0) << at;
    EXPECT_EQ(read_dev(kVeeprom, OTA_ANTI_VER_OFFSET, 16), damaged) << at;
  }
}

// Defaults clear everything but the m2b flag, zero the reserved bytes and write a zero
// anti-rollback record with its CRC.
TEST(VeepromBoard, DefaultsKeepOnlyM2b) {
  put_status_on_disk(busy_status());
  antirollback_ver_t ver{};
  ver.hsm_ver = 9;
  ASSERT_EQ(ota_set_anti_ver_veeprom(&ver), 0);

  ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
  ota_status_t disk = status_on_disk();
  EXPECT_EQ(is_ota_status_valid(&disk), 0);
  EXPECT_EQ(disk.up_backup, OTA_FLAG_VERIFY);
  EXPECT_EQ(disk.up, OTA_FLAG_NORMAL);
  EXPECT_EQ(disk.up_system, OTA_FLAG_NORMAL);
  EXPECT_EQ(disk.up_param, OTA_FLAG_NORMAL);
  EXPECT_EQ(disk.owner, NORMAL_BOOT);
  EXPECT_EQ(disk.next_slot, 0U);
  EXPECT_EQ(disk.update_part.num, 0U);
  EXPECT_EQ(std::memcmp(disk.reserved, filled(32, 0).data(), 32), 0);
  const auto anti = read_dev(kVeeprom, OTA_ANTI_VER_OFFSET, 16);
  const uint8_t zeros[12] = {};
  EXPECT_EQ(std::vector<uint8_t>(anti.begin(), anti.begin() + 12), filled(12, 0));
  EXPECT_EQ(le32(anti, 12), CRC32(zeros, 12));
}

// A reset needs the booted slot: without it the access fails and the blank partition is
// left as it was.
TEST(VeepromBoard, ResetWithoutBootedSlotWritesNothing) {
  write_dev(kVeeprom, 0, filled(4096, 0xFF));
  set_cmdline("console=ttyS0 mirvoboot.mode=normal\n");
  ota_update_flag_e up{};
  EXPECT_LT(ota_get_up_status(&up), 0);
  EXPECT_LT(ota_set_owner(OTA_TOOL), 0);
  EXPECT_TRUE(ota_test::log_contains("get ota status failed"));
  EXPECT_EQ(read_dev(kVeeprom, 0, 4096), filled(4096, 0xFF));
}

}  // namespace
