// Makes an update package from a description: data.json with digests and scopes
// computed from the images, gpt.conf from the board layout, and the archive.
#pragma once

#include <string>

#include "board_layout.h"
#include "pack_description.h"
#include "tool_result.h"

namespace ota::pack {

// The image name a template gives on a board of this layout, by the same rules the
// worker applies: lifecycle suffixes of key, SBL and security-module images, and board
// variables ($name, ${name}) from the layout's board information.
[[nodiscard]] tool::Result<std::string> expand_image_name(const std::string& tmpl,
                                                          const board::Layout& layout,
                                                          bool nor_sign);

// The manifest text for a checked description (digests computed from the images).
// Patches of image_diff parts are expected in patch_dir as "<member>".
[[nodiscard]] tool::Result<std::string> build_manifest(const Description& d,
                                                       const board::Layout& layout);

// Checks the description against the layout and writes the package to output.
[[nodiscard]] tool::Result<void> make_package(const Description& d, const std::string& output);

}  // namespace ota::pack
