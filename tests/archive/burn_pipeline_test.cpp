// Members burned through the overlapped pipeline: the same bytes, results and messages
// as the plain stream, a proof of every byte written, and no thread left after any
// failure (corrupt member, member larger than its device, write error).
#include <fcntl.h>
#include <zstd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "archive_fixtures.h"
#include "burn_modes.h"
#include "burn_pipeline.h"
#include "kx_zip.h"
#include "tar_zstd.h"
#include "unz_handle.h"

namespace {

using namespace archive_test;
using ota_test::read_file;

ota_file_info_t destination(const std::string& path) {
  ota_file_info_t info{};
  info.medium = OTA_EMMC;
  std::snprintf(info.path, sizeof(info.path), "%s", path.c_str());
  return info;
}

std::string zstd_frame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  const size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 1);
  out.resize(ZSTD_isError(n) != 0 ? 0 : n);
  return out;
}

// Every case runs with the writer thread and in one-thread mode.
class BurnPipelineStream : public ota_test::BurnModeTest {
 protected:
  void SetUp() override {
    BurnModeTest::SetUp();
    progress_calls().clear();
  }
  // A package holding image under each name below, plus damaged copies.
  void build_packages(const std::string& image) {
    std::string damaged = image;
    std::memcpy(damaged.data() + image.size() / 2, "MARKER-TO-FLIP", 14);
    write_zip(zip(), {{.name = "deflated.img", .data = image},
                      {.name = "stored.img", .data = image, .stored = true},
                      {.name = "crc.img", .data = damaged, .stored = true},
                      {.name = "inflate.img", .data = image}});
    std::string archive = read_file(zip());
    archive[archive.find("MARKER-TO-FLIP")] = 'N';  // the stored copy: only its CRC tells
    ota_test::write_file(zip(), archive);
    std::string frame = zstd_frame(image);
    frame[frame.size() * 3 / 4] = static_cast<char>(frame[frame.size() * 3 / 4] ^ 0x5A);
    write_tar(tar(), {{.name = "image.img.zst", .data = image, .zstd = true},
                      {.name = "corrupt.img.zst", .data = frame}});
  }
  // Damages the deflate stream of inflate.img, the last member, in its middle.
  void damage_inflate_member() {
    std::string archive = read_file(zip());
    const size_t central = archive.find("PK\x01\x02");
    const size_t header = archive.rfind("inflate.img", central);
    ASSERT_NE(std::string::npos, header);
    const size_t middle = header + (central - header) / 2;
    // Zeros where the stream went on: the member fails (on its CRC). A few flipped bytes
    // may instead end the stream early, which minizip reports as a whole member.
    std::memset(archive.data() + middle, 0, 4096);
    ota_test::write_file(zip(), archive);
  }
  // Burns member of pkg into out with a proof; the result code.
  int32_t burn(const std::string& pkg, const char* member, const std::string& out,
               ota::ReadBackProof* proof, uint64_t max_bytes = OTA_MEMBER_UNBOUNDED) {
    ota_file_info_t dest = destination(out);
    return kx_uncompress_file_to(pkg.c_str(), member, &dest, record_progress, max_bytes, proof);
  }
  std::string zip() const { return dir_.file("pkg.zip"); }
  std::string tar() const { return dir_.file("pkg.tar"); }

  ota_test::TempDir dir_;
};

// A zip member (deflated or stored) and a zstd member land byte-exact; the proof holds
// every byte read back, and progress adds up to the image in calls that never go back.
TEST_P(BurnPipelineStream, MembersLandWithTheirProof) {
  const std::string image = ota_test::make_image_bytes(2 * ota::kBurnSlotSize + 777, 3);
  build_packages(image);
  const std::pair<std::string, const char*> rows[] = {
      {zip(), "deflated.img"}, {zip(), "stored.img"}, {tar(), "image.img.zst"}};
  for (const auto& [pkg, member] : rows) {
    SCOPED_TRACE(member);
    progress_calls().clear();
    const std::string out = dir_.file("out.img");
    ota::ReadBackProof proof;
    ASSERT_EQ(0, burn(pkg, member, out, &proof));
    EXPECT_EQ(image, read_file(out));
    EXPECT_EQ(image.size(), proof.hashed);
    EXPECT_EQ(ota_test::md5_hex(image), ota_test::final_hex(proof.ctx));
    EXPECT_EQ(image.size(), progress_sum());
    for (const ssize_t n : progress_calls()) {
      EXPECT_GE(n, 0);
    }
  }
}

// A corrupt member fails with the code and message of the plain stream.
TEST_P(BurnPipelineStream, CorruptMemberFailsAsThePlainStream) {
  const std::string image = ota_test::make_image_bytes(3 * ota::kBurnSlotSize, 4);
  build_packages(image);
  damage_inflate_member();
  const std::pair<std::string, const char*> rows[] = {
      {zip(), "crc.img"}, {zip(), "inflate.img"}, {tar(), "corrupt.img.zst"}};
  for (const auto& [pkg, member] : rows) {
    SCOPED_TRACE(member);
    const int32_t plain = burn(pkg, member, dir_.file("plain.img"), nullptr);
    ASSERT_LT(plain, 0);
    ota::ReadBackProof proof;
    EXPECT_EQ(plain, burn(pkg, member, dir_.file("piped.img"), &proof));
  }
}

// A zstd member that decompresses past its device's size stops at the bound, unwritten
// beyond it; a write error (a full device) fails the zip and zstd burns with their
// messages.
TEST_P(BurnPipelineStream, ShortDeviceAndWriteError) {
  const std::string image = ota_test::make_image_bytes(3 * ota::kBurnSlotSize + 5, 5);
  build_packages(image);
  ota::ReadBackProof proof;
  const std::string out = dir_.file("short.img");
  EXPECT_EQ(-1, burn(tar(), "image.img.zst", out, &proof, ota::kBurnSlotSize + 100));
  EXPECT_TRUE(ota_test::log_contains("decompresses to more than"));
  EXPECT_LE(std::filesystem::file_size(out), ota::kBurnSlotSize + 100);

  ota_test::clear_log_records();
  ota::ReadBackProof full_zip;
  EXPECT_EQ(-1, burn(zip(), "deflated.img", "/dev/full", &full_zip));
  EXPECT_TRUE(ota_test::log_contains("error in writing extracted file"));
  ota::ReadBackProof full_zst;
  EXPECT_EQ(-3, burn(tar(), "image.img.zst", "/dev/full", &full_zst));
  EXPECT_EQ(0u, full_zip.hashed + full_zst.hashed);
}

INSTANTIATE_TEST_SUITE_P(Modes, BurnPipelineStream, ::testing::Bool(), ota_test::burn_mode_name);

}  // namespace
