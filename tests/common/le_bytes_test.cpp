#include "le_bytes.h"

#include <gtest/gtest.h>

#include <array>

namespace {

constexpr std::array<uint8_t, 8> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};

// Loads at compile time give the same words as at run time.
static_assert(ota::load_le16(kBytes.data()) == 0x0201);
static_assert(ota::load_le32(kBytes.data()) == 0x04030201U);
static_assert(ota::load_le64(kBytes.data()) == 0x8807060504030201ULL);
static_assert(ota::load_be64(kBytes.data()) == 0x0102030405060788ULL);

// Each width reads the first byte as its lowest (big-endian: highest) and a store writes
// back the bytes it was loaded from, whatever the host's order.
TEST(LeBytesTest, LoadsAndStoresEveryWidth) {
  // Read through a runtime copy so the loads are not folded at compile time.
  volatile uint8_t source[8];
  for (size_t i = 0; i < kBytes.size(); ++i) {
    source[i] = kBytes[i];
  }
  std::array<uint8_t, 8> in{};
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = source[i];
  }
  EXPECT_EQ(ota::load_le16(in.data()), 0x0201);
  EXPECT_EQ(ota::load_le32(in.data()), 0x04030201U);
  EXPECT_EQ(ota::load_le64(in.data()), 0x8807060504030201ULL);
  EXPECT_EQ(ota::load_be64(in.data()), 0x0102030405060788ULL);

  std::array<uint8_t, 8> out{};
  ota::store_le16(out.data(), ota::load_le16(in.data()));
  EXPECT_EQ(out[0], 0x01);
  EXPECT_EQ(out[1], 0x02);
  ota::store_le32(out.data(), 0x04030201U);
  EXPECT_EQ(std::memcmp(out.data(), in.data(), 4), 0);
  ota::store_le64(out.data(), 0x8807060504030201ULL);
  EXPECT_EQ(out, kBytes);
}

}  // namespace
