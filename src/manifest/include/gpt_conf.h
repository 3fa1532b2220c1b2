// gpt.conf, the partition layout a package was built for: one partition per line,
// "name:start:end:medium" with byte offsets (end inclusive) and medium 1 = eMMC, 0 = NOR.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int GPT_CONF_FIELDS = 4;
inline constexpr int GPT_CONF_MEDIUM_NOR = 0;
inline constexpr int GPT_CONF_MEDIUM_EMMC = 1;

// Splits one line in place at ':' (empty fields skipped), a final CR dropped first. 0
// with the four fields in tokens, -1 (logged) for any other field count. The name is
// taken as it stands: "logs" stays "logs".
[[nodiscard]] int32_t gpt_conf_split_line(char* line, char* tokens[GPT_CONF_FIELDS]);

// A decimal number: digits with blanks around them and one optional trailing 's' (the
// unit of a size); no sign, nothing else, no overflow of int64.
[[nodiscard]] bool gpt_conf_number(const char* text, int64_t* value);

struct gpt_conf_entry {
  std::string name;
  int64_t start;
  int64_t end;  // inclusive
  int32_t medium;
};

// Parses a whole gpt.conf text: 0, or -1 after logging the offending line, or when the
// text holds no partition line at all.
[[nodiscard]] int32_t gpt_conf_parse(std::string_view text, std::vector<gpt_conf_entry>* out);
