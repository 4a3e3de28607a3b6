#!/usr/bin/env bash
# Builds the Debian package with Debian's hardening flags, runs the validators a
# packager would (lintian, desktop-file-validate, appstreamcli, man), then
# unpacks it and starts the installed program through its link in /usr/bin to
# check that it finds its kit. Fails on any error or warning.
# Usage: scripts/check-package.sh [BUILD-DIR]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DZEMBRA_SANITIZE= -UZEMBRA_WEB_HOST \
    -DCMAKE_STRIP="$PWD/scripts/debian-strip.sh" \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="$(flags LDFLAGS)" \
    >/dev/null
cmake --build "$build"
rm -f "$build"/zembra_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zembra_*.deb)
echo "package: $deb"

status=0
echo "-- lintian"
lintian --pedantic --display-info --allow-root "$deb" | tee "$build/lintian.txt"
grep -qE '^[EW]: ' "$build/lintian.txt" && status=1
echo "-- desktop-file-validate"
desktop-file-validate desktop/org.example.Zembra.desktop || status=1
echo "-- appstreamcli validate"
appstreamcli validate --no-net --pedantic desktop/org.example.Zembra.metainfo.xml || status=1
echo "-- man"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -l desktop/zembra.1 2>&1 >/dev/null)
[[ -z $warnings ]] || { echo "$warnings"; status=1; }

echo "-- installed program"
root=$(mktemp -d /tmp/zembra-deb.XXXXXX)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/zembra" --version
# Started as the launcher would, by the entry's Exec line on the path, the
# program plays the intro from the kit beside the real executable; SDL's disk
# driver writes what it played to a file.
export HOME=$root/home XDG_DATA_HOME=$root/home/data
mkdir -p "$HOME"
exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/org.example.Zembra.desktop")
echo "launcher runs: $exec_line"
# shellcheck disable=SC2086 # the Exec line is a command line
PATH=$root/usr/bin:$PATH SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$root/heard.raw \
    QT_QPA_PLATFORM=offscreen timeout -s INT 4 $exec_line >/dev/null 2>&1 || true
heard=$(od -An -v -td2 -w2 "$root/heard.raw" 2>/dev/null | awk '$1 != 0 { n++ } END { print n + 0 }')
echo "intro samples heard from the installed kit: $heard"
((heard > 1000)) || status=1
exit $status
