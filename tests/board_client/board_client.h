// Helpers of the client board tests: packages from ota_pack with a real or scripted
// worker, waiting for a launch to end, reboots, and the board's records.
#pragma once

#include <sys/types.h>

#include <string>

#include "boot_control.h"
#include "road_record.h"
#include "test_support.h"
#include "veeprom_flag.h"

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

// The road record as the board holds it, and one written by hand, as a stop between two
// durable writes leaves it.
ota_road_record_t road();
void set_road(ota_road_phase_e phase, uint32_t from, uint32_t target,
              uint32_t sync = OTA_ROAD_NO_SLOT);

// One slot of the boot control block on the medium, and one set by hand.
slot_metadata misc_slot(int slot);
void set_misc_slot(int slot, uint8_t priority, uint8_t tries, uint8_t successful);

// The booted slot (0 or 1) as the command line names it.
int booted_slot();

// The pid of the running worker: the board runs in its own PID namespace, so the only
// "ota_process" it shows is one this test started. -1 when none runs.
pid_t worker_pid();

// By-name partitions: the raw MD5 of the first `len` bytes, and `bytes` written at the
// start and flushed.
inline const std::string kByName = "/dev/block/platform/by-name/";
std::string part_md5(const std::string& name, long len);
void write_part(const std::string& name, const std::string& bytes);

// The first line of `ota_tool status`: the row of the road the board is in.
std::string road_state_line();

}  // namespace board_client
