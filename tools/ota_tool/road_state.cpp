#include "road_state.h"

#include <array>
#include <cstring>

#include "flash_cmd.h"

namespace ota_tool {

namespace {

std::string letter(uint32_t slot) { return slot < 2 ? std::string(1, 'a' + slot) : "?"; }

bool bootable(const slot_metadata& m) {
  return m.tries_remaining() > 0 && m.verity_corrupted() == 0;
}
bool confirmed(const slot_metadata& m) { return bootable(m) && m.successful_boot() == 1; }

// The slot the firmware picks: bootable, highest priority, then a confirmed one, ties to
// the lower slot. -1 when neither slot is bootable.
int32_t best_slot(const RoadInputs& in) {
  int32_t best = -1;
  for (int32_t s = 0; s < 2; ++s) {
    const slot_metadata& m = in.slots[s];
    if (!bootable(m)) {
      continue;
    }
    const slot_metadata* b = best < 0 ? nullptr : &in.slots[best];
    if (b == nullptr || m.priority() > b->priority() ||
        (m.priority() == b->priority() && m.successful_boot() > b->successful_boot())) {
      best = s;
    }
  }
  return best;
}

RoadState unknown(const std::string& why) { return {"?", "unrecognised: " + why}; }

const char* flag_name(ota_update_flag_e flag) {
  static constexpr std::array<const char*, 4> kNames = {"NORMAL", "BURN", "VERIFY", "VERIFIED"};
  return flag < kNames.size() ? kNames[flag] : "INVALID";
}

RoadState writing(const RoadInputs& in, const std::string& t) {
  if (in.up == OTA_FLAG_NORMAL) {
    if (bootable(in.slots[in.road.target_slot])) {
      return {"W1", "update of " + t + " begun"};
    }
    return {"W2", "update of " + t + " begun, " + t + " unbootable"};
  }
  if (in.up == OTA_FLAG_BURN) {
    return {"W3", "writing " + t + " (" + t +
                      " unbootable; a stopped worker leaves this: update again, or clear)"};
  }
  return unknown(std::string("road WRITING with status ") + flag_name(in.up));
}

RoadState written(const RoadInputs& in, const std::string& t) {
  if (in.up == OTA_FLAG_BURN) {
    return {"W5", t + " written and proven, VERIFY not yet recorded (update again, or clear)"};
  }
  if (in.up == OTA_FLAG_VERIFY) {
    const std::string f = letter(in.road.from_slot);
    const std::string choice = " (retry set-slot " + f + ", or set-slot " + t + ")";
    if (in.next_slot == in.road.target_slot) {
      return {"N1", "cancel of the switch to " + t + " begun" + choice};
    }
    if (best_slot(in) == static_cast<int32_t>(in.road.target_slot)) {
      return {"N2", "cancel of the switch to " + t + " begun, misc still boots " + t + choice};
    }
    return {"W6", t + " written and proven, switch pending (set-slot " + t + ")"};
  }
  return unknown(std::string("road WRITTEN with status ") + flag_name(in.up));
}

RoadState switched_verify(const RoadInputs& in, const std::string& t) {
  const uint32_t target = in.road.target_slot;
  if (in.next_slot != target) {
    return {"S1", "switch to " + t + " recorded, not finished (retry set-slot " + t + ")"};
  }
  const slot_metadata& m = in.slots[target];
  if (static_cast<uint32_t>(in.running) == target) {
    if (confirmed(m)) {
      return {"R2", "running " + t + ", confirmed in misc, status not yet VERIFIED (confirm)"};
    }
    return {"R1", "running " + t + " on trial, " + std::to_string(m.tries_remaining()) +
                      " tries left (check, then confirm)"};
  }
  if (!bootable(m)) {
    return {"S2", t +
                      " is the next slot on record but has no tries left: the switch stopped "
                      "before its misc write (retry set-slot " +
                      t + "), or " + t +
                      " failed to boot and the firmware fell back (check: -12; clear)"};
  }
  if (best_slot(in) == static_cast<int32_t>(target)) {
    return {"S3", "switched to " + t + ", reboot pending"};
  }
  return unknown("switch to " + t + " recorded but misc prefers another slot");
}

RoadState syncing(const RoadInputs& in) {
  const uint32_t fallback = in.road.sync_slot;
  const std::string f = letter(fallback);
  if (in.up != OTA_FLAG_VERIFIED || fallback >= 2 ||
      static_cast<uint32_t>(in.running) == fallback) {
    return unknown("sync of " + f + " with status " + flag_name(in.up) + ", running " +
                   letter(static_cast<uint32_t>(in.running)));
  }
  if (in.up_backup == OTA_FLAG_BURN) {
    return {"Y3", "sync copying the security partitions to their backups, " + f +
                      " unbootable (retry sync)"};
  }
  if (!bootable(in.slots[fallback])) {
    return {"Y2", "sync overwriting " + f + ", " + f +
                      " unbootable until every copy is proven (retry sync)"};
  }
  return {"Y1", "sync into " + f + " begun or its copies proven, not closed (retry sync)"};
}

}  // namespace

RoadState classify_road(const RoadInputs& raw) {
  if (!raw.status_valid && raw.running >= 0) {
    // The engine's next access replaces such a record by its defaults: classify those.
    RoadInputs in = raw;
    in.status_valid = true;
    in.up = OTA_FLAG_NORMAL;
    in.next_slot = static_cast<uint32_t>(raw.running);
    RoadState state = classify_road(in);
    state.text += " (status record blank or damaged: read as its defaults)";
    return state;
  }
  const RoadInputs& in = raw;
  if (!in.status_valid) {
    return unknown("status record invalid and running slot unknown");
  }
  if (!in.road_readable) {
    return unknown("road record unreadable");
  }
  if (!in.misc_valid) {
    return unknown("boot control block invalid");
  }
  if (in.running < 0 || in.running > 1) {
    return unknown("running slot unknown");
  }
  const ota_road_record_t& road = in.road;
  if (road.phase == OTA_ROAD_IDLE) {
    if (in.up == OTA_FLAG_NORMAL) {
      const std::string r = letter(static_cast<uint32_t>(in.running));
      return {
          "I",
          "idle, no update on record, running " + r +
              (confirmed(in.slots[in.running]) ? "" : " (unconfirmed: confirm before an update)")};
    }
    return unknown(std::string("status ") + flag_name(in.up) +
                   " without a road record (recovery rewrite or an older engine)");
  }
  if (in.up == OTA_FLAG_NORMAL && road.phase != OTA_ROAD_WRITING) {
    return {"X1", "flags cleared, road record not yet idle (clear again)"};
  }
  if (road.phase == OTA_ROAD_SYNCING) {
    return syncing(in);
  }
  if (road.target_slot >= 2 || road.from_slot >= 2 || road.target_slot == road.from_slot) {
    return unknown("road record names slots " + letter(road.from_slot) + " -> " +
                   letter(road.target_slot));
  }
  const std::string t = letter(road.target_slot);
  switch (road.phase) {
    case OTA_ROAD_WRITING:
      return writing(in, t);
    case OTA_ROAD_WRITTEN:
      return written(in, t);
    case OTA_ROAD_SWITCHED:
      if (in.up == OTA_FLAG_VERIFY) {
        return switched_verify(in, t);
      }
      if (in.up == OTA_FLAG_VERIFIED && static_cast<uint32_t>(in.running) == road.target_slot) {
        return {"K", t + " confirmed (sync, then clear)"};
      }
      return unknown("switch to " + t + " with status " + flag_name(in.up) + ", running " +
                     letter(static_cast<uint32_t>(in.running)));
    default:
      return unknown("road phase " + std::to_string(road.phase));
  }
}

std::string road_state_line(const RoadInputs& in) {
  const RoadState state = classify_road(in);
  std::string line = "road state: " + state.id + " " + state.text;
  if (!in.pending.empty()) {
    line += "; firmware command pending: " + in.pending;
  }
  if (in.road.queue_len > 0) {
    line += "; " + std::to_string(in.road.queue_len) + " queued";
  }
  return line;
}

namespace {

std::string pending_command() {
  std::string name;
  const int32_t pending = ota_flashcmd_pending(&name);
  return pending < 0 ? "unreadable" : (pending == 0 ? "" : name);
}

void read_status(RoadInputs* in) {
  std::array<char, sizeof(ota_status_t)> text{};
  if (ota_read_from_veeprom(text.data(), text.size(), OTA_STATUS_OFFSET) != 0) {
    return;
  }
  std::array<uint8_t, sizeof(ota_status_t)> raw{};
  std::memcpy(raw.data(), text.data(), raw.size());
  ota_status_t st{};
  (void)decode(raw, &st);
  in->status_valid = st.magic == OTA_STATUS_MAGIC && ota_status_crc(st) == st.crc32_le;
  in->up = st.up;
  in->up_backup = st.up_backup;
  in->next_slot = st.next_slot;
}

}  // namespace

RoadInputs read_road_inputs() {
  RoadInputs in;
  read_status(&in);
  if (ota_road_read(&in.road) != 0) {
    in.road_readable = false;
  }
  bootloader_control ctrl{};
  if (bootctrl_get_info(&ctrl) == 0 && ctrl.nb_slot() >= 2) {
    in.misc_valid = true;
    in.slots[0] = ctrl.slot_info[0];
    in.slots[1] = ctrl.slot_info[1];
  }
  in.pending = pending_command();
  in.running = ota_get_cur_slot();
  return in;
}

}  // namespace ota_tool
