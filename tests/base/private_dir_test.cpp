#include "private_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace
