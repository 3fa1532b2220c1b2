#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "board_layout.h"
#include "burn_fixture.h"
#include "manifest.h"
#include "up_partition.h"

namespace burn_test {
namespace {

using SoundBehaviourTest = BurnTest;

// Hex MD5 of a byte string.
std::string md5_of(const std::string& data) {
  ota_test::TempDir tmp;
  ota_test::write_file(tmp.file("data"), data);
  return ota_test::md5sum_of(tmp.file("data"));
}

// The proof hashes what the medium holds, not pages a read or write left in the cache:
// after the disk image changes underneath a cached partition, the proof sees the change.
TEST_F(SoundBehaviourTest, ProofReadsMediumNotCache) {
  const std::string cached = ota_test::make_image_bytes(262144, 51);
  const std::string on_medium = ota_test::make_image_bytes(262144, 52);
  // The last close of a block device drops its cache; an opener held throughout keeps
  // the pages, as the worker's own descriptors and the running system's would.
  const int holder = open(dev("boot_b").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  write_head(dev("boot_b"), cached);
  ASSERT_EQ(read_head(dev("boot_b"), cached.size()), cached);  // now in the page cache

  const ota::board::Layout layout = ota::board::default_layout();
  const ota::board::Partition* part = layout.find("boot_b");
  ASSERT_NE(part, nullptr);
  const std::string disk = std::string(std::getenv("VBOARD_DIR")) + "/emmc.img";
  const int fd = open(disk.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, on_medium.data(), on_medium.size(), static_cast<off_t>(part->offset)),
            static_cast<ssize_t>(on_medium.size()));
  ASSERT_EQ(fsync(fd), 0);
  ASSERT_EQ(close(fd), 0);

  EXPECT_EQ(verify_image_checksum_with_part(md5_of(on_medium).c_str(), on_medium.size(),
                                            dev("boot_b").c_str(), 0),
            0);
  EXPECT_EQ(verify_image_checksum_with_part(md5_of(cached).c_str(), cached.size(),
                                            dev("boot_b").c_str(), 0),
            -1);
  close(holder);
}

// Partition names that would leave their directory (in device, backup or hook paths)
// are refused before anything is extracted or written.
TEST_F(SoundBehaviourTest, EscapingPartitionNamesRefused) {
  ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(4096, 1));
  pack_and_parse("part boot boot.img\n");
  update_info_t* info = ota_get_config_info();
  for (const char* bad : {"../boot_b", "by-name/boot", "..", ""}) {
    partition_info_t entry = info->partition_info[0];
    std::snprintf(entry.part_name, sizeof(entry.part_name), "%s", bad);
    EXPECT_EQ(ota_update_image(&entry, "/userdata/bak", unzip(), package().c_str()), -1) << bad;
    EXPECT_EQ(ota_dump_partition(bad, "/userdata/bak", dev("HSM_FW").c_str(), 0, 4096), -1) << bad;
    std::snprintf(info->update_partition[0], OTA_PART_NAME_LEN, "%s", bad);
    EXPECT_EQ(ota_update_partitions(package().c_str(), unzip(), false), -1) << bad;
  }
  EXPECT_NE(access("/userdata/bak", F_OK), 0);
  EXPECT_TRUE(updated_names().empty());
}

}  // namespace
}  // namespace burn_test
