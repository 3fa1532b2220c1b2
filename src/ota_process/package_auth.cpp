// The run's packages on the board: each opened once and checked (its owner and mode,
// and its signature where the board has a keyring) before the run touches the board, so
// a refused package leaves the slots and the records as they were, and every later read
// sees the file that was checked.
#include "package_auth.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "mirvo_ota_hl.h"
#include "ota_log.h"
#include "package_fds.h"
#include "package_paths.h"
#include "package_verify.h"
#include "private_dir.h"
#include "unique_fd.h"

namespace {

constexpr size_t kMaxVersionFile = 256;

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The first line of the installed version file; empty when there is none.
std::string installed_version(const char* path) {
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  char buf[kMaxVersionFile] = {};
  const ssize_t n = fd ? ota::read_full(fd.get(), buf, sizeof(buf) - 1) : -1;
  if (n <= 0) {
    return {};
  }
  std::string text(buf, static_cast<size_t>(n));
  text = text.substr(0, text.find_first_of("\r\n"));
  return text;
}

// A package older than the installed system passes only where the board allows it.
int32_t check_version(const char* package, const std::string& version,
                      const ota_auth_paths_t& paths) {
  const std::string installed = installed_version(paths.installed_file);
  if (installed.empty()) {
    OTA_LOG_WARN("no installed version in %s: downgrades of %s are not checked\n",
                 paths.installed_file, package);
    return 0;
  }
  if (ota::sign::compare_versions(version, installed) >= 0) {
    return 0;
  }
  const std::string allow = std::string(paths.keyring_dir) + "/" + ota::sign::kAllowDowngradeFile;
  if (path_exists(allow)) {
    OTA_LOG_WARN("package %s (sys_version %s) is older than the installed %s: allowed by %s\n",
                 package, version.c_str(), installed.c_str(), allow.c_str());
    return 0;
  }
  OTA_LOG_ERR(
      "package %s refused: its sys_version %s is older than the installed %s "
      "(downgrades need %s)\n",
      package, version.c_str(), installed.c_str(), allow.c_str());
  return -OTAERR_VERIFY;
}

int32_t check_one(const ota_open_package_t& package, const ota::sign::Keyring& keyring,
                  const ota_auth_paths_t& paths) {
  const char* name = package.name.c_str();
  ota::sign::Verified verified;
  std::string why;
  if (!ota::sign::verify_package(package.fd, keyring, "", &verified, &why)) {
    OTA_LOG_ERR("package %s refused: %s\n", name, why.c_str());
    return -OTAERR_VERIFY;
  }
  OTA_LOG_INFO("package %s: signature and members verified, sys_version %s\n", name,
               verified.sys_version.c_str());
  return check_version(name, verified.sys_version, paths);
}

}  // namespace

int32_t ota_check_packages_signed(const std::vector<ota_open_package_t>& packages,
                                  const ota_auth_paths_t& paths) {
  if (!path_exists(paths.keyring_dir)) {
    OTA_LOG_WARN("no keyring %s: package signatures are not checked\n", paths.keyring_dir);
    return 0;
  }
  ota::sign::Keyring keyring;
  std::string why;
  if (!keyring.load(paths.keyring_dir, &why)) {
    OTA_LOG_ERR("%s: every package is refused\n", why.c_str());
    return -OTAERR_VERIFY;
  }
  for (const ota_open_package_t& package : packages) {
    const int32_t ret = check_one(package, keyring, paths);
    if (ret != 0) {
      return ret;
    }
  }
  return 0;
}

int32_t ota_open_run_packages() {
  const ota_packages_separate* pkgs = ota_get_packages();
  for (int kind = 0; kind < PKG_SEPARATE_NUM; ++kind) {
    if (pkgs[kind].zip_path[0] == '\0' || g_package_fds[kind]) {
      continue;
    }
    // Anyone who may write the package, or its name, could change it between the checks
    // and the hooks run as root: only root's own file is taken, and only this once.
    std::string why;
    ota::UniqueFd fd = ota::open_root_file(pkgs[kind].zip_path, &why);
    if (!fd) {
      OTA_LOG_ERR("package %s refused: %s\n", pkgs[kind].zip_path, why.c_str());
      return -OTAERR_VERIFY;
    }
    OTA_LOG_INFO("package %s opened, read as %s\n", pkgs[kind].zip_path,
                 ota::descriptor_path(fd.get()).c_str());
    g_package_fds[kind] = std::move(fd);
  }
  return 0;
}

int32_t ota_check_run_packages() {
  const int32_t opened = ota_open_run_packages();
  if (opened != 0) {
    return opened;
  }
  std::vector<ota_open_package_t> packages;
  const ota_packages_separate* pkgs = ota_get_packages();
  for (int kind = 0; kind < PKG_SEPARATE_NUM; ++kind) {
    if (g_package_fds[kind]) {
      packages.push_back({pkgs[kind].zip_path, g_package_fds[kind].get()});
    }
  }
  return ota_check_packages_signed(packages, {ota::sign::kKeyringDir, OTA_INSTALLED_VERSION_FILE});
}

std::string ota_package_read_path(int kind) {
  if (kind < 0 || kind >= PKG_SEPARATE_NUM || !g_package_fds[kind]) {
    return {};
  }
  return ota::descriptor_path(g_package_fds[kind].get());
}

const char* ota_package_name(const char* path) {
  if (path == nullptr) {
    return "(null)";
  }
  const ota_packages_separate* pkgs = ota_get_packages();
  for (int kind = 0; kind < PKG_SEPARATE_NUM; ++kind) {
    if (g_package_fds[kind] && ota_package_read_path(kind) == path) {
      return pkgs[kind].zip_path;
    }
  }
  return path;
}
