#include "boot_check.h"

#include <cstdlib>

#include "error_names.h"
#include "exit_status.h"
#include "health_checks.h"
#include "mirvo_ota_hl.h"
#include "veeprom_flag.h"

namespace ota_tool {

namespace {

std::string letter(int64_t slot) { return slot == 0 ? "a" : (slot == 1 ? "b" : "?"); }

bool confirmed(const slot_metadata& m) {
  return m.successful_boot() == 1 && m.tries_remaining() > 0 && m.verity_corrupted() == 0;
}

// The check said the new slot did not boot (-12) or never was switched to.
BootDecision not_booted(const BootFacts& f) {
  const RoadInputs& b = f.board;
  if (!b.misc_valid || b.running < 0 || b.running > 1) {
    return {BootAction::kCannotDecide, "the running slot or the boot control block is unknown"};
  }
  const int32_t other = b.running ^ 1;
  const std::string r = letter(b.running);
  if (confirmed(b.slots[b.running])) {
    return {BootAction::kClearFailed, "the update did not take (check: " + describe_code(f.check) +
                                          "); slot " + r + " runs confirmed: clearing the flags"};
  }
  if (confirmed(b.slots[other])) {
    return {BootAction::kFinishRollback,
            "slot " + r + " runs unconfirmed and no switch to it is on record (a rollback to " +
                letter(other) + " was begun): finishing the rollback"};
  }
  return {BootAction::kCannotDecide, "the update did not take and neither slot is confirmed"};
}

}  // namespace

BootDecision decide_boot_action(const BootFacts& f) {
  const RoadInputs& b = f.board;
  if (f.check == -OTAERR_STAGE) {
    if (classify_road(b).id == "X1") {
      return {BootAction::kClearLeftover,
              "the flags are cleared but the road record is not idle: clearing again"};
    }
    return {BootAction::kNothing, "no update pending"};
  }
  if (f.check == -OTAERR_IMAGE_WRITE) {
    return {BootAction::kLeaveUnfinished,
            "an update stopped while writing; nothing booted to check (update again, or clear)"};
  }
  if (f.check == -OTAERR_BOOT_FAILED) {
    return not_booted(f);
  }
  if (f.check < 0) {
    return {BootAction::kCannotDecide, "the check failed: " + describe_code(f.check)};
  }
  if (b.up == OTA_FLAG_VERIFIED) {
    return {BootAction::kFinishConfirmed, "the update on slot " + letter(b.running) +
                                              " is confirmed: synchronising and clearing"};
  }
  return {BootAction::kRunChecks,
          "slot " + letter(b.running) + " booted on trial: running the health checks"};
}

namespace {

std::vector<std::string> check_environment(int32_t running, const Options& o) {
  char version[16] = {};
  (void)otaGetLibVersion(version, sizeof(version));
  std::vector<std::string> env = {
      "MIRVO_OTA_BOOTED_SLOT=" + letter(running),
      "MIRVO_OTA_PREVIOUS_SLOT=" + letter(running ^ 1),
      std::string("MIRVO_OTA_LIB_VERSION=") + version,
      "MIRVO_OTA_CHECK_TIMEOUT=" + std::to_string(o.check_timeout_s),
  };
  antirollback_ver_t ver{};
  const bool have = ota_get_anti_ver_veeprom(&ver) == 0;
  env.push_back("MIRVO_OTA_HOST_VERSION=" + (have ? std::to_string(ver.host_ver) : ""));
  env.push_back("MIRVO_OTA_HSM_VERSION=" + (have ? std::to_string(ver.hsm_ver) : ""));
  return env;
}

// True when every check passed; the first that fails ends the run.
bool health_checks_pass(const Options& o, int32_t running, const ToolLog& log) {
  auto list = list_health_checks(o.health_dir);
  if (!list) {
    log.error("health checks: " + list.error().message() + ": counted as failed");
    return false;
  }
  for (const std::string& s : list.value().skipped) {
    log.step("health checks: skipping " + s + " (not an executable file)");
  }
  if (list.value().paths.empty()) {
    log.step("health checks: none in " + o.health_dir + ": nothing to fail");
    return true;
  }
  const std::vector<std::string> env = check_environment(running, o);
  for (const std::string& path : list.value().paths) {
    log.step("health check " + path + ": running (limit " + std::to_string(o.check_timeout_s) +
             " s)");
    const std::string name = path.substr(path.rfind('/') + 1);
    const CheckResult r = run_health_check(path, env, o.check_timeout_s, [&](const std::string& l) {
      log.detail("health check " + name + ": " + l);
    });
    if (r.outcome != CheckOutcome::kPassed) {
      log.error("health check " + path + " " + describe_check(r, o.check_timeout_s));
      return false;
    }
    log.step("health check " + path + " passed");
  }
  return true;
}

int library_failed(const ToolLog& log, const std::string& what, int32_t code) {
  log.error(what + " failed: " + describe_code(code));
  return kExitFailed;
}

// Clears the flags and proves the status record is back to no update.
int clear(const ToolLog& log, const std::string& why) {
  otaClearFlags();
  ota_update_flag_e up = OTA_FLAG_VERIFY;
  if (ota_get_up_status(&up) != 0 || up != OTA_FLAG_NORMAL) {
    log.error("clearing the flags (otaClearFlags) left the update status " + std::to_string(up));
    return kExitFailed;
  }
  log.step("flags cleared (otaClearFlags): " + why);
  return kExitDone;
}

int sync_and_clear(const ToolLog& log, int32_t running) {
  if (const int32_t ret = otaPartitionSync(); ret < 0) {
    return library_failed(log, "synchronising (otaPartitionSync)", ret);
  }
  log.step("synchronised (otaPartitionSync): the other slot and the backups hold slot " +
           letter(running) + "'s copies");
  return clear(log, "update on slot " + letter(running) + " done");
}

int roll_back(const Options& o, const ToolLog& log, int32_t running) {
  const int32_t back = running ^ 1;
  if (const int32_t ret = otaSetPartition(static_cast<uint8_t>(back)); ret != 0) {
    return library_failed(
        log, "sending the board back to slot " + letter(back) + " (otaSetPartition)", ret);
  }
  log.step("rollback: slot " + letter(back) + " boots next (otaSetPartition); slot " +
           letter(running) + " stays unconfirmed");
  if (o.reboot_cmd.empty()) {
    log.step("no --reboot-cmd: the board boots slot " + letter(back) + " at its next reboot");
    return kExitRolledBack;
  }
  log.step("rebooting: " + o.reboot_cmd);
  const int status = std::system(o.reboot_cmd.c_str());
  if (status != 0) {
    log.error("the reboot command failed (status " + std::to_string(status) + "); slot " +
              letter(back) + " boots at the next reboot");
    return kExitFailed;
  }
  return kExitRolledBack;
}

int check_then_confirm(const Options& o, const ToolLog& log, int32_t running) {
  if (!health_checks_pass(o, running, log)) {
    log.step("health checks failed: the update on slot " + letter(running) + " is not confirmed");
    return roll_back(o, log, running);
  }
  if (const int32_t ret = otaMarkOTASuccessful(); ret != 0) {
    return library_failed(log, "confirming slot " + letter(running) + " (otaMarkOTASuccessful)",
                          ret);
  }
  log.step("health checks passed: slot " + letter(running) + " confirmed (otaMarkOTASuccessful)");
  return sync_and_clear(log, running);
}

int act(const Options& o, const ToolLog& log, const BootFacts& facts, const BootDecision& d) {
  const int32_t running = facts.board.running;
  switch (d.action) {
    case BootAction::kNothing:
    case BootAction::kLeaveUnfinished:
      return kExitDone;
    case BootAction::kClearLeftover:
    case BootAction::kClearFailed:
      return clear(log, "no update pending any more; slot " + letter(running) + " runs");
    case BootAction::kRunChecks:
      return check_then_confirm(o, log, running);
    case BootAction::kFinishConfirmed:
      return sync_and_clear(log, running);
    case BootAction::kFinishRollback:
      return roll_back(o, log, running);
    case BootAction::kCannotDecide:
      break;
  }
  return kExitFailed;
}

}  // namespace

int run_boot_check(const Options& options, const ToolLog& log) {
  (void)otaInitLib();
  BootFacts facts;
  facts.check = otaCheckUpdate();
  facts.board = read_road_inputs();
  const BootDecision d = decide_boot_action(facts);
  if (d.action == BootAction::kCannotDecide) {
    log.error("boot-check: " + d.reason);
  } else {
    log.step("boot-check: " + d.reason);
  }
  const int status = act(options, log, facts, d);
  (void)otaDeinitLib();
  return status;
}

}  // namespace ota_tool
