// The board's persistent update state, decoded for the operator: the OTA status record,
// the anti-rollback record and the boot control block, preceded by the road state.
#pragma once

#include <cstdio>

#include "tool_result.h"

namespace ota_tool {

[[nodiscard]] ota::tool::Result<void> print_board_status(std::FILE* out);

}  // namespace ota_tool
