#include <cctype>

#include "packager.h"

namespace ota::pack {

using tool::Error;
using tool::Result;

namespace {

constexpr int kInvalid = EINVAL;
constexpr size_t kMaxName = 63;

// The first "%s" replaced, every other character kept.
std::string with_suffix(const std::string& tmpl, const std::string& suffix) {
  std::string out = tmpl;
  if (const size_t pos = out.find("%s"); pos != std::string::npos) {
    out.replace(pos, 2, suffix);
  }
  return out;
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// A board value as the worker reads it: at most 31 bytes, trailing CR, LF and blanks
// removed, blanks turned into '_'.
std::string board_value(std::string value) {
  value = value.substr(0, 31);
  while (value.size() > 1 &&
         (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
    value.pop_back();
  }
  for (char& c : value) {
    c = c == ' ' ? '_' : c;
  }
  return value;
}

Result<std::string> variable(const std::string& name, const board::Layout& layout) {
  const auto it = layout.boardinfo.find(name);
  if (it == layout.boardinfo.end()) {
    return Error(kInvalid, "board variable '" + name + "' is not in the layout's boardinfo");
  }
  return board_value(it->second);
}

Result<std::string> expand_variables(const std::string& tmpl, const board::Layout& layout) {
  std::string out;
  for (size_t i = 0; i < tmpl.size();) {
    if (tmpl[i] != '$') {
      out.push_back(tmpl[i++]);
      continue;
    }
    const bool braced = i + 1 < tmpl.size() && tmpl[i + 1] == '{';
    size_t j = i + (braced ? 2 : 1);
    const size_t start = j;
    while (j < tmpl.size() && is_name_char(tmpl[j])) {
      ++j;
    }
    if (braced && (j >= tmpl.size() || tmpl[j] != '}')) {
      return Error(kInvalid, "unterminated or malformed ${...} in '" + tmpl + "'");
    }
    auto value = variable(tmpl.substr(start, j - start), layout);
    if (!value) {
      return value.error();
    }
    out += value.value();
    i = braced ? j + 1 : j;
  }
  return out;
}

}  // namespace

Result<std::string> expand_image_name(const std::string& tmpl, const board::Layout& layout,
                                      bool nor_sign) {
  const bool ohp = layout.lifecycle.find("OHP") != std::string::npos;
  const bool ate = layout.lifecycle.find("ATE") != std::string::npos;
  std::string name;
  if (tmpl.find("keyimage") != std::string::npos ||
      (nor_sign && tmpl.find("SBL") != std::string::npos)) {
    name = with_suffix(tmpl, ohp ? "_ohp" : "");
  } else if (nor_sign && (tmpl.find("HSM_FW") != std::string::npos ||
                          tmpl.find("HSM_RCA") != std::string::npos)) {
    name = with_suffix(tmpl, ate ? "_L0" : "");
  } else {
    auto expanded = expand_variables(tmpl, layout);
    if (!expanded) {
      return expanded.error();
    }
    name = std::move(expanded).value();
  }
  if (name.empty() || name.size() > kMaxName) {
    return Error(kInvalid, "image name '" + name + "' from template '" + tmpl +
                               "' must have 1 to 63 characters");
  }
  return name;
}

}  // namespace ota::pack
