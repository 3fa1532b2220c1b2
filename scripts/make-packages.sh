#!/usr/bin/env bash
# Builds the Debian packages of the engine from CMake build trees, into build-packages/.
#
#   scripts/make-packages.sh [host|aarch64|all] [--build DIR] [--out DIR] [--no-lintian]
#
#   host     mirvo-ota-host-tools (ota_pack, ota_hdiff, vboard) for this machine, from the
#            host tree (default build/, made with `cmake --preset default` when missing)
#   aarch64  mirvo-ota (worker, client library, ota_tool, the reserved folders) and
#            libmirvo-ota-dev (headers, mirvo_ota.pc, CMake package files) for the board,
#            from build-aarch64/ (made with `cmake --preset aarch64` when missing)
#   all      both (the default); --build then names neither tree
#
# --build DIR takes any configured tree; the packages get that tree's architecture, so the
# board packages of a host tree are host packages with the board's layout. Each package is
# one install component (`cmake --install --component`, stripped, prefix /usr) staged in
# build-packages/stage/ and packed with dpkg-deb; dependencies come from dpkg-shlibdeps
# over its programs and libraries (for arm64 against the :arm64 libraries that
# `scripts/setup.sh aarch64` installs). Lintian checks each package and fails the run on
# any warning or error its shipped overrides do not explain (README, "Debian packages").
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
mode=all build="" out=$here/build-packages lintian=1
while (($#)); do
  case $1 in
    host | aarch64 | all) mode=$1 ;;
    --build) build=${2:?--build needs a folder}; shift ;;
    --out) out=${2:?--out needs a folder}; shift ;;
    --no-lintian) lintian=0 ;;
    *) echo "make-packages: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
if ((lintian)) && ! command -v lintian >/dev/null; then
  echo "make-packages: lintian is not installed (scripts/setup.sh installs it; --no-lintian skips it)" >&2
  exit 2
fi
for tool in dpkg-deb dpkg-shlibdeps dpkg-architecture; do
  command -v $tool >/dev/null || { echo "make-packages: $tool is missing (package dpkg-dev)" >&2; exit 2; }
done
if [[ $mode == all && -n $build ]]; then
  echo "make-packages: --build names one tree; choose host or aarch64" >&2
  exit 2
fi

maintainer=${OTA_DEB_MAINTAINER:-mirvo OTA maintainers <ota@mirvo.example>}
# Dates and file times of the packages are the commit's, so two runs over one commit make
# the same packages.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}
commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)

fail() {
  echo "make-packages: $*" >&2
  exit 1
}

# prepare_tree PRESET DIR TARGET...: DIR, configured with the preset when it is missing;
# then builds the targets named after it.
prepare_tree() {
  local preset=$1 dir=$2
  shift 2
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    echo "make-packages: configuring $dir with the $preset preset"
    (cd "$here" && cmake --preset "$preset") >&2 || fail "cmake --preset $preset failed"
  fi
  cmake --build "$dir" --target "$@" >&2 || fail "building $* in $dir failed"
}

cache_value() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# The Debian architecture of a tree, from the multiarch triplet its compiler reported.
tree_arch() {
  local triplet
  triplet=$(sed -n 's/^ *set(CMAKE_LIBRARY_ARCHITECTURE "\(.*\)")/\1/p' \
    "$1"/CMakeFiles/[0-9]*/CMakeCCompiler.cmake 2>/dev/null | head -1)
  [[ -n $triplet ]] || fail "$1 names no library architecture (CMakeFiles/*/CMakeCCompiler.cmake)"
  dpkg-architecture -t "$triplet" -qDEB_HOST_ARCH 2>/dev/null ||
    fail "no Debian architecture for the triplet $triplet of $1"
}

write_copyright() {
  cat >"$1" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: mirvo-ota
Upstream-Contact: $maintainer

Files: *
Copyright: $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y) the mirvo OTA developers
License: other
 The source repository states no licence. Ask the maintainers before passing
 this package on.
EOF
}

write_changelog() {
  local pkg=$1 version=$2 file=$3
  printf '%s (%s) unstable; urgency=medium\n\n  * Built from commit %s.\n\n -- %s  %s\n' \
    "$pkg" "$version" "$commit" "$maintainer" "$(date -R -u -d "@$SOURCE_DATE_EPOCH")" |
    gzip -9n >"$file"
}

# shlib_depends ARCH PKG FILE...: the Depends line dpkg-shlibdeps computes for the files
# of PKG (paths inside its tree). Each architecture's packages are staged as a Debian
# source tree would hold them (stage/ARCH/debian/PKG, beside a debian/control), which is
# where dpkg-shlibdeps looks for them and for the shlibs of the packages built with them.
shlib_depends() {
  local arch=$1 pkg=$2 f files=()
  shift 2
  for f in "$@"; do files+=("debian/$pkg/$f"); done
  printf 'Source: mirvo-ota\n\nPackage: %s\nArchitecture: any\n' "$pkg" \
    >"$out/stage/$arch/debian/control"
  (cd "$out/stage/$arch" && DEB_HOST_ARCH=$arch dpkg-shlibdeps -O --warnings=1 \
    -x"$pkg" "${files[@]}") | sed -n 's/^shlibs:Depends=//p'
  return "${PIPESTATUS[0]}"
}

# pack STAGE PKG VERSION ARCH DEPENDS SECTION SUMMARY DESCRIPTION: control files,
# documentation, md5sums, the .deb, and lintian over it.
pack() {
  local stage=$1 pkg=$2 version=$3 arch=$4 depends=$5 section=$6 summary=$7 description=$8
  local doc=$stage/usr/share/doc/$pkg deb=$out/${2}_${3}_${4}.deb
  mkdir -p "$doc" "$stage/DEBIAN"
  write_copyright "$doc/copyright"
  write_changelog "$pkg" "$version" "$doc/changelog.gz"
  {
    echo "Package: $pkg"
    echo "Version: $version"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
    [[ -n $depends ]] && echo "Depends: $depends"
    echo "Section: $section"
    echo "Priority: optional"
    echo "Description: $summary"
    echo " ${description//$'\n'/$'\n '}"
  } >"$stage/DEBIAN/control"
  (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0r md5sum) >"$stage/DEBIAN/md5sums"
  find "$stage" -type d -exec chmod 0755 {} +
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null ||
    fail "dpkg-deb could not pack $pkg"
  echo "make-packages: $deb"
  if ((lintian)); then
    lintian --fail-on error,warning "$deb" || fail "lintian finds faults in $deb (see above)"
  fi
}

# overrides STAGE PKG LINE...: lintian overrides shipped with the package; each line says
# why (README, "Debian packages").
overrides() {
  local stage=$1 pkg=$2
  shift 2
  mkdir -p "$stage/usr/share/lintian/overrides"
  printf '%s\n' "$@" >"$stage/usr/share/lintian/overrides/$pkg"
}

install_component() {
  local dir=$1 component=$2 stage=$3
  rm -rf "$stage"
  mkdir -p "$(dirname "$stage")"
  DESTDIR=$stage cmake --install "$dir" --prefix /usr --component "$component" --strip \
    >/dev/null || fail "cmake --install of component $component from $dir failed"
  mkdir -p "$stage/DEBIAN"
  # What Debian's own packaging also drops: the compiler's notes.
  local strip f
  strip=$(cache_value "$dir" CMAKE_STRIP)
  while IFS= read -r -d '' f; do
    if [[ $(head -c4 "$f" | od -An -c | tr -d ' ') == 177ELF ]]; then
      "$strip" --remove-section=.comment --remove-section=.note "$f" ||
        fail "$strip could not drop the notes of $f"
    fi
  done < <(find "$stage" -type f -print0)
}

# The board's packages from tree DIR: mirvo-ota and libmirvo-ota-dev.
board_packages() {
  local dir=$1 arch version major stage dev libdir depends
  prepare_tree aarch64 "$dir" mirvo_ota ota_process ota_tool
  arch=$(tree_arch "$dir")
  version=$(cache_value "$dir" CMAKE_PROJECT_VERSION)
  major=${version%%.*}
  libdir=$(cache_value "$dir" CMAKE_INSTALL_LIBDIR)
  stage=$out/stage/$arch/debian/mirvo-ota dev=$out/stage/$arch/debian/libmirvo-ota-dev

  install_component "$dir" board "$stage"
  # The library is public: its users' packages depend on this one through shlibs, and
  # ldconfig learns of it through the trigger.
  echo "libmirvo_ota $major mirvo-ota (>= $version)" >"$stage/DEBIAN/shlibs"
  echo "activate-noawait ldconfig" >"$stage/DEBIAN/triggers"
  overrides "$stage" mirvo-ota \
    "# One package carries the whole board side: worker, client library and operator tool." \
    "mirvo-ota: package-name-doesnt-match-sonames libmirvo-ota$major" \
    "# The programs document themselves (-h, usage); see the README." \
    "mirvo-ota: no-manual-page [usr/bin/ota_process]" \
    "mirvo-ota: no-manual-page [usr/bin/ota_tool]" \
    "# The boot firmware reads its command templates from /usr/mirvo/share/ota." \
    "mirvo-ota: non-standard-dir-in-usr [usr/mirvo/]" \
    "# Reserved for the command templates prepared for the board." \
    "mirvo-ota: package-contains-empty-directory [usr/mirvo/share/ota/]"
  depends=$(shlib_depends "$arch" mirvo-ota usr/bin/ota_process usr/bin/ota_tool \
    "usr/$libdir/libmirvo_ota.so.$version") || fail "dpkg-shlibdeps failed for mirvo-ota"
  pack "$stage" mirvo-ota "$version" "$arch" "$depends" admin \
    "over-the-air update engine of the mirvo board (A/B slots)" \
    "The update worker ota_process, the client library libmirvo_ota.so.$major that an
update service links, and the operator's client ota_tool. Reserves the keyring
folder /etc/mirvo/ota-keys, the health-check folder /etc/mirvo/ota-health.d and
the boot firmware's command template folder /usr/mirvo/share/ota."

  install_component "$dir" dev "$dev"
  pack "$dev" libmirvo-ota-dev "$version" "$arch" "mirvo-ota (= $version)" libdevel \
    "development files of the mirvo OTA client library" \
    "The public C headers mirvo_ota_hl.h and mirvo_ota_ll.h, the link-time name of
libmirvo_ota.so, the pkg-config file mirvo_ota.pc and the CMake package files
(find_package(mirvo_ota) gives the target mirvo_ota::mirvo_ota)."
}

# The host's package from tree DIR: mirvo-ota-host-tools.
host_packages() {
  local dir=$1 arch version stage depends
  prepare_tree default "$dir" ota_pack ota_hdiff_tool vboard
  arch=$(tree_arch "$dir")
  version=$(cache_value "$dir" CMAKE_PROJECT_VERSION)
  stage=$out/stage/$arch/debian/mirvo-ota-host-tools
  install_component "$dir" host "$stage"
  overrides "$stage" mirvo-ota-host-tools \
    "# The programs document themselves (-h, usage); see the README." \
    "mirvo-ota-host-tools: no-manual-page [usr/bin/ota_hdiff]" \
    "mirvo-ota-host-tools: no-manual-page [usr/bin/ota_pack]" \
    "mirvo-ota-host-tools: no-manual-page [usr/bin/vboard]"
  depends=$(shlib_depends "$arch" mirvo-ota-host-tools usr/bin/ota_pack usr/bin/ota_hdiff usr/bin/vboard) ||
    fail "dpkg-shlibdeps failed for mirvo-ota-host-tools"
  pack "$stage" mirvo-ota-host-tools "$version" "$arch" "$depends" devel \
    "host tools of the mirvo OTA update engine" \
    "The package builder ota_pack, the image differ ota_hdiff and the virtual board
vboard, which runs the engine on this machine at the board's paths (as root)."
}

mkdir -p "$out"
case $mode in
  host) host_packages "${build:-$here/build}" ;;
  aarch64) board_packages "${build:-$here/build-aarch64}" ;;
  all)
    host_packages "$here/build"
    board_packages "$here/build-aarch64"
    ;;
esac
