#!/usr/bin/env bash
# Windows: installs what is missing (mingw-w64, Wine, a virtual X display), cross-builds
# morfw.exe and the native dialog MorFWUpload.exe for 32-bit Windows (build-win/), packs them
# (dist/MorFWUpload-VERSION-win32.zip and the installer dist/MorFWUpload-VERSION-win32.msi,
# through scripts/package.sh), and runs the Windows suites under Wine (the dialog's on the
# virtual display), with a whole upload to sim: whose transcript must equal the Linux build's,
# and prints bench_sim_upload's figures under Wine (figures only, never a failure on time).
#
# The suites run on the 32-bit build where this machine's kernel runs 32-bit programs (the
# 32-bit Wine loader needs that) and 32-bit Wine can be installed; elsewhere (ia32 emulation off,
# a mirror whose i386 index is broken), on a 64-bit build of the same sources under wine64
# (build-win64/).
# Usage: scripts/windows.sh [--screenshots]
#   --screenshots  also writes the dialog's pictures to docs/images/MorFWUpload-win32-*.png
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
screenshots=no
[ "${1:-}" = --screenshots ] && screenshots=yes

source scripts/apt_install.sh
apt_install_missing g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix \
  cmake ninja-build g++ libgtest-dev googletest libcli11-dev nlohmann-json3-dev \
  python3 zip wine64 wine xvfb xauth
# 32-bit Wine only where it can be had: a mirror's broken i386 index leaves the 64-bit path.
wine32_missing=
apt_install_foreign i386 wine32:i386 || wine32_missing="${APT_FAILED[*]}"

# The sample image generator runs on this machine, whatever the target.
mkdir -p build-win-tools
g++ -std=c++20 -O1 sim/sample_images/GenerateSampleImages.cpp -o build-win-tools/morfw_sample_images
# The benchmarks on Windows are bench_sim_upload alone (bench/CMakeLists.txt), built where the
# suites run.
common=(-G Ninja -DMORFW_BUILD_APP=ON -DMORFW_WARNINGS_AS_ERRORS=ON
        "-DMORFW_SAMPLE_GENERATOR=$root/build-win-tools/morfw_sample_images")

export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  wine32=yes
else
  wine32=no
  if [ -n "$wine32_missing" ]; then
    why="cannot install $wine32_missing"
  else
    why="this kernel runs no 32-bit programs"
  fi
  echo "windows: $why, so no 32-bit Wine; the suites run on a 64-bit build under wine64"
fi

runs_here=$([ $wine32 = yes ] && echo ON || echo OFF)
cmake -S . -B build-win "${common[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DMORFW_BUILD_TESTS=$runs_here -DMORFW_BUILD_BENCH=$runs_here
cmake --build build-win

# The packages: both programs (stripped), the help page, the third-party notices and an empty
# MorFWImg\ for the operator's set, as a zip to unpack anywhere and as the installer, per
# machine under Program Files with a Start-menu shortcut (scripts/package_check.sh msi installs,
# upgrades and removes it under Wine).
rm -rf dist/MorFWUpload dist/MorFWUpload-win32.zip
scripts/package.sh zip build-win x86
scripts/package.sh msi build-win x86

if [ $wine32 = yes ]; then
  test_dir=build-win
  wine_cmd=/usr/lib/wine/wine
else
  test_dir=build-win64
  wine_cmd=/usr/lib/wine/wine64
  cmake -S . -B build-win64 "${common[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DMORFW_BUILD_TESTS=ON -DMORFW_BUILD_BENCH=ON
  cmake --build build-win64
fi
shots="$root/$test_dir/screenshots"
rm -rf "$shots" && mkdir -p "$shots"
# The suites wait on timing more than on the processor; the ones that change the Wine prefix's
# registry run one at a time in a prefix of their own (build dir's wineprefix-com7/).
MORFW_SCREENSHOT_DIR="$shots" ctest --test-dir "$test_dir" --output-on-failure -j "$(( $(nproc) * 2 ))"
# The dialog's tests ran Wine on displays that have gone: fresh servers for what follows.
wineserver -k 2>/dev/null || true
WINEPREFIX="$root/$test_dir/wineprefix-com7" wineserver -k 2>/dev/null || true
if [ $screenshots = yes ]; then
  for f in "$shots"/*.bmp; do
    python3 scripts/bmp2png.py "$f" "docs/images/$(basename "${f%.bmp}").png"
  done
  echo "windows: wrote the dialog's pictures to docs/images"
fi

# A whole upload to the simulated unit: the same log as the Linux build's, elapsed time aside.
# Both uploads wait on the simulated line's timing: they run side by side.
if [ ! -x build/bin/morfw ]; then
  scripts/setup.sh build >/dev/null
fi
echo "windows: uploading the sample set to sim: with morfw.exe under Wine (and with Linux's morfw)"
"$wine_cmd" "$test_dir/bin/morfw.exe" upload --port sim: > "$test_dir/upload-sim.txt" &
wine_upload=$!
build/bin/morfw upload --port sim: > "$test_dir/upload-sim-linux.txt"
wait $wine_upload
norm() { sed 's/uploaded in [0-9]*:[0-9]*:[0-9]*/uploaded in H:MM:SS/' "$1"; }
if ! diff <(norm "$test_dir/upload-sim-linux.txt") <(norm "$test_dir/upload-sim.txt"); then
  echo "windows: the Windows transcript differs from the Linux one" >&2
  exit 1
fi
echo "windows: the transcripts are identical"

# Where a Windows session's time goes under Wine: the primitives' costs and the record transfer
# of stages 3 to 5 (README's benchmark table). Figures only; the time never fails the script.
echo "windows: bench_sim_upload under Wine (figures only)"
if ! "$wine_cmd" "$test_dir/bin/bench_sim_upload.exe"; then
  echo "windows: bench_sim_upload's upload did not succeed (the suites above judge the uploads)"
fi
