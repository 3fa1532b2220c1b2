// The board's eFuse anti-rollback counter, behind the security module. Shared: the
// worker reads it to check images, the client library reads and burns it to commit.
#pragma once

#include <cstdint>

#include "veeprom_flag.h"

// Fills only ver->hsm_ver (the eFuse holds the security module's version alone). 0 or -1.
[[nodiscard]] int32_t get_efuse_antirollback(antirollback_ver_t* ver);
// Burns the security module's version when ver->hsm_up_flag is 1; otherwise nothing. 0 or -1.
[[nodiscard]] int32_t set_efuse_antirollback(antirollback_ver_t* ver);

// The security module's eFuse counter. Placeholders here: they log and succeed, and the
// read leaves the value as it was.
[[nodiscard]] uint32_t kx_efuse_hsm_anti_read(uint32_t* anti_num);
[[nodiscard]] uint32_t kx_efuse_hsm_anti_update(void);
