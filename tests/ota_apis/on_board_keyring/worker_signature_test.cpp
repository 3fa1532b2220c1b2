// The client runs the worker out of the package as root: on a board with a keyring it
// runs only the worker the owner signed. A package whose worker member was replaced by
// another (itself signed, so a well-formed member) is refused before anything runs, and
// so is, with a keyring or without, a package that anyone but root could change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "boot_control.h"
#include "client_result.h"
#include "mirvo_ota_hl.h"
#include "pack_description.h"
#include "packager.h"
#include "tar_entries.h"
#include "test_support.h"

namespace {

using ota_test::wait_final;

constexpr const char* kEvilMark = "/userdata/evil_worker_ran";

class SignedWorkerLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("VBOARD_DIR"), nullptr);
    ASSERT_EQ(ota_mark_slot_boot_successful(0), 0);
    ASSERT_EQ(otaInitLib(), 0);
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(100000, 3));
    ota_test::write_file(dir_.file("evil.sh"), std::string("#!/bin/sh\ntouch ") + kEvilMark + "\n");
  }
  void TearDown() override { (void)otaDeinitLib(); }
  std::string make(const std::string& name, const std::string& worker) {
    auto d = ota::pack::parse_description(
        "format tar\nworker " + worker + "\nkey sys_version 1.0\npart boot boot.img\n",
        dir_.path());
    EXPECT_TRUE(d.ok()) << d.error().message();
    d.value().sign_key = OWNER_KEY;
    const std::string out = "/userdata/" + name;
    auto r = ota::pack::make_package(d.value(), out);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return out;
  }
  ota_test::TempDir dir_;
};

TEST_F(SignedWorkerLaunch, OnlyTheSignedWorkerRuns) {
  const std::string good = make("all_in_one_good.tar", OTA_PROCESS_EXE);
  ota_test::TarEntries swapped = ota_test::TarEntries::read(good);
  swapped.entry("ota_process") =
      ota_test::TarEntries::read(make("all_in_one_evil.tar", dir_.file("evil.sh")))
          .entry("ota_process");
  swapped.write("/userdata/all_in_one_swapped.tar");

  const int32_t refused = otaRequestStart("/userdata/all_in_one_swapped.tar", OTA_SERVICE);
  EXPECT_EQ(refused, -OTAERR_VERIFY);
  if (refused == 0) {
    (void)wait_final();  // a worker started by mistake shows itself before the checks below
  }
  EXPECT_TRUE(ota_test::log_contains("ota_process differs from the signed list"));
  EXPECT_NE(::access(kEvilMark, F_OK), 0) << "the replaced worker ran";
  EXPECT_NE(::access("/tmp/process/ota_process", F_OK), 0) << "the replaced worker was taken out";

  ASSERT_EQ(otaRequestStart(good.c_str(), OTA_SERVICE), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
}

// The worker is taken only out of root's own package closed to other writers: a link to
// the owner's package, another user's copy or a group-writable one is refused before
// anything is taken out, with the keyring and without it.
TEST_F(SignedWorkerLaunch, PackageOthersCouldChangeIsNotRun) {
  const std::string good = make("all_in_one_good.tar", OTA_PROCESS_EXE);
  const std::string bytes = ota_test::read_file(good);
  struct Case {
    const char* name;
    uid_t uid;
    mode_t mode;  // 0: a link to the good package
    const char* reason;
  };
  const Case cases[] = {
      {"all_in_one_link.tar", 0, 0, "it is a symbolic link"},
      {"all_in_one_nobody.tar", 65534, 0644, "it is owned by uid 65534, not by root"},
      {"all_in_one_group.tar", 0, 0664, "its group or others may write it (mode 0664)"},
  };
  for (const bool keyring : {true, false}) {
    if (!keyring) {
      ASSERT_EQ(std::system("rm -rf /etc/mirvo/ota-keys"), 0);
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (keyring ? ", keyring" : ", no keyring"));
      const std::string pkg = std::string("/userdata/") + c.name;
      ::unlink(pkg.c_str());
      if (c.mode == 0) {
        ASSERT_EQ(::symlink(good.c_str(), pkg.c_str()), 0);
      } else {
        ota_test::write_file(pkg, bytes);
        ASSERT_EQ(::chown(pkg.c_str(), c.uid, 0), 0);
        ASSERT_EQ(::chmod(pkg.c_str(), c.mode), 0);
      }
      ota_test::clear_log_records();
      const int32_t refused = otaRequestStart(pkg.c_str(), OTA_SERVICE);
      EXPECT_EQ(refused, -OTAERR_VERIFY);
      if (refused == 0) {
        (void)wait_final();
      }
      EXPECT_TRUE(ota_test::log_contains("package " + pkg + " refused: " + c.reason));
      EXPECT_NE(::access("/tmp/process/ota_process", F_OK), 0) << "a worker was taken out";
    }
  }
  ASSERT_EQ(otaRequestStart(good.c_str(), OTA_SERVICE), 0);
  EXPECT_EQ(wait_final(), UPGRADE_SUCCESS);
}

}  // namespace
