#!/usr/bin/env bash
# Sets up, builds and runs every test.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
"$(dirname "$0")/setup.sh" "$@"
# Most tests wait on a simulated line's timing, not on the processor: three at a time a core.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(( $(nproc) * 3 ))"
