#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite.
#   scripts/test.sh              release build in build/
#   scripts/test.sh asan         AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh tsan         ThreadSanitizer build of the client tests and the burn
#                                pipeline's tests in build-tsan/
#   scripts/test.sh aarch64      cross build for the board in build-aarch64/, its suites run
#                                through qemu-aarch64 with the host tools of build/
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-default}
if [[ $preset == aarch64 ]]; then
  scripts/setup.sh aarch64
  # The aarch64 tree builds no host tool: vboard, ota_pack, ota_hdiff and ota_killpoint
  # come from the host build (brought up to date here, the rest of it is not needed);
  # OTA_HOST_BUILD_DIR names another host build folder than the default preset's.
  host_dir=${OTA_HOST_BUILD_DIR:-$(scripts/preset_dir.sh default)}
  [[ -f $host_dir/build.ninja ]] || cmake --preset default -B "$host_dir" >/dev/null
  cmake --build "$host_dir" --target vboard ota_pack ota_hdiff_tool ota_killpoint
  preset_args=(-DOTA_HOST_TOOLS_DIR="$(realpath "$host_dir")/bin")
else
  scripts/setup.sh
  preset_args=()
fi

dir=$(scripts/preset_dir.sh "$preset")
cmake --preset "$preset" "${preset_args[@]}" >/dev/null
# Each pass builds only what it runs: the ThreadSanitizer pass runs the client suites and
# the tests of the burn pipeline, the worker's second thread.
targets=()
if [[ $preset == tsan ]]; then
  targets=(--target ota_apis_tests ota_apis_on_board_tests ota_apis_c_api_tests device_tests
    archive_tests ota_process_tests)
fi
cmake --build "$dir" "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
label_args=()
if [[ $preset == tsan ]]; then
  # every suite of the client library, and the tests labelled burn_pipeline
  label_args=(-L '^(module:ota_apis|burn_pipeline)$')
fi
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${label_args[@]}"
