#include "board_status.h"

#include <array>
#include <cstring>
#include <string>

#include "boot_control.h"
#include "road_record.h"
#include "road_state.h"
#include "veeprom_flag.h"

namespace ota_tool {

namespace {

using ota::tool::Error;
using ota::tool::Result;

const char* flag_name(uint32_t flag) {
  static constexpr std::array<const char*, 4> kNames = {"NORMAL", "BURN", "VERIFY", "VERIFIED"};
  return flag < kNames.size() ? kNames[flag] : "INVALID";
}

const char* owner_name(uint32_t owner) {
  static constexpr std::array<const char*, 3> kNames = {"NORMAL_BOOT", "OTA_TOOL", "OTA_SERVICE"};
  return owner < kNames.size() ? kNames[owner] : "INVALID";
}

Result<void> print_status_record(std::FILE* out) {
  std::array<char, sizeof(ota_status_t)> text{};
  if (ota_read_from_veeprom(text.data(), text.size(), OTA_STATUS_OFFSET) != 0) {
    return Error(EIO, "reading the OTA status record from veeprom failed");
  }
  std::array<uint8_t, sizeof(ota_status_t)> raw{};
  std::memcpy(raw.data(), text.data(), raw.size());
  ota_status_t st{};
  (void)decode(raw, &st);
  const bool valid = st.magic == OTA_STATUS_MAGIC && ota_status_crc(st) == st.crc32_le;
  std::fprintf(out, "OTA status record: %s\n", valid ? "valid" : "INVALID (defaults apply)");
  std::fprintf(out, "  update %s, system %s, backup copy %s, app %s, middleware %s, param %s\n",
               flag_name(st.up), flag_name(st.up_system), flag_name(st.up_backup),
               flag_name(st.up_app), flag_name(st.up_middleware), flag_name(st.up_param));
  std::fprintf(out, "  owner %s, next slot %c\n", owner_name(st.owner),
               st.next_slot == 0 ? 'A' : (st.next_slot == 1 ? 'B' : '?'));
  std::fprintf(out, "  updated partitions: %u\n", st.update_part.num);
  for (uint32_t i = 0; i < st.update_part.num && i < OTA_UPDATE_PART_MAX; ++i) {
    std::fprintf(out, "    %-31.31s %s %s\n", st.update_part.array[i],
                 st.update_part.medium[i] == OTA_EMMC ? "emmc" : "nor ",
                 st.update_part.type[i] == AB ? "AB" : "other");
  }
  return {};
}

void print_antirollback(std::FILE* out) {
  antirollback_ver_t ver{};
  if (ota_get_anti_ver_veeprom(&ver) != 0) {
    std::fprintf(out, "anti-rollback record: unreadable\n");
    return;
  }
  std::fprintf(out, "anti-rollback record: hsm %u%s, host %u%s\n", ver.hsm_ver,
               ver.hsm_up_flag != 0 ? " (to commit)" : "", ver.host_ver,
               ver.host_up_flag != 0 ? " (to commit)" : "");
}

void print_boot_control(std::FILE* out) {
  bootloader_control ctrl{};
  if (bootctrl_get_info(&ctrl) != 0) {
    std::fprintf(out, "boot control block: unreadable or invalid\n");
    return;
  }
  std::fprintf(out, "boot control block: %u slots\n", ctrl.nb_slot());
  for (uint8_t s = 0; s < ctrl.nb_slot() && s < BOOT_CTRL_MAX_SLOTS; ++s) {
    const slot_metadata& m = ctrl.slot_info[s];
    std::fprintf(out, "  slot %c: priority %u, tries %u, successful %u, corrupted %u\n", 'A' + s,
                 m.priority(), m.tries_remaining(), m.successful_boot(), m.verity_corrupted());
  }
  const int32_t cur = ota_get_cur_slot();
  std::fprintf(out, "booted slot: %c\n", cur == 0 ? 'A' : (cur == 1 ? 'B' : '?'));
}

char slot_letter(uint32_t slot) { return slot < 2 ? static_cast<char>('a' + slot) : '-'; }

void print_road_record(std::FILE* out, const ota_road_record_t& road) {
  std::fprintf(out, "road record: phase %s, from %c, target %c, sync %c, queue %u\n",
               ota_road_phase_name(road.phase), slot_letter(road.from_slot),
               slot_letter(road.target_slot), slot_letter(road.sync_slot), road.queue_len);
  for (uint32_t i = 0; i < road.queue_len && i < OTA_ROAD_QUEUE_MAX; ++i) {
    std::fprintf(out, "  queued: %.*s\n", static_cast<int>(OTA_ROAD_CMD_LEN), road.queue[i]);
  }
}

}  // namespace

Result<void> print_board_status(std::FILE* out) {
  const RoadInputs road = read_road_inputs();
  std::fprintf(out, "%s\n", road_state_line(road).c_str());
  if (road.road_readable) {
    print_road_record(out, road.road);
  }
  auto status = print_status_record(out);
  if (!status) {
    return status;
  }
  print_antirollback(out);
  print_boot_control(out);
  return {};
}

}  // namespace ota_tool
