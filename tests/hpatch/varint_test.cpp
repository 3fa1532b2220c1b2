#include <gtest/gtest.h>

#include <vector>

#include "varint.h"
#include "varint_writer.h"

namespace {

using ota::hpatch::ByteCursor;
using ota::hpatch::Varint;
using ota::hpatch::VarintStatus;

// Encodings seen in real patches decode to their values, padded ones included; cut-short
// and over-long numbers are reported, never read past the input.
TEST(Varint, DecodesRealEncodings) {
  const struct {
    std::vector<uint8_t> bytes;
    unsigned tag_bits;
    VarintStatus status;
    uint64_t value;
    unsigned tag;
  } cases[] = {
      {{0x81, 0x42}, 0, VarintStatus::kOk, 194, 0},
      {{0xC0, 0x80, 0x00}, 0, VarintStatus::kOk, 1048576, 0},
      {{0x94}, 1, VarintStatus::kOk, 20, 1},
      {{0x21, 0x41}, 2, VarintStatus::kOk, 193, 0},
      {{0x80, 0x00}, 0, VarintStatus::kOk, 0, 0},
      {{0x80, 0x80, 0x34}, 0, VarintStatus::kOk, 52, 0},
      {{0x20, 0xB1, 0xFF, 0x7F}, 2, VarintStatus::kOk, 819199, 0},
      {{0x81, 0x80}, 0, VarintStatus::kTruncated, 0, 0},
      {std::vector<uint8_t>(12, 0xFF), 0, VarintStatus::kOverflow, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ByteCursor cursor(c.bytes);
    Varint v;
    ASSERT_EQ(cursor.varint(c.tag_bits, &v), c.status);
    if (c.status == VarintStatus::kOk) {
      EXPECT_EQ(v.value, c.value);
      EXPECT_EQ(v.tag, c.tag);
      EXPECT_EQ(cursor.remaining(), 0u);
    }
  }
}

// What the differ writes, the applier reads back, for every tag width and magnitude.
TEST(Varint, WriterAndReaderAgree) {
  const uint64_t values[] = {
      0, 1, 31, 32, 63, 64, 127, 128, 16383, 16384, 1ull << 35, (1ull << 57) - 1, UINT64_MAX};
  for (unsigned tag_bits = 0; tag_bits <= 2; ++tag_bits) {
    for (const uint64_t value : values) {
      const unsigned tag = tag_bits == 0 ? 0 : (1u << tag_bits) - 1;
      std::vector<uint8_t> bytes;
      ota::hdiff::pack_varint(bytes, value, tag, tag_bits);
      ByteCursor cursor(bytes);
      Varint v;
      ASSERT_EQ(cursor.varint(tag_bits, &v), VarintStatus::kOk) << value << " k=" << tag_bits;
      EXPECT_EQ(v.value, value);
      EXPECT_EQ(v.tag, tag);
      EXPECT_EQ(cursor.remaining(), 0u);
    }
  }
}

}  // namespace
