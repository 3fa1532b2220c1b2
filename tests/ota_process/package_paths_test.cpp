#include "package_paths.h"

#include <cstdio>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell_quote.h"
#include "test_support.h"
#include "worker_state.h"

namespace {

class PackagePathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_worker_reset_state();
    ota_test::clear_log_records();
  }
  void TearDown() override { ota_worker_reset_state(); }
  // Creates the named files in the temporary directory and returns their paths joined
  // with ";" the way the command line carries them.
  std::string make(const std::vector<std::string>& names, const std::string& sep = ";") {
    std::string list;
    for (const std::string& name : names) {
      ota_test::write_file(dir_.file(name), "pkg");
      list += (list.empty() ? "" : sep) + dir_.file(name);
    }
    return list;
  }
  std::string path_of(package_separate_e kind) { return ota_get_packages()[kind].zip_path; }
  ota_test::TempDir dir_;
};

struct Kind {
  const char* name;
  int kind;  // -1: not supported
};

// Substring matching in table order decides the kind of each file name.
TEST_F(PackagePathsTest, KindOfEachName) {
  const Kind rows[] = {
      {"all_in_one_full_v2.zip", PKG_SEPARATE_FULL},
      {"all_in_one_v2.zip", PKG_SEPARATE_SYSTEM},
      {"x_middleware_app.zip", PKG_SEPARATE_MIDDLEWARE},
      {"app_param.zip", PKG_SEPARATE_APP},
      {"MY_APP.tar", PKG_SEPARATE_APP},
      {"param.img", PKG_SEPARATE_PARAM},
      {"firmware.zip", -1},
      {"All_In_One.zip", -1},
  };
  for (const Kind& row : rows) {
    ota_worker_reset_state();
    ota_test::clear_log_records();
    const int ret = ota_get_package_path(make({row.name}).c_str());
    if (row.kind < 0) {
      EXPECT_EQ(ret, -1) << row.name;
      EXPECT_TRUE(ota_test::log_contains(std::string("file:") + row.name + " not supported"));
      continue;
    }
    ASSERT_EQ(ret, 0) << row.name;
    EXPECT_EQ(path_of(static_cast<package_separate_e>(row.kind)), dir_.file(row.name));
    EXPECT_EQ(ota_get_update_full_pkg(), row.kind == PKG_SEPARATE_FULL ? 1u : 0u);
  }
}

struct BadList {
  const char* what;
  std::vector<std::string> names;
  int32_t result;
  const char* message;
};

// Lists that cannot form one upgrade are refused with their message and result.
TEST_F(PackagePathsTest, RefusedLists) {
  const BadList rows[] = {
      {"two app", {"x_app.zip", "y_app.zip"}, -1, "This upgrade task has two app package"},
      {"full then system",
       {"all_in_one_full.zip", "all_in_one.zip"},
       -1,
       "only support single full pkg,and cannot attach other pkg"},
      {"system then full",
       {"all_in_one.zip", "all_in_one_full.zip"},
       -1,
       "only support single full pkg,and cannot attach other pkg"},
      {"app then full",
       {"x_app.zip", "all_in_one_full.zip"},
       -1,
       "only support single full pkg,and cannot attach other pkg"},
      {"same name twice", {"x_app.zip", "x_app.zip"}, -1, "has two app package"},
  };
  for (const BadList& row : rows) {
    ota_worker_reset_state();
    ota_test::clear_log_records();
    EXPECT_EQ(ota_get_package_path(make(row.names).c_str()), row.result) << row.what;
    EXPECT_TRUE(ota_test::log_contains(row.message)) << row.what;
  }
  ota_worker_reset_state();
  EXPECT_EQ(ota_get_package_path(""), -6);
  EXPECT_TRUE(ota_test::log_contains("No update file selected"));
  EXPECT_EQ(ota_get_package_path("data/app.zip"), -6);
  EXPECT_TRUE(ota_test::log_contains("Please use absolute path: data/app.zip"));
  EXPECT_EQ(ota_get_package_path(dir_.file("missing_app.zip").c_str()), -1);
  EXPECT_TRUE(ota_test::log_contains("cannot read file: "));
  const std::string too_long(600, '/');
  EXPECT_EQ(ota_get_package_path(too_long.c_str()), -6);
}

// Only zip and tar packages pass the package check (the pieces of a list, empty ones
// skipped, each checked); a vanished file is -16.
TEST_F(PackagePathsTest, PackageCheckSuffixes) {
  ASSERT_EQ(ota_get_package_path(make({"a_app.tar", "b_param.zip"}, ";;").c_str()), 0);
  EXPECT_EQ(path_of(PKG_SEPARATE_APP), dir_.file("a_app.tar"));
  EXPECT_EQ(path_of(PKG_SEPARATE_PARAM), dir_.file("b_param.zip"));
  EXPECT_EQ(ota_check_package(), 0);
  ota_worker_reset_state();
  ASSERT_EQ(ota_get_package_path(make({"c_param.img"}).c_str()), 0);
  EXPECT_EQ(ota_check_package(), -OTAERR_FILE_TYPE);
  EXPECT_TRUE(ota_test::log_contains("unsupported file suffix"));
  ota_worker_reset_state();
  ASSERT_EQ(ota_get_package_path(make({"d_app.zip"}).c_str()), 0);
  ASSERT_EQ(unlink(dir_.file("d_app.zip").c_str()), 0);
  EXPECT_EQ(ota_check_package(), -OTAERR_NO_EXISTS);
}

struct ConfigCase {
  std::string text;
  const char* dir;
};

// The deploy directory is the first word after the key at the start of a line; other
// lines, and a missing key, leave the buffer as it was.
TEST_F(PackagePathsTest, RuntimeConfig) {
  const ConfigCase rows[] = {
      {"A=1\nOTA_DEPLOY_DIR=/userdata/ota extra\nOTA_DEPLOY_DIR=/second\n", "/userdata/ota"},
      {"X_OTA_DEPLOY_DIR=/nope\n", "/ota"},
      {"OTA_DEPLOY_DIR=/a;rm -rf x\n", "/a;rm"},
      {"", "/ota"},
      {"OTA_DEPLOY_DIR=/" + std::string(200, 'd') + "\n", "/ota"},
  };
  for (const ConfigCase& row : rows) {
    char dir[OTA_DIR_LEN] = "/ota";
    ota_test::write_file(dir_.file("runtime_config"), row.text);
    ASSERT_EQ(get_config_values(dir_.file("runtime_config").c_str(), dir), 0);
    EXPECT_STREQ(dir, row.dir) << row.text;
  }
  char dir[OTA_DIR_LEN] = "/ota";
  EXPECT_EQ(get_config_values(dir_.file("none").c_str(), dir), -1);
  EXPECT_TRUE(ota_test::log_contains("warning runtime_config not opend"));
}

// The mount-point check takes the first component and passes it to the shell as one
// word, so shell syntax in the configured directory runs nothing.
TEST_F(PackagePathsTest, MountPointQuoted) {
  EXPECT_EQ(ota_check_mount_point("/proc/self"), 0);
  EXPECT_TRUE(ota_test::log_contains("ota path:/proc/self mount point is:/proc!"));
  const std::string marker = dir_.file("pwned");
  const std::string evil = "/x;touch " + marker + ";/y";
  EXPECT_EQ(ota_check_mount_point(evil.c_str()), -1);
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_EQ(ota_check_mount_point(nullptr), -1);
  EXPECT_EQ(ota_check_mount_point(std::string(128, 'a').c_str()), -1);
  EXPECT_TRUE(ota_test::log_contains("ota mount point para is too len!"));
}

// Free space is reported for an existing path and refused for a missing one.
TEST_F(PackagePathsTest, FreeSpace) {
  std::string path = dir_.path();
  EXPECT_GT(get_free_space(path.data()), 0);
  std::string missing = dir_.file("no/such");
  EXPECT_EQ(get_free_space(missing.data()), -1);
  EXPECT_TRUE(ota_test::log_contains("Stat from"));
}

// A quoted text reaches the command as exactly one argument, whatever it holds.
TEST_F(PackagePathsTest, ShellQuoteRoundTrip) {
  for (const std::string text : {"plain", "it's", "a b", "$(touch x);`id`|&>", "'\\''", ""}) {
    int status = -1;
    EXPECT_EQ(ota_test::shell_output("printf '%s|' " + shell_quote(text), &status), text + "|");
    EXPECT_EQ(status, 0) << text;
  }
}

}  // namespace
