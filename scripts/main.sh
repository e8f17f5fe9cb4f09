#!/usr/bin/env bash
# The main job: installs what is missing, builds, then uploads the sample image set to the
# simulated unit with the command-line uploader, straight from the build tree. It ends with
# "Firmware upload appears to be successful." (about 25 seconds of upload).
# Usage: scripts/main.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
BUILD_DIR=${1:-build}
"$here/setup.sh" "$BUILD_DIR"
"$BUILD_DIR/bin/morfw" upload --port sim:
