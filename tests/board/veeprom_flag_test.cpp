#include "veeprom_flag.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "crc.h"
#include "test_support.h"

namespace {

using StatusBytes = std::array<uint8_t, sizeof(ota_status_t)>;

ota_status_t sample_status() {
  ota_status_t s{};
  s.magic = OTA_STATUS_MAGIC;
  s.up = OTA_FLAG_VERIFY;
  s.up_system = OTA_FLAG_BURN;
  s.up_backup = OTA_FLAG_VERIFIED;
  s.up_app = static_cast<ota_update_flag_e>(0x11);
  s.up_middleware = static_cast<ota_update_flag_e>(0x22);
  s.up_param = OTA_FLAG_BURN;
  s.owner = OTA_SERVICE;
  s.next_slot = 1;
  s.update_part.num = 2;
  std::strcpy(s.update_part.array[0], "boot");
  std::strcpy(s.update_part.array[31], "system");
  s.update_part.medium[0] = OTA_EMMC;
  s.update_part.type[0] = AB;
  s.update_part.medium[31] = OTA_NOR;
  s.update_part.type[31] = PERMANENT;
  s.reserved[0] = 0xAB;
  s.reserved[31] = 0xCD;
  s.crc32_le = 0x01020304;
  return s;
}

// Every field of the status record lies little-endian at its offset; app flag at 16..19,
// middleware at 20..23; decoding gives the same record back.
TEST(VeepromRecordTest, StatusCodecLayout) {
  const ota_status_t s = sample_status();
  StatusBytes bytes{};
  ASSERT_TRUE(encode(s, bytes));
  EXPECT_EQ(std::memcmp(bytes.data(), "SATO", 4), 0);
  // The partition list at 36: names at 40, media at 1064, types at 1192.
  const std::pair<size_t, uint32_t> words[] = {
      {4, 2},  {8, 1},  {12, 3},          {16, 0x11}, {20, 0x22},        {24, 1},           {28, 2},
      {32, 1}, {36, 2}, {1064, OTA_EMMC}, {1192, AB}, {1316, PERMANENT}, {1352, 0x01020304}};
  for (const auto& [offset, value] : words) {
    EXPECT_EQ(ota::load_le32(bytes.data() + offset), value) << "offset " << offset;
  }
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 40), "boot");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 40 + 31 * 32), "system");
  EXPECT_EQ(bytes[1320], 0xAB);
  EXPECT_EQ(bytes[1351], 0xCD);
  EXPECT_EQ(bytes[1352], 0x04);  // least significant byte first

  ota_status_t back{};
  ASSERT_TRUE(decode(bytes, &back));
  EXPECT_EQ(std::memcmp(&back, &s, sizeof(s)), 0);
  EXPECT_FALSE(decode(std::span<const uint8_t>(bytes).first(1355), &back));
}

// The anti-rollback record keeps versions at 4 and 8 and its CRC covers bytes 0..11.
TEST(VeepromRecordTest, AntiRollbackCodecAndCrc) {
  antirollback_ver_t ver{};
  ver.hsm_up_flag = 1;
  ver.host_up_flag = 0;
  ver.hsm_ver = 0x00000105;
  ver.host_ver = 0x0A0B0C0D;
  ver.crc32_le = antirollback_crc(ver);
  std::array<uint8_t, 16> bytes{};
  ASSERT_TRUE(encode(ver, bytes));
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(ota::load_le32(bytes.data() + 4), 0x105U);
  EXPECT_EQ(ota::load_le32(bytes.data() + 8), 0x0A0B0C0DU);
  EXPECT_EQ(ota::load_le32(bytes.data() + 12), CRC32(bytes.data(), 12));
  antirollback_ver_t back{};
  ASSERT_TRUE(decode(bytes, &back));
  EXPECT_EQ(std::memcmp(&back, &ver, sizeof(ver)), 0);
}

// A record is valid only with the magic and a CRC of its first 1352 bytes; a change in
// any checksummed byte (update_part included) invalidates it.
TEST(VeepromRecordTest, Validity) {
  ota_status_t s = sample_status();
  ASSERT_EQ(crc32_calculate(&s), 0);
  StatusBytes bytes{};
  ASSERT_TRUE(encode(s, bytes));
  EXPECT_EQ(s.crc32_le, CRC32(bytes.data(), 1352));
  EXPECT_EQ(is_ota_status_valid(&s), 0);

  for (const size_t offset : {size_t{4}, size_t{36}, size_t{500}, size_t{1300}, size_t{1351}}) {
    StatusBytes damaged = bytes;
    damaged[offset] ^= 0x01;
    ota_status_t d{};
    ASSERT_TRUE(decode(damaged, &d));
    ota_test::clear_log_records();
    EXPECT_EQ(is_ota_status_valid(&d), -1) << offset;
    EXPECT_TRUE(ota_test::log_contains("veeprom crc, oricrc[")) << offset;
  }
  s.magic = 0x4F544154;
  ota_test::clear_log_records();
  EXPECT_EQ(is_ota_status_valid(&s), -1);
  EXPECT_TRUE(ota_test::log_contains("magic number is wrong"));
  EXPECT_EQ(is_ota_status_valid(nullptr), -6);
  EXPECT_EQ(crc32_calculate(nullptr), -6);
}

// Accessors refuse null values and the selectors that address nothing before any access.
TEST(VeepromRecordTest, RefusedArguments) {
  uint32_t value = 1;
  for (const uint32_t flag : {9U, 10U, 12U, 100U}) {
    ota_test::clear_log_records();
    EXPECT_EQ(ota_set_veeprom_flag(static_cast<ota_veeprom_type_e>(flag), &value), -1) << flag;
    EXPECT_EQ(ota_get_veeprom_flag(static_cast<ota_veeprom_type_e>(flag), &value), -1) << flag;
    EXPECT_TRUE(ota_test::log_contains("invalid veeprom flag")) << flag;
  }
  EXPECT_EQ(ota_set_veeprom_flag(OTA_VEEPROM_UPDATE_FLAG, nullptr), -1);
  EXPECT_EQ(ota_get_up_status(nullptr), -1);
  EXPECT_EQ(ota_set_veeprom_flag(OTA_VEEPROM_ANTI_VER, nullptr), -1);
  EXPECT_EQ(ota_set_anti_ver_veeprom(nullptr), -1);
  EXPECT_EQ(ota_get_anti_ver_veeprom(nullptr), -1);
  EXPECT_EQ(ota_write_to_veeprom_force(nullptr, nullptr), -6);
  // A partition list claiming more entries than it holds is never stored.
  update_part_t parts{};
  parts.num = OTA_UPDATE_PART_MAX + 1;
  ota_test::clear_log_records();
  EXPECT_EQ(ota_set_part_array(&parts), -1);
  EXPECT_TRUE(ota_test::log_contains("update part num 33 exceeds 32"));
}

// The recovery path's forced write stamps magic and owner, moves the descriptor to the
// record and writes a valid record there.
TEST(VeepromRecordTest, ForcedWriteToImage) {
  ota_test::TempDir dir;
  const std::string disk = dir.file("disk.img");
  ota_test::write_file(disk, std::string(0x101000, '\xEE'));
  ota_status_t s{};
  s.up = OTA_FLAG_VERIFY;
  ota_file_info_t info{};
  info.offset = 0x100000;
  info.medium = OTA_EMMC;
  std::snprintf(info.path, sizeof(info.path), "%s", disk.c_str());
  ASSERT_EQ(ota_write_to_veeprom_force(&s, &info), 0);
  EXPECT_EQ(info.offset, 0x100400U);
  const std::string image = ota_test::read_file(disk);
  ota_status_t back{};
  ASSERT_TRUE(decode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image.data()) + 0x100400, 1356),
      &back));
  EXPECT_EQ(back.magic, OTA_STATUS_MAGIC);
  EXPECT_EQ(back.owner, OTA_TOOL);
  EXPECT_EQ(back.up, OTA_FLAG_VERIFY);
  EXPECT_EQ(is_ota_status_valid(&back), 0);
}

}  // namespace
