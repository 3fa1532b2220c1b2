#include "progress_state.h"

#include <cstdio>
#include <mutex>

namespace ota_client {

namespace {
std::mutex g_progress_mutex;
ota_upgrade_info g_upgrade_info{};
bool g_launch_active = false;

bool is_final(ota_update_result_e r) { return r == UPGRADE_SUCCESS || r == UPGRADE_FAILED; }
}  // namespace

void progress_set_idle() {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  g_upgrade_info.result = UPGRADE_NOT_START;
  std::snprintf(g_upgrade_info.part_name, sizeof(g_upgrade_info.part_name), "%s", "idle_state");
}

void progress_set_not_started() {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  g_upgrade_info.result = UPGRADE_NOT_START;
}

void progress_clear() {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  g_upgrade_info = ota_upgrade_info{};
}

void progress_store(const ota_upgrade_info& info) {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  g_upgrade_info = info;
}

ota_upgrade_info progress_snapshot() {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  ota_upgrade_info info = g_upgrade_info;
  if (g_launch_active && is_final(info.result)) {
    info.result = UPGRADE_IN_PROGRESS;
  }
  return info;
}

void progress_settle(bool clean_exit) {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  if (!is_final(g_upgrade_info.result)) {
    g_upgrade_info.result = clean_exit ? UPGRADE_SUCCESS : UPGRADE_FAILED;
  }
}

void set_launch_active(bool active) {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  g_launch_active = active;
}

bool launch_active() {
  const std::lock_guard<std::mutex> guard(g_progress_mutex);
  return g_launch_active;
}

}  // namespace ota_client
