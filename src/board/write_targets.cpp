#include "write_targets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "gpt.h"
#include "gpt_entries.h"
#include "ota_log.h"
#include "slot_copy.h"
#include "unique_fd.h"

namespace {

constexpr std::array<std::string_view, 5> kReserved = {"misc", "veeprom", "flashcmd", "userdata",
                                                       "blk"};
constexpr uint32_t kMaxMtdParts = 255;

const char* medium_name(ota_medium_e medium) { return medium == OTA_NOR ? "nor" : "emmc"; }

std::string text(std::string_view s) { return std::string(s); }

// The partition `name` on `medium`; null when the board has none of that name, with the
// reason set when it has one on the other medium.
const ota_board_part_t* on_medium(std::span<const ota_board_part_t> board, const std::string& name,
                                  ota_medium_e medium, std::string* why) {
  const ota_board_part_t* p = ota_find_board_part(board, name);
  if (p != nullptr && p->medium != medium) {
    *why =
        "partition " + name + " is on " + medium_name(p->medium) + ", not " + medium_name(medium);
    return nullptr;
  }
  return p;
}

bool has(std::span<const ota_board_part_t> board, const std::string& name) {
  return ota_find_board_part(board, name) != nullptr;
}

// The base of a name ending in `suffix`, or empty.
std::string base_of(std::string_view name, std::string_view suffix) {
  return name.size() > suffix.size() && name.ends_with(suffix)
             ? text(name.substr(0, name.size() - suffix.size()))
             : std::string();
}

std::string ab_target(std::span<const ota_board_part_t> board, const std::string& name,
                      ota_medium_e medium, int32_t slot, std::string* why) {
  const ota_board_part_t* a = on_medium(board, name + "_a", medium, why);
  const ota_board_part_t* b = why->empty() ? on_medium(board, name + "_b", medium, why) : nullptr;
  if (a == nullptr || b == nullptr) {
    if (why->empty()) {
      *why = "declared AB, but the board has no " + name + "_a and " + name + "_b";
    }
    return {};
  }
  return name + (slot == 0 ? "_a" : "_b");
}

std::string bak_target(std::span<const ota_board_part_t> board, const std::string& name,
                       ota_medium_e medium, std::string* why) {
  const ota_board_part_t* main = on_medium(board, name, medium, why);
  const ota_board_part_t* bak =
      why->empty() ? on_medium(board, name + "_bak", medium, why) : nullptr;
  if (main == nullptr || bak == nullptr) {
    if (why->empty()) {
      *why = "declared BAK, but the board has no " + name + " and " + name + "_bak";
    }
    return {};
  }
  return name;
}

// A partition of its own: one the names show to be nothing else.
std::string single_target(std::span<const ota_board_part_t> board, const std::string& name,
                          ota_medium_e medium, std::string* why) {
  if (has(board, name + "_a") || has(board, name + "_b")) {
    *why = "the board has " + name + "_a and " + name + "_b: an A/B pair, declare it AB";
    return {};
  }
  if (has(board, name + "_bak")) {
    *why = "the board has " + name + "_bak: a main/backup pair, declare it BAK";
    return {};
  }
  for (const char* suffix : {"_a", "_b"}) {
    const std::string base = base_of(name, suffix);
    if (!base.empty() && has(board, base + "_a") && has(board, base + "_b")) {
      *why = "a half of the A/B pair " + base + ": declare " + base +
             " as AB, the engine writes the slot that is not running";
      return {};
    }
  }
  const std::string main = base_of(name, "_bak");
  if (!main.empty() && has(board, main)) {
    *why = "the backup of " + main + ", written only by the partition sync";
    return {};
  }
  if (on_medium(board, name, medium, why) == nullptr) {
    if (why->empty()) {
      *why = "the board has no partition " + name;
    }
    return {};
  }
  return name;
}

bool parse_u64(const char* s, uint64_t* out) {
  const char* end = s + std::strlen(s);
  const auto [ptr, ec] = std::from_chars(s, end, *out);
  return ec == std::errc() && ptr == end && ptr != s;
}

// The GPT entries of the disk, read at LBA 2 by the disk's block size.
int32_t read_emmc_parts(std::vector<ota_board_part_t>* out) {
  const int32_t lba = get_lba_size(OTA_EMMC_DISK);
  const ota::UniqueFd disk = ota::open_fd(OTA_EMMC_DISK, O_RDONLY);
  static uint8_t raw[GPT_ENTRY_ARRAY_SIZE];
  if (lba <= 0 || !disk ||
      ota::pread_full(disk.get(), raw, sizeof(raw), 2 * static_cast<off_t>(lba)) !=
          static_cast<ssize_t>(sizeof(raw))) {
    OTA_LOG_ERR("the partition table of %s cannot be read\n", OTA_EMMC_DISK);
    return -1;
  }
  for (uint32_t i = 0; i < GPT_ENTRY_COUNT; ++i) {
    gpt_entry e{};
    (void)decode(std::span<const uint8_t>(raw + i * GPT_ENTRY_SIZE, GPT_ENTRY_SIZE), &e);
    if ((e.part_type_guid_low == 0 && e.part_type_guid_high == 0) || e.end_lba < e.start_lba) {
      continue;
    }
    const auto block = static_cast<uint64_t>(lba);
    out->push_back(
        {gpt_name(e), OTA_EMMC, e.start_lba * block, (e.end_lba - e.start_lba + 1) * block});
  }
  return 0;
}

bool mtd_exists(uint32_t order) {
  char dir[64];
  std::snprintf(dir, sizeof(dir), "%s%u", OTA_MTD_SYSFS, order);
  return ::access(dir, F_OK) == 0;
}

int32_t read_nor_parts(std::vector<ota_board_part_t>* out) {
  for (uint32_t order = 1; order <= kMaxMtdParts && mtd_exists(order); ++order) {
    char name[33] = {};
    char offset[33] = {};
    char size[33] = {};
    ota_board_part_t p;
    p.medium = OTA_NOR;
    if (ota_mtd_read_attr(order, "name", name, sizeof(name)) != 0 ||
        ota_mtd_read_attr(order, "offset", offset, sizeof(offset)) != 0 ||
        ota_mtd_read_attr(order, "size", size, sizeof(size)) != 0 ||
        !parse_u64(offset, &p.offset) || !parse_u64(size, &p.size)) {
      OTA_LOG_ERR("mtd%u: name, offset or size unreadable in %s%u\n", order, OTA_MTD_SYSFS, order);
      return -1;
    }
    p.name = name;
    out->push_back(std::move(p));
  }
  return 0;
}

}  // namespace

bool ota_is_reserved_part(std::string_view name) {
  for (const std::string_view r : kReserved) {
    if (name == r) {
      return true;
    }
  }
  return false;
}

const ota_board_part_t* ota_find_board_part(std::span<const ota_board_part_t> board,
                                            std::string_view name) {
  for (const ota_board_part_t& p : board) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

std::string ota_write_target(std::span<const ota_board_part_t> board, std::string_view name,
                             ota_part_type_e type, ota_medium_e medium, int32_t slot,
                             std::string* why) {
  std::string reason;
  std::string target;
  const std::string n(name);
  if (ota_is_reserved_part(name)) {
    reason = "a record of the engine or the firmware, the user data or the whole disk";
  } else if (name.empty() || name.find('/') != std::string_view::npos) {
    reason = "not a partition name";
  } else if (type == AB) {
    target = slot == 0 || slot == 1 ? ab_target(board, n, medium, slot, &reason) : std::string();
    if (target.empty() && reason.empty()) {
      reason = "no slot to write";
    }
  } else if (type == BAK) {
    target = bak_target(board, n, medium, &reason);
  } else if (type == GOLDEN || type == PERMANENT) {
    target = single_target(board, n, medium, &reason);
  } else {
    reason = "unknown partition type " + std::to_string(static_cast<int>(type));
  }
  if (why != nullptr) {
    *why = reason;
  }
  return reason.empty() ? target : std::string();
}

int32_t ota_read_board_parts(std::vector<ota_board_part_t>* out) {
  if (out == nullptr) {
    return -1;
  }
  out->clear();
  return read_emmc_parts(out) == 0 && read_nor_parts(out) == 0 ? 0 : -1;
}

bool ota_is_block_device(const char* path) {
  struct stat st {};
  if (path == nullptr || ::stat(path, &st) != 0) {
    OTA_LOG_ERR("%s is not a device of the board: %s\n", path == nullptr ? "(null)" : path,
                std::strerror(errno));
    return false;
  }
  if (!S_ISBLK(st.st_mode)) {
    OTA_LOG_ERR("%s is not a block device of the board: refused as a target\n", path);
    return false;
  }
  return true;
}
