// Secure images taken out of the full package into "/tmp/ota": a regular member no larger
// than the security module loads, landing in a folder of ours that nothing planted in
// world-writable /tmp can redirect, never leaving an older copy to be loaded instead.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive_writer.h"
#include "board_client.h"
#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"

namespace {

using ota::archive::TarEntry;
using ota::archive::TarWriter;
using ota::archive::ZipEntry;
using ota::archive::ZipWriter;

constexpr const char* kDir = "/tmp/ota";
constexpr size_t kImageMax = 2 << 20;  // the security module's image buffer

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

class SecureImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ota_test::clear_log_records();
    ASSERT_EQ(board_client::run("rm -rf /tmp/ota"), 0);
    ota_test::write_file(victim_.file("secret"), "keep");
    ASSERT_NO_FATAL_FAILURE(make_packages());
  }
  void TearDown() override { (void)board_client::run("rm -rf /tmp/ota"); }

  // The same members in a zip and a tar package: an image as large as the security module
  // takes, one a byte larger, a link to a file outside, and a certificate.
  void make_packages() {
    auto zip = ZipWriter::create(zip_);
    ASSERT_TRUE(zip.ok());
    ASSERT_TRUE(zip->add_bytes(ZipEntry{.name = "secure.img"}, image_).ok());
    ASSERT_TRUE(zip->add_bytes(ZipEntry{.name = "big.img"}, big_).ok());
    ASSERT_TRUE(zip->add_symlink("link.img", victim_.file("secret")).ok());
    ASSERT_TRUE(zip->add_bytes(ZipEntry{.name = "cert.pem"}, "certificate").ok());
    ASSERT_TRUE(zip->finish().ok());
    auto tar = TarWriter::create(tar_);
    ASSERT_TRUE(tar.ok());
    ASSERT_TRUE(tar->add_bytes(TarEntry{.name = "secure.img.zst", .zstd = true}, image_).ok());
    ASSERT_TRUE(tar->add_bytes(TarEntry{.name = "big.img.zst", .zstd = true}, big_).ok());
    ASSERT_TRUE(tar->add_symlink("link.img", victim_.file("secret")).ok());
    ASSERT_TRUE(tar->finish().ok());
  }

  ota_test::TempDir dir_;
  ota_test::TempDir victim_;
  const std::string zip_ = dir_.file("all_in_one.zip");
  const std::string tar_ = dir_.file("all_in_one.tar");
  const std::string image_ = ota_test::make_image_bytes(kImageMax, 5);
  const std::string big_ = ota_test::make_image_bytes(kImageMax + 1, 6);
};

// A member within the bound lands whole; one over it or a link is refused by name and
// takes an earlier copy of the same image with it. Either way the call answers 0.
TEST_F(SecureImageTest, BoundedRegularMemberOnly) {
  const struct {
    const char* what;
    const std::string& package;
    const char* member;
    const char* lands_as;
    bool lands;
  } cases[] = {{"zip at the bound", zip_, "secure.img", "secure.img", true},
               {"zip over the bound", zip_, "big.img", "big.img", false},
               {"zip link", zip_, "link.img", "link.img", false},
               {"tar at the bound", tar_, "secure.img.zst", "secure.img", true},
               {"tar over the bound", tar_, "big.img.zst", "big.img", false},
               {"tar link", tar_, "link.img", "link.img", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string landed = std::string(kDir) + "/" + c.lands_as;
    ASSERT_EQ(board_client::run("rm -rf /tmp/ota"), 0);
    ASSERT_EQ(mkdir(kDir, 0700), 0);
    ota_test::write_file(landed, "earlier copy");
    ota_test::clear_log_records();
    EXPECT_EQ(ota_sec_uncompress(c.package.c_str(), c.member), 0);
    if (c.lands) {
      EXPECT_EQ(ota_test::read_file(landed), image_);
      continue;
    }
    EXPECT_FALSE(exists(landed)) << "an earlier copy would be loaded in its place";
    EXPECT_TRUE(ota_test::log_contains(std::string("secure img [") + c.member + "] is not found"));
    EXPECT_EQ(ota_test::read_file(victim_.file("secret")), "keep");
  }
}

// Another user's "/tmp/ota" is refused with a line naming it, and nothing is put in it
// (what else may stand under the name is the private-folder claim's, tests/base).
TEST_F(SecureImageTest, AnotherUsersFolderIsRefused) {
  ASSERT_EQ(mkdir(kDir, 0777), 0);
  ASSERT_EQ(chmod(kDir, 0777), 0);
  ASSERT_EQ(chown(kDir, 65534, 65534), 0);
  EXPECT_EQ(ota_sec_uncompress(zip_.c_str(), "secure.img"), -1);
  EXPECT_TRUE(ota_test::log_contains("secure image folder /tmp/ota refused"));
  EXPECT_FALSE(exists(std::string(kDir) + "/secure.img"));
}

// The certificate and the image, taken out one after the other, are both there for the
// security module to load; without a full package nothing is touched.
TEST_F(SecureImageTest, ImageAndCertificateLoad) {
  ASSERT_EQ(ota_sec_uncompress((dir_.file("none.zip") + ";" + zip_).c_str(), "cert.pem"), -1);
  ASSERT_EQ(ota_sec_uncompress(zip_.c_str(), "cert.pem"), 0);
  ASSERT_EQ(ota_sec_uncompress(zip_.c_str(), "secure.img"), 0);
  ota_sec_img_t info{};
  std::snprintf(info.cert_path, sizeof(info.cert_path), "%s/cert.pem", kDir);
  std::snprintf(info.img_path, sizeof(info.img_path), "%s/secure.img", kDir);
  EXPECT_EQ(ota_hsm_init(&info), 0);

  ASSERT_EQ(board_client::run("rm -rf /tmp/ota"), 0);
  ota_test::write_file(dir_.file("update.zip"), ota_test::read_file(zip_));
  EXPECT_EQ(ota_sec_uncompress(dir_.file("update.zip").c_str(), "secure.img"), 0);
  EXPECT_TRUE(ota_test::log_contains("secure img [secure.img] is not found"));
  EXPECT_FALSE(exists(kDir));
}

}  // namespace
