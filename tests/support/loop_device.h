// A loop device over a backing file, for tests that need a real block device.
#pragma once

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "unique_fd.h"

namespace ota_test {

// Detached by the kernel when the last descriptor of it closes (autoclear), so neither a
// failed assertion nor a crash can leak it. Throws when no device can be set up.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& backing) {
    const ota::UniqueFd ctl = ota::open_fd("/dev/loop-control", O_RDWR);
    const ota::UniqueFd file = ota::open_fd(backing.c_str(), O_RDWR);
    if (!ctl || !file) {
      throw std::runtime_error("cannot open /dev/loop-control or " + backing);
    }
    for (int attempt = 0; attempt < 10 && !fd_; ++attempt) {
      const int n = ioctl(ctl.get(), LOOP_CTL_GET_FREE);
      if (n < 0) {
        throw std::runtime_error("LOOP_CTL_GET_FREE: " + std::string(strerror(errno)));
      }
      path_ = "/dev/loop" + std::to_string(n);
      ota::UniqueFd dev = ota::open_fd(path_.c_str(), O_RDWR);
      loop_config config{};
      config.fd = static_cast<uint32_t>(file.get());
      config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if (dev && ioctl(dev.get(), LOOP_CONFIGURE, &config) == 0) {
        fd_ = std::move(dev);  // another process may have taken n meanwhile: retry
      }
    }
    if (!fd_) {
      throw std::runtime_error("no free loop device for " + backing);
    }
  }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
  ota::UniqueFd fd_;  // holds the device; its close detaches it
};

}  // namespace ota_test
