// Copies between buffers, files and devices at an offset, in the chunk sizes of the
// board's media, and the board-secure flag that decides the signed-NOR layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ota_types.h"

// One side of a copy. Built zeroed, so an unset medium is OTA_NOR.
struct ota_file_info_t {
  uint64_t offset;
  uint64_t size;
  ota_medium_e medium;
  char path[128];
};

inline constexpr size_t OTA_MMC_CHUNK = 10485760;  // eMMC copy chunk
inline constexpr size_t OTA_NOR_CHUNK = 2097152;   // NOR data chunk
inline constexpr size_t OTA_NOR_TRAILER = 2048;    // trailer after each signed chunk
inline constexpr size_t OTA_NOR_SIGNED_CHUNK = OTA_NOR_CHUNK + OTA_NOR_TRAILER;

// Process-wide chunk buffers, shared with the archive streamers; one copy at a time.
// Page-aligned, so they can also serve O_DIRECT transfers.
alignas(4096) extern uint8_t g_mmc_buf[OTA_MMC_CHUNK];
alignas(4096) extern uint8_t g_flash_buf[OTA_NOR_SIGNED_CHUNK];

// Called after each chunk written: destination descriptor and bytes written.
using ota_write_cb_t = void (*)(int fd, int32_t len);

// Copies ori_file->size bytes (fewer when the source ends first) from ori_file->offset to
// dest_file->offset of an existing destination, in the chunks of dest_file->medium, and
// flushes them to the medium. 0 or -1.
[[nodiscard]] int32_t ota_file_to_file(ota_file_info_t* ori_file, ota_file_info_t* dest_file,
                                       ota_write_cb_t read_cb);
// Writes all buf_len bytes at dest_file->offset (a regular file is truncated first) and
// flushes them to the medium. 0 or -1.
[[nodiscard]] int32_t ota_buf_to_file(ota_file_info_t* dest_file, const void* buffer,
                                      uint64_t buf_len);
// Reads exactly buf_len bytes from ori_file->offset. 0 or -1.
[[nodiscard]] int32_t ota_file_to_buf(ota_file_info_t* ori_file, void* buffer, uint64_t buf_len);

// Writes all len bytes at fd's position and starts their writeback to the medium at once,
// so a large image flushes while the next chunk is produced and the closing sync_fd finds
// little left to do (the page cache would otherwise hold the whole image until then).
// false with errno set when the write fails or stores less than len.
[[nodiscard]] bool ota_write_behind(int fd, const void* buf, size_t len);

[[nodiscard]] int32_t is_bd_secure();
[[nodiscard]] int32_t ota_set_bd_secure(int sec);
// Bytes a signed NOR image of image_size bytes covers on its device once copied: each
// chunk's trailer is overwritten by the next chunk's data, the last chunk lands whole
// (and a last chunk shorter than a trailer leaves the tail of the one before it).
[[nodiscard]] uint64_t ota_signed_nor_extent(uint64_t image_size);
// Chunk size for writing to a destination of this medium under the current flag.
[[nodiscard]] size_t ota_chunk_size(ota_medium_e medium);
// Resets the board-secure flag: for tests, between cases.
void device_io_reset_state();

[[nodiscard]] long int get_file_size(const char* file_path);
// Bytes of a block device (as the block layer reports them), of an MTD character device
// (as the MTD driver does) or of a regular file; 0 when it cannot be opened or measured.
[[nodiscard]] uint64_t ota_device_size(const char* path);
