#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "crc.h"
#include "le_bytes.h"
#include "progress_record.h"

namespace {

constexpr std::array<uint8_t, 8> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};

// Each width reads the first byte as its lowest (big-endian: highest), whatever the
// host's order, during constant evaluation as at run time.
static_assert(ota::load_le16(kBytes.data()) == 0x0201);
static_assert(ota::load_le32(kBytes.data()) == 0x04030201U);
static_assert(ota::load_le64(kBytes.data()) == 0x8807060504030201ULL);
static_assert(ota::load_be64(kBytes.data()) == 0x0102030405060788ULL);

// A store writes back the bytes a load read, for every width.
TEST(LeBytesTest, LoadsAndStoresAtRunTime) {
  const std::array<uint8_t, 8> in = kBytes;  // not a constant: the run-time path
  EXPECT_EQ(ota::load_le16(in.data()), 0x0201);
  EXPECT_EQ(ota::load_le32(in.data()), 0x04030201U);
  EXPECT_EQ(ota::load_le64(in.data()), 0x8807060504030201ULL);
  EXPECT_EQ(ota::load_be64(in.data()), 0x0102030405060788ULL);
  std::array<uint8_t, 8> out{};
  ota::store_le16(out.data(), 0x0201);
  ota::store_le32(out.data() + 2, 0x06050403U);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6),
            std::vector<uint8_t>(kBytes.begin(), kBytes.begin() + 6));
  ota::store_le64(out.data(), ota::load_le64(kBytes.data()));
  EXPECT_EQ(out, kBytes);
}

// The standard check values of both CRCs (the boot control block's CRC is pinned in its
// own test).
TEST(CrcTest, CheckValues) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(CRC32(digits, 9), 0xCBF43926U);
  EXPECT_EQ(CRC16(digits, 9), 0x29B1);
  EXPECT_EQ(CRC32(digits, 0), 0U);
  EXPECT_EQ(CRC16(digits, 0), 0xFFFF);
}

// What one side encodes the other decodes unchanged, for each result and name length; the
// result and the percentage travel as little-endian words at bytes 64 and 68, whatever the
// host's byte order.
TEST(ProgressRecordTest, DecodeInvertsEncode) {
  const struct {
    const char* name;
    ota_update_result_e result;
    uint32_t progress;
  } rows[] = {{"None", UPGRADE_NOT_START, 0},
              {"boot", UPGRADE_FAILED, 0x01020354},
              {"system", UPGRADE_IN_PROGRESS, 42},
              {"", UPGRADE_SUCCESS, 100},
              {"a-name-of-exactly-sixty-three-characters-fills-the-field-up-to-", UPGRADE_FAILED,
               0xFFFFFFFFU}};
  for (const auto& row : rows) {
    ota_upgrade_info in{};
    std::strncpy(in.part_name, row.name, sizeof(in.part_name) - 1);
    in.result = row.result;
    in.progress = row.progress;
    std::array<uint8_t, OTA_PROGRESS_RECORD_SIZE> wire{};
    ota_upgrade_info_encode(in, wire.data());
    EXPECT_EQ(std::memcmp(wire.data(), row.name, std::strlen(row.name) + 1), 0) << row.name;
    EXPECT_EQ(ota::load_le32(wire.data() + 64), static_cast<uint32_t>(row.result)) << row.name;
    EXPECT_EQ(ota::load_le32(wire.data() + 68), row.progress) << row.name;
    const ota_upgrade_info out = ota_upgrade_info_decode(wire.data());
    EXPECT_STREQ(out.part_name, row.name);
    EXPECT_EQ(out.result, row.result) << row.name;
    EXPECT_EQ(out.progress, row.progress) << row.name;
  }
}

// A writer that fills all 64 name bytes still yields a terminated name of 63.
TEST(ProgressRecordTest, UnterminatedNameIsCutAt63) {
  std::array<uint8_t, OTA_PROGRESS_RECORD_SIZE> wire{};
  std::memset(wire.data(), 'x', OTA_PROGRESS_NAME_LEN);
  const ota_upgrade_info out = ota_upgrade_info_decode(wire.data());
  EXPECT_EQ(std::strlen(out.part_name), OTA_PROGRESS_NAME_LEN - 1);
}

}  // namespace
