// Recovery packages for the worker scenarios: a package made by ota_pack turned into the
// form the recovery rewrite reads (gpt.conf in 512-byte sectors, the disk's partition
// tables added as gpt_main and gpt_backup), optionally edited on the way.
#pragma once

#include <cjson/cJSON.h>

#include <string>

#include "recovery_tables.h"
#include "worker_run.h"

namespace recovery_package {

inline constexpr uint64_t kSector = ota_road::kTableSector;
using ota_road::kBackupTableLen;
using ota_road::kMainTableLen;

// The recovery form of the ota_pack package pkg, written to out (".tar": zstd images),
// with the partition tables given, and edited after that.
inline void make(const std::string& pkg, const std::string& out,
                 const std::pair<std::string, std::string>& tables,
                 const worker_run::Repack& edit = nullptr) {
  worker_run::repack(pkg, out, [&](cJSON* root, std::string* conf, const std::string& dir) {
    *conf = ota_road::gpt_conf_in_sectors(*conf);
    ota_road::add_table_member(root, dir, "gpt_main", tables.first);
    ota_road::add_table_member(root, dir, "gpt_backup", tables.second);
    if (edit) {
      edit(root, conf, dir);
    }
  });
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
