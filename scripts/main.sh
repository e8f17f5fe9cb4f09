#!/usr/bin/env bash
# Sets up, builds and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(dirname "$0")/setup.sh" build
ctest --test-dir build --output-on-failure -j "$(nproc)"
