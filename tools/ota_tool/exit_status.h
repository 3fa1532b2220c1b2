// The exit statuses of ota_tool, one table for every command (README "Exit statuses").
#pragma once

namespace ota_tool {

enum ExitStatus : int {
  kExitDone = 0,        // done; for boot-check: nothing pending, or the update confirmed
  kExitFailed = 1,      // the operation failed; the library's code and name are printed
  kExitUsage = 2,       // the command line was wrong
  kExitRolledBack = 5,  // boot-check sent the board back to its old slot, reboot requested
};

}  // namespace ota_tool
