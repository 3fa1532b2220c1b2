#include "pack_description.h"

#include <fstream>
#include <set>
#include <sstream>

namespace ota::pack {

using tool::Error;
using tool::Result;

namespace {

constexpr int kInvalid = EINVAL;

const std::set<std::string, std::less<>> kStringKeys = {"sys_version", "old_sys_version",
                                                        "backup_dir"};
const std::set<std::string, std::less<>> kIntKeys = {
    "ab_sync", "nor_sign", "non_pcv", "antirollbackUpdate_host", "antirollbackUpdate_hsm"};

std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  std::string w;
  while (in >> w) {
    words.push_back(w);
  }
  return words;
}

std::string resolve(const std::string& base_dir, const std::string& file) {
  return (file.empty() || file.front() == '/' || base_dir.empty()) ? file : base_dir + "/" + file;
}

Result<void> parse_option(PartSpec* part, const std::string& word, const std::string& base_dir) {
  const size_t eq = word.find('=');
  const std::string key = word.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
  if (word == "anti_ver") {
    part->anti_ver = true;
  } else if (key == "name" && !value.empty()) {
    part->name_template = value;
  } else if (key == "old" && !value.empty()) {
    part->old_image = resolve(base_dir, value);
  } else if (key == "medium" && (value == "emmc" || value == "nor")) {
    part->medium = value;
  } else if (key == "type" &&
             (value == "AB" || value == "GOLDEN" || value == "BAK" || value == "PERMANENT")) {
    part->type = value;
  } else if (key == "method" && (value == "image" || value == "image_diff")) {
    part->method = value;
  } else {
    return Error(kInvalid, "unknown or malformed option '" + word + "'");
  }
  return {};
}

Result<PartSpec> parse_part(const std::vector<std::string>& w, const std::string& base_dir) {
  if (w.size() < 3) {
    return Error(kInvalid, "expected 'part NAME IMAGE [options]'");
  }
  PartSpec part;
  part.name = w[1];
  part.image = resolve(base_dir, w[2]);
  for (size_t i = 3; i < w.size(); ++i) {
    if (auto r = parse_option(&part, w[i], base_dir); !r) {
      return r.error();
    }
  }
  if ((part.method == "image_diff") != !part.old_image.empty()) {
    return Error(kInvalid, "method=image_diff and old=IMAGE go together");
  }
  return part;
}

Result<void> parse_key(Description* d, const std::vector<std::string>& w) {
  if (w.size() != 3) {
    return Error(kInvalid, "expected 'key NAME VALUE'");
  }
  if (kIntKeys.contains(w[1])) {
    if (w[2].find_first_not_of("0123456789") != std::string::npos || w[2].size() > 9) {
      return Error(kInvalid, "key " + w[1] + " takes a number, not '" + w[2] + "'");
    }
  } else if (!kStringKeys.contains(w[1])) {
    return Error(kInvalid, "unknown manifest key '" + w[1] + "'");
  }
  for (const auto& [name, value] : d->keys) {
    if (name == w[1]) {
      return Error(kInvalid, "key " + w[1] + " given twice");
    }
  }
  d->keys.emplace_back(w[1], w[2]);
  return {};
}

Result<void> parse_line(Description* d, const std::vector<std::string>& w,
                        const std::string& base_dir) {
  const std::string& kind = w[0];
  if (kind == "format" && w.size() == 2 && (w[1] == "zip" || w[1] == "tar")) {
    d->format = w[1] == "zip" ? Format::kZip : Format::kTar;
  } else if (kind == "layout" && w.size() == 2) {
    d->layout = w[1] == "default" ? w[1] : resolve(base_dir, w[1]);
  } else if (kind == "worker" && w.size() == 2) {
    d->worker = resolve(base_dir, w[1]);
  } else if (kind == "key") {
    return parse_key(d, w);
  } else if (kind == "part") {
    auto part = parse_part(w, base_dir);
    if (!part) {
      return part.error();
    }
    d->parts.push_back(std::move(part).value());
  } else if (kind == "file" && w.size() == 3) {
    d->files.emplace_back(w[1], resolve(base_dir, w[2]));
  } else if (kind == "hook" && w.size() == 4 && (w[1] == "pre" || w[1] == "post")) {
    d->files.emplace_back((w[1] == "pre" ? "preinst_" : "postinst_") + w[2] + ".sh",
                          resolve(base_dir, w[3]));
  } else {
    return Error(kInvalid, "cannot read '" + kind + "' line");
  }
  return {};
}

}  // namespace

Result<Description> parse_description(std::string_view text, const std::string& base_dir) {
  Description d;
  std::istringstream in{std::string(text)};
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::vector<std::string> w = split_words(line.substr(0, line.find('#')));
    if (w.empty()) {
      continue;
    }
    if (auto r = parse_line(&d, w, base_dir); !r) {
      return std::move(r.error().context("line " + std::to_string(number)));
    }
    if (w[0] == "part") {
      d.parts.back().line = number;
    }
  }
  return d;
}

Result<Description> load_description(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    return tool::errno_error("open " + path);
  }
  std::stringstream text;
  text << in.rdbuf();
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
  auto d = parse_description(text.str(), base);
  if (!d) {
    return std::move(d.error().context(path));
  }
  return d;
}

}  // namespace ota::pack
