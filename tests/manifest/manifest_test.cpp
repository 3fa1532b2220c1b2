#include "manifest.h"
#include "manifest_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "device_io.h"
#include "test_support.h"

namespace {

// One partition's "partition_info" member; fields left empty are omitted.
struct Part {
  std::string name = "boot";
  std::string medium = "\"emmc\"";
  std::string type = "\"AB\"";
  std::string method = "\"image\"";
  std::string imgname = "\"boot.img\"";
  std::string md5 = "[\"0123456789abcdef0123456789abcdef\"]";
  std::string scope = "[1048576]";
};

std::string member(const char* key, const std::string& value) {
  return value.empty() ? "" : "\"" + std::string(key) + "\":" + value + ",";
}

std::string manifest(const std::vector<Part>& parts, const std::string& top = "") {
  std::string names;
  std::string infos;
  for (const Part& p : parts) {
    names += (names.empty() ? "\"" : ",\"") + p.name + "\"";
    std::string body = member("medium", p.medium) + member("part_type", p.type) +
                       member("upgrade_method", p.method) + member("imgname", p.imgname) +
                       member("md5sum", p.md5) + member("md5_scope", p.scope);
    if (!body.empty()) {
      body.pop_back();
    }
    infos += (infos.empty() ? "\"" : ",\"") + p.name + "\":{" + body + "}";
  }
  return "{" + top + "\"update_partition\":[" + names + "],\"partition_info\":{" + infos + "}}";
}

// A manifest of one partition (boot unless named), with top-level members `top`.
std::string with(const Part& p, const std::string& top = "") { return manifest({p}, top); }
std::string q(const std::string& text) { return "\"" + text + "\""; }

class ManifestTest : public ManifestStateTest {
 protected:
  // Parses through the file reader, as the worker does.
  int parse_file(const std::string& text) {
    const std::string path = dir_.file("data.json");
    ota_test::write_file(path, text);
    return ota_parse_config_file(const_cast<char*>(path.c_str()));
  }
  ota_test::TempDir dir_;
};

// A complete manifest fills every field of the record and marks it parsed.
TEST_F(ManifestTest, FullManifestFillsRecord) {
  Part uboot{.name = "uboot",
             .medium = "\"nor\"",
             .type = "\"GOLDEN\"",
             .method = "\"image\"",
             .imgname = "\"uboot.img\"",
             .scope = "[3145728, 7]"};
  const std::string top =
      "\"antirollbackUpdate_host\":true,\"antirollbackUpdate_hsm\":2,\"sys_version\":\"v2\","
      "\"old_sys_version\":\"v1\",\"backup_dir\":\"/userdata/bak\",\"ab_sync\":1,"
      "\"nor_sign\":true,\"non_pcv\":false,";
  ASSERT_EQ(parse_file(manifest({Part{}, uboot}, top)), 0);
  const update_info_t* info = ota_get_config_info();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->parse_flag, 1);
  EXPECT_EQ(info->host_up_flag, 1);
  EXPECT_EQ(info->hsm_up_flag, 2);
  EXPECT_STREQ(info->sys_ver, "v2");
  EXPECT_STREQ(info->old_sys_ver, "v1");
  EXPECT_STREQ(info->backup_dir, "/userdata/bak");
  EXPECT_EQ(info->ab_sync, 1);
  EXPECT_EQ(info->nor_sign, 1);
  EXPECT_EQ(is_bd_secure(), 1);
  EXPECT_EQ(info->non_pcv, 0);
  EXPECT_EQ(info->update_size, 2);
  EXPECT_EQ(info->diff_flag, 0);
  EXPECT_STREQ(info->update_partition[1], "uboot");
  const partition_info_t& u = info->partition_info[1];
  EXPECT_STREQ(u.part_name, "uboot");
  EXPECT_STREQ(u.part_file, "uboot.img");
  EXPECT_EQ(u.medium, OTA_NOR);
  EXPECT_EQ(u.type, GOLDEN);
  EXPECT_EQ(u.method, IMAGE_UP);
  EXPECT_STREQ(u.md5[0], "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(u.md5_scope[0], 3145728u);
  EXPECT_EQ(u.md5_scope[1], 7u);
  EXPECT_EQ(get_total_size(), 4u * 1048576u);
}

// The total size keeps growing over a second manifest in the same run, while the
// record itself is replaced.
TEST_F(ManifestTest, TotalSizeAccumulatesAcrossParses) {
  ASSERT_EQ(parse_file(with({})), 0);
  ASSERT_EQ(parse_file(manifest({Part{.name = "system", .imgname = "\"system.img\""}})), 0);
  EXPECT_TRUE(ota_test::log_contains("Reset update information"));
  EXPECT_EQ(get_total_size(), 2u * 1048576u);
  EXPECT_EQ(ota_get_config_info()->update_size, 1);
  EXPECT_STREQ(ota_get_config_info()->update_partition[0], "system");
}

struct Refusal {
  const char* what;
  std::string text;
  std::vector<const char*> messages;
};

Refusal R(const char* what, std::string text, const char* message, const char* also = nullptr) {
  Refusal r{what, std::move(text), {message}};
  if (also != nullptr) {
    r.messages.push_back(also);
  }
  return r;
}

// gtest prints the case by its name, not its bytes.
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.what; }

class ManifestRefusalTest : public ManifestTest, public ::testing::WithParamInterface<Refusal> {};

// Each malformed manifest is refused with its own messages and leaves no parsed record.
TEST_P(ManifestRefusalTest, RefusedWithMessage) {
  EXPECT_EQ(parse_file(GetParam().text), -1) << GetParam().what;
  for (const char* message : GetParam().messages) {
    EXPECT_TRUE(ota_test::log_contains(message)) << GetParam().what << ": " << message;
  }
  EXPECT_TRUE(ota_test::log_contains("parse json:")) << GetParam().what;
  EXPECT_EQ(ota_get_config_info(), nullptr);
}

std::vector<Part> many_parts(int n) {
  std::vector<Part> parts;
  for (int i = 0; i < n; ++i) {
    parts.push_back(Part{.name = "p" + std::to_string(i)});
  }
  return parts;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestRefusalTest,
    ::testing::Values(
        R("not json", "{", "parse json fail"),
        R("no update_partition", "{\"partition_info\":{}}",
          "get partition info item or array item failed"),
        R("no partition_info", "{\"update_partition\":[]}",
          "get partition info item or array item failed"),
        R("nor_sign 2", with({}, "\"nor_sign\":2,"), "unable to set bd_secure"),
        R("flag of wrong type", with({}, "\"antirollbackUpdate_hsm\":\"yes\","),
          "Parse config antirollbackUpdate_hsm failed"),
        R("sys_version of 128 characters",
          with({}, "\"sys_version\":\"" + std::string(128, 'v') + "\","), "is illegal",
          "Parse config sys_version failed"),
        R("backup_dir escaping with ..", with({}, "\"backup_dir\":\"/userdata/../etc\","),
          "backup_dir /userdata/../etc must not contain '..'"),
        R("clone method", with({.method = q("clone")}), "Unknown upgrade_method config"),
        R("method in wrong case", with({.method = q("Image")}), "invalid ota info Image",
          "Unknown upgrade_method config"),
        R("unknown medium", with({.medium = q("ssd")}), "Unknown medium config"),
        R("unknown type", with({.type = q("ab")}), "Unknown part_type config"),
        R("name of 32 characters", with({.name = std::string(32, 'n')}), "is illegal",
          "get partition information from json failed"),
        R("name without member", "{\"update_partition\":[\"boot\"],\"partition_info\":{}}",
          "Parse medium failed", "get partition information from json failed"),
        R("non-string name", "{\"update_partition\":[7],\"partition_info\":{}}",
          "parse json update partition fail!"),
        R("no imgname", with({.imgname = ""}), "parse json update partition fail!"),
        R("imgname not a string", with({.imgname = "5"}), "parse json update partition fail!"),
        R("imgname of 64 characters", with({.imgname = q(std::string(64, 'i'))}),
          "Error: imgname_item->valuestring"),
        R("absolute imgname", with({.imgname = q("/etc/passwd")}),
          "image name /etc/passwd must be relative"),
        R("imgname with ..", with({.imgname = q("a/../../x.img")}),
          "image name a/../../x.img must be relative"),
        R("md5 longer than 32", with({.md5 = "[" + q(std::string(33, 'a')) + "]"}),
          "Parse md5 config failed"),
        R("three md5 entries", with({.md5 = "[\"a\",\"b\",\"c\"]"}),
          "md5sum has 3 entries, at most 2"),
        R("three scopes", with({.scope = "[1,2,3]"}), "md5_scope has 3 entries, at most 2"),
        R("negative scope", with({.scope = "[-1]"}), "Error: md5_scope md5_scope is illegal"),
        R("md5 object without the image", with({.md5 = "{\"other.img\":\"a\"}"}),
          "Cannot found boot.img md5"),
        R("scope object without the image", with({.scope = "{\"other.img\":1}"}),
          "Cannot found boot.img md5scope"),
        R("three matching md5 members",
          with({.md5 = "{\"boot.img\":\"a\",\"old_boot.img\":\"b\",\"new_boot.img\":\"c\"}"}),
          "more than 2 md5sum members for boot.img"),
        R("non-string md5 member", with({.md5 = "{\"boot.img\":5}"}), "Parse md5 config failed"),
        R("md5sum of wrong type", with({.md5 = "\"abc\""}), "Parse md5 config failed"),
        R("33 partitions", manifest(many_parts(33)),
          "33 partitions in update_partition, at most 32")),
    [](const ::testing::TestParamInfo<Refusal>& row) {
      std::string name;
      for (const char c : std::string(row.param.what)) {
        name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
      }
      return name;
    });

// 32 partitions, a 31-character name and an empty list are all within the limits.
TEST_F(ManifestTest, LimitsAccepted) {
  ASSERT_EQ(parse_file(manifest(many_parts(32))), 0);
  EXPECT_EQ(ota_get_config_info()->update_size, 32);
  EXPECT_STREQ(ota_get_config_info()->partition_info[31].part_name, "p31");
  ASSERT_EQ(parse_file(manifest({Part{.name = std::string(31, 'n')}})), 0);
  EXPECT_EQ(ota_get_config_info()->partition_info[0].part_name, std::string(31, 'n'));
  ASSERT_EQ(parse_file("{\"update_partition\":[],\"partition_info\":{}}"), 0);
  EXPECT_EQ(ota_get_config_info()->update_size, 0);
}

// Object-shaped digests fill the entries in document order, so swapping the old_ and
// new_ members swaps the entries; image_diff sets diff_flag.
TEST_F(ManifestTest, ObjectShapeFollowsDocumentOrder) {
  const std::string a(32, 'a');
  const std::string b(32, 'b');
  for (const bool old_first : {true, false}) {
    const std::string first = old_first ? "old_boot.img" : "new_boot.img";
    const std::string second = old_first ? "new_boot.img" : "old_boot.img";
    Part p{.name = "boot",
           .method = "\"image_diff\"",
           .md5 = "{\"x.img\":\"" + b + "\",\"" + first + "\":\"" + a + "\",\"" + second + "\":\"" +
                  b + "\"}",
           .scope = "{\"" + first + "\":10,\"" + second + "\":20}"};
    ASSERT_EQ(parse_file(manifest({p})), 0);
    const partition_info_t& e = ota_get_config_info()->partition_info[0];
    EXPECT_EQ(e.md5[0], a);
    EXPECT_EQ(e.md5[1], b);
    EXPECT_EQ(e.md5_scope[0], 10u);
    EXPECT_EQ(e.md5_scope[1], 20u);
    EXPECT_EQ(e.method, IMAGE_DIFF_UP);
    EXPECT_EQ(ota_get_config_info()->diff_flag, 1);
  }
}

// A null digest entry is reported and leaves its slot empty; a non-number scope reads 0.
TEST_F(ManifestTest, ArrayShapeSkipsNullEntries) {
  Part p{.name = "boot", .md5 = "[null,\"" + std::string(32, 'c') + "\"]", .scope = "[\"x\",5]"};
  ASSERT_EQ(parse_file(manifest({p})), 0);
  const partition_info_t& e = ota_get_config_info()->partition_info[0];
  EXPECT_TRUE(ota_test::log_contains("get md5 node failed"));
  EXPECT_STREQ(e.md5[0], "");
  EXPECT_EQ(e.md5[1], std::string(32, 'c'));
  EXPECT_EQ(e.md5_scope[0], 0u);
  EXPECT_EQ(e.md5_scope[1], 5u);
}

// The file reader refuses a null path, an empty file and a missing file; the record is
// unavailable before a parse.
TEST_F(ManifestTest, FileReaderRefusals) {
  EXPECT_EQ(ota_get_config_info(), nullptr);
  EXPECT_TRUE(ota_test::log_contains("json config not been parsed!"));
  EXPECT_EQ(ota_parse_config_file(nullptr), -1);
  EXPECT_TRUE(ota_test::log_contains("json file is null!"));
  EXPECT_EQ(parse_file(""), -1);
  EXPECT_TRUE(ota_test::log_contains("json file size is zero!"));
  std::string missing = dir_.file("missing.json");
  EXPECT_EQ(ota_parse_config_file(missing.data()), -1);
}

// A parameter package needs an executable param_update.sh or an app_param file.
TEST_F(ManifestTest, ParamPackageCheck) {
  EXPECT_EQ(ota_verify_param_package(dir_.path().c_str()), 1);
  ota_test::write_file(dir_.file("param_update.sh"), "#!/bin/sh\n");
  EXPECT_EQ(ota_verify_param_package(dir_.path().c_str()), 1);  // not executable
  ASSERT_EQ(chmod(dir_.file("param_update.sh").c_str(), 0755), 0);
  EXPECT_EQ(ota_verify_param_package(dir_.path().c_str()), 0);
  ota_test::TempDir other;
  ota_test::write_file(other.file("app_param"), "x");
  EXPECT_EQ(ota_verify_param_package(other.path().c_str()), 0);
}

}  // namespace
