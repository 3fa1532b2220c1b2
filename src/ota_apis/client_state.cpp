#include "client_state.h"

#include <atomic>
#include <mutex>

#include "file_lock.h"

namespace ota_client {

namespace {
std::atomic<bool> g_is_ota_init{false};
std::mutex g_lock_mutex;
char g_lock_path[] = "/tmp/ota.lock";
}  // namespace

bool is_initialised() { return g_is_ota_init.load(); }
void set_initialised(bool on) { g_is_ota_init.store(on); }

int32_t take_process_lock() {
  const std::lock_guard<std::mutex> guard(g_lock_mutex);
  return get_file_lock(g_lock_path);
}

int32_t release_process_lock() {
  const std::lock_guard<std::mutex> guard(g_lock_mutex);
  return put_file_lock(g_lock_path);
}

int process_lock_fd() {
  const std::lock_guard<std::mutex> guard(g_lock_mutex);
  return ota_held_lock_fd();
}

}  // namespace ota_client
