#include "md5.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "test_support.h"

namespace {

std::string hex(const unsigned char digest[16]) {
  std::string out;
  char two[3];
  for (int k = 0; k < 16; ++k) {
    std::snprintf(two, sizeof(two), "%02x", digest[k]);
    out += two;
  }
  return out;
}

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string md5_hex(const std::string& data) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, bytes(data), static_cast<unsigned int>(data.size()));
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  return hex(digest);
}

constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

// The one-shot digest matches md5sum for every padding case (empty, short, one and two
// blocks of padding), and feeding the input in pieces of any size gives the same digest.
TEST(Md5Test, IncrementalEqualsOneShot) {
  ota_test::TempDir dir;
  for (const size_t total : {0U, 3U, 55U, 56U, 63U, 64U, 65U, 119U, 120U, 128U, 1000U, 70001U}) {
    const std::string data = ota_test::make_image_bytes(total, static_cast<unsigned>(total));
    const std::string path = dir.file("data");
    ota_test::write_file(path, data);
    const std::string one_shot = md5_hex(data);
    ASSERT_EQ(one_shot, ota_test::md5sum_of(path)) << "size " << total;

    for (const size_t piece : {1U, 3U, 55U, 63U, 64U, 65U, 200U}) {
      MD5_CTX ctx;
      MD5Init(&ctx);
      for (size_t at = 0; at < total; at += piece) {
        const size_t n = std::min(piece, total - at);
        MD5Update(&ctx, bytes(data) + at, static_cast<unsigned int>(n));
      }
      unsigned char digest[16];
      MD5Final(digest, &ctx);
      EXPECT_EQ(hex(digest), one_shot) << "size " << total << " piece " << piece;
    }
  }
}

class Md5DevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_test::clear_log_records();
    // Over three read buffers of 1 MiB, with a tail that is not a whole block.
    data_ = ota_test::make_image_bytes(3 * 1048576 + 12345, 7);
    ota_test::write_file(path_, data_);
  }

  // md5sum of data_[offset, offset + len), clipped to the file.
  std::string reference(size_t offset, size_t len) {
    const std::string part = offset < data_.size() ? data_.substr(offset, len) : std::string();
    const std::string ref_path = dir_.file("range");
    ota_test::write_file(ref_path, part);
    return ota_test::md5sum_of(ref_path);
  }

  ota_test::TempDir dir_;
  std::string path_ = dir_.file("dev.img");
  std::string data_;
};

// MD5DevPart hashes exactly the range, and only what the file holds when it ends first;
// a negative length hashes nothing instead of a wrapped-around count; a missing file is -1.
TEST_F(Md5DevTest, RangeDigestsMatchMd5sum) {
  const long size = static_cast<long>(data_.size());
  const struct {
    long offset;
    long len;
  } rows[] = {
      {0, size},                // whole file
      {0, 1048576},             // exactly one read buffer
      {1000, 1048576 + 1},      // one byte past a buffer
      {4096, 2 * 1048576 + 7},  // crosses two buffers, unaligned end
      {size - 100, 100},        // the last bytes
      {size - 100, 1048576},    // device shorter than the range
      {0, size + 5 * 1048576},  // range far past the end
      {size + 10, 4096},        // range entirely past the end: empty input
      {12, 0},                  // empty range
      {0, -5},                  // negative length: empty input
  };
  for (const auto& row : rows) {
    unsigned char digest[16] = {};
    ASSERT_EQ(MD5DevPart(path_.c_str(), row.offset, row.len, digest), 0);
    EXPECT_EQ(hex(digest), reference(row.offset, static_cast<size_t>(std::max(row.len, 0L))))
        << "offset " << row.offset << " len " << row.len;
  }
  unsigned char digest[16] = {};
  EXPECT_EQ(MD5DevPart(dir_.file("missing").c_str(), 0, 10, digest), -1);
  EXPECT_EQ(MD5Dev(dir_.file("missing").c_str(), digest, 0), -1);
}

// MD5Dev leaves out exactly `garbage` trailing bytes; garbage beyond the size hashes
// nothing; the size line is logged.
TEST_F(Md5DevTest, WholeDeviceDigest) {
  const size_t size = data_.size();
  const struct {
    int32_t garbage;
    std::string expected;
  } rows[] = {
      {0, reference(0, size)},
      {1, reference(0, size - 1)},
      {12345, reference(0, size - 12345)},
      {static_cast<int32_t>(size), kEmptyMd5},
      {static_cast<int32_t>(size) + 1, kEmptyMd5},
  };
  for (const auto& row : rows) {
    unsigned char digest[16] = {};
    ASSERT_EQ(MD5Dev(path_.c_str(), digest, row.garbage), 0);
    EXPECT_EQ(hex(digest), row.expected) << "garbage " << row.garbage;
  }
  EXPECT_TRUE(ota_test::log_contains(path_ + " size " + std::to_string(size) + ", garbage 12345"));
}

// Beyond 512 MiB the 32-bit low word of the bit count wraps; the carry into the high word
// must keep the digest right.
TEST_F(Md5DevTest, BitCountCarriesPast512MiB) {
  const std::string big = dir_.file("big.img");
  ota_test::write_file(big, "tail");
  ASSERT_EQ(truncate(big.c_str(), 536870912 + 4096 + 3), 0);  // sparse, reads as zeros
  unsigned char digest[16] = {};
  ASSERT_EQ(MD5Dev(big.c_str(), digest, 0), 0);
  EXPECT_EQ(hex(digest), ota_test::md5sum_of(big));
}

}  // namespace
