// Text that goes into a shell command line (paths from the runtime configuration or from
// a package) is passed through here so that it stays one argument whatever it holds.
#pragma once

#include <string>
#include <string_view>

// The text as one single-quoted POSIX shell word: 'it'\''s' for it's.
[[nodiscard]] std::string shell_quote(std::string_view text);
