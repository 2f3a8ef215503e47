#!/usr/bin/env bash
# Builds and tests everything: the native library with its tests, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the 32-bit Windows DLL with its checks
# (objdump, then host programs under Wine); then the installed library and the packages, and
# the fuzz targets.
#   usage: bash scripts/test.sh [format] [native] [sanitize] [windows] [package] [bench] [fuzz]   (none: all)
# Build folders: build/, build-sanitize/, build-win/ (reused when present). Exits non-zero
# when any stage fails; a closing line names the stages that passed and failed.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${LORIC_JOBS:-2}
# ccache (when installed) shares its results between clones in other folders: paths below the
# checkout are hashed relative to it.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(format native sanitize windows package bench fuzz)

failed_stages=()
passed_stages=()
note() { printf '\n==== %s\n' "$*"; }

# Builds one tree (only $BUILD_TARGET when set). The compiler's warnings fail the stage: every
# compiler must build clean.
build_tree() {  # build_tree <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" "$@" >"$dir/loric-configure.log" 2>&1 || { cat "$dir/loric-configure.log"; return 1; }
  local log=$dir/loric-build.log
  echo "building $dir (log: $log)"
  cmake --build "$dir" -j"$jobs" ${BUILD_TARGET:+--target "$BUILD_TARGET"} >"$log" 2>&1
  local status=$?
  grep -E -A3 'warning:|error:|Error [0-9]' "$log" | head -n 60
  if [ $status -ne 0 ]; then
    tail -n 40 "$log"
    echo "build of $dir failed (log: $log)"
    return 1
  fi
  if grep -q 'warning' "$log"; then
    echo "build of $dir has warnings (log: $log)"
    return 1
  fi
}

run_ctest() {  # run_ctest <dir>
  (cd "$1" && ctest -j"$jobs" --output-on-failure)
}

# The sources in the house style (.clang-format, clang-format 14): scripts/format.sh fixes them.
stage_format() {
  note "formatting (clang-format 14)"
  bash scripts/format.sh --check
}

stage_native() {
  note "native build (RelWithDebInfo) and tests"
  mkdir -p build
  build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo && run_ctest build
}

stage_sanitize() {
  note "native build with AddressSanitizer and UndefinedBehaviorSanitizer, and tests"
  mkdir -p build-sanitize
  build_tree build-sanitize -DCMAKE_BUILD_TYPE=Debug -DLORIC_SANITIZE=ON -DLORIC_BUILD_BENCH=OFF || return 1
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} run_ctest build-sanitize
}

stage_windows() {
  note "Windows DLL (i686 MinGW-w64) and its checks"
  mkdir -p build-win
  build_tree build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release || return 1
  if grep -q 'resolving _' build-win/loric-build.log; then
    echo "the DLL link resolved decorated names (see build-win/loric-build.log)"
    return 1
  fi
  note "DLL exports and imports (objdump)"
  bash tests/wine/check_dll.sh build-win/loric.dll || return 1
  note "DLL under Wine"
  local native=
  [ -d build ] && native=build
  bash tests/wine/run.sh build-win $native
  local status=$?
  if [ $status -eq 77 ]; then
    # Wine cannot run 32-bit programs on this machine. Never a pass in CI.
    if [ "${CI:-}" = "true" ] && [ "${LORIC_ALLOW_WINE_SKIP:-}" != "1" ]; then
      echo "the Wine checks could not run; in CI that is a failure"
      return 1
    fi
    echo "SKIPPED: the Wine checks did not run (see above); the DLL was built and checked with objdump only"
    return 0
  fi
  return $status
}

# Installs into a temporary prefix and builds C hosts against it (scripts/check_install.sh),
# then the .deb and, after the windows stage, the Windows zip, with their contents checked.
stage_package() {
  note "installed library, C hosts, man pages, Debian package and Windows zip"
  mkdir -p build
  cmake -S "$root" -B build >/dev/null && cmake --build build -j"$jobs" --target loric loric_tool tq6410-sim >/dev/null ||
    return 1
  local win=
  if [ -f build-win/CMakeCache.txt ]; then
    cmake --build build-win -j"$jobs" --target loric loric_tool loric_import_lib >/dev/null || return 1
    win=build-win
  fi
  bash scripts/check_install.sh build $win
}

# The benchmarks, briefly, so that they cannot rot: every job of the tool against the simulator
# daemon at typical datasheet timing over both links (bench/jobs.py --smoke), a production run of
# two boards and two stations at once (bench/station.py --smoke), and each Google Benchmark
# executable once. A job that fails fails the stage; the speeds never do.
stage_bench() {
  note "benchmark smoke (bench/jobs.py and bench/station.py --smoke, the Google Benchmark executables)"
  mkdir -p build
  cmake -S "$root" -B build >/dev/null && cmake --build build -j"$jobs" --target loric_tool tq6410-sim >/dev/null ||
    return 1
  python3 bench/jobs.py --smoke --build build || return 1
  python3 bench/station.py --smoke --build build || return 1
  local bench status=0
  for bench in build/bench/loric_bench_*; do
    [ -x "$bench" ] || continue
    cmake --build build -j"$jobs" --target "$(basename "$bench")" >/dev/null || return 1
    "$bench" --benchmark_min_time=0.01 >/dev/null || { echo "$bench failed"; status=1; }
  done
  return $status
}

# The libFuzzer targets of fuzz/ (clang, ASan and UBSan), LORIC_FUZZ_SECONDS (30) each, two
# at a time (fuzz/run.sh). A finding fails the stage and leaves its reproducer in
# fuzz/regressions/<target>/.
stage_fuzz() {
  note "fuzz targets (libFuzzer with ASan and UBSan), ${LORIC_FUZZ_SECONDS:-30} s each"
  mkdir -p build-fuzz
  BUILD_TARGET=loric_fuzz build_tree build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORIC_FUZZ=ON -DLORIC_BUILD_TESTS=OFF \
    -DLORIC_BUILD_TOOLS=OFF -DLORIC_BUILD_BENCH=OFF || return 1
  bash fuzz/run.sh build-fuzz
}

for stage in "${stages[@]}"; do
  case $stage in
    format|native|sanitize|windows|package|bench|fuzz) ;;
    *) echo "unknown stage '$stage' (format, native, sanitize, windows, package, bench, fuzz)"; exit 2 ;;
  esac
  start=$SECONDS
  if "stage_$stage"; then
    passed_stages+=("$stage ($((SECONDS - start))s)")
  else
    failed_stages+=("$stage ($((SECONDS - start))s)")
  fi
done

echo
echo "stages passed: ${passed_stages[*]:-none}"
echo "stages failed: ${failed_stages[*]:-none}"
[ ${#failed_stages[@]} -eq 0 ]
