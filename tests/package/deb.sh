#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages as a user takes them: installed with apt (which adds
# Debian's FFmpeg libraries if missing), a C host built against them with
# pkg-config and with CMake's find_package, the installed command run on two
# clips, and removed again, also when a step fails: the three packages
# purged, then what their install pulled in that nothing needs any more.
#   tests/package/deb.sh                 makes the packages (scripts/package deb) first
#   tests/package/deb.sh LIB.deb DEV.deb COMMAND.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "deb packages: $*" >&2; exit 1; }
case $# in
  0) made=$("$root/scripts/package" deb) || fail "scripts/package deb failed"
     mapfile -t given < <(grep '\.deb$' <<<"$made") ;;
  3) given=("$@") ;;
  *) echo "usage: $0 [LIB.deb DEV.deb COMMAND.deb]" >&2; exit 2 ;;
esac
[ ${#given[@]} -eq 3 ] || fail "scripts/package deb did not make three packages"
debs=()
for d in "${given[@]}"; do debs+=("$(readlink -f "$d")"); done
# What the test itself uses: the compiler and build tools for the hosts,
# Debian's FFmpeg headers (for its version), man, and ffmpeg for the clips.
"$root/scripts/install-missing" gcc cmake make pkg-config libavformat-dev man-db ffmpeg >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
apt() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"; }
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | sed -n 's/^ii *//p' | sort; }
autoremovable() { apt-get -s autoremove 2>/dev/null | sed -n 's/^Remv \([^ ]*\).*/\1/p' | sort; }
ours=(libvideomerge1 libvideomerge-dev videomerge)

# Another checkout's test run installs the same packages: one at a time.
exec 9>/tmp/videomerge-deb-test.lock
flock -w 900 9 || fail "another run of this test holds /tmp/videomerge-deb-test.lock"
for p in "${ours[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    fail "$p is installed already; this test installs and removes it, so it leaves a machine that has it alone"
  fi
done

work=$(mktemp -d)
installed >"$work/before"
# Our three packages, then those that their install brought in and that
# nothing needs now: installed during this run and removable as automatic.
# Not a plain autoremove: what was removable before the run (left by
# something else) stays, and so does whatever another apt run installed
# meanwhile, by hand or for a package that needs it.
cleanup() {
  local present=() pulled=() p
  for p in "${ours[@]}"; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.[^n]'; then present+=("$p"); fi
  done
  [ ${#present[@]} -eq 0 ] || apt purge "${present[@]}" >/dev/null || echo "deb packages: could not remove ${present[*]}" >&2
  installed >"$work/after"
  mapfile -t pulled < <(comm -12 <(comm -13 "$work/before" "$work/after") <(autoremovable))
  [ ${#pulled[@]} -eq 0 ] || apt purge "${pulled[@]}" >/dev/null ||
    echo "deb packages: could not remove ${pulled[*]}" >&2
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

apt install "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install failed"; }

# A host built against the installed files alone, both ways a build finds them.
# shellcheck disable=SC2046  # the flags are words
cc "$root/tests/consumer/main.c" -o "$work/host" $(pkg-config --cflags --libs videomerge)
"$work/host" >/dev/null || fail "the host built with pkg-config did not run"
cmake -S "$root/tests/consumer" -B "$work/cmake" >/dev/null && cmake --build "$work/cmake" >/dev/null ||
  fail "find_package(videomerge) did not build the host"
"$work/cmake/consumer" >/dev/null || fail "the host built with CMake did not run"
[ "$(pkg-config --modversion videomerge)" = "$(dpkg-query -W -f='${Version}' libvideomerge1 | cut -d- -f1)" ] ||
  fail "videomerge.pc and the package disagree on the version"

# The command runs on the FFmpeg of this Debian release (libavformat 59 on
# Debian 12).
version=$(/usr/bin/videomerge --version)
avformat=$(pkg-config --modversion libavformat)
case "$version" in "videomerge $(pkg-config --modversion videomerge) (libavformat ${avformat%%.*}."*) ;;
  *) fail "videomerge --version says: $version (not this system's libavformat $avformat?)" ;; esac
man -w videomerge >/dev/null || fail "no manual page for videomerge"
# The licence each package states, machine-readable: MIT, by Debian's name.
for p in "${ours[@]}"; do
  grep -qx 'License: Expat' "/usr/share/doc/$p/copyright" || fail "$p does not state its licence"
  grep -q 'Permission is hereby granted, free of charge' "/usr/share/doc/$p/copyright" ||
    fail "$p's copyright lacks the licence's text"
done

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -c:v libx264 -pix_fmt yuv420p "$work/a.mp4"
ff -f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v libx264 -pix_fmt yuv420p "$work/b.mp4"
/usr/bin/videomerge merge -o "$work/ab.mkv" "$work/a.mp4" "$work/b.mp4" >/dev/null 2>&1 ||
  fail "the installed command did not merge"
duration=$(/usr/bin/videomerge --json probe "$work/ab.mkv" | sed -n 's/.*"duration_ms":\([0-9]*\).*/\1/p')
[ "${duration:-0}" -ge 1900 ] || fail "the merged file lasts ${duration:-?} ms, not 2 s"

cleanup
trap - EXIT
for p in "${ours[@]}"; do
  if dpkg -s "$p" >/dev/null 2>&1; then fail "$p is still installed after the purge"; fi
done
echo "deb packages: $version installed with apt, built against, run and removed"
