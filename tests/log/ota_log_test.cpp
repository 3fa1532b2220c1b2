#include "ota_log.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "test_support.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("OTA_DEBUG_FLAG");
    ota_log_reset_state();
    ota_test::clear_log_records();
  }
  void TearDown() override {
    unsetenv("OTA_DEBUG_FLAG");
    ota_log_reset_state();
  }
};

// Errors and warnings reach stderr bare; info reaches stdout behind "\r\e[K"; the system
// log gets every line without that prefix, with the right priority and a null tag.
TEST_F(LogTest, LevelsGoToTheirStreamsWithTheirPrefixes) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  OTA_LOG_ERR("disk %s gone\n", "mmc0");
  const int warn_line = __LINE__ + 1;
  OTA_LOG_WARN("retry %d\n", 3);
  OTA_LOG_INFO("all %s\n", "good");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_NE(err.find("[OTA_ERROR][ota_log_test.cpp:"), std::string::npos) << err;
  EXPECT_NE(err.find("] disk mmc0 gone\n"), std::string::npos);
  EXPECT_NE(err.find("[OTA_WARNING][ota_log_test.cpp:" + std::to_string(warn_line) + "] retry 3\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("\r\033[K"), std::string::npos);
  EXPECT_EQ(out.rfind("\r\033[K[OTA_INFO][ota_log_test.cpp:", 0), 0U) << out;
  EXPECT_NE(out.find("] all good\n"), std::string::npos);

  const auto records = ota_test::log_records();
  ASSERT_EQ(records.size(), 3U);
  const int priorities[] = {6, 5, 4};
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].priority, priorities[i]);
    EXPECT_TRUE(records[i].null_tag);
    EXPECT_EQ(records[i].text.rfind("[OTA_", 0), 0U) << records[i].text;
  }
}

// The debug switch: only a positive leading integer turns console debug lines on; the
// system log gets debug lines whatever the level.
TEST_F(LogTest, DebugLinesFollowTheFlag) {
  struct Row {
    const char* value;
    int32_t level;
  };
  const Row rows[] = {{nullptr, 0}, {"0", 0}, {"-3", 0}, {"abc", 0}, {"2", 2}, {"2x", 2}};
  for (const Row& row : rows) {
    if (row.value != nullptr) {
      setenv("OTA_DEBUG_FLAG", row.value, 1);
    } else {
      unsetenv("OTA_DEBUG_FLAG");
    }
    ota_log_reset_state();
    ota_test::clear_log_records();
    testing::internal::CaptureStdout();
    OTA_LOG_DEBUG("detail %d\n", 7);
    const std::string out = testing::internal::GetCapturedStdout();
    const char* shown = row.value != nullptr ? row.value : "(unset)";
    EXPECT_EQ(check_debug_level(), row.level) << shown;
    if (row.level > 0) {
      EXPECT_EQ(out.rfind("\r\033[K[OTA_DEBUG][", 0), 0U) << shown;
    } else {
      EXPECT_TRUE(out.empty()) << shown << ": " << out;
    }
    ASSERT_EQ(ota_test::log_records().size(), 1U) << shown;
    EXPECT_EQ(ota_test::log_records()[0].priority, 3);
  }
}

// A '%' inside an argument is printed as it is, not read as a conversion.
TEST_F(LogTest, ArgumentsAreNotFormattedTwice) {
  testing::internal::CaptureStderr();
  OTA_LOG_ERR("open %s failed\n", "/tmp/%n%s");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("open /tmp/%n%s failed"), std::string::npos);
  EXPECT_TRUE(ota_test::log_contains("open /tmp/%n%s failed"));
}

}  // namespace
