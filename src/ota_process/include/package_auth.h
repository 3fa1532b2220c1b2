// The run's packages, opened once and checked before anything is written or any hook
// runs. Each is opened without following a link and must be a regular file of root that
// no one else may write; from then on every read of it goes through that descriptor, so
// renaming another file over its name changes nothing the run reads. When the keyring
// folder exists, every package must also be signed by one of its keys, match its signed
// list member by member, and be no older than the installed system (unless the folder
// allows downgrades). Without the folder, signatures are not checked and one warning says
// so.
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

// One package as the run holds it: its name (the path it was given as, for messages) and
// the descriptor it was opened through.
struct ota_open_package_t {
  std::string name;
  int fd;
};

// 0 when every package may be written; -OTAERR_VERIFY (logged, naming the package and
// the reason) otherwise.
[[nodiscard]] int32_t ota_check_packages_signed(const std::vector<ota_open_package_t>& packages,
                                                const ota_auth_paths_t& paths);

// Opens each package of this run (once: a second call keeps what is open) and keeps its
// descriptor for the rest of the process. 0, or -OTAERR_VERIFY naming the package and
// why it was refused.
[[nodiscard]] int32_t ota_open_run_packages();

// ota_open_run_packages, then ota_check_packages_signed over what it opened, on the
// board's own paths.
[[nodiscard]] int32_t ota_check_run_packages();

// The path every reader of the package of that kind takes ("/proc/self/fd/N", the file
// that was opened and checked); "" when it was not opened.
[[nodiscard]] std::string ota_package_read_path(int kind);

// For messages: the path a package was given as, when path is the read path of one;
// else path itself.
[[nodiscard]] const char* ota_package_name(const char* path);
