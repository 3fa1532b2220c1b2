#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "burn_fixture.h"
#include "device_io.h"
#include "manifest.h"
#include "up_partition.h"
#include "veeprom_flag.h"

namespace burn_test {
namespace {

using ImageBurnTest = BurnTest;

// HSM_FW saves the partition's previous content (over the new image's length) into the
// backup directory before overwriting it; a directory name with a quote and a blank stays
// one shell word, an older, longer backup leaves no stale tail, a missing directory is made.
TEST_F(ImageBurnTest, HsmFirmwareDumpedBeforeBurn) {
  const std::string old_content = ota_test::make_image_bytes(200000, 21);
  write_head(dev("HSM_FW"), old_content);
  const std::string image = ota_test::make_image_bytes(150000, 22);
  ota_test::write_file(dir_.file("HSM_FW.img"), image);
  const std::string backup_dir = "/userdata/it's bak";
  pack_and_parse("part HSM_FW HSM_FW.img\n");
  ASSERT_EQ(system(("mkdir -p \"" + backup_dir + "\"").c_str()), 0);
  ota_test::write_file(backup_dir + "/HSM_FW.img", std::string(300000, 'Z'));
  partition_info_t* entry = &ota_get_config_info()->partition_info[0];
  ASSERT_EQ(entry->type, BAK);

  ASSERT_EQ(ota_update_image(entry, backup_dir.c_str(), unzip(), package().c_str()), 0);

  EXPECT_EQ(ota_test::read_file(backup_dir + "/HSM_FW.img"), old_content.substr(0, image.size()));
  EXPECT_EQ(read_head(dev("HSM_FW"), image.size()), image);
  EXPECT_NE(access(unzip_.file("HSM_FW.img").c_str(), F_OK), 0);
  // A missing backup directory is made for the dump, which starts at the given offset.
  ASSERT_EQ(ota_dump_partition("HSM_FW", "/userdata/new/dir", dev("HSM_FW").c_str(), 4096, 4096),
            0);
  EXPECT_EQ(ota_test::read_file("/userdata/new/dir/HSM_FW.img"), image.substr(4096, 4096));
}

// Every image (A/B, BAK, key) is proven after its burn: a wrong digest fails the run at
// that image, naming partition and device, and only the images before it are recorded.
TEST_F(ImageBurnTest, EveryImageProvenOnlyProvenRecorded) {
  ota_test::write_file(dir_.file("SBL.img"), ota_test::make_image_bytes(40000, 1));
  ota_test::write_file(dir_.file("keyimage.img"), ota_test::make_image_bytes(40000, 2));
  ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(500000, 3));
  pack_and_parse(
      "part SBL SBL.img\npart keyimage keyimage.img name=keyimage.img\npart boot boot.img\n");
  ASSERT_EQ(ota_update_partitions(package().c_str(), unzip(), true), 0);
  const std::vector<std::string> all = {"SBL", "keyimage", "boot"};
  EXPECT_EQ(updated_names(), all);
  update_part_t stored{};  // with ab_sync the list is kept in veeprom too
  ASSERT_EQ(ota_get_part_array(&stored), 0);
  ASSERT_EQ(stored.num, 3u);
  EXPECT_STREQ(stored.array[2], "boot");
  EXPECT_EQ(stored.medium[2], OTA_EMMC);
  EXPECT_EQ(stored.type[2], AB);
  EXPECT_EQ(stored.type[0], BAK);
  for (const auto& [part, img] :
       {std::pair{"SBL", "SBL.img"}, {"keyimage", "keyimage.img"}, {"boot_b", "boot.img"}}) {
    const std::string bytes = ota_test::read_file(dir_.file(img));
    EXPECT_EQ(read_head(dev(part), bytes.size()), bytes) << part;
  }
  update_info_t* info = ota_get_config_info();
  for (int i = 0; i < 3; ++i) {
    char& digit = info->partition_info[i].md5[0][5];
    const char kept = digit;
    digit = static_cast<char>(kept == '0' ? '1' : '0');
    *get_update_part() = update_part_t{};
    ota_test::clear_log_records();
    EXPECT_EQ(ota_update_partitions(package().c_str(), unzip(), false), -1);
    const std::string name = info->partition_info[i].part_name;
    const std::string device = dev(name == "boot" ? "boot_b" : name);
    EXPECT_TRUE(
        ota_test::log_contains("partition:" + name + " after burn :" + device + " check md5 fail"));
    EXPECT_EQ(updated_names(), std::vector<std::string>(all.begin(), all.begin() + i)) << name;
    digit = kept;
  }
}

}  // namespace
}  // namespace burn_test
