#!/usr/bin/env bash
# Runs the libFuzzer targets of a LORIC_FUZZ build: each first replays its regressions, then
# fuzzes for LORIC_FUZZ_SECONDS (default 30) from its seed corpus, LORIC_JOBS (default 2)
# targets at a time. New inputs go to a temporary folder; the repository's corpus is only
# read. A finding fails the run and its reproducer is copied to fuzz/regressions/<target>/.
#   usage: fuzz/run.sh BUILD_DIR [TARGET...]      (targets: flash_data, config_json, ...)
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd); shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && for exe in "$build"/fuzz/fuzz_*; do targets+=("${exe##*/fuzz_}"); done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fuzz_one() {  # fuzz_one NAME: writes $work/NAME/status
  local name=$1 exe=$build/fuzz/fuzz_$1 out=$work/$1 regressions=$here/regressions/$1 status=0
  mkdir -p "$out/corpus" "$out/found" "$regressions"
  if ls "$regressions"/* >/dev/null 2>&1 && ! "$exe" "$regressions"/* >"$out/log" 2>&1; then
    echo "$name: a regression of fuzz/regressions/$name fails again"; status=1
  else
    "$exe" -max_total_time="${LORIC_FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/found/" "$out/corpus" "$here/corpus/$name" >>"$out/log" 2>&1 || status=1
    if ls "$out/found"/* >/dev/null 2>&1; then
      cp "$out/found"/* "$regressions/"
      echo "$name: FOUND $(cd "$out/found" && ls | tr '\n' ' ')(copied to fuzz/regressions/$name/)"; status=1
    fi
  fi
  if [ $status -ne 0 ]; then grep -E -m 20 'ERROR|SUMMARY|runtime error|#[0-9]+ 0x' "$out/log"
  else echo "$name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log") runs, no finding"; fi
  echo $status > "$out/status"
}

for name in "${targets[@]}"; do
  [ -x "$build/fuzz/fuzz_$name" ] || { echo "no fuzz target $name in $build/fuzz"; exit 2; }
  fuzz_one "$name" &
  while [ "$(jobs -rp | wc -l)" -ge "${LORIC_JOBS:-2}" ]; do wait -n; done
done
wait
for name in "${targets[@]}"; do [ "$(cat "$work/$name/status" 2>/dev/null)" = 0 ] || exit 1; done
