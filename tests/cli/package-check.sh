#!/usr/bin/env bash
# Builds the Debian package from the build folder $1, checks its contents,
# dependencies and lintian's verdict, installs it, checks the manual pages and
# the bash completion against --help, runs the updater from /usr/bin and
# removes it. Skips (77) without root, or when the package is installed for real.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "skipped: dpkg -i needs root"; exit 77; }
if dpkg-query -W -f='${Status}' mbus-fwtool 2>/dev/null | grep -q "ok installed"; then
  echo "skipped: mbus-fwtool is installed on this machine; not touching it"; exit 77
fi
command -v lintian >/dev/null || { echo "lintian is missing: run tools/setup-deps"; exit 1; }
out=$(mktemp -d)
trap 'dpkg -r mbus-fwtool >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/mbus-fwtool_1.8.0_*.deb)
dpkg-deb -c "$deb" | tee "$out/contents"
for f in usr/bin/mbus-fwtool usr/bin/mbus-fwupdate usr/bin/virtual-dongle usr/share/applications/mbus-fwtool.desktop \
         usr/share/icons/hicolor/128x128/apps/mbus-fwtool.png usr/share/icons/hicolor/16x16/apps/mbus-fwtool.png \
         usr/share/man/man1/mbus-fwupdate.1.gz usr/share/man/man1/mbus-fwtool.1.gz usr/share/man/man1/virtual-dongle.1.gz \
         usr/share/bash-completion/completions/mbus-fwupdate usr/share/doc/mbus-fwtool/copyright; do
  grep -q " \./$f\$" "$out/contents" || { echo "missing from the package: $f"; exit 1; }
done
dpkg-deb -x "$deb" "$out/root"
# The copyright file carries the licence of LICENSE and the notice of the
# CLI11 copy compiled into mbus-fwupdate, word for word.
licence() {  # the standalone paragraph "License: $2" of copyright file $1, unwrapped
  awk -v want="License: $2" 'BEGIN { RS = "" } $0 ~ "^" want "\n" { print }' "$1" | tail -n +2 |
    sed 's/^ *//; s/^\.$//; s/ *$//'
}
copyright=$out/root/usr/share/doc/mbus-fwtool/copyright
diff <(licence "$copyright" Expat) <(sed -n '5,$p' "$here/../../LICENSE" | sed 's/ *$//') ||
  { echo "the package's copyright differs from LICENSE"; exit 1; }
diff <(licence "$copyright" BSD-3-clause) <(licence /usr/share/doc/libcli11-dev/copyright BSD-3-clause) ||
  { echo "the package's copyright lacks CLI11's notice"; exit 1; }
grep -q "^Files: /usr/include/CLI/\*$" "$copyright" || { echo "the copyright names no CLI11 files"; exit 1; }
for size in 128 16; do
  icon="$out/root/usr/share/icons/hicolor/${size}x$size/apps/mbus-fwtool.png"
  [ "$(identify -format %wx%h "$icon")" = "${size}x$size" ] || { echo "icon in ${size}x$size is not that size"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libfox-1.6 libserialport libssl; do
  grep -q "$lib" <<<"$depends" || { echo "no dependency on $lib"; exit 1; }
done
# Errors and warnings fail; the informational tags (hardening of this test
# build, .comment sections) are shown only.
lintian --fail-on error,warning --info "$deb" || { echo "lintian found errors or warnings"; exit 1; }
dpkg -i "$deb"
/usr/bin/mbus-fwupdate --help | grep -q "^Exit status:"

# Every option --help names is in the manual page and offered by the completion.
options=$(/usr/bin/mbus-fwupdate --help | grep -oE -- '(^|[ ,])--?[a-zA-Z][a-z0-9-]*' | tr -d ' ,' | sort -u)
page=$(MANWIDTH=200 man mbus-fwupdate 2>/dev/null)
offered=$(bash "$here/complete-words.sh" mbus-fwupdate -)
for option in $options; do
  grep -qF -- "$option" <<<"$page" || { echo "man mbus-fwupdate does not name $option"; exit 1; }
  grep -qxF -- "$option" <<<"$offered" || { echo "the completion does not offer $option"; exit 1; }
done
MANWIDTH=200 man mbus-fwtool 2>/dev/null | grep -q -- "--user-folder" || { echo "man mbus-fwtool lacks --user-folder"; exit 1; }
# Values: protocols, line speeds, the port list's names, images and key files.
mkdir "$out/files" && touch "$out/files/a.cfw" "$out/files/b.key" && cd "$out/files"
expect() {  # words...: the completion of the last one, against $expected
  local got
  got=$(MBUS_FWTOOL_PORTS=/tmp/mbus-completion-port:rfc2217://pi:7001 bash "$here/complete-words.sh" "$@" | sort | tr '\n' ' ')
  [ "$got" = "$expected" ] || { echo "completing '$*': got '$got', expected '$expected'"; exit 1; }
}
expected="block encrypted simple " expect mbus-fwupdate --protocol ""
expected="2400 9600 " expect mbus-fwupdate -b ""
expected="/tmp/mbus-completion-port " expect mbus-fwupdate -p /tmp/mbus-completion-
expected="7001 " expect mbus-fwupdate -p rfc2217://pi:
expected="a.cfw " expect mbus-fwupdate -p x ""
expected="a.cfw b.key " expect mbus-fwupdate --key-file ""
expected="@b.key " expect mbus-fwupdate --decode @b
cd - >/dev/null
dpkg -r mbus-fwtool
[ ! -e /usr/bin/mbus-fwupdate ] || { echo "/usr/bin/mbus-fwupdate left after dpkg -r"; exit 1; }
echo "package built, lintian-clean, installed, its pages and completion checked, run and removed"
