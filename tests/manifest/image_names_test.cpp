#include "image_names.h"
#include "manifest_state.h"

#include <gtest/gtest.h>

#include <string>

#include "device_io.h"
#include "manifest.h"
#include "test_support.h"

namespace {

class ImageNamesTest : public ManifestStateTest {};

struct Suffixed {
  const char* tmpl;
  const char* suffix;
  const char* expected;
};

// The suffix replaces the first "%s" only; every other character, printf conversions
// included, is kept as it stands.
TEST_F(ImageNamesTest, SuffixSubstitutionIsNotPrintf) {
  const Suffixed rows[] = {
      {"keyimage%s.img", "_ohp", "keyimage_ohp.img"}, {"keyimage%s.img", "", "keyimage.img"},
      {"keyimage.img", "_ohp", "keyimage.img"},       {"key%n%s.img", "_L0", "key%n_L0.img"},
      {"key%s%s.img", "_L0", "key_L0%s.img"},         {"key%%%d%s", "_ohp", "key%%%d_ohp"},
  };
  for (const Suffixed& row : rows) {
    char out[64] = {};
    ASSERT_EQ(substitute_suffix(row.tmpl, row.suffix, out, sizeof(out)), 0) << row.tmpl;
    EXPECT_STREQ(out, row.expected) << row.tmpl;
  }
}

// A result that does not fit its buffer is refused rather than cut to another name.
TEST_F(ImageNamesTest, SuffixResultMustFit) {
  char out[16] = {};
  EXPECT_EQ(substitute_suffix("keyimage%s.img", "_ohp", out, 16), -1);  // 16 + NUL
  EXPECT_EQ(substitute_suffix("keyimage%s.im", "_ohp", out, 16), 0);
  EXPECT_STREQ(out, "keyimage_ohp.im");
}

struct Expansion {
  const char* tmpl;
  int32_t buflen;
  int32_t result;
  const char* expected_or_message;
};

// Variable expansion without a board: plain text is copied, malformed variables and
// missing board information are refused with their messages.
TEST_F(ImageNamesTest, VariableExpansionWithoutBoard) {
  const Expansion rows[] = {
      {"boot.img", 64, 0, "boot.img"},
      {"a{b}c.img", 64, 0, "a{b}c.img"},
      {"${a{b}}", 64, -1, "Unsupport nested vars"},
      {"${a-b}", 64, -1, "Invalid character - in vars"},
      {"${soc", 64, -1, "Invalid character { in vars"},
      {"$nosuchvar_h5-b.img", 64, -1, "Parse var nosuchvar_h5 failed, ret: -1"},
      {"${nosuchvar_h5}", 64, -1, "Cannot open boardinfo /sys/class/boardinfo/nosuchvar_h5"},
      {"$abcdefghijklmnopqrstuvwxyz0123456", 64, -1, "longer than 31 characters"},
      {"boot.img", 8, -1, "Buffer too short"},
  };
  for (const Expansion& row : rows) {
    ota_test::clear_log_records();
    char out[64] = {};
    ASSERT_EQ(format_imgname(row.tmpl, out, row.buflen), row.result) << row.tmpl;
    if (row.result == 0) {
      EXPECT_STREQ(out, row.expected_or_message);
    } else {
      EXPECT_TRUE(ota_test::log_contains(row.expected_or_message)) << row.tmpl;
    }
  }
}

// Without the provisioning tool's lifecycle the key image gets no suffix, and an SBL
// template is expanded only when nor_sign is set.
TEST_F(ImageNamesTest, LifecycleSelection) {
  char out[64] = {};
  ASSERT_EQ(format_imgname("keyimage%s.img", out, sizeof(out)), 0);
  EXPECT_STREQ(out, "keyimage.img");
  for (const auto& [nor_sign, file] : {std::pair{0, "SBL%s.img"}, {1, "SBL.img"}}) {
    const std::string json = "{\"nor_sign\":" + std::to_string(nor_sign) +
                             ",\"update_partition\":[\"sbl\"],\"partition_info\":{\"sbl\":{"
                             "\"medium\":\"nor\",\"part_type\":\"AB\",\"upgrade_method\":"
                             "\"image\",\"imgname\":\"SBL%s.img\",\"md5sum\":[\"a\"],"
                             "\"md5_scope\":[1]}}}";
    ota_test::TempDir dir;
    std::string path = dir.file("data.json");
    ota_test::write_file(path, json);
    ASSERT_EQ(ota_parse_config_file(path.data()), 0);
    EXPECT_STREQ(ota_get_config_info()->partition_info[0].part_file, file) << nor_sign;
  }
}

}  // namespace
