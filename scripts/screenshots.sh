#!/usr/bin/env bash
# Renders the desktop dialog into PNG files for the documentation, under a virtual X display:
#   docs/images/MorFWUpload-idle.png          the dialog as it starts
#   docs/images/MorFWUpload-uploaded.png      after a successful upload to the simulated unit
#   docs/images/MorFWUpload-success-box.png   the box that reports it
#   docs/images/MorFWUpload-150-percent.png   the dialog at 150 % with its Help menu open
#   docs/images/MorFWStation-running-100.png  the station window, eight simulated fixtures mid-run
#   docs/images/MorFWStation-done-100.png     ... and after the run (one unit failed part 2)
#   docs/images/MorFWStation-running-200.png  the same at 200 %
#   docs/images/MorFWStation-done-200.png
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
OUT_DIR=docs/images

source scripts/apt_install.sh
apt_install_missing xvfb xauth

cmake -S . -B "$BUILD_DIR" -G Ninja -DMORFW_BUILD_APP=ON >/dev/null
cmake --build "$BUILD_DIR" --target morfw_app_screenshots morfw_station_screenshots

# A real X server (not the offscreen platform), at a fixed density, so the pictures look as on
# a desktop and do not change from run to run.
unset QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
export QT_FONT_DPI=96 QT_AUTO_SCREEN_SCALE_FACTOR=0
xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  "$BUILD_DIR/bin/morfw_app_screenshots" "$OUT_DIR" "sim:"
QT_SCALE_FACTOR=1.5 xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  "$BUILD_DIR/bin/morfw_app_screenshots" "$OUT_DIR" "sim:" MorFWUpload-150-percent.png
# The station window: its units are morfw sessions on simulated units, pictured as they run.
xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  "$BUILD_DIR/bin/morfw_station_screenshots" "$OUT_DIR" 100 1280 800
QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 2048x1536x24 -dpi 96" \
  "$BUILD_DIR/bin/morfw_station_screenshots" "$OUT_DIR" 200 960 640
