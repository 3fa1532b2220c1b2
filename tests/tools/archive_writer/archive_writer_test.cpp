#include <string>

#include "archive_fixtures.h"

namespace {

using ota::archive::TarEntry;
using ota::archive::TarWriter;
using ota::archive::ZipEntry;
using ota::archive::ZipWriter;
using ota_test::shell_output;
using ota_test::TempDir;

// The zip writer's output is a valid archive to the system's unzip, modes and links
// included, and files stream from disk byte-exact.
TEST(ArchiveWriter, ZipIsValidForUnzip) {
  TempDir dir;
  const std::string data = ota_test::make_image_bytes(3 * 1024 * 1024, 2);
  ota_test::write_file(dir.file("src.img"), data);
  {
    auto zip = ZipWriter::create(dir.file("a.zip"));
    ASSERT_OK(zip);
    ZipEntry e;
    e.name = "img/system.img";
    e.mode = 0600;
    ASSERT_OK(zip->add_file(e, dir.file("src.img")));
    ASSERT_OK(zip->add_directory("img"));
    ASSERT_OK(zip->add_symlink("link", "img/system.img"));
    ASSERT_OK(zip->finish());
  }
  int status = 0;
  shell_output("unzip -tq " + dir.file("a.zip"), &status);
  EXPECT_EQ(0, status);
  const std::string listing = shell_output("zipinfo " + dir.file("a.zip"), &status);
  EXPECT_NE(std::string::npos, listing.find("-rw-------")) << listing;
  EXPECT_NE(std::string::npos, listing.find("lrwxrwxrwx")) << listing;
  EXPECT_NE(std::string::npos, listing.find("img/")) << listing;
  const std::string out =
      shell_output("unzip -p " + dir.file("a.zip") + " img/system.img", &status);
  EXPECT_EQ(data, out);
}

// The tar writer's output lists in the system's tar, and its zstd members pass zstd -t.
TEST(ArchiveWriter, TarAndZstdMembersAreValid) {
  TempDir dir;
  const std::string data = ota_test::make_image_bytes(2 * 1024 * 1024 + 3, 8);
  ota_test::write_file(dir.file("src.img"), data);
  {
    auto tar = TarWriter::create(dir.file("a.tar"));
    ASSERT_OK(tar);
    TarEntry e;
    e.name = "system.img.zst";
    e.zstd = true;
    ASSERT_OK(tar->add_file(e, dir.file("src.img")));
    e.name = "plain.img";
    e.zstd = false;
    ASSERT_OK(tar->add_file(e, dir.file("src.img")));
    ASSERT_OK(tar->add_directory("dir"));
    ASSERT_OK(tar->add_symlink("link", "plain.img"));
    ASSERT_OK(tar->finish());
  }
  int status = 0;
  const std::string listing = shell_output("tar -tvf " + dir.file("a.tar"), &status);
  EXPECT_EQ(0, status) << listing;
  for (const char* name : {"system.img.zst", "plain.img", "dir", "link -> plain.img"}) {
    EXPECT_NE(std::string::npos, listing.find(name)) << listing;
  }
  const std::string plain = shell_output("tar -xOf " + dir.file("a.tar") + " plain.img", &status);
  EXPECT_EQ(data, plain);
  const std::string unpacked =
      shell_output("tar -xOf " + dir.file("a.tar") + " system.img.zst | zstd -dc", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(data, unpacked);
}

// Names the readers must refuse are written as given, and impossible ones are errors
// that name the archive.
TEST(ArchiveWriter, PassesHostileNamesAndReportsErrors) {
  TempDir dir;
  archive_test::write_zip(dir.file("h.zip"), {{.name = "../../etc/passwd", .data = "x"}});
  int status = 0;
  EXPECT_NE(std::string::npos,
            shell_output("unzip -Z1 " + dir.file("h.zip"), &status).find("../../etc/passwd"));

  auto tar = TarWriter::create(dir.file("h.tar"));
  ASSERT_OK(tar);
  TarEntry e;
  e.name = std::string(101, 'a');
  auto too_long = tar->add_bytes(e, "x");
  ASSERT_FALSE(too_long.ok());
  EXPECT_NE(std::string::npos, too_long.error().message().find("h.tar"));
  auto missing = tar->add_file(e, dir.file("absent"));
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(std::string::npos, missing.error().message().find("absent"));
  EXPECT_FALSE(ZipWriter::create(dir.file("no/dir/x.zip")).ok());
}

}  // namespace
