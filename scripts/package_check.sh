#!/usr/bin/env bash
# Installs the built packages as an administrator would, uses the installed programs and removes
# the packages again, checking that the operator's image set survives. Run as root (CI does) on
# a machine whose image set directory holds no image set yet.
# Usage: scripts/package_check.sh deb   the .debs of scripts/package.sh (apt-get install)
#        scripts/package_check.sh msi   the installer of scripts/windows.sh, under Wine in a
#                                       prefix of its own (build-msi-check/)
# Environment: MORFW_WIN_BUILD, MORFW_WIN64_BUILD: the Windows builds (default build-win and,
# where no 32-bit Wine runs, build-win64, as scripts/windows.sh leaves them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS
what=${1:-}
fail() { echo "package_check: $*" >&2; exit 1; }
say() { echo "package_check: $*"; }
source scripts/apt_install.sh

check_deb() {
  store=/var/lib/morfwupload/MorFWImg records=/var/lib/morfwupload/records station_pid=""
  local arch version deb_main deb_sim
  [ "$(id -u)" -eq 0 ] || fail "run as root: it installs and removes packages"
  # python3 plays the far side of morfw-sim's pseudo-terminal; strings reads the dialog's paths.
  apt_install_missing python3 binutils
  if [ -d "$store" ] && [ -n "$(ls -A "$store")" ]; then
    fail "$store already holds files; this check installs the sample set there and removes it"
  fi
  if [ -d "$records" ] && [ -n "$(ls -A "$records")" ]; then
    fail "$records already holds files; this check's station writes records there and removes them"
  fi
  arch=$(dpkg --print-architecture)
  deb_main=$(ls dist/morfwupload_*_"$arch".deb 2>/dev/null | head -n 1)
  [ -n "$deb_main" ] || fail "no dist/morfwupload_*_$arch.deb: run scripts/package.sh first"
  version=$(dpkg-deb -f "$deb_main" Version)
  deb_sim=dist/morfw-sim_${version}_$arch.deb
  [ -f "$deb_sim" ] || fail "no $deb_sim"
  local samples=build-deb/bin/MorFWImg
  [ -f "$samples/MorFWImg.ini" ] || fail "no sample set in $samples: run scripts/package.sh first"
  work=$(mktemp -d)
  # The sample set is not firmware: it does not stay on the machine, whatever happens.
  # Nor do the station rehearsal's records; its settings file gets back what it held.
  trap '[ -z "$station_pid" ] || kill -KILL "$station_pid" 2>/dev/null
        [ ! -f "$work/station.conf" ] || cp "$work/station.conf" /etc/morfwupload/station.conf
        rm -rf "$work" "$records"; rm -f "$store"/*' EXIT

  say "installing $deb_main and $deb_sim"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends "./$deb_main" "./$deb_sim" >"$work/apt.txt" 2>&1 ||
    { apt-get update -q >/dev/null 2>&1 || true
      apt-get install -y -q --no-install-recommends "./$deb_main" "./$deb_sim" >"$work/apt.txt" 2>&1; } ||
    { cat "$work/apt.txt" >&2; fail "apt-get install failed"; }

  [ "$(command -v morfw)" = /usr/bin/morfw ] || fail "morfw is not /usr/bin/morfw on PATH"
  [ "$(morfw --version)" = "morfw $version" ] || fail "morfw --version: $(morfw --version)"
  [ -d "$store" ] && [ -z "$(ls -A "$store")" ] || fail "$store is missing or not empty"

  # An empty set is reported where the README says it goes (through the link beside morfw).
  local rc=0
  morfw check >"$work/check.txt" 2>&1 || rc=$?
  [ $rc -eq 4 ] || { cat "$work/check.txt"; fail "morfw check on the empty set gave $rc, not 4"; }
  grep -q "/usr/lib/morfwupload/MorFWImg/" "$work/check.txt" ||
    { cat "$work/check.txt"; fail "morfw check does not look in /usr/lib/morfwupload/MorFWImg/"; }

  # The build's sample set in the administrator's place: sim: needs a set too, since the
  # simulated unit knows the set the upload loads.
  cp "$samples"/* "$store/"
  (cd "$store" && sha256sum ./* >"$work/set.sha256")
  morfw check >"$work/check.txt" 2>&1 || { cat "$work/check.txt"; fail "morfw check failed"; }
  say "uploading the sample set to sim: with the installed morfw"
  (cd "$work" && morfw upload --port sim: --quiet --log "$work/upload.log") ||
    { cat "$work/upload.log"; fail "the upload to sim: failed"; }
  head -n 1 "$work/upload.log" | grep -q "^---- morfw $version, .*images /usr/lib/morfwupload/MorFWImg/" ||
    fail "the log header: $(head -n 1 "$work/upload.log")"

  # The simulated unit on a pseudo-terminal knows the same set through its own link.
  python3 - <<'PY' || fail "the installed morfw-sim did not start on a pseudo-terminal"
import os, pty, signal, subprocess, sys
master, slave = pty.openpty()
name = os.ttyname(slave)
os.close(slave)  # morfw-sim takes only a device that no other process holds open
p = subprocess.Popen(["morfw-sim", name], stdout=subprocess.PIPE, text=True)
ready = ""
for line in p.stdout:
    if "unit ready on" in line:
        ready = line.strip()
        break
p.send_signal(signal.SIGTERM)
rc = p.wait(timeout=10)
print("package_check: morfw-sim said: " + ready)
sys.exit(0 if "/usr/lib/morfwupload/MorFWImg/" in ready and rc == 0 else 1)
PY

  check_station

  # The dialog starts offscreen and paints its window; it is still running then (no crash) and
  # ends on SIGTERM. Its help page is where the program looks for it.
  local app_pid
  : >"$work/app.txt"
  QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="qt.widgets.painting=true" XDG_RUNTIME_DIR="$work" \
    MorFWUpload >"$work/app.txt" 2>&1 &
  app_pid=$!
  local waited=0
  until grep -q "Drawing .* of CMorFWUploadDlg" "$work/app.txt"; do
    kill -0 $app_pid 2>/dev/null || { cat "$work/app.txt"; fail "MorFWUpload ended before it painted"; }
    [ $waited -lt 200 ] || { kill $app_pid; fail "MorFWUpload painted nothing in 20 s"; }
    sleep 0.1; waited=$((waited + 1))
  done
  sleep 1
  kill -0 $app_pid 2>/dev/null || fail "MorFWUpload ended by itself after it painted"
  kill -TERM $app_pid
  rc=0; wait $app_pid || rc=$?
  [ $rc -eq 143 ] || fail "MorFWUpload ended with $rc on SIGTERM, not 143"
  say "MorFWUpload started offscreen, painted its dialog and ended on SIGTERM"
  local help
  help=$(strings /usr/lib/morfwupload/MorFWUpload | grep -m1 '^\.\./.*share/morfwupload/$' || true)
  [ -n "$help" ] && [ -f "/usr/lib/morfwupload/$help/MorFWUpload.html" ] ||
    fail "the help page is not where MorFWUpload looks ('$help')"

  # The station window: the program, its menu entry, icon and help page, and its usage.
  for f in /usr/bin/MorFWStation /usr/share/applications/MorFWStation.desktop \
           /usr/share/icons/hicolor/scalable/apps/MorFWStation.svg \
           /usr/share/morfwupload/MorFWStation.html; do
    [ -e "$f" ] || fail "no $f"
  done
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" MorFWStation --help >"$work/station-help.txt" 2>&1 ||
    { cat "$work/station-help.txt"; fail "MorFWStation --help failed"; }
  grep -q -- "--ask-serial" "$work/station-help.txt" || fail "MorFWStation --help names no --ask-serial"
  say "MorFWStation is installed with its menu entry, icon and help page"

  # Removing and purging the packages leaves the operator's set as it was.
  say "removing the packages"
  apt-get remove -y -q morfw-sim morfwupload >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; fail "apt-get remove failed"; }
  [ ! -e /usr/bin/morfw ] && [ ! -e /usr/lib/morfwupload/morfw ] || fail "morfw is still installed"
  (cd "$store" && sha256sum -c --quiet "$work/set.sha256") || fail "apt-get remove changed the image set"
  dpkg -i "$deb_main" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; fail "reinstalling failed"; }
  morfw check >/dev/null || fail "the reinstalled morfw does not find the set that stayed"
  dpkg -P morfwupload >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; fail "dpkg -P failed"; }
  [ ! -e /usr/lib/morfwupload ] || fail "/usr/lib/morfwupload is left after purging"
  (cd "$store" && sha256sum -c --quiet "$work/set.sha256") || fail "dpkg -P changed the image set"
  say "the image set in $store survived apt-get remove and dpkg -P"
  [ -f "$records/results.csv" ] || fail "dpkg -P removed the station's records"

  rm -f "$store"/*
  rm -rf "$records"
  rmdir "$store" /var/lib/morfwupload 2>/dev/null || true
}

# The station's service as installed: disabled and stopped, its settings a conffile, its user in
# dialout owning the records' directory, accepted by systemd-analyze verify. Then its command
# line as systemd runs it (the unit's environment and settings file, its user, SIGTERM to the
# station alone) rehearses with simulated units, and SIGTERM cancels them with the day's summary.
check_station() {
  local unit=/lib/systemd/system/morfw-station.service conf=/etc/morfwupload/station.conf
  local line key value word opts words=() split=() extra=() cmd=() rc=0 waited=0
  local -A env=()
  [ -f "$unit" ] || fail "no $unit"
  dpkg-query -W -f='${Conffiles}\n' morfwupload | grep -q "^ $conf " || fail "$conf is not a conffile"
  id -nG morfwupload 2>/dev/null | grep -qw dialout || fail "no system user morfwupload in dialout"
  [ "$(stat -c %U "$records")" = morfwupload ] || fail "$records does not belong to morfwupload"
  ! compgen -G "/etc/systemd/system/*.wants/morfw-station.service" >/dev/null || fail "the service is enabled"
  ! pgrep -u morfwupload >/dev/null || fail "something runs as morfwupload already"
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit failed"

  # The rehearsal: simulated fixtures whose units come and go.
  cp "$conf" "$work/station.conf"
  opts="--rehearse 2"
  echo "MORFW_STATION_OPTIONS=$opts" >>"$conf"
  # As systemd reads them: Environment= first, then the settings file (KEY=VALUE, the rest of
  # the line); in the command line $NAME is split into words, ${NAME} is one word.
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] || continue
    key=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
    [[ $value =~ ^\"(.*)\"$ ]] && value=${BASH_REMATCH[1]}
    env[$key]=$value
  done < <(sed -n 's/^Environment=//p' "$unit"; cat "$conf")
  read -ra words <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
  for word in "${words[@]}"; do
    if [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
      read -ra split <<<"${env[${BASH_REMATCH[1]}]:-}"
      cmd+=("${split[@]}")
    else
      while [[ $word =~ \$\{([A-Za-z_][A-Za-z0-9_]*)\} ]]; do
        word=${word//"${BASH_REMATCH[0]}"/"${env[${BASH_REMATCH[1]}]:-}"}
      done
      cmd+=("$word")
    fi
  done
  say "running the service's command line as morfwupload: ${cmd[*]}"
  for key in "${!env[@]}"; do extra+=("$key=${env[$key]}"); done
  (cd "$(sed -n 's/^WorkingDirectory=//p' "$unit")" &&
   exec setpriv --reuid=morfwupload --regid=morfwupload --init-groups \
     env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${extra[@]}" "${cmd[@]}") >"$work/station.txt" 2>&1 &
  station_pid=$!
  until [ "$(grep -c 'Uploading firmware - part 3 of 5' "$work/station.txt")" -ge 2 ]; do
    kill -0 $station_pid 2>/dev/null || { cat "$work/station.txt"; fail "the station ended by itself"; }
    [ $waited -lt 600 ] || { cat "$work/station.txt"; fail "the station's two units did not reach part 3 in 60 s"; }
    sleep 0.1; waited=$((waited + 1))
  done
  kill -TERM $station_pid
  wait $station_pid || rc=$?
  station_pid=""
  mv "$work/station.conf" "$conf"
  # Both units were cancelled: the day's code is 5, which the unit counts as a clean end.
  [ $rc -eq 5 ] || { cat "$work/station.txt"; fail "the station ended with $rc on SIGTERM, not 5"; }
  grep -q "^in all " "$work/station.txt" || { cat "$work/station.txt"; fail "no day's summary after SIGTERM"; }
  [ "$(find "$records" -name '*.log' -user morfwupload | wc -l)" -ge 2 ] &&
    [ "$(grep -c cancelled "$records/results.csv")" -ge 2 ] ||
    { ls -l "$records"; fail "the station's records are not in $records"; }
  say "the service's command line rehearsed as morfwupload and ended on SIGTERM with the day's summary"
}

# The Add/Remove programs entries named MorFWUpload, one "VERSION" line each (the 32-bit view
# and the native one: a 64-bit reg.exe sees the 32-bit installer's entries in the second).
arp_versions() {
  local view
  for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
              'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
    "$wine" reg query "$view" /s 2>/dev/null | tr -d '\r' |
      awk '/^HKEY/ { name = v = "" } /DisplayName +REG_SZ +MorFWUpload$/ { name = 1 }
           /DisplayVersion +REG_SZ/ { v = $3 } /^$/ { if (name) print v; name = "" }
           END { if (name) print v }' >"$work/arp.txt" || true
    [ -s "$work/arp.txt" ] && break
  done
  cat "$work/arp.txt"
}

# No section of debugging information in a Windows program.
stripped() { ! objdump -h "$1" | grep -q '\.debug_'; }

# msi_round MSI RUN UPGRADE: installs MSI silently, checks what it put where, runs the installed
# morfw.exe when RUN is yes, puts the sample set into MorFWImg\ (the operator's files); when
# UPGRADE is yes, installs the next build over it (one entry, the set kept) and the older one
# again (refused); uninstalls silently and checks that exactly the installed files went.
msi_round() {
  local msi=$1 run=$2 upgrade=$3 win_msi dir="" d lnk f
  win_msi=$(winepath -w "$msi")
  say "installing $msi under Wine (msiexec /i /qn)"
  "$wine" msiexec /i "$win_msi" /qn || fail "msiexec /i $msi failed"
  for d in "Program Files" "Program Files (x86)"; do
    [ -f "$WINEPREFIX/drive_c/$d/MorFWUpload/morfw.exe" ] && dir="$WINEPREFIX/drive_c/$d/MorFWUpload"
  done
  [ -n "$dir" ] || fail "no MorFWUpload\\morfw.exe under Program Files"
  for f in morfw.exe MorFWUpload.exe MorFWUpload.html THIRD-PARTY-NOTICES.txt; do
    [ -f "$dir/$f" ] || fail "not installed: $f"
  done
  stripped "$dir/morfw.exe" && stripped "$dir/MorFWUpload.exe" || fail "the installed programs are not stripped"
  [ -d "$dir/MorFWImg" ] && [ -z "$(ls -A "$dir/MorFWImg")" ] || fail "MorFWImg\\ is missing or not empty"
  lnk=$(find "$WINEPREFIX/drive_c" -name MorFWUpload.lnk | head -n 1)
  [ -n "$lnk" ] || fail "no Start-menu shortcut MorFWUpload.lnk"
  [ "$(arp_versions)" = "$version" ] || fail "no Add/Remove programs entry for MorFWUpload $version"

  cp "$samples"/* "$dir/MorFWImg/"
  echo "the operator's own notes" >"$dir/MorFWImg/notes.txt"
  (cd "$dir/MorFWImg" && sha256sum ./* >"$work/set.sha256")
  if [ "$upgrade" = yes ]; then
    # Windows Installer compares three fields of a version; the fourth is the build.
    local next=${version%.*}.$((${version##*.} + 1)) next_msi
    next_msi=$work/MorFWUpload-$next-win32.msi
    scripts/package.sh msi "$win" x86 "$next_msi" "$next" >/dev/null
    say "installing build $next over $version, then $version again"
    "$wine" msiexec /i "$(winepath -w "$next_msi")" /qn || fail "msiexec /i $next_msi failed"
    [ "$(arp_versions)" = "$next" ] || fail "after the upgrade to $next, Add/Remove programs lists: $(arp_versions | xargs)"
    (cd "$dir/MorFWImg" && sha256sum -c --quiet "$work/set.sha256") || fail "the upgrade changed MorFWImg\\"
    [ -f "$dir/morfw.exe" ] || fail "the upgrade left no morfw.exe"
    ! "$wine" msiexec /i "$win_msi" /qn || fail "the downgrade to $version was not refused"
    [ "$(arp_versions)" = "$next" ] || fail "the refused downgrade changed Add/Remove programs: $(arp_versions | xargs)"
    say "build $next replaced $version in place, keeping MorFWImg\\; $version is refused over it"
    win_msi=$(winepath -w "$next_msi")
  fi
  if [ "$run" = yes ]; then
    [ "$("$wine" "$dir/morfw.exe" --version | tr -d '\r')" = "morfw $version" ] ||
      fail "the installed morfw.exe --version does not say morfw $version"
    "$wine" "$dir/morfw.exe" check >"$work/check.txt" || { cat "$work/check.txt"; fail "morfw.exe check failed"; }
    say "uploading the sample set to sim: with the installed morfw.exe"
    "$wine" "$dir/morfw.exe" upload --port sim: --quiet >"$work/upload.txt" ||
      { cat "$work/upload.txt"; fail "the upload to sim: with the installed morfw.exe failed"; }
  fi

  say "uninstalling (msiexec /x /qn)"
  "$wine" msiexec /x "$win_msi" /qn || fail "msiexec /x failed"
  for f in morfw.exe MorFWUpload.exe MorFWUpload.html THIRD-PARTY-NOTICES.txt; do
    [ ! -e "$dir/$f" ] || fail "left after uninstalling: $f"
  done
  [ ! -e "$lnk" ] || fail "the Start-menu shortcut is left after uninstalling"
  [ -z "$(arp_versions)" ] || fail "the Add/Remove programs entry is left"
  (cd "$dir/MorFWImg" && sha256sum -c --quiet "$work/set.sha256") ||
    fail "uninstalling changed the operator's files in MorFWImg\\"
  say "the operator's files in MorFWImg\\ survived msiexec /x"
  rm -rf "$dir"
}

# The zip: named with the version, the programs stripped, the notices and MorFWImg\ in it.
check_zip() {
  local zip=dist/MorFWUpload-$version-win32.zip f
  [ -f "$zip" ] || fail "no $zip: run scripts/windows.sh first"
  rm -rf "$work/zip" && mkdir -p "$work/zip" && (cd "$work/zip" && unzip -q "$root/$zip")
  for f in morfw.exe MorFWUpload.exe MorFWUpload.html THIRD-PARTY-NOTICES.txt MorFWImg/; do
    [ -e "$work/zip/MorFWUpload/$f" ] || fail "$zip lacks MorFWUpload/$f"
  done
  stripped "$work/zip/MorFWUpload/morfw.exe" && stripped "$work/zip/MorFWUpload/MorFWUpload.exe" ||
    fail "the programs in $zip are not stripped"
  say "$zip holds the stripped programs, the help page, the notices and MorFWImg\\"
}

check_msi() {
  local win=${MORFW_WIN_BUILD:-build-win} win64=${MORFW_WIN64_BUILD:-build-win64}
  version=$(sed -n 's/^#define MORFW_VERSION "\(.*\)"$/\1/p' "$win/generated/MorFWVersion.h")
  local msi=dist/MorFWUpload-$version-win32.msi
  [ -n "$version" ] && [ -f "$msi" ] || fail "no dist/MorFWUpload-VERSION-win32.msi: run scripts/windows.sh first"
  samples=$win/bin/MorFWImg
  [ -f "$samples/MorFWImg.ini" ] || fail "no sample set in $samples"
  # unzip opens the zip; objdump (binutils) lists the programs' sections.
  apt_install_missing unzip binutils
  export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  # A prefix of its own, so nothing gets installed into the one the suites run in.
  rm -rf build-msi-check && mkdir -p build-msi-check
  export WINEPREFIX=$root/build-msi-check/wine
  work=$root/build-msi-check
  local standin=""
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine=/usr/lib/wine/wine
  else
    # As in scripts/windows.sh: without 32-bit Wine the 32-bit programs cannot run here, so the
    # installer is checked as it is and the programs run from a 64-bit one of the same sources.
    wine=/usr/lib/wine/wine64
    standin=build-msi-check/MorFWUpload-$version-win64.msi
    say "no 32-bit Wine: the installed programs run from a 64-bit installer ($win64)"
    scripts/package.sh msi "$win64" x64 "$standin"
  fi
  "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
  check_zip
  msi_round "$msi" "$([ -z "$standin" ] && echo yes || echo no)" yes
  [ -z "$standin" ] || msi_round "$standin" yes no
  wineserver -k 2>/dev/null || true
  rm -rf build-msi-check
}

case "$what" in
  deb) check_deb ;;
  msi) check_msi ;;
  *) echo "usage: scripts/package_check.sh deb | msi" >&2; exit 2 ;;
esac
say "$what: all checks passed ($((SECONDS - start)) s)"
