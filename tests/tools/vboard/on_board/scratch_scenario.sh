#!/bin/sh
# A shell scenario on a fresh board (vboard scratch): the work directory is a mount of
# its own, and a NOR B-to-A copy sent from the shell is carried out at the reboot.
set -eu
VBOARD=$1
df -P -k /userdata | grep -q userdata
grep -q 'mirvoboot.slot_suffix=_a' /proc/cmdline
printf 'hello-nor' | dd of=/dev/block/platform/by-name/uboot_b conv=notrunc,fsync 2>/dev/null
{ cat /usr/mirvo/share/ota/other_b2a_cmd; head -c 204 /dev/zero; } |
  dd of=/dev/block/platform/by-name/flashcmd conv=fsync 2>/dev/null
"$VBOARD" reboot "$VBOARD_DIR" > /dev/null
test "$(head -c 9 /dev/block/platform/by-name/uboot_a)" = hello-nor
grep -q 'NOR copy B to A' "$VBOARD_DIR/firmware.log"
