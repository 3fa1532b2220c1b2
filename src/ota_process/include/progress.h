// The worker's side of the progress record (progress_record.h): its in-memory state, the
// writers that send it on the FIFO at every change, and the percentage arithmetic that
// maps burned bytes onto 15..85 percent.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "progress_record.h"

// The FIFO the writers send to; -1 (the initial value) sends nothing. The caller keeps
// ownership of the descriptor and closes it.
void ota_set_pipe_fd(int fd);
[[nodiscard]] int ota_get_pipe_fd();
// The current record (what was last sent, or would have been).
[[nodiscard]] ota_upgrade_info ota_get_upgrade_info();

// Each writer updates the record and sends all 72 bytes in one write; write failures
// are ignored (the client settles a missing final record from the exit status).
void set_imgname(const char* imgname);        // always sends
void set_progress(uint32_t progress);         // sends only when the value changes
void set_result(ota_update_result_e result);  // always sends

// Adds burned bytes and reports the new percentage (15..85, never decreasing).
void progress_update(ssize_t valid_burned_len);
// The same in the shape of the device copier's per-chunk callback; fd is ignored.
void nor_progress_update(int fd, int32_t len);
