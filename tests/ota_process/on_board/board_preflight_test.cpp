#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "board_io.h"
#include "board_layout.h"
#include "gpt_verify.h"
#include "kx_zip.h"
#include "manifest.h"
#include "pack_description.h"
#include "package_paths.h"
#include "packager.h"
#include "test_support.h"
#include "up_partition.h"
#include "worker_state.h"

namespace {

class BoardPreflightTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ota_worker_reset_state();
    ota_test::clear_log_records();
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(200000, 1));
  }
  void TearDown() override { ota_worker_reset_state(); }
  // Packs a description into package.zip.
  void pack(const std::string& desc) {
    auto d = ota::pack::parse_description(desc, dir_.path());
    ASSERT_TRUE(d.ok()) << d.error().message();
    auto r = ota::pack::make_package(d.value(), package());
    ASSERT_TRUE(r.ok()) << r.error().message();
  }
  std::string package() const { return dir_.file("package.zip"); }
  // What the worker takes out of a system package before its checks, then the parse.
  int32_t unpack_and_parse() {
    for (const char* name : {"data.json", "gpt.conf"}) {
      EXPECT_EQ(kx_uncompress_one(package().c_str(), unzip_.path().c_str(), name), 0);
    }
    std::string json = unzip_.file("data.json");
    return ota_parse_config_file(json.data());
  }
  ota_test::TempDir dir_;
  ota_test::TempDir unzip_;
};

// Board variables come from the board's information files, and key and security-module
// images take the suffix of the board's lifecycle, asked anew for every parse.
TEST_F(BoardPreflightTest, TemplatesExpandFromTheBoard) {
  ota_test::write_file(dir_.file("key.img"), std::string(4096, 'k'));
  pack(
      "key nor_sign 1\npart boot boot.img name=${soc}_boot.img\n"
      "part keyimage key.img name=keyimage%s.img\npart HSM_FW key.img name=HSM_FW%s.img\n");
  struct Case {
    const char* lifecycle;
    const char* key;
    const char* hsm;
  };
  for (const Case& c : {Case{"DEVELOP", "keyimage.img", "HSM_FW.img"},
                        Case{"OHP", "keyimage_ohp.img", "HSM_FW.img"},
                        Case{"ATE", "keyimage.img", "HSM_FW_L0.img"}}) {
    ota_test::write_file("/usr/mirvo/etc/lifecycle", std::string(c.lifecycle) + "\n");
    ota_worker_reset_state();
    ASSERT_EQ(unpack_and_parse(), 0) << c.lifecycle;
    const update_info_t* info = ota_get_config_info();
    EXPECT_STREQ(info->partition_info[0].part_file, "rev2_evb_boot.img");
    EXPECT_STREQ(info->partition_info[1].part_file, c.key) << c.lifecycle;
    EXPECT_STREQ(info->partition_info[2].part_file, c.hsm) << c.lifecycle;
  }
}

// The work directories follow the board's runtime configuration; its top directory is a
// mount point.
TEST_F(BoardPreflightTest, WorkDirectoriesFollowTheBoard) {
  ASSERT_EQ(update_ota_partition_path(), 0);
  EXPECT_STREQ(ota_get_ota_dir(), "/userdata/ota");
  EXPECT_STREQ(ota_get_unzip_dir(), "/userdata/ota/unzip");
  EXPECT_EQ(ota_check_mount_point(ota_get_ota_dir()), 0);
}

// With ab_sync set the engine copies no NOR half (the firmware will); without it the sync
// table of the pre-flight check lists the three pairs outside the package. (The copies
// themselves: the worker's end-to-end runs.)
TEST_F(BoardPreflightTest, AbSyncLeavesTheNorToTheFirmware) {
  const auto l = ota::board::default_layout();
  unsigned seed = 30;
  for (const auto& [a, b] : l.nor_ab_pairs()) {
    board_io::write_dev(std::string(board_io::kByName) + a->name, 0,
                        board_io::pattern(a->size, seed++));
  }
  const auto nor_before = board_io::read_dev("/dev/mtd0", 0, l.nor_size);
  pack("key ab_sync 1\npart boot boot.img\n");
  ASSERT_EQ(unpack_and_parse(), 0);
  ASSERT_EQ(verify_gpt_config(unzip_.path().c_str()), 0);
  ASSERT_EQ(ota_nor_ab_sync(), 0);
  EXPECT_EQ(board_io::read_dev("/dev/mtd0", 0, l.nor_size), nor_before);

  pack("part boot boot.img\n");
  ota_worker_reset_state();
  ASSERT_EQ(unpack_and_parse(), 0);
  ASSERT_EQ(verify_gpt_config(unzip_.path().c_str()), 0);
  EXPECT_EQ(ota_get_nor_sync_data().imagenum, 3u);
}

}  // namespace
