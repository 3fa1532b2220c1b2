// The fuzz seed corpora replayed as ordinary tests: a file named ok_* must be accepted,
// one named bad_* refused, and none may fault (the asan preset watches for that).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device_io.h"
#include "gpt_conf.h"
#include "gpt_entries.h"
#include "manifest.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus(const char* target) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(fs::path(OTA_FUZZ_CORPUS_DIR) / target)) {
    files.push_back(entry.path());
  }
  return files;
}

// What one parse leaves behind: the manifest and the board-secure flag it sets.
void reset_parse_state() {
  manifest_reset_state();
  device_io_reset_state();
}

bool expected_ok(const fs::path& file) { return file.filename().string().starts_with("ok_"); }

// Every manifest seed is accepted or refused as its name says.
TEST(FuzzCorpus, ManifestSeeds) {
  const std::vector<fs::path> files = corpus("fuzz_manifest");
  ASSERT_GE(files.size(), 4u);
  for (const fs::path& file : files) {
    reset_parse_state();
    std::string path = file.string();
    EXPECT_EQ(ota_parse_config_file(path.data()), expected_ok(file) ? 0 : -1) << path;
  }
  reset_parse_state();
}

// Every gpt.conf seed is accepted or refused as its name says.
TEST(FuzzCorpus, GptConfSeeds) {
  const std::vector<fs::path> files = corpus("fuzz_gpt_conf");
  ASSERT_GE(files.size(), 4u);
  for (const fs::path& file : files) {
    std::vector<gpt_conf_entry> entries;
    const int32_t ret = gpt_conf_parse(ota_test::read_file(file.string()), &entries);
    EXPECT_EQ(ret, expected_ok(file) ? 0 : -1) << file;
  }
}

// The reader splits on runs of ':', takes names as they stand ("systems" stays itself) and
// reads numbers with blanks around them and one trailing 's'; a final CR is dropped.
TEST(GptConf, FieldsAndSuffix) {
  std::vector<gpt_conf_entry> entries;
  ASSERT_EQ(gpt_conf_parse("boot_a::1048576s:2097151:1\r\nsystems: 0 :9 s:0", &entries), 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "boot_a");
  EXPECT_EQ(entries[0].start, 1048576);
  EXPECT_EQ(entries[0].end, 2097151);
  EXPECT_EQ(entries[0].medium, GPT_CONF_MEDIUM_EMMC);
  EXPECT_EQ(entries[1].name, "systems");
  EXPECT_EQ(entries[1].end, 9);
  EXPECT_EQ(entries[1].medium, GPT_CONF_MEDIUM_NOR);
}

// Numbers: digits, blanks around them, one unit letter; anything else is refused.
TEST(GptConf, Numbers) {
  struct Row {
    const char* text;
    bool ok;
    int64_t value;
  };
  const Row rows[] = {
      {"42", true, 42},   {" 42\t", true, 42}, {"42s", true, 42},  {"42 s ", true, 42},
      {"", false, 0},     {" ", false, 0},     {"s", false, 0},    {"4 2", false, 0},
      {"42ss", false, 0}, {"+42", false, 0},   {"42\r", false, 0}, {"0x2a", false, 0},
  };
  for (const Row& row : rows) {
    int64_t value = -1;
    EXPECT_EQ(gpt_conf_number(row.text, &value), row.ok) << "'" << row.text << "'";
    if (row.ok) {
      EXPECT_EQ(value, row.value) << row.text;
    }
  }
}

// Partition names keep the low byte of each unit; other non-printable bytes become '!'.
TEST(GptConf, PartitionNameConversion) {
  uint16_t units[GPT_NAME_UNITS] = {'b', 'o', 'o', 't', 0x0107, '_', 0x3061, 0x01};
  char name[72] = {};
  convert_partname(units, name);
  EXPECT_STREQ(name, "boot!_a!");
}

}  // namespace
