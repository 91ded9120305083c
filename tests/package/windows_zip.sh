#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows SDK zip as a user takes it: unpacked into an empty folder, a C
# host built against it alone with MinGW (through its CMake package), run
# under Wine with only the zip's bin/ on its path to probe and merge two
# files. Every DLL and program in bin/ imports only Windows' own DLLs or its
# neighbours in bin/, and the MSVC import library names the exports.
#   tests/package/windows_zip.sh        makes the zip (scripts/package windows) first
#   tests/package/windows_zip.sh dist/videomerge-VERSION-win64.zip
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "windows zip: $*" >&2; exit 1; }
case $# in
  0) zip=$("$root/scripts/package" windows | tail -n 1) || fail "scripts/package windows failed" ;;
  1) zip=$1 ;;
  *) echo "usage: $0 [ZIP]" >&2; exit 2 ;;
esac
zip=$(readlink -f "$zip")
[ -f "$zip" ] || fail "no zip at $zip"
"$root/scripts/install-missing" unzip mingw-w64 cmake make ffmpeg wine wine64 >&2
llvm_nm=$("$root/scripts/windows/llvm-tool" llvm-nm)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/sdk"
(cd "$work/sdk" && unzip -q "$zip")
sdk=$(ls -d "$work"/sdk/videomerge-*-win64)
for f in bin/videomerge.dll bin/videomerge.exe lib/libvideomerge.dll.a lib/videomerge.lib include/videomerge.h \
         lib/cmake/videomerge/videomergeConfig.cmake share/doc/videomerge/FFmpeg-COPYING.LGPLv2.1 \
         share/doc/videomerge/FFmpeg-SOURCE.txt share/doc/videomerge/LICENSE; do
  [ -f "$sdk/$f" ] || fail "missing $f"
done

# What a bare Windows has; anything else must ship in bin/.
windows_dlls=" kernel32.dll msvcrt.dll user32.dll advapi32.dll bcrypt.dll ole32.dll oleaut32.dll "
windows_dlls+="shell32.dll shlwapi.dll ws2_32.dll secur32.dll gdi32.dll psapi.dll ntdll.dll "
for bin in "$sdk"/bin/*; do
  while read -r dep; do
    lower=$(echo "$dep" | tr 'A-Z' 'a-z')
    case "$windows_dlls" in *" $lower "*) continue ;; esac
    case "$lower" in api-ms-win-*) continue ;; esac
    [ -n "$(find "$sdk/bin" -maxdepth 1 -iname "$dep")" ] ||
      fail "$(basename "$bin") imports $dep, which is neither Windows' own nor in bin/"
  done < <(x86_64-w64-mingw32-objdump -p "$bin" | sed -n 's/^\s*DLL Name: //p')
done
case "$(ls "$sdk/bin")" in *avformat-vm-*.dll*) ;; *) fail "bin/ has no FFmpeg DLLs of our own name" ;; esac

for fn in probe check start status progress result cancel free version; do
  "$llvm_nm" "$sdk/lib/videomerge.lib" 2>/dev/null | grep -q " __imp_videomerge_$fn\$" ||
    fail "videomerge.lib does not import videomerge_$fn"
done

cmake -S "$root/tests/package/sdk_host" -B "$work/host" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$sdk" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/host" >/dev/null

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -f lavfi -i sine=sample_rate=48000:duration=1 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/a.mp4"
cp "$work/a.mp4" "$work/b.mp4"

export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$HOME/.wine-videomerge}"
wineboot -i >/dev/null 2>&1 || true
mkdir "$work/run"
cp "$work/host/sdk_host.exe" "$work/run/"
(cd "$work/run" && WINEPATH="Z:$sdk/bin" wine sdk_host.exe "Z:$work/ab.mkv" "Z:$work/a.mp4" "Z:$work/b.mp4") ||
  fail "the host did not probe and merge under Wine"
length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/ab.mkv")
awk -v l="$length" 'BEGIN { exit !(l > 1.9 && l < 2.2) }' || fail "the merged file lasts $length s, not 2"
echo "windows zip: $(basename "$zip") unpacked, host built and run, $(ls "$sdk/bin" | wc -l) files in bin/ checked"
