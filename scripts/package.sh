#!/usr/bin/env bash
# Builds Mirel's Debian package, build/package/mirel_VERSION_ARCH.deb, from the
# package preset (the programs only, hardened). With --check it then checks the
# package as CI does: lintian, the AppStream entry and the launcher entry;
# installs it with apt-get, runs the installed programs, and removes it again,
# leaving nothing of it under /usr.
set -euo pipefail
cd "$(dirname "$0")/.."

check=false
[ "${1:-}" = --check ] && check=true
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/mirel_*.deb
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/mirel_*.deb)
echo "== $deb =="
$check || exit 0

fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "-- lintian --"
lintian --fail-on error,warning --info "$deb"

echo "-- AppStream and launcher entries --"
dpkg-deb -x "$deb" "$work/root"
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml
desktop-file-validate "$work/root/usr/share/applications/mirel.desktop"

echo "-- installed --"
$sudo apt-get install -y "./$deb" >/dev/null
dpkg -L mirel >"$work/files"
for program in mirel mirel-decode mirel-ltcgen; do
    [ "$(/usr/bin/$program --version)" = "$program $(dpkg-query -W -f='${Version}' mirel)" ] ||
        fail "$program --version"
done
/usr/bin/mirel-ltcgen "$work/ltc.wav" --fps 25 --start 01:00:00:00 --seconds 2
[ "$(/usr/bin/mirel-decode "$work/ltc.wav" | grep -c '01:00:0')" -ge 48 ] ||
    fail "the installed mirel-decode did not decode the installed mirel-ltcgen's signal"
# The installed program, with settings of its own, until its first page is on the screen.
XDG_CONFIG_HOME=$work/config NO_AT_BRIDGE=1 xvfb-run -a -s "-screen 0 800x600x24" \
    bash scripts/painted.sh /usr/bin/mirel "$work/screen.png" ||
    fail "the installed program painted no page"

echo "-- removed --"
$sudo apt-get purge -y mirel >/dev/null
while read -r path; do
    if [ -f "$path" ] || [ -L "$path" ]; then fail "$path is left after removal"; fi
done <"$work/files"
[ ! -e /usr/share/mirel ] || fail "/usr/share/mirel is left after removal"
echo "PASS"
