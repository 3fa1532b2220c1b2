// The two threads of one launch: the reader, which relays the worker's records from the
// FIFO, and the reaper, which waits for the worker to end and closes the launch. The
// reaper does what a SIGCHLD handler would, but on an ordinary thread and only for the
// worker's own pid, so other children of the client are left alone.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "unique_fd.h"

namespace ota_client {

// Starts the reader on the FIFO's read end (opened non-blocking). 0 or -1.
[[nodiscard]] int32_t start_reader(ota::UniqueFd fifo);
// Stops the reader (it first takes what is already in the FIFO) and joins it; a no-op
// when none runs.
void stop_reader();
// Starts the reaper for the worker `pid`. 0 or -1.
[[nodiscard]] int32_t start_reaper(pid_t pid);
// Joins the reaper of the previous launch. With wait false, only a reaper that has
// finished its work is joined (it never blocks); returns whether none is left.
bool join_reaper(bool wait);

}  // namespace ota_client
