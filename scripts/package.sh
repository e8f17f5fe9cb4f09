#!/usr/bin/env bash
# Packages.
#   scripts/package.sh [deb]   the Debian packages dist/morfwupload_VERSION_ARCH.deb and
#       dist/morfw-sim_VERSION_ARCH.deb with CPack (a Release build in build-deb/, Debian's
#       hardening flags, the debian layout of cmake/InstallLayout.cmake); checks what they hold
#       and runs lintian on them (an error stops the script; warnings are listed). The
#       maintainer field is MORFW_PACKAGE_MAINTAINER="Name <address>" from the environment,
#       else the build's default, an address under .invalid that reaches nobody.
#   scripts/package.sh msi [BUILD_DIR [x86|x64 [OUTPUT]]]   the Windows installer of a Windows
#       build (default build-win, x86: dist/MorFWUpload-VERSION-win32.msi) with wixl, from
#       packaging/windows/MorFWUpload.wxs; scripts/windows.sh runs it after its build
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS
fail() { echo "package: $*" >&2; exit 1; }
version_of() { sed -n 's/^#define MORFW_VERSION "\(.*\)"$/\1/p' "$1/generated/MorFWVersion.h"; }

source scripts/apt_install.sh

if [ "${1:-deb}" = msi ]; then
  build=${2:-build-win} arch=${3:-x86}
  [ -f "$build/bin/morfw.exe" ] && [ -f "$build/bin/MorFWUpload.exe" ] ||
    fail "no Windows programs in $build/bin: run scripts/windows.sh first"
  case "$arch" in
    x86) bits=32 strip=i686-w64-mingw32-strip ;;
    x64) bits=64 strip=x86_64-w64-mingw32-strip ;;
    *) fail "the architecture is x86 or x64" ;;
  esac
  version=$(version_of "$build")
  out=${4:-dist/MorFWUpload-$version-win$bits.msi}
  apt_install_missing wixl
  # wixl takes the files by plain names, from the folder it runs in.
  stage=$build/msi-stage
  rm -rf "$stage" && mkdir -p "$stage" "$(dirname "$out")"
  cp "$build/bin/morfw.exe" "$build/bin/MorFWUpload.exe" app/help/MorFWUpload.html \
     app/win32/MorFWUpload.ico "$stage/"
  # The installed programs carry no debugging information (the build's copies keep it).
  "$strip" "$stage/morfw.exe" "$stage/MorFWUpload.exe"
  out=$(realpath "$out")
  (cd "$stage" && wixl -a "$arch" -D "Arch=$arch" -D "Version=$version" -o "$out" \
     "$root/packaging/windows/MorFWUpload.wxs")
  echo "package: wrote ${out#"$root"/} ($((SECONDS - start)) s)"
  exit 0
fi
[ "${1:-deb}" = deb ] || fail "usage: scripts/package.sh [deb | msi [BUILD_DIR [x86|x64 [OUTPUT]]]]"

# dpkg-dev: dpkg-shlibdeps and dpkg-buildflags; file: CPack finds the programs with it.
apt_install_missing build-essential cmake ninja-build pkg-config qt6-base-dev \
  nlohmann-json3-dev libcli11-dev dpkg-dev file fakeroot lintian

# The changelog's date is the commit's, so the same commit gives the same changelog.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
# Debian's own compiler and linker flags (fortified functions, stack protector, RELRO), without
# -g: the package's programs are stripped (CPACK_STRIP_FILES), so debug information would only
# cost build time.
flags() { dpkg-buildflags --get "$1" | sed -E 's/(^| )-g( |$)/\1/'; }
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DMORFW_INSTALL_LAYOUT=debian \
  -DMORFW_BUILD_TESTS=OFF -DMORFW_BUILD_BENCH=OFF \
  ${MORFW_PACKAGE_MAINTAINER:+"-DMORFW_PACKAGE_MAINTAINER=$MORFW_PACKAGE_MAINTAINER"} \
  "-DCMAKE_CXX_FLAGS=$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)" >/dev/null
cmake --build build-deb

version=$(version_of build-deb)
arch=$(dpkg --print-architecture)
mkdir -p dist
rm -f dist/morfwupload_*.deb dist/morfw-sim_*.deb
(cd build-deb && cpack -G DEB -B "$root/build-deb/cpack" >/dev/null)
debs=("dist/morfwupload_${version}_$arch.deb" "dist/morfw-sim_${version}_$arch.deb")
for deb in "${debs[@]}"; do
  mv "build-deb/cpack/$(basename "$deb")" "$deb"
done

# What the packages must and must not hold.
list() { dpkg-deb -c "$1" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }'; }
main=$(list "${debs[0]}")
for f in ./usr/lib/morfwupload/morfw ./usr/lib/morfwupload/MorFWUpload \
         "./usr/bin/morfw -> ../lib/morfwupload/morfw" \
         "./usr/bin/MorFWUpload -> ../lib/morfwupload/MorFWUpload" \
         "./usr/lib/morfwupload/MorFWImg -> /var/lib/morfwupload/MorFWImg" \
         ./var/lib/morfwupload/MorFWImg/ ./usr/share/man/man1/morfw.1.gz \
         ./usr/share/morfwupload/MorFWUpload.html ./usr/share/applications/MorFWUpload.desktop \
         ./usr/share/icons/hicolor/48x48/apps/MorFWUpload.png \
         ./usr/share/man/man1/MorFWUpload.1.gz \
         ./usr/share/doc/morfwupload/copyright ./usr/share/doc/morfwupload/changelog.gz; do
  grep -qxF "$f" <<<"$main" || fail "${debs[0]} lacks $f"
done
# The image directory is created empty: never a file in it, and no image anywhere.
if grep -E '^\./var/lib/morfwupload/MorFWImg/.|\.(bin|s19|ini)$' <<<"$main"; then
  fail "${debs[0]} holds image files"
fi
sim=$(list "${debs[1]}")
for f in ./usr/lib/morfwupload/morfw-sim "./usr/bin/morfw-sim -> ../lib/morfwupload/morfw-sim" \
         ./usr/share/man/man1/morfw-sim.1.gz ./usr/share/doc/morfw-sim/copyright; do
  grep -qxF "$f" <<<"$sim" || fail "${debs[1]} lacks $f"
done
if grep -E 'MorFWImg|\.(bin|s19|ini)$' <<<"$sim"; then fail "${debs[1]} holds image files"; fi
dpkg-deb -f "${debs[0]}" Depends | grep -q libqt6widgets6 ||
  fail "${debs[0]} does not depend on Qt (dpkg-shlibdeps did not run?)"
dpkg-deb -f "${debs[1]}" Depends | grep -qF "morfwupload (= $version)" ||
  fail "${debs[1]} does not depend on morfwupload $version"

# lintian: errors stop the script; warnings and the rest are listed.
lintian_out=$(lintian --fail-on error "${debs[@]}") || { printf '%s\n' "$lintian_out"; fail "lintian found errors"; }
printf '%s\n' "$lintian_out"
echo "package: wrote ${debs[*]} ($((SECONDS - start)) s)"
