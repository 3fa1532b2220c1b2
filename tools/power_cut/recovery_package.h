// The recovery form of a package made by the packager: what the recovery-mode rewrite
// reads. Its gpt.conf counts 512-byte sectors, and the disk's partition tables ride
// along as gpt_main and gpt_backup, so that the rewrite restores them too.
#pragma once

#include <string>

#include "recovery_tables.h"

namespace ota_road {

// Makes out from the plain package, unpacked into the empty folder staging, with the
// tables (as the disk holds them: the first kMainTableLen and the last kBackupTableLen
// bytes of its image) added.
void make_recovery_package(const std::string& plain, const std::string& out,
                           const std::string& staging, const std::string& main_table,
                           const std::string& backup_table);

}  // namespace ota_road
