// Names and meanings of the client library's result codes, for the operator.
#pragma once

#include <cstdint>
#include <string>

namespace ota_tool {

// "-3 OTAERR_REPEAT (another update, sync or clear holds the lock)"
[[nodiscard]] std::string describe_code(int32_t code);

// "OTAERR_REPEAT" for -3 (and 3), "OTA_SUCCESS" for 0, "UNKNOWN" beyond the table.
[[nodiscard]] const char* code_name(int32_t code);

}  // namespace ota_tool
