#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite.
#   scripts/test.sh              release build in build/
#   scripts/test.sh asan         AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh tsan         ThreadSanitizer build of the client tests in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-default}
scripts/setup.sh

dir=$(scripts/preset_dir.sh "$preset")
cmake --preset "$preset" >/dev/null
# Each pass builds only what it runs: the ThreadSanitizer pass runs the client suites.
targets=()
if [[ $preset == tsan ]]; then
  targets=(--target ota_apis_tests ota_apis_on_board_tests ota_apis_c_api_tests)
fi
cmake --build "$dir" "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
label_args=()
if [[ $preset == tsan ]]; then
  label_args=(-L '^module:ota_apis$')  # every suite of the client library
fi
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "${label_args[@]}"
