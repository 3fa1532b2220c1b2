// The A/B partitions a package does not carry are copied from the running slot into the
// slot being updated, so that the new slot boots with a complete set.
#include <cstdio>
#include <cstring>

#include "ab_copy.h"
#include "boot_control.h"
#include "device_io.h"
#include "gpt_entries.h"
#include "manifest.h"
#include "ota_log.h"
#include "partition_md5.h"
#include "partition_sequence.h"
#include "slot_copy.h"
#include "veeprom_flag.h"

namespace {

constexpr const char* kByName = "/dev/block/platform/by-name/";
constexpr size_t kDevPathLen = 256;

// Scratch for the partition table read: 16 KiB, kept off the stack like the other large
// buffers; the worker reads the table from one thread at a time.
gpt_entry g_gpt_entries[GPT_ENTRY_COUNT];

bool in_list(const char abparts[OTA_AB_LIST_MAX][OTA_AB_NAME_LEN], const char* name) {
  for (int i = 0; i < OTA_AB_LIST_MAX && abparts[i][0] != '\0'; ++i) {
    if (std::strcmp(abparts[i], name) == 0) {
      return true;
    }
  }
  return false;
}

void add_to_list(char abparts[OTA_AB_LIST_MAX][OTA_AB_NAME_LEN], const char* name) {
  for (int i = 0; i < OTA_AB_LIST_MAX; ++i) {
    if (abparts[i][0] == '\0') {
      std::snprintf(abparts[i], OTA_AB_NAME_LEN, "%s", name);
      return;
    }
  }
}

// Updated partitions protect their eMMC A/B namesakes only; a NOR partition of the same
// name lives elsewhere.
bool was_updated(const update_part_t* parts, const char* name) {
  const uint32_t num = parts->num < OTA_UPDATE_PART_MAX ? parts->num : OTA_UPDATE_PART_MAX;
  for (uint32_t i = 0; i < num; ++i) {
    if (parts->type[i] == AB && parts->medium[i] != OTA_NOR &&
        std::strncmp(parts->array[i], name, OTA_AB_NAME_LEN) == 0) {
      return true;
    }
  }
  return false;
}

int32_t copy_one(const char* name, int32_t update_slot) {
  OTA_LOG_INFO("Copy %s to the opposite slot\n", name);
  const char* from = update_slot == 0 ? "_b" : "_a";
  const char* to = update_slot == 0 ? "_a" : "_b";
  char source[kDevPathLen];
  char dest[kDevPathLen];
  const int n1 = std::snprintf(source, sizeof(source), "%s%s%s", kByName, name, from);
  const int n2 = std::snprintf(dest, sizeof(dest), "%s%s%s", kByName, name, to);
  if (n1 < 0 || n2 < 0 || static_cast<size_t>(n1) >= sizeof(source) ||
      static_cast<size_t>(n2) >= sizeof(dest)) {
    OTA_LOG_ERR("Failed to copy %s to the opposite\n", name);
    return -1;
  }
  // The proof is gathered while copying: the source's digest from the copy's own read,
  // the destination read back behind the write.
  ota::CopyProof proof;
  if (copy_part_proven(source, dest, &proof) != 0) {
    OTA_LOG_ERR("Failed to copy %s to the opposite\n", name);
    return -1;
  }
  OTA_LOG_INFO("Start to check md5 of %s and %s\n", source, dest);
  if (ota_check_copied_partition_md5(source, dest, proof) != 0) {
    OTA_LOG_ERR("Copy %s to oppsite failed\n", name);
    return -1;
  }
  return 0;
}

}  // namespace

int32_t get_all_ab_partitions(char abparts[OTA_AB_LIST_MAX][OTA_AB_NAME_LEN]) {
  if (abparts == nullptr || emmc_gpt_entry_read(g_gpt_entries) != 0) {
    OTA_LOG_ERR("reading mmc GPT failed\n");
    return -1;
  }
  for (gpt_entry& entry : g_gpt_entries) {
    char name[GPT_NAME_UNITS + 1] = {};
    convert_partname(entry.part_name, name);
    const size_t len = std::strlen(name);
    if (len <= 2 || name[len - 2] != '_' || (name[len - 1] != 'a' && name[len - 1] != 'b')) {
      continue;
    }
    name[len - 2] = '\0';
    if (!in_list(abparts, name)) {
      add_to_list(abparts, name);
    }
  }
  return 0;
}

int32_t copy_unupgraded_ab_parts() {
  static char abparts[OTA_AB_LIST_MAX][OTA_AB_NAME_LEN];
  std::memset(abparts, 0, sizeof(abparts));
  if (get_all_ab_partitions(abparts) != 0) {
    OTA_LOG_ERR("get ab partitions failed\n");
    return -1;
  }
  const update_part_t* parts = get_update_part();
  if (parts == nullptr) {
    OTA_LOG_ERR("get update part error!");
    return -1;
  }
  const int32_t update_slot = ota_get_update_slot();
  if (update_slot != 0 && update_slot != 1) {
    OTA_LOG_ERR("Get update slot failed\n");
    return -1;
  }
  for (const char* name : abparts) {
    if (name[0] == '\0' || was_updated(parts, name)) {
      continue;
    }
    if (copy_one(name, update_slot) != 0) {
      return -1;
    }
  }
  return 0;
}
