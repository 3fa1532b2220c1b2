// Helpers of the board tests of the engine's records: the records as they lie on the
// board's devices, read and written behind the engine's back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board_io.h"
#include "boot_control.h"
#include "veeprom_flag.h"

namespace board_records {

inline const std::string kMisc = std::string(board_io::kByName) + "misc";
inline const std::string kVeeprom = std::string(board_io::kByName) + "veeprom";
inline const std::string kFlashcmd = std::string(board_io::kByName) + "flashcmd";

inline bootloader_control boot_block_on_disk() {
  bootloader_control ctrl{};
  EXPECT_TRUE(decode(board_io::read_dev(kMisc, BOOT_CTRL_OFFSET, 32), &ctrl));
  return ctrl;
}

inline ota_status_t status_on_disk() {
  ota_status_t status{};
  EXPECT_TRUE(decode(board_io::read_dev(kVeeprom, OTA_STATUS_OFFSET, sizeof(status)), &status));
  return status;
}

inline void put_status_on_disk(ota_status_t status) {
  std::vector<uint8_t> bytes(sizeof(status));
  EXPECT_EQ(crc32_calculate(&status), 0);
  EXPECT_TRUE(encode(status, bytes));
  board_io::write_dev(kVeeprom, OTA_STATUS_OFFSET, bytes);
}

// Replaces the kernel command line the board hands to the running system.
inline void set_cmdline(const std::string& text) {
  ota_test::write_file(board_io::board_dir() + "/cmdline", text);
}

inline std::vector<uint8_t> filled(size_t len, uint8_t byte) {
  return std::vector<uint8_t>(len, byte);
}

}  // namespace board_records
