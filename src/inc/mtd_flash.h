// The NOR flash device as the recovery rewrite writes it: sized and, when it is the MTD
// character device of a real board ("/dev/mtd0", whose stat size is 0), erased block by
// block before a range is written. A block device node over the flash (an mtdblock
// device, the virtual board's loop device) is written like any block device, no erase.
#pragma once

#include <cstdint>

// What the device is and answers. The kernel-backed one wraps a descriptor; tests give
// their own.
class ota_mtd_device {
 public:
  enum class Kind { block, mtd_char, other };
  virtual ~ota_mtd_device() = default;
  [[nodiscard]] virtual Kind kind() = 0;
  // The block layer's size (BLKGETSIZE64).
  [[nodiscard]] virtual bool block_size(uint64_t* size) = 0;
  // MEMGETINFO: the chip's size and erase-block size.
  [[nodiscard]] virtual bool mtd_info(uint64_t* size, uint32_t* erasesize) = 0;
  // The MTD driver's "size" and "erasesize" of mtd0 in sysfs.
  [[nodiscard]] virtual bool sysfs_info(uint64_t* size, uint32_t* erasesize) = 0;
  // MEMERASE of [start, start + len), both on erase-block boundaries.
  [[nodiscard]] virtual bool erase(uint64_t start, uint64_t len) = 0;
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

// The kernel's answers for an open descriptor of the NOR device (not owned).
class ota_kernel_mtd_device final : public ota_mtd_device {
 public:
  explicit ota_kernel_mtd_device(int fd) : fd_(fd) {}
  [[nodiscard]] Kind kind() override;
  [[nodiscard]] bool block_size(uint64_t* size) override;
  [[nodiscard]] bool mtd_info(uint64_t* size, uint32_t* erasesize) override;
  [[nodiscard]] bool sysfs_info(uint64_t* size, uint32_t* erasesize) override;
  [[nodiscard]] bool erase(uint64_t start, uint64_t len) override;

 private:
  int fd_;
};
