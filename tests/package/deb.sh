#!/usr/bin/env bash
# The Debian packages as a user takes them: installed with dpkg, a C host
# built against them with pkg-config alone, the installed command run,
# and the packages removed again (also when a step fails).
#   tests/package/deb.sh dist/libvideomerge1_*.deb dist/libvideomerge-dev_*.deb dist/videomerge_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -eq 3 ] || { echo "usage: $0 LIB.deb DEV.deb COMMAND.deb" >&2; exit 2; }
debs=()
for d in "$@"; do debs+=("$(readlink -f "$d")"); done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
fail() { echo "deb packages: $*" >&2; exit 1; }
for p in libvideomerge1 libvideomerge-dev videomerge; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    fail "$p is installed already; this test installs and removes it, so it leaves a machine that has it alone"
  fi
done
work=$(mktemp -d)
cleanup() {
  $sudo dpkg --purge videomerge libvideomerge-dev libvideomerge1 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

$sudo dpkg -i "${debs[@]}" >/dev/null

# A host built against the installed files alone.
cc "$root/tests/consumer/main.c" -o "$work/host" $(pkg-config --cflags --libs videomerge)
"$work/host" || fail "the host built with pkg-config did not run"
[ "$(pkg-config --modversion videomerge)" = "$(dpkg-query -W -f='${Version}' libvideomerge1 | cut -d- -f1)" ] ||
  fail "videomerge.pc and the package disagree on the version"

version=$(/usr/bin/videomerge --version)
echo "installed: $version"
case "$version" in "videomerge $(pkg-config --modversion videomerge) "*) ;; *) fail "videomerge --version says: $version" ;; esac
man -w videomerge >/dev/null || fail "no manual page for videomerge"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -c:v libx264 -pix_fmt yuv420p "$work/a.mp4"
/usr/bin/videomerge merge -o "$work/ab.mkv" "$work/a.mp4" "$work/a.mp4" >/dev/null 2>&1 ||
  fail "the installed command did not merge"
[ -s "$work/ab.mkv" ] || fail "no output from the installed command"

cleanup
trap - EXIT
if dpkg -s libvideomerge1 >/dev/null 2>&1; then fail "libvideomerge1 is still installed after the purge"; fi
echo "deb packages: installed, built against, run and removed"
