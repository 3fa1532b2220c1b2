// The worker's checks, before its first write, of where a package writes and of the
// proofs it carries: every entry must name a partition the board has and may write
// (write_targets.h), and every write must be covered by an MD5 proof.
#pragma once

#include <cstdint>

#include "manifest.h"

// Normal mode: every entry the partition sequence writes has a target on the board (the
// slot being written is not the running one) that is an existing block device, and an
// incremental entry's source as well. 0, or -1 naming the entry and the reason.
[[nodiscard]] int32_t ota_check_write_targets(const update_info_t& info);

// Recovery mode, where the raw devices are the targets: every entry's gpt.conf range (and
// the veeprom line) is the board's partition of that name (of the entry's declared type,
// slot A for AB), lies inside its device (the NOR device sized by the MTD driver when it
// is a character device, and erasable in whole blocks within its partition) and holds the
// image; no eMMC range touches misc, veeprom, flashcmd or userdata; partition tables, when
// the package carries both, describe the board's own layout and fit before its first and
// after its last partition. 0, or -1 naming the culprit.
[[nodiscard]] int32_t ota_check_recovery_targets(const update_info_t& info);

// Every entry written carries a proof that can cover it: a digest of 32 hexadecimal
// characters and a scope of at least one byte (both digests and scopes of an incremental
// entry). In recovery the proof covers the image file itself, which must not be empty.
// 0, or -1 naming the entry.
[[nodiscard]] int32_t ota_check_proofs(const update_info_t& info, bool recovery);

// A write of `written` bytes from the start of a partition is covered by the entry's
// proof of `scope` bytes from that start; logged, naming the partition, when not.
[[nodiscard]] bool ota_scope_covers(const char* part_name, const char* what, uint64_t scope,
                                    uint64_t written);
