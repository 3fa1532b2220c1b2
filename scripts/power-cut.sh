#!/usr/bin/env bash
# The power-cut explorer: records the full system update road once on a power-cut board
# and boots the board a power cut leaves at every flush boundary of the record and at a
# seeded sample of other moments (tests/power_cut, README "Power cuts"). Runs as root.
#   scripts/power-cut.sh [--states N] [--seed S]   N sampled states besides the boundaries
#   scripts/power-cut.sh --replay FILE              the states of FILE ("K MODE SEED" lines,
#                                                   as a run keeps its failures in
#                                                   <build>/tests/power_cut/road/failed.txt)
#                                                   again, on the record the last run kept
# OTA_BUILD=build-x picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${OTA_BUILD:-build}
states=
seed=
replay=
while [[ $# -gt 0 ]]; do
  case $1 in
    --states) states=${2:?--states needs a number}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --replay) replay=$(realpath "${2:?--replay needs a file}"); shift 2 ;;
    *) echo "usage: $0 [--states N] [--seed S] | --replay FILE" >&2; exit 2 ;;
  esac
done
if [[ -n $replay && ! -s $replay ]]; then
  echo "power-cut.sh: $replay holds no states" >&2
  exit 2
fi
cmake --build "$build" --target power_cut_road_tests
# A replayed file may be the one the run appends its failures to: read a copy.
if [[ -n $replay ]]; then
  copy=$(mktemp)
  trap 'rm -f "$copy"' EXIT
  cp "$replay" "$copy"
  replay=$copy
fi
POWER_CUT_STATES=${states} POWER_CUT_SEED=${seed} POWER_CUT_REPLAY=${replay} \
  "$build/bin/power_cut_road_tests"
