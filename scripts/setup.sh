#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: a second run only confirms that everything is there.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  zlib1g-dev libminizip-dev libzstd-dev libcjson-dev libdivsufsort-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  util-linux fdisk gdisk e2fsprogs mount libfuse3-dev fuse3
  zip unzip zstd tar xxd python3 time lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all build and test packages present"
