// The NOR flash as an MTD character device that needs erasing ("/dev/mtd0" served by
// vboard's FUSE server): the stand-in behaves as NOR does, and the engine's NOR writer
// erases before it writes, only the blocks it needs. (That the engine takes the stand-in
// for the flash: worker_e2e_mtd_chardev_tests, whose NOR burns fail otherwise.)
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "board_layout.h"
#include "mtd_flash.h"
#include "test_support.h"
#include "unique_fd.h"

namespace {

const char* const kNor = "/dev/mtd0";
constexpr uint64_t kBlock = 65536;

std::string fuse_log() {
  return ota_test::read_file(std::string(std::getenv("VBOARD_DIR")) + "/fuse.log");
}

std::string bytes_at(int fd, uint64_t at, size_t len) {
  std::string out(len, '\0');
  EXPECT_EQ(ota::pread_full(fd, out.data(), len, static_cast<off_t>(at)),
            static_cast<ssize_t>(len));
  return out;
}

// Where got first differs from want ("" when they are equal): a message short enough
// to read, unlike a dump of two 300 kB strings.
std::string difference(const std::string& got, const std::string& want) {
  if (got == want) {
    return "";
  }
  const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return "first difference at byte " + std::to_string(g - got.begin()) + " of " +
         std::to_string(want.size());
}

void put(int fd, uint64_t at, const std::string& bytes) {
  ASSERT_TRUE(ota::pwrite_full(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)))
      << "write " << kNor << " at " << at << ": " << std::strerror(errno);
}

const ota::board::Partition& part_named(const std::string& name) {
  static const ota::board::Layout layout = ota::board::default_layout();
  const ota::board::Partition* p = layout.find(name);
  EXPECT_NE(p, nullptr) << name;
  return *p;
}

// Programming only clears bits, erase sets whole blocks to 0xFF and refuses anything
// else: without that, the burn below would prove nothing about erasing.
TEST(NorStandIn, ProgramsAndErasesAsNor) {
  const ota::UniqueFd fd = ota::open_fd(kNor, O_RDWR);
  ASSERT_TRUE(fd);
  ota_kernel_mtd_device dev(fd.get());
  // The chip's last block: the board's partitions are packed, not block-aligned.
  const uint64_t at = ota::board::default_layout().nor_size / kBlock * kBlock - kBlock;
  struct Case {
    uint8_t first, second, expected;
  };
  for (const Case c : {Case{0x0F, 0xF0, 0x00}, Case{0xA5, 0xFF, 0xA5}, Case{0xFF, 0x3C, 0x3C}}) {
    ASSERT_TRUE(dev.erase(at, kBlock));
    put(fd.get(), at, std::string(64, static_cast<char>(c.first)));
    put(fd.get(), at, std::string(64, static_cast<char>(c.second)));
    EXPECT_EQ(bytes_at(fd.get(), at, 64), std::string(64, static_cast<char>(c.expected)))
        << int(c.first) << " then " << int(c.second);
  }
  ASSERT_TRUE(dev.erase(at, kBlock));
  EXPECT_EQ(bytes_at(fd.get(), at, kBlock), std::string(kBlock, '\xFF'));
  EXPECT_FALSE(dev.erase(at + 512, kBlock)) << "unaligned start";
  EXPECT_FALSE(dev.erase(at, kBlock / 2)) << "part of a block";
}

// A burn over a dirty partition: the image lands exactly, the rest of the last block
// it touches reads erased, the blocks past it and the next partition are untouched,
// and the server saw every block erased before any write and no write asking for a
// cleared bit back.
TEST(NorStandIn, BurnErasesTheBlocksItWritesFirst) {
  // The only block-aligned partition of the packed default layout.
  const auto& part = part_named("uboot_a");
  const auto& next = part_named("uboot_b");
  const ota::UniqueFd fd = ota::open_fd(kNor, O_RDWR);
  ASSERT_TRUE(fd);
  const std::string dirt(part.mtd_size(), '\x5A');
  put(fd.get(), part.offset, dirt);
  put(fd.get(), next.offset, std::string(kBlock, '\x5A'));
  ASSERT_EQ(part.offset % kBlock, 0u);

  std::mt19937 rng(7);
  std::string image(300000, '\0');
  for (auto& ch : image) {
    ch = static_cast<char>(rng());
  }
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("uboot.img"), image);
  const ota::UniqueFd src_fd = ota::open_fd(dir.file("uboot.img").c_str(), O_RDONLY);
  ASSERT_TRUE(src_fd);
  ota_fd_source src(src_fd.get());
  ota_kernel_mtd_device dev(fd.get());
  const size_t log_before = fuse_log().size();
  ASSERT_TRUE(ota_nor_write_image(dev, kNor, src, image.size(), part.offset,
                                  part.offset + part.mtd_size(), nullptr));

  const uint64_t erased_end = (image.size() + kBlock - 1) / kBlock * kBlock;
  EXPECT_EQ(difference(bytes_at(fd.get(), part.offset, image.size()), image), "");
  EXPECT_EQ(difference(bytes_at(fd.get(), part.offset + image.size(), erased_end - image.size()),
                       std::string(erased_end - image.size(), '\xFF')),
            "")
      << "the rest of the image's last block";
  EXPECT_EQ(difference(bytes_at(fd.get(), part.offset + erased_end, part.mtd_size() - erased_end),
                       dirt.substr(erased_end)),
            "")
      << "erased past the image's last block";
  EXPECT_EQ(difference(bytes_at(fd.get(), next.offset, kBlock), std::string(kBlock, '\x5A')), "")
      << "the next partition";

  const std::string log = fuse_log().substr(log_before);
  EXPECT_EQ(log.find("unerased"), std::string::npos) << log;
  size_t last_erase = 0;
  for (uint64_t b = 0; b < erased_end; b += kBlock) {
    const std::string line = "erase mtd0 at " + std::to_string(part.offset + b) + " len " +
                             std::to_string(kBlock) + "\n";
    const size_t pos = log.find(line);
    ASSERT_NE(pos, std::string::npos) << line << log;
    last_erase = std::max(last_erase, pos);
  }
  EXPECT_EQ(log.find("erase mtd0 at " + std::to_string(part.offset + erased_end)),
            std::string::npos)
      << "erased past the image's last block";
  EXPECT_NE(log.find("fsync mtd0", last_erase), std::string::npos) << "the burn's flush";
}

}  // namespace

namespace {

// A flush of an eMMC partition's device reaches the server as an fsync of the image
// once the write it makes durable has reached the image: what a later write cache
// has to honour.
TEST(FuseLayer, PartitionFlushReachesTheServerAfterItsWrite) {
  const char* const dev = "/dev/block/platform/by-name/misc";
  const ota::UniqueFd fd = ota::open_fd(dev, O_RDWR);
  ASSERT_TRUE(fd) << dev << ": " << std::strerror(errno);
  const size_t log_before = fuse_log().size();
  const std::string page(4096, '\x42');
  ASSERT_TRUE(ota::pwrite_full(fd.get(), page.data(), page.size(), 0));
  ASSERT_TRUE(ota::sync_fd(fd.get())) << std::strerror(errno);

  const ota::UniqueFd image =
      ota::open_fd((std::string(std::getenv("VBOARD_DIR")) + "/emmc.img").c_str(), O_RDONLY);
  ASSERT_TRUE(image);
  EXPECT_EQ(bytes_at(image.get(), part_named("misc").offset, page.size()), page)
      << "the flushed page is not in the image";
  // Other writers (the userdata journal) may flush too: one fsync after writes will do.
  const std::string log = fuse_log().substr(log_before);
  bool flushed_writes = false;
  for (size_t at = log.find("fsync emmc.img"); at != std::string::npos;
       at = log.find("fsync emmc.img", at + 1)) {
    const std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    flushed_writes = flushed_writes || line.find("writes=0") == std::string::npos;
  }
  EXPECT_TRUE(flushed_writes) << log;
}

}  // namespace
