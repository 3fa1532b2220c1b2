// Signed packages with the real worker on a board whose keyring holds the owner's key:
// a package signed by the owner installs; every other package (unsigned, another key, a
// member changed behind the signature, a cut signature, an older version, any package
// once the keyring is empty) is refused before anything is written or any hook runs. A
// board without a keyring installs unsigned packages as before, with one warning. With
// or without a keyring, the worker reads the package it opened and checked, whatever is
// renamed over its name during the run, and refuses one that anyone but root could
// change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "board_records.h"
#include "signing_keys.h"
#include "tar_entries.h"
#include "worker_run.h"

namespace {

using namespace worker_run;
using ota_test::TarEntries;

constexpr const char* kKeyring = "/etc/mirvo/ota-keys";
constexpr const char* kInstalled = "/etc/mirvo/sys_version";
constexpr const char* kHookMark = "/userdata/hook_ran";
constexpr int kRefusedExit = 256 - OTAERR_VERIFY;  // -OTAERR_VERIFY as an exit status

// Everything a refused run must leave as it was: the records, the firmware's command,
// the NOR flash and every partition of slot b.
std::map<std::string, std::string> board_state() {
  std::map<std::string, std::string> s;
  for (const char* name : {"misc", "veeprom", "flashcmd"}) {
    s[name] = whole(name);
  }
  s["/dev/mtd0"] = ota_test::md5sum_of("/dev/mtd0");
  for (const auto& p : board_io::layout().emmc) {
    if (p.name.ends_with("_b") && !p.ext4) {
      s[p.name] = whole(p.name);
    }
  }
  return s;
}

class SignedPackageBoard : public OnBoard {
 protected:
  void SetUp() override {
    OnBoard::SetUp();
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(200000, 11));
    ota_test::write_file(dir_.file("boot2.img"), ota_test::make_image_bytes(200000, 12));
    ota_test::write_file(dir_.file("system.img"), ota_test::make_image_bytes(1000000, 13));
    ota_test::write_file(dir_.file("worker"), "#!/bin/sh\nexit 0\n");
    ota_test::write_file(dir_.file("worker2"), "#!/bin/sh\nexit 1\n");
    ota_test::write_file(dir_.file("post.sh"), std::string("#!/bin/sh\ntouch ") + kHookMark + "\n");
    ::unlink(kHookMark);
  }
  // A package of boot, system, a worker and a hook; signed with key unless it is empty.
  std::string make(const std::string& name, const std::string& key, const std::string& version,
                   const std::string& boot = "boot.img", const std::string& worker = "worker",
                   const std::string& extra = "") {
    const std::string text = "format " + std::string(name.ends_with(".tar") ? "tar" : "zip") +
                             "\nworker " + worker + "\nkey sys_version " + version + "\n" + extra +
                             "part boot " + boot + " name=boot.img\npart system system.img\n" +
                             "hook post boot post.sh\n";
    auto d = ota::pack::parse_description(text, dir_.path());
    EXPECT_TRUE(d.ok()) << d.error().message();
    d.value().sign_key = key;
    const std::string out = "/userdata/" + name;
    auto r = ota::pack::make_package(d.value(), out);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return out;
  }
  // The owner's tar package with one entry taken from another package.
  std::string spliced(const std::string& name, const std::string& from, const std::string& member) {
    TarEntries good = TarEntries::read(make(name, OWNER_KEY, "2.1.0"));
    good.entry(member) = TarEntries::read(from).entry(member);
    good.write("/userdata/" + name);
    return "/userdata/" + name;
  }
};

// Each row makes one package the board must refuse; a refusal writes nothing (records,
// NOR, every partition of slot b), runs no hook and names its reason. Then the owner's
// signed package installs on the same board.
TEST_F(SignedPackageBoard, OnlyTheOwnersIntactPackagesAreWritten) {
  ota_test::write_file(kInstalled, "2.1.0\n");
  ota_test::make_key_pair(dir_.file("stranger.pem"), dir_.file("stranger.pub.pem"));
  struct Case {
    const char* what;
    std::function<std::string()> package;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"unsigned", [&] { return make("all_in_one_unsigned.zip", "", "2.1.0"); }, "is not signed"},
      {"another key",
       [&] { return make("all_in_one_other.zip", dir_.file("stranger.pem"), "2.1.0"); },
       "not in the keyring"},
      {"swapped image member",
       [&] {
         return spliced("all_in_one_img.tar",
                        make("all_in_one_b2.tar", OWNER_KEY, "2.1.0", "boot2.img"), "boot.img.zst");
       },
       "boot.img.zst differs"},
      {"changed data.json",
       [&] {
         return spliced(
             "all_in_one_json.tar",
             make("all_in_one_j2.tar", OWNER_KEY, "2.1.0", "boot.img", "worker", "key ab_sync 1\n"),
             "data.json");
       },
       "data.json differs"},
      {"changed worker",
       [&] {
         return spliced("all_in_one_worker.tar",
                        make("all_in_one_w2.tar", OWNER_KEY, "2.1.0", "boot.img", "worker2"),
                        "ota_process");
       },
       "ota_process differs"},
      {"truncated signature",
       [&] {
         const std::string sig = TarEntries::read(make("all_in_one_s.tar", OWNER_KEY, "2.1.0"))
                                     .entry("ota_signature")
                                     .substr(512, 100);
         archive_test::write_tar(dir_.file("cut.tar"), {{.name = "ota_signature", .data = sig}});
         return spliced("all_in_one_sig.tar", dir_.file("cut.tar"), "ota_signature");
       },
       "signature"},
      {"older signed package", [&] { return make("all_in_one_old.zip", OWNER_KEY, "2.0.9"); },
       "older than the installed 2.1.0"},
      {"empty keyring",
       [&] {
         EXPECT_EQ(::rename("/etc/mirvo/ota-keys/owner.pub.pem", "/etc/mirvo/owner.pub.pem"), 0);
         return make("all_in_one_empty.zip", OWNER_KEY, "2.1.0");
       },
       "no usable Ed25519 public key"},
  };
  const auto before = board_state();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string pkg = c.package();
    const Outcome out = run_worker(pkg);
    EXPECT_EQ(out.exit_status, kRefusedExit);
    ASSERT_FALSE(out.records.empty());
    EXPECT_EQ(out.records.back().result, UPGRADE_FAILED);
    EXPECT_NE(worker_log().find(c.reason), std::string::npos) << worker_log();
    EXPECT_NE(worker_log().find(pkg + " refused"), std::string::npos) << worker_log();
    EXPECT_EQ(board_state(), before);
    EXPECT_NE(::access(kHookMark, F_OK), 0) << "a hook ran";
  }
  ASSERT_EQ(::rename("/etc/mirvo/owner.pub.pem", "/etc/mirvo/ota-keys/owner.pub.pem"), 0);

  const Outcome ok = run_worker(make("all_in_one_good.zip", OWNER_KEY, "2.1.0"));
  EXPECT_EQ(ok.exit_status, 0) << worker_log();
  EXPECT_EQ(device_head("boot_b", 200000), ota_test::read_file(dir_.file("boot.img")));
  EXPECT_NE(board_state(), before);
  EXPECT_EQ(::access(kHookMark, F_OK), 0) << "the post-install hook did not run";
  EXPECT_NE(worker_log().find("signature and members verified, sys_version 2.1.0"),
            std::string::npos);
}

// An older package passes where the keyring folder holds the downgrade permission.
TEST_F(SignedPackageBoard, DowngradeAllowedByTheKeyringFolder) {
  ota_test::write_file(kInstalled, "3.0.0\n");
  ota_test::write_file(std::string(kKeyring) + "/allow-downgrade", "");
  const Outcome out = run_worker(make("all_in_one_old.tar", OWNER_KEY, "2.9.9"));
  EXPECT_EQ(out.exit_status, 0) << worker_log();
  EXPECT_NE(worker_log().find("allowed by /etc/mirvo/ota-keys/allow-downgrade"), std::string::npos)
      << worker_log();
}

// Without a keyring folder an unsigned package installs as before, with one warning.
TEST_F(SignedPackageBoard, UnsignedPackageInstallsWithoutAKeyring) {
  ASSERT_EQ(std::system("rm -rf /etc/mirvo/ota-keys"), 0);
  const Outcome out = run_worker(make("all_in_one_plain.zip", "", "2.1.0"));
  EXPECT_EQ(out.exit_status, 0) << worker_log();
  const std::string log = worker_log();
  const std::string warning = "no keyring /etc/mirvo/ota-keys: package signatures are not checked";
  ASSERT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_EQ(log.find(warning), log.rfind(warning)) << "warned more than once";
  EXPECT_EQ(::access(kHookMark, F_OK), 0);
}

// A package whose hook, after the first partition is written, renames another package
// over the name it was given: the rest of the run still reads the package it opened, so
// the second partition gets the first package's image and the other package's hook never
// runs. With a keyring the other package is the owner's own (it would pass a check of
// its own); without one it is signed by no one.
class SwappedPackageBoard : public SignedPackageBoard {
 protected:
  void expect_swap_not_seen(const std::string& format, const std::string& key) {
    ota_test::write_file(dir_.file("system2.img"), ota_test::make_image_bytes(1000000, 14));
    ota_test::write_file(dir_.file("evil.sh"), std::string("#!/bin/sh\ntouch ") + kEvilMark + "\n");
    const std::string name = "/userdata/all_in_one_run." + format;
    const std::string other = "/userdata/all_in_one_other." + format;
    ota_test::write_file(dir_.file("swap.sh"), "#!/bin/sh\nmv " + other + " " + name + "\n");
    ::unlink(kEvilMark);
    const std::string head =
        "format " + format + "\nworker worker\nkey sys_version 2.1.0\n" + "part boot boot.img\n";
    pack_signed(head + "part system system.img\nhook post boot swap.sh\n", key, name);
    pack_signed(head + "part system system2.img\nhook pre system evil.sh\n", key, other);
    const std::string other_bytes = ota_test::read_file(other);

    const Outcome out = run_worker(name);
    EXPECT_EQ(out.exit_status, 0) << worker_log();
    EXPECT_TRUE(ota_test::read_file(name) == other_bytes) << "the swap did not happen";
    EXPECT_TRUE(device_head("system_b", 1000000) == ota_test::read_file(dir_.file("system.img")))
        << "system_b does not hold the image of the package the run opened";
    EXPECT_NE(::access(kEvilMark, F_OK), 0) << "the hook of the package swapped in ran";
    EXPECT_NE(worker_log().find("package " + name + " opened, read as /proc/self/fd/"),
              std::string::npos)
        << worker_log();
  }
  void pack_signed(const std::string& text, const std::string& key, const std::string& out) {
    auto d = ota::pack::parse_description(text, dir_.path());
    ASSERT_TRUE(d.ok()) << d.error().message();
    d.value().sign_key = key;
    auto r = ota::pack::make_package(d.value(), out);
    ASSERT_TRUE(r.ok()) << r.error().message();
  }
  static constexpr const char* kEvilMark = "/userdata/swapped_hook_ran";
};

TEST_F(SwappedPackageBoard, SignedZipSwappedMidRunIsNotRead) {
  ota_test::write_file(kInstalled, "2.1.0\n");
  expect_swap_not_seen("zip", OWNER_KEY);
}

TEST_F(SwappedPackageBoard, UnsignedTarSwappedMidRunWithoutAKeyringIsNotRead) {
  ASSERT_EQ(std::system("rm -rf /etc/mirvo/ota-keys"), 0);
  expect_swap_not_seen("tar", "");
}

// A package that anyone but root could have written or swapped is refused before
// anything is written or any hook runs, with a keyring and without one: a link (to the
// owner's intact package), another user's file, one its group or others may write.
TEST_F(SignedPackageBoard, PackageOthersCouldChangeIsRefused) {
  ota_test::write_file(kInstalled, "2.1.0\n");
  const std::string good = make("all_in_one_good.zip", OWNER_KEY, "2.1.0");
  const std::string bytes = ota_test::read_file(good);
  struct Case {
    const char* what;
    std::string name;
    std::function<void(const std::string&)> plant;
    const char* reason;
  };
  const auto copy_with = [&](mode_t mode, uid_t uid) {
    return [&bytes, mode, uid](const std::string& at) {
      ota_test::write_file(at, bytes);
      ASSERT_EQ(::chown(at.c_str(), uid, 0), 0);
      ASSERT_EQ(::chmod(at.c_str(), mode), 0);
    };
  };
  const std::vector<Case> cases = {
      {"link", "all_in_one_link.zip",
       [&](const std::string& at) { ASSERT_EQ(::symlink(good.c_str(), at.c_str()), 0); },
       "it is a symbolic link"},
      {"another user's", "all_in_one_nobody.zip", copy_with(0644, 65534),
       "it is owned by uid 65534, not by root"},
      {"group-writable", "all_in_one_group.zip", copy_with(0664, 0),
       "its group or others may write it (mode 0664)"},
      {"others-writable", "all_in_one_others.zip", copy_with(0606, 0),
       "its group or others may write it (mode 0606)"},
  };
  const auto before = board_state();
  for (const bool keyring : {true, false}) {
    if (!keyring) {
      ASSERT_EQ(std::system("rm -rf /etc/mirvo/ota-keys"), 0);
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (keyring ? ", keyring" : ", no keyring"));
      const std::string pkg = "/userdata/" + c.name;
      ::unlink(pkg.c_str());
      ASSERT_NO_FATAL_FAILURE(c.plant(pkg));
      const Outcome out = run_worker(pkg);
      EXPECT_EQ(out.exit_status, kRefusedExit);
      ASSERT_FALSE(out.records.empty());
      EXPECT_EQ(out.records.back().result, UPGRADE_FAILED);
      EXPECT_NE(worker_log().find("package " + pkg + " refused: " + c.reason), std::string::npos)
          << worker_log();
      EXPECT_EQ(board_state(), before);
      EXPECT_NE(::access(kHookMark, F_OK), 0) << "a hook ran";
    }
  }
  // The same bytes as root's own file closed to writers install.
  const Outcome ok = run_worker(good);
  EXPECT_EQ(ok.exit_status, 0) << worker_log();
  EXPECT_EQ(device_head("boot_b", 200000), ota_test::read_file(dir_.file("boot.img")));
}

}  // namespace
