#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "burn_fixture.h"
#include "kx_zip.h"
#include "manifest.h"
#include "up_partition.h"
#include "veeprom_flag.h"

namespace burn_test {
namespace {

// A hook that appends its tag to a log and exits with the given status.
std::string hook_script(const std::string& tag, int status) {
  return "#!/bin/sh\necho " + tag + " >> /tmp/hooks.log\nexit " + std::to_string(status) + "\n";
}

class SequenceTest : public BurnTest {
 protected:
  void SetUp() override {
    BurnTest::SetUp();
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(100000, 1));
    ota_test::write_file(dir_.file("vbmeta.img"), ota_test::make_image_bytes(20000, 2));
    (void)unlink("/tmp/hooks.log");
  }
  void write_hook(const std::string& file, const std::string& tag, int status) {
    ota_test::write_file(dir_.file(file), hook_script(tag, status));
    ASSERT_EQ(chmod(dir_.file(file).c_str(), 0755), 0);
  }
};

// Hooks run around each partition in manifest order, from a work directory whose name holds
// a quote and a blank, and a failing pre-install hook stops the sequence before its
// partition is written or recorded.
TEST_F(SequenceTest, HooksRunInOrderAndFailingPreHookStops) {
  write_hook("pre_boot.sh", "pre-boot", 0);
  write_hook("post_boot.sh", "post-boot", 0);
  write_hook("pre_vbmeta.sh", "pre-vbmeta", 1);
  const std::string vbmeta_before = md5_head(dev("vbmeta_b"), 20000);
  pack_and_parse(
      "part boot boot.img\npart vbmeta vbmeta.img\n"
      "hook pre boot pre_boot.sh\nhook post boot post_boot.sh\n"
      "hook pre vbmeta pre_vbmeta.sh\n");
  const std::string odd_dir = unzip_.file("it's a dir");
  ASSERT_EQ(mkdir(odd_dir.c_str(), 0755), 0);

  EXPECT_EQ(ota_update_partitions(package().c_str(), odd_dir.c_str(), true), -1);

  EXPECT_EQ(ota_test::read_file("/tmp/hooks.log"), "pre-boot\npost-boot\npre-vbmeta\n");
  EXPECT_EQ(updated_names(), std::vector<std::string>{"boot"});
  EXPECT_EQ(read_head(dev("boot_b"), 100000), ota_test::read_file(dir_.file("boot.img")));
  EXPECT_EQ(md5_head(dev("vbmeta_b"), 20000), vbmeta_before);
  EXPECT_TRUE(ota_test::log_contains("Execute hook failed"));
}

// gpt entries are passed over, an unsupported method stops the sequence with its message,
// and without ab_sync nothing reaches veeprom.
TEST_F(SequenceTest, GptSkippedAndFileMethodRefused) {
  pack_and_parse("part boot boot.img\npart vbmeta vbmeta.img\n");
  update_info_t* info = ota_get_config_info();
  std::snprintf(info->update_partition[0], OTA_PART_NAME_LEN, "%s", "gpt_main");
  info->partition_info[1].method = FILE_UP;

  EXPECT_EQ(ota_update_partitions(package().c_str(), unzip(), false), -1);

  EXPECT_TRUE(ota_test::log_contains("only support image and image diff upgrade method"));
  EXPECT_FALSE(ota_test::log_contains("start update image:boot.img"));
  EXPECT_TRUE(updated_names().empty());
}

// A failing parameter script leaves nothing mounted and nothing recorded. (A script that
// succeeds: the worker's end-to-end runs.)
TEST_F(SequenceTest, FailingParamScriptLeavesNothingMounted) {
  ota_test::write_file(dir_.file("app_param"), "volume=7\n");
  ota_test::write_file(dir_.file("param_update.sh"), "#!/bin/sh\nexit 3\n");
  ASSERT_NO_FATAL_FAILURE(pack_and_parse(
      "part boot boot.img\nfile app_param app_param\nfile param_update.sh param_update.sh\n"));
  for (const char* member : {"app_param", "param_update.sh"}) {
    ASSERT_EQ(kx_uncompress_one(package().c_str(), unzip(), member), 0);
  }
  EXPECT_LT(ota_update_param_part(unzip()), 0);
  EXPECT_FALSE(param_mount_left());
  EXPECT_TRUE(updated_names().empty());
  EXPECT_TRUE(ota_test::log_contains("param_update.sh"));
}

}  // namespace
}  // namespace burn_test
