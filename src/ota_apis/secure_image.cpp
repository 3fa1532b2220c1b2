// Secure images for the security module, and the update-status gate for clients.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "client_api.h"
#include "extract_path.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "private_dir.h"
#include "unique_fd.h"

namespace {
constexpr size_t ZIP_PATH_BUF = 512;
constexpr size_t PACKAGE_PATH_LEN = 128;
constexpr size_t HSM_IMG_MAX = 2097152;
constexpr size_t HSM_CERT_MAX = 1048576;

// Static: loading a secure image takes no heap memory.
uint8_t g_hsm_buffer[HSM_IMG_MAX];
uint8_t g_hsm_cert_buffer[HSM_CERT_MAX];
uint32_t g_hsm_img_size = 0;

constexpr const char* SECURE_IMG_DIR = "/tmp/ota";
// A secure image (or its certificate) larger than the security module's buffer could not
// be loaded whole: refused before it lands in RAM-backed /tmp.
constexpr uint64_t SECURE_IMG_MAX = HSM_IMG_MAX;

// One read of at most `cap` bytes into a zeroed buffer; the count read or -1.
ssize_t read_once(const char* path, uint8_t* buf, size_t cap) {
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    return -1;
  }
  std::memset(buf, 0, cap);
  return ota::read_full(fd.get(), buf, cap);
}

// The full package among the ";"-separated paths: the first whose file name holds "all",
// into package (left empty when none does). 0, or the refusal of a path.
int32_t find_full_package(const char* zip_path, char* package, size_t size) {
  char buf[ZIP_PATH_BUF];
  std::snprintf(buf, sizeof(buf), "%s", zip_path);
  char* save = nullptr;
  for (const char* piece = ::strtok_r(buf, ";", &save); piece != nullptr;
       piece = ::strtok_r(nullptr, ";", &save)) {
    if (piece[0] != '/') {
      OTA_LOG_ERR("Please use absolute path: %s\n", piece);
      return -OTAERR_NULLPOINTER;
    }
    if (::access(piece, F_OK) != 0) {
      OTA_LOG_ERR("cannot read file: %s\n", piece);
      return -1;
    }
    if (std::strstr(std::strrchr(piece, '/') + 1, "all") != nullptr) {
      std::snprintf(package, size, "%s", piece);
      break;
    }
  }
  return 0;
}

// The folder lies in world-writable /tmp: an image lands only in a directory of ours that
// nobody else can enter, never through a link planted under its name.
bool claim_secure_dir() {
  if (ota::claim_private_dir(SECURE_IMG_DIR) == 0) {
    return true;
  }
  OTA_LOG_ERR("secure image folder %s refused: %s\n", SECURE_IMG_DIR,
              errno == EPERM ? "a directory of another user" : std::strerror(errno));
  return false;
}

// Where member img lands: a zstd member of a tar package loses its ".zst".
std::string landed_name(const char* package, std::string_view img) {
  if (ota_archive_kind(package) == OTA_ARCHIVE_TAR && img.ends_with(".zst")) {
    img.remove_suffix(4);
  }
  return std::string(img);
}

// Member img of the package into the folder, bounded by what the security module loads.
// An earlier copy goes first: a refused member must not leave an older image to be loaded.
int32_t stage_secure_image(const char* package, const char* img) {
  const ota::UniqueFd dir = ota::open_fd(SECURE_IMG_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (dir) {
    ota::remove_member(dir.get(), landed_name(package, img));
  }
  return kx_uncompress_one(package, SECURE_IMG_DIR, img, SECURE_IMG_MAX);
}

}  // namespace

extern "C" MIRVO_OTA_API int32_t ota_sec_uncompress(const char* zip_path, const char* img) {
  if (zip_path == nullptr || zip_path[0] == '\0' || img == nullptr) {
    OTA_LOG_ERR("No update file selected\n");
    return -OTAERR_NULLPOINTER;
  }
  char package[PACKAGE_PATH_LEN] = {};
  if (const int32_t found = find_full_package(zip_path, package, sizeof(package)); found != 0) {
    return found;
  }
  if (package[0] != '\0' && !claim_secure_dir()) {
    return -1;
  }
  if (package[0] == '\0' || stage_secure_image(package, img) != 0) {
    OTA_LOG_WARN("secure img [%s] is not found\n", img);
  }
  return 0;
}

extern "C" MIRVO_OTA_API int32_t ota_hsm_init(ota_sec_img_t* img_info) {
  if (img_info == nullptr || ::access(img_info->cert_path, F_OK) != 0) {
    OTA_LOG_ERR("invalid ota auth cert path!\n");
    return -OTAERR_NULLPOINTER;
  }
  struct stat st {};
  if (::stat(img_info->img_path, &st) != 0) {
    OTA_LOG_ERR("Failed get image file:%s stat\n", img_info->img_path);
    return -OTAERR_NO_EXISTS;
  }
  g_hsm_img_size = static_cast<uint32_t>(st.st_size);
  if (::stat(img_info->cert_path, &st) != 0) {
    OTA_LOG_ERR("Failed get ota auth cert file:%s stat\n", img_info->cert_path);
    return -OTAERR_NO_EXISTS;
  }
  const ssize_t img = read_once(img_info->img_path, g_hsm_buffer, sizeof(g_hsm_buffer));
  if (img < 0) {
    OTA_LOG_ERR("open img:%s failed\n", img_info->img_path);
    return -1;
  }
  if (img == 0) {
    OTA_LOG_ERR("read %s image error\n", img_info->img_path);
    return -1;
  }
  const ssize_t cert = read_once(img_info->cert_path, g_hsm_cert_buffer, sizeof(g_hsm_cert_buffer));
  if (cert < 0) {
    OTA_LOG_ERR("open cert:%s failed\n", img_info->cert_path);
    return -1;
  }
  if (cert == 0) {
    OTA_LOG_ERR("read %s cert error\n", img_info->cert_path);
    return -1;
  }
  return 0;
}

extern "C" MIRVO_OTA_API int32_t ota_check_up_status(check_status_fun fun,
                                                     ota_update_flag_e update_status) {
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  if (fun == nullptr || fun(&status) < 0) {
    OTA_LOG_ERR("get ota update status failed\n");
    return -OTAERR_UPDATE_STATUS;
  }
  if (status != OTA_FLAG_NORMAL && status != update_status) {
    return -OTAERR_UPDATE_STATUS;
  }
  return 0;
}
