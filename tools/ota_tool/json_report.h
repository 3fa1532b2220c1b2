// The JSON that `ota_tool status --json` and `ota_tool update --json` print, one object
// per line, with the fields the README documents ("ota_tool --json"). A fleet agent reads
// these instead of the text; field names and meanings stay stable.
#pragma once

#include <cstdint>
#include <string>

#include "road_state.h"

namespace ota_tool {

// One progress change of an update: {"event":"progress",...}.
[[nodiscard]] std::string progress_json(int32_t result, int32_t progress, const std::string& image);

// The end of an update: {"event":"result",...}. `code` is 0 or the library's negative code.
[[nodiscard]] std::string update_result_json(int32_t result, int32_t progress,
                                             const std::string& image, int32_t code,
                                             const std::string& message);

// The board's update state as `ota_tool status` reads it.
[[nodiscard]] std::string status_json(const RoadInputs& in, const std::string& lib_version);

// "UPGRADE_SUCCESS" for 2; "UNKNOWN" outside the enumeration.
[[nodiscard]] const char* result_name(int32_t result);

}  // namespace ota_tool
