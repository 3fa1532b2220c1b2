#include "shell_quote.h"

std::string shell_quote(std::string_view text) {
  // Inside single quotes only the quote itself is special: close, escape it, reopen.
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('\'');
  for (const char c : text) {
    if (c == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}
