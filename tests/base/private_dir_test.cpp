#include "private_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "test_support.h"

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

struct ClaimCase {
  const char* what;
  // Puts something under `at`; `victim` is a folder outside it that must stay untouched.
  void (*plant)(const std::string& at, const std::string& victim);
  int result;
  bool keeps_content;  // the earlier entry "kept" is still there afterwards
};

void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.what; }

void nothing(const std::string&, const std::string&) {}
void link_to_victim(const std::string& at, const std::string& victim) {
  ASSERT_EQ(symlink(victim.c_str(), at.c_str()), 0);
}
void dangling_link(const std::string& at, const std::string& victim) {
  ASSERT_EQ(symlink((victim + "/missing").c_str(), at.c_str()), 0);
}
void plain_file(const std::string& at, const std::string&) { ota_test::write_file(at, "x"); }
void dir_with_kept(const std::string& at, mode_t mode) {
  ASSERT_EQ(mkdir(at.c_str(), 0700), 0);
  ota_test::write_file(at + "/kept", "earlier");
  ASSERT_EQ(chmod(at.c_str(), mode), 0);
}
void ours_closed(const std::string& at, const std::string&) { dir_with_kept(at, 0700); }
void ours_open(const std::string& at, const std::string& victim) {
  dir_with_kept(at, 0777);
  ASSERT_EQ(symlink((victim + "/secret").c_str(), (at + "/planted").c_str()), 0);
}
void another_users(const std::string& at, const std::string&) {
  dir_with_kept(at, 0700);
  ASSERT_EQ(chown(at.c_str(), 65534, 65534), 0);
}

class ClaimPrivateDirTest : public ::testing::TestWithParam<ClaimCase> {};

// Only a directory of ours closed to others is used as it is; anything else under the
// name is replaced without being followed, and another user's directory is refused.
TEST_P(ClaimPrivateDirTest, LeavesOnlyOurClosedDirectory) {
  const ClaimCase& c = GetParam();
  ota_test::TempDir parent;
  ota_test::TempDir victim;
  ota_test::write_file(victim.file("secret"), "keep");
  const std::string at = parent.file("ota");
  ASSERT_NO_FATAL_FAILURE(c.plant(at, victim.path()));

  errno = 0;
  EXPECT_EQ(ota::claim_private_dir(at.c_str()), c.result);
  EXPECT_EQ(exists(at + "/kept"), c.keeps_content);
  EXPECT_EQ(ota_test::read_file(victim.file("secret")), "keep");
  struct stat st {};
  ASSERT_EQ(lstat(at.c_str(), &st), 0);
  ASSERT_TRUE(S_ISDIR(st.st_mode));
  if (c.result != 0) {
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(st.st_uid, 65534U);
    return;
  }
  EXPECT_TRUE(ota::is_ours_alone(st));
  EXPECT_FALSE(exists(at + "/planted"));
}

INSTANTIATE_TEST_SUITE_P(
    Planted, ClaimPrivateDirTest,
    ::testing::Values(ClaimCase{"Absent", nothing, 0, false},
                      ClaimCase{"LinkToAnotherFolder", link_to_victim, 0, false},
                      ClaimCase{"DanglingLink", dangling_link, 0, false},
                      ClaimCase{"File", plain_file, 0, false},
                      ClaimCase{"OursClosed", ours_closed, 0, true},
                      ClaimCase{"OursOpenToOthers", ours_open, 0, false},
                      ClaimCase{"AnotherUsers", another_users, -1, true}),
    [](const ::testing::TestParamInfo<ClaimCase>& row) { return std::string(row.param.what); });

struct RootFileCase {
  const char* what;
  void (*plant)(const std::string& at, const std::string& elsewhere);
  const char* refusal;  // nullptr: opened
};

void PrintTo(const RootFileCase& c, std::ostream* os) { *os << c.what; }

void file_of_mode(const std::string& at, mode_t mode) {
  ota_test::write_file(at, "package");
  ASSERT_EQ(chmod(at.c_str(), mode), 0);
}
void roots_readable(const std::string& at, const std::string&) { file_of_mode(at, 0644); }
void roots_read_only(const std::string& at, const std::string&) { file_of_mode(at, 0400); }
void group_writable(const std::string& at, const std::string&) { file_of_mode(at, 0664); }
void others_writable(const std::string& at, const std::string&) { file_of_mode(at, 0646); }
void another_users_file(const std::string& at, const std::string&) {
  file_of_mode(at, 0644);
  ASSERT_EQ(chown(at.c_str(), 65534, 0), 0);
}
void link_to_roots_file(const std::string& at, const std::string& elsewhere) {
  file_of_mode(elsewhere, 0644);
  ASSERT_EQ(symlink(elsewhere.c_str(), at.c_str()), 0);
}
void a_directory(const std::string& at, const std::string&) {
  ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
}
void a_fifo(const std::string& at, const std::string&) { ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); }

class OpenRootFileTest : public ::testing::TestWithParam<RootFileCase> {};

// Only a regular file of root that no one else may write is opened; a link, another
// user's file, one open to writers, a directory or a FIFO (opened without waiting for a
// writer) is refused with the reason.
TEST_P(OpenRootFileTest, TakesOnlyRootsOwnRegularFile) {
  ASSERT_EQ(geteuid(), 0U) << "the owner checks need root";
  const RootFileCase& c = GetParam();
  ota_test::TempDir dir;
  const std::string at = dir.file("all_in_one.zip");
  if (c.plant != nullptr) {
    ASSERT_NO_FATAL_FAILURE(c.plant(at, dir.file("elsewhere.zip")));
  }
  std::string why;
  const ota::UniqueFd fd = ota::open_root_file(at.c_str(), &why);
  if (c.refusal == nullptr) {
    ASSERT_TRUE(fd) << why;
    char buf[16] = {};
    EXPECT_EQ(ota::pread_full(fd.get(), buf, sizeof(buf), 0), 7);
    EXPECT_STREQ(buf, "package");
    return;
  }
  EXPECT_FALSE(fd);
  EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Planted, OpenRootFileTest,
    ::testing::Values(RootFileCase{"RootsReadable", roots_readable, nullptr},
                      RootFileCase{"RootsReadOnly", roots_read_only, nullptr},
                      RootFileCase{"GroupWritable", group_writable, "(mode 0664)"},
                      RootFileCase{"OthersWritable", others_writable, "(mode 0646)"},
                      RootFileCase{"AnotherUsers", another_users_file, "owned by uid 65534"},
                      RootFileCase{"LinkToRootsFile", link_to_roots_file, "symbolic link"},
                      RootFileCase{"Directory", a_directory, "not a regular file"},
                      RootFileCase{"Fifo", a_fifo, "not a regular file"},
                      RootFileCase{"Missing", nullptr, "No such file"}),
    [](const ::testing::TestParamInfo<RootFileCase>& row) { return std::string(row.param.what); });

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A reader given the descriptor's path reads the file that was opened, after another file
// was renamed over its name and after the name was removed.
TEST(DescriptorPathTest, ReadsTheOpenedFileWhateverItsNameHolds) {
  ota_test::TempDir dir;
  const std::string at = dir.file("all_in_one.zip");
  ota_test::write_file(at, "checked");
  const ota::UniqueFd fd = ota::open_fd(at.c_str(), O_RDONLY);
  ASSERT_TRUE(fd);
  const std::string path = ota::descriptor_path(fd.get());

  ota_test::write_file(dir.file("other.zip"), "swapped");
  ASSERT_EQ(rename(dir.file("other.zip").c_str(), at.c_str()), 0);
  EXPECT_EQ(read_whole(path), "checked");
  EXPECT_EQ(ota_test::read_file(at), "swapped");
  ASSERT_EQ(unlink(at.c_str()), 0);
  EXPECT_EQ(read_whole(path), "checked");
}

}  // namespace
