// Helpers of the client board tests: packages from ota_pack with a real or scripted
// worker, waiting for a launch to end, reboots, and the board's records.
#pragma once

#include <string>

#include "test_support.h"

namespace board_client {

// A worker script running `body` (the FIFO is $4: a script sees its own path as $0).
// Inside the script, rec NAME RESULT PROGRESS sends one 72-byte record.
std::string worker_script(const std::string& body);

// Packs `description` (with "worker WORKER" prepended) in dir into dir/name (or the
// absolute path name); returns its
// absolute path.
std::string pack(const ota_test::TempDir& dir, const std::string& description,
                 const std::string& worker, const std::string& name = "package.zip");

// Polls otaGetResult until it is final (or -1 after timeout_s); returns it.
int wait_final(int timeout_s = 120);

// The firmware's boot: carries out the pending command and picks the slot.
void reboot();

// Runs a shell command; its exit status (-1 when it did not exit normally).
int run(const std::string& cmd);

size_t count_entries(const char* dir);

}  // namespace board_client
