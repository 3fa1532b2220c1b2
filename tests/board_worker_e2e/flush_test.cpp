// The status flag may only say VERIFY once the written partitions are on the medium:
// ota_flush_written_partitions pushes what sits in the devices' caches to the disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "board_io.h"
#include "manifest.h"
#include "test_support.h"
#include "upgrade.h"

namespace {

// Bytes written to slot b's partitions without a sync reach the disk image behind the
// board once the manifest's partitions are flushed.
TEST(FlushWritten, CachedWritesReachTheDisk) {
  manifest_reset_state();
  const std::string json =
      R"({"update_partition": ["boot"], "partition_info": {"boot": {"medium": "emmc",
      "part_type": "AB", "upgrade_method": "image", "imgname": "boot.img",
      "md5sum": ["00000000000000000000000000000000"], "md5_scope": [4096]}}})";
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("data.json"), json);
  std::string path = dir.file("data.json");
  ASSERT_EQ(ota_parse_config_file(path.data()), 0);

  const std::string pattern = ota_test::make_image_bytes(65536, 5);
  // Held open throughout: the last close of a block device would flush it by itself.
  const int fd = ::open("/dev/block/platform/by-name/boot_b", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, pattern.data(), pattern.size(), 0), static_cast<ssize_t>(pattern.size()));

  ASSERT_EQ(ota_flush_written_partitions(ota_get_config_info()), 0);
  const uint64_t offset = board_io::layout().find("boot_b")->offset;
  const auto on_disk =
      board_io::read_dev(board_io::board_dir() + "/emmc.img", offset, pattern.size());
  EXPECT_TRUE(std::string(on_disk.begin(), on_disk.end()) == pattern);
  EXPECT_EQ(::close(fd), 0);
  manifest_reset_state();
}

// A partition whose device is missing makes the flush fail, so VERIFY is never set.
TEST(FlushWritten, MissingDeviceFails) {
  update_info_t info{};
  info.update_size = 1;
  std::snprintf(info.partition_info[0].part_name, OTA_PART_NAME_LEN, "%s", "nosuchpart");
  info.partition_info[0].type = PERMANENT;
  EXPECT_EQ(ota_flush_written_partitions(&info), -1);
}

}  // namespace
