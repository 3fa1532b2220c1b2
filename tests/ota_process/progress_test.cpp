#include "progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "manifest.h"
#include "test_support.h"
#include "worker_state.h"

namespace {

// A manifest of one eMMC partition whose first scope is `total` bytes.
std::string manifest_with_total(uint64_t total) {
  return "{\"update_partition\":[\"boot\"],\"partition_info\":{\"boot\":{\"medium\":\"emmc\","
         "\"part_type\":\"AB\",\"upgrade_method\":\"image\",\"imgname\":\"boot.img\","
         "\"md5sum\":[\"0123456789abcdef0123456789abcdef\"],\"md5_scope\":[" +
         std::to_string(total) + "]}}}";
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ota_worker_reset_state();
    ASSERT_EQ(pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0);
    ota_set_pipe_fd(fds_[1]);
  }
  void TearDown() override {
    ota_worker_reset_state();
    close(fds_[0]);
    close(fds_[1]);
  }
  void set_total(uint64_t total) {
    ASSERT_EQ(ota_parse_json(manifest_with_total(total).c_str()), 0);
    ASSERT_EQ(get_total_size(), total);
  }
  // Every record sent since the last call, decoded; a partial record fails the test.
  std::vector<ota_upgrade_info> records() {
    std::vector<ota_upgrade_info> out;
    uint8_t buf[OTA_PROGRESS_RECORD_SIZE * 64];
    const ssize_t n = read(fds_[0], buf, sizeof(buf));
    if (n <= 0) {
      return out;
    }
    EXPECT_EQ(static_cast<size_t>(n) % OTA_PROGRESS_RECORD_SIZE, 0u);
    for (ssize_t at = 0; at + 72 <= n; at += 72) {
      out.push_back(ota_upgrade_info_decode(buf + at));
    }
    return out;
  }
  std::vector<uint32_t> percentages() {
    std::vector<uint32_t> out;
    for (const ota_upgrade_info& r : records()) {
      out.push_back(r.progress);
    }
    return out;
  }
  int fds_[2] = {-1, -1};
};

// Burned bytes map onto 15..85 and only changes are sent: a quarter is 32, half 50, all 85,
// more stays 85; a zero total neither divides by zero nor stays below the burn, and an
// enormous overshoot of a tiny total stays at 85.
TEST_F(ProgressTest, PercentageFollowsBurnedShare) {
  const struct {
    uint64_t total;
    std::vector<ssize_t> adds;
    std::vector<uint32_t> sent;
  } rows[] = {{4000000, {1000000, 1000000, 2000000, 5000000}, {32, 50, 85}},
              {0, {4096}, {85}},
              {1, {ssize_t{1} << 60}, {85}}};
  for (const auto& row : rows) {
    ota_worker_reset_state();
    ota_set_pipe_fd(fds_[1]);
    set_total(row.total);
    for (const ssize_t add : row.adds) {
      progress_update(add);
    }
    EXPECT_EQ(percentages(), row.sent) << "total " << row.total;
  }
}

// The percentage never goes down, even when a callback reports a negative count, and the
// NOR callback forwards its signed length.
TEST_F(ProgressTest, PercentageNeverDecreases) {
  set_total(1000);
  progress_update(600);
  nor_progress_update(7, -400);
  progress_update(0);
  EXPECT_EQ(ota_get_upgrade_info().progress, 57u);
  nor_progress_update(7, 400);
  EXPECT_EQ(ota_get_upgrade_info().progress, 57u);
  nor_progress_update(7, 300);
  EXPECT_EQ(ota_get_upgrade_info().progress, 78u);
  const std::vector<uint32_t> sent = percentages();
  for (size_t i = 1; i < sent.size(); ++i) {
    EXPECT_GE(sent[i], sent[i - 1]);
  }
}

// A name of 70 characters is sent as its first 63; a shorter later name leaves the
// earlier tail behind its terminator, as the record allows.
TEST_F(ProgressTest, ImageNameTruncatedTo63) {
  const std::string long_name(70, 'x');
  set_imgname(long_name.c_str());
  set_imgname("boot.img");
  const std::vector<ota_upgrade_info> sent = records();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(std::string(sent[0].part_name), std::string(63, 'x'));
  EXPECT_STREQ(sent[1].part_name, "boot.img");
  EXPECT_EQ(sent[1].part_name[9], 'x');
}

// set_progress sends only changes; set_result sends every time; without a pipe the
// writers keep the record and send nothing.
TEST_F(ProgressTest, ProgressDedupResultAlwaysNoPipeKeeps) {
  set_progress(40);
  set_progress(40);
  set_result(UPGRADE_FAILED);
  set_result(UPGRADE_FAILED);
  const std::vector<ota_upgrade_info> sent = records();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].progress, 40u);
  EXPECT_EQ(sent[1].result, UPGRADE_FAILED);
  EXPECT_EQ(sent[2].result, UPGRADE_FAILED);
  ota_set_pipe_fd(-1);
  set_imgname("system.img");
  set_result(UPGRADE_SUCCESS);
  EXPECT_TRUE(records().empty());
  EXPECT_STREQ(ota_get_upgrade_info().part_name, "system.img");
  EXPECT_EQ(ota_get_upgrade_info().result, UPGRADE_SUCCESS);
}

}  // namespace
