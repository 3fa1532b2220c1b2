// Names taken from a package (image and member names, directories of the manifest) are
// joined to the work directory; these checks keep such a join inside it.
#pragma once

#include <string_view>

// True when name is non-empty, relative and has no ".." component, so that
// "<dir>/<name>" cannot leave <dir>.
[[nodiscard]] bool is_contained_name(std::string_view name);

// True when path has no ".." component (it may be absolute).
[[nodiscard]] bool has_no_parent_component(std::string_view path);
