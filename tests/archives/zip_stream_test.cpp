#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <string>

#include "archive_fixtures.h"
#include "kx_zip.h"
#include "unz_handle.h"

namespace {

using archive_test::mode_of;
using archive_test::progress_calls;
using ota::archive::ZipEntry;
using ota::archive::ZipMethod;
using ota::archive::ZipWriter;
using ota_test::TempDir;

ota_file_info_t destination(const std::string& path, ota_medium_e medium = OTA_EMMC) {
  ota_file_info_t info{};
  info.medium = medium;
  std::snprintf(info.path, sizeof(info.path), "%s", path.c_str());
  return info;
}

class ZipStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    progress_calls().clear();
    ota_test::clear_log_records();
  }
  // One stored and one deflated copy of data, plus an empty member.
  void build(const std::string& data) {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ZipEntry stored;
    stored.name = "stored.img";
    stored.method = ZipMethod::kStore;
    stored.mode = 0640;
    stored.mtime = 1600000000;
    ASSERT_OK(zip->add_bytes(stored, data));
    ZipEntry deflated = stored;
    deflated.name = "deflated.img";
    deflated.method = ZipMethod::kDeflate;
    ASSERT_OK(zip->add_bytes(deflated, data));
    ZipEntry empty = stored;
    empty.name = "empty.img";
    ASSERT_OK(zip->add_bytes(empty, ""));
    ASSERT_OK(zip->finish());
  }
  std::string zip_path() const { return dir_.file("pkg.zip"); }

  TempDir dir_;
};

// A member streams byte-exact in chunks of the medium, and the progress calls (ending
// with one 0) add up to its size; a new file takes the member's mode and time.
TEST_F(ZipStreamTest, StreamsMemberIntoNewFile) {
  const std::string data = ota_test::make_image_bytes(2 * OTA_MMC_CHUNK + 12345, 9);
  build(data);
  for (const char* name : {"stored.img", "deflated.img"}) {
    SCOPED_TRACE(name);
    progress_calls().clear();
    const std::string out = dir_.file(std::string("new_") + name);
    ota_file_info_t dest = destination(out);
    ASSERT_EQ(
        0, kx_uncompress_file_to(zip_path().c_str(), name, &dest, archive_test::record_progress));
    EXPECT_EQ(data, ota_test::read_file(out));
    EXPECT_EQ(data.size(), archive_test::progress_sum());
    ASSERT_EQ(4u, progress_calls().size());
    EXPECT_EQ(static_cast<ssize_t>(OTA_MMC_CHUNK), progress_calls()[0]);
    EXPECT_EQ(0, progress_calls().back());
    EXPECT_EQ(0640u, mode_of(out));
    struct stat st {};
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_NEAR(1600000000, st.st_mtime, 1);
  }
}

// An existing destination (as a device node would be) keeps its mode and times.
TEST_F(ZipStreamTest, ExistingDestinationKeepsModeAndTimes) {
  build("payload");
  const std::string out = dir_.file("device");
  ota_test::write_file(out, std::string(100, 'z'));
  ASSERT_EQ(0, chmod(out.c_str(), 0600));
  const struct utimbuf times = {1234567, 1234567};
  ASSERT_EQ(0, utime(out.c_str(), &times));
  ota_file_info_t dest = destination(out);
  ASSERT_EQ(0, kx_unzip_file_to(zip_path().c_str(), "stored.img", &dest, nullptr));
  struct stat st {};
  ASSERT_EQ(0, stat(out.c_str(), &st));
  EXPECT_EQ("payload", ota_test::read_file(out));
  EXPECT_EQ(0600u, mode_of(out));
  // Writing moves a regular file's mtime; the entry's time must not be applied on top.
  EXPECT_EQ(1234567, st.st_atime);
  EXPECT_NE(1600000000, st.st_mtime);
}

// An empty member gives exactly one progress call, with 0.
TEST_F(ZipStreamTest, EmptyMemberGivesOneZeroCall) {
  build("x");
  ota_file_info_t dest = destination(dir_.file("empty.out"), OTA_NOR);
  ASSERT_EQ(
      0, kx_unzip_file_to(zip_path().c_str(), "empty.img", &dest, archive_test::record_progress));
  ASSERT_EQ(1u, progress_calls().size());
  EXPECT_EQ(0, progress_calls()[0]);
}

// A stored member whose data was damaged fails on its CRC instead of reporting success.
TEST_F(ZipStreamTest, CrcMismatchFails) {
  std::string data = ota_test::make_image_bytes(100000, 4);
  std::memcpy(data.data() + 5000, "MARKER-TO-FLIP", 14);
  build(data);
  std::string archive = ota_test::read_file(zip_path());
  const size_t at = archive.find("MARKER-TO-FLIP");
  ASSERT_NE(std::string::npos, at);
  archive[at] = 'N';
  ota_test::write_file(zip_path(), archive);
  ota_file_info_t dest = destination(dir_.file("out.img"));
  EXPECT_EQ(UNZ_CRCERROR, kx_unzip_file_to(zip_path().c_str(), "stored.img", &dest, nullptr));
  EXPECT_TRUE(ota_test::log_contains("unzCloseCurrentFile"));
}

// Missing archives, members and unwritable destinations fail with a negative result.
TEST_F(ZipStreamTest, FailuresAreNegative) {
  build("x");
  ota_file_info_t dest = destination(dir_.file("out"));
  EXPECT_LT(kx_unzip_file_to(dir_.file("none.zip").c_str(), "stored.img", &dest, nullptr), 0);
  EXPECT_LT(kx_unzip_file_to(zip_path().c_str(), "absent.img", &dest, nullptr), 0);
  ota_file_info_t bad = destination(dir_.file("no/dir/out"));
  EXPECT_EQ(-1, kx_unzip_file_to(zip_path().c_str(), "stored.img", &bad, nullptr));
  EXPECT_EQ(-1, kx_uncompress_file_to(dir_.file("pkg.bin").c_str(), "x", &dest, nullptr));
}

}  // namespace
