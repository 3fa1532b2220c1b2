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

class EmmcBurnTest : public BurnTest, public ::testing::WithParamInterface<const char*> {};

// A full eMMC image (zip member, or zstd member of a tar package) lands in slot b (the
// running slot a stays as it was), is proven, recorded in memory and in veeprom, and
// reported on the progress record.
TEST_P(EmmcBurnTest, EmmcImageBurnedIntoSlotB) {
  const std::string image = ota_test::make_image_bytes(3 * 1048576 + 12345, 7);
  ota_test::write_file(dir_.file("boot.img"), image);
  const std::string slot_a_before = md5_head(dev("boot_a"), image.size());
  pack_and_parse(std::string("format ") + GetParam() + "\npart boot boot.img\n");

  ASSERT_EQ(ota_update_partitions(package().c_str(), unzip(), true), 0);

  EXPECT_EQ(md5_head(dev("boot_b"), image.size()), ota_test::md5sum_of(dir_.file("boot.img")));
  EXPECT_EQ(md5_head(dev("boot_a"), image.size()), slot_a_before);
  EXPECT_EQ(updated_names(), std::vector<std::string>{"boot"});
  update_part_t stored{};
  ASSERT_EQ(ota_get_part_array(&stored), 0);
  ASSERT_EQ(stored.num, 1u);
  EXPECT_STREQ(stored.array[0], "boot");
  EXPECT_EQ(stored.medium[0], OTA_EMMC);
  EXPECT_EQ(stored.type[0], AB);
  const ota_upgrade_info record = ota_get_upgrade_info();
  EXPECT_STREQ(record.part_name, ota_get_config_info()->partition_info[0].part_file);
  EXPECT_EQ(record.progress, 85u);
  EXPECT_TRUE(ota_test::log_contains("ota update system partition:boot successful!"));
}

INSTANTIATE_TEST_SUITE_P(Formats, EmmcBurnTest, ::testing::Values("zip", "tar"),
                         [](const auto& p) { return std::string(p.param); });

// On a secure board a NOR image goes through the signed-NOR copy into slot b and is
// proven there; the staged copy is removed from the work directory.
TEST_F(ImageBurnTest, NorImageOnSecureBoard) {
  const std::string image = ota_test::make_image_bytes(300000, 9);
  ota_test::write_file(dir_.file("uboot.img"), image);
  pack_and_parse("key nor_sign 1\npart uboot uboot.img\n");
  ASSERT_EQ(is_bd_secure(), 1);
  partition_info_t* entry = &ota_get_config_info()->partition_info[0];
  ASSERT_EQ(entry->medium, OTA_NOR);

  ASSERT_EQ(ota_update_image(entry, "/userdata/bak", unzip(), package().c_str()), 0);

  EXPECT_EQ(read_head(dev("uboot_b"), image.size()), image);
  EXPECT_NE(read_head(dev("uboot_a"), image.size()), image);
  EXPECT_NE(access(unzip_.file("uboot.img").c_str(), F_OK), 0);
}

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

// An image whose bytes do not match the manifest's digest fails the proof after the
// write, names partition and device, and is not recorded as written.
TEST_F(ImageBurnTest, CorruptImageFailsProof) {
  ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(500000, 3));
  pack_and_parse("part boot boot.img\n");
  // The package carries other bytes than the manifest describes: flip one digest digit.
  char& digit = ota_get_config_info()->partition_info[0].md5[0][5];
  digit = digit == '0' ? '1' : '0';

  EXPECT_EQ(ota_update_partitions(package().c_str(), unzip(), true), -1);

  EXPECT_TRUE(ota_test::log_contains("MD5 check fail!"));
  EXPECT_TRUE(
      ota_test::log_contains("partition:boot after burn :" + dev("boot_b") + " check md5 fail"));
  EXPECT_TRUE(updated_names().empty());
}

// BAK entries and key images are proven like every other image: with their own digests
// they pass, with a wrong one each fails, naming itself.
TEST_F(ImageBurnTest, BakAndKeyImagesProven) {
  ota_test::write_file(dir_.file("SBL.img"), ota_test::make_image_bytes(40000, 1));
  ota_test::write_file(dir_.file("keyimage.img"), ota_test::make_image_bytes(40000, 2));
  pack_and_parse("part SBL SBL.img\npart keyimage keyimage.img name=keyimage.img\n");
  update_info_t* info = ota_get_config_info();
  EXPECT_EQ(ota_update_partitions(package().c_str(), unzip(), false), 0);
  EXPECT_EQ(read_head(dev("SBL"), 40000), ota_test::read_file(dir_.file("SBL.img")));
  EXPECT_EQ(read_head(dev("keyimage"), 40000), ota_test::read_file(dir_.file("keyimage.img")));
  for (int i = 0; i < 2; ++i) {
    partition_info_t& e = info->partition_info[i];
    const char kept = e.md5[0][0];
    e.md5[0][0] = kept == 'a' ? 'b' : 'a';
    EXPECT_EQ(ota_update_image(&e, "", unzip(), package().c_str()), -1) << e.part_name;
    EXPECT_TRUE(ota_test::log_contains(std::string("partition:") + e.part_name +
                                       " after burn :" + dev(e.part_name) + " check md5 fail"));
    e.md5[0][0] = kept;
  }
}

}  // namespace
}  // namespace burn_test
