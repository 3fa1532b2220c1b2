// What a package may write and how its writes are proven, with the real worker on a
// virtual board: packages whose manifest names a target the board does not have or may
// not be written, and packages whose proofs cannot cover what they write, are refused
// naming the culprit; a refusal of the pre-flight check leaves the board as it was (no
// record, no partition, nothing under /dev), one found at a partition's write leaves that
// partition as it was. A security partition whose write is not proven keeps its backup
// out of every main-to-backup copy until the backup has been copied back over it.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "backup_sync.h"
#include "board_records.h"
#include "recovery_package.h"
#include "road_record.h"
#include "veeprom_flag.h"
#include "worker_run.h"

namespace {

using namespace worker_run;
using board_io::reboot;

constexpr const char* kNothing = "d41d8cd98f00b204e9800998ecf8427e";  // MD5 of no bytes

// The names below /dev, recursively.
void list_dev(const std::string& dir, std::set<std::string>* out) {
  DIR* d = ::opendir(dir.c_str());
  for (const dirent* e = d != nullptr ? ::readdir(d) : nullptr; e != nullptr; e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    out->insert(dir + "/" + name);
    if (e->d_type == DT_DIR) {
      list_dev(dir + "/" + name, out);
    }
  }
  if (d != nullptr) {
    ::closedir(d);
  }
}

// Hex MD5 of bytes, by the system's md5sum.
std::string md5_of(const std::string& bytes) {
  ota_test::TempDir dir;
  ota_test::write_file(dir.file("bytes"), bytes);
  return ota_test::md5sum_of(dir.file("bytes"));
}

// What a refusal must leave as it was.
struct Snapshot {
  std::vector<uint8_t> misc, veeprom, flashcmd, nor, tables;
  std::vector<std::vector<uint8_t>> heads;  // the first 64 KiB of every eMMC partition
  std::set<std::string> dev;

  static Snapshot take() {
    Snapshot s;
    const auto l = board_io::layout();
    const auto whole = [&](const char* name) {
      return board_io::read_dev(kByName + name, 0, l.find(name)->size);
    };
    s.misc = whole("misc");
    s.veeprom = whole("veeprom");
    s.flashcmd = whole("flashcmd");
    s.nor = board_io::read_dev("/dev/mtd0", 0, l.nor_size);
    s.tables = board_io::read_dev(kByName + "blk", 0, recovery_package::kMainTableLen);
    for (const auto& p : l.emmc) {
      if (!p.ext4 && ::access((kByName + p.name).c_str(), F_OK) == 0) {
        s.heads.push_back(board_io::read_dev(kByName + p.name, 0, 65536));
      }
    }
    list_dev("/dev", &s.dev);
    return s;
  }
  bool operator==(const Snapshot&) const = default;
};

// Manifest edits.
cJSON* entry(cJSON* root, const char* name) {
  return cJSON_GetObjectItem(cJSON_GetObjectItem(root, "partition_info"), name);
}

void set_text(cJSON* root, const char* name, const char* key, const char* value) {
  cJSON_ReplaceItemInObject(entry(root, name), key, cJSON_CreateString(value));
}

void set_item(cJSON* root, const char* name, const char* key, cJSON* value) {
  cJSON_ReplaceItemInObject(entry(root, name), key, value);
}

// Renames entry `from` to `to` (its image member too, as "<to>.img").
void rename_entry(cJSON* root, const std::string& staging, const char* from, const char* to) {
  cJSON* names = cJSON_GetObjectItem(root, "update_partition");
  for (int i = 0; i < cJSON_GetArraySize(names); ++i) {
    if (std::string(cJSON_GetArrayItem(names, i)->valuestring) == from) {
      cJSON_ReplaceItemInArray(names, i, cJSON_CreateString(to));
    }
  }
  cJSON* part = cJSON_DetachItemFromObject(cJSON_GetObjectItem(root, "partition_info"), from);
  const std::string old_img = cJSON_GetObjectItem(part, "imgname")->valuestring;
  const std::string new_img = std::string(to) + ".img";
  cJSON_ReplaceItemInObject(part, "imgname", cJSON_CreateString(new_img.c_str()));
  cJSON_AddItemToObject(cJSON_GetObjectItem(root, "partition_info"), to, part);
  ASSERT_EQ(::rename((staging + "/" + old_img).c_str(), (staging + "/" + new_img).c_str()), 0);
}

// Entry `from` renamed to `to` and declared PERMANENT.
void as_permanent(cJSON* root, const std::string& staging, const char* from, const char* to) {
  rename_entry(root, staging, from, to);
  set_text(root, to, "part_type", "PERMANENT");
}

// scope and digest 0 of an entry.
void set_proof(cJSON* root, const char* name, cJSON* scope, const char* md5) {
  cJSON* scopes = cJSON_CreateArray();
  cJSON_AddItemToArray(scopes, scope);
  set_item(root, name, "md5_scope", scopes);
  cJSON* sums = cJSON_CreateArray();
  cJSON_AddItemToArray(sums, cJSON_CreateString(md5));
  set_item(root, name, "md5sum", sums);
}

struct Case {
  const char* what;
  Edit edit;
  const char* says;  // in the worker's log
};

class WriteRefusals : public OnBoard {
 protected:
  void SetUp() override {
    OnBoard::SetUp();
    ASSERT_EQ(ota_set_veeprom_flag_default(), 0);
    ota_test::write_file(dir_.file("boot.img"), ota_test::make_image_bytes(150000, 1));
    ota_test::write_file(dir_.file("hsm.img"), ota_test::make_image_bytes(30000, 2));
    ota_test::write_file(dir_.file("uboot.img"), ota_test::make_image_bytes(40000, 3));
    pack(
        "key backup_dir /userdata/bak\npart boot boot.img\npart HSM_FW hsm.img\npart uboot "
        "uboot.img\n",
        dir_.path(), plain());
  }
  std::string plain() const { return dir_.file("plain.zip"); }
  // Runs the worker on the edited package; it must fail and say `says`.
  void expect_refused(const Case& c, const std::string& base = "") {
    const std::string pkg =
        edited_package(base.empty() ? plain() : base, "/userdata/all_in_one_case.zip", c.edit);
    const Outcome out = run_worker(pkg);
    const std::string log = worker_log();
    EXPECT_NE(out.exit_status, 0) << c.what << "\n" << log;
    EXPECT_NE(log.find(c.says), std::string::npos) << c.what << "\n" << log;
  }
};

// Targets the board does not have, or may not be written by a package, refused by the
// pre-flight check: nothing is written and nothing appears under /dev. (Every row of the
// rule: tests/board; here, that the worker applies it with each entry's name, type and
// medium.)
TEST_F(WriteRefusals, TargetsOfTheNormalRoad) {
  const std::vector<Case> cases = {
      {"an A/B partition the board does not have",
       [](cJSON* r, const std::string& s) { rename_entry(r, s, "boot", "extra"); },
       "partition extra (AB on emmc) refused: declared AB, but the board has no extra_a and "
       "extra_b"},
      {"an A/B partition declared PERMANENT",
       [](cJSON* r, const std::string&) { set_text(r, "boot", "part_type", "PERMANENT"); },
       "the board has boot_a and boot_b: an A/B pair, declare it AB"},
      {"misc", [](cJSON* r, const std::string& s) { as_permanent(r, s, "HSM_FW", "misc"); },
       "partition misc (PERMANENT on emmc) refused: a record of the engine"},
      {"no partition to write, the tables alone",
       [](cJSON* r, const std::string& s) {
         cJSON_ReplaceItemInObject(r, "update_partition", cJSON_CreateArray());
         cJSON_ReplaceItemInObject(r, "partition_info", cJSON_CreateObject());
         ota_road::add_table_member(r, s, "gpt_main", std::string(34 * 512, 'M'));
         ota_road::add_table_member(r, s, "gpt_backup", std::string(33 * 512, 'B'));
       },
       "package /userdata/all_in_one_case.zip has no partition to write"},
      {"a partition on the wrong medium",
       [](cJSON* r, const std::string&) { set_text(r, "uboot", "medium", "emmc"); },
       "partition uboot (AB on emmc) refused: partition uboot_a is on nor, not emmc"},
  };
  const Snapshot before = Snapshot::take();
  for (const Case& c : cases) {
    expect_refused(c);
    EXPECT_TRUE(Snapshot::take() == before) << c.what << ": the board changed";
  }
  // A partition of the board whose by-name node is missing: no file takes its place.
  const std::string node = kByName + "boot_b";
  char link[256] = {};
  ASSERT_GT(::readlink(node.c_str(), link, sizeof(link) - 1), 0);
  ASSERT_EQ(::unlink(node.c_str()), 0);
  const Snapshot without = Snapshot::take();
  expect_refused({"a missing device node", [](cJSON*, const std::string&) {},
                  "/dev/block/platform/by-name/boot_b is not a device of the board"});
  EXPECT_TRUE(Snapshot::take() == without) << "the board changed";
  EXPECT_NE(::access(node.c_str(), F_OK), 0);
  ASSERT_EQ(::symlink(link, node.c_str()), 0);
}

// Proofs that cannot cover what is written: refused before the first write when the
// manifest shows it (the board unchanged), else before the partition's first byte (the
// partition unchanged).
TEST_F(WriteRefusals, ProofsThatDoNotCoverTheWrite) {
  const std::string boot = ota_test::read_file(dir_.file("boot.img"));
  const std::string uboot = ota_test::read_file(dir_.file("uboot.img"));
  const std::string boot_head = md5_of(boot.substr(0, 4096));
  const std::string uboot_head = md5_of(uboot.substr(0, 1000));
  const std::vector<Case> before_any_write = {
      {"a scope of 0 with the digest of nothing",
       [](cJSON* r, const std::string&) { set_proof(r, "boot", cJSON_CreateNumber(0), kNothing); },
       "partition boot: md5_scope 0 is 0 or not a number: it would prove nothing"},
      {"a scope that is not a number",
       [](cJSON* r, const std::string&) {
         set_proof(r, "HSM_FW", cJSON_CreateString("all"), kNothing);
       },
       "partition HSM_FW: md5_scope 0 is 0 or not a number"},
      {"a digest that is not one",
       [](cJSON* r, const std::string&) {
         cJSON* sums = cJSON_CreateArray();
         cJSON_AddItemToArray(sums, cJSON_CreateString("0123456789abcdef0123456789abcdeg"));
         set_item(r, "uboot", "md5sum", sums);
       },
       "partition uboot: md5sum 0 \"0123456789abcdef0123456789abcdeg\" is not a digest"},
  };
  const Snapshot before = Snapshot::take();
  for (const Case& c : before_any_write) {
    expect_refused(c);
    EXPECT_TRUE(Snapshot::take() == before) << c.what << ": the board changed";
  }
  const std::vector<Case> at_the_write = {
      {"an eMMC scope that proves a prefix",
       [&](cJSON* r, const std::string&) {
         set_proof(r, "boot", cJSON_CreateNumber(4096), boot_head.c_str());
       },
       "partition boot: image boot.img not written whole within 4096 bytes"},
      {"a NOR scope that proves a prefix",
       [&](cJSON* r, const std::string&) {
         set_proof(r, "uboot", cJSON_CreateNumber(1000), uboot_head.c_str());
       },
       "partition uboot: the image covers 40000 bytes, its md5_scope 1000"},
  };
  // Each culprit's partition is unchanged (partitions before it in the manifest are written).
  const std::vector<std::string> culprits = {"boot_b", "uboot_b"};
  for (size_t i = 0; i < at_the_write.size(); ++i) {
    const std::string before_write = whole(culprits[i]);
    expect_refused(at_the_write[i]);
    EXPECT_EQ(whole(culprits[i]), before_write) << at_the_write[i].what;
  }
}

// Both digests and scopes of an entry, for an incremental image.
void set_proofs(cJSON* root, const char* name, uint64_t old_scope, const std::string& old_md5,
                uint64_t new_scope, const std::string& new_md5) {
  cJSON* scopes = cJSON_CreateArray();
  cJSON_AddItemToArray(scopes, cJSON_CreateNumber(static_cast<double>(old_scope)));
  cJSON_AddItemToArray(scopes, cJSON_CreateNumber(static_cast<double>(new_scope)));
  set_item(root, name, "md5_scope", scopes);
  cJSON* sums = cJSON_CreateArray();
  cJSON_AddItemToArray(sums, cJSON_CreateString(old_md5.c_str()));
  cJSON_AddItemToArray(sums, cJSON_CreateString(new_md5.c_str()));
  set_item(root, name, "md5sum", sums);
}

// A patch reads the running slot and writes the slot being updated: it is refused before
// it runs when it would read more of the source than the source's proof covers, or write
// more of the target than the target's proof covers.
TEST_F(WriteRefusals, PatchesTheirProofsDoNotCover) {
  const std::string old_img = ota_test::make_image_bytes(300000, 11);
  std::string new_img = old_img;
  new_img.replace(1000, 5000, std::string(5000, 'x'));
  ota_test::write_file(dir_.file("old.img"), old_img);
  ota_test::write_file(dir_.file("new.img"), new_img);
  board_io::write_dev(kByName + "system_a", 0,
                      std::vector<uint8_t>(old_img.begin(), old_img.end()));
  pack("part system new.img method=image_diff old=old.img\n", dir_.path(), dir_.file("diff.zip"));
  const std::string old_md5 = ota_test::md5sum_of(dir_.file("old.img"));
  const std::string new_md5 = ota_test::md5sum_of(dir_.file("new.img"));
  const std::string old_head = md5_of(old_img.substr(0, 4096));
  const std::string new_head = md5_of(new_img.substr(0, 4096));
  const std::vector<Case> cases = {
      {"a source proof shorter than what the patch reads",
       [&](cJSON* r, const std::string&) {
         set_proofs(r, "system", 4096, old_head, new_img.size(), new_md5);
       },
       "partition system: the patch reads 300000 bytes of the running slot, its md5_scope 0 "
       "proves 4096"},
      {"a target proof shorter than what the patch writes",
       [&](cJSON* r, const std::string&) {
         set_proofs(r, "system", old_img.size(), old_md5, 4096, new_head);
       },
       "partition system: the patched image covers 300000 bytes, its md5_scope 4096"},
  };
  const std::string before = whole("system_b");
  for (const Case& c : cases) {
    expect_refused(c, dir_.file("diff.zip"));
    EXPECT_EQ(whole("system_b"), before) << c.what;
  }
}

// A security partition's main copy whose write fails its proof stays marked unproven: a
// main-to-backup copy keeps its backup, until the backup is copied back over the main;
// from then on the copies run again.
TEST_F(WriteRefusals, UnprovenMainKeepsItsBackup) {
  const std::string backup_before = whole("HSM_FW_bak");
  const std::string pkg =
      edited_package(plain(), "/userdata/all_in_one_bad.zip", [](cJSON* r, const std::string&) {
        set_proof(r, "HSM_FW", cJSON_CreateNumber(30000), "00112233445566778899aabbccddeeff");
      });
  const Outcome out = run_worker(pkg);
  const std::string log = worker_log();
  ASSERT_NE(out.exit_status, 0) << log;
  EXPECT_NE(log.find("partition:HSM_FW after burn"), std::string::npos) << log;
  ota_road_record_t road{};
  ASSERT_EQ(ota_road_read(&road), 0);
  EXPECT_EQ(road.unproven_mains, 1u << ota_backup_pair_of_main("HSM_FW"));

  ASSERT_EQ(ota_sync_back_part("hsm_m2b_cmd"), 0);
  EXPECT_EQ(whole("HSM_FW_bak"), backup_before);
  EXPECT_NE(whole("HSM_FW"), backup_before);

  ASSERT_EQ(ota_sync_back_part("hsm_b2m_cmd"), 0);
  ASSERT_EQ(ota_road_read(&road), 0);
  EXPECT_EQ(road.unproven_mains, 0u);
  const std::string fresh(30000, 'n');
  board_io::write_dev(kByName + "HSM_FW", 0, std::vector<uint8_t>(fresh.begin(), fresh.end()));
  ASSERT_EQ(ota_sync_back_part("hsm_m2b_cmd"), 0);
  EXPECT_TRUE(device_head("HSM_FW_bak", fresh.size()) == fresh);
}

// The gpt.conf line of `name` replaced by `line` ("" drops it); a new line is added when
// there is none.
void set_conf_line(std::string* conf, const std::string& name, const std::string& line) {
  std::string out;
  bool replaced = false;
  size_t pos = 0;
  while (pos < conf->size()) {
    const size_t nl = conf->find('\n', pos);
    const std::string cur = conf->substr(pos, nl - pos);
    pos = nl == std::string::npos ? conf->size() : nl + 1;
    if (cur.substr(0, cur.find(':')) == name) {
      out += line.empty() ? "" : line + "\n";
      replaced = true;
    } else if (!cur.empty()) {
      out += cur + "\n";
    }
  }
  *conf = replaced ? out : out + line + "\n";
}

// A gpt.conf line in sectors for a byte range.
std::string sectors_line(const std::string& name, uint64_t start, uint64_t len, int medium) {
  constexpr uint64_t kSector = recovery_package::kSector;
  return name + ":" + std::to_string(start / kSector) + ":" +
         std::to_string((start + len) / kSector - 1) + ":" + std::to_string(medium);
}

struct RecoveryCase {
  std::string what;
  Repack edit;
  std::string says;
};

// In recovery the raw devices are the targets: an entry whose line is not the board's
// partition of that name (or a gpt.conf in bytes, which places them beyond the disk), one
// that names a record or the user data, a partition the board does not have, a declared
// type the names contradict, or partition tables of another layout are refused before
// anything is written.
TEST_F(WriteRefusals, TargetsOfTheRecoveryRoad) {
  const auto l = board_io::layout();
  const auto* boot_a = l.find("boot_a");
  const auto* userdata = l.find("userdata");
  const auto* bl31_a = l.find("bl31_a");
  const auto* uboot_a = l.find("uboot_a");
  std::vector<RecoveryCase> cases = {
      {"a line that moves boot_a",
       [&](cJSON*, std::string* conf, const std::string&) {
         set_conf_line(conf, "boot_a", sectors_line("boot_a", boot_a->offset + 4096, 65536, 1));
       },
       "gpt.conf places boot_a at"},
      {"a NOR line on another partition's place",
       [&](cJSON*, std::string* conf, const std::string&) {
         set_conf_line(conf, "uboot_a", sectors_line("uboot_a", bl31_a->offset, uboot_a->size, 0));
       },
       "gpt.conf places uboot_a at"},
      {"a gpt.conf in bytes read as sectors",
       [](cJSON*, std::string* conf, const std::string& d) {
         *conf = ota_test::read_file(d + "/gpt.conf");
       },
       "gpt.conf places veeprom at 1073741824"},
      {"a partition the board does not have, placed in userdata",
       [&](cJSON* r, std::string* conf, const std::string& d) {
         as_permanent(r, d, "HSM_FW", "extra");
         set_conf_line(conf, "extra", sectors_line("extra", userdata->offset, 1048576, 1));
       },
       "partition extra refused: the board has no partition extra"},
      {"a main copy declared PERMANENT",
       [](cJSON* r, std::string*, const std::string&) {
         set_text(r, "HSM_FW", "part_type", "PERMANENT");
       },
       "the board has HSM_FW_bak: a main/backup pair, declare it BAK"},
      {"partition tables of another layout",
       [](cJSON*, std::string*, const std::string& d) {
         std::string table = ota_test::read_file(d + "/gpt_main.img");
         table[2 * 512 + 3 * 128 + 40] ^= 1;  // end_lba of entry 3
         ota_test::write_file(d + "/gpt_main.img", table);
       },
       "gpt_main.img: entry 3 differs from the board's: refused"},
  };
  cases.push_back({"userdata",
                   [](cJSON* r, std::string*, const std::string& d) {
                     as_permanent(r, d, "HSM_FW", "userdata");
                   },
                   "partition userdata refused: a record of the engine"});
  const auto tables = recovery_package::disk_tables();
  ASSERT_EQ(reboot(/*recovery=*/true), 0);
  const Snapshot before = Snapshot::take();
  for (size_t i = 0; i < cases.size(); ++i) {
    const RecoveryCase& c = cases[i];
    const std::string pkg = "/userdata/all_in_one_rec" + std::to_string(i) + ".zip";
    recovery_package::make(plain(), pkg, tables, c.edit);
    const Outcome out = run_worker(pkg);
    const std::string log = worker_log();
    EXPECT_NE(out.exit_status, 0) << c.what << "\n" << log;
    EXPECT_NE(log.find(c.says), std::string::npos) << c.what << "\n" << log;
    EXPECT_TRUE(Snapshot::take() == before) << c.what << ": the board changed";
  }
  // The same package unedited, as a tar of zstd images, is the board's own: it is written.
  recovery_package::make(plain(), "/userdata/all_in_one_rec.tar", tables);
  EXPECT_EQ(run_worker("/userdata/all_in_one_rec.tar").exit_status, 0) << worker_log();
  EXPECT_EQ(device_head("boot_a", 150000), ota_test::read_file(dir_.file("boot.img")));
}

// The records are written only into the board's own devices: with the veeprom node gone,
// a record write fails and no file takes the node's place.
TEST_F(WriteRefusals, RecordsNeverCreateADeviceNode) {
  const std::string node = kByName + "veeprom";
  char link[256] = {};
  ASSERT_GT(::readlink(node.c_str(), link, sizeof(link) - 1), 0);
  ASSERT_EQ(::unlink(node.c_str()), 0);
  EXPECT_NE(ota_set_veeprom_flag_default(), 0);  // writes without reading first
  EXPECT_NE(::access(node.c_str(), F_OK), 0);
  ASSERT_EQ(::symlink(link, node.c_str()), 0);
  ota_update_flag_e up = OTA_FLAG_BURN;
  ASSERT_EQ(ota_get_up_status(&up), 0);
  EXPECT_EQ(up, OTA_FLAG_NORMAL);
}

}  // namespace
