#!/usr/bin/env bash
# The systemd unit of the board component: installed for the board's prefix /usr and for a
# private prefix, each naming the programs and folders of its own tree; the private one,
# whose programs exist on this machine, passes `systemd-analyze verify` without a word (it
# needs no running systemd), and its ExecStart command line is one the installed ota_tool
# accepts.
#
# check_units.sh CMAKE BUILD_DIR LIBDIR
set -euo pipefail

cmake=$1 build=$2 libdir=$3
unit=lib/systemd/system/mirvo-ota-boot-check.service
work=$(mktemp -d /tmp/ota-units.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check_units: $*" >&2
  exit 1
}

# Not a skip: a machine that runs this suite has systemd's tools (scripts/setup.sh).
analyze=$(command -v systemd-analyze) ||
  fail "systemd-analyze is missing: scripts/setup.sh installs the systemd package"

# exec_start FILE: the ExecStart value of a unit file (exactly one).
exec_start() {
  local lines
  lines=$(sed -n 's/^ExecStart=//p' "$1")
  [[ -n $lines && $(wc -l <<<"$lines") -eq 1 ]] || fail "$1 has not exactly one ExecStart: $lines"
  echo "$lines"
}

DESTDIR=$work/root "$cmake" --install "$build" --prefix /usr --component board >/dev/null ||
  fail "cmake --install --prefix /usr failed"
board_unit=$work/root/usr/$unit
[[ -f $board_unit ]] || fail "the board's install has no /usr/$unit"
want='/usr/bin/ota_tool boot-check --reboot-cmd "systemctl --no-block reboot"'
[[ $(exec_start "$board_unit") == "$want" ]] ||
  fail "/usr/$unit runs '$(exec_start "$board_unit")', not '$want'"

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" --component board >/dev/null ||
  fail "cmake --install --prefix $prefix failed"
[[ -f $prefix/$unit ]] || fail "an install under $prefix has no $unit"
# The two differ only in the paths of their prefix.
diff <(sed "s|^ExecStart=.*||" "$board_unit") <(sed "s|^ExecStart=.*||" "$prefix/$unit") >&2 ||
  fail "the unit under $prefix differs from the board's beyond ExecStart"
want="\"$prefix/bin/ota_tool\" boot-check --health-dir \"$prefix/etc/mirvo/ota-health.d\" --reboot-cmd \"systemctl --no-block reboot\""
[[ $(exec_start "$prefix/$unit") == "$want" ]] ||
  fail "$unit under $prefix runs '$(exec_start "$prefix/$unit")', not '$want'"

# Warnings (an unknown key, a missing unit it needs) are printed with status 0: any word
# counts.
said=$("$analyze" verify "$prefix/$unit" 2>&1) && [[ -z $said ]] ||
  fail "systemd-analyze verify $unit: ${said:-failed without a word}"

# The unit's command line, word by word as systemd splits it (double quotes), with --help:
# ota_tool refuses an option it does not know even then.
eval "words=($(exec_start "$prefix/$unit"))"
LD_LIBRARY_PATH=$prefix/$libdir "${words[@]}" --help >"$work/help" 2>&1 ||
  fail "the installed ota_tool refuses the unit's command line: $(cat "$work/help")"
grep -q -- '--reboot-cmd' "$work/help" || fail "ota_tool boot-check --help does not list --reboot-cmd"
echo "check_units: $unit installed for /usr and $prefix, verified by systemd-analyze"
