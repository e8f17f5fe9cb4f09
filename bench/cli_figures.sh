#!/usr/bin/env bash
# Figures of morfw: whole-process wall time, CPU time and peak memory of an upload of the
# sample image set to the simulated unit (sim:). Target: peak memory under 20 MiB.
# Prints figures only; it never fails on them.
# Usage: bench/cli_figures.sh [BUILD_DIR]   (default: build; built first if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja
fi
cmake --build "$BUILD_DIR" --target morfw bench_cli_run >/dev/null

echo "morfw upload --port sim: --quiet (sample image set in $BUILD_DIR/bin/MorFWImg)"
set +e
"$BUILD_DIR/bin/bench_cli_run" "$BUILD_DIR/bin/morfw" upload --port sim: --quiet
rc=$?
set -e
[ "$rc" -eq 0 ] || echo "note: the upload did not succeed (exit code $rc)"
echo "target          peak memory under 20 MiB"
