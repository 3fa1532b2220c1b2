#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
#   scripts/setup.sh           the host build
#   scripts/setup.sh aarch64   the host build, plus the cross toolchain, the arm64 libraries
#                              the board's programs link and the emulator that runs them
# Idempotent: a second run only confirms that everything is there.
set -euo pipefail

target=${1:-host}
case $target in
  host | default | aarch64) ;;
  *) echo "setup: unknown target '$target' (host or aarch64)" >&2; exit 2 ;;
esac

packages=(
  build-essential g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  zlib1g-dev libminizip-dev libisal-dev libzstd-dev libcjson-dev libdivsufsort-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  util-linux fdisk gdisk e2fsprogs mount libfuse3-dev fuse3
  libssl-dev openssl zip unzip zstd tar xxd python3 time lintian systemd
)
# The aarch64 tree links the same libraries as the host tree (the test suites make
# packages in process, so the differ's libdivsufsort comes along); pkg-config:arm64 brings
# aarch64-linux-gnu-pkg-config and libstdc++6:arm64 lets the emulator run what links it.
# A library newly linked by a board target needs its :arm64 package here as well.
# libisal-dev:arm64 is the exception: Debian's ISA-L packages are not multi-arch, so the
# arm64 one would remove the host's; the aarch64 tree inflates zip members with zlib.
if [[ $target == aarch64 ]]; then
  packages+=(
    crossbuild-essential-arm64 qemu-user-static ccache
    pkg-config:arm64 libstdc++6:arm64
    zlib1g-dev:arm64 libminizip-dev:arm64 libzstd-dev:arm64 libcjson-dev:arm64
    libdivsufsort-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libfuse3-dev:arm64
    libssl-dev:arm64
  )
fi

export DEBIAN_FRONTEND=noninteractive
if [[ $target == aarch64 ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "setup: adding the arm64 architecture"
  dpkg --add-architecture arm64
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  # --no-remove: an arm64 package that would push out a host package is an error, not a swap.
  apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
fi

# Registers the emulator for aarch64 ELF files with the flags of Debian's own entry:
# P keeps argv[0], O hands the interpreter an open descriptor (what fexecve of an emulated
# program needs), F opens the interpreter now, so that it also runs inside other mount
# namespaces (the virtual board's). An entry already there is kept.
register_aarch64_binfmt() {
  local fs=/proc/sys/fs/binfmt_misc conf=/usr/lib/binfmt.d/qemu-aarch64.conf line
  if [[ ! -e $fs/register ]]; then
    mount -t binfmt_misc binfmt_misc "$fs" ||
      { echo "setup: cannot mount binfmt_misc on $fs" >&2; return 1; }
  fi
  if [[ -e $fs/qemu-aarch64 ]]; then
    echo "setup: binfmt entry qemu-aarch64 already registered"
    return 0
  fi
  line=$(grep -v '^#' "$conf" | grep -m1 ':qemu-aarch64:') ||
    { echo "setup: no qemu-aarch64 entry in $conf" >&2; return 1; }
  printf '%s' "$line" >"$fs/register" ||
    { echo "setup: the kernel refused the qemu-aarch64 entry of $conf" >&2; return 1; }
  echo "setup: registered binfmt entry qemu-aarch64"
}

if [[ $target == aarch64 ]]; then
  register_aarch64_binfmt
  echo "setup: all build and test packages present, aarch64 programs run through qemu-aarch64"
else
  echo "setup: all build and test packages present"
fi
