// A whole package unpacked on the board (the parameter and recovery roads): the guard
// counts inodes as well as bytes, measures the file system the members land on, and any
// member that cannot be made fails the unpack instead of being skipped.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "archive_fixtures.h"
#include "package_paths.h"
#include "test_support.h"

namespace {

struct UnpackCase {
  const char* what;
  const char* package;  // .zip or .tar
  const char* options;  // of the tmpfs the package is unpacked into
  int members;          // small members "m0".."mN-1"
  bool blocked;         // also "app_param" as a file and "app_param/x" below it
  uint64_t zeros;       // nonzero: a zstd member of that many zero bytes (tar only)
  int result;
  const char* log;  // a line the refusal logs, or ""
};

void write_package(const std::string& path, const UnpackCase& c) {
  std::vector<archive_test::Member> members;
  for (int i = 0; i < c.members; ++i) {
    members.push_back({.name = "m" + std::to_string(i), .data = "volume=7\n"});
  }
  if (c.blocked) {
    members.push_back({.name = "app_param", .data = "volume=7\n"});
    members.push_back({.name = "app_param/x", .data = "volume=7\n"});
  }
  if (c.zeros != 0) {
    members.push_back({.name = "blob.zst", .data = std::string(c.zeros, '\0'), .zstd = true});
  }
  path.ends_with(".tar") ? archive_test::write_tar(path, members)
                         : archive_test::write_zip(path, members);
}

// Each package is unpacked into a small file system of its own: refused when it lacks
// inodes or room, or when a member cannot be made; a tar package unpacks like a zip one.
TEST(WholeUnpack, GuardAndEveryMember) {
  ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
  const UnpackCase cases[] = {
      {"more members than inodes", "p.zip", "size=8m,nr_inodes=16", 40, false, 0, -1,
       "free inodes"},
      {"a member that cannot be made", "p.zip", "size=8m", 3, true, 0, -1, "app_param/x"},
      {"zstd member beyond the room", "p.tar", "size=4m", 3, false, 6 << 20, -1, "more than"},
      {"tar package", "p.tar", "size=8m", 40, false, 1 << 20, 0, ""},
      {"zip package", "p.zip", "size=8m", 40, false, 0, 0, ""},
  };
  ota_test::TempDir dir;
  const std::string mnt = dir.file("mnt");
  ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
  for (const UnpackCase& c : cases) {
    SCOPED_TRACE(c.what);
    ota_test::clear_log_records();
    const std::string pkg = dir.file(c.package);
    ASSERT_NO_FATAL_FAILURE(write_package(pkg, c));
    ASSERT_EQ(mount("tmpfs", mnt.c_str(), "tmpfs", 0, c.options), 0);
    uint64_t img_size = 0;
    EXPECT_EQ(unzip_ota_file(pkg.c_str(), (mnt + "/unzip").c_str(), &img_size), c.result);
    if (c.log[0] != '\0') {
      EXPECT_TRUE(ota_test::log_contains(c.log)) << c.log;
    } else {
      EXPECT_EQ(ota_test::read_file(mnt + "/unzip/m39"), "volume=7\n");
    }
    ASSERT_EQ(umount(mnt.c_str()), 0);
  }
}

}  // namespace
