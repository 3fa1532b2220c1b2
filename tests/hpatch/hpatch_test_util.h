// Shared pieces of the patch engine's tests: the vector folder, patch files, loop devices.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loop.h"
#include "test_support.h"
#include "unique_fd.h"

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

// A loop device over a backing file, detached when the object goes.
class Loop {
 public:
  explicit Loop(const std::string& image) {
    auto attached = vboard::attach_loop(image, 0, 0, false);
    if (!attached) {
      ADD_FAILURE() << "attaching " << image << ": " << attached.error().message();
      return;
    }
    dev_ = std::move(attached.value());
  }
  ~Loop() {
    if (dev_.number >= 0) {
      vboard::detach_loop(dev_);
    }
  }
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  [[nodiscard]] bool ok() const { return dev_.number >= 0; }
  [[nodiscard]] std::string path() const { return dev_.path(); }

  // The device's bytes [0, size), read through the device itself.
  [[nodiscard]] std::string read(size_t size) const {
    std::string out(size, '\0');
    ota::UniqueFd fd = ota::open_fd(path().c_str(), O_RDONLY);
    if (!fd || ota::pread_full(fd.get(), out.data(), size, 0) != static_cast<ssize_t>(size)) {
      ADD_FAILURE() << "reading " << path();
    }
    return out;
  }

 private:
  vboard::LoopDevice dev_;
};

}  // namespace hpatch_test
