#include "write_targets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A board of every kind of partition the rule tells apart.
std::vector<ota_board_part_t> board() {
  std::vector<ota_board_part_t> parts;
  uint64_t at = 0;
  const auto add = [&](const char* name, ota_medium_e medium) {
    parts.push_back({name, medium, at, 65536});
    at += 65536;
  };
  for (const char* name : {"misc", "veeprom", "flashcmd", "boot_a", "boot_b", "HSM_FW",
                           "HSM_FW_bak", "cfg", "userdata"}) {
    add(name, OTA_EMMC);
  }
  at = 0;
  for (const char* name : {"uboot_a", "uboot_b", "nor_env"}) {
    add(name, OTA_NOR);
  }
  return parts;
}

struct Case {
  const char* name;
  ota_part_type_e type;
  ota_medium_e medium;
  int32_t slot;
  const char* target;  // "" when refused
  const char* why;     // part of the reason when refused
};

// Each kind of entry reaches exactly the partition the names show, in the slot being
// written, and every other entry is refused with its reason.
TEST(WriteTarget, WhatEachEntryMayWrite) {
  const Case cases[] = {
      {"boot", AB, OTA_EMMC, 1, "boot_b", ""},
      {"boot", AB, OTA_EMMC, 0, "boot_a", ""},
      {"uboot", AB, OTA_NOR, 1, "uboot_b", ""},
      {"HSM_FW", BAK, OTA_EMMC, 1, "HSM_FW", ""},
      {"cfg", PERMANENT, OTA_EMMC, 1, "cfg", ""},
      {"cfg", GOLDEN, OTA_EMMC, 0, "cfg", ""},
      {"nor_env", PERMANENT, OTA_NOR, 1, "nor_env", ""},
      {"extra", AB, OTA_EMMC, 1, "", "board has no extra_a and extra_b"},
      {"boot", PERMANENT, OTA_EMMC, 1, "", "an A/B pair, declare it AB"},
      {"boot", BAK, OTA_EMMC, 1, "", "board has no boot and boot_bak"},
      {"boot_a", PERMANENT, OTA_EMMC, 1, "", "a half of the A/B pair boot"},
      {"boot_b", AB, OTA_EMMC, 1, "", "no boot_b_a and boot_b_b"},
      {"HSM_FW", PERMANENT, OTA_EMMC, 1, "", "a main/backup pair, declare it BAK"},
      {"HSM_FW", AB, OTA_EMMC, 1, "", "no HSM_FW_a and HSM_FW_b"},
      {"HSM_FW_bak", PERMANENT, OTA_EMMC, 1, "", "the backup of HSM_FW"},
      {"cfg", AB, OTA_EMMC, 1, "", "no cfg_a and cfg_b"},
      {"boot", AB, OTA_NOR, 1, "", "boot_a is on emmc, not nor"},
      {"nor_env", PERMANENT, OTA_EMMC, 1, "", "nor_env is on nor, not emmc"},
      {"absent", PERMANENT, OTA_EMMC, 1, "", "the board has no partition absent"},
      {"boot", AB, OTA_EMMC, 2, "", "no slot to write"},
      {"../boot", PERMANENT, OTA_EMMC, 1, "", "not a partition name"},
      {"", PERMANENT, OTA_EMMC, 1, "", "not a partition name"},
  };
  const auto parts = board();
  for (const Case& c : cases) {
    std::string why;
    const std::string target = ota_write_target(parts, c.name, c.type, c.medium, c.slot, &why);
    EXPECT_EQ(target, c.target) << c.name << " type " << c.type << " slot " << c.slot;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
    EXPECT_EQ(why.empty(), !target.empty()) << c.name;
  }
}

// The records of the engine and the firmware, the user data and the whole disk are never
// a target, whatever type an entry declares and even on a board that pairs them.
TEST(WriteTarget, RecordsUserDataAndDiskNeverTargets) {
  auto parts = board();
  parts.push_back({"misc_bak", OTA_EMMC, 1 << 24, 65536});
  parts.push_back({"blk", OTA_EMMC, 0, 1 << 30});
  for (const char* name : {"misc", "veeprom", "flashcmd", "userdata", "blk"}) {
    EXPECT_TRUE(ota_is_reserved_part(name)) << name;
    for (const ota_part_type_e type : {GOLDEN, AB, BAK, PERMANENT}) {
      std::string why;
      EXPECT_EQ(ota_write_target(parts, name, type, OTA_EMMC, 1, &why), "") << name;
      EXPECT_NE(why.find("a record of the engine or the firmware"), std::string::npos) << why;
    }
  }
  EXPECT_FALSE(ota_is_reserved_part("boot"));
  EXPECT_FALSE(ota_is_reserved_part("miscellaneous"));
}

}  // namespace
