// What every source of the client library includes: the engine's own types first, then
// the public declarations, so both agree on one definition of each type.
#pragma once

#include "ota_types.h"
#include "veeprom_flag.h"

#define MIRVO_OTA_INTERNAL_TYPES 1
#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"
