#include "gpt_conf.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "ota_log.h"

int32_t gpt_conf_split_line(char* line, char* tokens[GPT_CONF_FIELDS]) {
  // A file written on another system ends its lines in CR LF.
  if (const size_t len = std::strlen(line); len > 0 && line[len - 1] == '\r') {
    line[len - 1] = '\0';
  }
  int count = 0;
  char* save = nullptr;
  for (char* field = strtok_r(line, ":", &save); field != nullptr;
       field = strtok_r(nullptr, ":", &save)) {
    // The fields are filled by count; a line with more is outside the format.
    if (count == GPT_CONF_FIELDS) {
      OTA_LOG_ERR("gpt_conf line has more than %d fields\n", GPT_CONF_FIELDS);
      return -1;
    }
    tokens[count++] = field;
  }
  if (count != GPT_CONF_FIELDS) {
    OTA_LOG_ERR("gpt_conf line has %d fields, expected %d\n", count, GPT_CONF_FIELDS);
    return -1;
  }
  return 0;
}

bool gpt_conf_number(const char* text, int64_t* value) {
  if (text == nullptr) {
    return false;
  }
  std::string_view rest(text);
  const auto trim = [&rest] {
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) {
      rest.remove_prefix(1);
    }
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) {
      rest.remove_suffix(1);
    }
  };
  trim();
  // Sizes may carry the unit letter: "1048576s".
  if (!rest.empty() && rest.back() == 's') {
    rest.remove_suffix(1);
    trim();
  }
  if (rest.empty()) {
    return false;
  }
  int64_t result = 0;
  for (const char c : rest) {
    if (c < '0' || c > '9') {
      return false;
    }
    const int digit = c - '0';
    if (result > (std::numeric_limits<int64_t>::max() - digit) / 10) {
      return false;
    }
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

int32_t gpt_conf_parse(std::string_view text, std::vector<gpt_conf_entry>* out) {
  out->clear();
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string line(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line == "\r") {
      continue;
    }
    char* tokens[GPT_CONF_FIELDS] = {};
    gpt_conf_entry entry{};
    int64_t medium = -1;
    if (gpt_conf_split_line(line.data(), tokens) != 0 ||
        !gpt_conf_number(tokens[1], &entry.start) || !gpt_conf_number(tokens[2], &entry.end) ||
        !gpt_conf_number(tokens[3], &medium) || entry.end < entry.start ||
        (medium != GPT_CONF_MEDIUM_NOR && medium != GPT_CONF_MEDIUM_EMMC)) {
      OTA_LOG_ERR("gpt_conf line %zu is malformed\n", out->size() + 1);
      return -1;
    }
    entry.name = tokens[0];
    entry.medium = static_cast<int32_t>(medium);
    out->push_back(std::move(entry));
  }
  // A layout without a partition would pass every comparison without making one.
  if (out->empty()) {
    OTA_LOG_ERR("gpt_conf holds no partition line\n");
    return -1;
  }
  return 0;
}
