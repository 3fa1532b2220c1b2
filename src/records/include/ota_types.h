// Types shared by the worker, the client library and the tools.
#pragma once

#include <cstdint>

// The public records and codes are defined once, in the client library's headers.
#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"

enum upgrade_method : int32_t { IMAGE_UP = 0, IMAGE_DIFF_UP = 1, FILE_UP = 2, FILE_DIFF_UP = 3 };
