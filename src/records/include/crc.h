// The record checksums: CRC-32 (IEEE 802.3) of the status, anti-rollback and boot
// control records and the partition tables; CRC-16/CCITT-FALSE of NOR image headers.
#pragma once

#include <cstddef>
#include <cstdint>

[[nodiscard]] uint32_t CRC32(const uint8_t* buf, size_t size);
[[nodiscard]] uint16_t CRC16(const uint8_t* buf, size_t size);
