// The client's durable steps on the update road (docs/update-road.md): the road record
// read and written whole, and the slot marks in the boot control block that the switch
// and the partition sync make. Each write is on the medium when it returns, so a stop
// between two steps leaves a row of the road's table.
#pragma once

#include <cstdint>

#include "boot_control.h"
#include "road_record.h"

namespace ota_client {

// The road record; -1 (logged) when veeprom cannot be read.
[[nodiscard]] int32_t road_load(ota_road_record_t* rec);
// Writes the record with `phase` (the rest as the caller left it, the queue included).
[[nodiscard]] int32_t road_store(ota_road_record_t* rec, ota_road_phase_e phase);

// The boot control block of the board; -1 (logged) when it cannot be read.
[[nodiscard]] int32_t misc_load(bootloader_control* ctrl);
// Confirmed: successful_boot set and tries left, as the firmware boots it without trial.
[[nodiscard]] bool slot_confirmed(const bootloader_control& ctrl, int32_t slot);
[[nodiscard]] bool slot_bootable(const bootloader_control& ctrl, int32_t slot);

// `slot` boots next on trial: priority 15, 3 tries, successful_boot cleared whatever the
// slot carried from an earlier life; a slot of priority 15 or more drops to 14.
[[nodiscard]] int32_t misc_activate_on_trial(int32_t slot);
// `slot` holds a proven copy of the confirmed slot: bootable behind it as its fallback
// (priority 14, successful_boot 1, 1 try).
[[nodiscard]] int32_t misc_make_fallback(int32_t slot);

}  // namespace ota_client
