#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_io.h"
#include "gpt_conf.h"
#include "kx_zip.h"
#include "manifest.h"
#include "pack_description.h"
#include "packager.h"
#include "partition_md5.h"
#include "test_support.h"
#include "worker_state.h"

namespace {

using ota::pack::Description;

class OtaPackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_worker_reset_state();
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(300000, 1));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(100000, 2));
  }
  void TearDown() override { ota_worker_reset_state(); }
  // Parses the description text (files relative to the test directory) and packs it.
  ota::tool::Result<void> pack(const std::string& text, const std::string& out) {
    auto d = ota::pack::parse_description(text, dir_.path());
    if (!d) {
      return d.error();
    }
    return ota::pack::make_package(d.value(), dir_.file(out));
  }
  // Extracts one member with the engine's own archive code.
  std::string member(const std::string& package, const std::string& name) {
    ota_test::TempDir out;
    EXPECT_EQ(kx_uncompress_one(dir_.file(package).c_str(), out.path().c_str(), name.c_str()), 0)
        << name;
    std::string plain = name.ends_with(".zst") ? name.substr(0, name.size() - 4) : name;
    return ota_test::read_file(out.file(plain));
  }
  ota_test::TempDir dir_;
};

struct Refusal {
  const char* what;
  std::string text;
  const char* culprit;
};

// Inconsistent descriptions are refused with a message naming the culprit, and leave
// no package behind; a signed NOR image must fit its partition and hold a trailer. (Which
// partition an entry may write is the write-target rule's table; two rows show the
// packer applies it to the declared type.)
TEST_F(OtaPackTest, RefusesInconsistentInput) {
  ota_test::write_file(dir_.file("huge.img"), std::string(2 * 1024 * 1024, 'h'));
  ota_test::write_file(dir_.file("empty.img"), "");
  // 512 KiB of data with one trailer covers uboot's 512 KiB plus its trailer area exactly.
  ota_test::write_file(dir_.file("fits.img"), std::string(524288 + OTA_NOR_TRAILER, 'f'));
  ota_test::write_file(dir_.file("over.img"), std::string(524288 + OTA_NOR_TRAILER + 1, 'o'));
  ota_test::write_file(dir_.file("tiny.img"), std::string(100, 't'));
  EXPECT_TRUE(pack("key nor_sign 1\npart uboot fits.img\n", "fits.zip").ok());
  std::string many;
  for (int i = 0; i < 33; ++i) {
    many += "part p" + std::to_string(i) + " boot.img\n";
  }
  const Refusal rows[] = {
      {"not in layout", "part bootx boot.img\n", "partition 'bootx' is not in the layout"},
      {"too large", "part vbmeta huge.img\n", "is larger than partition vbmeta_a"},
      {"name too long", "part " + std::string(32, 'n') + " boot.img\n", "1 to 31 characters"},
      {"template too long", "part boot boot.img name=" + std::string(64, 't') + "\n",
       "longer than 63 characters"},
      {"traversal", "part boot boot.img name=../boot.img\n", "must be relative, without '..'"},
      {"unknown variable", "part boot boot.img name=${nosuch}.img\n", "'nosuch'"},
      {"medium", "part boot boot.img medium=nor\n", "is on emmc, not nor"},
      {"twice", "part boot boot.img\npart boot boot.img\n", "partition 'boot' given twice"},
      {"too many", many, "33 partitions, at most 32"},
      {"nor_sign", "key nor_sign 2\npart boot boot.img\n", "nor_sign must be 0 or 1"},
      {"missing image", "part boot none.img\n", "none.img"},
      {"patch name", "part boot boot.img method=image_diff old=uboot.img name=b.bin\n",
       "must end in .img"},
      {"member twice", "part boot boot.img\nfile boot.img uboot.img\n",
       "member 'boot.img' would be written twice"},
      {"a record", "part misc boot.img\n", "partition 'misc' (PERMANENT) is no package's to write"},
      {"A/B declared PERMANENT", "part boot boot.img type=PERMANENT\n",
       "an A/B pair, declare it AB"},
      {"empty image", "part boot empty.img\n", "empty.img is empty"},
      {"signed NOR over its partition", "key nor_sign 1\npart uboot over.img\n", "over.img"},
      {"signed NOR shorter than a trailer", "key nor_sign 1\npart uboot tiny.img\n",
       "shorter than its 2048-byte trailer"},
  };
  for (const Refusal& row : rows) {
    auto r = pack(row.text, "bad.zip");
    ASSERT_FALSE(r.ok()) << row.what;
    EXPECT_NE(r.error().message().find(row.culprit), std::string::npos)
        << row.what << ": " << r.error().message();
    EXPECT_NE(access(dir_.file("bad.zip").c_str(), F_OK), 0) << row.what;
  }
}

// A zip package's manifest is accepted by the worker's parser, its digests and scopes
// are those of the images, and its gpt.conf reads back whole.
TEST_F(OtaPackTest, ZipManifestMatchesImages) {
  ota_test::write_file(dir_.file("worker"), "#!/bin/sh\n");
  ASSERT_TRUE(pack("format zip\nworker worker\nkey sys_version v9\nkey ab_sync 1\n"
                   "part boot boot.img name=boot%n.img\npart uboot uboot.img anti_ver\n"
                   "hook post boot worker\n",
                   "pkg.zip")
                  .ok());
  ota_test::TempDir out;
  ASSERT_EQ(kx_uncompress(dir_.file("pkg.zip").c_str(), out.path().c_str()), 0);
  std::string json = out.file("data.json");
  ASSERT_EQ(ota_parse_config_file(json.data()), 0);
  const update_info_t* info = ota_get_config_info();
  EXPECT_STREQ(info->sys_ver, "v9");
  EXPECT_EQ(info->ab_sync, 1);
  ASSERT_EQ(info->update_size, 2);
  const partition_info_t& uboot = info->partition_info[1];
  EXPECT_EQ(uboot.medium, OTA_NOR);
  EXPECT_EQ(uboot.type, AB);
  EXPECT_EQ(uboot.have_anti_ver, 1u);
  EXPECT_EQ(uboot.md5[0], ota_test::md5sum_of(dir_.file("uboot.img")));
  EXPECT_EQ(uboot.md5_scope[0], 100000u);
  EXPECT_EQ(ota_test::read_file(out.file("boot%n.img")),
            ota_test::read_file(dir_.file("boot.img")));
  EXPECT_EQ(ota_test::read_file(out.file("ota_process")), "#!/bin/sh\n");
  EXPECT_EQ(ota_test::read_file(out.file("postinst_boot.sh")), "#!/bin/sh\n");
  std::vector<gpt_conf_entry> layout;
  ASSERT_EQ(gpt_conf_parse(ota_test::read_file(out.file("gpt.conf")), &layout), 0);
  EXPECT_EQ(layout.front().name, "misc");
  EXPECT_EQ(layout.front().start, 1048576);
}

// A signed NOR image is digested as the worker's copy lays it out on the device (each
// chunk's trailer overwritten by the next): after a signed copy the manifest's digest and
// scope prove the device, for one chunk, a chunk and a tail shorter than a trailer, and
// several chunks; an unsigned image is digested as the file reads.
TEST_F(OtaPackTest, SignedNorDigestProvesTheDevice) {
  std::string layout(ota::board::default_layout_text());
  const std::string last_nor = "nor  nor_env   64K";
  layout.replace(layout.find(last_nor), last_nor.size(), last_nor + "\nnor  fw 8M");
  ota_test::write_file(dir_.file("board.layout"), layout);
  struct Row {
    uint64_t size;
    int nor_sign;
  };
  const Row rows[] = {{3000, 1},
                      {OTA_NOR_SIGNED_CHUNK, 1},
                      {OTA_NOR_SIGNED_CHUNK + 1000, 1},
                      {3 * OTA_NOR_SIGNED_CHUNK + 5000, 1},
                      {3 * OTA_NOR_SIGNED_CHUNK + 5000, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.size) + " signed " + std::to_string(row.nor_sign));
    ota_test::write_file(dir_.file("fw.img"), ota_test::make_image_bytes(row.size, 7));
    ASSERT_TRUE(pack("layout board.layout\nkey nor_sign " + std::to_string(row.nor_sign) +
                         "\npart fw fw.img\n",
                     "fw.zip")
                    .ok());
    ota_worker_reset_state();
    std::string json = dir_.file("data.json");
    ota_test::write_file(json, member("fw.zip", "data.json"));
    ASSERT_EQ(ota_parse_config_file(json.data()), 0);
    const partition_info_t& fw = ota_get_config_info()->partition_info[0];
    ASSERT_EQ(fw.medium, OTA_NOR);

    const std::string dev = dir_.file("fw.dev");
    ota_test::write_file(dev, std::string((8 << 20) + OTA_NOR_TRAILER, '\xff'));
    ASSERT_EQ(ota_set_bd_secure(row.nor_sign), 0);
    ota_file_info_t src{};
    src.size = row.size;
    src.medium = OTA_NOR;
    std::snprintf(src.path, sizeof(src.path), "%s", dir_.file("fw.img").c_str());
    ota_file_info_t dst{};
    dst.medium = OTA_NOR;
    std::snprintf(dst.path, sizeof(dst.path), "%s", dev.c_str());
    ASSERT_EQ(ota_file_to_file(&src, &dst, nullptr), 0);
    EXPECT_EQ(fw.md5_scope[0], row.nor_sign == 1 ? ota_signed_nor_extent(row.size) : row.size);
    EXPECT_EQ(verify_image_checksum_with_part(fw.md5[0], fw.md5_scope[0], dev.c_str(), 0), 0);
  }
}

// A tar package carries images as zstd members whose names end in ".zst", and the
// manifest names them so; the engine's extraction restores the image.
TEST_F(OtaPackTest, TarMembersAreZstd) {
  ASSERT_TRUE(pack("format tar\npart boot boot.img\n", "pkg.tar").ok());
  EXPECT_EQ(kx_compress_has_file(dir_.file("pkg.tar").c_str(), "boot.img.zst"), 1);
  EXPECT_EQ(member("pkg.tar", "boot.img.zst"), ota_test::read_file(dir_.file("boot.img")));
  const std::string json = member("pkg.tar", "data.json");
  ASSERT_EQ(ota_parse_json(json.c_str()), 0);
}

// Board variables and lifecycle suffixes expand from the layout the way the worker
// expands them on the board.
TEST_F(OtaPackTest, NameExpansion) {
  auto layout = ota::board::default_layout();
  EXPECT_EQ(ota::pack::expand_image_name("${soc}_boot.img", layout, false).value(),
            "rev2_evb_boot.img");
  EXPECT_EQ(ota::pack::expand_image_name("$board_id.img", layout, false).value(), "1.img");
  layout.lifecycle = "OHP";
  EXPECT_EQ(ota::pack::expand_image_name("keyimage%s.img", layout, false).value(),
            "keyimage_ohp.img");
  EXPECT_EQ(ota::pack::expand_image_name("SBL%s.img", layout, false).value(), "SBL%s.img");
  EXPECT_EQ(ota::pack::expand_image_name("SBL%s.img", layout, true).value(), "SBL_ohp.img");
  layout.lifecycle = "ATE";
  EXPECT_EQ(ota::pack::expand_image_name("HSM_FW%s.img", layout, true).value(), "HSM_FW_L0.img");
  EXPECT_EQ(ota::pack::expand_image_name("keyimage%s.img", layout, false).value(), "keyimage.img");
}

}  // namespace
