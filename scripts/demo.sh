#!/usr/bin/env bash
# The whole update road on a fresh virtual board with a keyring: two signed packages made
# from generated images, each installed with ota_tool and the board switched and rebooted
# into it; after each reboot `ota_tool boot-check` (what the board's boot-check unit runs)
# runs the board's health check. The first update passes it and is confirmed, synchronised
# and cleared; the second fails it and is rolled back to the slot it came from. The road
# state (docs/update-road.md) is shown after each step. Runs as root (loop devices, mount
# namespaces).
#   scripts/demo.sh                          set up, configure the default preset, build/
#   OTA_DEMO_BUILD=build-x scripts/demo.sh   use an already configured build folder
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

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
mkdir -p "$work"
log=$work/demo.log
: >"$log"

say "Generating an Ed25519 signing key; its public half becomes the board's keyring"
mkdir -p "$work/keys"
openssl genpkey -algorithm ed25519 -out "$work/owner.pem"
openssl pkey -in "$work/owner.pem" -pubout -out "$work/keys/owner.pub.pem"
echo "private key: $work/owner.pem (kept by the owner); public key: $work/keys/owner.pub.pem"

# make_package VERSION BOOT_HEADER: images for one system version, signed into a package.
# The board's health check looks for the boot image's header; an empty header makes an
# image that fails it.
make_package() {
  local version=$1 header=$2 dir=$work/images-$1
  mkdir -p "$dir"
  { printf '%s' "$header"; head -c $((4 * 1024 * 1024 - ${#header})) /dev/urandom; } >"$dir/boot.img"
  head -c 16M /dev/urandom >"$dir/system.img"
  head -c 256K /dev/urandom >"$dir/uboot.img"
  cat >"$work/package-$version.desc" <<DESC
# A system package for the default board, carrying its own copy of the worker.
format zip
worker $bin/ota_process
key sys_version $version
key ab_sync 1
part boot   images-$version/boot.img
part system images-$version/system.img
part uboot  images-$version/uboot.img
DESC
  "$bin/ota_pack" --sign "$work/owner.pem" "$work/package-$version.desc" \
    "$work/all_in_one_$version.zip"
  echo "package: $work/all_in_one_$version.zip ($(du -h "$work/all_in_one_$version.zip" | cut -f1)), signed"
}

say "Generating images and signed packages: 2.0.0 (a good boot image) and 2.1.0 (a broken one)"
echo "images: boot (4 MiB) and system (16 MiB) on eMMC, uboot (256 KiB) on NOR"
make_package 2.0.0 DEMOBOOT
make_package 2.1.0 ""

say "Creating a factory-fresh board in $board, its keyring $work/keys"
"$bin/vboard" create "$board" --keyring "$work/keys"
# The tool's own lines on the screen; the engine's (library, worker, the commands it runs)
# go to the log.
run() { "$bin/vboard" run "$board" -- "$@"; }
tool() { run "$bin/ota_tool" "$@" --log "$log"; }
# The first line of `ota_tool status`: the row of the road the board is in.
road() { run "$bin/ota_tool" status --log "$log" | sed -n 1p; }
# part_md5 PART LEN: the MD5 of the partition's first LEN bytes.
part_md5() { run sh -c "head -c $2 /dev/block/platform/by-name/$1 | md5sum" | cut -c1-32; }
# boot_check EXPECTED: ota_tool boot-check as the board's unit runs it at each boot, the
# reboot it may ask for done by the board's firmware; its exit status must be EXPECTED.
boot_check() {
  local status=0
  run "$bin/ota_tool" boot-check --log "$log" \
    --reboot-cmd "'$bin/vboard' reboot '$board'" || status=$?
  echo "boot-check exit status $status"
  if [[ $status != "$1" ]]; then
    echo "demo: boot-check ended with status $status, not $1" >&2
    exit 1
  fi
}

say "The board's health check: /etc/mirvo/ota-health.d/10-boot-header"
cat >"$work/10-boot-header" <<'CHECK'
#!/bin/sh
# The slot on trial must carry a boot image with the header its loader expects.
header=$(head -c 8 "/dev/block/platform/by-name/boot_$MIRVO_OTA_BOOTED_SLOT")
echo "slot $MIRVO_OTA_BOOTED_SLOT (from $MIRVO_OTA_PREVIOUS_SLOT): boot header '$header'"
[ "$header" = DEMOBOOT ]
CHECK
run sh -c "mkdir -p /etc/mirvo/ota-health.d &&
  install -m 755 '$work/10-boot-header' /etc/mirvo/ota-health.d/10-boot-header"
cat "$work/10-boot-header"

say "Factory provisioning: confirm slot A (a factory-fresh board has no confirmed slot)"
tool confirm
tool slot
road

say "Update 2.0.0: the worker from the signed package writes and proves slot B"
run cp "$work/all_in_one_2.0.0.zip" /userdata/
tool update /userdata/all_in_one_2.0.0.zip
road
tool set-slot b
road
"$bin/vboard" reboot "$board"

say "Boot of slot B on trial: boot-check runs the health check, then confirms, synchronises, clears"
tool slot
boot_check 0
road

say "Update 2.1.0: written into slot A, which boots next on trial"
run cp "$work/all_in_one_2.1.0.zip" /userdata/
tool update /userdata/all_in_one_2.1.0.zip
tool set-slot a
road
"$bin/vboard" reboot "$board"

say "Boot of slot A on trial: the health check fails; boot-check sends the board back to B and reboots it"
tool slot
boot_check 5
tool slot
road

say "The next boot, on B: boot-check finds the update did not take and clears the flags"
boot_check 0
road

say "Two more reboots: slot B (2.0.0) keeps booting, nothing is pending"
"$bin/vboard" reboot "$board"
"$bin/vboard" reboot "$board"
boot_check 0
tool status

say "The board at the end"
"$bin/vboard" status "$board"
echo
for part in boot system uboot; do
  image=$work/images-2.0.0/$part.img
  want=$(md5sum <"$image" | cut -c1-32)
  have=$(part_md5 "${part}_b" "$(stat -c %s "$image")")
  echo "slot B $part: $have $([[ $have == "$want" ]] && echo "(2.0.0, as written)" || echo "(NOT 2.0.0)")"
  [[ $have == "$want" ]] || { echo "demo: slot B's $part is not the 2.0.0 image" >&2; exit 1; }
done
[[ $(run "$bin/ota_tool" slot) == b ]] || { echo "demo: the board does not run slot B" >&2; exit 1; }
echo "full engine log: $log"
