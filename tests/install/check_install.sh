#!/usr/bin/env bash
# Installs the board and dev components of a build into a private root (DESTDIR, prefix
# /usr, the board's own layout) and checks what an integrator takes from it: the exact
# file list, the library's SONAME and links, no build-tree run path, and two consumers
# (C and C++), built once through find_package(mirvo_ota) and once through
# `pkg-config --cflags --libs mirvo_ota`, that run against the installed library.
# A second install under a private prefix must write nothing outside that prefix.
#
# check_install.sh CMAKE BUILD_DIR CONSUMER_DIR CC CXX READELF PKG_CONFIG LIBDIR VERSION
#                  [TOOLCHAIN_FILE]
set -euo pipefail

cmake=$1 build=$2 consumer=$3 cc=$4 cxx=$5 readelf=$6 pkg_config=$7 libdir=$8 version=$9
toolchain=${10:-}
major=${version%%.*}
work=$(mktemp -d /tmp/ota-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
lib=$root/usr/$libdir

here=$(cd "$(dirname "$0")" && pwd)
lists=$here/files
# shellcheck source-path=SCRIPTDIR source=layout.sh
source "$here/layout.sh"

fail() {
  echo "check_install: $*" >&2
  exit 1
}

for component in board dev; do
  DESTDIR=$root "$cmake" --install "$build" --prefix /usr --component $component >/dev/null ||
    fail "cmake --install of component $component failed"
done

# Every file and link of the two components, their empty folders, and nothing else.
same_entries "the installed tree" \
  "$(expected_entries "$libdir" "$version" "$lists/board.list" "$lists/dev.list")" \
  "$(tree_entries "$root")" || fail "the installed tree is not the board and dev lists"

[[ -f $lib/libmirvo_ota.so.$version && ! -L $lib/libmirvo_ota.so.$version ]] ||
  fail "libmirvo_ota.so.$version is not a regular file"
[[ $(readlink "$lib/libmirvo_ota.so.$major") == libmirvo_ota.so.$version ]] ||
  fail "libmirvo_ota.so.$major does not link to libmirvo_ota.so.$version"
[[ $(readlink "$lib/libmirvo_ota.so") == libmirvo_ota.so.$major ]] ||
  fail "libmirvo_ota.so does not link to libmirvo_ota.so.$major"
soname=$("$readelf" -d "$lib/libmirvo_ota.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libmirvo_ota.so.$major ]] || fail "SONAME is '$soname', not libmirvo_ota.so.$major"
for elf in "$lib/libmirvo_ota.so.$version" "$root/usr/bin/ota_tool" "$root/usr/bin/ota_process"; do
  [[ $elf == *.so.* || -x $elf ]] || fail "${elf#"$root"} is not executable"
  ! "$readelf" -d "$elf" | grep -E '\((RPATH|RUNPATH)\)' >&2 ||
    fail "${elf#"$root"} keeps a run path from the build tree"
done
for dir in etc/mirvo/ota-keys etc/mirvo/ota-health.d usr/mirvo/share/ota; do
  [[ -d $root/$dir && -z $(ls -A "$root/$dir") ]] || fail "$dir is not an empty folder"
done

printf 'mirvo 4.0.1 build 7\n' >"$work/version"
# run_consumer NAME BINARY [ENV...]: runs it and checks it used the installed library.
run_consumer() {
  local name=$1 binary=$2 out needed
  shift 2
  needed=$("$readelf" -d "$binary" | sed -n 's/.*(NEEDED).*\[\(libmirvo_ota[^]]*\)\]/\1/p')
  [[ $needed == libmirvo_ota.so.$major ]] ||
    fail "$name needs '$needed', not the SONAME libmirvo_ota.so.$major"
  out=$(env "$@" "$binary" "$work/version") || fail "$name failed"
  [[ $out == *" library $lib/libmirvo_ota.so.$major version $version" ]] ||
    fail "$name ran with another library: $out"
  echo "$name: $out"
}

# find_package(mirvo_ota), the library found by its imported target (run path to it).
cross=()
[[ -n $toolchain ]] && cross=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
"$cmake" -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$root/usr" \
  "${cross[@]}" >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; fail "find_package consumer: configure failed"; }
"$cmake" --build "$work/cmake-build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "find_package consumer: build failed"; }
for lang in c cpp; do
  run_consumer "find_package $lang" "$work/cmake-build/consumer_$lang"
done

# pkg-config, looking at the installed tree alone.
export PKG_CONFIG_LIBDIR=$lib/pkgconfig PKG_CONFIG_PATH=
flags=$("$pkg_config" --cflags --libs mirvo_ota) || fail "pkg-config does not know mirvo_ota"
[[ $("$pkg_config" --modversion mirvo_ota) == "$version" ]] || fail "mirvo_ota.pc is not version $version"
define=-DOTA_EXPECTED_VERSION=\"$version\"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c11 -Wall -Wextra -Werror "$define" "$consumer/consumer.c" $flags -o "$work/pc_c" ||
  fail "pkg-config consumer (C) did not build with: $flags"
# shellcheck disable=SC2086
"$cxx" -std=c++20 -Wall -Wextra -Werror "$define" "$consumer/consumer.cpp" $flags -o "$work/pc_cpp" ||
  fail "pkg-config consumer (C++) did not build with: $flags"
run_consumer "pkg-config c" "$work/pc_c" LD_LIBRARY_PATH="$lib"
run_consumer "pkg-config cpp" "$work/pc_cpp" LD_LIBRARY_PATH="$lib"

# Under a prefix other than /usr the configuration folders follow the prefix.
"$cmake" --install "$build" --prefix "$work/prefix" --component board >/dev/null ||
  fail "cmake --install --prefix failed"
for dir in etc/mirvo/ota-keys etc/mirvo/ota-health.d mirvo/share/ota; do
  [[ -d $work/prefix/$dir ]] || fail "an install under $work/prefix has no $dir"
done
echo "check_install: installed tree, SONAME, links and four consumers as expected"
