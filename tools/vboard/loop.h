// Loop devices over the board's images: the eMMC disk with its GPT partitions added
// by the block layer's partition requests (this kernel parses no GPT itself), and the
// NOR flash with one device per MTD partition. Devices are attached with autoclear,
// so a board whose owner dies still frees them once the last user closes them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "board_layout.h"
#include "sys_util.h"

namespace vboard {

struct LoopDevice {
  int number = -1;
  ota::UniqueFd fd;  // held open for the board's lifetime: autoclear frees it after

  [[nodiscard]] std::string path() const { return "/dev/loop" + std::to_string(number); }
  [[nodiscard]] std::string name() const { return "loop" + std::to_string(number); }
};

// Attaches image bytes [offset, offset + size) (size 0: to the end of the file).
[[nodiscard]] Result<LoopDevice> attach_loop(const std::string& image, uint64_t offset,
                                             uint64_t size, bool partitions);
// Adds the layout's eMMC partitions (numbers 1, 2, ... in GPT order) to the disk device.
[[nodiscard]] Result<void> add_partitions(const LoopDevice& disk, const ota::board::Layout& layout);
// Detaches now, or as soon as the last user closes it.
void detach_loop(LoopDevice& dev);

// Kernel names ("loop3", "loop3p1", ...) of every attached device whose backing file
// is one of the images, partitions included.
[[nodiscard]] std::vector<std::string> devices_backed_by(const std::vector<std::string>& images);

// "major:minor" of a block device by its kernel name.
[[nodiscard]] Result<dev_t> block_dev_number(const std::string& kernel_name);

// Writes back and drops the cached pages of each device (/dev/NAME), as a reboot does.
[[nodiscard]] Result<void> flush_devices(const std::vector<std::string>& kernel_names);

// Waits until none of the loop devices is attached any more (at most timeout_ms).
void wait_detached(const std::vector<int>& numbers, int timeout_ms);

}  // namespace vboard
