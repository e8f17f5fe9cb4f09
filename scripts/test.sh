#!/usr/bin/env bash
# Sets up, builds and runs every test.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
"$(dirname "$0")/setup.sh" "$@"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
