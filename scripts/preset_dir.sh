#!/usr/bin/env bash
# Prints the build folder of a configure preset.
case "${1:-default}" in
  default) echo build ;;
  asan) echo build-asan ;;
  tsan) echo build-tsan ;;
  fuzz) echo build-fuzz ;;
  aarch64) echo build-aarch64 ;;
  *) echo "unknown preset: $1" >&2; exit 2 ;;
esac
