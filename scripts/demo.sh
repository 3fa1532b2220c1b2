#!/usr/bin/env bash
# The main job: sets up the machine, builds everything and runs the streaming benchmark
# on a small image (until the whole update road exists on the virtual board).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build
if [[ -x build/bin/bench_streaming ]]; then
  build/bin/bench_streaming --size-mib "${OTA_DEMO_SIZE_MIB:-64}"
else
  echo "demo: build/bin/bench_streaming is not built yet" >&2
  exit 1
fi
