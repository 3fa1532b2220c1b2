// Image-name templates of the manifest: board variables ($name, ${name}) read from the
// board information files, and lifecycle suffixes of the security images.
#pragma once

#include <cstdint>

inline constexpr const char* OTA_BOARDINFO_FMT = "/sys/class/boardinfo/%s";

[[nodiscard]] int32_t format_imgname(const char* src, char* dst, int32_t buflen);
[[nodiscard]] int32_t formate_keyimage_imgname(const char* formate_src, char* dst, int32_t buflen);
[[nodiscard]] int32_t formate_hsm_rca_imgname(const char* formate_src, char* dst, int32_t buflen);
[[nodiscard]] int32_t handle_boardtype_sys(const char* t, char* dst, uint32_t len);
void handle_space(char* s);

// The template with its first "%s" replaced by suffix and every other character kept as
// it is; -1 when the result does not fit buflen bytes with its terminator.
[[nodiscard]] int32_t substitute_suffix(const char* tmpl, const char* suffix, char* dst,
                                        int32_t buflen);
