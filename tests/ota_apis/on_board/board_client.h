// Helpers of the client board tests: packages from ota_pack with a real or scripted
// worker, waiting for a launch to end, reboots, and the board's records and partitions.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

#include "boot_control.h"
#include "client_result.h"
#include "mirvo_ota_hl.h"
#include "road_record.h"
#include "test_support.h"
#include "veeprom_flag.h"

namespace board_client {

// A test on the board with the client library initialised and the log records cleared.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A worker script running `body` (the FIFO is $4: a script sees its own path as $0).
// Inside the script, rec NAME RESULT PROGRESS sends one 72-byte record.
std::string worker_script(const std::string& body);

// Packs `description` (with "worker WORKER" prepended) into dir/name, or the absolute
// path name; returns the package's path.
std::string pack(const ota_test::TempDir& dir, const std::string& description,
                 const std::string& worker, const std::string& name = "package.zip");
// A package whose scripted worker runs `body`.
std::string scripted(const ota_test::TempDir& dir, const std::string& body,
                     const std::string& name = "package.zip");

// Polls otaGetResult until it is final (client_result.h, shared with the keyring suite).
using ota_test::wait_final;

// The firmware's boot: carries out the pending command and picks the slot.
void reboot();

// Runs a shell command; its exit status (-1 when it did not exit normally).
int run(const std::string& cmd);

// The road record as the board holds it, and one written by hand, as a stop between two
// durable writes leaves it.
ota_road_record_t road();
void set_road(ota_road_phase_e phase, uint32_t from, uint32_t target,
              uint32_t sync = OTA_ROAD_NO_SLOT);

// One slot of the boot control block on the medium, and one set by hand.
slot_metadata misc_slot(int slot);
void set_misc_slot(int slot, uint8_t priority, uint8_t tries, uint8_t successful);

ota_update_flag_e up_status();
uint32_t next_slot();

// The pid of the running worker: the board runs in its own PID namespace, so the only
// "ota_process" it shows is one this test started. -1 when none runs.
pid_t worker_pid();

// By-name partitions: the hex MD5 of the first `len` bytes, the size, and `bytes`
// written at the start and flushed.
inline const std::string kByName = "/dev/block/platform/by-name/";
std::string part_md5(const std::string& name, long len);
long part_size(const std::string& name);
void write_part(const std::string& name, const std::string& bytes);

// After a sync from a to b of the listed boot partition (its first MiB): b holds a's
// copy and is a bootable fallback again, the road is back at K, no backup copy is open.
void expect_synced_into_b();

}  // namespace board_client
