// The worker on a virtual board against hostile packages and planted files: members too
// large for their place or links where a file belongs are refused by name and leave
// nothing written or staged; folders other users reach never redirect a mount, a dump or
// an extraction.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive_fixtures.h"
#include "veeprom_flag.h"
#include "worker_run.h"

namespace {

using namespace worker_run;

constexpr const char* kUnzipDir = "/userdata/ota/unzip";

using archive_test::link_member;
using archive_test::Member;

void write_package(const std::string& path, const std::vector<Member>& members) {
  path.ends_with(".tar") ? archive_test::write_tar(path, members)
                         : archive_test::write_zip(path, members);
}

int shell(const std::string& cmd) { return std::system(cmd.c_str()); }

class StagingTest : public OnBoard {
 protected:
  void SetUp() override {
    OnBoard::SetUp();
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(200000, 61));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(65536, 62));
    ota_test::write_file(dir_.file("hsm.img"), ota_test::make_image_bytes(65536, 63));
  }
  // The members of an ota_pack package of this description (images under their
  // member names, ".zst" ones plain: the writer compresses them again).
  std::vector<Member> members_of(const std::string& format, const std::string& desc) {
    const std::string pkg = dir_.file("base." + format);
    pack("format " + format + "\n" + desc, dir_.path(), pkg);
    ota_test::TempDir out;
    EXPECT_EQ(kx_uncompress(pkg.c_str(), out.path().c_str()), 0);
    std::vector<Member> members{
        {.name = "data.json", .data = ota_test::read_file(out.file("data.json"))},
        {.name = "gpt.conf", .data = ota_test::read_file(out.file("gpt.conf"))}};
    const bool tar = format == "tar";
    for (const char* image : {"uboot.img", "boot.img"}) {
      const std::string name = std::string(image) + (tar ? ".zst" : "");
      members.push_back({.name = name, .data = ota_test::read_file(out.file(image)), .zstd = tar});
    }
    return members;
  }
};

Member* find(std::vector<Member>& members, const std::string& name) {
  for (Member& m : members) {
    if (m.name == name) {
      return &m;
    }
  }
  ADD_FAILURE() << name;
  return &members.front();
}

struct StagingCase {
  const char* what;
  const char* format;
  const char* culprit;    // the worker's log names it
  const char* untouched;  // the device the refused member was meant for
  std::function<void(std::vector<Member>&)> edit;
};

// Each hostile member is refused by name: its partition stays as it was, nothing it
// pointed at is read, run or changed, and the work directory is gone after the run.
TEST_F(StagingTest, HostileMembersRefused) {
  ota_test::write_file("/tmp/victim.sh", "#!/bin/sh\ntouch /tmp/victim-ran\n");
  ASSERT_EQ(chmod("/tmp/victim.sh", 0700), 0);
  ota_test::write_file("/tmp/victim.img", std::string(65536, 'S'));
  ASSERT_EQ(chmod("/tmp/victim.img", 0600), 0);
  const StagingCase cases[] = {
      {"NOR image larger than its partition", "zip", "uboot.img", "uboot_b",
       [](auto& m) { find(m, "uboot.img")->data = std::string(600 * 1024, 'N'); }},
      {"NOR zstd image larger than its partition", "tar", "uboot.img.zst", "uboot_b",
       [](auto& m) { find(m, "uboot.img.zst")->data = std::string(600 * 1024, 'N'); }},
      {"eMMC image larger than its partition", "zip", "boot.img", "boot_b",
       [](auto& m) { find(m, "boot.img")->data = std::string(17 << 20, 'E'); }},
      {"data.json over 1 MiB", "zip", "data.json", "uboot_b",
       [](auto& m) { find(m, "data.json")->data += std::string(1 << 20, ' '); }},
      {"gpt.conf over 1 MiB", "tar", "gpt.conf", "uboot_b",
       [](auto& m) { find(m, "gpt.conf")->data += std::string(1 << 20, '\n'); }},
      {"hook that is a link", "zip", "preinst_uboot.sh", "uboot_b",
       [](auto& m) { m.push_back(link_member("preinst_uboot.sh", "/tmp/victim.sh")); }},
      {"NOR image that is a link", "zip", "uboot.img", "uboot_b",
       [](auto& m) { *find(m, "uboot.img") = link_member("uboot.img", "/tmp/victim.img"); }},
  };
  for (const StagingCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
    std::vector<Member> members =
        members_of(c.format, "part uboot uboot.img\npart boot boot.img\n");
    c.edit(members);
    const std::string pkg = std::string("/userdata/all_in_one_bad.") + c.format;
    ASSERT_NO_FATAL_FAILURE(write_package(pkg, members));
    const std::string before = ota_test::md5sum_of(kByName + c.untouched);

    const Outcome out = run_worker(pkg);
    const std::string log = worker_log();
    EXPECT_EQ(out.exit_status, 255) << log;
    EXPECT_NE(log.find(std::string("member ") + c.culprit), std::string::npos) << log;
    EXPECT_EQ(ota_test::md5sum_of(kByName + c.untouched), before);
    EXPECT_NE(access(kUnzipDir, F_OK), 0) << "the work directory stayed";
    EXPECT_NE(access("/tmp/victim-ran", F_OK), 0);
    struct stat st {};
    ASSERT_EQ(stat("/tmp/victim.sh", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(unlink(pkg.c_str()), 0);
  }
}

struct SharedCase {
  const char* what;
  const char* plant;      // shell: what a local user left in a shared folder
  const char* desc;       // the package (ota_pack description)
  const char* name;       // its file name (the kind)
  int exit_status;        // the worker's verdict
  const char* intact;     // shell: exits 0 when nothing planted was followed
  bool recovery = false;  // run on a board rebooted into recovery mode
};

// Links and folders planted where the worker mounts, dumps or unpacks are never followed:
// the parameter mount lands on a fresh folder, a backup directory through a link or off
// the work directory's file system is refused, a planted dump is replaced, the recovery
// unpack goes into a folder of the worker's own.
TEST_F(StagingTest, SharedFoldersNeverRedirect) {
  ota_test::write_file(dir_.file("app_param"), "volume=7\n");
  ota_test::write_file(dir_.file("param_update.sh"),
                       "#!/bin/sh\ngrep -q ' /tmp/victim ' /proc/mounts && touch /tmp/mounted\n"
                       "cp \"$1\" \"$2/settings\"\n");
  const SharedCase cases[] = {
      {"link at the old parameter mount point",
       "mkdir -p /tmp/victim /tmp/ota && echo keep > /tmp/victim/k && "
       "ln -s /tmp/victim /tmp/ota/ota_param_tmp",
       "file app_param app_param\nfile param_update.sh param_update.sh\n", "x_param.zip", 0,
       "test ! -e /tmp/mounted && test ! -e /tmp/victim/settings && "
       "! ls -d /tmp/ota_param.* 2>/dev/null"},
      {"backup directory through a link",
       "mkdir -p /tmp/victim && echo keep > /tmp/victim/HSM_FW.img && "
       "ln -s /tmp/victim /userdata/bak",
       "key backup_dir /userdata/bak\npart HSM_FW hsm.img\n", "all_in_one_l.zip", 255,
       "test \"$(cat /tmp/victim/HSM_FW.img)\" = keep"},
      {"backup directory off the work file system", "true",
       "key backup_dir /tmp/bak\npart HSM_FW hsm.img\n", "all_in_one_o.zip", 255,
       "test ! -e /tmp/bak"},
      {"dump name planted as a link",
       "echo keep > /tmp/victim.txt && mkdir -p /userdata/bak && "
       "ln -s /tmp/victim.txt /userdata/bak/HSM_FW.img",
       "key backup_dir /userdata/bak\npart HSM_FW hsm.img\n", "all_in_one_d.zip", 0,
       "test \"$(cat /tmp/victim.txt)\" = keep && test -f /userdata/bak/HSM_FW.img && "
       "test ! -L /userdata/bak/HSM_FW.img"},
      {"recovery unpack folder planted as a link",
       "mkdir -p /tmp/victim && ln -s /tmp/victim /tmp/ota", "part boot boot.img\n",
       "all_in_one_r.zip", 255, "test -z \"$(ls /tmp/victim)\" && test ! -e /tmp/ota", true},
  };
  for (const SharedCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(shell("rm -rf /tmp/victim /tmp/victim.txt /tmp/mounted /tmp/ota /userdata/bak"), 0);
    ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
    const std::string pkg = package(c.name, c.desc);
    ASSERT_EQ(shell(c.plant), 0);
    if (c.recovery) {
      ASSERT_EQ(board_io::reboot(/*recovery=*/true), 0);
    }
    const Outcome out = run_worker(pkg);
    EXPECT_EQ(out.exit_status, c.exit_status) << worker_log();
    EXPECT_EQ(shell(c.intact), 0) << worker_log();
  }
}

}  // namespace
