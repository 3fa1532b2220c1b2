#!/usr/bin/env bash
# Makes the Debian packages of a build with scripts/make-packages.sh (lintian included) and
# checks what they hold and what they say: each package's files (dpkg -x) are its lists in
# files/ plus its documents, all owned by root; installed together with dpkg --root into
# an empty root they lay out the board's tree; every library their programs need is
# provided by a package their Depends names; and the packaged ota_tool runs with the
# packaged library.
#
# check_packages.sh MAKE_PACKAGES BUILD_DIR LIBDIR VERSION [host]
set -euo pipefail

make_packages=$1 build=$2 libdir=$3 version=$4 with_host=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
lists=$here/files
# shellcheck source-path=SCRIPTDIR source=layout.sh
source "$here/layout.sh"
work=$(mktemp -d /tmp/ota-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT
out=$work/out

fail() {
  echo "check_packages: $*" >&2
  exit 1
}

"$make_packages" aarch64 --build "$build" --out "$out" || fail "board packages not made"
if [[ $with_host == host ]]; then
  "$make_packages" host --build "$build" --out "$out" || fail "host packages not made"
fi

arch=$(dpkg-deb -f "$out"/mirvo-ota_"$version"_*.deb Architecture)
triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
# Package name, the lists it carries, whether it ships lintian overrides.
packages=("mirvo-ota board.list yes" "libmirvo-ota-dev dev.list no")
[[ $with_host == host ]] && packages+=("mirvo-ota-host-tools host.list yes")

docs() {
  printf 'usr/share/doc/%s/changelog.gz\nusr/share/doc/%s/copyright\n' "$1" "$1"
  [[ $2 == yes ]] && printf 'usr/share/lintian/overrides/%s\n' "$1"
  return 0
}

# provider SONAME: the installed package that ships the library of that name.
provider() {
  local dir owner
  for dir in /lib/$triplet /usr/lib/$triplet; do
    owner=$(dpkg -S "$dir/$1" 2>/dev/null | head -1) && break
  done
  [[ -n $owner ]] || fail "no installed package ships $1 for $arch"
  echo "${owner%%[:,]*}"
}

all_expected=""
debs=()
for row in "${packages[@]}"; do
  read -r pkg list overrides <<<"$row"
  deb=$out/${pkg}_${version}_$arch.deb
  [[ -f $deb ]] || fail "$deb was not made"
  debs+=("$deb")
  expected=$( (expected_entries "$libdir" "$version" "$lists/$list"; docs "$pkg" "$overrides") | sort)
  all_expected+=$expected$'\n'
  mkdir -p "$work/x"
  dpkg -x "$deb" "$work/x/$pkg"
  same_entries "$pkg" "$expected" "$(tree_entries "$work/x/$pkg")" || fail "$pkg holds other files"
  owners=$(dpkg-deb -c "$deb" | awk '$2 != "root/root" {print $6}')
  [[ -z $owners ]] || fail "$pkg has files not owned by root: $owners"

  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends != *"$pkg ("* ]] || fail "$pkg depends on itself: $depends"
  while IFS= read -r -d '' elf; do
    [[ $(head -c4 "$elf" | od -An -c | tr -d ' ') == 177ELF ]] || continue
    for soname in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      if [[ $soname == libmirvo_ota.so.* ]]; then
        continue # shipped by mirvo-ota itself
      fi
      needed=$(provider "$soname")
      [[ ", $depends," == *", $needed "[\(,]* ]] ||
        fail "$pkg: ${elf#"$work/x/$pkg/"} needs $soname of $needed, which Depends lacks: $depends"
    done
  done < <(find "$work/x/$pkg" -type f -print0)
done
[[ $(dpkg-deb -f "$out/libmirvo-ota-dev_${version}_$arch.deb" Depends) == "mirvo-ota (= $version)" ]] ||
  fail "libmirvo-ota-dev does not depend on exactly this mirvo-ota"

# All packages installed into an empty root by dpkg itself.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status"
if [[ $arch != $(dpkg --print-architecture) ]]; then
  dpkg --root="$root" --add-architecture "$arch"
fi
# The root holds no libc and no other library: those dependencies are the board's.
dpkg --root="$root" --log=/dev/null --force-depends --force-script-chrootless -i "${debs[@]}" \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg --root -i failed"; }
same_entries "the installed root" "$(sort <<<"${all_expected%$'\n'}")" \
  "$(tree_entries "$root" var)" || fail "dpkg laid out another tree"
for row in "${packages[@]}"; do
  read -r pkg _ <<<"$row"
  [[ $(dpkg-query --root="$root" -W -f '${Status}' "$pkg") == "install ok installed" ]] ||
    fail "$pkg is not installed in the root"
done

shown=$(LD_LIBRARY_PATH=$root/usr/$libdir "$root/usr/bin/ota_tool" version) ||
  fail "the packaged ota_tool did not run with the packaged library"
[[ $shown == "$version" ]] || fail "the packaged ota_tool shows version '$shown', not $version"
echo "check_packages: ${#debs[@]} packages for $arch hold and install what they should"
