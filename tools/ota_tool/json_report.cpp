#include "json_report.h"

#include <cjson/cJSON.h>

#include <array>
#include <memory>

#include "error_names.h"
#include "mirvo_ota_hl.h"

namespace ota_tool {

namespace {

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// One line, no blanks: what a reader splitting on newlines expects.
std::string print(const Json& j) {
  char* text = cJSON_PrintUnformatted(j.get());
  if (text == nullptr) {
    return "{}";
  }
  std::string out(text);
  cJSON_free(text);
  return out;
}

const char* flag_name(uint32_t flag) {
  static constexpr std::array<const char*, 4> kNames = {"NORMAL", "BURN", "VERIFY", "VERIFIED"};
  return flag < kNames.size() ? kNames[flag] : "INVALID";
}

void add_slot_letter(cJSON* o, const char* key, int64_t slot) {
  if (slot == 0 || slot == 1) {
    cJSON_AddStringToObject(o, key, slot == 0 ? "a" : "b");
  } else {
    cJSON_AddNullToObject(o, key);
  }
}

cJSON* slot_object(const slot_metadata& m) {
  cJSON* s = cJSON_CreateObject();
  cJSON_AddNumberToObject(s, "priority", m.priority());
  cJSON_AddNumberToObject(s, "tries", m.tries_remaining());
  cJSON_AddBoolToObject(s, "successful", m.successful_boot() != 0);
  cJSON_AddBoolToObject(s, "corrupted", m.verity_corrupted() != 0);
  return s;
}

}  // namespace

const char* result_name(int32_t result) {
  static constexpr std::array<const char*, 4> kNames = {"UPGRADE_NOT_START", "UPGRADE_IN_PROGRESS",
                                                        "UPGRADE_SUCCESS", "UPGRADE_FAILED"};
  return result >= 0 && result < static_cast<int32_t>(kNames.size()) ? kNames[result] : "UNKNOWN";
}

std::string progress_json(int32_t result, int32_t progress, const std::string& image) {
  Json j(cJSON_CreateObject());
  cJSON_AddStringToObject(j.get(), "event", "progress");
  cJSON_AddStringToObject(j.get(), "result", result_name(result));
  cJSON_AddNumberToObject(j.get(), "progress", progress);
  cJSON_AddStringToObject(j.get(), "image", image.c_str());
  return print(j);
}

std::string update_result_json(int32_t result, int32_t progress, const std::string& image,
                               int32_t code, const std::string& message) {
  Json j(cJSON_CreateObject());
  cJSON_AddStringToObject(j.get(), "event", "result");
  cJSON_AddStringToObject(j.get(), "result", result_name(result));
  cJSON_AddNumberToObject(j.get(), "progress", progress);
  cJSON_AddStringToObject(j.get(), "image", image.c_str());
  cJSON_AddNumberToObject(j.get(), "code", code);
  cJSON_AddStringToObject(j.get(), "error", code_name(code));
  cJSON_AddStringToObject(j.get(), "message", message.c_str());
  return print(j);
}

std::string status_json(const RoadInputs& in, const std::string& lib_version) {
  const RoadState road = classify_road(in);
  Json j(cJSON_CreateObject());
  cJSON_AddStringToObject(j.get(), "road_state", road.id.c_str());
  cJSON_AddStringToObject(j.get(), "road_text", road.text.c_str());
  add_slot_letter(j.get(), "running_slot", in.running);
  cJSON_AddBoolToObject(j.get(), "status_valid", in.status_valid);
  cJSON_AddStringToObject(j.get(), "update_status", flag_name(in.up));
  cJSON_AddStringToObject(j.get(), "backup_copy", flag_name(in.up_backup));
  add_slot_letter(j.get(), "next_slot", in.next_slot);
  cJSON_AddStringToObject(j.get(), "road_phase",
                          in.road_readable ? ota_road_phase_name(in.road.phase) : "UNREADABLE");
  add_slot_letter(j.get(), "target_slot", in.road.target_slot);
  if (in.pending.empty()) {
    cJSON_AddNullToObject(j.get(), "pending_command");
  } else {
    cJSON_AddStringToObject(j.get(), "pending_command", in.pending.c_str());
  }
  cJSON_AddNumberToObject(j.get(), "queued_commands", in.road.queue_len);
  if (in.misc_valid) {
    cJSON* slots = cJSON_AddObjectToObject(j.get(), "slots");
    cJSON_AddItemToObject(slots, "a", slot_object(in.slots[0]));
    cJSON_AddItemToObject(slots, "b", slot_object(in.slots[1]));
  } else {
    cJSON_AddNullToObject(j.get(), "slots");
  }
  cJSON_AddStringToObject(j.get(), "lib_version", lib_version.c_str());
  return print(j);
}

}  // namespace ota_tool
