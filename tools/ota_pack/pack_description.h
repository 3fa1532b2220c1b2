// The package builder's input: a short text naming the partitions to carry, their image
// files and how to write them, the board layout the package is for, and what else goes
// into the archive. The format is documented in README.md ("Making a package").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tool_result.h"

namespace ota::pack {

enum class Format { kZip, kTar };

struct PartSpec {
  std::string name;              // partition base name as the manifest carries it
  std::string image;             // the (new) image file
  std::string old_image;         // image_diff: the image the running slot holds
  std::string name_template;     // "imgname"; empty: "<name>.img" or "<name>_diff.img"
  std::string medium;            // "emmc" / "nor"; empty: from the layout
  std::string type;              // "AB", "GOLDEN", "BAK", "PERMANENT"; empty: from the layout
  std::string method = "image";  // "image" or "image_diff"
  bool anti_ver = false;         // the image carries an anti-rollback version
  int line = 0;
};

struct Description {
  Format format = Format::kZip;
  std::string layout = "default";                         // "default" or a layout file
  std::string worker;                                     // the ota_process executable, optional
  std::vector<std::pair<std::string, std::string>> keys;  // top-level manifest keys
  std::vector<PartSpec> parts;
  std::vector<std::pair<std::string, std::string>> files;  // member name, source file
  std::string sign_key;  // Ed25519 private key (PEM): the package gets signed (ota_pack --sign)
};

// Parses a description; relative file names are taken from base_dir. Errors name the
// line and what is wrong with it.
[[nodiscard]] tool::Result<Description> parse_description(std::string_view text,
                                                          const std::string& base_dir);
[[nodiscard]] tool::Result<Description> load_description(const std::string& path);

}  // namespace ota::pack
