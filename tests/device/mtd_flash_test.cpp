#include "mtd_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// A NOR device that answers as it is told, remembers the erases asked of it and holds
// the chip's bytes (when a test gives it some). As an MTD character device it behaves as
// NOR flash does: an erase sets its bytes to 0xFF, a write can only clear bits, and a
// byte programmed twice since its erase is counted.
class FakeNor : public ota_mtd_device {
 public:
  Kind kind_ = Kind::mtd_char;
  bool block_ok = true;
  bool info_ok = true;
  bool sysfs_ok = true;
  uint64_t size = 8 << 20;
  uint32_t erasesize = 65536;
  int fail_erase_at = -1;  // the erase call (0-based) that fails
  int fail_write_at = -1;  // the write call (0-based) that fails
  std::vector<std::pair<uint64_t, uint64_t>> erased;
  std::string flash;
  std::vector<bool> programmed;
  int writes = 0;
  int reprogrammed = 0;

  // A chip of `size` bytes holding `content`.
  void hold(const std::string& content) {
    flash = content;
    size = content.size();
    programmed.assign(content.size(), true);
  }

  Kind kind() override { return kind_; }
  bool block_size(uint64_t* out) override { return answer(block_ok, out, nullptr); }
  bool mtd_info(uint64_t* out, uint32_t* erase) override { return answer(info_ok, out, erase); }
  bool sysfs_info(uint64_t* out, uint32_t* erase) override { return answer(sysfs_ok, out, erase); }
  bool answer(bool ok, uint64_t* out, uint32_t* erase) const {
    *out = size;
    if (erase != nullptr) {
      *erase = erasesize;
    }
    return ok;
  }
  bool erase(uint64_t start, uint64_t len) override {
    if (static_cast<int>(erased.size()) == fail_erase_at) {
      return false;
    }
    erased.emplace_back(start, len);
    for (uint64_t i = start; i < start + len && i < flash.size(); ++i) {
      flash[i] = '\xFF';
      programmed[i] = false;
    }
    return true;
  }
  ssize_t read_at(void* buf, size_t len, uint64_t offset) override {
    if (offset > flash.size()) {
      return -1;
    }
    const size_t n = std::min<size_t>(len, flash.size() - offset);
    std::memcpy(buf, flash.data() + offset, n);
    return static_cast<ssize_t>(n);
  }
  bool write_at(const void* buf, size_t len, uint64_t offset) override {
    if (writes++ == fail_write_at || offset > flash.size() || len > flash.size() - offset) {
      errno = EIO;
      return false;
    }
    const auto* in = static_cast<const char*>(buf);
    for (size_t i = 0; i < len; ++i) {
      if (kind_ != Kind::mtd_char) {
        flash[offset + i] = in[i];
        continue;
      }
      reprogrammed += programmed[offset + i] ? 1 : 0;
      programmed[offset + i] = true;
      flash[offset + i] = static_cast<char>(flash[offset + i] & in[i]);
    }
    return true;
  }
  bool flush() override { return true; }
};

// An image held in memory.
class StringSource : public ota_byte_source {
 public:
  explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
  ssize_t read_at(void* buf, size_t len, uint64_t offset) override {
    const size_t n = offset < bytes_.size() ? std::min<size_t>(len, bytes_.size() - offset) : 0;
    std::memcpy(buf, bytes_.data() + offset, n);
    return static_cast<ssize_t>(n);
  }

 private:
  std::string bytes_;
};

using Blocks = std::vector<std::pair<uint64_t, uint64_t>>;

// The erase blocks from start to the end of the block that holds end - 1.
Blocks blocks(uint64_t start, uint64_t end, uint64_t block = 65536) {
  Blocks out;
  for (uint64_t at = start; at < end; at += block) {
    out.emplace_back(at, block);
  }
  return out;
}

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
  const auto nor = [](ota_mtd_device::Kind kind, bool info, bool sysfs, uint32_t erase,
                      uint64_t size) {
    FakeNor dev;
    dev.kind_ = kind;
    dev.info_ok = info;
    dev.sysfs_ok = sysfs;
    dev.erasesize = erase;
    dev.size = size;
    return dev;
  };
  const auto mtd = ota_mtd_device::Kind::mtd_char;
  const auto block = ota_mtd_device::Kind::block;
  std::vector<Case> cases = {
      {"MTD character device", nor(mtd, true, true, 65536, 8 << 20), true, 65536, true},
      {"answers only in sysfs", nor(mtd, false, true, 65536, 8 << 20), true, 65536, true},
      {"answers nowhere", nor(mtd, false, false, 65536, 8 << 20), false, 0, false},
      {"no erase-block size", nor(mtd, true, true, 0, 8 << 20), false, 0, false},
      {"block device", nor(block, true, true, 65536, 8 << 20), true, 0, false},
      {"block device of no size", nor(block, true, true, 65536, 0), false, 0, false},
      {"neither", nor(ota_mtd_device::Kind::other, true, true, 65536, 8 << 20), false, 0, false},
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

constexpr uint64_t kBlock = 65536;
constexpr uint64_t kPart = 2 * kBlock;               // a partition's first byte on the chip
constexpr uint64_t kPartEnd = kPart + (6ULL << 20);  // and its end

std::vector<int32_t> g_progress;
void record_progress(int /*fd*/, int32_t len) { g_progress.push_back(len); }

class NorWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_io_reset_state();
    g_progress.clear();
  }
  void TearDown() override { device_io_reset_state(); }

  // What the block-device copier leaves on a device holding `initial` once `image` is
  // copied to `offset` under the current board-secure flag: the layout a NOR write must
  // produce, whatever the device.
  std::string copied_layout(const std::string& initial, const std::string& image, uint64_t offset) {
    ota_test::write_file(dir_.file("image"), image);
    ota_test::write_file(dir_.file("device"), initial);
    ota_file_info_t from{};
    ota_file_info_t to{};
    std::snprintf(from.path, sizeof(from.path), "%s", dir_.file("image").c_str());
    std::snprintf(to.path, sizeof(to.path), "%s", dir_.file("device").c_str());
    from.size = image.size();
    from.medium = OTA_NOR;
    to.offset = offset;
    to.medium = OTA_NOR;
    EXPECT_EQ(ota_file_to_file(&from, &to, nullptr), 0);
    return ota_test::read_file(dir_.file("device"));
  }

  ota_test::TempDir dir_;
  const std::string chip_ = ota_test::make_image_bytes(8 << 20, 5);
};

// A NOR image, signed or not, lands in the layout of the block-device copier: on an MTD
// character device after erasing exactly the blocks it covers inside its partition, from
// its first byte to the end of the block holding its last (the
// rest of the last block left erased, every other byte untouched) and programming each
// byte once; on a block device with no erase at all.
TEST_F(NorWriteTest, ImageLandsInTheCopierLayout) {
  constexpr uint64_t kSigned = OTA_NOR_SIGNED_CHUNK;
  struct Case {
    const char* what;
    int secure;
    uint64_t size;
  };
  const Case cases[] = {
      {"signed, three chunks", 1, 2 * kSigned + 5000},
      {"signed, a last chunk shorter than a trailer", 1, 2 * kSigned + 1000},
      {"signed, one short chunk", 1, 3000},
      {"plain, three chunks", 0, 2 * OTA_NOR_CHUNK + 1000},
      {"plain, one short chunk", 0, 3000},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(ota_set_bd_secure(c.secure), 0);
    const std::string image = ota_test::make_image_bytes(c.size, 9);
    const std::string want = copied_layout(chip_, image, kPart);
    const uint64_t extent = c.secure == 1 ? ota_signed_nor_extent(c.size) : c.size;
    const uint64_t erased_end = kPart + (extent + kBlock - 1) / kBlock * kBlock;
    const size_t chunk = c.secure == 1 ? OTA_NOR_SIGNED_CHUNK : OTA_NOR_CHUNK;
    std::vector<int32_t> reads;
    for (uint64_t left = c.size; left > 0; left -= std::min<uint64_t>(left, chunk)) {
      reads.push_back(static_cast<int32_t>(std::min<uint64_t>(left, chunk)));
    }
    for (const auto kind : {ota_mtd_device::Kind::mtd_char, ota_mtd_device::Kind::block}) {
      const bool mtd = kind == ota_mtd_device::Kind::mtd_char;
      SCOPED_TRACE(std::string(c.what) +
                   (mtd ? " on an MTD character device" : " on a block device"));
      FakeNor nor;
      nor.kind_ = kind;
      nor.hold(chip_);
      StringSource source(image);
      g_progress.clear();
      ASSERT_TRUE(
          ota_nor_write_image(nor, "/dev/mtd0", source, c.size, kPart, kPartEnd, record_progress));
      EXPECT_EQ(nor.erased, mtd ? blocks(kPart, erased_end) : Blocks{});
      EXPECT_EQ(nor.reprogrammed, 0);
      EXPECT_EQ(g_progress, reads);
      EXPECT_TRUE(nor.flash.compare(kPart, extent, want, kPart, extent) == 0) << "image bytes";
      const uint64_t tail = mtd ? erased_end : kPart + extent;
      EXPECT_EQ(nor.flash.substr(kPart + extent, tail - kPart - extent),
                std::string(tail - kPart - extent, '\xFF'));
      EXPECT_TRUE(nor.flash.compare(0, kPart, chip_, 0, kPart) == 0) << "before the partition";
      EXPECT_TRUE(nor.flash.compare(tail, std::string::npos, chip_, tail) == 0)
          << "after the written range";
    }
  }
}

// A write that cannot be done within its partition changes nothing; a failing erase
// or write fails the whole write. Shown for the recovery rewrite's shape: an image at a
// partition's place on the whole chip, bounded by that partition's end.
TEST_F(NorWriteTest, RefusedOrFailedWrites) {
  const std::string image = ota_test::make_image_bytes(3 * kBlock + 100, 3);
  struct Case {
    const char* what;
    ota_mtd_device::Kind kind;
    uint64_t offset;
    uint64_t limit;
    int fail_erase_at;
    int fail_write_at;
    bool ok;
  };
  const auto mtd = ota_mtd_device::Kind::mtd_char;
  const auto block = ota_mtd_device::Kind::block;
  const Case cases[] = {
      {"a start inside an erase block", mtd, kPart + 512, kPartEnd, -1, -1, false},
      {"the last block would pass the partition's end", mtd, kPart, kPart + 3 * kBlock + 200, -1,
       -1, false},
      {"the same end on a block device, which needs no erase", block, kPart,
       kPart + 3 * kBlock + 200, -1, -1, true},
      {"an image longer than its partition", block, kPart, kPart + 3 * kBlock, -1, -1, false},
      {"a partition end past the chip", mtd, (8 << 20) - kBlock, 9 << 20, -1, -1, false},
      {"the second erase fails", mtd, kPart, kPartEnd, 1, -1, false},
      {"the first write fails", mtd, kPart, kPartEnd, -1, 0, false},
  };
  for (const Case& c : cases) {
    FakeNor nor;
    nor.kind_ = c.kind;
    nor.hold(chip_);
    nor.fail_erase_at = c.fail_erase_at;
    nor.fail_write_at = c.fail_write_at;
    StringSource source(image);
    EXPECT_EQ(
        ota_nor_write_image(nor, "/dev/mtd0", source, image.size(), c.offset, c.limit, nullptr),
        c.ok)
        << c.what;
    if (!c.ok && c.fail_erase_at < 0 && c.fail_write_at < 0) {
      EXPECT_TRUE(nor.erased.empty()) << c.what;
      EXPECT_EQ(nor.writes, 0) << c.what;
      EXPECT_TRUE(nor.flash == chip_) << c.what << ": the chip changed";
    }
    if (c.fail_erase_at >= 0) {
      EXPECT_EQ(nor.writes, 0) << c.what << ": written after a failed erase";
    }
  }
}

// The A/B copy of a NOR partition writes the other slot's data range byte for byte
// (never in the signed layout, whatever the flag): on an MTD character device after
// erasing exactly that range's blocks, so the firmware's bytes after the data, the
// source and every other byte stay as they were; a data range that ends inside an erase
// block is refused there rather than erase those bytes.
TEST_F(NorWriteTest, SlotCopyErasesOnlyTheDestinationData) {
  ASSERT_EQ(ota_set_bd_secure(1), 0);
  constexpr uint64_t kFrom = 0;
  constexpr uint64_t kTo = 4 * kBlock;  // each slot: 3 blocks of data, then the pad
  constexpr uint64_t kLen = 3 * kBlock;
  for (const auto kind : {ota_mtd_device::Kind::mtd_char, ota_mtd_device::Kind::block}) {
    const bool mtd = kind == ota_mtd_device::Kind::mtd_char;
    SCOPED_TRACE(mtd ? "MTD character device" : "block device");
    FakeNor nor;
    nor.kind_ = kind;
    nor.hold(chip_);
    ASSERT_TRUE(ota_nor_copy_range(nor, "/dev/mtd0", kFrom, kTo, kLen));
    EXPECT_EQ(nor.erased, mtd ? blocks(kTo, kTo + kLen) : Blocks{});
    std::string want = chip_;
    want.replace(kTo, kLen, chip_, kFrom, kLen);
    EXPECT_TRUE(nor.flash == want) << "the chip differs from the copied layout";

    FakeNor unaligned;
    unaligned.kind_ = kind;
    unaligned.hold(chip_);
    EXPECT_EQ(ota_nor_copy_range(unaligned, "/dev/mtd0", kFrom, kTo, kLen - 2048), !mtd);
    if (mtd) {
      EXPECT_TRUE(unaligned.erased.empty());
      EXPECT_TRUE(unaligned.flash == chip_) << "the chip changed";
    }
  }
  FakeNor nor;
  nor.hold(chip_);
  EXPECT_FALSE(ota_nor_copy_range(nor, "/dev/mtd0", kFrom, kFrom + kBlock, kLen))
      << "overlapping ranges";
  EXPECT_TRUE(nor.erased.empty());
}

// A character device that is not an MTD device is neither sized as one nor taken as a
// NOR partition's node.
// The erase a NOR range needs never reaches past the partition's end or the device's,
// whatever a package claims: an erase there would wipe the neighbouring partition.
TEST(MtdEraseSpan, RoundsUpWithinLimitAndDevice) {
  const ota_mtd_geometry_t g{.size = 4 * 65536, .erasesize = 65536, .needs_erase = true};
  struct Case {
    const char* name;
    uint64_t start, len, limit;
    bool ok;
    uint64_t erase_len;
  };
  const Case cases[] = {
      {"one byte takes a whole block", 65536, 1, 2 * 65536, true, 65536},
      {"a block and a byte take two", 0, 65537, 4 * 65536, true, 2 * 65536},
      {"unaligned start", 512, 512, 4 * 65536, false, 0},
      {"rounded end past the partition", 65536, 65537, 2 * 65536, false, 0},
      {"start past the partition", 3 * 65536, 1, 2 * 65536, false, 0},
      {"partition end past the device", 3 * 65536, 1, 5 * 65536, false, 0},
      {"length that overflows", 0, UINT64_MAX - 100, 4 * 65536, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t start = 0;
    uint64_t len = 0;
    ASSERT_EQ(ota_mtd_erase_span(g, c.start, c.len, c.limit, &start, &len), c.ok);
    if (c.ok) {
      EXPECT_EQ(start, c.start);
      EXPECT_EQ(len, c.erase_len);
    }
  }
}

TEST(MtdNode, OtherCharacterDevicesAreNotNorNodes) {
  EXPECT_FALSE(ota_is_mtd_char_device("/dev/null"));
  EXPECT_EQ(ota_device_size("/dev/null"), 0u);
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("f"), std::string(1000, 'x'));
  EXPECT_FALSE(ota_is_mtd_char_device(dir.file("f").c_str()));
  EXPECT_EQ(ota_device_size(dir.file("f").c_str()), 1000u);
}

}  // namespace
