// The status flag may only say VERIFY once the written partitions are on the medium:
// ota_flush_written_partitions pushes what sits in the written devices' caches to the disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "board_io.h"
#include "manifest.h"
#include "test_support.h"
#include "up_partition.h"
#include "upgrade.h"

namespace {

// Bytes written to slot b's partitions without a sync reach the disk image behind the
// board once the written partitions are flushed.
TEST(FlushWritten, CachedWritesReachTheDisk) {
  update_part_t parts{};
  ASSERT_EQ(ota_append_update_part(&parts, "boot", OTA_EMMC, AB), 0);
  const std::string pattern = ota_test::make_image_bytes(65536, 5);
  // Held open throughout: the last close of a block device would flush it by itself.
  const int fd = ::open("/dev/block/platform/by-name/boot_b", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, pattern.data(), pattern.size(), 0), static_cast<ssize_t>(pattern.size()));

  ASSERT_EQ(ota_flush_written_partitions(&parts), 0);
  const uint64_t offset = board_io::layout().find("boot_b")->offset;
  const auto on_disk =
      board_io::read_dev(board_io::board_dir() + "/emmc.img", offset, pattern.size());
  EXPECT_TRUE(std::string(on_disk.begin(), on_disk.end()) == pattern);
  EXPECT_EQ(::close(fd), 0);
}

// A written partition whose device is missing makes the flush fail, so VERIFY is never
// set.
TEST(FlushWritten, MissingDeviceFails) {
  update_part_t parts{};
  ASSERT_EQ(ota_append_update_part(&parts, "nosuchpart", OTA_EMMC, PERMANENT), 0);
  EXPECT_EQ(ota_flush_written_partitions(&parts), -1);
}

}  // namespace
