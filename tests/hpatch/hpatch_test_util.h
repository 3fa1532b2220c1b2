// Shared pieces of the patch engine's tests: the vector folder and patch files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace hpatch_test {

inline const std::string kVectorDir = std::string(OTA_HDIFFPATCH_DIR) + "/vectors";

// Pairs of the vector folder, each with old.bin, new.bin and its patches.
inline const std::vector<std::string> kPairs = {"tiny-text", "bin-1m", "different", "empty-old",
                                                "dense-1m"};

// The HDIFF13 / HDIFFSF20 patches of a pair (the bsdiff ones are refusal cases).
inline std::vector<std::string> patches_of(const std::string& pair) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(kVectorDir + "/" + pair, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".hdiff" && name.rfind("bsd", 0) != 0) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::vector<uint8_t> bytes_of(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::string text_of(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace hpatch_test
