// The board's images served through a small FUSE file system of ours, for boards made
// with `vboard create --fuse`. Every request the kernel sends for an image (each write,
// each fsync that a flush of a loop device over it turns into) passes through one
// server thread in arrival order, which is where a volatile write cache, power cuts and
// recording will hook in. For now the server writes straight through to the image
// files and logs every fsync and flush with the number of writes before it, and every
// write to the MTD stand-in that asked a cleared bit to become 1 again.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include <string>
#include <vector>

#include "board_dir.h"

namespace vboard {

// One file the server shows: an image of the board under a name of its own. With an
// erase size it is the stand-in of the NOR flash's MTD character device: stat size 0,
// MEMGETINFO and MEMERASE(64) answered, writes only clear bits and erase sets 0xFF.
struct ServedFile {
  std::string image;
  std::string name;
  uint32_t erasesize = 0;
};

// A running server: its mount point shows each served file under its name.
class FuseImages {
 public:
  FuseImages() = default;
  FuseImages(const FuseImages&) = delete;
  FuseImages& operator=(const FuseImages&) = delete;
  FuseImages(FuseImages&& o) noexcept : mount_(std::move(o.mount_)), pid_(o.pid_) { o.pid_ = -1; }
  FuseImages& operator=(FuseImages&& o) noexcept {
    if (this != &o) {
      (void)stop();
      mount_ = std::move(o.mount_);
      pid_ = o.pid_;
      o.pid_ = -1;
    }
    return *this;
  }
  ~FuseImages();

  // Mounts dir's served-image directory with the given files and returns once the
  // mount is up; power_cut: cache, record and cut as the board's power-cut layer does.
  [[nodiscard]] static Result<FuseImages> start(const BoardDir& dir,
                                                const std::vector<ServedFile>& files,
                                                bool power_cut = false);
  // The path of a served file, by its name.
  [[nodiscard]] std::string served(const std::string& name) const { return mount_ + "/" + name; }
  // The server process, which signals SIGUSR1 to the runner when the power is cut.
  [[nodiscard]] pid_t pid() const { return pid_; }
  // Unmounts and waits for the server; errors are the server's own.
  [[nodiscard]] Result<void> stop();

 private:
  std::string mount_;
  pid_t pid_ = -1;
};

}  // namespace vboard
