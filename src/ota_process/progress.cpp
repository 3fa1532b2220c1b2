// Progress record writers and the burned-bytes percentage.
#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "manifest.h"
#include "worker_state.h"

namespace {

constexpr uint32_t kBurnFirstPercent = 15;
constexpr float kBurnSpanPercent = 70.0F;
constexpr uint32_t kBurnLastPercent = 85;

void send_record() {
  if (g_pipe_fd < 0) {
    return;
  }
  uint8_t wire[OTA_PROGRESS_RECORD_SIZE];
  ota_upgrade_info_encode(g_upgrade_info, wire);
  // One write of 72 bytes on a FIFO is atomic; a failure leaves the client to settle
  // the outcome from the exit status, so it is not retried.
  [[maybe_unused]] const ssize_t written = write(g_pipe_fd, wire, sizeof(wire));
}

}  // namespace

void ota_set_pipe_fd(int fd) { g_pipe_fd = fd; }

int ota_get_pipe_fd() { return g_pipe_fd; }

ota_upgrade_info ota_get_upgrade_info() { return g_upgrade_info; }

void set_imgname(const char* imgname) {
  // Only the terminator is placed: the tail of a longer earlier name may stay behind it.
  std::snprintf(g_upgrade_info.part_name, sizeof(g_upgrade_info.part_name), "%s",
                imgname != nullptr ? imgname : "");
  send_record();
}

void set_progress(uint32_t progress) {
  if (progress == g_upgrade_info.progress) {
    return;
  }
  g_upgrade_info.progress = progress;
  send_record();
}

void set_result(ota_update_result_e result) {
  g_upgrade_info.result = result;
  send_record();
}

void progress_update(ssize_t valid_burned_len) {
  g_len_written += static_cast<uint64_t>(valid_burned_len);
  const uint64_t total = get_total_size();
  uint32_t percent = kBurnLastPercent;
  // A manifest whose scopes are all zero has nothing to measure against: any burned
  // byte counts as the whole burning phase rather than a division by zero.
  if (total != 0) {
    // Past the total the result is capped anyway; capping the ratio first keeps the
    // float-to-integer conversion in range however far the count overshoots.
    const float ratio =
        std::min(static_cast<float>(g_len_written) / static_cast<float>(total), 1.0F);
    percent = static_cast<uint32_t>(ratio * kBurnSpanPercent) + kBurnFirstPercent;
  }
  percent = std::min(percent, kBurnLastPercent);
  g_cached_progress = std::max(g_cached_progress, percent);
  set_progress(g_cached_progress);
}

void nor_progress_update(int /*fd*/, int32_t len) { progress_update(static_cast<ssize_t>(len)); }
