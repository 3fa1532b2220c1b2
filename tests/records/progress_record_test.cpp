#include "progress_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "le_bytes.h"

namespace {

using Wire = std::array<uint8_t, OTA_PROGRESS_RECORD_SIZE>;

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
    Wire wire{};
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
  Wire wire{};
  std::memset(wire.data(), 'x', OTA_PROGRESS_NAME_LEN);
  const ota_upgrade_info out = ota_upgrade_info_decode(wire.data());
  EXPECT_EQ(std::strlen(out.part_name), OTA_PROGRESS_NAME_LEN - 1);
}

}  // namespace
