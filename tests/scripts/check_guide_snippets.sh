#!/usr/bin/env bash
# The guide shows only code that the build compiles: every C++ and CMake
# block in it must be preceded by a line "<!-- from <path> -->" naming a
# file of the repository, and must stand in that file line for line. Shell
# blocks (commands) are free.
#
#   check_guide_snippets.sh <guide> <repository root>
set -euo pipefail

guide=$1
root=$2

awk -v root="$root" '
  # Whether the block stands in source, line for line.
  function found(source,   n, line, i, j) {
    delete text
    n = 0
    while ((getline line < source) > 0) text[++n] = line
    close(source)
    for (i = 1; i + blockLines - 1 <= n; i++) {
      for (j = 1; j <= blockLines && text[i + j - 1] == block[j]; j++) {}
      if (j > blockLines) return 1
    }
    return 0
  }
  function fail(message) {
    printf "%s:%d: %s\n", FILENAME, start, message
    failures++
  }
  inBlock && /^```$/ {
    inBlock = 0
    if (checked) {
      blocks++
      if (from == "") fail("a code block without a \"<!-- from <path> -->\" line before it")
      else if (!found(root "/" from)) fail("this block does not stand in " from)
    }
    from = ""
    next
  }
  inBlock { block[++blockLines] = $0; next }
  /^```/ {
    inBlock = 1
    start = NR
    blockLines = 0
    checked = $0 ~ /^```(cpp|cmake)$/
    if (!checked) from = ""
    next
  }
  /^<!-- from [^ ]+ -->$/ { from = $3; next }
  { from = "" }
  END {
    if (inBlock) fail("a code block that is never closed")
    if (blocks == 0) fail("no C++ or CMake block found")
    exit failures > 0
  }
' "$guide"
