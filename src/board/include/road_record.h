// The engine's own record of where the update road stands, kept in veeprom beside (never
// inside) the status and anti-rollback records. It holds what those records cannot say:
// which slot the worker wrote and proved, from which confirmed slot, whether the switch to
// it was recorded, which slot a partition sync is overwriting, and the firmware-only flash
// commands that wait until the firmware has carried out the one pending in the channel.
//
// Two copies, each with a sequence number and a CRC-32: a write goes to the copy that does
// not hold the newest valid record, so a write stopped half way leaves the other copy
// whole. Readers take the valid copy with the higher sequence number; a board with neither
// copy valid reads as idle with an empty queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

inline constexpr uint32_t OTA_ROAD_MAGIC = 0x44414F52;         // "ROAD" on disk
inline constexpr uint32_t OTA_ROAD_OFFSETS[2] = {2560, 3584};  // in veeprom; 256 bytes each
inline constexpr uint32_t OTA_ROAD_VERSION = 1;
inline constexpr uint32_t OTA_ROAD_NO_SLOT = 0xFFFFFFFF;
inline constexpr size_t OTA_ROAD_QUEUE_MAX = 4;
inline constexpr size_t OTA_ROAD_CMD_LEN = 32;

enum ota_road_phase_e : uint32_t {
  OTA_ROAD_IDLE = 0,      // no update on record
  OTA_ROAD_WRITING = 1,   // the worker is writing target_slot, which is unbootable
  OTA_ROAD_WRITTEN = 2,   // target_slot written, flushed and proven (VERIFY follows)
  OTA_ROAD_SWITCHED = 3,  // the switch to target_slot is recorded (the misc write follows)
  OTA_ROAD_SYNCING = 4,   // sync_slot is being overwritten by copies, and is unbootable
};

struct ota_road_record_t {
  uint32_t magic;
  uint32_t version;
  uint32_t seq;  // grows by one with every write
  ota_road_phase_e phase;
  uint32_t from_slot;    // the confirmed slot the update started from
  uint32_t target_slot;  // the slot the worker writes or wrote
  uint32_t sync_slot;    // the slot a partition sync overwrites, OTA_ROAD_NO_SLOT otherwise
  uint32_t queue_len;    // firmware-only commands waiting for the channel, oldest first
  char queue[OTA_ROAD_QUEUE_MAX][OTA_ROAD_CMD_LEN];
  // Bit i: the main copy of security pair i (OTA_BACKUP_PAIRS) holds bytes no proof
  // covers (a write begun and not proven); its backup must not be overwritten from it.
  uint32_t unproven_mains;
  uint8_t reserved[88];
  uint32_t crc32_le;  // CRC32 of every byte before it
};
static_assert(sizeof(ota_road_record_t) == 256);
static_assert(offsetof(ota_road_record_t, phase) == 12);
static_assert(offsetof(ota_road_record_t, queue_len) == 28);
static_assert(offsetof(ota_road_record_t, queue) == 32);
static_assert(offsetof(ota_road_record_t, unproven_mains) == 160);
static_assert(offsetof(ota_road_record_t, reserved) == 164);
static_assert(offsetof(ota_road_record_t, crc32_le) == 252);
static_assert(std::is_trivially_copyable_v<ota_road_record_t>);

[[nodiscard]] bool encode(const ota_road_record_t& rec, std::span<uint8_t> out);
[[nodiscard]] bool decode(std::span<const uint8_t> in, ota_road_record_t* rec);
[[nodiscard]] uint32_t ota_road_crc(const ota_road_record_t& rec);
// Magic, version, phase and queue length in range, and the CRC holds.
[[nodiscard]] bool ota_road_is_valid(const ota_road_record_t& rec);
// What a board without a valid record reads: phase IDLE, no slots, empty queue, seq 0.
[[nodiscard]] ota_road_record_t ota_road_idle_record();
// Back to IDLE with no slots; the queue is kept (its commands still wait for the channel).
void ota_road_set_idle(ota_road_record_t* rec);
// "IDLE", "WRITING", "WRITTEN", "SWITCHED", "SYNCING" ("UNKNOWN" for anything else).
[[nodiscard]] const char* ota_road_phase_name(ota_road_phase_e phase);

// The queue of firmware-only commands, in memory (the caller writes the record).
// Push fails when the queue is full or the name is empty or does not fit 31 characters.
[[nodiscard]] bool ota_road_queue_push(ota_road_record_t* rec, std::string_view cmd);
void ota_road_queue_pop(ota_road_record_t* rec);
// The oldest queued command, empty when none.
[[nodiscard]] std::string_view ota_road_queue_front(const ota_road_record_t& rec);

// Picks the record from the two copies as they lie on the medium: the index (0 or 1) of
// the newest valid one, or -1 when neither is valid (then `rec` is the idle record).
[[nodiscard]] int32_t ota_road_pick(std::span<const uint8_t> copy0, std::span<const uint8_t> copy1,
                                    ota_road_record_t* rec);
// The newest valid copy, or an idle record (phase IDLE, slots OTA_ROAD_NO_SLOT, empty
// queue) when neither copy is valid; -1 only when veeprom cannot be read.
[[nodiscard]] int32_t ota_road_read(ota_road_record_t* rec);
// Writes `rec` (seq and CRC set here) over the older copy and flushes it; 0 or -1.
[[nodiscard]] int32_t ota_road_write(ota_road_record_t* rec);
