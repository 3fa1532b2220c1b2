// A virtual board driven from the host, for the kill-point tests and the power-cut
// explorer: made from a layout (or a board folder that exists), commands run on it with
// `vboard run`, its firmware, snapshots of its images, and its records and partitions
// read straight from the image files while it is not running. Helpers throw
// std::runtime_error with what failed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board_layout.h"
#include "boot_control.h"
#include "road_record.h"
#include "run_process.h"
#include "veeprom_flag.h"

namespace ota_road {

// The last lines of a command's output that are not the engine's information lines,
// indented, for a failure message.
std::string tail(const std::string& output, size_t lines = 12);

// What the firmware may boot: tries left, not corrupted, non-zero priority.
bool bootable(const slot_metadata& slot);

// The board's records as they lie on its images.
struct Records {
  int booted = 0;         // slot of the kernel command line, 0 = a
  bool recovery = false;  // the command line says recovery mode
  bool misc_valid = false;
  bootloader_control misc{};
  bool status_valid = false;
  ota_status_t status{};
  bool road_valid = false;  // neither copy valid: an idle road
  ota_road_record_t road{};
  uint32_t pending_command = 0;  // cmdtype of the flashcmd record, 0 when none

  // One line for a failure message.
  [[nodiscard]] std::string describe() const;
};

// The bytes each A/B partition (by base name) holds in one generation of images.
using Generation = std::map<std::string, std::string>;

// Which of gens a slot holds whole: its index, or -1 with what each partition holds in
// *parts (" system 0", " boot other": a partition matching no generation).
int slot_generation(const std::vector<Generation>& gens, const std::vector<std::string>& bytes,
                    std::string* parts);

class RoadBoard {
 public:
  // Makes the board in dir (vboard create DIR --layout layout_file, then create_args).
  RoadBoard(std::string vboard, std::string dir, const std::string& layout_file,
            const std::vector<std::string>& create_args = {});
  // A board folder that exists already (made from layout_file).
  static RoadBoard open(std::string vboard, std::string dir, const std::string& layout_file);

  [[nodiscard]] const std::string& dir() const { return dir_; }
  [[nodiscard]] const ota::board::Layout& layout() const { return layout_; }

  // argv on the board (vboard run DIR -- argv).
  [[nodiscard]] Outcome run(const std::vector<std::string>& argv) const;
  // The firmware from the host (vboard reboot DIR).
  [[nodiscard]] Outcome reboot() const;

  // Copies the images and the boot state into (out of) folder; sparse both ways.
  void save(const std::string& folder) const;
  void restore(const std::string& folder) const;

  [[nodiscard]] Records records() const;
  // The first len bytes of a partition (eMMC or NOR by the layout).
  [[nodiscard]] std::string read_part(const std::string& name, size_t len) const;
  // Writes bytes at the start of a partition, as the factory flashes it.
  void write_part(const std::string& name, const std::string& bytes) const;

  // The partition (or "emmc.img@OFFSET" when none) holding offset of an image file.
  [[nodiscard]] std::string part_at(const std::string& image, uint64_t offset) const;

  // Which generation slot (0 = a) holds: slot_generation over its A/B partitions.
  [[nodiscard]] int generation(int slot, const std::vector<Generation>& gens,
                               std::string* parts) const;

 private:
  RoadBoard(std::string vboard, std::string dir, ota::board::Layout layout)
      : vboard_(std::move(vboard)), dir_(std::move(dir)), layout_(std::move(layout)) {}
  [[nodiscard]] std::string image_of(const ota::board::Partition& p) const;

  std::string vboard_;
  std::string dir_;
  ota::board::Layout layout_;
};

}  // namespace ota_road
