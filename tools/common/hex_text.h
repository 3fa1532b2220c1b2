// Digests as the host tools print and compare them: lower-case hexadecimal, two
// characters a byte (the form md5sum prints and the packages' manifests hold).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace ota::tool {

inline std::string hex_text(const unsigned char* bytes, size_t n) {
  std::string out(2 * n + 1, '\0');
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(out.data() + 2 * i, 3, "%02x", bytes[i]);
  }
  out.pop_back();
  return out;
}

}  // namespace ota::tool
