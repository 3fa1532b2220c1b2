#include "crc.h"

#include <gtest/gtest.h>


namespace {

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// The standard check values of both CRCs.
TEST(CrcTest, CheckValues) {
  EXPECT_EQ(CRC32(bytes("123456789"), 9), 0xCBF43926U);
  EXPECT_EQ(CRC16(bytes("123456789"), 9), 0x29B1);
  EXPECT_EQ(CRC32(bytes(""), 0), 0U);
  EXPECT_EQ(CRC16(bytes(""), 0), 0xFFFF);
}

// The default boot control block's 28 checksummed bytes give the CRC the boot firmware
// checks.
TEST(CrcTest, DefaultBootControlBlock) {
  uint8_t block[28] = {0x61, 0x00, 0x00, 0x00, 0x42, 0x43, 0x41, 0x42,
                       0x01, 0x02, 0x00, 0x00, 0x7F, 0x00, 0x7F, 0x00};
  EXPECT_EQ(CRC32(block, sizeof(block)), 0x672A9D0FU);
  block[13] ^= 0x01;
  EXPECT_NE(CRC32(block, sizeof(block)), 0x672A9D0FU);
}

}  // namespace
