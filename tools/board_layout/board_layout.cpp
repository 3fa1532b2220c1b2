#include "board_layout.h"

#include <fstream>
#include <set>
#include <sstream>

namespace ota::board {

using tool::Error;
using tool::Result;

namespace {

constexpr int kInvalid = EINVAL;

std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  std::string w;
  while (in >> w) {
    words.push_back(w);
  }
  return words;
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLen) {
    return false;
  }
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

uint64_t align_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// One "emmc"/"nor" line: NAME SIZE [ab|bak] [ext4] -> one or two partitions.
Result<std::vector<Partition>> parse_partition(Medium medium, const std::vector<std::string>& w) {
  if (w.size() < 3) {
    return Error(kInvalid, "expected '" + w[0] + " NAME SIZE [ab|bak] [ext4]'");
  }
  auto size = parse_size(w[2]);
  if (!size) {
    return size.error();
  }
  bool ab = false;
  bool bak = false;
  bool ext4 = false;
  for (size_t i = 3; i < w.size(); ++i) {
    if (w[i] == "ab") {
      ab = true;
    } else if (w[i] == "bak") {
      bak = true;
    } else if (w[i] == "ext4" && medium == Medium::emmc) {
      ext4 = true;
    } else {
      return Error(kInvalid, "unknown flag '" + w[i] + "'");
    }
  }
  if (ab && bak) {
    return Error(kInvalid, "a partition is either 'ab' or 'bak', not both");
  }
  std::vector<std::string> names;
  if (ab) {
    names = {w[1] + "_a", w[1] + "_b"};
  } else if (bak) {
    names = {w[1], w[1] + "_bak"};
  } else {
    names = {w[1]};
  }
  std::vector<Partition> parts;
  for (auto& n : names) {
    if (!valid_name(n)) {
      return Error(kInvalid, "bad partition name '" + n + "' (1 to 31 of A-Z a-z 0-9 _ -)");
    }
    Partition p;
    p.name = n;
    p.medium = medium;
    p.size = size.value();
    p.ext4 = ext4;
    parts.push_back(p);
  }
  return parts;
}

Result<void> parse_line(Layout& layout, std::string_view line) {
  const auto hash = line.find('#');
  const auto words = split_words(line.substr(0, hash));
  if (words.empty()) {
    return {};
  }
  const std::string& key = words[0];
  if (key == "emmc" || key == "nor") {
    auto parts = parse_partition(key == "emmc" ? Medium::emmc : Medium::nor, words);
    if (!parts) {
      return parts.error();
    }
    auto& dst = key == "emmc" ? layout.emmc : layout.nor;
    dst.insert(dst.end(), parts->begin(), parts->end());
    return {};
  }
  if (key == "boardinfo") {
    if (words.size() < 3 || !valid_name(words[1])) {
      return Error(kInvalid, "expected 'boardinfo KEY VALUE...'");
    }
    std::string value = words[2];
    for (size_t i = 3; i < words.size(); ++i) {
      value += " " + words[i];
    }
    if (value.size() > kMaxInfoValue) {
      return Error(kInvalid, "board value of '" + words[1] + "' longer than 31 bytes");
    }
    layout.boardinfo[words[1]] = value;
    return {};
  }
  if (key == "lifecycle") {
    if (words.size() != 2) {
      return Error(kInvalid, "expected 'lifecycle NAME'");
    }
    layout.lifecycle = words[1];
    return {};
  }
  return Error(kInvalid, "unknown keyword '" + key + "'");
}

Result<void> check_emmc(const Layout& layout) {
  if (layout.emmc.empty() || layout.emmc.back().name != "userdata") {
    return Error(kInvalid, "the last eMMC partition must be 'userdata'");
  }
  if (layout.emmc.size() > kMaxEmmcParts) {
    return Error(kInvalid, "more than 128 eMMC partitions");
  }
  const std::pair<const char*, uint64_t> needed[] = {
      {"misc", 4096}, {"veeprom", 4096}, {"flashcmd", 16384}};
  for (const auto& [name, min] : needed) {
    const Partition* p = layout.find(name);
    if (p == nullptr || p->medium != Medium::emmc) {
      return Error(kInvalid, std::string("the eMMC partition '") + name + "' is missing");
    }
    if (p->size < min) {
      return Error(kInvalid,
                   std::string("'") + name + "' needs at least " + std::to_string(min) + " bytes");
    }
  }
  for (const auto& p : layout.emmc) {
    if (p.size == 0 || p.size % 4096 != 0) {
      return Error(kInvalid, "size of '" + p.name + "' is not a non-zero multiple of 4096");
    }
    if (p.ext4 && p.size < 1024 * 1024) {
      return Error(kInvalid, "ext4 partition '" + p.name + "' needs at least 1M");
    }
  }
  return {};
}

Result<void> check_nor(const Layout& layout) {
  for (const auto& p : layout.nor) {
    if (p.size == 0 || p.size % kNorSizeUnit != 0) {
      return Error(kInvalid, "size of '" + p.name + "' is not a non-zero multiple of 4096");
    }
  }
  if (layout.nor_ab_pairs().size() > kMaxNorPairs) {
    return Error(kInvalid, "more than 16 NOR A/B pairs");
  }
  return {};
}

Result<void> validate(const Layout& layout) {
  std::set<std::string> seen;
  for (const auto* list : {&layout.emmc, &layout.nor}) {
    for (const auto& p : *list) {
      if (!seen.insert(p.name).second) {
        return Error(kInvalid, "partition '" + p.name + "' appears twice");
      }
    }
  }
  if (seen.count("blk") != 0) {
    return Error(kInvalid, "'blk' names the whole disk and cannot be a partition");
  }
  if (auto r = check_emmc(layout); !r) {
    return r;
  }
  return check_nor(layout);
}

void place(Layout& layout) {
  uint64_t at = kEmmcFirstLba * kSectorSize;
  for (auto& p : layout.emmc) {
    p.offset = at;
    at = align_up(at + p.size, kEmmcAlign);
  }
  // One spare MiB after the last partition, whose tail holds the backup GPT.
  layout.emmc_size = at + kEmmcAlign;
  uint64_t nor_at = 0;
  unsigned mtd = 1;
  // Every NOR partition starts on an erase block: flash that must be erased before it is
  // programmed cannot rewrite a partition that shares its first or last block with a neighbour.
  for (auto& p : layout.nor) {
    p.offset = nor_at;
    p.mtd = mtd++;
    nor_at = align_up(nor_at + p.mtd_size(), kNorEraseSize);
  }
  layout.nor_size = nor_at == 0 ? kNorEraseSize : nor_at;
}

}  // namespace

Result<uint64_t> parse_size(std::string_view text) {
  if (text.empty()) {
    return Error(kInvalid, "empty size");
  }
  uint64_t unit = 1;
  std::string_view digits = text;
  switch (text.back()) {
    case 'K':
      unit = 1024;
      break;
    case 'M':
      unit = 1024 * 1024;
      break;
    case 'G':
      unit = 1024ULL * 1024 * 1024;
      break;
    default:
      break;
  }
  if (unit != 1) {
    digits.remove_suffix(1);
  }
  if (digits.empty() || digits.size() > 12) {
    return Error(kInvalid, "bad size '" + std::string(text) + "'");
  }
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return Error(kInvalid, "bad size '" + std::string(text) + "'");
    }
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v * unit > 64ULL * 1024 * 1024 * 1024) {
    return Error(kInvalid, "size '" + std::string(text) + "' above 64G");
  }
  return v * unit;
}

const Partition* Layout::find(std::string_view name) const {
  for (const auto* list : {&emmc, &nor}) {
    for (const auto& p : *list) {
      if (p.name == name) {
        return &p;
      }
    }
  }
  return nullptr;
}

std::vector<std::pair<const Partition*, const Partition*>> Layout::nor_ab_pairs() const {
  std::vector<std::pair<const Partition*, const Partition*>> pairs;
  for (const auto& p : nor) {
    if (p.name.size() > 2 && p.name.ends_with("_a")) {
      const Partition* b = find(p.name.substr(0, p.name.size() - 2) + "_b");
      if (b != nullptr && b->medium == Medium::nor) {
        pairs.emplace_back(&p, b);
      }
    }
  }
  return pairs;
}

std::vector<std::pair<const Partition*, const Partition*>> Layout::backup_pairs() const {
  std::vector<std::pair<const Partition*, const Partition*>> pairs;
  for (const auto& p : emmc) {
    const Partition* bak = find(p.name + "_bak");
    if (bak != nullptr && bak->medium == Medium::emmc) {
      pairs.emplace_back(&p, bak);
    }
  }
  return pairs;
}

Result<Layout> parse_layout(std::string_view text) {
  Layout layout;
  layout.lifecycle = "DEVELOP";
  size_t line_no = 0;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    const auto line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    ++line_no;
    if (auto r = parse_line(layout, line); !r) {
      return std::move(r.error().context("line " + std::to_string(line_no)));
    }
  }
  // Same-size pairs: the firmware copies whole partitions between them.
  for (const auto& [a, b] : layout.nor_ab_pairs()) {
    if (a->size != b->size) {
      return Error(kInvalid, "'" + a->name + "' and '" + b->name + "' differ in size");
    }
  }
  for (const auto& [main, bak] : layout.backup_pairs()) {
    if (main->size != bak->size) {
      return Error(kInvalid, "'" + main->name + "' and '" + bak->name + "' differ in size");
    }
  }
  if (auto r = validate(layout); !r) {
    return r.error();
  }
  place(layout);
  return layout;
}

Result<Layout> load_layout(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    return tool::errno_error("open layout " + path);
  }
  std::stringstream ss;
  ss << in.rdbuf();
  auto parsed = parse_layout(ss.str());
  if (!parsed) {
    parsed.error().context(path);
  }
  return parsed;
}

std::string gpt_conf_text(const Layout& layout) {
  std::string out;
  for (const auto* list : {&layout.emmc, &layout.nor}) {
    for (const auto& p : *list) {
      out += p.name + ":" + std::to_string(p.offset) + ":" + std::to_string(p.offset + p.size - 1) +
             ":" + (p.medium == Medium::emmc ? "1" : "0") + "\n";
    }
  }
  return out;
}

}  // namespace ota::board
