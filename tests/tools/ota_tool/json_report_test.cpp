#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "json_report.h"
#include "mirvo_ota_hl.h"
#include "road_inputs.h"
#include "test_support.h"

namespace {

using ota_tool_test::board;
using ota_tool_test::meta;

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

// One row of a README field table: "| `name` | type | meaning |".
struct Field {
  std::string type;
  std::string meaning;
};

std::string trim(const std::string& t) {
  const size_t b = t.find_first_not_of(' ');
  return b == std::string::npos ? "" : t.substr(b, t.find_last_not_of(' ') - b + 1);
}

// The fields of the first table after `anchor` in the README.
std::map<std::string, Field> documented_fields(const std::string& anchor) {
  const std::string readme = ota_test::read_file(OTA_README);
  size_t at = readme.find(anchor);
  EXPECT_NE(at, std::string::npos) << "README lacks " << anchor;
  std::map<std::string, Field> fields;
  at = readme.find("\n| field |", at);
  for (size_t line = readme.find('\n', at + 1) + 1; line < readme.size();) {
    const size_t end = readme.find('\n', line);
    const std::string row = readme.substr(line, end - line);
    if (row.rfind("| `", 0) == 0) {
      const size_t name_end = row.find('`', 3);
      const size_t type_at = row.find('|', name_end) + 1;
      const size_t meaning_at = row.find('|', type_at) + 1;
      fields[row.substr(3, name_end - 3)] = {
          trim(row.substr(type_at, meaning_at - 1 - type_at)),
          trim(row.substr(meaning_at, row.rfind('|') - meaning_at))};
    } else if (row.rfind("|---", 0) != 0) {
      break;
    }
    line = end + 1;
  }
  return fields;
}

std::set<std::string> documented(const std::string& anchor) {
  std::set<std::string> names;
  for (const auto& [name, field] : documented_fields(anchor)) {
    names.insert(name);
  }
  return names;
}

// The values a meaning names in back quotes, upper case ones and `?` (`OTAERR_REPEAT`,
// `W1`..`W6` expanded to W1, W2, ... W6); none when it names only some ("...").
std::set<std::string> named_values(const std::string& meaning) {
  std::set<std::string> values;
  if (meaning.find("...") != std::string::npos) {
    return values;
  }
  const std::regex quoted("`([A-Z][A-Z0-9_]*|\\?)`(\\.\\.`[A-Z]+([0-9]+)`)?");
  for (auto it = std::sregex_iterator(meaning.begin(), meaning.end(), quoted);
       it != std::sregex_iterator(); ++it) {
    const std::string first = (*it)[1];
    if (!(*it)[2].matched) {
      values.insert(first);
      continue;
    }
    const size_t digits = first.find_first_of("0123456789");
    const int from = std::stoi(first.substr(digits));
    const int to = std::stoi((*it)[3].str());
    for (int i = from; i <= to; ++i) {
      values.insert(first.substr(0, digits) + std::to_string(i));
    }
  }
  return values;
}

// Each field of `o` has the type its README row gives and, for a string whose row names
// its values, one of those.
void expect_as_documented(const cJSON* o, const std::map<std::string, Field>& fields) {
  for (const auto& [name, field] : fields) {
    SCOPED_TRACE(name + ": " + field.type);
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, name.c_str());
    ASSERT_NE(v, nullptr);
    const std::string& t = field.type;
    if (t == "string" || t == "string or null") {
      ASSERT_TRUE(cJSON_IsString(v) || (t == "string or null" && cJSON_IsNull(v)));
      const std::set<std::string> values = named_values(field.meaning);
      if (cJSON_IsString(v) && values.size() > 1) {
        EXPECT_EQ(values.count(v->valuestring), 1U) << v->valuestring << " in " << field.meaning;
      }
    } else if (t == "number") {
      EXPECT_TRUE(cJSON_IsNumber(v));
    } else if (t == "boolean") {
      EXPECT_TRUE(cJSON_IsBool(v));
    } else if (t == "slot") {
      EXPECT_TRUE(cJSON_IsNull(v) || (cJSON_IsString(v) && (std::string(v->valuestring) == "a" ||
                                                            std::string(v->valuestring) == "b")));
    } else if (t == "object or null") {
      EXPECT_TRUE(cJSON_IsObject(v) || cJSON_IsNull(v));
    } else {
      ADD_FAILURE() << "the README gives a type this test does not know";
    }
  }
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

// Every update object of every result, checked field by field against the README's
// types and the values its rows name.
TEST(JsonReportTest, UpdateFieldsHaveTheDocumentedTypesAndValues) {
  const auto progress = documented_fields("`ota_tool update --json` prints one progress object");
  const auto result = documented_fields("then one result object");
  ASSERT_EQ(named_values(progress.at("result").meaning),
            (std::set<std::string>{"UPGRADE_NOT_START", "UPGRADE_IN_PROGRESS"}));
  for (int32_t r : {UPGRADE_NOT_START, UPGRADE_IN_PROGRESS}) {
    SCOPED_TRACE(r);
    const Json p = parse(ota_tool::progress_json(r, 7, "system"));
    expect_as_documented(p.get(), progress);
  }
  const struct {
    int32_t result;
    int32_t code;
    const char* error;
  } rows[] = {
      {UPGRADE_SUCCESS, 0, "OTA_SUCCESS"},
      {UPGRADE_FAILED, -OTAERR_IO, "OTAERR_IO"},
      {UPGRADE_NOT_START, -OTAERR_REPEAT, "OTAERR_REPEAT"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    const Json j = parse(ota_tool::update_result_json(row.result, 55, "uboot", row.code, "m"));
    expect_as_documented(j.get(), result);
    EXPECT_EQ(num(j.get(), "progress"), 55);
    EXPECT_STREQ(str(j.get(), "image"), "uboot");
    EXPECT_EQ(num(j.get(), "code"), row.code);
    EXPECT_STREQ(str(j.get(), "error"), row.error);
  }
}

TEST(JsonReportTest, StatusObjectMatchesTheReadme) {
  ota_tool::RoadInputs in =
      board(OTA_FLAG_VERIFIED, OTA_ROAD_SWITCHED, 1, meta(14, 1, 1), meta(15, 1, 1), 1);
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

// Boards in several states give status objects whose every field has the README's type
// and one of the values its row names; the values no other test reads are checked here.
TEST(JsonReportTest, StatusFieldsHaveTheDocumentedTypesAndValues) {
  const auto fields = documented_fields("`ota_tool status --json` prints one object");
  ASSERT_EQ(named_values(fields.at("road_state").meaning).count("W6"), 1U);

  // The worker writing slot b, the backups being copied.
  ota_tool::RoadInputs writing =
      board(OTA_FLAG_BURN, OTA_ROAD_WRITING, 0, meta(15, 3, 1), meta(0, 0, 0), 0);
  writing.up_backup = OTA_FLAG_BURN;
  writing.road.queue_len = 2;
  const Json w = parse(ota_tool::status_json(writing, "1.0.1"));
  expect_as_documented(w.get(), fields);
  EXPECT_STREQ(str(w.get(), "update_status"), "BURN");
  EXPECT_STREQ(str(w.get(), "backup_copy"), "BURN");
  EXPECT_STREQ(str(w.get(), "road_phase"), "WRITING");
  EXPECT_EQ(num(w.get(), "queued_commands"), 2);
  EXPECT_STREQ(str(w.get(), "lib_version"), "1.0.1");
  EXPECT_NE(std::string(str(w.get(), "road_text")), "");
  const cJSON* b =
      cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(w.get(), "slots"), "b");
  EXPECT_EQ(num(b, "tries"), 0);
  EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(b, "successful")));
  EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(b, "corrupted")));

  ota_tool::RoadInputs unreadable;  // a damaged road record and status record
  unreadable.road_readable = false;
  unreadable.road = ota_road_idle_record();
  const Json u = parse(ota_tool::status_json(unreadable, ""));
  expect_as_documented(u.get(), fields);
  EXPECT_STREQ(str(u.get(), "road_phase"), "UNREADABLE");
  EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(u.get(), "status_valid")));
}

}  // namespace
