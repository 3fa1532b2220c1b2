#!/usr/bin/env bash
# The power-cut explorer over every scenario (tools/power_cut, README "Power cuts"):
# records each road once on a power-cut board, then boots the board a power cut leaves
# at every flush boundary of each record and at drawn states, and finishes the road
# from a share of them. Runs as root.
#   scripts/power-cut.sh [--states N] [--seed S] [--reruns R] [SCENARIO...]
#       N drawn states shared among the scenarios besides the boundaries (default 800),
#       R states per scenario the road is finished from (default 50); SCENARIO: full,
#       incremental, client, param, twice (default: all of them)
#   scripts/power-cut.sh --replay FILE
#       the crash points of FILE ("SCENARIO K MODE SEED check|rerun" lines, as a run
#       keeps its failures in <build>/power-cut/failed.txt) again, on the records the
#       last run kept
# OTA_BUILD=build-x picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${OTA_BUILD:-build}
work=$build/power-cut
states=800
seed=1
reruns=50
replay=
scenarios=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --states) states=${2:?--states needs a number}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --reruns) reruns=${2:?--reruns needs a number}; shift 2 ;;
    --replay) replay=$(realpath "${2:?--replay needs a file}"); shift 2 ;;
    -*) echo "usage: $0 [--states N] [--seed S] [--reruns R] [SCENARIO...] | --replay FILE" >&2
        exit 2 ;;
    *) scenarios+=("$1"); shift ;;
  esac
done
[[ ${#scenarios[@]} -gt 0 ]] || scenarios=(all)
cmake --build "$build" --target ota_power_cut
layout=tests/support/road.layout
if [[ -n $replay ]]; then
  if ! grep -qv '^#' "$replay"; then
    echo "power-cut.sh: $replay holds no crash points" >&2
    exit 2
  fi
  # The replayed file may be the one failures are appended to: read a copy.
  copy=$(mktemp)
  trap 'rm -f "$copy"' EXIT
  cp "$replay" "$copy"
  exec "$build/bin/ota_power_cut" replay "$copy" --work "$work" --layout "$layout"
fi
exec "$build/bin/ota_power_cut" explore "${scenarios[@]}" --work "$work" --layout "$layout" \
  --states "$states" --seed "$seed" --reruns "$reruns"
