#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then configures and builds.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
shift || true

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev  # tests and benchmarks
  qt6-base-dev                                # the window program
  nlohmann-json3-dev libcli11-dev             # the command-line uploader
  srecord binutils                            # S-record files written by other tools, for tests
  clang libclang-rt-14-dev                    # the fuzz targets
)

source scripts/apt_install.sh
apt_install_missing "${PACKAGES[@]}"

cmake -S . -B "$BUILD_DIR" -G Ninja -DMORFW_WARNINGS_AS_ERRORS=ON "$@"
cmake --build "$BUILD_DIR"
