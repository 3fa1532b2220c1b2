// Members staged in a work directory: bounded before and while they are written, links
// refused where a file is expected, whole packages of either kind spending a budget, and
// the kind of a package told by its content or the end of its name.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive_fixtures.h"
#include "kx_zip.h"

namespace {

using archive_test::exists;
using archive_test::mode_of;
using ota::archive::TarEntry;
using ota::archive::TarWriter;
using ota::archive::ZipEntry;
using ota::archive::ZipWriter;
using ota_test::TempDir;

TarEntry tar_entry(const std::string& name, bool zstd = false) {
  TarEntry e;
  e.name = name;
  e.zstd = zstd;
  return e;
}

class StagingBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override { ota_test::clear_log_records(); }
  // A zip and a tar package with the same members: "big.img" (64 KiB), "small.json"
  // (5 bytes), "hook.sh" a link to a file outside, and in the tar "big.img.zst" too.
  void make_packages() {
    auto z = ZipWriter::create(zip());
    ASSERT_OK(z);
    ASSERT_OK(z->add_bytes(ZipEntry{.name = "big.img"}, big_));
    ASSERT_OK(z->add_bytes(ZipEntry{.name = "small.json"}, "{\"a\"}"));
    ASSERT_OK(z->add_symlink("hook.sh", outside_.file("secret")));
    ASSERT_OK(z->finish());
    auto t = TarWriter::create(tar());
    ASSERT_OK(t);
    ASSERT_OK(t->add_bytes(tar_entry("big.img"), big_));
    ASSERT_OK(t->add_bytes(tar_entry("big.img.zst", true), big_));
    ASSERT_OK(t->add_bytes(tar_entry("small.json"), "{\"a\"}"));
    ASSERT_OK(t->add_symlink("hook.sh", outside_.file("secret")));
    ASSERT_OK(t->finish());
    ota_test::write_file(outside_.file("secret"), "keep");
    ASSERT_EQ(0, chmod(outside_.file("secret").c_str(), 0600));
  }
  std::string zip() const { return dir_.file("pkg.zip"); }
  std::string tar() const { return dir_.file("pkg.tar"); }
  std::string out(const std::string& name) const { return out_.file(name); }

  TempDir dir_;
  TempDir out_;
  TempDir outside_;
  const std::string big_ = ota_test::make_image_bytes(65536, 3);
};

// A member over its bound, or a link where a file is expected, is refused with its name
// and leaves nothing in the directory; within the bound the member lands whole.
TEST_F(StagingBoundsTest, SingleMembersBoundedAndLinksRefused) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  struct Row {
    const char* package;
    const char* member;
    uint64_t bound;
    const char* lands_as;  // "" for a refusal
  };
  const std::string z = zip();
  const std::string t = tar();
  const Row rows[] = {
      {z.c_str(), "big.img", 65535, ""},          {z.c_str(), "big.img", 65536, "big.img"},
      {t.c_str(), "big.img", 65535, ""},          {t.c_str(), "big.img", 65536, "big.img"},
      {t.c_str(), "big.img.zst", 65535, ""},      {t.c_str(), "big.img.zst", 65536, "big.img"},
      {z.c_str(), "hook.sh", 1 << 20, ""},        {t.c_str(), "hook.sh", 1 << 20, ""},
      {z.c_str(), "small.json", 5, "small.json"}, {t.c_str(), "small.json", 4, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.package) + " " + row.member + " " + std::to_string(row.bound));
    ota_test::clear_log_records();
    const bool accepted = row.lands_as[0] != '\0';
    EXPECT_EQ(accepted,
              kx_uncompress_one(row.package, out_.path().c_str(), row.member, row.bound) == 0);
    if (accepted) {
      EXPECT_EQ(ota_test::read_file(out(row.lands_as)).size(),
                std::string(row.member) == "small.json" ? 5u : big_.size());
      ASSERT_EQ(0, unlink(out(row.lands_as).c_str()));
    } else {
      EXPECT_TRUE(ota_test::log_contains(row.member)) << "the refusal names the member";
    }
    EXPECT_FALSE(exists(out("big.img")));
    EXPECT_FALSE(exists(out("hook.sh")));
    EXPECT_FALSE(exists(out("small.json")));
  }
  EXPECT_EQ("keep", ota_test::read_file(outside_.file("secret")));
  EXPECT_EQ(0600u, mode_of(outside_.file("secret")));
}

// A device-bound stream refuses a zip member larger than the device before writing.
TEST_F(StagingBoundsTest, StreamToDeviceRefusesOversizedMember) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  ota_test::write_file(out("dev"), std::string(100, 'D'));
  ota_file_info_t dest{};
  dest.medium = OTA_EMMC;
  std::snprintf(dest.path, sizeof(dest.path), "%s", out("dev").c_str());
  EXPECT_NE(0, kx_uncompress_file_to(zip().c_str(), "big.img", &dest, nullptr, 65535));
  EXPECT_EQ(std::string(100, 'D'), ota_test::read_file(out("dev")));
  EXPECT_NE(0, kx_uncompress_file_to(tar().c_str(), "big.img.zst", &dest, nullptr, 65535));
  EXPECT_EQ(0, kx_uncompress_file_to(tar().c_str(), "big.img.zst", &dest, nullptr, 65536));
  EXPECT_EQ(big_, ota_test::read_file(out("dev")));
}

// A whole tar package unpacks like a zip one: directories, plain and decompressed files
// with their modes, links made but not followed.
TEST_F(StagingBoundsTest, WholeTarPackage) {
  {
    auto tar = TarWriter::create(dir_.file("param.tar"));
    ASSERT_OK(tar);
    ASSERT_OK(tar->add_directory("app_param/"));
    TarEntry script = tar_entry("param_update.sh");
    script.mode = 0755;
    ASSERT_OK(tar->add_bytes(script, "#!/bin/sh\n"));
    ASSERT_OK(tar->add_bytes(tar_entry("app_param/conf/a.txt"), "volume=7\n"));
    ASSERT_OK(tar->add_bytes(tar_entry("app_param/blob.bin.zst", true), big_));
    ASSERT_OK(tar->add_symlink("app_param/link", "conf/a.txt"));
    ASSERT_OK(tar->finish());
  }
  ASSERT_EQ(0, kx_uncompress(dir_.file("param.tar").c_str(), out_.path().c_str()));
  EXPECT_EQ("#!/bin/sh\n", ota_test::read_file(out("param_update.sh")));
  EXPECT_EQ(0755u, mode_of(out("param_update.sh")));
  EXPECT_EQ("volume=7\n", ota_test::read_file(out("app_param/conf/a.txt")));
  EXPECT_EQ(big_, ota_test::read_file(out("app_param/blob.bin")));
  char target[64] = {};
  ASSERT_GT(readlink(out("app_param/link").c_str(), target, sizeof(target) - 1), 0);
  EXPECT_STREQ("conf/a.txt", target);
  uint64_t img = 0;
  uint64_t members = 0;
  EXPECT_GT(kx_get_package_size(dir_.file("param.tar").c_str(), &img, &members), 65536 / 2);
  EXPECT_EQ(5u, members);
}

// A whole extraction that runs out of bytes or inodes, or meets a member it cannot make,
// fails instead of skipping the member; members of other types are refused.
TEST_F(StagingBoundsTest, WholePackageFailsOnAnyMember) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  struct Row {
    const char* what;
    std::string package;
    uint64_t bytes;
    uint64_t inodes;
    bool blocked;  // "small.json" already exists as a directory
  };
  const Row rows[] = {
      {"zip bytes", zip(), 65536, 10, false},    {"tar bytes", tar(), 65536 + 100, 10, false},
      {"zip inodes", zip(), 1 << 20, 2, false},  {"tar inodes", tar(), 1 << 20, 3, false},
      {"zip blocked", zip(), 1 << 20, 10, true}, {"tar blocked", tar(), 1 << 20, 10, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dest;
    if (row.blocked) {
      ASSERT_EQ(0, mkdir(dest.file("small.json").c_str(), 0755));
      ASSERT_EQ(0, mkdir(dest.file("small.json/x").c_str(), 0755));
    }
    ota::ExtractBudget budget{.bytes = row.bytes, .inodes = row.inodes};
    EXPECT_EQ(-1, kx_uncompress(row.package.c_str(), dest.path().c_str(), &budget));
  }
  TempDir dest;
  ota::ExtractBudget enough{.bytes = 1 << 20, .inodes = 10};
  EXPECT_EQ(0, kx_uncompress(tar().c_str(), dest.path().c_str(), &enough));
  EXPECT_EQ(10u - 4u, enough.inodes);
  EXPECT_EQ("keep", ota_test::read_file(outside_.file("secret")));
}

// The kind comes from the content, else from the end of the name; a folder named with
// "zip" says nothing about the tar inside it.
TEST_F(StagingBoundsTest, KindByContentOrNameEnd) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  ASSERT_EQ(0, mkdir(dir_.file("zipped").c_str(), 0755));
  ASSERT_EQ(0, rename(tar().c_str(), dir_.file("zipped/all_in_one.tar").c_str()));
  ASSERT_EQ(0, rename(zip().c_str(), dir_.file("tarball.bin").c_str()));
  ota_test::write_file(dir_.file("zipped/empty.zip"), "");
  struct Row {
    std::string path;
    ota_archive_kind_e kind;
  };
  const Row rows[] = {
      {dir_.file("zipped/all_in_one.tar"), OTA_ARCHIVE_TAR},
      {dir_.file("tarball.bin"), OTA_ARCHIVE_ZIP},
      {dir_.file("zipped/empty.zip"), OTA_ARCHIVE_ZIP},
      {dir_.file("zipped/missing.tar"), OTA_ARCHIVE_TAR},
      {dir_.file("zipped/notes.txt"), OTA_ARCHIVE_UNKNOWN},
      {dir_.file("zip.tar.d/x"), OTA_ARCHIVE_UNKNOWN},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.kind, ota_archive_kind(row.path.c_str())) << row.path;
  }
  EXPECT_EQ(0, kx_uncompress_one(dir_.file("zipped/all_in_one.tar").c_str(), out_.path().c_str(),
                                 "big.img.zst"));
  EXPECT_EQ(big_, ota_test::read_file(out("big.img")));
}

}  // namespace
