// What a fresh board shows at the board's paths.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdio>

#include "board_io.h"

namespace {

using namespace board_io;

uint64_t device_size(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  uint64_t size = 0;
  const int rc = fd < 0 ? -1 : ::ioctl(fd, BLKGETSIZE64, &size);
  if (fd >= 0) {
    ::close(fd);
  }
  return rc == 0 ? size : 0;
}

using ota_test::shell_output;

// The disk's partition table passes the independent checker (both headers, their CRCs
// and the backup). (Its entries against the layout: the engine's partition check, which
// every worker run on the board passes.)
TEST(BoardDevices, GptPassesSgdisk) {
  const std::string out = shell_output("sgdisk -v " + std::string(kByName) + "blk 2>&1");
  EXPECT_NE(out.find("No problems found"), std::string::npos) << out;
}

// Every partition of the layout has its by-name device with the layout's size, a NOR one
// shows the flash bytes at its MTD offset, and the MTD attributes read as the engine's
// partition check expects (size + 2048).
TEST(BoardDevices, DevicesAndMtdAttributesFollowTheLayout) {
  const auto l = layout();
  for (const auto* parts : {&l.emmc, &l.nor}) {
    for (const auto& p : *parts) {
      const std::string path = kByName + p.name;
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
      EXPECT_TRUE(S_ISBLK(st.st_mode)) << path;
      EXPECT_EQ(device_size(path), p.device_size()) << path;
    }
  }
  EXPECT_EQ(device_size(std::string(kByName) + "blk"), l.emmc_size);
  EXPECT_EQ(device_size("/dev/mtd0"), l.nor_size);
  const auto& p = l.nor.at(1);
  const auto data = pattern(4096, 3);
  write_dev(kByName + p.name, 100, data);
  EXPECT_EQ(read_dev("/dev/mtd0", p.offset + 100, data.size()), data);
  for (const auto& n : l.nor) {
    const std::string d = "/sys/class/mtd/mtd" + std::to_string(n.mtd) + "/";
    EXPECT_EQ(ota_test::read_file(d + "name"), n.name + "\n");
    EXPECT_EQ(ota_test::read_file(d + "offset"), std::to_string(n.offset) + "\n");
    EXPECT_EQ(ota_test::read_file(d + "size"), std::to_string(n.size + 2048) + "\n");
  }
}

// The files the engine reads outside /dev hold the board's values.
TEST(BoardDevices, BoardFilesAreInPlace) {
  EXPECT_EQ(cmdline(),
            "console=ttyS0,115200 mirvoboot.slot_suffix=_a mirvoboot.mode=normal "
            "mirvoboot.bootcount=0\n");
  EXPECT_EQ(ota_test::read_file("/etc/runtime_config"), "OTA_DEPLOY_DIR=/userdata/ota\n");
  EXPECT_EQ(ota_test::read_file("/sys/class/boardinfo/soc"), "rev2 evb\n");
  EXPECT_EQ(shell_output("/usr/mirvo/bin/provision_tool --get-lifecycle"), "lifecycle: DEVELOP\n");
  // The engine's mount-point check: df lists /userdata as a mount of its own.
  EXPECT_EQ(std::system("df -P -k /userdata | grep userdata > /dev/null"), 0);
  struct stat st {};
  EXPECT_EQ(::stat("/userdata/ota", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  for (const auto& t :
       {"misc_write_cmd", "other_a2b_cmd", "other_b2a_cmd", "hsm_m2b_cmd", "hsm_b2m_cmd",
        "aonreg_write_cmd", "mcu_start_ota", "mcu_post_ota", "mcu_abort_ota", "mcu_pre_reboot"}) {
    const std::string rec = ota_test::read_file(std::string("/usr/mirvo/share/ota/") + t);
    EXPECT_EQ(rec.size(), 2272U) << t;
    EXPECT_EQ(rec.substr(0, 4), "DMCF") << t;
  }
}

}  // namespace
