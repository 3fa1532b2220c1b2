#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "json_report.h"
#include "mirvo_ota_hl.h"
#include "test_support.h"

namespace {

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

Json parse(const std::string& text) {
  EXPECT_EQ(text.find('\n'), std::string::npos) << "one object per line: " << text;
  Json j(cJSON_Parse(text.c_str()));
  EXPECT_TRUE(j != nullptr && cJSON_IsObject(j.get())) << text;
  return j;
}

std::set<std::string> keys(const cJSON* o) {
  std::set<std::string> out;
  for (const cJSON* c = o != nullptr ? o->child : nullptr; c != nullptr; c = c->next) {
    out.insert(c->string);
  }
  return out;
}

// The fields of the first table after `anchor` in the README: "| `name` | type | ... |".
std::set<std::string> documented(const std::string& anchor) {
  const std::string readme = ota_test::read_file(OTA_README);
  size_t at = readme.find(anchor);
  EXPECT_NE(at, std::string::npos) << "README lacks " << anchor;
  std::set<std::string> fields;
  at = readme.find("\n| field |", at);
  for (size_t line = readme.find('\n', at + 1) + 1; line < readme.size();) {
    const size_t end = readme.find('\n', line);
    const std::string row = readme.substr(line, end - line);
    if (row.rfind("| `", 0) == 0) {
      fields.insert(row.substr(3, row.find('`', 3) - 3));
    } else if (row.rfind("|---", 0) != 0) {
      break;
    }
    line = end + 1;
  }
  return fields;
}

const char* str(const cJSON* o, const char* key) {
  return cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(o, key));
}
double num(const cJSON* o, const char* key) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
  EXPECT_TRUE(cJSON_IsNumber(v)) << key;
  return cJSON_GetNumberValue(v);
}

// The objects carry exactly the fields the README documents, with their values.
TEST(JsonReportTest, UpdateObjectsMatchTheReadme) {
  const Json p = parse(ota_tool::progress_json(UPGRADE_IN_PROGRESS, 42, "boot"));
  EXPECT_EQ(keys(p.get()), documented("`ota_tool update --json` prints one progress object"));
  EXPECT_STREQ(str(p.get(), "event"), "progress");
  EXPECT_STREQ(str(p.get(), "result"), "UPGRADE_IN_PROGRESS");
  EXPECT_EQ(num(p.get(), "progress"), 42);
  EXPECT_STREQ(str(p.get(), "image"), "boot");

  const Json r = parse(
      ota_tool::update_result_json(UPGRADE_NOT_START, 0, "", -OTAERR_REPEAT, "refused \"now\""));
  EXPECT_EQ(keys(r.get()), documented("then one result object"));
  EXPECT_STREQ(str(r.get(), "event"), "result");
  EXPECT_STREQ(str(r.get(), "result"), "UPGRADE_NOT_START");
  EXPECT_EQ(num(r.get(), "code"), -3);
  EXPECT_STREQ(str(r.get(), "error"), "OTAERR_REPEAT");
  EXPECT_STREQ(str(r.get(), "message"), "refused \"now\"");

  const Json ok =
      parse(ota_tool::update_result_json(UPGRADE_SUCCESS, 100, "all_img_finish", 0, ""));
  EXPECT_STREQ(str(ok.get(), "result"), "UPGRADE_SUCCESS");
  EXPECT_STREQ(str(ok.get(), "error"), "OTA_SUCCESS");
  EXPECT_STREQ(ota_tool::result_name(7), "UNKNOWN");
}

slot_metadata meta(uint8_t priority, uint8_t tries, uint8_t successful) {
  slot_metadata m{};
  m.set_priority(priority);
  m.set_tries_remaining(tries);
  m.set_successful_boot(successful);
  return m;
}

TEST(JsonReportTest, StatusObjectMatchesTheReadme) {
  ota_tool::RoadInputs in;
  in.status_valid = true;
  in.up = OTA_FLAG_VERIFIED;
  in.next_slot = 1;
  in.road = ota_road_idle_record();
  in.road.phase = OTA_ROAD_SWITCHED;
  in.road.from_slot = 0;
  in.road.target_slot = 1;
  in.misc_valid = true;
  in.slots[0] = meta(14, 1, 1);
  in.slots[1] = meta(15, 1, 1);
  in.running = 1;
  in.pending = "aonreg_write_cmd";
  const Json s = parse(ota_tool::status_json(in, "1.0.1"));
  EXPECT_EQ(keys(s.get()), documented("`ota_tool status --json` prints one object"));
  EXPECT_STREQ(str(s.get(), "road_state"), "K");
  EXPECT_STREQ(str(s.get(), "running_slot"), "b");
  EXPECT_STREQ(str(s.get(), "update_status"), "VERIFIED");
  EXPECT_STREQ(str(s.get(), "next_slot"), "b");
  EXPECT_STREQ(str(s.get(), "target_slot"), "b");
  EXPECT_STREQ(str(s.get(), "road_phase"), "SWITCHED");
  EXPECT_STREQ(str(s.get(), "pending_command"), "aonreg_write_cmd");
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(s.get(), "status_valid")));
  const cJSON* a =
      cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(s.get(), "slots"), "a");
  EXPECT_EQ(keys(a), (std::set<std::string>{"priority", "tries", "successful", "corrupted"}));
  EXPECT_EQ(num(a, "priority"), 14);
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(a, "successful")));

  // Unknown values are null, never a made-up slot.
  in.running = -1;
  in.misc_valid = false;
  in.pending.clear();
  in.road = ota_road_idle_record();
  const Json u = parse(ota_tool::status_json(in, "1.0.1"));
  for (const char* key : {"running_slot", "slots", "pending_command", "target_slot"}) {
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(u.get(), key))) << key;
  }
  EXPECT_EQ(keys(u.get()), keys(s.get()));
}

}  // namespace
