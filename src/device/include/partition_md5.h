// Whole-device MD5 comparison: the proof that a copy between two partitions took.
#pragma once

#include <cstdint>

#include "burn_pipeline.h"
#include "md5.h"

namespace ota {

// What an overlapped copy learns on its way: the source's digest, taken from the very
// read that fed the copy (its cached pages dropped first, so that read came from the
// medium), and the destination's read-back proof of the range written.
struct CopyProof {
  MD5_CTX source{};
  uint64_t source_bytes = 0;
  ReadBackProof dest;
  CopyProof() { MD5Init(&source); }
};

}  // namespace ota

// Hashes each device over its own size less `garbage` trailing bytes and compares the
// digests. 0 when equal, -1 for a difference, a missing path or an unreadable device.
[[nodiscard]] int32_t ota_check_two_partition_md5(const char* partition1_path,
                                                  const char* partition2_path, int32_t garbage);

// ota_check_two_partition_md5(partition1_path, partition2_path, 0) for a copy that gathered
// its proof: the source's digest is the one the copy took, the destination's goes on from
// its read-back over the rest of the device (flushed and dropped first). Same messages and
// results.
[[nodiscard]] int32_t ota_check_copied_partition_md5(const char* partition1_path,
                                                     const char* partition2_path,
                                                     const ota::CopyProof& proof);

// The 16 digest bytes written as 32 hexadecimal characters (either case) in md5_str.
// 0, or -1 for a null argument or a character pair that is not hexadecimal.
[[nodiscard]] int32_t get_md5_from_string(const char* md5_str, unsigned char* md5_val);

// Flushes the device, drops its cached pages over the range and hashes image_size bytes
// from offset as they lie on the medium; 0 when they match md5_expect, negative otherwise.
[[nodiscard]] int32_t verify_image_checksum_with_part(const char* md5_expect, uint64_t image_size,
                                                      const char* part_dev_name, uint64_t offset);
// The same comparison for a range whose first proof->hashed bytes the burn already read
// back from the medium: only the rest of the range is flushed, dropped and hashed here.
[[nodiscard]] int32_t verify_image_checksum_after_read_back(const char* md5_expect,
                                                            uint64_t image_size,
                                                            const char* part_dev_name,
                                                            uint64_t offset,
                                                            const ota::ReadBackProof& proof);

// Makes what was written to path durable and forgets its cached pages over
// [offset, offset + len) (len 0: to the end), so that the next read comes from the medium.
// 0, or -1 with the reason logged. Both digests above call it before hashing.
[[nodiscard]] int32_t ota_flush_and_drop_cache(const char* path, uint64_t offset, uint64_t len);
