#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The wheel as a Python user takes it: installed into a new venv with pip
# (no index), used from a folder that holds a decoy libvideomerge, with no
# variable pointing at the wheel's libraries, in a process that has loaded
# an FFmpeg of its own under FFmpeg's usual sonames: it merges two files,
# loads only the FFmpeg inside the wheel (its libraries carry names of their
# own; ldd, and the process's own map), still obeys VIDEOMERGE_LIBRARY, and
# runs the command as `python -m videomerge` and as `videomerge`.
#   tests/package/wheel.sh            makes the wheel (scripts/package wheel) first
#   tests/package/wheel.sh dist/videomerge-VERSION-py3-none-PLATFORM.whl
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "wheel: $*" >&2; exit 1; }
case $# in
  0) wheel=$("$root/scripts/package" wheel | tail -n 1) || fail "scripts/package wheel failed" ;;
  1) wheel=$1 ;;
  *) echo "usage: $0 [WHEEL]" >&2; exit 2 ;;
esac
wheel=$(readlink -f "$wheel")
[ -f "$wheel" ] || fail "no wheel at $wheel"
"$root/scripts/install-missing" python3-venv ffmpeg gcc binutils >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM HUP

/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q --no-index "$wheel"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
# The licence in the wheel's metadata, and its text beside it.
"$work/venv/bin/pip" show videomerge | grep -qx 'License: MIT' || fail "the wheel states no MIT licence"
ls "$site"/videomerge-*.dist-info/LICENSE >/dev/null 2>&1 || fail "the wheel holds no LICENSE"

own="$site/videomerge"
lib=$(ls "$own"/libvideomerge.so.*)
for f in "$lib" "$own/bin/videomerge"; do
  ldd "$f" | grep -q 'not found' && fail "$(basename "$f") in the wheel misses a library: $(ldd "$f")"
  ldd "$f" | grep -E 'libav(format|codec|util)|libvideomerge' | grep -v "$own/" &&
    fail "$(basename "$f") in the wheel loads a library from outside it"
done

# The wheel's FFmpeg under sonames of its own, and ours asking for those.
dynamic() { readelf -d "$1" | sed -n "s/.*($2).*\\[\\(.*\\)\\]\$/\\1/p"; }
bundled=("$own"/libav*.so.* "$own"/libsw*.so.*)
[ -e "${bundled[0]}" ] || fail "the wheel holds no FFmpeg library"
for f in "${bundled[@]}"; do
  [ -e "$f" ] || continue
  soname=$(dynamic "$f" SONAME)
  [ "$soname" = "$(basename "$f")" ] || fail "$(basename "$f") has the SONAME '$soname'"
  case "$soname" in lib*-vm.so.*) ;; *) fail "$soname in the wheel has FFmpeg's usual name, not one of its own" ;; esac
done
for f in "$lib" "$own/bin/videomerge"; do
  wrong=$(dynamic "$f" NEEDED | grep -E '^lib(av|sw)' | grep -v -- '-vm\.so\.' || true)
  [ -z "$wrong" ] || fail "$(basename "$f") in the wheel asks for $wrong"
done

# A host's own FFmpeg: stand-ins under the usual sonames of those the wheel
# holds (libavformat.so.63 for libavformat-vm.so.63, ...), with none of
# FFmpeg's functions. Loaded first, they are what the loader hands anyone
# who asks for those names.
mkdir "$work/host-ffmpeg"
echo 'int host_ffmpeg(void) { return 0; }' >"$work/host-ffmpeg/stand_in.c"
for f in "${bundled[@]}"; do
  [ -e "$f" ] || continue
  usual=$(basename "$f" | sed 's/-vm\.so\./.so./')
  cc -shared -fPIC -Wl,-soname,"$usual" -o "$work/host-ffmpeg/$usual" "$work/host-ffmpeg/stand_in.c"
done

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -f lavfi -i sine=sample_rate=48000:duration=1 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/a.mp4"
ff -f lavfi -i testsrc=size=160x120:rate=25:duration=1 -f lavfi -i sine=frequency=880:sample_rate=48000:duration=1 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/b.mp4"

# A folder whose libvideomerge is not ours, also on LD_LIBRARY_PATH.
mkdir "$work/cwd"
echo "not a library" >"$work/cwd/libvideomerge.so"
cp "$work/cwd/libvideomerge.so" "$work/cwd/libvideomerge.so.1"
cd "$work/cwd"
env -u VIDEOMERGE_LIBRARY LD_LIBRARY_PATH="$work/cwd" "$work/venv/bin/python" - "$work" "$own" <<'PY' ||
import ctypes, glob, os, sys
work, own = sys.argv[1], sys.argv[2] + os.sep
host_ffmpeg = os.path.join(work, "host-ffmpeg") + os.sep
for stand_in in sorted(glob.glob(host_ffmpeg + "lib*.so.*")):
    ctypes.CDLL(stand_in)
import videomerge
a, b, out = (os.path.join(work, n) for n in ("a.mp4", "b.mp4", "ab.mkv"))
with videomerge.merge([a, b], out) as job:
    result = job.wait(timeout=60)
assert result["files_merged"] == 2, result
assert videomerge.probe(out)["duration_ms"] >= 1900, videomerge.probe(out)
with open("/proc/self/maps") as maps:
    loaded = sorted({p for p in maps.read().split() if "libav" in p or "libvideomerge" in p or "libsw" in p})
ours = [p for p in loaded if not p.startswith(host_ffmpeg)]
assert any("libavformat" in p for p in ours) and all(p.startswith(own) for p in ours), loaded
assert any(p.startswith(host_ffmpeg) for p in loaded), loaded
# Type checkers read the hints of an installed package only with this marker.
assert os.path.isfile(os.path.join(os.path.dirname(videomerge.__file__), "py.typed"))
PY
  fail "the binding did not merge with its own libraries"
# The variable still overrides the wheel's own library.
VIDEOMERGE_LIBRARY="$work/cwd/libvideomerge.so" "$work/venv/bin/python" -c 'import videomerge' 2>"$work/err" &&
  fail "VIDEOMERGE_LIBRARY pointing at a decoy was not used"
grep -q "$work/cwd/libvideomerge.so" "$work/err" || fail "VIDEOMERGE_LIBRARY: $(tail -n 1 "$work/err")"

"$work/venv/bin/python" -m videomerge --version | grep -q '^videomerge .*(libavformat 63\.' ||
  fail "python -m videomerge --version: $("$work/venv/bin/python" -m videomerge --version 2>&1)"
"$work/venv/bin/python" -m videomerge merge -o "$work/ab2.mp4" "$work/a.mp4" "$work/b.mp4" >/dev/null 2>&1 ||
  fail "python -m videomerge merge"
[ -s "$work/ab2.mp4" ] || fail "python -m videomerge merge made nothing"
status=0
"$work/venv/bin/python" -m videomerge frobnicate 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "python -m videomerge with a bad command ended with $status, not 2"
"$work/venv/bin/videomerge" probe "$work/a.mp4" >/dev/null || fail "the wheel's videomerge script"
echo "wheel: $(basename "$wheel") installed with pip, merged with its own FFmpeg"
