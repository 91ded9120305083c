#!/usr/bin/env bash
# The wheel as a Python user takes it: installed into a new venv with pip
# (no index), used from a folder that holds a decoy libvideomerge, with no
# environment variable pointing anywhere: it merges two files, loads the
# FFmpeg inside the wheel (ldd, and the process's own map), and runs the
# command as `python -m videomerge` and as `videomerge`.
#   tests/package/wheel.sh dist/videomerge-VERSION-py3-none-PLATFORM.whl
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
wheel=$(readlink -f "$1")
"$root/scripts/install-missing" python3-venv >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "wheel: $*" >&2; exit 1; }

/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q --no-index "$wheel"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
ldd "$site/videomerge/libvideomerge.so.1" | grep -E 'libav(format|codec|util)' | grep -v "$site/videomerge/" &&
  fail "libvideomerge in the wheel loads an FFmpeg from outside it"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -f lavfi -i sine=sample_rate=48000:duration=1 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/a.mp4"

mkdir "$work/cwd"
echo "not a library" >"$work/cwd/libvideomerge.so"
cp "$work/cwd/libvideomerge.so" "$work/cwd/libvideomerge.so.1"
cd "$work/cwd"
env -u VIDEOMERGE_LIBRARY LD_LIBRARY_PATH="$work/cwd" "$work/venv/bin/python" - "$work" "$site" <<'PY' ||
import os, sys
import videomerge
work, site = sys.argv[1], sys.argv[2]
a = os.path.join(work, "a.mp4")
with videomerge.merge([a, a], os.path.join(work, "aa.mkv")) as job:
    result = job.wait(timeout=60)
assert result["files_merged"] == 2, result
assert videomerge.probe(os.path.join(work, "aa.mkv"))["duration_ms"] >= 1900
maps = open("/proc/self/maps").read().split()
loaded = sorted({p for p in maps if "libav" in p or "libvideomerge" in p})
own = os.path.join(site, "videomerge") + os.sep
assert loaded and all(p.startswith(own) for p in loaded), loaded
print("merged with", videomerge.version(), "from", own)
PY
  fail "the binding did not merge with its own libraries"
"$work/venv/bin/python" -m videomerge --version | grep -q '^videomerge ' || fail "python -m videomerge --version"
"$work/venv/bin/videomerge" probe "$work/a.mp4" >/dev/null || fail "the videomerge script of the wheel"
echo "wheel: $(basename "$wheel") installed with pip, merged, its own FFmpeg loaded"
