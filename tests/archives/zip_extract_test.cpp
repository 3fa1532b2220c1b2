#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive_fixtures.h"
#include "file_names.h"
#include "kx_zip.h"

namespace {

using archive_test::exists;
using archive_test::mode_of;
using ota::archive::TarWriter;
using ota::archive::ZipEntry;
using ota::archive::ZipMethod;
using ota::archive::ZipWriter;
using ota_test::TempDir;

ZipEntry entry(const std::string& name, uint32_t mode = 0644,
               ZipMethod method = ZipMethod::kDeflate) {
  ZipEntry e;
  e.name = name;
  e.mode = mode;
  e.method = method;
  return e;
}

class ZipExtractTest : public ::testing::Test {
 protected:
  void SetUp() override { ota_test::clear_log_records(); }
  std::string zip_path() const { return dir_.file("pkg.zip"); }
  std::string out(const std::string& name = "") const {
    return dir_.file(name.empty() ? "out" : "out/" + name);
  }

  TempDir dir_;
};

// A whole archive lands under the destination: nested members get their directories,
// directory entries make one level, modes are applied and links hold their target.
TEST_F(ZipExtractTest, ExtractsNestedDirectoriesAndLinks) {
  {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry("dir/sub/file.txt", 0640), "nested"));
    ASSERT_OK(zip->add_directory("empty/"));
    ASSERT_OK(zip->add_directory("missing/parent/"));
    ASSERT_OK(zip->add_bytes(entry("run.sh", 0755, ZipMethod::kStore), "#!/bin/sh\n"));
    ASSERT_OK(zip->add_symlink("dir/link", "sub/file.txt"));
    ASSERT_OK(zip->finish());
  }
  ASSERT_EQ(0, kx_uncompress(zip_path().c_str(), out().c_str()));
  EXPECT_EQ("nested", ota_test::read_file(out("dir/sub/file.txt")));
  EXPECT_EQ(0640u, mode_of(out("dir/sub/file.txt")));
  EXPECT_EQ(0755u, mode_of(out("run.sh")));
  EXPECT_TRUE(exists(out("empty")));
  EXPECT_FALSE(exists(out("missing")));
  char target[64] = {};
  ASSERT_GT(readlink(out("dir/link").c_str(), target, sizeof(target) - 1), 0);
  EXPECT_STREQ("sub/file.txt", target);
}

// Extracting again overwrites files and replaces links; neither is an error.
TEST_F(ZipExtractTest, OverwritesExistingFiles) {
  {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry("a.txt"), "new"));
    ASSERT_OK(zip->add_symlink("l", "a.txt"));
    ASSERT_OK(zip->finish());
  }
  ASSERT_EQ(0, mkdir(out().c_str(), 0755));
  ota_test::write_file(out("a.txt"), "old content that is longer");
  ASSERT_EQ(0, symlink("elsewhere", out("l").c_str()));
  ASSERT_EQ(0, kx_uncompress(zip_path().c_str(), out().c_str()));
  ASSERT_EQ(0, kx_uncompress(zip_path().c_str(), out().c_str()));
  EXPECT_EQ("new", ota_test::read_file(out("a.txt")));
  char target[16] = {};
  ASSERT_GT(readlink(out("l").c_str(), target, sizeof(target) - 1), 0);
  EXPECT_STREQ("a.txt", target);
  EXPECT_FALSE(ota_test::log_contains("symlink error"));
}

// Hostile members never write, chmod or touch anything outside the destination: absolute
// names, ".." components, and paths through links the archive made are refused.
TEST_F(ZipExtractTest, RefusesMembersThatWouldLeaveTheDestination) {
  TempDir outside;
  ota_test::write_file(outside.file("secret"), "keep");
  ASSERT_EQ(0, chmod(outside.file("secret").c_str(), 0600));
  struct Case {
    const char* what;
    void (*build)(ZipWriter&, const std::string&);
  };
  const Case cases[] = {
      {"dotdot",
       [](ZipWriter& z, const std::string&) {
         ASSERT_OK(z.add_bytes(entry("a/../../secret", 0777), "pwned"));
       }},
      {"absolute",
       [](ZipWriter& z, const std::string& o) {
         ASSERT_OK(z.add_bytes(entry(o + "/secret", 0777), "pwned"));
       }},
      {"dir link",
       [](ZipWriter& z, const std::string& o) {
         ASSERT_OK(z.add_symlink("d", o));
         ASSERT_OK(z.add_bytes(entry("d/secret", 0777), "pwned"));
       }},
      {"file link",
       [](ZipWriter& z, const std::string& o) {
         ASSERT_OK(z.add_symlink("x", o + "/secret"));
         ASSERT_OK(z.add_bytes(entry("x", 0777), "pwned"));
       }},
      {"dir entry link",
       [](ZipWriter& z, const std::string& o) {
         ASSERT_OK(z.add_symlink("d", o));
         ASSERT_OK(z.add_directory("d/newdir/"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dest;
    {
      auto zip = ZipWriter::create(zip_path());
      ASSERT_OK(zip);
      c.build(zip.value(), outside.path());
      ASSERT_OK(zip->finish());
    }
    ota_test::clear_log_records();
    EXPECT_EQ(-1, kx_uncompress(zip_path().c_str(), dest.path().c_str()));
    EXPECT_TRUE(ota_test::log_contains("refusing member")) << c.what;
    EXPECT_EQ("keep", ota_test::read_file(outside.file("secret")));
    EXPECT_EQ(0600u, mode_of(outside.file("secret")));
    EXPECT_FALSE(exists(outside.file("newdir")));
    EXPECT_FALSE(exists(dir_.file("secret")));
  }
}

// A member name longer than the 255-byte name buffer is refused rather than cut to a
// different path.
TEST_F(ZipExtractTest, RefusesNamesLongerThanTheNameBuffer) {
  const std::string name = std::string(200, 'd') + "/" + std::string(100, 'f');
  {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry(name), "x"));
    ASSERT_OK(zip->finish());
  }
  EXPECT_EQ(-1, kx_uncompress(zip_path().c_str(), out().c_str()));
  EXPECT_FALSE(exists(out(std::string(200, 'd'))));
}

// A link entry pointing outside is made, but its mode never reaches the target.
TEST_F(ZipExtractTest, LinkEntryDoesNotChmodItsTarget) {
  TempDir outside;
  ota_test::write_file(outside.file("secret"), "keep");
  ASSERT_EQ(0, chmod(outside.file("secret").c_str(), 0600));
  {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_symlink("l", outside.file("secret")));
    ASSERT_OK(zip->finish());
  }
  ASSERT_EQ(0, kx_uncompress(zip_path().c_str(), out().c_str()));
  EXPECT_EQ(0600u, mode_of(outside.file("secret")));
}

// One member lands at dest joined with its path; a missing member fails.
TEST_F(ZipExtractTest, UnzipOneExtractsExactlyThatMember) {
  {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry("data.json"), "{}"));
    ASSERT_OK(zip->add_bytes(entry("img/boot.img"), "boot"));
    ASSERT_OK(zip->finish());
  }
  ASSERT_EQ(0, kx_unzip_one(zip_path().c_str(), out().c_str(), "img/boot.img"));
  EXPECT_EQ("boot", ota_test::read_file(out("img/boot.img")));
  EXPECT_FALSE(exists(out("data.json")));
  EXPECT_EQ(-1, kx_unzip_one(zip_path().c_str(), out().c_str(), "data"));
  EXPECT_EQ(-1, kx_unzip_one(dir_.file("none.zip").c_str(), out().c_str(), "data.json"));
}

// A zip member is found by prefix, a tar member only by its exact name; unknown kinds fail.
TEST_F(ZipExtractTest, MemberTestsZipPrefixTarExact) {
  {
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry("preinst_boot.sh"), "x"));
    ASSERT_OK(zip->finish());
    auto tar = TarWriter::create(dir_.file("pkg.tar"));
    ASSERT_OK(tar);
    ota::archive::TarEntry e;
    e.name = "preinst_boot.sh";
    ASSERT_OK(tar->add_bytes(e, "x"));
    ASSERT_OK(tar->finish());
  }
  EXPECT_EQ(1, kx_compress_has_file(zip_path().c_str(), "preinst_"));
  EXPECT_EQ(1, kx_zip_has_file(zip_path().c_str(), "preinst_boot.sh"));
  EXPECT_EQ(0, kx_zip_has_file(zip_path().c_str(), "postinst_"));
  EXPECT_EQ(0, kx_compress_has_file(dir_.file("pkg.tar").c_str(), "preinst_"));
  EXPECT_EQ(1, kx_compress_has_file(dir_.file("pkg.tar").c_str(), "preinst_boot.sh"));
  EXPECT_EQ(-1, kx_compress_has_file(dir_.file("pkg.bin").c_str(), "x"));
  EXPECT_EQ(-1, kx_zip_has_file(dir_.file("none.zip").c_str(), "x"));
}

// A ".zst" member is decompressed without its suffix from a tar package but copied as is
// from a zip package.
TEST_F(ZipExtractTest, UncompressOneDispatchesByPackageKind) {
  const std::string image = ota_test::make_image_bytes(300000, 5);
  {
    auto tar = TarWriter::create(dir_.file("pkg.tar"));
    ASSERT_OK(tar);
    ota::archive::TarEntry e;
    e.name = "x.img.zst";
    e.zstd = true;
    ASSERT_OK(tar->add_bytes(e, image));
    ASSERT_OK(tar->finish());
    auto zip = ZipWriter::create(zip_path());
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry("x.img.zst"), "opaque"));
    ASSERT_OK(zip->finish());
  }
  ASSERT_EQ(0, mkdir(out().c_str(), 0755));
  ASSERT_EQ(0, kx_uncompress_one(dir_.file("pkg.tar").c_str(), out().c_str(), "x.img.zst"));
  EXPECT_EQ(image, ota_test::read_file(out("x.img")));
  EXPECT_FALSE(exists(out("x.img.zst")));
  ASSERT_EQ(0, kx_uncompress_one(zip_path().c_str(), out().c_str(), "x.img.zst"));
  EXPECT_EQ("opaque", ota_test::read_file(out("x.img.zst")));
  EXPECT_EQ(-1, kx_uncompress_one(dir_.file("pkg.bin").c_str(), out().c_str(), "x"));
}

// Sizes: the total counts every member, the image size only ".img" members; directory
// sums and maxima go over the regular zip files.
TEST_F(ZipExtractTest, SizeFunctions) {
  ASSERT_EQ(0, mkdir(dir_.file("pkgs").c_str(), 0755));
  {
    auto zip = ZipWriter::create(dir_.file("pkgs/a.zip"));
    ASSERT_OK(zip);
    ASSERT_OK(zip->add_bytes(entry("a.img"), std::string(1000, 'a')));
    ASSERT_OK(zip->add_bytes(entry("b.img.zst"), std::string(300, 'b')));
    ASSERT_OK(zip->add_bytes(entry("c.txt"), std::string(20, 'c')));
    ASSERT_OK(zip->finish());
    auto other = ZipWriter::create(dir_.file("pkgs/b.zip"));
    ASSERT_OK(other);
    ASSERT_OK(other->add_bytes(entry("d.img"), std::string(5000, 'd')));
    ASSERT_OK(other->finish());
  }
  ota_test::write_file(dir_.file("pkgs/notes.txt"), "ignored");
  uint64_t img_size = 7;
  EXPECT_EQ(1320, kx_get_zip_size(dir_.file("pkgs/a.zip").c_str(), &img_size));
  EXPECT_EQ(1007u, img_size);
  EXPECT_EQ(6000, kx_all_image_size(dir_.file("pkgs").c_str()));
  EXPECT_EQ(5000, kx_get_max_zip_size(dir_.file("pkgs").c_str()));
  EXPECT_EQ(-1, kx_get_zip_size(dir_.file("none.zip").c_str(), &img_size));
  EXPECT_EQ(-1, kx_all_image_size(dir_.file("nodir").c_str()));
  ota_test::write_file(dir_.file("pkgs/broken.zip"), "not a zip");
  EXPECT_EQ(-1, kx_get_max_zip_size(dir_.file("pkgs").c_str()));
}

// makedir creates every missing level and accepts an existing directory.
TEST_F(ZipExtractTest, MakedirCreatesParents) {
  EXPECT_EQ(0, makedir(dir_.file("a/b/c/").c_str()));
  EXPECT_TRUE(exists(dir_.file("a/b/c")));
  EXPECT_EQ(0, makedir(dir_.file("a/b").c_str()));
  EXPECT_EQ(-1, makedir(""));
}

// The suffix is the text after the last '.' of the base name, compared exactly.
TEST(IsXxxFile, Table) {
  struct Row {
    const char* name;
    const char* suffix;
    int32_t rc;
  };
  const Row rows[] = {
      {"a.tar.zst", "zst", 1},   {"a.tar.zst", "tar", 0}, {"/d.img/boot", "img", 0},
      {"/d/boot.img", "img", 1}, {"noext", "", 1},        {"boot.IMG", "img", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.rc, is_xxx_file(row.name, row.suffix)) << row.name;
  }
  EXPECT_EQ(-1, is_xxx_file(nullptr, "img"));
  EXPECT_EQ(-1, is_xxx_file(std::string(128, 'a').c_str(), "img"));
  EXPECT_EQ(0, is_xxx_file(std::string(127, 'a').c_str(), "img"));
}

}  // namespace
