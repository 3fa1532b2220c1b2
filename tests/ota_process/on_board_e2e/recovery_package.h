// Recovery packages for the worker scenarios: a package made by ota_pack turned into the
// form the recovery rewrite reads (gpt.conf in 512-byte sectors, the disk's partition
// tables added as gpt_main and gpt_backup), optionally edited on the way.
#pragma once

#include <cjson/cJSON.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "worker_run.h"

namespace recovery_package {

inline constexpr uint64_t kSector = 512;
inline constexpr uint64_t kMainTableLen = 34 * kSector;    // protective MBR, header, entries
inline constexpr uint64_t kBackupTableLen = 33 * kSector;  // entries, backup header

// gpt.conf with its byte offsets turned into sector numbers (the end is the last sector).
inline std::string in_sectors(const std::string& conf) {
  std::istringstream in(conf);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, ':');) {
      f.push_back(x);
    }
    out += f[0] + ":" + std::to_string(std::stoull(f[1]) / kSector) + ":" +
           std::to_string(std::stoull(f[2]) / kSector) + ":" + f[3] + "\n";
  }
  return out;
}

// Changes a test makes to the manifest, the sector gpt.conf and the members in dir before
// they are packed.
using Edit = std::function<void(cJSON* manifest, std::string* conf, const std::string& dir)>;

// The recovery form of the ota_pack package pkg, written to out (a ".tar" name makes a
// tar package with zstd images), unpacked and rebuilt in dir.
inline void make(const std::string& pkg, const std::string& out, const std::string& dir,
                 const std::string& main_table, const std::string& backup_table,
                 const Edit& edit = nullptr) {
  ASSERT_EQ(kx_uncompress(pkg.c_str(), dir.c_str()), 0);
  std::string conf = in_sectors(ota_test::read_file(dir + "/gpt.conf"));
  cJSON* root = cJSON_Parse(ota_test::read_file(dir + "/data.json").c_str());
  ASSERT_NE(root, nullptr);
  worker_run::add_table(root, dir, "gpt_main", main_table);
  worker_run::add_table(root, dir, "gpt_backup", backup_table);
  if (edit) {
    edit(root, &conf, dir);
  }
  ota_test::write_file(dir + "/gpt.conf", conf);
  char* text = cJSON_Print(root);
  ota_test::write_file(dir + "/data.json", text);
  cJSON_free(text);
  cJSON_Delete(root);
  const std::vector<std::string> members = worker_run::files_in(dir);
  if (out.ends_with(".tar")) {
    auto tar = ota::archive::TarWriter::create(out);
    ASSERT_TRUE(tar.ok()) << tar.error().message();
    for (const std::string& member : members) {
      const bool image = member.ends_with(".img");
      auto r = tar->add_file({.name = member + (image ? ".zst" : ""), .zstd = image},
                             dir + "/" + member);
      ASSERT_TRUE(r.ok()) << r.error().message();
    }
    ASSERT_TRUE(tar->finish().ok());
    return;
  }
  auto zip = ota::archive::ZipWriter::create(out);
  ASSERT_TRUE(zip.ok()) << zip.error().message();
  for (const std::string& member : members) {
    auto r = zip->add_file({.name = member}, dir + "/" + member);
    ASSERT_TRUE(r.ok()) << r.error().message();
  }
  auto r = zip->finish();
  ASSERT_TRUE(r.ok()) << r.error().message();
}

// The disk's partition tables as they lie on it now: main (MBR, header, entries) and
// backup (entries, header).
inline std::pair<std::string, std::string> disk_tables() {
  const std::string blk = worker_run::kByName + "blk";
  const auto main_table = board_io::read_dev(blk, 0, kMainTableLen);
  const uint64_t disk = board_io::layout().emmc_size;
  const auto backup_table = board_io::read_dev(blk, disk - kBackupTableLen, kBackupTableLen);
  return {std::string(main_table.begin(), main_table.end()),
          std::string(backup_table.begin(), backup_table.end())};
}

}  // namespace recovery_package
