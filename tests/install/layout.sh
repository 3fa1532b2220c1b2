# shellcheck shell=bash
# Sourced by the install and package checks: what a tree holds, compared with the lists
# in files/ (one entry a line: a file or link, or an empty folder ending in "/";
# @LIBDIR@, @MAJOR@ and @VERSION@ stand for the build's values).

# expected_entries LIBDIR VERSION LIST...: the entries of the lists, sorted.
expected_entries() {
  local libdir=$1 version=$2
  shift 2
  sed -e "s|@LIBDIR@|$libdir|g" -e "s|@MAJOR@|${version%%.*}|g" -e "s|@VERSION@|$version|g" \
    "$@" | sort
}

# tree_entries ROOT [EXCLUDED_TOP_FOLDER...]: the files, links and empty folders under
# ROOT, sorted, in the lists' form.
tree_entries() {
  local root=$1 prune=()
  shift
  for top in "$@"; do prune+=(-path "./$top" -prune -o); done
  (cd "$root" && find . -mindepth 1 "${prune[@]}" \( -type d -empty -printf '%P/\n' \) -o \
    \( ! -type d -printf '%P\n' \)) | sort
}

# same_entries WHAT EXPECTED ACTUAL: fails, showing the difference, when they differ.
same_entries() {
  [[ $2 == "$3" ]] && return 0
  echo "$1 differs from the expected list (< expected, > found):" >&2
  diff <(echo "$2") <(echo "$3") >&2
  return 1
}
