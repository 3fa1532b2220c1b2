// A tar package taken apart into its entries and put together again, so that a test can
// give one package another's member byte for byte (headers included).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace ota_test {

// A tar package as its entries (header and padded data) by name, in order.
struct TarEntries {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string tail;  // the end-of-archive blocks

  static TarEntries read(const std::string& path) {
    const std::string bytes = ota_test::read_file(path);
    TarEntries t;
    size_t pos = 0;
    while (pos + 512 <= bytes.size() && bytes[pos] != '\0') {
      const std::string name(bytes.c_str() + pos, strnlen(bytes.c_str() + pos, 100));
      const uint64_t size = std::stoull(bytes.substr(pos + 124, 12), nullptr, 8);
      const size_t len = 512 + (size + 511) / 512 * 512;
      t.entries.emplace_back(name, bytes.substr(pos, len));
      pos += len;
    }
    t.tail = bytes.substr(pos);
    return t;
  }
  std::string& entry(const std::string& name) {
    for (auto& [n, b] : entries) {
      if (n == name) {
        return b;
      }
    }
    ADD_FAILURE() << "no tar entry " << name;
    return tail;
  }
  void write(const std::string& path) const {
    std::string bytes;
    for (const auto& [n, b] : entries) {
      bytes += b;
    }
    ota_test::write_file(path, bytes + tail);
  }
};

}  // namespace ota_test
