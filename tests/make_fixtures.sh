#!/bin/sh
# Makes the small media files the tests use, with the ffmpeg tool, into the
# directory given. Skips the work when the files of this script's version
# are already there.
set -eu
want=$(cksum < "$0")
mkdir -p "$1"
cd "$1"
if [ -f .stamp ] && [ "$(cat .stamp)" = "$want" ]; then
  exit 0
fi
rm -f ./*

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
video() { echo "-f lavfi -i testsrc2=size=$1:rate=${2:-25}"; }
tone() { echo "-f lavfi -i sine=frequency=${1:-440}:sample_rate=48000"; }
h264="-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 2 -g 25"
aac="-c:a aac -b:a 64k"

# H.264 with B-frames and AAC, 2 s, in every container the tests read.
ff $(video 160x120) $(tone) -t 2 $h264 $aac -ac 2 av.mp4
ff -i av.mp4 -c copy av.mkv
ff -i av.mp4 -c copy av.ts
ff -i av.mp4 -c copy av.mov
# The same format, other content and length (1.2 s), for joins of unequal files.
ff $(video 160x120) $(tone 660) -t 1.2 $h264 $aac -ac 2 av_short.mp4
ff -i av_short.mp4 -c copy av_short.mkv
# The same size and format from other encoder settings: other H.264
# parameter sets (no B-frames, CAVLC), and two HEVC presets.
ff $(video 160x120) $(tone 550) -t 1.2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 $aac -ac 2 uf.mp4
ff -i uf.mp4 -c copy uf.mkv
hevc="-pix_fmt yuv420p -g 25 -x265-params log-level=error"
ff $(video 160x120) -t 1 -c:v libx265 -preset fast $hevc hevc_fast.mp4
ff $(video 160x120) -t 0.8 -c:v libx265 -preset ultrafast $hevc hevc_ultra.mp4
ff -i hevc_ultra.mp4 -c copy hevc_ultra.mkv

# Audio a little longer than video inside one file.
ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=1.5 \
   -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.8 $h264 $aac -ac 2 av_longaudio.mp4

# 30 s of the same format: 32 of these keep a job busy for a while, for
# tests that cancel or free a running job.
ff $(video 160x120) $(tone) -t 30 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -bf 2 -g 25 \
   $aac -ac 2 long.mp4

# One difference each from av.mp4.
ff $(video 320x240) $(tone) -t 1 $h264 $aac -ac 2 big.mp4
ff $(video 160x120) $(tone) -t 1 -c:v mpeg4 $aac -ac 2 mpeg4.mp4
ff $(video 160x120) $(tone) -t 1 $h264 $aac -ac 1 mono.mp4
ff $(video 160x120) -t 1 $h264 video.mp4

# Audio only: raw AAC in MP4 and the same AAC in ADTS frames.
ff $(tone) -t 1 $aac audio.m4a
ff -i audio.m4a -c copy audio.aac
# Video at 50/3 frames per second; raw H.264 with no known duration.
ff $(video 160x120 50/3) -t 1 $h264 fps50_3.mp4
ff -i video.mp4 -c copy -bsf:v h264_mp4toannexb raw.h264

# Many streams: 10, 9 and 3 copies of one short PCM tone.
maps() { i=0; while [ $i -lt "$1" ]; do printf -- '-map 0:a '; i=$((i + 1)); done; }
ff $(tone) -t 0.5 $(maps 10) -c:a pcm_s16le s10.mka
ff $(tone) -t 0.5 $(maps 9) -c:a pcm_s16le s9.mka
ff $(tone) -t 0.5 $(maps 3) -c:a pcm_s16le s3.mka
# PCM in WAV.
ff $(tone) -t 0.5 -c:a pcm_s16le tone.wav
# One codec, two sample formats.
ff $(tone) -t 0.5 -c:a flac -sample_fmt s16 flac16.mka
ff $(tone) -t 0.5 -c:a flac -sample_fmt s32 flac32.mka

echo "$want" > .stamp
