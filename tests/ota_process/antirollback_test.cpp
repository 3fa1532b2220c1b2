#include "antirollback.h"
#include "manifest_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crc.h"
#include "device_io.h"
#include "manifest.h"
#include "test_support.h"
#include "worker_state.h"

namespace {

// A NOR image whose flash header carries ver (valid CRC unless broken is set).
std::string nor_image(uint16_t ver, bool broken = false) {
  std::string img(4096, '\x5a');
  img[2] = static_cast<char>(ver & 0xff);
  img[3] = static_cast<char>(ver >> 8);
  uint16_t crc = CRC16(reinterpret_cast<const uint8_t*>(img.data()), 46);
  if (broken) {
    crc ^= 1;
  }
  img[46] = static_cast<char>(crc & 0xff);
  img[47] = static_cast<char>(crc >> 8);
  return img;
}

struct Image {
  std::string part;
  std::string medium;
  int have_anti_ver;
  std::string bytes;  // empty: no file
};

class AntirollbackTest : public ManifestStateTest {
 protected:
  // The checked versions are worker state: the whole worker starts afresh.
  void reset() override { ota_worker_reset_state(); }
  // Writes the images and a manifest naming them, and parses it.
  void load(const std::vector<Image>& images) {
    std::string names;
    std::string infos;
    for (const Image& im : images) {
      const std::string file = im.part + ".img";
      if (!im.bytes.empty()) {
        ota_test::write_file(dir_.file(file), im.bytes);
      }
      names += (names.empty() ? "\"" : ",\"") + im.part + "\"";
      infos += (infos.empty() ? "\"" : ",\"") + im.part + "\":{\"medium\":\"" + im.medium +
               "\",\"part_type\":\"AB\",\"upgrade_method\":\"image\",\"imgname\":\"" + file +
               "\",\"md5sum\":[\"a\"],\"md5_scope\":[1],\"have_anti_ver\":" +
               std::to_string(im.have_anti_ver) + "}";
    }
    const std::string json =
        "{\"update_partition\":[" + names + "],\"partition_info\":{" + infos + "}}";
    ota_test::write_file(dir_.file("data.json"), json);
    std::string path = dir_.file("data.json");
    ASSERT_EQ(ota_parse_config_file(path.data()), 0);
  }
  int32_t collect(antirollback_ver_t* ver) {
    *ver = antirollback_ver_t{};
    return get_image_antirollback(ver, dir_.path().c_str());
  }
  ota_test::TempDir dir_;
};

// Host images of one version agree; an image without a valid header is ignored.
TEST_F(AntirollbackTest, ConsistentHostVersions) {
  load({{"uboot", "nor", 1, nor_image(3)},
        {"spl", "nor", 1, nor_image(9, true)},
        {"vbmeta", "emmc", 1, ota_test::avb_image(3, 4096)},
        {"rootfs", "emmc", 1, std::string(4096, 'r')}});
  antirollback_ver_t ver{};
  ASSERT_EQ(collect(&ver), 0);
  EXPECT_EQ(ver.host_ver, 3u);
  EXPECT_EQ(ver.hsm_ver, 0u);
  EXPECT_TRUE(ota_test::log_contains("don't have antirollback version"));
  EXPECT_TRUE(ota_test::log_contains("is not avb image!"));
}

// A second host image of another version is refused naming both versions.
TEST_F(AntirollbackTest, InconsistentVersionsRefused) {
  load({{"uboot", "nor", 1, nor_image(3)}, {"spl", "nor", 1, nor_image(2)}});
  antirollback_ver_t ver{};
  EXPECT_EQ(collect(&ver), -1);
  EXPECT_TRUE(ota_test::log_contains("antirollback versions 2:3 is inconsistent"));
}

// Security-module images form their own class; images not marked are never opened.
TEST_F(AntirollbackTest, ClassesAndUnmarkedImages) {
  load({{"HSM_RCA_bak", "nor", 1, nor_image(7)},
        {"uboot", "nor", 1, nor_image(4)},
        {"missing", "emmc", 0, ""}});
  antirollback_ver_t ver{};
  ASSERT_EQ(collect(&ver), 0);
  EXPECT_EQ(ver.hsm_ver, 7u);
  EXPECT_EQ(ver.host_ver, 4u);
}

// The AVB rollback index is the big-endian word at offset 112; a missing marked image
// and an unknown medium fail the collection.
TEST_F(AntirollbackTest, AvbIndexAndFailures) {
  ota_test::write_file(dir_.file("v.img"), ota_test::avb_image(5, 4096));
  uint64_t ver = 0;
  ASSERT_EQ(read_avb_img_anti_ver(dir_.file("v.img").c_str(), &ver), 0);
  EXPECT_EQ(ver, 5u);
  ota_test::write_file(dir_.file("short.img"), "AVB0");
  EXPECT_EQ(read_avb_img_anti_ver(dir_.file("short.img").c_str(), &ver), -1);
  EXPECT_TRUE(ota_test::log_contains("get avb image antirollback version error!"));

  load({{"vbmeta", "emmc", 1, ""}});
  antirollback_ver_t rec{};
  EXPECT_EQ(collect(&rec), -1);
  EXPECT_TRUE(ota_test::log_contains("open file"));
  load({{"uboot", "nor", 1, nor_image(1)}});
  ota_get_config_info()->partition_info[0].medium = static_cast<ota_medium_e>(2);
  EXPECT_EQ(collect(&rec), -1);
}

// The consistency check fills each image's size, all bits set when it is absent, and
// refuses a record whose names disagree.
TEST_F(AntirollbackTest, SystemImageSizes) {
  load({{"boot", "emmc", 0, std::string(1234, 'b')}, {"gone", "emmc", 0, ""}});
  ASSERT_EQ(ota_verify_system_image(dir_.path().c_str()), 0);
  EXPECT_EQ(ota_get_config_info()->partition_info[0].img_size, 1234u);
  EXPECT_EQ(ota_get_config_info()->partition_info[1].img_size, UINT64_MAX);
  ota_get_config_info()->partition_info[1].part_name[0] = 'X';
  EXPECT_EQ(ota_verify_system_image(dir_.path().c_str()), -1);
  EXPECT_TRUE(ota_test::log_contains("part name gone and part info Xone is not matched"));
  ota_worker_reset_state();
  EXPECT_EQ(ota_verify_system_image(dir_.path().c_str()), -1);
  EXPECT_TRUE(ota_test::log_contains("data.json not parsed"));
}

}  // namespace
