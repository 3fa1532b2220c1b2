#include "write_checks.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "boot_control.h"
#include "mtd_flash.h"
#include "ota_log.h"
#include "write_targets.h"

namespace {

const char* type_name(ota_part_type_e type) {
  static const char* const kNames[] = {"GOLDEN", "AB", "BAK", "PERMANENT"};
  return type >= GOLDEN && type <= PERMANENT ? kNames[type] : "?";
}

bool is_table_entry(const char* name) {
  return std::strncmp(name, "gpt_main", 8) == 0 || std::strncmp(name, "gpt_backup", 10) == 0;
}

bool is_digest(const char* text) {
  if (std::strlen(text) != OTA_MD5_STR_LEN - 1) {
    return false;
  }
  for (const char* c = text; *c != '\0'; ++c) {
    if (std::isxdigit(static_cast<unsigned char>(*c)) == 0) {
      return false;
    }
  }
  return true;
}

bool proof_is_whole(const partition_info_t& e, int index) {
  if (!is_digest(e.md5[index])) {
    OTA_LOG_ERR("partition %s: md5sum %d \"%s\" is not a digest of 32 hexadecimal characters\n",
                e.part_name, index, e.md5[index]);
    return false;
  }
  if (e.md5_scope[index] == 0) {
    OTA_LOG_ERR("partition %s: md5_scope %d is 0 or not a number: it would prove nothing\n",
                e.part_name, index);
    return false;
  }
  return true;
}

// The device the burn or the patch will open, as the engine names it, must be the
// target the rule chose.
bool device_is(const partition_info_t& e, const std::string& target) {
  char current[OTA_DEV_PATH_LEN] = {};
  char opposite[OTA_DEV_PATH_LEN] = {};
  const std::string want = std::string(OTA_DEV_DIR) + target;
  if (get_part_device_name(e.part_name, current, opposite, e.type) != 0 || want != opposite) {
    OTA_LOG_ERR("partition %s: the engine would write %s, not %s\n", e.part_name, opposite,
                want.c_str());
    return false;
  }
  // A NOR image may also be burnt into the partition's MTD character device, which the
  // NOR writer erases first; a patch is written only through a block device.
  if (e.medium == OTA_NOR && e.method == IMAGE_UP && ota_is_mtd_char_device(opposite)) {
    return true;
  }
  return ota_is_block_device(opposite);
}

bool check_entry(const std::vector<ota_board_part_t>& board, const partition_info_t& e,
                 int32_t slot, int32_t running) {
  std::string why;
  const std::string target = ota_write_target(board, e.part_name, e.type, e.medium, slot, &why);
  if (target.empty()) {
    OTA_LOG_ERR("partition %s (%s on %s) refused: %s\n", e.part_name, type_name(e.type),
                e.medium == OTA_NOR ? "nor" : "emmc", why.c_str());
    return false;
  }
  if (!device_is(e, target)) {
    OTA_LOG_ERR("partition %s refused: its target %s is not a device of the board\n", e.part_name,
                target.c_str());
    return false;
  }
  if (e.method != IMAGE_DIFF_UP) {
    return true;
  }
  if (e.type != AB) {
    OTA_LOG_ERR("partition %s refused: an incremental image needs an A/B partition\n", e.part_name);
    return false;
  }
  const std::string source = std::string(OTA_DEV_DIR) + e.part_name + (running == 0 ? "_a" : "_b");
  return ota_is_block_device(source.c_str());
}

}  // namespace

int32_t ota_check_write_targets(const update_info_t& info) {
  std::vector<ota_board_part_t> board;
  if (ota_read_board_parts(&board) != 0) {
    OTA_LOG_ERR("the board's partitions cannot be read: no target can be checked\n");
    return -1;
  }
  const int32_t running = ota_get_cur_slot();
  const int32_t slot = ota_get_update_slot();
  if ((slot != 0 && slot != 1) || (running != 0 && running != 1) || slot == running) {
    OTA_LOG_ERR("the slot to write (%d) is not the slot that is not running (%d)\n", slot, running);
    return -1;
  }
  for (int32_t i = 0; i < info.update_size && i < OTA_MAX_PARTITIONS; ++i) {
    if (!is_table_entry(info.update_partition[i]) &&
        !check_entry(board, info.partition_info[i], slot, running)) {
      return -1;
    }
  }
  return 0;
}

int32_t ota_check_proofs(const update_info_t& info, bool recovery) {
  for (int32_t i = 0; i < info.update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const partition_info_t& e = info.partition_info[i];
    if (!recovery && is_table_entry(info.update_partition[i])) {
      continue;  // never written in normal mode
    }
    if (recovery) {
      // The rewrite proves the image file's whole length at its place.
      if (!is_digest(e.md5[0])) {
        OTA_LOG_ERR("partition %s: md5sum \"%s\" is not a digest of 32 hexadecimal characters\n",
                    e.part_name, e.md5[0]);
        return -1;
      }
      if (e.img_size == 0 || e.img_size == UINT64_MAX) {
        OTA_LOG_ERR("partition %s: image %s is missing or empty: nothing to write or prove\n",
                    e.part_name, e.part_file);
        return -1;
      }
      continue;
    }
    if (!proof_is_whole(e, 0) || (e.method == IMAGE_DIFF_UP && !proof_is_whole(e, 1))) {
      return -1;
    }
  }
  return 0;
}

bool ota_scope_covers(const char* part_name, const char* what, uint64_t scope, uint64_t written) {
  if (written > 0 && written <= scope) {
    return true;
  }
  OTA_LOG_ERR(
      "partition %s: %s covers %llu bytes, its md5_scope %llu: %s\n", part_name, what,
      static_cast<unsigned long long>(written), static_cast<unsigned long long>(scope),
      written == 0 ? "an empty image proves nothing" : "the proof would leave bytes unproven");
  return false;
}
