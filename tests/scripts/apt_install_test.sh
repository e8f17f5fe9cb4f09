#!/usr/bin/env bash
# scripts/apt_install.sh against a fake apt-get, dpkg and dpkg-query, first on PATH, that play a
# failing mirror; this machine's apt is never touched.
set -uo pipefail
helper=$(cd "$(dirname "$0")/../../scripts" && pwd)/apt_install.sh
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir "$T/bin"
cat > "$T/bin/fake" <<'FAKE'
#!/usr/bin/env bash
S=$FAKE_STATE tool=$(basename "$0")
echo "$tool $*" >> "$S/log"
case "$tool $1" in
  "apt-get update")
    n=$(cat "$S/update_fails"); echo $((n - 1)) > "$S/update_fails"
    if [ "$n" -gt 0 ] || { [ -e "$S/bad_i386" ] && grep -qx i386 "$S/arch"; }; then
      echo "E: Failed to fetch http://mirror/Packages  Hash Sum mismatch" >&2; exit 100
    fi ;;
  "apt-get install")
    shift 4
    if [ $# -gt 1 ] && [ -e "$S/batch_fails" ]; then
      echo "E: Failed to fetch x.deb  503" >&2; exit 100
    fi
    for p; do
      i386=$([ -e "$S/bad_i386" ] || grep -x i386 "$S/arch")
      if grep -qx "$p" "$S/bad" || [[ $p == *:i386 && -z $i386 ]]; then
        echo "E: Unable to locate package $p" >&2; exit 100
      fi
    done
    printf '%s\n' "$@" >> "$S/installed" ;;
  "dpkg-query -W") grep -qx "$3" "$S/installed" && printf 'install ok installed' ;;
  "dpkg --print-foreign-architectures") cat "$S/arch" ;;
  "dpkg --add-architecture") echo "$2" >> "$S/arch" ;;
  "dpkg --remove-architecture") ! grep -q ":$2\$" "$S/installed" && sed -i "/^$2\$/d" "$S/arch" ;;
esac
FAKE
chmod +x "$T/bin/fake"
for t in apt-get dpkg dpkg-query; do ln -s fake "$T/bin/$t"; done

fails=0
# run NAME SETUP COMMANDS: a fresh state, SETUP run in it, then COMMANDS under set -e; the last
# line of $out is "status N: APT_FAILED".
run() {
  name=$1 S=$T/$1
  mkdir "$S" && (cd "$S" && echo 0 > update_fails && touch installed arch bad log && eval "$2")
  out=$(FAKE_STATE=$S PATH="$T/bin:$PATH" APT_SUDO='' APT_WHO=setup APT_RETRY_SLEEP=0 bash -c \
    'set -euo pipefail; source "$0"
     trap "echo \"status \$?: \${APT_FAILED[*]}\"" EXIT; eval "$1"' "$helper" "$3" 2>&1)
}
fail() { echo "FAIL $name: $1"; echo "$out"; fails=1; }
has() { grep -qxF -- "$1" <<<"$out" || fail "no line '$1' in:"; }
hasnt() { ! grep -qF -- "$1" <<<"$out" || fail "'$1' in:"; }
file_is() { [ "$(sort "$S/$1" | xargs)" = "$2" ] || fail "$1 is $(xargs < "$S/$1"), in:"; }
calls() { [ "$(grep -c "^$1" "$S/log")" = "$2" ] || fail "not $2 × $1, in:"; }

run noop 'echo a > installed' 'apt_install_missing a'
[ "$out" = "status 0: " ] || fail "more than nothing:"
calls apt-get 0

run update_fails_once 'echo 1 > update_fails' 'apt_install_missing a b'
has "setup: apt-get update failed; trying once more"; hasnt warning; has "status 0: "
calls "apt-get update" 2; file_is installed "a b"

run update_always_fails 'echo 9 > update_fails' 'apt_install_missing a'
has "setup: warning: apt-get update failed again (Failed to fetch http://mirror/Packages  Hash\
 Sum mismatch); going on with the lists at hand"
has "status 0: "; calls "apt-get update" 2; file_is installed a

run one_not_installable 'echo libbad-dev > bad' 'apt_install_missing a libbad-dev b'
has "setup: cannot install libbad-dev (apt-get said: Unable to locate package libbad-dev)"
has "status 1: libbad-dev (apt-get said: Unable to locate package libbad-dev)"
calls "apt-get install -y -q --no-install-recommends a libbad-dev b" 2; file_is installed "a b"

run batch_fails 'touch batch_fails' 'apt_install_missing a b'
has "status 0: "; hasnt "cannot install"; file_is installed "a b"

run optional_one_update 'echo c > bad' 'apt_install_missing a; apt_install_missing --optional b c'
has "status 1: c (apt-get said: Unable to locate package c)"; hasnt "cannot install"
calls "apt-get update" 1; file_is installed "a b"

run i386_index_broken 'touch bad_i386' 'apt_install_missing a; apt_install_foreign i386 wine32:i386'
has "setup: nothing of i386 could be installed; removed the i386 architecture again"
has "status 1: wine32:i386 (apt-get said: Unable to locate package wine32:i386)"
calls "apt-get update" 3; file_is arch ""

run i386_not_ours 'echo i386 > arch; touch bad_i386' 'apt_install_foreign i386 wine32:i386'
hasnt removed; file_is arch i386

run i386_fine '' 'apt_install_foreign i386 wine32:i386'
has "status 0: "; file_is arch i386; file_is installed wine32:i386

[ $fails -eq 0 ] && echo "apt_install_test: all passed"
exit $fails
