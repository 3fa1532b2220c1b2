// One reset brings every piece of the worker's process-wide state back to what a fresh
// process starts with, whichever step dirtied it.
#include "worker_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "gpt_verify.h"
#include "manifest.h"
#include "package_auth.h"
#include "partition_sequence.h"
#include "progress.h"
#include "test_support.h"

namespace {

const char* kManifest =
    "{\"update_partition\":[\"boot\"],\"partition_info\":{\"boot\":{\"medium\":\"emmc\","
    "\"part_type\":\"AB\",\"upgrade_method\":\"image\",\"imgname\":\"boot.img\","
    "\"md5sum\":[\"0123456789abcdef0123456789abcdef\"],\"md5_scope\":[4096]}}}";

// Leaves a mark on every variable the header lists, through the steps' own entry points
// where they have one.
void dirty_everything(const ota_test::TempDir& dir) {
  std::string json = dir.file("data.json");
  ota_test::write_file(json, kManifest);
  ASSERT_EQ(ota_parse_config_file(json.data()), 0);
  ota_set_pipe_fd(-7);
  set_imgname("boot");
  progress_update(2048);
  std::snprintf(g_ota_dir, sizeof(g_ota_dir), "%s", "/userdata/ota");
  std::snprintf(g_ota_unzip_dir, sizeof(g_ota_unzip_dir), "%s", "/userdata/ota/unzip");
  const std::string app = dir.file("x_app.zip");
  ota_test::write_file(app, "PK");
  ASSERT_EQ(chmod(app.c_str(), 0644), 0);
  std::snprintf(g_ota_pkgs[PKG_SEPARATE_APP].zip_path, OTA_ZIP_PATH_LEN, "%s", app.c_str());
  ASSERT_EQ(ota_open_run_packages(), 0);
  g_ota_update_full_pkg = 1;
  g_ota_nor_sync_data.imagenum = 3;
  g_pending_pair = "uboot";
  g_checked_versions.valid = true;
  g_run = RunState{.road_open = true, .target = 1, .param_written = true};
  g_ota_status.owner = OTA_TOOL;
  ASSERT_EQ(ota_append_update_part(get_update_part(), "boot", OTA_EMMC, AB), 0);
}

TEST(WorkerStateTest, OneResetRestoresAllOfIt) {
  ota_worker_reset_state();
  const ota_upgrade_info fresh_record = ota_get_upgrade_info();
  ota_test::TempDir dir;
  dirty_everything(dir);
  ASSERT_TRUE(ota_config_parsed());
  ASSERT_GT(ota_get_upgrade_info().progress, fresh_record.progress);
  const std::string read_path = ota_package_read_path(PKG_SEPARATE_APP);
  ASSERT_FALSE(read_path.empty());
  EXPECT_STREQ(ota_package_name(read_path.c_str()), dir.file("x_app.zip").c_str());

  ota_worker_reset_state();

  EXPECT_FALSE(ota_config_parsed());
  EXPECT_EQ(get_total_size(), 0u);
  EXPECT_EQ(ota_get_pipe_fd(), -1);
  EXPECT_STREQ(ota_get_upgrade_info().part_name, "None");
  EXPECT_EQ(ota_get_upgrade_info().progress, fresh_record.progress);
  EXPECT_STREQ(ota_get_ota_dir(), "/ota");
  EXPECT_STREQ(ota_get_unzip_dir(), "/ota/unzip_dir");
  EXPECT_STREQ(ota_get_packages()[PKG_SEPARATE_APP].zip_path, "");
  EXPECT_EQ(ota_package_read_path(PKG_SEPARATE_APP), "");
  EXPECT_NE(access(read_path.c_str(), F_OK), 0) << "the package's descriptor is still open";
  EXPECT_STREQ(ota_get_packages()[PKG_SEPARATE_APP].match_keyword[1], "APP");
  EXPECT_EQ(ota_get_update_full_pkg(), 0u);
  EXPECT_EQ(ota_get_nor_sync_data().imagenum, 0u);
  EXPECT_TRUE(g_pending_pair.empty());
  EXPECT_FALSE(g_checked_versions.valid);
  EXPECT_FALSE(g_run.road_open);
  EXPECT_EQ(g_run.target, -1);
  EXPECT_EQ(g_ota_status.owner, NORMAL_BOOT);
  EXPECT_EQ(get_update_part()->num, 0u);
  // The byte count and the last percentage sent start over too: nothing burned is 15%.
  ASSERT_EQ(ota_parse_json(kManifest), 0);
  progress_update(0);
  EXPECT_EQ(ota_get_upgrade_info().progress, 15u);
  ota_worker_reset_state();
}

}  // namespace
