#!/bin/sh
# Builds the fuzz preset and runs every fuzz_* target for a bounded time each, starting
# from its seed corpus. Fails on the first crash, leak or sanitizer report.
#   fuzz/run_all.sh [seconds per target, default 60]
# OTA_FUZZ_BUILD_DIR chooses another build folder than build-fuzz (same preset).
set -eu

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds per target]" >&2; exit 2 ;;
esac

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${OTA_FUZZ_BUILD_DIR:-$repo/build-fuzz}"

(cd "$repo" && cmake --preset fuzz -B "$build" >/dev/null)
cmake --build "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT INT TERM

targets="$(find "$build" -type f -perm -u+x -name 'fuzz_*' | sort)"
if [ -z "$targets" ]; then
  echo "no fuzz_* targets were built in $build" >&2
  exit 1
fi

for target in $targets; do
  name="$(basename "$target")"
  # Seeds live in fuzz/corpus/<target> or fuzz/corpus/<target without "fuzz_">.
  seeds="$repo/fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds="$repo/fuzz/corpus/${name#fuzz_}"
  corpus="$work/$name"
  mkdir -p "$corpus"
  echo "== $name: ${seconds}s"
  if [ -d "$seeds" ]; then
    set -- "$corpus" "$seeds"
  else
    set -- "$corpus"
  fi
  mkdir -p "$build/artifacts"
  if ! (cd "$work" && "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" "$@" \
        2>"$work/$name.log"); then
    tail -n 60 "$work/$name.log" >&2
    echo "FAILED: $name; the failing input is in $build/artifacts/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$work/$name.log" || true
done
echo "all fuzz targets ran ${seconds}s without a fault"
