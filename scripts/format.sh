#!/usr/bin/env bash
# Formats the C and C++ sources with clang-format 14 and the root .clang-format, or checks them.
#   usage: bash scripts/format.sh           formats every file in place
#          bash scripts/format.sh --check   lists the files that are not formatted; exits 1 if any
set -u
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format-14 || command -v clang-format) || { echo "clang-format-14 is not installed"; exit 2; }
mapfile -t files < <(git ls-files -- src include sim tools tests fuzz bench | grep -E '\.(c|cc|cpp|h|hpp)$')
if [ "${1:-}" = "--check" ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! "$fmt" --dry-run --Werror "$f" >/dev/null 2>&1; then
      echo "not formatted: $f (bash scripts/format.sh formats it)"
      bad=1
    fi
  done
  [ $bad -eq 0 ] && echo "all ${#files[@]} source files are formatted"
  exit $bad
fi
"$fmt" -i "${files[@]}"
