// The run's packages checked against the board's keyring before anything is written or
// any hook runs: when the keyring folder exists, every package must be signed by one of
// its keys, match its signed list member by member, and be no older than the installed
// system (unless the folder allows downgrades). Without the folder, nothing is checked
// and one warning says so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The installed system's version: the first line of this file of the running system.
inline constexpr const char* OTA_INSTALLED_VERSION_FILE = "/etc/mirvo/sys_version";

struct ota_auth_paths_t {
  const char* keyring_dir;     // the board's: ota::sign::kKeyringDir
  const char* installed_file;  // the board's: OTA_INSTALLED_VERSION_FILE
};

// 0 when every package may be written; -OTAERR_VERIFY (logged, naming the package and
// the reason) otherwise.
[[nodiscard]] int32_t ota_check_packages_signed(const std::vector<std::string>& packages,
                                                const ota_auth_paths_t& paths);

// ota_check_packages_signed for the packages of this run, on the board's own paths.
[[nodiscard]] int32_t ota_check_run_packages_signed();
