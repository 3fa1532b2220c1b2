// Writes to the NOR flash. Every writer of NOR bytes goes through here: the image burn
// (a partition's node), the recovery rewrite (the whole device "/dev/mtd0") and the A/B
// copy of NOR partitions (ranges of "/dev/mtd0").
//
// An MTD character device (a real board's "/dev/mtd0", whose stat size is 0) only clears
// bits when written: the erase blocks a range covers are erased first, and no byte is
// programmed twice. A block device node over the flash (an mtdblock device, the virtual
// board's loop devices) is written like any block device, no erase.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "device_io.h"

// Where the bytes of a NOR write come from.
class ota_byte_source {
 public:
  virtual ~ota_byte_source() = default;
  // Up to len bytes from offset: the count read (fewer only at the end), -1 on error.
  [[nodiscard]] virtual ssize_t read_at(void* buf, size_t len, uint64_t offset) = 0;
};

// An open file as a source (the descriptor is not owned).
class ota_fd_source final : public ota_byte_source {
 public:
  explicit ota_fd_source(int fd) : fd_(fd) {}
  [[nodiscard]] ssize_t read_at(void* buf, size_t len, uint64_t offset) override;

 private:
  int fd_;
};

// What the device is and answers. The kernel-backed one wraps a descriptor; tests give
// their own. It is also the source of a copy between two of its ranges.
class ota_mtd_device : public ota_byte_source {
 public:
  enum class Kind { block, mtd_char, other };
  [[nodiscard]] virtual Kind kind() = 0;
  // The block layer's size (BLKGETSIZE64).
  [[nodiscard]] virtual bool block_size(uint64_t* size) = 0;
  // MEMGETINFO: the chip's size and erase-block size.
  [[nodiscard]] virtual bool mtd_info(uint64_t* size, uint32_t* erasesize) = 0;
  // The MTD driver's "size" and "erasesize" of this device in sysfs.
  [[nodiscard]] virtual bool sysfs_info(uint64_t* size, uint32_t* erasesize) = 0;
  // MEMERASE of [start, start + len), both on erase-block boundaries.
  [[nodiscard]] virtual bool erase(uint64_t start, uint64_t len) = 0;
  // All len bytes at offset; false (errno set) when fewer are stored.
  [[nodiscard]] virtual bool write_at(const void* buf, size_t len, uint64_t offset) = 0;
  // Makes what was written durable.
  [[nodiscard]] virtual bool flush() = 0;
  // The descriptor progress callbacks are given; -1 when there is none.
  [[nodiscard]] virtual int descriptor() const { return -1; }
};

struct ota_mtd_geometry_t {
  uint64_t size = 0;         // bytes of the device
  uint32_t erasesize = 0;    // bytes of an erase block; 0 for a block device
  bool needs_erase = false;  // an MTD character device: erase before writing
};

// The device's geometry: a block device by its block-layer size; an MTD character device
// by MEMGETINFO, else by sysfs. False (logged, naming path) when it cannot be sized or is
// neither.
[[nodiscard]] bool ota_mtd_geometry(ota_mtd_device& dev, const char* path, ota_mtd_geometry_t* out);

// Makes [start, start + len) writable: on an MTD character device every erase block the
// range touches is erased, which requires start on an erase-block boundary and the
// rounded-up end within `limit` (the end of the partition the range belongs to); a block
// device needs nothing. False (logged) when refused or when an erase fails.
[[nodiscard]] bool ota_mtd_prepare_range(ota_mtd_device& dev, const ota_mtd_geometry_t& g,
                                         uint64_t start, uint64_t len, uint64_t limit);

// The erase a range needs: true when it can be done within limit, with the first byte and
// length of the erase-block run in *erase_start, *erase_len.
[[nodiscard]] bool ota_mtd_erase_span(const ota_mtd_geometry_t& g, uint64_t start, uint64_t len,
                                      uint64_t limit, uint64_t* erase_start, uint64_t* erase_len);

// One NOR write: `size` bytes of the source from `src_offset` (fewer when the source ends
// first) to the device from `offset`, in NOR chunks through g_flash_buf, never erasing or
// writing at or past `limit`.
struct ota_nor_write_t {
  uint64_t src_offset = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  uint64_t limit = 0;
  // The signed NOR layout: chunks of 2 MiB data each followed by a 2048-byte trailer that
  // the next chunk's data replaces on the device.
  bool signed_layout = false;
  ota_write_cb_t progress = nullptr;  // after each chunk, with the bytes read for it
};

// Erases what the write covers (MTD character device), writes it, flushes it. On an MTD
// character device no byte is programmed twice: a signed chunk's trailer is held back
// and only the part of it no later chunk covers is written. False (logged) when the
// range passes limit, the erase is refused or fails, or a read or write fails.
[[nodiscard]] bool ota_nor_write(ota_mtd_device& dev, ota_byte_source& src, const char* path,
                                 const ota_nor_write_t& w);

// An image of `size` bytes written at `offset` of the NOR node `path` within `limit`, in
// the signed layout when the board-secure flag is set. The burn writes a partition's
// node from 0 to the node's end; the recovery rewrite writes the whole device at the
// partition's place, within the partition's end.
[[nodiscard]] bool ota_nor_write_image(ota_mtd_device& dev, const char* path,
                                       ota_byte_source& image, uint64_t size, uint64_t offset,
                                       uint64_t limit, ota_write_cb_t progress);

// Copies len bytes of the device from `from` to `to`, byte for byte (never the signed
// layout). The range written ends at to + len: the bytes after a NOR partition's data
// belong to the boot firmware, and a copy neither moves nor erases them.
[[nodiscard]] bool ota_nor_copy_range(ota_mtd_device& dev, const char* path, uint64_t from,
                                      uint64_t to, uint64_t len);

// The kernel's answers for an open descriptor of a NOR node (not owned).
class ota_kernel_mtd_device final : public ota_mtd_device {
 public:
  explicit ota_kernel_mtd_device(int fd) : fd_(fd) {}
  [[nodiscard]] Kind kind() override;
  [[nodiscard]] bool block_size(uint64_t* size) override;
  [[nodiscard]] bool mtd_info(uint64_t* size, uint32_t* erasesize) override;
  [[nodiscard]] bool sysfs_info(uint64_t* size, uint32_t* erasesize) override;
  [[nodiscard]] bool erase(uint64_t start, uint64_t len) override;
  [[nodiscard]] ssize_t read_at(void* buf, size_t len, uint64_t offset) override;
  [[nodiscard]] bool write_at(const void* buf, size_t len, uint64_t offset) override;
  [[nodiscard]] bool flush() override;
  [[nodiscard]] int descriptor() const override { return fd_; }

 private:
  int fd_;
};

// Bytes of an MTD character device (MEMGETINFO, else sysfs) open as fd; 0 when it is not
// one or cannot be sized (logged, naming path).
[[nodiscard]] uint64_t ota_mtd_char_size(int fd, const char* path);

// True when path (links followed) is a character device that answers as an MTD device: a
// node a NOR image may be burnt into, erased first. Not logged: the caller decides.
[[nodiscard]] bool ota_is_mtd_char_device(const char* path);
