// Partition to partition, as the worker runs it: old is the head of a larger device and
// new is written into a larger device without touching what lies beyond newSize.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "hpatch.h"
#include "hpatch_test_util.h"
#include "loop_device.h"

namespace {

using hpatch_test::kVectorDir;
using ota_test::LoopDevice;
using ota_test::read_file;
using ota_test::write_file;

class BlockDevices : public ::testing::TestWithParam<std::string> {};

// Each patch of the pair rebuilds new at the head of the target device; its tail keeps
// its bytes, and so does the source device.
TEST_P(BlockDevices, PatchesDeviceToDevice) {
  const std::string dir = kVectorDir + "/" + GetParam();
  const std::string new_bytes = read_file(dir + "/new.bin");
  ota_test::TempDir tmp;
  // Loop devices come in whole sectors: round the images up and add spare room.
  const auto padded = [](const std::string& bytes, char fill) {
    return bytes + std::string((bytes.size() + (1u << 20) + 511) / 512 * 512 - bytes.size(), fill);
  };
  const std::string old_image = padded(read_file(dir + "/old.bin"), '\xA5');
  const std::string target_fill = padded(std::string(new_bytes.size(), '\x5A'), '\x5A');
  write_file(tmp.file("source.img"), old_image);
  write_file(tmp.file("target.img"), target_fill);
  const LoopDevice source(tmp.file("source.img"));
  const LoopDevice target(tmp.file("target.img"));
  for (const auto& patch : hpatch_test::patches_of(GetParam())) {
    ASSERT_EQ(hpatchz(source.path().c_str(), (dir + "/" + patch).c_str(), target.path().c_str(),
                      64u << 10),
              0)
        << patch;
    const std::string written = read_file(target.path());
    EXPECT_TRUE(written.substr(0, new_bytes.size()) == new_bytes) << patch;
    EXPECT_EQ(written.substr(new_bytes.size()), target_fill.substr(new_bytes.size())) << patch;
  }
  EXPECT_TRUE(read_file(source.path()) == old_image);
}

INSTANTIATE_TEST_SUITE_P(Pairs, BlockDevices, ::testing::ValuesIn(hpatch_test::kPairs),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A target device smaller than new, or the old device itself (by device number, under
// another name), is refused before a byte is written.
TEST(BlockDevices, RefusesTooSmallOrSameDevice) {
  ota_test::TempDir tmp;
  const std::string fill(512 * 1024, '\x33');
  write_file(tmp.file("target.img"), fill);
  const LoopDevice target(tmp.file("target.img"));
  const std::string bin = kVectorDir + "/bin-1m";
  ota_test::clear_log_records();
  EXPECT_NE(hpatchz((bin + "/old.bin").c_str(), (bin + "/default.hdiff").c_str(),
                    target.path().c_str(), 0),
            0);
  EXPECT_TRUE(ota_test::log_contains("holds 524288 bytes but the new image is 1046576 bytes"));
  EXPECT_EQ(read_file(target.path()), fill);

  const std::string dense = kVectorDir + "/dense-1m";
  write_file(tmp.file("disk.img"), read_file(dense + "/old.bin"));
  const LoopDevice disk(tmp.file("disk.img"));
  struct stat st {};
  ASSERT_EQ(stat(disk.path().c_str(), &st), 0);
  ASSERT_EQ(mknod(tmp.file("alias").c_str(), S_IFBLK | 0600, st.st_rdev), 0);
  EXPECT_NE(hpatchz(disk.path().c_str(), (dense + "/default.hdiff").c_str(),
                    tmp.file("alias").c_str(), 0),
            0);
  EXPECT_TRUE(ota_test::log_contains("is the same file as the old image"));
  EXPECT_TRUE(read_file(disk.path()) == read_file(dense + "/old.bin"));
}

}  // namespace
