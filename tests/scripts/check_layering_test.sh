#!/usr/bin/env bash
# The layering check on small trees of families: it passes a layered tree
# (a source file may include upwards), and names every include that makes
# core depend on another family or closes a cycle of header includes.
#
#   check_layering_test.sh <path of scripts/check-layering>
set -euo pipefail

check=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kqnet-layering.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# put <file> <included file>...: writes a file of those includes.
put() {
  local file=$work/$1
  shift
  mkdir -p "$(dirname "$file")"
  : >"$file"
  for included in "$@"; do printf '#include %s\n' "$included" >>"$file"; done
}

# expect <case> <exit code> <expected standard output>
expect() {
  local status=0 output
  output=$(bash "$check" "$work/kqnet" 2>/dev/null) || status=$?
  if [[ $status != "$2" || $output != "$3" ]]; then
    printf 'FAIL %s: exit %s, output:\n%s\nexpected exit %s, output:\n%s\n' \
      "$1" "$status" "$output" "$2" "$3"
    failures=$((failures + 1))
  fi
}

put kqnet/core/soma.h '<cstdint>'
put kqnet/core/soma.cpp '"core/soma.h"'
put kqnet/data/access.h '"core/soma.h"'
put kqnet/weightfile/file.h '"core/soma.h"'
put kqnet/data/access.cpp '"data/access.h"' '"weightfile/file.h"'
# A source file that includes upwards closes no cycle of headers.
put kqnet/weightfile/file.cpp '"weightfile/file.h"' '"data/access.h"'
expect layered 0 "check-layering: core includes no other family; header includes form no cycle"

put kqnet/core/soma.cpp '"core/soma.h"' '<vector>' '"data/access.h"'
expect core-source 1 "core/soma.cpp:3: core includes data"
put kqnet/core/soma.cpp '"core/soma.h"'

put kqnet/data/access.h '"core/soma.h"' '"weightfile/file.h"'
put kqnet/weightfile/file.h '<kqnet/data/access.h>'
expect two-cycle 1 "data/access.h:2: header include closes the cycle data -> weightfile -> data
weightfile/file.h:1: header include closes the cycle weightfile -> data -> weightfile"

put kqnet/weightfile/file.h '"axons/axon.h"'
put kqnet/axons/axon.h '"core/soma.h"' '"data/access.h"'
expect three-cycle 1 "axons/axon.h:2: header include closes the cycle axons -> data -> weightfile -> axons
data/access.h:2: header include closes the cycle data -> weightfile -> axons -> data
weightfile/file.h:1: header include closes the cycle weightfile -> axons -> data -> weightfile"

((failures == 0)) && echo "check-layering: all cases passed"
exit $((failures != 0))
