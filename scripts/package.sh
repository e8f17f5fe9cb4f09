#!/usr/bin/env bash
# Packages.
#   scripts/package.sh [deb]   the Debian packages dist/morfwupload_VERSION_ARCH.deb and
#       dist/morfw-sim_VERSION_ARCH.deb with CPack (a Release build in build-deb/, Debian's
#       hardening flags, the debian layout of cmake/InstallLayout.cmake); checks what they hold
#       and runs lintian on them (an error stops the script; warnings are listed). The
#       maintainer field is MORFW_PACKAGE_MAINTAINER="Name <address>" from the environment,
#       else the build's default, an address under .invalid that reaches nobody.
#   scripts/package.sh msi [BUILD_DIR [x86|x64 [OUTPUT [VERSION]]]]   the Windows installer of a
#       Windows build (default build-win, x86: dist/MorFWUpload-VERSION-win32.msi) with wixl,
#       from packaging/windows/MorFWUpload.wxs; VERSION (default the build's) gives the same
#       programs another build number, for the upgrade check
#   scripts/package.sh zip [...]   the same files as a zip (dist/MorFWUpload-VERSION-win32.zip)
#       with an empty MorFWImg\ folder; scripts/windows.sh makes both after its build
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS
fail() { echo "package: $*" >&2; exit 1; }
version_of() { sed -n 's/^#define MORFW_VERSION "\(.*\)"$/\1/p' "$1/generated/MorFWVersion.h"; }

source scripts/apt_install.sh

if [ "${1:-deb}" = msi ] || [ "${1:-deb}" = zip ]; then
  kind=$1 build=${2:-build-win} arch=${3:-x86}
  [ -f "$build/bin/morfw.exe" ] && [ -f "$build/bin/MorFWUpload.exe" ] ||
    fail "no Windows programs in $build/bin: run scripts/windows.sh first"
  case "$arch" in
    x86) bits=32 strip=i686-w64-mingw32-strip ;;
    x64) bits=64 strip=x86_64-w64-mingw32-strip ;;
    *) fail "the architecture is x86 or x64" ;;
  esac
  version=${5:-$(version_of "$build")}
  [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || fail "the version is A.B.C.D, not '$version'"
  out=${4:-dist/MorFWUpload-$version-win$bits.$kind}
  # What both carry: the programs without debugging information (the build's copies keep it),
  # the help page and the third-party notices (with Windows line ends).
  stage=$build/$kind-stage
  rm -rf "$stage" && mkdir -p "$stage/MorFWUpload" "$(dirname "$out")"
  files=$stage/MorFWUpload
  cp "$build/bin/morfw.exe" "$build/bin/MorFWUpload.exe" app/help/MorFWUpload.html "$files/"
  "$strip" "$files/morfw.exe" "$files/MorFWUpload.exe"
  sed 's/$/\r/' packaging/windows/THIRD-PARTY-NOTICES.txt >"$files/THIRD-PARTY-NOTICES.txt"
  out=$(realpath "$out")
  rm -f "$out"
  if [ "$kind" = zip ]; then
    # The portable form: the same files and an empty MorFWImg\ for the operator's set.
    apt_install_missing zip
    mkdir "$files/MorFWImg" && : >"$files/MorFWImg/PUT-THE-IMAGE-SET-HERE.txt"
    (cd "$stage" && zip -qr "$out" MorFWUpload)
  else
    apt_install_missing wixl
    # wixl takes the files by plain names, from the folder it runs in. Windows Installer
    # compares three fields of a version: the installer gets the fourth (the build) apart.
    cp app/win32/MorFWUpload.ico "$files/"
    (cd "$files" && wixl -a "$arch" -D "Arch=$arch" -D "Version=$version" \
       -D "Release=${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.${BASH_REMATCH[3]}" \
       -D "Build=${BASH_REMATCH[4]}" \
       -D "NextRelease=${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.$((BASH_REMATCH[3] + 1))" \
       -o "$out" "$root/packaging/windows/MorFWUpload.wxs")
  fi
  echo "package: wrote ${out#"$root"/} ($((SECONDS - start)) s)"
  exit 0
fi
[ "${1:-deb}" = deb ] ||
  fail "usage: scripts/package.sh [deb | msi|zip [BUILD_DIR [x86|x64 [OUTPUT [VERSION]]]]]"

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
         ./usr/share/doc/morfwupload/copyright ./usr/share/doc/morfwupload/changelog.gz \
         ./lib/systemd/system/morfw-station.service ./etc/morfwupload/station.conf \
         ./usr/share/doc/morfwupload/examples/70-morfw-fixtures.rules; do
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
dpkg-deb -I "${debs[0]}" conffiles | grep -qx /etc/morfwupload/station.conf ||
  fail "${debs[0]}: the station's settings are no conffile"
dpkg-deb -f "${debs[1]}" Depends | grep -qF "morfwupload (= $version)" ||
  fail "${debs[1]} does not depend on morfwupload $version"

# lintian: errors stop the script; warnings and the rest are listed.
lintian_out=$(lintian --fail-on error "${debs[@]}") || { printf '%s\n' "$lintian_out"; fail "lintian found errors"; }
printf '%s\n' "$lintian_out"
echo "package: wrote ${debs[*]} ($((SECONDS - start)) s)"
