// The last progress record of a launch, shared between the reader thread that receives
// it, the reaper thread that settles it and the client threads that read it.
#pragma once

#include "progress_record.h"

namespace ota_client {

// otaInitLib: not started, named "idle_state".
void progress_set_idle();
// otaDeinitLib: not started, name and percentage kept.
void progress_set_not_started();
// A new launch: everything zero.
void progress_clear();
void progress_store(const ota_upgrade_info& info);
[[nodiscard]] ota_upgrade_info progress_snapshot();
// Turns a result the worker left pending into its verdict from the exit status.
void progress_settle(bool clean_exit);

// While a launch is active, a final result is not yet shown to callers: it becomes
// visible only once the worker is reaped and the lock is free again.
void set_launch_active(bool active);
[[nodiscard]] bool launch_active();

}  // namespace ota_client
