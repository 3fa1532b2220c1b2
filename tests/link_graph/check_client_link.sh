#!/bin/bash
# Fails when a shared object carries code of the update worker or depends on a library
# only the worker needs: the client library must stay independent of the worker.
# Usage: check_client_link.sh NM READELF OBJECT WORKER_ARCHIVE[,WORKER_ARCHIVE...] FORBIDDEN_LIB...
set -euo pipefail

nm_tool=$1 readelf_tool=$2 object=$3
IFS=, read -r -a workers <<<"$4"
shift 4

fail=0
if ! "$readelf_tool" -S --wide "$object" | grep -q '\.symtab'; then
  echo "FAIL: $object has no symbol table: its code cannot be compared with the worker's"
  exit 1
fi

# Strong definitions only: inline and template code (weak) may sit in both legitimately.
worker_syms=$("$nm_tool" -g --defined-only "${workers[@]}" 2>/dev/null |
  awk 'NF == 3 && $2 ~ /^[TDBR]$/ { print $3 }' | sort -u)
if [ -z "$worker_syms" ]; then
  echo "FAIL: no symbols read from ${workers[*]}"
  exit 1
fi
object_syms=$("$nm_tool" --defined-only "$object" | awk 'NF == 3 { print $3 }' | sort -u)
shared=$(comm -12 <(echo "$object_syms") <(echo "$worker_syms"))
if [ -n "$shared" ]; then
  echo "FAIL: $object holds worker code:"
  echo "$shared" | c++filt | sed 's/^/  /'
  fail=1
fi

needed=$("$readelf_tool" -d "$object" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in "$@"; do
  if echo "$needed" | grep -q "^lib${lib}\.so"; then
    echo "FAIL: $object depends on lib${lib}, which only the worker needs"
    fail=1
  fi
done

if [ "$fail" -eq 0 ]; then
  echo "OK: $object holds no worker code and needs none of: $*"
fi
exit "$fail"
