#!/usr/bin/env bash
# Quick start: installs what is missing, builds the tool, and runs the main job on the simulated
# device embedded in the tool: a blank device is found, programmed with the example loader,
# firmware and a configuration generated from examples/config.json, read back, verified and
# shown. Safe to run again: each run starts from a blank simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."

# 1. What the build needs (Debian packages), installed only when missing.
need=()
for pkg in cmake g++ make libcli11-dev nlohmann-json3-dev; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    need+=("$pkg")
  fi
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq || echo "apt-get update reported a problem; trying the install anyway" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# 2. The library, the simulator and the tool.
build=build-quickstart
echo "== building in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORIC_BUILD_TESTS=OFF -DLORIC_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target loric_tool >/dev/null

# 3. The main job on a blank simulated device, kept in $build/sim-state.
state="$build/sim-state"
rm -rf "$state"
loric=("$build/tools/loric" --sim --state "$state")
set -x
"${loric[@]}" nodes
"${loric[@]}" program sim/images/firmware.bin examples/config.json --loader sim/images/loader.bin --verify
"${loric[@]}" timestamp
"${loric[@]}" config show
{ set +x; } 2>/dev/null
echo
echo "Done. Try more with: $build/tools/loric --sim --state $state --help"
