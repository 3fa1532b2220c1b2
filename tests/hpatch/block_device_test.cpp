// Partition to partition, as the worker runs it: old is the head of a larger device and
// new is written into a larger device without touching what lies beyond newSize.
#include <gtest/gtest.h>

#include <string>

#include "hpatch.h"
#include "hpatch_test_util.h"

namespace {

using hpatch_test::kVectorDir;
using hpatch_test::Loop;
using ota_test::read_file;
using ota_test::write_file;

constexpr size_t kSpare = 1u << 20;

class BlockDevices : public ::testing::TestWithParam<std::string> {};

// Each patch of the pair rebuilds new at the head of the target device; its tail keeps
// its bytes.
TEST_P(BlockDevices, PatchesDeviceToDevice) {
  const std::string dir = kVectorDir + "/" + GetParam();
  const std::string old_bytes = read_file(dir + "/old.bin");
  const std::string new_bytes = read_file(dir + "/new.bin");
  ota_test::TempDir tmp;
  // Loop devices come in whole sectors: round the images up and add spare room.
  const auto round = [](size_t n) { return (n + kSpare + 511) / 512 * 512; };
  const std::string old_image =
      old_bytes + std::string(round(old_bytes.size()) - old_bytes.size(), '\xA5');
  const std::string target_fill(round(new_bytes.size()), '\x5A');
  write_file(tmp.file("source.img"), old_image);
  write_file(tmp.file("target.img"), target_fill);
  Loop source(tmp.file("source.img"));
  Loop target(tmp.file("target.img"));
  ASSERT_TRUE(source.ok() && target.ok());

  for (const auto& patch : hpatch_test::patches_of(GetParam())) {
    ASSERT_EQ(hpatchz(source.path().c_str(), (dir + "/" + patch).c_str(), target.path().c_str(),
                      64u << 10),
              0)
        << patch;
    const std::string written = target.read(target_fill.size());
    EXPECT_TRUE(written.substr(0, new_bytes.size()) == new_bytes) << patch;
    EXPECT_EQ(written.substr(new_bytes.size()), target_fill.substr(new_bytes.size())) << patch;
  }
  EXPECT_EQ(source.read(old_image.size()), old_image);
}

INSTANTIATE_TEST_SUITE_P(Pairs, BlockDevices, ::testing::ValuesIn(hpatch_test::kPairs),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A target device smaller than new is refused before a byte is written.
TEST(BlockDevices, RefusesTooSmallTarget) {
  const std::string dir = kVectorDir + "/bin-1m";
  ota_test::TempDir tmp;
  const std::string fill(512 * 1024, '\x33');
  write_file(tmp.file("target.img"), fill);
  Loop target(tmp.file("target.img"));
  ASSERT_TRUE(target.ok());
  ota_test::clear_log_records();
  EXPECT_NE(hpatchz((dir + "/old.bin").c_str(), (dir + "/default.hdiff").c_str(),
                    target.path().c_str(), 0),
            0);
  EXPECT_TRUE(ota_test::log_contains("holds 524288 bytes but the new image is 1046576 bytes"));
  EXPECT_EQ(target.read(fill.size()), fill);
}

// The same device as old and new (by device number, under another name) is refused.
TEST(BlockDevices, RefusesSameDevice) {
  const std::string dir = kVectorDir + "/dense-1m";
  ota_test::TempDir tmp;
  write_file(tmp.file("disk.img"), read_file(dir + "/old.bin"));
  Loop disk(tmp.file("disk.img"));
  ASSERT_TRUE(disk.ok());
  const std::string alias = tmp.file("alias");
  struct stat st {};
  ASSERT_EQ(stat(disk.path().c_str(), &st), 0);
  ASSERT_EQ(mknod(alias.c_str(), S_IFBLK | 0600, st.st_rdev), 0);
  ota_test::clear_log_records();
  EXPECT_NE(hpatchz(disk.path().c_str(), (dir + "/default.hdiff").c_str(), alias.c_str(), 0), 0);
  EXPECT_TRUE(ota_test::log_contains("is the same file as the old image"));
  EXPECT_TRUE(disk.read(1u << 20) == read_file(dir + "/old.bin"));
}

}  // namespace
