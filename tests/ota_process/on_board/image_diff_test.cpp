#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "burn_fixture.h"
#include "manifest.h"
#include "up_partition.h"

namespace burn_test {
namespace {

class ImageDiffTest : public BurnTest, public ::testing::WithParamInterface<const char*> {
 protected:
  // The running slot holds old.img; the package patches it into new.img.
  void SetUp() override {
    BurnTest::SetUp();
    old_ = ota_test::make_image_bytes(2 * 1048576, 31);
    new_ = old_;
    for (size_t at = 4096; at < new_.size(); at += 65536) {
      new_.replace(at, 16, "changed by patch");
    }
    new_ += ota_test::make_image_bytes(300000, 32);
    ota_test::write_file(dir_.file("old.img"), old_);
    ota_test::write_file(dir_.file("new.img"), new_);
    ASSERT_NO_FATAL_FAILURE(pack_and_parse("part system new.img method=image_diff old=old.img\n"));
    entry_ = &ota_get_config_info()->partition_info[0];
    ASSERT_EQ(entry_->method, IMAGE_DIFF_UP);
  }
  std::string old_;
  std::string new_;
  partition_info_t* entry_ = nullptr;
};

// A patch made from the running slot's image (a ".zst" member in a tar package) rebuilds
// the new image in slot b, proven, with progress advanced and no patch file left behind.
TEST_P(ImageDiffTest, PatchFromRunningSlotApplied) {
  write_head(dev("system_a"), old_);

  ASSERT_EQ(ota_update_image_inc(entry_, unzip(), package().c_str()), 0);

  EXPECT_EQ(read_head(dev("system_b"), new_.size()), new_);
  EXPECT_EQ(read_head(dev("system_a"), old_.size()), old_);
  EXPECT_STREQ(ota_get_upgrade_info().part_name, "system");
  EXPECT_GT(ota_get_upgrade_info().progress, 15u);
  std::string staged = unzip_.file(entry_->part_file);
  if (staged.ends_with(".zst")) {
    staged.resize(staged.size() - 4);
  }
  EXPECT_NE(access(staged.c_str(), F_OK), 0) << staged;
  EXPECT_TRUE(ota_test::log_contains("ota incremental update:"));
}

// When the running slot holds something else the update fails before anything is
// written to the target slot.
TEST_P(ImageDiffTest, DifferentSourceFailsBeforeWriting) {
  std::string other = old_;
  other[1000] = static_cast<char>(other[1000] ^ 0x55);
  write_head(dev("system_a"), other);
  const std::string marker = ota_test::make_image_bytes(new_.size(), 77);
  write_head(dev("system_b"), marker);

  EXPECT_EQ(ota_update_image_inc(entry_, unzip(), package().c_str()), -1);

  EXPECT_TRUE(ota_test::log_contains("MD5 check fail!"));
  EXPECT_EQ(read_head(dev("system_b"), marker.size()), marker);
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageDiffTest, ::testing::Values("zip", "tar"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
}  // namespace burn_test
