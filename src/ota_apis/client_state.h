// State shared by the client library's sources: the initialised flag, and the process
// lock taken and released from client threads and the reaper thread alike.
#pragma once

#include <cstdint>

namespace ota_client {

[[nodiscard]] bool is_initialised();
void set_initialised(bool on);

// get_file_lock / put_file_lock on "/tmp/ota.lock", serialised within this process (the
// lock's descriptor is one process-wide value).
[[nodiscard]] int32_t take_process_lock();
[[nodiscard]] int32_t release_process_lock();
// The descriptor of the held process lock, -1 when none is held.
[[nodiscard]] int process_lock_fd();

}  // namespace ota_client
