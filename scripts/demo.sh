#!/usr/bin/env bash
# The whole update road on a fresh virtual board: build a package from generated images,
# install it with ota_tool, switch to the new slot, reboot, check, confirm, synchronise,
# clear, and show the board at the end, with the road state (docs/update-road.md) after
# each step. Runs as root (loop devices, mount namespaces).
#   scripts/demo.sh                          set up, configure the default preset, build/
#   OTA_DEMO_BUILD=build-x scripts/demo.sh   use an already configured build folder
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# The engine's information lines go to the log; the tool's own lines and any warning or
# error stay on the screen.
quiet() { grep -av 'OTA_INFO\|OTA_DEBUG' || true; }

build=${OTA_DEMO_BUILD:-}
if [[ -z $build ]]; then
  say "Setting up the machine and building (scripts/setup.sh, cmake preset default)"
  scripts/setup.sh
  cmake --preset default >/dev/null
  build=build
else
  say "Building in $build"
fi
cmake --build "$build" --target ota_process ota_pack ota_tool vboard
bin=$root/$build/bin
work=$root/$build/demo
board=$work/board
rm -rf "$work"
mkdir -p "$work/images"
log=$work/demo.log
: >"$log"

say "Generating images: boot (4 MiB) and system (16 MiB) on eMMC, uboot (256 KiB) on NOR"
head -c 4M /dev/urandom >"$work/images/boot.img"
head -c 16M /dev/urandom >"$work/images/system.img"
head -c 256K /dev/urandom >"$work/images/uboot.img"
cat >"$work/package.desc" <<DESC
# A system package for the default board, carrying its own copy of the worker.
format zip
worker $bin/ota_process
key sys_version 2.0.0
key ab_sync 1
part boot   images/boot.img
part system images/system.img
part uboot  images/uboot.img
DESC
"$bin/ota_pack" "$work/package.desc" "$work/all_in_one_demo.zip"
echo "package: $work/all_in_one_demo.zip ($(du -h "$work/all_in_one_demo.zip" | cut -f1))"

say "Creating a factory-fresh board in $board"
"$bin/vboard" create "$board"
run() { "$bin/vboard" run "$board" -- "$@" 2>&1 | tee -a "$log" | quiet; }
# The first line of `ota_tool status`: the row of the road the board is in.
road() { "$bin/vboard" run "$board" -- "$bin/ota_tool" status 2>>"$log" | sed -n 1p; }

say "Boot-time confirmation of the factory slot A (an update service does this at boot)"
run "$bin/ota_tool" confirm
run "$bin/ota_tool" slot
road

say "ota_tool update: the worker from the package writes and proves slot B (packages live on /userdata)"
run sh -c "cp '$work/all_in_one_demo.zip' /userdata/ && \
  '$bin/ota_tool' update /userdata/all_in_one_demo.zip"
road

say "ota_tool set-slot b: slot B boots next, on trial (3 tries until confirmed); then the reboot"
run "$bin/ota_tool" set-slot b
road
"$bin/vboard" reboot "$board"

say "After the reboot: check that slot B booted, confirm it"
run "$bin/ota_tool" slot
road
run "$bin/ota_tool" check
run "$bin/ota_tool" confirm
road

say "ota_tool sync: the engine copies the updated partitions (eMMC and NOR) to slot A and proves them"
run "$bin/ota_tool" sync
road
run "$bin/ota_tool" clear
road

say "Two more reboots: the confirmed slot B keeps booting, slot A is its proven fallback"
"$bin/vboard" reboot "$board"
"$bin/vboard" reboot "$board"
run "$bin/ota_tool" slot
run "$bin/ota_tool" status

say "The board at the end (both slots hold the new images, nothing left for the firmware)"
"$bin/vboard" status "$board"
echo
echo "images: boot $(md5sum <"$work/images/boot.img" | cut -c1-32)," \
  "system $(md5sum <"$work/images/system.img" | cut -c1-32)," \
  "uboot $(md5sum <"$work/images/uboot.img" | cut -c1-32)"
echo "full engine log: $log"
