// Writes the eMMC disk's partition table: protective MBR, primary header and entry
// array at LBAs 1 and 2, their backup copies at the end of the disk, CRCs set.
#pragma once

#include "board_layout.h"
#include "sys_util.h"

namespace vboard {

// The disk image behind fd must already have the layout's size.
[[nodiscard]] Result<void> write_gpt(int fd, const ota::board::Layout& layout);

}  // namespace vboard
