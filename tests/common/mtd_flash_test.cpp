#include "mtd_flash.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// A NOR device that answers as it is told and remembers the erases asked of it.
class FakeNor : public ota_mtd_device {
 public:
  Kind kind_ = Kind::mtd_char;
  bool block_ok = true;
  bool info_ok = true;
  bool sysfs_ok = true;
  uint64_t size = 8 << 20;
  uint32_t erasesize = 65536;
  int fail_erase_at = -1;  // the erase call (0-based) that fails
  std::vector<std::pair<uint64_t, uint64_t>> erased;

  Kind kind() override { return kind_; }
  bool block_size(uint64_t* out) override {
    *out = size;
    return block_ok;
  }
  bool mtd_info(uint64_t* out, uint32_t* erase) override {
    *out = size;
    *erase = erasesize;
    return info_ok;
  }
  bool sysfs_info(uint64_t* out, uint32_t* erase) override {
    *out = size;
    *erase = erasesize;
    return sysfs_ok;
  }
  bool erase(uint64_t start, uint64_t len) override {
    if (static_cast<int>(erased.size()) == fail_erase_at) {
      return false;
    }
    erased.emplace_back(start, len);
    return true;
  }
};

// A real board's MTD character device reports no size to stat: it is sized by
// MEMGETINFO, else by sysfs, and must be erased; a block device node is sized by the block
// layer and written without an erase; anything else, or a device that cannot be sized, is
// refused.
TEST(MtdGeometry, SizedByWhatTheDeviceIs) {
  struct Case {
    const char* what;
    FakeNor dev;
    bool ok;
    uint32_t erasesize;
    bool needs_erase;
  };
  FakeNor block;
  block.kind_ = ota_mtd_device::Kind::block;
  FakeNor by_sysfs;
  by_sysfs.info_ok = false;
  FakeNor mute;
  mute.info_ok = false;
  mute.sysfs_ok = false;
  FakeNor no_erase_size;
  no_erase_size.erasesize = 0;
  FakeNor other;
  other.kind_ = ota_mtd_device::Kind::other;
  FakeNor empty_block = block;
  empty_block.size = 0;
  std::vector<Case> cases = {
      {"MTD character device", FakeNor{}, true, 65536, true},
      {"answers only in sysfs", by_sysfs, true, 65536, true},
      {"answers nowhere", mute, false, 0, false},
      {"no erase-block size", no_erase_size, false, 0, false},
      {"block device", block, true, 0, false},
      {"block device of no size", empty_block, false, 0, false},
      {"neither", other, false, 0, false},
  };
  for (Case& c : cases) {
    ota_mtd_geometry_t g{};
    EXPECT_EQ(ota_mtd_geometry(c.dev, "/dev/mtd0", &g), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(g.size, uint64_t{8} << 20) << c.what;
      EXPECT_EQ(g.erasesize, c.erasesize) << c.what;
      EXPECT_EQ(g.needs_erase, c.needs_erase) << c.what;
    }
  }
}

// A range is erased block by block from its first byte, which must start an erase block,
// to the end of its last block, which must stay within its partition.
TEST(MtdErase, WholeBlocksWithinThePartition) {
  constexpr uint64_t kBlock = 65536;
  struct Case {
    uint64_t start, len, limit;
    bool ok;
    uint64_t erase_len;
  };
  const Case cases[] = {
      {0, 1, kBlock, true, kBlock},
      {kBlock, kBlock, 2 * kBlock, true, kBlock},
      {kBlock, kBlock + 1, 3 * kBlock, true, 2 * kBlock},
      {kBlock, kBlock + 1, 2 * kBlock + 100, false, 0},  // the last block passes the limit
      {kBlock + 512, 100, 3 * kBlock, false, 0},         // not on a block boundary
      {0, 0, kBlock, true, 0},
      {7 * kBlock, kBlock, 9 * kBlock, false, 0},  // the limit passes the device (8 blocks)
  };
  ota_mtd_geometry_t g{8 * kBlock, kBlock, true};
  for (const Case& c : cases) {
    uint64_t start = 0;
    uint64_t len = 0;
    EXPECT_EQ(ota_mtd_erase_span(g, c.start, c.len, c.limit, &start, &len), c.ok)
        << c.start << "+" << c.len << " within " << c.limit;
    if (c.ok) {
      EXPECT_EQ(start, c.start);
      EXPECT_EQ(len, c.erase_len);
    }
  }
}

TEST(MtdErase, PrepareErasesEachBlockOrNothing) {
  constexpr uint64_t kBlock = 65536;
  ota_mtd_geometry_t g{8 * kBlock, kBlock, true};
  FakeNor nor;
  ASSERT_TRUE(ota_mtd_prepare_range(nor, g, 2 * kBlock, 2 * kBlock + 10, 5 * kBlock));
  const std::vector<std::pair<uint64_t, uint64_t>> want = {
      {2 * kBlock, kBlock}, {3 * kBlock, kBlock}, {4 * kBlock, kBlock}};
  EXPECT_EQ(nor.erased, want);

  FakeNor refused;
  EXPECT_FALSE(ota_mtd_prepare_range(refused, g, 100, 10, 5 * kBlock));
  EXPECT_TRUE(refused.erased.empty());

  FakeNor failing;
  failing.fail_erase_at = 1;
  EXPECT_FALSE(ota_mtd_prepare_range(failing, g, 0, 3 * kBlock, 3 * kBlock));
  EXPECT_EQ(failing.erased.size(), 1u);

  FakeNor block;
  const ota_mtd_geometry_t block_geometry{8 * kBlock, 0, false};
  EXPECT_TRUE(ota_mtd_prepare_range(block, block_geometry, 100, 10, 200));
  EXPECT_TRUE(block.erased.empty());
}

}  // namespace
