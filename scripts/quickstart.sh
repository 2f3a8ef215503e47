#!/usr/bin/env bash
# Quick start: installs what is missing, builds the tool, and runs the main job on the simulated
# device embedded in the tool: a blank device is found, programmed with the example loader,
# firmware and a configuration generated from examples/config.json, read back, verified and
# shown. Safe to run again: each run starts from a blank simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."

# 1. What the build and the tests need (Debian packages): .ci/install installs only what is
#    missing, so this is quick on a machine that has them.
if [ "$(id -u)" -eq 0 ]; then
  bash .ci/install
else
  sudo bash .ci/install
fi

# 2. The library, the simulator and the tool, in the same build folder as the tests.
build=build
echo "== building the tool in $build"
cmake -S . -B "$build" >/dev/null
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
