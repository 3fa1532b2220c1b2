#include "path_safety.h"

bool has_no_parent_component(std::string_view path) {
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    if (component == "..") {
      return false;
    }
    if (slash == std::string_view::npos) {
      break;
    }
    path.remove_prefix(slash + 1);
  }
  return true;
}

bool is_contained_name(std::string_view name) {
  return !name.empty() && name.front() != '/' && has_no_parent_component(name);
}
