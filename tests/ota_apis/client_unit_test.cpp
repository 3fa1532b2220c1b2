#include <gtest/gtest.h>

#include <string>

#include "backup_sync.h"
#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"
#include "test_support.h"
#include "veeprom_flag.h"

namespace {

struct BootCountCase {
  const char* cmdline;
  int ret;
  uint8_t value;
};

// The boot count decides main (below 5) or backup (5 and more); a missing key fails.
TEST(BackSlotTest, BootCountDecides) {
  const BootCountCase cases[] = {
      {"console=ttyS0 mirvoboot.bootcount=4 x", 0, 0},
      {"mirvoboot.bootcount=5\n", 0, 1},
      {"mirvoboot.bootcount=12", 0, 1},
      {"mirvoboot.bootcount=0", 0, 0},
      {"console=ttyS0 mirvoboot.mode=normal", -1, 7},
  };
  for (const auto& c : cases) {
    uint8_t value = 7;
    EXPECT_EQ(ota_back_slot_from_cmdline(c.cmdline, &value), c.ret) << c.cmdline;
    EXPECT_EQ(value, c.value) << c.cmdline;
  }
}

struct VersionCase {
  const char* text;
  int ret;
  const char* version;
};

// The version runs from "4.0.1" to the next blank, without a trailing line end; a file
// without it, or longer than the buffer, never overruns.
TEST(SystemVersionTest, ExtractsTheVersion) {
  const VersionCase cases[] = {
      {"4.0.1-rc2 built today\n", 9, "4.0.1-rc2"},
      {"release 4.0.1.7\n", 7, "4.0.1.7"},
      {"4.0.1\r", 5, "4.0.1"},
      {"3.9.9\n", -1, ""},
  };
  ota_test::TempDir dir;
  for (const auto& c : cases) {
    ota_test::write_file(dir.file("version"), c.text);
    char buf[128] = {};
    EXPECT_EQ(get_system_version(dir.file("version").c_str(), buf), c.ret) << c.text;
    EXPECT_STREQ(buf, c.version) << c.text;
  }
  ota_test::write_file(dir.file("long"), std::string(300, 'x') + "4.0.1 tail");
  char buf[128] = {};
  EXPECT_EQ(get_system_version(dir.file("long").c_str(), buf), -1);
  EXPECT_EQ(get_system_version(dir.file("absent").c_str(), buf), -1);
}

ota_update_flag_e g_fake_status = OTA_FLAG_NORMAL;
int32_t g_fake_ret = 0;
int32_t fake_getter(ota_update_flag_e* status) {
  *status = g_fake_status;
  return g_fake_ret;
}

// The status gate lets a fresh board or the expected status through and nothing else.
TEST(CheckUpStatusTest, Gate) {
  struct Row {
    ota_update_flag_e current;
    int32_t getter_ret;
    ota_update_flag_e wanted;
    int32_t result;
  };
  const Row rows[] = {
      {OTA_FLAG_NORMAL, 0, OTA_FLAG_VERIFY, 0},
      {OTA_FLAG_VERIFY, 0, OTA_FLAG_VERIFY, 0},
      {OTA_FLAG_BURN, 0, OTA_FLAG_VERIFY, -OTAERR_UPDATE_STATUS},
      {OTA_FLAG_NORMAL, -1, OTA_FLAG_NORMAL, -OTAERR_UPDATE_STATUS},
  };
  for (const auto& r : rows) {
    g_fake_status = r.current;
    g_fake_ret = r.getter_ret;
    EXPECT_EQ(ota_check_up_status(fake_getter, r.wanted), r.result);
  }
}

// Secure images are loaded only with both files present and readable.
TEST(HsmInitTest, NeedsImageAndCertificate) {
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("img"), "image bytes");
  ota_test::write_file(dir.file("cert"), "certificate");
  ota_test::write_file(dir.file("empty"), "");
  ota_sec_img_t info{};
  std::snprintf(info.cert_path, sizeof(info.cert_path), "%s", dir.file("none").c_str());
  std::snprintf(info.img_path, sizeof(info.img_path), "%s", dir.file("img").c_str());
  EXPECT_EQ(ota_hsm_init(&info), -OTAERR_NULLPOINTER);
  std::snprintf(info.cert_path, sizeof(info.cert_path), "%s", dir.file("cert").c_str());
  EXPECT_EQ(ota_hsm_init(&info), 0);
  std::snprintf(info.img_path, sizeof(info.img_path), "%s", dir.file("missing").c_str());
  EXPECT_EQ(ota_hsm_init(&info), -OTAERR_NO_EXISTS);
  std::snprintf(info.img_path, sizeof(info.img_path), "%s", dir.file("empty").c_str());
  EXPECT_EQ(ota_hsm_init(&info), -1);
}

}  // namespace
