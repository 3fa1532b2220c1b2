#include "image_names.h"

#include <fcntl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "manifest.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {

constexpr size_t kVarLen = 32;

struct Lifecycle {
  const char* tag;
  const char* command;
  const char* suffix;
  const char* result_fmt;
};

constexpr Lifecycle kOhp = {
    "OHP", "/usr/mirvo/bin/provision_tool --get-lifecycle | grep OHP > /dev/null 2>&1", "_ohp",
    "new keyimage or sbl name: %s\n"};
constexpr Lifecycle kAte = {
    "ATE", "/usr/mirvo/bin/provision_tool --get-lifecycle | grep ATE > /dev/null 2>&1", "_L0",
    "new hsmfw or rca name: %s\n"};

// Asks the provisioning tool; the suffix applies only when its output names the lifecycle.
const char* lifecycle_suffix(const Lifecycle& lc) {
  const int status = std::system(lc.command);
  if (status == -1 || (status & 0x7f) != 0) {
    OTA_LOG_INFO("provision_tool exec failed\n");
    return "";
  }
  const int code = (status >> 8) & 0xff;
  if (code != 0) {
    OTA_LOG_INFO("provision_tool grep %s not match, status %d\n", lc.tag, code);
    return "";
  }
  OTA_LOG_INFO("provision_tool | grep %s return 0。\n", lc.tag);
  return lc.suffix;
}

int32_t expand_lifecycle(const Lifecycle& lc, const char* src, char* dst, int32_t buflen) {
  if (src == nullptr || dst == nullptr || buflen <= 0) {
    return -1;
  }
  // The template comes from the package: it is never used as a printf format.
  if (substitute_suffix(src, lifecycle_suffix(lc), dst, buflen) != 0) {
    OTA_LOG_ERR("Buffer too short\n");
    return -1;
  }
  OTA_LOG_INFO(lc.result_fmt, dst);
  return 0;
}

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Output under construction: refuses to grow beyond buflen - 1 characters.
class NameWriter {
 public:
  NameWriter(char* dst, int32_t buflen) : dst_(dst), cap_(static_cast<size_t>(buflen) - 1) {}
  bool put(std::string_view text) {
    if (text.size() > cap_ - len_) {
      OTA_LOG_ERR("Buffer too short\n");
      return false;
    }
    std::memcpy(dst_ + len_, text.data(), text.size());
    len_ += text.size();
    return true;
  }
  void finish() { dst_[len_] = '\0'; }

 private:
  char* dst_;
  size_t cap_;
  size_t len_ = 0;
};

bool append_variable(NameWriter& out, const std::string& name) {
  char value[kVarLen] = {};
  const int32_t ret = handle_boardtype_sys(name.c_str(), value, kVarLen);
  if (ret != 0) {
    OTA_LOG_ERR("Parse var %s failed, ret: %d\n", name.c_str(), ret);
    return false;
  }
  return out.put(value);
}

int32_t expand_variables(const char* src, char* dst, int32_t buflen) {
  if (src == nullptr || dst == nullptr || buflen <= 0) {
    return -1;
  }
  NameWriter out(dst, buflen);
  bool in_var = false;
  int depth = 0;
  std::string name;
  for (const char* p = src; *p != '\0'; ++p) {
    const char c = *p;
    if (!in_var) {
      if (c == '$') {
        in_var = true;
      } else if (!out.put(std::string_view(&c, 1))) {
        return -1;
      }
      continue;
    }
    if (c == '{') {
      if (++depth > 1) {
        OTA_LOG_ERR("Unsupport nested vars\n");
        return -1;
      }
    } else if (is_name_char(c)) {
      // The name selects a file under the board information directory; one longer than
      // its buffer cannot name one.
      if (name.size() >= kVarLen - 1) {
        OTA_LOG_ERR("Variable name in %s longer than %zu characters\n", src, kVarLen - 1);
        return -1;
      }
      name.push_back(c);
    } else if (depth == 1 && c != '}') {
      OTA_LOG_ERR("Invalid character %c in vars\n", c);
      return -1;
    } else {
      if (!append_variable(out, name)) {
        return -1;
      }
      name.clear();
      in_var = false;
      if (c == '}') {
        depth = 0;
      } else if (!out.put(std::string_view(&c, 1))) {
        return -1;
      }
    }
  }
  if (in_var) {
    // "boot_$soc" ends the name with the template; an open brace has no end at all.
    if (depth != 0) {
      OTA_LOG_ERR("Invalid character %c in vars\n", '{');
      return -1;
    }
    if (!append_variable(out, name)) {
      return -1;
    }
  }
  out.finish();
  return 0;
}

}  // namespace

int32_t substitute_suffix(const char* tmpl, const char* suffix, char* dst, int32_t buflen) {
  if (tmpl == nullptr || suffix == nullptr || dst == nullptr || buflen <= 0) {
    return -1;
  }
  std::string result(tmpl);
  const size_t pos = result.find("%s");
  if (pos != std::string::npos) {
    result.replace(pos, 2, suffix);
  }
  if (result.size() >= static_cast<size_t>(buflen)) {
    return -1;
  }
  std::memcpy(dst, result.c_str(), result.size() + 1);
  return 0;
}

void handle_space(char* s) {
  if (s == nullptr) {
    return;
  }
  for (; *s != '\0'; ++s) {
    if (*s == ' ') {
      *s = '_';
    }
  }
}

int32_t handle_boardtype_sys(const char* t, char* dst, uint32_t len) {
  if (t == nullptr || dst == nullptr || len == 0) {
    return -1;
  }
  char path[64] = {};
  const int n = std::snprintf(path, sizeof(path), OTA_BOARDINFO_FMT, t);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
    OTA_LOG_ERR("Cannot open boardinfo %s\n", t);
    return -1;
  }
  OTA_LOG_DEBUG("open %s\n", path);
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("Cannot open boardinfo %s\n", path);
    return -1;
  }
  const ssize_t got = ota::retry_eintr([&] { return read(fd.get(), dst, len - 1); });
  if (got < 0) {
    OTA_LOG_ERR("Cannot read from %s. %s\n", path, std::strerror(errno));
    return -1;
  }
  dst[got] = '\0';
  for (ssize_t i = got - 1; i > 0; --i) {
    if (dst[i] != '\r' && dst[i] != '\n' && dst[i] != ' ') {
      break;
    }
    dst[i] = '\0';
  }
  handle_space(dst);
  OTA_LOG_DEBUG("read from %s: %s\n", path, dst);
  return 0;
}

int32_t formate_keyimage_imgname(const char* formate_src, char* dst, int32_t buflen) {
  return expand_lifecycle(kOhp, formate_src, dst, buflen);
}

int32_t formate_hsm_rca_imgname(const char* formate_src, char* dst, int32_t buflen) {
  return expand_lifecycle(kAte, formate_src, dst, buflen);
}

int32_t format_imgname(const char* src, char* dst, int32_t buflen) {
  if (src == nullptr || dst == nullptr || buflen <= 0) {
    return -1;
  }
  dst[0] = '\0';
  const std::string_view tmpl(src);
  int32_t ret = 0;
  if (tmpl.find("keyimage") != std::string_view::npos) {
    ret = formate_keyimage_imgname(src, dst, buflen);
    OTA_LOG_INFO("formate_keyimage_imgname: %s\n", dst);
    return ret;
  }
  if (ota_manifest_nor_sign() != 0) {
    if (tmpl.find("SBL") != std::string_view::npos) {
      ret = formate_keyimage_imgname(src, dst, buflen);
      OTA_LOG_INFO("formate_sbl_imgname: %s\n", dst);
      return ret;
    }
    if (tmpl.find("HSM_FW") != std::string_view::npos ||
        tmpl.find("HSM_RCA") != std::string_view::npos) {
      ret = formate_hsm_rca_imgname(src, dst, buflen);
      OTA_LOG_INFO("formate_hsmrca_imgname: %s\n", dst);
      return ret;
    }
  }
  return expand_variables(src, dst, buflen);
}
