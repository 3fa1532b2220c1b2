#include "flash_cmd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

// A template as the board ships it: magic, some command kind, the data area size in the
// word at offset 12, and signature bytes that must reach the record unchanged.
std::vector<uint8_t> make_template(uint32_t area, uint32_t magic = FLASHCMD_MAGIC) {
  std::vector<uint8_t> tmpl(FLASHCMD_TEMPLATE_SIZE);
  for (size_t i = 0; i < tmpl.size(); ++i) {
    tmpl[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  ota::store_le32(tmpl.data(), magic);
  ota::store_le32(tmpl.data() + FLASHCMD_DATA_SIZE_OFFSET, area);
  return tmpl;
}

bool all_zero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  return std::all_of(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to),
                     [](uint8_t b) { return b == 0; });
}

// The record is the template, the data area of data commands, and 4 zero bytes; data that
// does not fit the template's area is refused, even when a 32-bit sum would wrap.
TEST(FlashCmdTest, SizeAndPlacement) {
  const struct {
    const char* cmd;
    uint32_t area;
    uint32_t data_len;
    uint32_t offset;
    int32_t result;
    size_t record_size;
  } cases[] = {
      // The boot control block at data offset 2048: bytes 4320..4351 of 6372.
      {"misc_write_cmd", 4096, 32, 2048, 0, 6372},
      {"misc_write_cmd", 2079, 32, 2048, -1, 0},  // 2048 + 32 = 2080 > 2079
      {"misc_write_cmd", 2080, 32, 2048, 0, 2272 + 2080 + 4},
      {"other_a2b_cmd", 200, 200, 0, 0, 2272 + 200 + 4},
      {"other_b2a_cmd", 200, 200, 0, 0, 2272 + 200 + 4},
      // Wraps to 0x10 as a 32-bit sum; must still be refused.
      {"misc_write_cmd", 4096, 0xFFFFFFF0U, 0x20, -1, 0},
      {"misc_write_cmd", 4096, 0x20, 0xFFFFFFF0U, -1, 0},
      // Commands without data: template plus trailer, whatever the word at 12 says.
      {"aonreg_write_cmd", 4096, 0, 0, 0, 2276},
      {"hsm_m2b_cmd", 0, 0, 0, 0, 2276},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.cmd) + " area " + std::to_string(c.area) + " data " +
                 std::to_string(c.data_len) + " at " + std::to_string(c.offset));
    ota_test::clear_log_records();
    const std::vector<uint8_t> tmpl = make_template(c.area);
    std::vector<uint8_t> data(c.data_len <= 4096 ? c.data_len : 0);
    for (size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    std::vector<uint8_t> record;
    ASSERT_EQ(ota_build_flashcmd(c.cmd, tmpl, data.empty() ? nullptr : data.data(), c.data_len,
                                 c.offset, &record),
              c.result);
    if (c.result != 0) {
      EXPECT_TRUE(ota_test::log_contains("Misc data out of range"));
      EXPECT_TRUE(record.empty());
      continue;
    }
    ASSERT_EQ(record.size(), c.record_size);
    EXPECT_TRUE(std::equal(tmpl.begin(), tmpl.end(), record.begin()));
    const size_t data_at = FLASHCMD_MISCDATA_OFFSET + c.offset;
    if (ota_flashcmd_has_data(c.cmd)) {
      EXPECT_TRUE(
          std::equal(data.begin(), data.end(), record.begin() + static_cast<long>(data_at)));
      EXPECT_TRUE(all_zero(record, FLASHCMD_MISCDATA_OFFSET, data_at));
      EXPECT_TRUE(all_zero(record, data_at + data.size(), record.size()));
    } else {
      EXPECT_TRUE(all_zero(record, FLASHCMD_TEMPLATE_SIZE, record.size()));
    }
  }
}

// A template with any magic other than "DMCF", or too short, yields no record; data
// commands refuse a length without data instead of reading through a null pointer; a
// null command name is a null-pointer error.
TEST(FlashCmdTest, RefusedTemplatesAndArguments) {
  for (const uint32_t magic : {0U, 0x46434D45U, 0x444D4346U, 0xFFFFFFFFU}) {
    std::vector<uint8_t> record;
    ota_test::clear_log_records();
    EXPECT_EQ(
        ota_build_flashcmd("misc_write_cmd", make_template(4096, magic), nullptr, 0, 0, &record),
        -1)
        << std::hex << magic;
    EXPECT_TRUE(record.empty());
    EXPECT_TRUE(ota_test::log_contains("Invalid flash cmd magic"));
  }
  std::vector<uint8_t> record;
  const std::vector<uint8_t> short_tmpl(FLASHCMD_TEMPLATE_SIZE - 1, 0);
  EXPECT_EQ(ota_build_flashcmd("aonreg_write_cmd", short_tmpl, nullptr, 0, 0, &record), -1);
  EXPECT_EQ(ota_build_flashcmd("misc_write_cmd", make_template(4096), nullptr, 32, 0, &record), -1);
  EXPECT_EQ(ota_build_flashcmd(nullptr, make_template(4096), nullptr, 0, 0, &record), -6);
  EXPECT_EQ(ota_write_flashcmd(nullptr, nullptr, 0, 0), -6);
  EXPECT_EQ(notify_mcu(static_cast<msg2mcu>(4)), -10);
}

// Only the three data commands carry a data area (those of the table above); names that
// merely start like one do not.
TEST(FlashCmdTest, NearNamesCarryNoData) {
  for (const char* cmd : {"misc_write_cmd_x", "misc_write", "hsm_b2m_cmd", ""}) {
    EXPECT_FALSE(ota_flashcmd_has_data(cmd)) << cmd;
  }
}

// The record codec puts every word little-endian at its offset, for both partinfo forms.
TEST(FlashCmdTest, RecordCodecRoundTrip) {
  fimage_update_s rec{};
  rec.magic = FLASHCMD_MAGIC;
  rec.cmdtype = 0x01020304;
  rec.partinfo.ab.imagenum = 3;
  rec.partinfo.ab.offsetA[0] = 4096;
  rec.partinfo.ab.offsetB[15] = 0xCAFEBABE;
  rec.partinfo.ab.length[7] = 0x11223344;
  rec.reserved[3] = 0x55667788;
  rec.signlen = 256;
  rec.signdata[0] = 0x99;
  rec.signdata[FLASHCMD_SIGN_SIZE - 1] = 0x77;
  std::array<uint8_t, FLASHCMD_TEMPLATE_SIZE> bytes{};
  ASSERT_TRUE(encode(rec, bytes));
  EXPECT_EQ(std::memcmp(bytes.data(), "DMCF", 4), 0);
  EXPECT_EQ(ota::load_le32(bytes.data() + 4), 0x01020304U);
  EXPECT_EQ(ota::load_le32(bytes.data() + 8), 3U);
  EXPECT_EQ(ota::load_le32(bytes.data() + 12), 4096U);  // also misc.length, the area size
  EXPECT_EQ(ota::load_le32(bytes.data() + 76 + 15 * 4), 0xCAFEBABEU);
  EXPECT_EQ(ota::load_le32(bytes.data() + 140 + 7 * 4), 0x11223344U);
  EXPECT_EQ(ota::load_le32(bytes.data() + 216), 0x55667788U);
  EXPECT_EQ(ota::load_le32(bytes.data() + 220), 256U);
  EXPECT_EQ(bytes[224], 0x99);
  EXPECT_EQ(bytes[2271], 0x77);

  fimage_update_s back{};
  ASSERT_TRUE(decode(bytes, &back));
  EXPECT_EQ(back.partinfo.misc.offset, 3U);
  EXPECT_EQ(back.partinfo.misc.length, 4096U);
  EXPECT_EQ(std::memcmp(&back, &rec, sizeof(rec)), 0);
  EXPECT_FALSE(decode(std::span<const uint8_t>(bytes).first(FLASHCMD_TEMPLATE_SIZE - 1), &back));
  EXPECT_FALSE(encode(rec, std::span<uint8_t>(bytes).first(100)));
}

// The NOR sync table round-trips with its arrays at 8, 72 and 136.
TEST(FlashCmdTest, SyncTableCodecRoundTrip) {
  absync_misc_data table{};
  table.valid_status = ABSYNC_VALID;
  table.imagenum = 16;
  for (uint32_t i = 0; i < FLASHCMD_AB_MAX; ++i) {
    table.offsetA[i] = 0x1000 * i;
    table.offsetB[i] = 0x100000 + i;
    table.length[i] = 0x20000 - i;
  }
  std::array<uint8_t, sizeof(absync_misc_data)> bytes{};
  ASSERT_TRUE(encode(table, bytes));
  EXPECT_EQ(ota::load_le32(bytes.data()), 0xDEADBEEFU);
  EXPECT_EQ(bytes[0], 0xEF);
  EXPECT_EQ(ota::load_le32(bytes.data() + 8 + 4 * 5), 0x5000U);
  EXPECT_EQ(ota::load_le32(bytes.data() + 72 + 4 * 15), 0x10000FU);
  EXPECT_EQ(ota::load_le32(bytes.data() + 136 + 4 * 1), 0x1FFFFU);
  absync_misc_data back{};
  ASSERT_TRUE(decode(bytes, &back));
  EXPECT_EQ(std::memcmp(&back, &table, sizeof(table)), 0);
}

}  // namespace
