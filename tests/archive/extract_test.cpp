// Packages unpacked into a directory: paths kept inside it, modes and links made as the
// archive says, members bounded before and while they are written, whole packages
// spending a budget, and the kind of a package told by its content or its name.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive_fixtures.h"
#include "file_names.h"
#include "kx_zip.h"

namespace {

using namespace archive_test;
using ota_test::read_file;
using ota_test::TempDir;

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_test::clear_log_records();
    ota_test::write_file(outside_.file("secret"), "keep");
    ASSERT_EQ(0, chmod(outside_.file("secret").c_str(), 0600));
  }
  // A zip and a tar package with the same members: "big.img" (64 KiB), "small.json"
  // (5 bytes), "hook.sh" a link to a file outside, "big.img.zst" (zstd only in the tar).
  void make_packages() {
    const std::vector<Member> members = {{.name = "big.img", .data = big_},
                                         {.name = "big.img.zst", .data = big_, .zstd = true},
                                         {.name = "small.json", .data = "{\"a\"}"},
                                         link_member("hook.sh", outside_.file("secret"))};
    write_zip(zip(), members);
    write_tar(tar(), members);
  }
  void expect_outside_untouched() {
    EXPECT_EQ("keep", read_file(outside_.file("secret")));
    EXPECT_EQ(0600u, mode_of(outside_.file("secret")));
  }
  std::string zip() const { return dir_.file("pkg.zip"); }
  std::string tar() const { return dir_.file("pkg.tar"); }
  std::string out(const std::string& name) const { return out_.file(name); }

  TempDir dir_;
  TempDir out_;
  TempDir outside_;
  const std::string big_ = ota_test::make_image_bytes(65536, 3);
};

// A whole package of either kind lands under the destination, over what an earlier run
// left: nested members get their directories, modes are applied, links hold their target
// (a link's own mode never reaching it), and only a tar's zstd member is decompressed.
TEST_F(ExtractTest, WholePackageOfEitherKind) {
  const std::vector<Member> members = {
      {.name = "dir/sub/file.txt", .data = "nested", .mode = 0640},
      dir_member("empty/"),
      {.name = "run.sh", .data = "#!/bin/sh\n", .mode = 0755, .stored = true},
      link_member("dir/link", "sub/file.txt"),
      link_member("secret", outside_.file("secret")),
      {.name = "blob.bin.zst", .data = big_, .zstd = true}};
  for (const bool is_tar : {false, true}) {
    SCOPED_TRACE(is_tar ? "tar" : "zip");
    TempDir dest;
    const std::string package = is_tar ? tar() : zip();
    is_tar ? write_tar(package, members) : write_zip(package, members);
    ASSERT_EQ(0, mkdir(dest.file("dir").c_str(), 0755));
    ota_test::write_file(dest.file("run.sh"), "old content that is longer");
    ASSERT_EQ(0, symlink("elsewhere", dest.file("dir/link").c_str()));
    ASSERT_EQ(0, kx_uncompress(package.c_str(), dest.path().c_str()));
    ASSERT_EQ(0, kx_uncompress(package.c_str(), dest.path().c_str()));
    EXPECT_EQ("nested", read_file(dest.file("dir/sub/file.txt")));
    EXPECT_EQ(0640u, mode_of(dest.file("dir/sub/file.txt")));
    EXPECT_EQ("#!/bin/sh\n", read_file(dest.file("run.sh")));
    EXPECT_EQ(0755u, mode_of(dest.file("run.sh")));
    EXPECT_TRUE(exists(dest.file("empty")));
    EXPECT_EQ("sub/file.txt", link_of(dest.file("dir/link")));
    EXPECT_EQ(big_, read_file(dest.file(is_tar ? "blob.bin" : "blob.bin.zst")));
    EXPECT_FALSE(ota_test::log_contains("symlink error"));
    expect_outside_untouched();
    uint64_t img = 0;
    uint64_t count = 0;
    EXPECT_GT(kx_get_package_size(package.c_str(), &img, &count), 65536 / 2);
    EXPECT_EQ(6u, count);
  }
  // A directory entry of a zip makes one level, not its missing parents.
  write_zip(zip(), {dir_member("missing/parent/")});
  ASSERT_EQ(0, kx_uncompress(zip().c_str(), out_.path().c_str()));
  EXPECT_FALSE(exists(out("missing")));
}

// Hostile zip members never write, chmod or touch anything outside the destination:
// absolute names, ".." components, paths through links the archive made, and names too
// long for the 255-byte name buffer (which would be cut to another path).
TEST_F(ExtractTest, RefusesMembersThatWouldLeaveTheDestination) {
  const std::string o = outside_.path();
  const std::string long_dir(200, 'd');
  const struct {
    const char* what;
    std::vector<Member> members;
  } cases[] = {
      {"dotdot", {{.name = "a/../../secret", .data = "pwned", .mode = 0777}}},
      {"absolute", {{.name = o + "/secret", .data = "pwned", .mode = 0777}}},
      {"dir link", {link_member("d", o), {.name = "d/secret", .data = "pwned", .mode = 0777}}},
      {"file link",
       {link_member("x", o + "/secret"), {.name = "x", .data = "pwned", .mode = 0777}}},
      {"dir entry link", {link_member("d", o), dir_member("d/newdir/")}},
      {"long name", {{.name = long_dir + "/" + std::string(100, 'f'), .data = "x"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dest;
    write_zip(zip(), c.members);
    ota_test::clear_log_records();
    EXPECT_EQ(-1, kx_uncompress(zip().c_str(), dest.path().c_str()));
    if (std::string(c.what) != "long name") {
      EXPECT_TRUE(ota_test::log_contains("refusing member"));
    }
    expect_outside_untouched();
    EXPECT_FALSE(exists(outside_.file("newdir")));
    EXPECT_FALSE(exists(dir_.file("secret")));
    EXPECT_FALSE(exists(dest.file(long_dir)));
  }
}

// One member lands at dest joined with its path, a ".zst" member of a tar package
// decompressed without its suffix; a member over its bound, a link where a file is
// expected, a missing member or an unknown package is refused with the member's name and
// leaves nothing in the directory.
TEST_F(ExtractTest, SingleMembersBoundedAndLinksRefused) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  const std::string z = zip();
  const std::string t = tar();
  const std::string unknown = dir_.file("pkg.bin");
  const struct {
    const char* package;
    const char* member;
    uint64_t bound;
    const char* lands_as;  // "" for a refusal
  } rows[] = {
      {z.c_str(), "big.img", 65535, ""},
      {z.c_str(), "big.img", 65536, "big.img"},
      {t.c_str(), "big.img", 65535, ""},
      {t.c_str(), "big.img", 65536, "big.img"},
      {t.c_str(), "big.img.zst", 65535, ""},
      {t.c_str(), "big.img.zst", 65536, "big.img"},
      {z.c_str(), "big.img.zst", 65536, "big.img.zst"},
      {z.c_str(), "hook.sh", 1 << 20, ""},
      {t.c_str(), "hook.sh", 1 << 20, ""},
      {z.c_str(), "small.json", 5, "small.json"},
      {t.c_str(), "small.json", 4, ""},
      {z.c_str(), "small", 1 << 20, ""},
      {unknown.c_str(), "small.json", 1 << 20, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.package) + " " + row.member + " " + std::to_string(row.bound));
    ota_test::clear_log_records();
    const bool accepted = row.lands_as[0] != '\0';
    EXPECT_EQ(accepted,
              kx_uncompress_one(row.package, out_.path().c_str(), row.member, row.bound) == 0);
    if (accepted) {
      EXPECT_EQ(read_file(out(row.lands_as)).size(), row.member[0] == 's' ? 5u : big_.size());
      ASSERT_EQ(0, unlink(out(row.lands_as).c_str()));
    } else {
      EXPECT_TRUE(ota_test::log_contains(row.member)) << "the refusal names the member";
    }
    for (const char* name : {"big.img", "big.img.zst", "hook.sh", "small.json"}) {
      EXPECT_FALSE(exists(out(name))) << name;
    }
  }
  expect_outside_untouched();
  write_zip(z, {{.name = "data.json", .data = "{}"}, {.name = "img/boot.img", .data = "boot"}});
  ASSERT_EQ(0, kx_unzip_one(z.c_str(), out("sub").c_str(), "img/boot.img"));
  EXPECT_EQ("boot", read_file(out("sub/img/boot.img")));
  EXPECT_FALSE(exists(out("sub/data.json")));
  EXPECT_EQ(-1, kx_unzip_one(dir_.file("none.zip").c_str(), out_.path().c_str(), "small.json"));
}

// A device-bound stream refuses a member larger than the device before writing.
TEST_F(ExtractTest, StreamToDeviceRefusesOversizedMember) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  ota_test::write_file(out("dev"), std::string(100, 'D'));
  ota_file_info_t dest{};
  dest.medium = OTA_EMMC;
  std::snprintf(dest.path, sizeof(dest.path), "%s", out("dev").c_str());
  EXPECT_NE(0, kx_uncompress_file_to(zip().c_str(), "big.img", &dest, nullptr, 65535));
  EXPECT_EQ(std::string(100, 'D'), read_file(out("dev")));
  EXPECT_NE(0, kx_uncompress_file_to(tar().c_str(), "big.img.zst", &dest, nullptr, 65535));
  EXPECT_EQ(0, kx_uncompress_file_to(tar().c_str(), "big.img.zst", &dest, nullptr, 65536));
  EXPECT_EQ(big_, read_file(out("dev")));
}

// A whole extraction that runs out of bytes or inodes, or meets a member it cannot make,
// fails instead of skipping the member.
TEST_F(ExtractTest, WholePackageFailsOnAnyMember) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  const struct {
    const char* what;
    std::string package;
    uint64_t bytes;
    uint64_t inodes;
    bool blocked;  // "small.json" already exists as a directory
  } rows[] = {
      {"zip bytes", zip(), 2 * 65536, 10, false}, {"tar bytes", tar(), 65536 + 100, 10, false},
      {"zip inodes", zip(), 1 << 20, 3, false},   {"tar inodes", tar(), 1 << 20, 3, false},
      {"zip blocked", zip(), 1 << 20, 10, true},  {"tar blocked", tar(), 1 << 20, 10, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dest;
    if (row.blocked) {
      ASSERT_EQ(0, mkdir(dest.file("small.json").c_str(), 0755));
      ASSERT_EQ(0, mkdir(dest.file("small.json/x").c_str(), 0755));
    }
    ota::ExtractBudget budget{.bytes = row.bytes, .inodes = row.inodes};
    EXPECT_EQ(-1, kx_uncompress(row.package.c_str(), dest.path().c_str(), &budget));
  }
  ota::ExtractBudget enough{.bytes = 1 << 20, .inodes = 10};
  EXPECT_EQ(0, kx_uncompress(tar().c_str(), out_.path().c_str(), &enough));
  EXPECT_EQ(10u - 4u, enough.inodes);
  expect_outside_untouched();
}

// The kind comes from the content, else from the end of the name; a folder named with
// "zip" says nothing about the tar inside it.
TEST_F(ExtractTest, KindByContentOrNameEnd) {
  ASSERT_NO_FATAL_FAILURE(make_packages());
  ASSERT_EQ(0, mkdir(dir_.file("zipped").c_str(), 0755));
  ASSERT_EQ(0, rename(tar().c_str(), dir_.file("zipped/all_in_one.tar").c_str()));
  ASSERT_EQ(0, rename(zip().c_str(), dir_.file("tarball.bin").c_str()));
  ota_test::write_file(dir_.file("zipped/empty.zip"), "");
  const std::pair<std::string, ota_archive_kind_e> rows[] = {
      {"zipped/all_in_one.tar", OTA_ARCHIVE_TAR}, {"tarball.bin", OTA_ARCHIVE_ZIP},
      {"zipped/empty.zip", OTA_ARCHIVE_ZIP},      {"zipped/missing.tar", OTA_ARCHIVE_TAR},
      {"zipped/notes.txt", OTA_ARCHIVE_UNKNOWN},  {"zip.tar.d/x", OTA_ARCHIVE_UNKNOWN},
  };
  for (const auto& [path, kind] : rows) {
    EXPECT_EQ(kind, ota_archive_kind(dir_.file(path).c_str())) << path;
  }
  EXPECT_EQ(0, kx_uncompress_one(dir_.file("zipped/all_in_one.tar").c_str(), out_.path().c_str(),
                                 "big.img.zst"));
  EXPECT_EQ(big_, read_file(out("big.img")));
}

// A zip member is found by prefix, a tar member only by its exact name; unknown kinds fail.
TEST_F(ExtractTest, MemberTestsZipPrefixTarExact) {
  write_zip(zip(), {{.name = "preinst_boot.sh", .data = "x"}});
  write_tar(tar(), {{.name = "preinst_boot.sh", .data = "x"}});
  EXPECT_EQ(1, kx_compress_has_file(zip().c_str(), "preinst_"));
  EXPECT_EQ(1, kx_zip_has_file(zip().c_str(), "preinst_boot.sh"));
  EXPECT_EQ(0, kx_zip_has_file(zip().c_str(), "postinst_"));
  EXPECT_EQ(0, kx_compress_has_file(tar().c_str(), "preinst_"));
  EXPECT_EQ(1, kx_compress_has_file(tar().c_str(), "preinst_boot.sh"));
  EXPECT_EQ(-1, kx_compress_has_file(dir_.file("pkg.bin").c_str(), "x"));
  EXPECT_EQ(-1, kx_zip_has_file(dir_.file("none.zip").c_str(), "x"));
}

// Sizes: the total counts every member, the image size only ".img" members; directory
// sums and maxima go over the regular zip files; makedir creates every missing level.
TEST_F(ExtractTest, SizeFunctionsAndMakedir) {
  const std::string pkgs = out_.path();
  write_zip(out("a.zip"), {{.name = "a.img", .data = std::string(1000, 'a')},
                           {.name = "b.img.zst", .data = std::string(300, 'b')},
                           {.name = "c.txt", .data = std::string(20, 'c')}});
  write_zip(out("b.zip"), {{.name = "d.img", .data = std::string(5000, 'd')}});
  ota_test::write_file(out("notes.txt"), "ignored");
  uint64_t img_size = 7;
  EXPECT_EQ(1320, kx_get_zip_size(out("a.zip").c_str(), &img_size));
  EXPECT_EQ(1007u, img_size);
  EXPECT_EQ(6000, kx_all_image_size(pkgs.c_str()));
  EXPECT_EQ(5000, kx_get_max_zip_size(pkgs.c_str()));
  EXPECT_EQ(-1, kx_get_zip_size(dir_.file("none.zip").c_str(), &img_size));
  EXPECT_EQ(-1, kx_all_image_size(dir_.file("nodir").c_str()));
  ota_test::write_file(out("broken.zip"), "not a zip");
  EXPECT_EQ(-1, kx_get_max_zip_size(pkgs.c_str()));

  EXPECT_EQ(0, makedir(dir_.file("a/b/c/").c_str()));
  EXPECT_TRUE(exists(dir_.file("a/b/c")));
  EXPECT_EQ(0, makedir(dir_.file("a/b").c_str()));
  EXPECT_EQ(-1, makedir(""));
}

// The suffix is the text after the last '.' of the base name, compared exactly.
TEST(IsXxxFile, Table) {
  const struct {
    std::string name;
    const char* suffix;
    int32_t rc;
  } rows[] = {
      {"a.tar.zst", "zst", 1},
      {"a.tar.zst", "tar", 0},
      {"/d.img/boot", "img", 0},
      {"/d/boot.img", "img", 1},
      {"noext", "", 1},
      {"boot.IMG", "img", 0},
      {std::string(127, 'a'), "img", 0},
      {std::string(128, 'a'), "img", -1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.rc, is_xxx_file(row.name.c_str(), row.suffix)) << row.name;
  }
  EXPECT_EQ(-1, is_xxx_file(nullptr, "img"));
}

}  // namespace
