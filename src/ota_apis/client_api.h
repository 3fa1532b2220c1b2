// What every source of the client library includes: the public declarations and the
// engine's records built on them.
#pragma once

#include "ota_types.h"
#include "veeprom_flag.h"

#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"
