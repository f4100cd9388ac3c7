#!/usr/bin/env bash
# Builds the Debian package from the build folder $1, checks its contents and
# dependencies, installs it, runs the updater from /usr/bin and removes it.
# Skips (77) without root, or when the package is installed for real.
set -euo pipefail
build=$1
[ "$(id -u)" -eq 0 ] || { echo "skipped: dpkg -i needs root"; exit 77; }
if dpkg-query -W -f='${Status}' mbus-fwtool 2>/dev/null | grep -q "ok installed"; then
  echo "skipped: mbus-fwtool is installed on this machine; not touching it"; exit 77
fi
out=$(mktemp -d)
trap 'dpkg -r mbus-fwtool >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/mbus-fwtool_1.8.0_*.deb)
dpkg-deb -c "$deb" | tee "$out/contents"
for f in usr/bin/mbus-fwtool usr/bin/mbus-fwupdate usr/bin/virtual-dongle usr/share/applications/mbus-fwtool.desktop \
         usr/share/icons/hicolor/128x128/apps/mbus-fwtool.png usr/share/icons/hicolor/16x16/apps/mbus-fwtool.png; do
  grep -q " \./$f\$" "$out/contents" || { echo "missing from the package: $f"; exit 1; }
done
dpkg-deb -x "$deb" "$out/root"
for size in 128 16; do
  icon="$out/root/usr/share/icons/hicolor/${size}x$size/apps/mbus-fwtool.png"
  [ "$(identify -format %wx%h "$icon")" = "${size}x$size" ] || { echo "icon in ${size}x$size is not that size"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libfox-1.6 libserialport libssl; do
  grep -q "$lib" <<<"$depends" || { echo "no dependency on $lib"; exit 1; }
done
dpkg -i "$deb"
/usr/bin/mbus-fwupdate --help | grep -q "exit codes: 0 done"
dpkg -r mbus-fwtool
[ ! -e /usr/bin/mbus-fwupdate ] || { echo "/usr/bin/mbus-fwupdate left after dpkg -r"; exit 1; }
echo "package built, installed, run and removed"
