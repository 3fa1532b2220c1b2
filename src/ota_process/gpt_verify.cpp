#include "gpt_verify.h"

#include <fcntl.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "boot_control.h"
#include "gpt_conf.h"
#include "gpt_entries.h"
#include "manifest.h"
#include "ota_log.h"
#include "unique_fd.h"
#include "worker_state.h"

namespace {

// A new check starts its sync table afresh.
void clear_sync_table() {
  g_ota_nor_sync_data = absync_misc_data{};
  g_pending_pair.clear();
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

bool lba_bytes(uint64_t lba, uint64_t block, uint64_t* out) {
  return !__builtin_mul_overflow(lba, block, out);
}

// Records an unchanged A/B NOR partition for the firmware's copy. The table holds 16
// pairs of 32-bit values, and a "_b" line must follow the "_a" line of the same name:
// anything else would send the firmware a copy between wrong places.
int32_t record_sync_pair(const std::string_view name, int32_t ab, uint64_t offset, uint64_t size) {
  absync_misc_data& t = g_ota_nor_sync_data;
  const std::string base(name.substr(0, name.size() - 2));
  if (offset > UINT32_MAX || size > UINT32_MAX) {
    OTA_LOG_ERR("nor partition %.*s does not fit the sync table\n", static_cast<int>(name.size()),
                name.data());
    return 1;
  }
  if (t.imagenum >= FLASHCMD_AB_MAX) {
    OTA_LOG_ERR("more than %zu nor A/B pairs to sync\n", FLASHCMD_AB_MAX);
    return 1;
  }
  if (ab == 1) {
    t.offsetA[t.imagenum] = static_cast<uint32_t>(offset);
    g_pending_pair = base;
    return 0;
  }
  if (g_pending_pair != base) {
    OTA_LOG_ERR("nor partition %s_b has no %s_a line before it\n", base.c_str(), base.c_str());
    return 1;
  }
  t.offsetB[t.imagenum] = static_cast<uint32_t>(offset);
  t.length[t.imagenum] = static_cast<uint32_t>(size);
  ++t.imagenum;
  g_pending_pair.clear();
  return 0;
}

struct LineState {
  gpt_entry* entries;
  uint32_t emmc_index = 0;
  uint32_t nor_order = 1;
  bool userdata_seen = false;
};

int32_t check_line(char* line, LineState* st) {
  char* tokens[GPT_CONF_FIELDS] = {};
  if (gpt_conf_split_line(line, tokens) != 0) {
    return -1;
  }
  int64_t medium = -1;
  if (!gpt_conf_number(tokens[3], &medium) ||
      (medium != GPT_CONF_MEDIUM_EMMC && medium != GPT_CONF_MEDIUM_NOR)) {
    OTA_LOG_ERR("gpt_conf medium error: %s\n", tokens[3]);
    return -1;
  }
  if (medium == GPT_CONF_MEDIUM_EMMC) {
    if (st->userdata_seen) {
      return 0;
    }
    if (st->emmc_index >= GPT_ENTRY_COUNT) {
      OTA_LOG_ERR("gpt_conf has more than %u emmc lines before userdata\n", GPT_ENTRY_COUNT);
      return -1;
    }
    const int32_t ret = emmc_gpt_cmp(&st->entries[st->emmc_index], tokens);
    if (ret < 0) {
      OTA_LOG_ERR("emmc partition verify failed\n");
      return -1;
    }
    st->userdata_seen = st->userdata_seen || ret == 1;
    ++st->emmc_index;
    return 0;
  }
  if (st->nor_order > UINT8_MAX) {
    OTA_LOG_ERR("gpt_conf has more than %d nor lines\n", UINT8_MAX);
    return -1;
  }
  if (nor_gpt_cmp(tokens, static_cast<uint8_t>(st->nor_order)) != 0) {
    OTA_LOG_ERR("nor partition verify failed\n");
    return -1;
  }
  ++st->nor_order;
  return 0;
}

int32_t read_disk_entries(const ota::UniqueFd& disk, int32_t lba, gpt_entry* entries) {
  static uint8_t raw[GPT_ENTRY_ARRAY_SIZE];
  const ssize_t got = ota::pread_full(disk.get(), raw, sizeof(raw), 2 * static_cast<off_t>(lba));
  const uint32_t count = got < 0 ? 0u : static_cast<uint32_t>(got) / GPT_ENTRY_SIZE;
  if (count < GPT_ENTRY_COUNT) {
    OTA_LOG_ERR("read short: %u\n", count);
    return -1;
  }
  const std::span<const uint8_t> all(raw, sizeof(raw));
  for (uint32_t i = 0; i < GPT_ENTRY_COUNT; ++i) {
    (void)decode(all.subspan(i * GPT_ENTRY_SIZE, GPT_ENTRY_SIZE), &entries[i]);
  }
  return 0;
}

}  // namespace

int32_t part_nor_check_is_abpart(char* part_name) {
  const std::string_view name(part_name == nullptr ? "" : part_name);
  if (name.size() < 2) {
    return 0;
  }
  if (name.ends_with("_a")) {
    return 1;
  }
  return name.ends_with("_b") ? 2 : 0;
}

int32_t part_nor_check_update_inpkg(char* part_name) {
  const std::string_view name(part_name == nullptr ? "" : part_name);
  if (name.size() < 2) {
    return -1;
  }
  const std::string_view base = name.substr(0, name.size() - 2);
  const update_info_t* info = ota_get_config_info();
  if (info == nullptr) {
    return 0;
  }
  for (int i = 0; i < info->update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const char* entry = info->update_partition[i];
    if (base == std::string_view(entry, strnlen(entry, OTA_PART_NAME_LEN))) {
      return 1;
    }
  }
  return 0;
}

int32_t nor_gpt_info_cmp(char* info_on_file, uint8_t order, char* info_on_nor) {
  char value[33] = {};
  if (ota_mtd_read_attr(order, info_on_nor, value, sizeof(value)) != 0) {
    return -1;
  }
  if (info_on_file == nullptr || std::strcmp(info_on_file, value) == 0) {
    return 0;
  }
  OTA_LOG_ERR("nor:%s and %s compare failed!\n", info_on_file, value);
  return -1;
}

int32_t nor_gpt_cmp(char** tokens, uint8_t order) {
  int64_t start = 0;
  int64_t end = 0;
  if (!gpt_conf_number(tokens[1], &start) || !gpt_conf_number(tokens[2], &end) || end < start ||
      end - start >= INT64_MAX - OTA_NOR_SIZE_PAD) {
    OTA_LOG_ERR("nor line %s has a bad range %s..%s\n", tokens[0], tokens[1], tokens[2]);
    return 1;
  }
  const uint64_t size = static_cast<uint64_t>(end - start) + 1;
  char offset_text[32] = {};
  char size_text[32] = {};
  std::snprintf(offset_text, sizeof(offset_text), "%ld", static_cast<long>(start));
  std::snprintf(size_text, sizeof(size_text), "%lu",
                static_cast<unsigned long>(size + OTA_NOR_SIZE_PAD));
  if (nor_gpt_info_cmp(tokens[0], order, const_cast<char*>("name")) != 0 ||
      nor_gpt_info_cmp(offset_text, order, const_cast<char*>("offset")) != 0 ||
      nor_gpt_info_cmp(size_text, order, const_cast<char*>("size")) != 0) {
    return 1;
  }
  const int32_t ab = part_nor_check_is_abpart(tokens[0]);
  if (ab != 0 && part_nor_check_update_inpkg(tokens[0]) != 1) {
    return record_sync_pair(tokens[0], ab, static_cast<uint64_t>(start), size);
  }
  return 0;
}

int32_t emmc_gpt_cmp(struct gpt_entry* gpt_entries, char** tokens) {
  const int32_t lba = get_lba_size(OTA_EMMC_DISK);
  if (lba <= 0) {
    OTA_LOG_ERR("Get LBA size failed\n");
    return -1;
  }
  char name[72] = {};
  convert_partname(gpt_entries->part_name, name);
  if (std::strcmp(name, "userdata") == 0) {
    return 1;
  }
  int64_t start = 0;
  int64_t end = 0;
  uint64_t disk_start = 0;
  uint64_t disk_end = 0;
  const bool numbers = gpt_conf_number(tokens[1], &start) && gpt_conf_number(tokens[2], &end) &&
                       lba_bytes(gpt_entries->start_lba, static_cast<uint64_t>(lba), &disk_start) &&
                       lba_bytes(gpt_entries->end_lba + 1, static_cast<uint64_t>(lba), &disk_end);
  if (numbers && std::strcmp(name, tokens[0]) == 0 && disk_start == static_cast<uint64_t>(start) &&
      disk_end - 1 == static_cast<uint64_t>(end)) {
    return 0;
  }
  OTA_LOG_ERR("GPT mismatch found at: file:%s vs on_disk:%s\n", tokens[0], name);
  return -1;
}

int32_t verify_gpt_config(const char* unzip_dir) {
  clear_sync_table();
  const int32_t lba = get_lba_size(OTA_EMMC_DISK);
  if (lba <= 0) {
    OTA_LOG_ERR("Cannot get LBA size\n");
    return -1;
  }
  ota::UniqueFd disk = ota::open_fd(OTA_EMMC_DISK, O_RDONLY);
  if (!disk) {
    OTA_LOG_ERR("mmc:%s not found!\n", OTA_EMMC_DISK);
    return -1;
  }
  const std::string conf_path = std::string(unzip_dir) + "/gpt.conf";
  ota::UniqueFile conf(std::fopen(conf_path.c_str(), "re"));
  if (conf == nullptr) {
    OTA_LOG_ERR("%s not found!\n", conf_path.c_str());
    return -1;
  }
  static gpt_entry entries[GPT_ENTRY_COUNT];
  if (read_disk_entries(disk, lba, entries) != 0) {
    return -1;
  }
  LineState st{.entries = entries};
  char* raw = nullptr;
  size_t cap = 0;
  ssize_t len = 0;
  while ((len = getline(&raw, &cap, conf.get())) >= 0) {
    std::unique_ptr<char, FreeDeleter> line(raw);
    raw = nullptr;
    cap = 0;
    if (len > 0 && line.get()[len - 1] == '\n') {
      line.get()[--len] = '\0';
    }
    if (len > 0 && line.get()[len - 1] == '\r') {
      line.get()[--len] = '\0';
    }
    if (len > 0 && check_line(line.get(), &st) != 0) {
      return -1;
    }
  }
  std::free(raw);
  // A layout without a partition line would pass without comparing anything.
  if (st.emmc_index == 0 && st.nor_order == 1) {
    OTA_LOG_ERR("%s holds no partition line\n", conf_path.c_str());
    return -1;
  }
  OTA_LOG_INFO("verify gpt config success!\n");
  return 0;
}

const absync_misc_data& ota_get_nor_sync_data() { return g_ota_nor_sync_data; }
