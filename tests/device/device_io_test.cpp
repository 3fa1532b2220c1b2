#include "device_io.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "loop_device.h"
#include "test_support.h"

namespace {

ota_file_info_t info(const std::string& path, uint64_t offset, uint64_t size,
                     ota_medium_e medium = OTA_NOR) {
  ota_file_info_t f{};
  f.offset = offset;
  f.size = size;
  f.medium = medium;
  std::snprintf(f.path, sizeof(f.path), "%s", path.c_str());
  return f;
}

// Counts recorded by the copy callback.
std::vector<int32_t> g_cb_counts;
void record_count(int fd, int32_t len) {
  EXPECT_GE(fd, 0);
  g_cb_counts.push_back(len);
}

using ota_test::LoopDevice;

class DeviceIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_io_reset_state();
    ota_test::clear_log_records();
    g_cb_counts.clear();
  }
  void TearDown() override { device_io_reset_state(); }

  ota_test::TempDir dir_;
};

constexpr size_t kSigned = OTA_NOR_SIGNED_CHUNK;  // 2099200
constexpr size_t kNor = OTA_NOR_CHUNK;            // 2097152
constexpr size_t kDestOffset = 4096;

struct LayoutCase {
  const char* name;
  ota_medium_e medium;
  int secure;
  bool signed_layout;
  std::vector<int32_t> counts;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class CopyLayoutTest : public DeviceIoTest, public ::testing::WithParamInterface<LayoutCase> {};

// Two signed NOR chunks on a secure board occupy 2 x 2097152 + 2048 bytes (the second
// trailer last); without the flag, or to eMMC whatever the flag, bytes land contiguously
// in the medium's chunk size.
TEST_P(CopyLayoutTest, ChunkLayout) {
  const LayoutCase& c = GetParam();
  ASSERT_EQ(ota_set_bd_secure(c.secure), 0);
  const std::string src = ota_test::make_image_bytes(2 * kSigned, 11);
  const std::string src_path = dir_.file("src.img");
  const std::string dst_path = dir_.file("dst.img");
  ota_test::write_file(src_path, src);
  const std::string filler(3 * kNor, '\xA5');
  ota_test::write_file(dst_path, filler);

  ota_file_info_t from = info(src_path, 0, src.size());
  ota_file_info_t to = info(dst_path, kDestOffset, 0, c.medium);
  ASSERT_EQ(ota_file_to_file(&from, &to, record_count), 0);

  std::string expected = filler;
  if (c.signed_layout) {
    expected.replace(kDestOffset, kNor, src, 0, kNor);
    expected.replace(kDestOffset + kNor, kSigned, src, kSigned, kSigned);
  } else {
    expected.replace(kDestOffset, src.size(), src);
  }
  const std::string got = ota_test::read_file(dst_path);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "device bytes differ from the expected layout";
  EXPECT_EQ(g_cb_counts, c.counts);
}

INSTANTIATE_TEST_SUITE_P(
    Media, CopyLayoutTest,
    ::testing::Values(
        LayoutCase{"SignedNor", OTA_NOR, 1, true, {int32_t{kSigned}, int32_t{kSigned}}},
        LayoutCase{"PlainNor", OTA_NOR, 0, false, {int32_t{kNor}, int32_t{kNor}, 4096}},
        LayoutCase{"EmmcSecure", OTA_EMMC, 1, false, {int32_t{2 * kSigned}}},
        LayoutCase{"EmmcPlain", OTA_EMMC, 0, false, {int32_t{2 * kSigned}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// eMMC copies move 10 MiB per chunk; a size past the source's end copies up to its end
// (UINT64_MAX: the whole source) and succeeds; the source offset is honoured.
TEST_F(DeviceIoTest, CopyStopsAtSourceEnd) {
  const std::string src = ota_test::make_image_bytes(OTA_MMC_CHUNK * 2 + 1000, 3);
  const std::string src_path = dir_.file("src.img");
  const std::string dst_path = dir_.file("dst.img");
  ota_test::write_file(src_path, src);
  for (const uint64_t size : {uint64_t{UINT64_MAX}, uint64_t{src.size() + 1}}) {
    ota_test::write_file(dst_path, "");
    g_cb_counts.clear();
    ota_file_info_t from = info(src_path, 0, size);
    ota_file_info_t to = info(dst_path, 0, 0, OTA_EMMC);
    ASSERT_EQ(ota_file_to_file(&from, &to, record_count), 0);
    EXPECT_TRUE(ota_test::read_file(dst_path) == src);
    const std::vector<int32_t> counts = {int32_t{OTA_MMC_CHUNK}, int32_t{OTA_MMC_CHUNK}, 1000};
    EXPECT_EQ(g_cb_counts, counts);
  }
  ota_test::write_file(dst_path, "");
  ota_file_info_t from = info(src_path, 100, 50);
  ota_file_info_t to = info(dst_path, 0, 0, OTA_EMMC);
  ASSERT_EQ(ota_file_to_file(&from, &to, nullptr), 0);
  EXPECT_EQ(ota_test::read_file(dst_path), src.substr(100, 50));
}

// Every refusal of the copy fails with its message and creates nothing.
TEST_F(DeviceIoTest, CopyFailures) {
  const std::string src_path = dir_.file("src.img");
  ota_test::write_file(src_path, "abc");
  const std::string missing = dir_.file("missing");

  ota_file_info_t from = info(src_path, 0, 3);
  ota_file_info_t to = info(missing, 0, 0);
  EXPECT_EQ(ota_file_to_file(&from, &to, nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("open file:" + missing + " failed"));
  EXPECT_NE(access(missing.c_str(), F_OK), 0);

  ota_file_info_t no_src = info(missing, 0, 3);
  ota_file_info_t dst = info(src_path, 0, 0);
  EXPECT_EQ(ota_file_to_file(&no_src, &dst, nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("open file: " + missing + " failed"));

  EXPECT_EQ(ota_file_to_file(nullptr, &dst, nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("file info is null"));

  ota_file_info_t full = info("/dev/full", 0, 0);
  EXPECT_EQ(ota_file_to_file(&from, &full, nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("write /dev/full image error"));

  ota_file_info_t far = info(src_path, UINT64_MAX, 3);  // beyond any seekable offset
  EXPECT_EQ(ota_file_to_file(&far, &dst, nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("fseek failed"));
}

// The flag takes only 0 and 1; any other value is refused and the flag keeps its value.
// Every read of it is logged, and the chunk size follows it for NOR only.
TEST_F(DeviceIoTest, BoardSecureFlag) {
  EXPECT_EQ(is_bd_secure(), 0);
  EXPECT_EQ(ota_chunk_size(OTA_NOR), kNor);
  ASSERT_EQ(ota_set_bd_secure(1), 0);
  EXPECT_EQ(ota_set_bd_secure(2), -1);
  EXPECT_EQ(ota_set_bd_secure(-1), -1);
  EXPECT_EQ(is_bd_secure(), 1);
  EXPECT_TRUE(ota_test::log_contains("BD_SECURE:1"));
  EXPECT_EQ(ota_chunk_size(OTA_NOR), kSigned);
  EXPECT_EQ(ota_chunk_size(OTA_EMMC), OTA_MMC_CHUNK);
  ASSERT_EQ(ota_set_bd_secure(0), 0);
  EXPECT_EQ(is_bd_secure(), 0);
}

// The buffer writer stores at the offset (a regular file is truncated first, as with
// "wb"); the buffer reader reads exactly its length and refuses a short file.
TEST_F(DeviceIoTest, BufferRoundTripAndFileSize) {
  const std::string path = dir_.file("record.bin");
  ota_test::write_file(path, std::string(100, 'x'));
  ota_file_info_t f = info(path, 16, 0);
  ASSERT_EQ(ota_buf_to_file(&f, "hello", 5), 0);
  EXPECT_EQ(ota_test::read_file(path), std::string(16, '\0') + "hello");

  char back[5] = {};
  ASSERT_EQ(ota_file_to_buf(&f, back, sizeof(back)), 0);
  EXPECT_EQ(std::string(back, 5), "hello");

  f.offset = 18;
  EXPECT_EQ(ota_file_to_buf(&f, back, sizeof(back)), -1);
  EXPECT_TRUE(ota_test::log_contains("read " + path + " file error"));

  ota_file_info_t missing = info(dir_.file("no/such"), 0, 0);
  EXPECT_EQ(ota_file_to_buf(&missing, back, 1), -1);
  EXPECT_EQ(ota_buf_to_file(&missing, "x", 1), -1);
  EXPECT_TRUE(ota_test::log_contains("open file:" + std::string(missing.path) + " failed"));
  EXPECT_EQ(ota_buf_to_file(nullptr, "x", 1), -1);
  EXPECT_EQ(ota_file_to_buf(&f, nullptr, 1), -1);

  // The size of a file; -1 for a missing file (silently) and for no path (with a message).
  EXPECT_EQ(get_file_size(path.c_str()), 21);
  EXPECT_EQ(get_file_size(dir_.file("missing").c_str()), -1);
  EXPECT_FALSE(ota_test::log_contains("file ptr is empty"));
  EXPECT_EQ(get_file_size(nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("file ptr is empty"));
}

// A result of 0 means the bytes reached the medium: with the device still held open
// elsewhere (so its close flushes nothing), both writers' data is in the backing file. A
// write that stores only part of the buffer (the device ends first) fails.
TEST_F(DeviceIoTest, WritesReachTheMedium) {
  const std::string backing = dir_.file("disk.img");
  ota_test::write_file(backing, std::string(8 * 1048576, '\0'));
  const std::string src = ota_test::make_image_bytes(3 * 1048576 + 512, 5);
  const std::string src_path = dir_.file("src.img");
  ota_test::write_file(src_path, src);
  const LoopDevice loop(backing);

  ota_file_info_t rec = info(loop.path(), 512, 0);
  ASSERT_EQ(ota_buf_to_file(&rec, "durable", 7), 0);
  ota_file_info_t from = info(src_path, 0, UINT64_MAX);
  ota_file_info_t to = info(loop.path(), 1048576, 0, OTA_EMMC);
  ASSERT_EQ(ota_file_to_file(&from, &to, nullptr), 0);

  const std::string medium = ota_test::read_file(backing);
  EXPECT_EQ(medium.substr(512, 7), "durable");
  EXPECT_TRUE(medium.substr(1048576, src.size()) == src) << "copied image not on the medium";

  const std::string record(8192, 'r');
  ota_file_info_t tail = info(loop.path(), 8 * 1048576 - 4096, 0);
  EXPECT_EQ(ota_buf_to_file(&tail, record.data(), record.size()), -1);
  EXPECT_TRUE(ota_test::log_contains("write " + loop.path() + " file error"));
}

// A flush that fails is a failure with a message: the medium (a loop device over a file
// on a full file system) takes the writes into its cache but cannot store them.
TEST_F(DeviceIoTest, FailedFlushFails) {
  // A private mount namespace: the small file system vanishes with the process whatever
  // happens.
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
  const std::string mnt = dir_.file("mnt");
  ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
  ASSERT_EQ(mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k"), 0) << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  const std::string backing = mnt + "/disk.img";
  ota_test::write_file(backing, "");
  ASSERT_EQ(truncate(backing.c_str(), 4 * 1048576), 0);  // sparse: more than the fs holds
  const std::string src_path = dir_.file("src.img");
  ota_test::write_file(src_path, ota_test::make_image_bytes(1048576, 9));
  {
    const LoopDevice loop(backing);
    ota_file_info_t rec = info(loop.path(), 0, 0);
    const std::string big(1048576, 'b');
    EXPECT_EQ(ota_buf_to_file(&rec, big.data(), big.size()), -1);
    EXPECT_TRUE(ota_test::log_contains("sync " + loop.path() + " failed"));
  }
  {
    const LoopDevice loop(backing);
    ota_test::clear_log_records();
    ota_file_info_t from = info(src_path, 0, UINT64_MAX);
    ota_file_info_t to = info(loop.path(), 2 * 1048576, 0, OTA_EMMC);
    EXPECT_EQ(ota_file_to_file(&from, &to, nullptr), -1);
    EXPECT_TRUE(ota_test::log_contains("sync " + loop.path() + " failed"));
  }
}

}  // namespace
