#!/usr/bin/env bash
# check_exports.sh LIBRARY HEADER [MORE_HEADERS...]: the shared library's
# dynamic symbol table holds functions of the headers and nothing else, and
# the first header (norvex.h) declares the interface's 118 functions.
set -euo pipefail
lib=$1
header=$2
shift

names() { grep -ohE 'NORVEX_CALL[[:space:]]+[A-Za-z_0-9]+\(' "$@" | sed -E 's/NORVEX_CALL[[:space:]]+//; s/\($//' | sort -u; }
declared=$(names "$@")
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)

count=$(names "$header" | grep -c .)
if [ "$count" -ne 118 ]; then
  echo "the header declares $count functions, not 118"
  exit 1
fi

extra=$(comm -13 <(printf '%s\n' "$declared") <(printf '%s\n' "$exported"))
if [ -n "$extra" ]; then
  echo "exported but not in the header:"
  printf '  %s\n' $extra
  exit 1
fi
n=$(printf '%s\n' "$exported" | grep -c . || true)
if [ "$n" -eq 0 ]; then
  echo "the library exports nothing"
  exit 1
fi
echo "$n of 118 interface functions exported, nothing else"
