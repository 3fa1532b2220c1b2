// Every piece of process-wide state the worker keeps, listed in one place, and the one
// reset that puts all of it back to how a freshly started worker process finds it.
//
// The worker's own state is defined in worker_state.cpp and declared below, each with the
// file that writes it. State held by the lower modules stays private to them (they are
// linked and tested without the worker); it is listed here and reset through their own
// functions, which ota_worker_reset_state calls:
//   g_update_info, g_total_size  manifest.cpp   ota_parse_config_file    manifest_reset_state
//   g_is_bd_secure               device_io.cpp  manifest parsing         device_io_reset_state
//   g_ota_owner                  veeprom_flag   the owner accessors      veeprom_flag_reset_state
//   g_lockfd                     file_lock.cpp  ota_lock / ota_unlock    ota_lock_reset_state
//   g_debug_level                ota_log.cpp    first log line (env)     ota_log_reset_state
// The large static buffers (g_mmc_buf, g_flash_buf, g_zip_buf, the
// slot copy's g_gpt_entries) carry nothing from one call
// to the next and are not state in this sense.
#pragma once

#include <cstdint>
#include <string>

#include "flash_cmd.h"
#include "package_paths.h"
#include "progress_record.h"
#include "veeprom_flag.h"

// What this run has put on record so far.
struct RunState {
  bool road_open = false;          // W1 and W2 done for `target`
  int32_t target = -1;             // the slot this run writes
  bool param_written = false;      // a parameter package set its flag BURN
  bool versions_recorded = false;  // a system package's checked versions are on record
};

// The versions the last check accepted, waiting for the run to record them once the road
// names the update they belong to.
struct CheckedVersions {
  bool valid = false;
  antirollback_ver_t versions{};
};

// progress.cpp: the record sent to the client, its pipe, and the burned-bytes percentage.
extern ota_upgrade_info g_upgrade_info;  // set_imgname, set_progress, set_result
extern int g_pipe_fd;                    // ota_set_pipe_fd (the worker's entry)
extern uint64_t g_len_written;           // progress_update
extern uint32_t g_cached_progress;       // progress_update: last percentage sent
// work_dirs.cpp: update_ota_partition_path, from the runtime configuration.
extern char g_ota_dir[OTA_DIR_LEN];
extern char g_ota_unzip_dir[OTA_UNZIP_DIR_LEN];
// package_kinds.cpp: ota_get_package_path; the orchestration sets the handlers.
extern ota_packages_separate g_ota_pkgs[PKG_SEPARATE_NUM];
// package_auth.cpp: g_package_fds, each package's descriptor (declared in the private
// package_fds.h: a UniqueFd of ota_base).
extern uint32_t g_ota_update_full_pkg;
// gpt_verify.cpp: verify_gpt_config builds the NOR sync table the slot sync later sends.
extern absync_misc_data g_ota_nor_sync_data;
extern std::string g_pending_pair;  // "_a" line waiting for its "_b" partner
// antirollback.cpp: the version check; upgrade.cpp records and clears them.
extern CheckedVersions g_checked_versions;
// upgrade.cpp: ota_start_upgrade and its handlers.
extern RunState g_run;
// recovery_update.cpp: the recovery rewrite.
extern ota_status_t g_ota_status;
// partition_sequence.cpp and param_partition.cpp append (get_update_part); upgrade.cpp
// clears it before the first handler and flushes what it names.
extern update_part_t g_update_part;

// Puts all of the above back to its initial value, the lower modules' state included:
// for tests, between cases.
void ota_worker_reset_state();
