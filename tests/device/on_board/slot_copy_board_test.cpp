// The engine's proven A/B copies on a virtual board: eMMC devices and NOR ranges.
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "board_io.h"
#include "slot_copy.h"
#include "unique_fd.h"

namespace {

using namespace board_io;

const std::string kNor = "/dev/mtd0";

std::string emmc_dev(const std::string& name) { return std::string(kByName) + name; }

// The NOR pairs the engine lists are those of the board, with the data length (the MTD
// size less the firmware's 2048 bytes) and the offsets of both halves.
TEST(SlotCopyBoard, ListsTheBoardsNorPairs) {
  ota_nor_ab_pair_t pairs[OTA_NOR_AB_MAX];
  const int32_t count = ota_list_nor_ab_pairs(pairs);
  const auto l = layout();
  const auto expected = l.nor_ab_pairs();
  ASSERT_EQ(count, static_cast<int32_t>(expected.size()));
  ASSERT_GT(count, 0);
  for (int32_t i = 0; i < count; ++i) {
    const auto& [a, b] = expected[static_cast<size_t>(i)];
    EXPECT_EQ(std::string(pairs[i].base) + "_a", a->name);
    EXPECT_EQ(pairs[i].offset_a, a->offset);
    EXPECT_EQ(pairs[i].offset_b, b->offset);
    EXPECT_EQ(pairs[i].length, a->size);
  }
  ota_nor_ab_pair_t one[1];
  EXPECT_EQ(ota_list_nor_ab_pairs(one), count > 1 ? -1 : count);  // never cut short silently
}

// eMMC: each direction leaves the target device equal to the source, whole.
TEST(SlotCopyBoard, EmmcBothWays) {
  const auto size = layout().find("boot_a")->size;
  for (const int32_t from : {0, 1}) {
    const std::string src = emmc_dev(from == 0 ? "boot_a" : "boot_b");
    const std::string dst = emmc_dev(from == 0 ? "boot_b" : "boot_a");
    const auto content = pattern(size, 40 + static_cast<unsigned>(from));
    write_dev(src, 0, content);
    ASSERT_EQ(ota_copy_ab_partition("boot", OTA_EMMC, from, 1 - from), 0) << from;
    EXPECT_EQ(read_dev(dst, 0, size), content) << "copy from slot " << from;
  }
}

// NOR: each direction copies exactly the data of the pair through the NOR device; the
// firmware's trailer of the target and the neighbouring partitions stay as they were,
// and the per-partition view of the target reads the new bytes at once.
TEST(SlotCopyBoard, NorBothWaysKeepsTrailersAndNeighbours) {
  const auto l = layout();
  const auto& pa = *l.find("uboot_a");
  const auto& pb = *l.find("uboot_b");
  const auto nor_before = read_dev(kNor, 0, l.nor_size);
  for (const int32_t from : {0, 1}) {
    const auto& src = from == 0 ? pa : pb;
    const auto& dst = from == 0 ? pb : pa;
    (void)read_dev(emmc_dev(dst.name), 0, dst.size);  // a stale view in the page cache
    const auto content = pattern(src.size, 50 + static_cast<unsigned>(from));
    write_dev(kNor, src.offset, content);
    auto expected = read_dev(kNor, 0, l.nor_size);
    std::copy(content.begin(), content.end(), expected.begin() + static_cast<long>(dst.offset));
    ASSERT_EQ(ota_copy_ab_partition("uboot", OTA_NOR, from, 1 - from), 0) << from;
    EXPECT_EQ(read_dev(kNor, 0, l.nor_size), expected) << "copy from slot " << from;
    EXPECT_EQ(read_dev(emmc_dev(dst.name), 0, dst.size), content) << "view of " << dst.name;
  }
  EXPECT_NE(read_dev(kNor, 0, l.nor_size), nor_before);
}

// A copy that cannot be written is reported and names the partition; nothing reads as a
// proven copy.
TEST(SlotCopyBoard, UnwritableTargetIsReported) {
  const auto size = layout().find("system_b")->size;
  write_dev(emmc_dev("system_a"), 0, pattern(size, 60));
  const auto before = read_dev(emmc_dev("system_b"), 0, size);
  {
    const ota::UniqueFd fd = ota::open_fd(emmc_dev("system_b").c_str(), O_RDONLY);
    int ro = 1;
    ASSERT_EQ(::ioctl(fd.get(), BLKROSET, &ro), 0);
  }
  ota_test::clear_log_records();
  EXPECT_EQ(ota_copy_ab_partition("system", OTA_EMMC, 0, 1), -1);
  EXPECT_TRUE(
      ota_test::log_contains("copy /dev/block/platform/by-name/system_a to "
                             "/dev/block/platform/by-name/system_b failed"));
  EXPECT_EQ(read_dev(emmc_dev("system_b"), 0, size), before);
}

// A source shorter than its target (its partition shrunk by a sector) leaves the target's
// tail as it was: the whole-device proof finds the copy unequal and the copy fails.
TEST(SlotCopyBoard, UnequalCopyIsReported) {
  const auto l = layout();
  size_t index = 0;
  while (l.emmc[index].name != "vbmeta_a") {
    ++index;
  }
  const auto& part = l.emmc[index];
  write_dev(emmc_dev("vbmeta_b"), 0, pattern(part.size, 71));
  blkpg_partition shrunk{};
  shrunk.start = static_cast<long long>(part.offset);
  shrunk.length = static_cast<long long>(part.size - 512);
  shrunk.pno = static_cast<int>(index + 1);
  blkpg_ioctl_arg arg{};
  arg.op = BLKPG_RESIZE_PARTITION;
  arg.datalen = sizeof(shrunk);
  arg.data = &shrunk;
  const ota::UniqueFd disk = ota::open_fd(emmc_dev("blk").c_str(), O_RDONLY);
  ASSERT_EQ(::ioctl(disk.get(), BLKPG, &arg), 0) << std::strerror(errno);

  ota_test::clear_log_records();
  EXPECT_EQ(ota_copy_ab_partition("vbmeta", OTA_EMMC, 0, 1), -1);
  EXPECT_TRUE(ota_test::log_contains("md5 not equal"));
  EXPECT_TRUE(ota_test::log_contains("is not proven"));
}

// Bad arguments are refused before anything is touched.
TEST(SlotCopyBoard, BadArgumentsRefused) {
  const auto l = layout();
  const auto nor_before = read_dev(kNor, 0, l.nor_size);
  EXPECT_EQ(ota_copy_ab_partition("bl31", OTA_NOR, 0, 0), -1);
  EXPECT_EQ(ota_copy_ab_partition("bl31", OTA_NOR, 2, 1), -1);
  EXPECT_EQ(ota_copy_ab_partition("../bl31", OTA_EMMC, 0, 1), -1);
  EXPECT_EQ(ota_copy_ab_partition(nullptr, OTA_EMMC, 0, 1), -1);
  ota_test::clear_log_records();
  EXPECT_EQ(ota_copy_ab_partition("nor_env", OTA_NOR, 0, 1), -1);  // not an A/B pair
  EXPECT_TRUE(ota_test::log_contains("NOR partitions nor_env_a and nor_env_b are not both"));
  EXPECT_EQ(read_dev(kNor, 0, l.nor_size), nor_before);
}

}  // namespace
