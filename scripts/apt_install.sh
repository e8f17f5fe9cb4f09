# shellcheck shell=bash
# Sourced by the set-up scripts: installs the Debian packages that are missing, in a way that
# survives a bad mirror. Messages start with the sourcing script's name ("setup: ...").
#   apt_install_missing PKG...             installs those not installed; status 1, with a
#                                          "NAME: cannot install PKG (apt-get said: ...)" line on
#                                          stderr for each, when some cannot be installed
#   apt_install_missing --optional PKG...  the same, quietly: status 1 and APT_FAILED tell
#   apt_install_foreign ARCH PKG...        optional packages that need the foreign ARCH, which
#                                          it adds when missing
# Environment: APT_SUDO (default: sudo unless root), APT_RETRY_SLEEP (seconds, default 5).

APT_WHO=${APT_WHO:-$(basename "$0" .sh)}
APT_SUDO=${APT_SUDO-$([ "$(id -u)" -eq 0 ] || echo sudo)}
APT_FAILED=()        # "PKG (apt-get said: ...)" for each package the last call could not install
_apt_updated=no
_apt_said=""

apt_installed() {
  case "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" in
    *"install ok installed"*) return 0 ;;
    *) return 1 ;;
  esac
}

# Runs apt-get; its stderr still reaches ours, and its last error is kept in _apt_said.
_apt_get() {
  local rc=0 err
  { err=$($APT_SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@" 2>&1 1>&3 3>&-) || rc=$?
  } 3>&1
  [ -z "$err" ] || printf '%s\n' "$err" >&2
  _apt_said=$(printf '%s\n' "$err" | sed -n 's/^E: //p' | tail -n 1)
  [ -n "$_apt_said" ] || _apt_said=$(printf '%s\n' "$err" | sed '/^\s*$/d' | tail -n 1)
  [ -n "$_apt_said" ] || _apt_said="exit status $rc"
  return $rc
}

# Once per script. A mirror with one broken index fails the whole update although the other
# lists arrived: one more try, then go on with what is here.
apt_update() {
  [ $_apt_updated = no ] || return 0
  _apt_updated=yes
  _apt_get update -q && return 0
  echo "$APT_WHO: apt-get update failed; trying once more" >&2
  sleep "${APT_RETRY_SLEEP:-5}"
  _apt_get update -q && return 0
  echo "$APT_WHO: warning: apt-get update failed again ($_apt_said);" \
       "going on with the lists at hand" >&2
  return 0
}

apt_install_missing() {
  local optional=no p missing=() args=(install -y -q --no-install-recommends)
  APT_FAILED=()
  [ "${1:-}" != --optional ] || { optional=yes; shift; }
  for p in "$@"; do apt_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$APT_WHO: installing ${missing[*]}"
  apt_update
  _apt_get "${args[@]}" "${missing[@]}" && return 0
  _apt_get "${args[@]}" "${missing[@]}" && return 0
  if [ ${#missing[@]} -eq 1 ]; then
    APT_FAILED=("${missing[0]} (apt-get said: $_apt_said)")
  else
    # One package that cannot be had fails the whole batch: one at a time, so the rest still is.
    for p in "${missing[@]}"; do
      apt_installed "$p" || _apt_get "${args[@]}" "$p" ||
        APT_FAILED+=("$p (apt-get said: $_apt_said)")
    done
  fi
  [ ${#APT_FAILED[@]} -gt 0 ] || return 0
  if [ $optional = no ]; then
    for p in "${APT_FAILED[@]}"; do echo "$APT_WHO: cannot install $p" >&2; done
  fi
  return 1
}

# An index of ARCH that the mirror serves broken fails every later apt-get update, so when this
# call added ARCH and nothing of it got installed, it takes ARCH away again.
apt_install_foreign() {
  local arch=$1 added=no rc=0
  shift
  APT_FAILED=()
  if ! grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures 2>/dev/null)"; then
    if ! $APT_SUDO dpkg --add-architecture "$arch"; then
      APT_FAILED=("$* (dpkg --add-architecture $arch failed)")
      return 1
    fi
    added=yes
    _apt_updated=no   # the new architecture's lists
  fi
  apt_install_missing --optional "$@" || rc=$?
  # dpkg itself refuses while any package of ARCH is in its database.
  if [ $rc -ne 0 ] && [ $added = yes ] &&
     $APT_SUDO dpkg --remove-architecture "$arch" 2>/dev/null; then
    echo "$APT_WHO: nothing of $arch could be installed; removed the $arch architecture again"
  fi
  return $rc
}
