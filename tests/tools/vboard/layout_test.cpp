// The layout format: what it refuses and where it puts partitions.
#include <gtest/gtest.h>

#include "board_layout.h"

namespace {

using ota::board::parse_layout;

const std::string kBase = "emmc misc 1M\nemmc veeprom 1M\nemmc flashcmd 1M\n";

// Layouts that would make a board the engine cannot use are refused, naming the line.
TEST(Layout, RefusesBrokenLayouts) {
  const std::pair<std::string, std::string> cases[] = {
      {kBase, "userdata"},
      {kBase + "emmc userdata 8M ext4\nemmc late 1M\n", "userdata"},
      {"emmc misc 1M\nemmc flashcmd 1M\nemmc userdata 8M\n", "'veeprom' is missing"},
      {kBase + "emmc misc 1M\nemmc userdata 8M\n", "appears twice"},
      {kBase + "emmc boot 12Q\nemmc userdata 8M\n", "line 4: bad size"},
      {kBase + "emmc boot 1000\nemmc userdata 8M\n", "multiple of 4096"},
      {kBase + "emmc bad/name 1M\nemmc userdata 8M\n", "bad partition name"},
      {kBase + "emmc userdata 8M\nnor x 64K ab bak\n", "either 'ab' or 'bak'"},
      {kBase + "emmc userdata 8M\nwhatever 1\n", "line 5: unknown keyword"},
      {kBase + "emmc userdata 8M\nboardinfo soc " + std::string(40, 'x') + "\n", "31 bytes"},
      {kBase + "emmc blk 1M\nemmc userdata 8M\n", "whole disk"},
      {kBase + "emmc userdata 8M\nnor u_a 64K\nnor u_b 128K\n", "differ in size"},
  };
  for (const auto& [text, why] : cases) {
    auto r = parse_layout(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_NE(r.error().message().find(why), std::string::npos) << r.error().message();
  }
}

// eMMC partitions start on 1 MiB in GPT order; NOR ones follow each other with the
// firmware's 2048-byte trailer; gpt.conf lines carry first and last byte.
TEST(Layout, PlacesPartitionsAndWritesGptConf) {
  auto r = parse_layout(kBase +
                        "emmc boot 16K ab\nemmc userdata 8M ext4\n"
                        "nor uboot 512K ab\nnor env 64K\n# comment\nlifecycle OHP\n");
  ASSERT_TRUE(r.ok()) << r.error().message();
  const auto& l = r.value();
  ASSERT_EQ(l.emmc.size(), 6U);
  EXPECT_EQ(l.emmc[0].offset, 1U << 20);
  EXPECT_EQ(l.emmc[3].name, "boot_a");
  EXPECT_EQ(l.emmc[4].offset, 5U << 20);
  EXPECT_EQ(l.emmc[4].last_lba(), (5U << 11) + 31);
  EXPECT_TRUE(l.emmc[5].ext4);
  EXPECT_EQ(l.emmc_size, 15U << 20);
  ASSERT_EQ(l.nor.size(), 3U);
  // The second partition skips the rest of the first's last erase block.
  EXPECT_EQ(l.nor[1].offset, 576U * 1024);
  EXPECT_EQ(l.nor[2].mtd, 3U);
  EXPECT_EQ(l.lifecycle, "OHP");
  ASSERT_EQ(l.nor_ab_pairs().size(), 1U);
  const std::string conf = ota::board::gpt_conf_text(l);
  EXPECT_NE(conf.find("misc:1048576:2097151:1\n"), std::string::npos) << conf;
  EXPECT_NE(conf.find("uboot_a:0:524287:0\nuboot_b:589824:1114111:0\n"), std::string::npos) << conf;
}

// The built-in board has the partitions the engine expects and stays under 512 MiB.
TEST(Layout, DefaultBoardIsCompleteAndSmall) {
  const auto l = ota::board::default_layout();
  for (const char* name :
       {"misc", "veeprom", "flashcmd", "boot_a", "system_b", "vbmeta_a", "app_param_b",
        "HSM_FW_bak", "HSM_RCA", "keyimage_bak", "SBL", "uboot_a", "uboot_b"}) {
    EXPECT_NE(l.find(name), nullptr) << name;
  }
  EXPECT_EQ(l.emmc.back().name, "userdata");
  EXPECT_EQ(l.backup_pairs().size(), 4U);
  EXPECT_LT(l.emmc_size + l.nor_size, 512ULL << 20);
}

}  // namespace
