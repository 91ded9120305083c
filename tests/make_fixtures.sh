#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the small media files the tests use, with the ffmpeg tool, into the
# directory given. Skips the work when the files of this script's version
# are already there.
set -eu
want=$(cksum < "$0")
data=$(cd "$(dirname "$0")/data" && pwd)
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
# A broadcast names its service in the SDT, which a capture may carry only
# after the PAT and PMT (the ffmpeg tool writes it first): its first SDT
# packet moved behind the PMT.
ff -i av.mp4 -c copy -metadata service_name=Arte -metadata service_provider=Multi4 named_sdt_first.ts
{ tail -c +189 named_sdt_first.ts | head -c 376; head -c 188 named_sdt_first.ts; tail -c +565 named_sdt_first.ts; } > named.ts
ff -i av.mp4 -c copy av.mov
# A format FFmpeg knows but the library does not take.
ff -i av.mp4 -c copy av.nut
# The same format, other content and length (1.2 s), for joins of unequal files.
ff $(video 160x120) $(tone 660) -t 1.2 $h264 $aac -ac 2 av_short.mp4
# The streams of av.mp4 the other way round, and its audio at 44.1 kHz.
ff -i av.mp4 -map 0:a -map 0:v -c copy audio_first.mp4
ff $(video 160x120) $(tone) -t 1 $h264 $aac -ac 2 -ar 44100 av_44k.mp4
# A fifth of a second, for lists of a thousand inputs.
ff $(video 64x64) $(tone) -t 0.2 $h264 $aac -ac 1 tiny.mp4
ff -i av_short.mp4 -c copy av_short.mkv
# The same size and format from other encoder settings: other H.264
# parameter sets (no B-frames, CAVLC), and two HEVC presets.
ff $(video 160x120) $(tone 550) -t 1.2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 $aac -ac 2 uf.mp4
ff -i uf.mp4 -c copy uf.mkv
hevc="-pix_fmt yuv420p -g 25 -x265-params log-level=error"
ff $(video 160x120) -t 1 -c:v libx265 -preset fast $hevc hevc_fast.mp4
ff $(video 160x120) -t 0.8 -c:v libx265 -preset ultrafast $hevc hevc_ultra.mp4
ff -i hevc_ultra.mp4 -c copy hevc_ultra.mkv
# HEVC as phones store it (hvc1), and interlaced H.264 whose clips differ
# only in which field comes first.
ff $(video 160x120) -t 1 -c:v libx265 -preset fast $hevc -tag:v hvc1 hevc_a.mp4
ff $(video 160x120) -t 1 $h264 -flags +ildct+ilme -x264-params tff=1 tff.mp4
ff -f lavfi -i mandelbrot=size=160x120:rate=25 -t 1 $h264 -flags +ildct+ilme -x264-params bff=1 bff.mp4
# Video that an edit list starts 10 s after the audio.
ff $(tone) -itsoffset 10 -i av_short.mp4 -map 1:v -map 0:a -t 11 -c:v copy $aac late_video.mp4
# Colours stated twice, and not alike: the MP4 header says limited range,
# the H.264 parameter sets full range.
ff $(video 160x120) -t 1 $h264 -color_range tv -colorspace bt709 -color_primaries bt709 -color_trc bt709 colours_tv.mp4
ff -i colours_tv.mp4 -c copy -bsf:v h264_metadata=video_full_range_flag=1 colours_twice.mp4

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
ff $(tone) -t 0.1 $(maps 65) -c:a pcm_s16le s65.mka
# PCM in WAV.
ff $(tone) -t 0.5 -c:a pcm_s16le tone.wav
# What cameras write: DV (a camcorder's; 720x576, 48 kHz stereo) and MXF
# (a broadcast camera's MPEG-2 4:2:2 with PCM).
ff $(video 720x576) $(tone) -t 0.2 -c:v dvvideo -pix_fmt yuv420p -c:a pcm_s16le -ac 2 -f dv camera.dv
ff $(video 720x576) $(tone) -t 0.2 -c:v mpeg2video -pix_fmt yuv422p -c:a pcm_s16le camera.mxf
# Audio or video that some containers take and others not: VP8 (WebM) and
# a camera's PCM audio in AVI.
ff $(video 64x48) $(tone) -t 0.5 -c:v libvpx -b:v 100k -c:a libvorbis vp8.webm
ff $(video 64x48) $(tone) -t 0.5 -c:v mpeg4 -c:a pcm_s16le pcm.avi
# One codec, two sample formats.
ff $(tone) -t 0.5 -c:a flac -sample_fmt s16 flac16.mka
ff $(tone) -t 0.5 -c:a flac -sample_fmt s32 flac32.mka

# What a merge carries over: one video and two audio tracks with languages,
# a title, default and commentary flags, file tags and two chapters (the
# second running past the file's end); the same tracks with the languages
# swapped, and with other languages; a video turned by 90 degrees.
ff $(video 160x120) $(tone) $(tone 660) -map 0:v -map 1:a -map 2:a -t 2 $h264 $aac -ac 2 two_audio.mp4
cat > tags.ffmeta <<'EOF'
;FFMETADATA1
title=Holiday
artist=Someone
comment=First day
[CHAPTER]
TIMEBASE=1/1000
START=0
END=800
title=Arrival
[CHAPTER]
TIMEBASE=1/1000
START=800
END=5000
title=Beach
EOF
langs() { echo "-metadata:s:a:0 language=$1 -metadata:s:a:1 language=$2 -metadata:s:a:1 title=Commentary
  -disposition:a:0 default -disposition:a:1 comment"; }
# mkvmerge's track statistics too, which hold for this file only.
stats="-metadata:s:v BPS-eng=8000 -metadata:s:v NUMBER_OF_FRAMES-eng=50"
ff -i two_audio.mp4 -i tags.ffmeta -map 0 -map_metadata 1 -map_chapters 1 -c copy $(langs eng fra) $stats \
   -metadata:s:v "_STATISTICS_TAGS-eng=BPS NUMBER_OF_FRAMES" tagged.mkv
ff -i two_audio.mp4 -map 0 -c copy $(langs fra eng) swapped.mkv
ff -i two_audio.mp4 -map 0 -c copy $(langs deu fra) otherlang.mkv
ff $(tone) -i tags.ffmeta -map 0 -map_metadata 1 -map_chapters 1 -t 2 -c:a libmp3lame tagged.mp3
# Ogg stores a chapter's start only: its end is the next one's start.
ff $(tone) -i tags.ffmeta -map 0 -map_metadata 1 -map_chapters 1 -t 2 -ac 2 -c:a libopus chapters.opus
# Merge options: an input with a title tag, one with the time it was
# recorded, and a camera's timecode (a tmcd track) in MP4 and MOV.
ff -i av_short.mp4 -c copy -metadata title="Part Two" titled.mp4
ff -i av_short.mp4 -c copy -metadata creation_time=2021-05-01T10:20:30.000000Z dated.mp4
ff -i av.mp4 -c copy -timecode 01:02:03:04 timecode.mp4
ff -i av.mp4 -c copy -timecode 01:02:03:04 timecode.mov
# The ffmpeg tool of FFmpeg 5.1 turns this tag into the track's display matrix.
ff -i av.mp4 -c copy -metadata:s:v rotate=90 rot90.mp4

# One recording cut into two MPEG-TS segments that keep its clock, and
# their cat; and two recordings joined with cat, whose timestamps restart.
ff -i av.ts -c copy -f segment -segment_time 0.6 seg%d.ts
cat seg0.ts seg1.ts > segcat.ts
# Segments of a 24 fps broadcast with Opus audio.
ff $(video 160x120 24) $(tone) -t 2 $h264 -c:a libopus -ac 2 -f segment -segment_time 1 \
   -segment_format mpegts opus_seg%d.ts
cat opus_seg0.ts opus_seg1.ts > opus_segcat.ts
ff -i av_short.mp4 -c copy av_short.ts
cat av.ts av_short.ts > restart.ts
# One recording cut into two files inside an audio PES, as DVB recorders and
# HLS segmenters cut at any byte: AC-3 in PES of seven frames, cut after the
# fifth transport packet of one, there and 100 bytes into that packet.
ff $(video 160x120) $(tone) -t 2 -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 2 -g 10 \
   -c:a ac3 -b:a 192k -pes_payload_size 6000 pes_whole.ts
at=$(python3 -c '
import sys
d = open(sys.argv[1], "rb").read()
n = len(d) // 188
pid = lambda i: (d[i * 188 + 1] & 0x1F) << 8 | d[i * 188 + 2]
starts = lambda i: d[i * 188 + 1] & 0x40
for i in range(n // 2, n):
    if pid(i) == 0x101 and starts(i):
        rest = [k for k in range(i + 1, n) if pid(k) == 0x101][:10]
        if len(rest) == 10 and not any(starts(k) for k in rest):
            print(rest[4] * 188)
            break
' pes_whole.ts)
cut_at() {  # name byte
  head -c "$2" pes_whole.ts > "$1_0.ts"
  tail -c +"$(($2 + 1))" pes_whole.ts > "$1_1.ts"
}
cut_at pes_at "$at"
cut_at pes_inside $((at + 100))
# MP4 cut between keyframes: its edit list hides the frames from the
# keyframe before the cut.
ff -ss 0.5 -i av.mp4 -c copy preroll.mp4
# MP3 with an encoder delay (skip samples), and FLAC, whose frames are numbered.
ff $(tone) -t 1 -c:a libmp3lame -b:a 64k delay.mp3
# The same without its LAME tag: no encoder delay stated.
ff -i delay.mp3 -c copy -write_xing 0 untagged_delay.mp3
ff $(tone) -t 1 -c:a flac numbered.flac

# Decoder setups: one codec, two setups each, and the same setup with other
# content (other sample counts, MD5, comments).
ff $(tone) -t 1 -c:a libvorbis -q:a 1 vorbis_q1.webm
ff $(tone 660) -t 0.6 -c:a libvorbis -q:a 1 vorbis_q1_other.webm
ff $(tone) -t 1 -c:a libvorbis -q:a 8 vorbis_q8.webm
ff $(tone) -t 1 -c:a aac -profile:a aac_main -b:a 64k aac_main.m4a
ff -i aac_main.m4a -c copy aac_main.aac
ff -i av.mp4 $(tone) -map 0:v -map 1:a -t 2 -c:v copy -c:a aac -profile:a aac_main -ac 2 av_aac_main.mp4
ff $(tone 660) -t 0.3 -c:a flac -sample_fmt s16 flac16_other.mka
ff $(tone) -t 1 -ac 2 -c:a libopus opus.webm
ff $(tone 660) -t 0.4 -ac 2 -c:a libopus -b:a 24k opus_other.webm
ff $(tone) -t 1 -ac 2 -c:a libopus -mapping_family 1 opus_family1.webm
ff $(video 160x120) -t 1 -c:v mpeg4 mpeg4.mkv
ff $(video 160x120) -t 1 -c:v mpeg4 -flags +qpel mpeg4_qpel.mkv
ass() {  # file, style font size, title, dialogue text
  printf '[Script Info]\nTitle: %s\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n' "$3" > "$1"
  printf '[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, Bold, Italic, Alignment\n' >> "$1"
  printf 'Style: Default,Arial,%s,&H00FFFFFF,0,0,2\n\n' "$2" >> "$1"
  printf '[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n' >> "$1"
  printf 'Dialogue: 0,0:00:00.00,0:00:00.80,Default,,0,0,0,,%s\n' "$4" >> "$1"
}
ass subs_a.ass 20 "one" "Hello"
ass subs_a_retitled.ass 20 "two" "Other words"
ass subs_big.ass 48 "one" "Hello"
for s in subs_a subs_a_retitled subs_big; do ff -i $s.ass -c copy $s.mkv; rm -f $s.ass; done

# Streams some containers cannot store: a cover picture (an attached
# picture), and mov_text subtitles, which Matroska lacks.
ff $(video 64x48) -frames:v 1 cover.png
ff -i av.mp4 -i cover.png -map 0 -map 1 -c copy -disposition:v:1 attached_pic cover.mp4
rm -f cover.png
printf '1\n00:00:00,000 --> 00:00:01,000\nHello\n' > subs.srt
ff -i av.mp4 -i subs.srt -map 0 -map 1 -c copy -c:s mov_text movtext.mp4
rm -f subs.srt
# Matroska attachments: a font, and a file of a type FFmpeg has no codec for.
printf 'not really a font\n' > font.ttf
printf 'notes\n' > notes.txt
ff -i av.mkv -attach font.ttf -attach notes.txt -metadata:s:t:0 mimetype=application/x-truetype-font \
   -metadata:s:t:1 mimetype=text/plain -c copy attachments.mkv
rm -f font.ttf notes.txt
# 20 MB of fonts before the first cluster, as mkvmerge lays them out: more
# than a file that is not media may make the reading of its start take.
head -c 20000000 /dev/zero > fonts.ttf
ff -i av_short.mkv -attach fonts.ttf -metadata:s:t:0 mimetype=application/x-truetype-font -c copy big_fonts.mkv
rm -f fonts.ttf
# Sixty-three subtitle tracks with 230 kB headers each (styles, comments):
# 14 MB of codec setup that an analysis keeps.
python3 -c '
import sys
head = "[Script Info]\nScriptType: v4.00+\n" + "".join("; note %06d %s\n" % (i, "x" * 150) for i in range(1400))
head += "\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize\nStyle: Default,Arial,16\n\n"
head += "[Events]\nFormat: Layer, Start, End, Style, Text\nDialogue: 0,0:00:00.00,0:00:00.50,Default,hi\n"
open(sys.argv[1], "w").write(head)' big.ass
ff $(video 64x64) $(for i in $(seq 63); do printf -- "-i big.ass "; done) -map 0 \
   $(for i in $(seq 63); do printf -- "-map %d " "$i"; done) -t 0.5 $h264 -c:s copy big_headers.mkv
rm -f big.ass
# 12 000 chapters and 1 500 tags in half a second: more than an output
# carries.
python3 -c '
import sys
with open(sys.argv[1], "w") as f:
    f.write(";FFMETADATA1\n")
    f.write("".join("tag%d=value %d\n" % (i, i) for i in range(1500)))
    f.write("".join("[CHAPTER]\nTIMEBASE=1/1000000\nSTART=%d\nEND=%d\ntitle=c%d\n" % (i * 40, i * 40 + 40, i)
                    for i in range(12000)))' many.ffmeta
ff $(video 64x64) -i many.ffmeta -map 0 -map_metadata 1 -map_chapters 1 -t 0.5 $h264 many_chapters.mkv
rm -f many.ffmeta
# Audio of a codec FFmpeg does not know (its Matroska codec ID renamed).
ff -i av_short.mkv -c copy unknown_audio_src.mkv
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d.replace(b"A_AAC", b"A_QQQ", 1))' \
  unknown_audio_src.mkv unknown_audio.mkv
rm -f unknown_audio_src.mkv
# Half a second of a GoPro HERO5 recording (tests/data): H.264, AAC, GPMF
# telemetry (gpmd) and a timecode track.
cp "$data/gopro_karma_cut.mp4" .
# A GarageBand podcast (tests/data): AAC, chapter text tracks and a JPEG
# chapter-image track flagged default, attached picture and timed thumbnails.
cp "$data/garageband_podcast_chapters.m4a" .
# The start of a DVB-T2 capture (tests/data): its first E-AC-3 packet is a
# frame followed by a piece of the next one.
cp "$data/dvbt2_cut.ts" .
cp "$data/eac3_hls_seg0_cut.ts" "$data/eac3_hls_seg1_cut.ts" .
# An iPhone recording (tests/data) whose negative composition offsets come
# out of FFmpeg's MOV reader as two frames shown before they are decoded.
cp "$data/iphone14pro_dolbyvision.mov" .
# A Matroska file (tests/data) whose B-frame video's first packets have no
# decode time and, its track declaring 1 ms a frame, no duration.
cp "$data/mkv_ass_subtitles.mkv" .

# Flash and click: 31 frames of 30 fps H.264 (1.033 s), the first one
# white, and AAC whose first 2 ms are a click: where the click is heard
# against the flash tells where audio and video sit after each join.
ff -f lavfi -i "aevalsrc='if(lt(t\,0.002)\,0.8*sin(2*PI*1000*t)\,0)':s=48000:d=2" \
   -af atrim=end_sample=49600 -c:a pcm_s16le click.wav
ff -f lavfi -i "nullsrc=s=64x48:r=30,format=gray,geq=lum='if(eq(N\,0)\,255\,0)',format=yuv420p" \
   -frames:v 31 -c:v libx264 -preset veryfast -g 30 flash.mp4
ff -i flash.mp4 -i click.wav -c:v copy $aac flash_click.mp4
rm -f click.wav flash.mp4
# A 6 s chirp at 48 kHz cut at sample 144037, each half encoded alone in
# each codec: joined, the second half must be heard where it was.
ff -f lavfi -i "aevalsrc='0.5*sin(2*PI*(200*t+400*t*t))':s=48000:d=6" -c:a pcm_s16le chirp.wav
ff -i chirp.wav -af atrim=end_sample=144037 chirp_1.wav
ff -i chirp.wav -af atrim=start_sample=144037,asetpts=N/SR/TB chirp_2.wav
for half in 1 2; do
  ff -i chirp_$half.wav $aac chirp_$half.m4a
  ff -i chirp_$half.wav -c:a libopus -b:a 96k chirp_$half.opus
  ff -i chirp_$half.wav -c:a libmp3lame -b:a 128k chirp_$half.mp3
  ff -i chirp_$half.wav -c:a libvorbis chirp_$half.ogg
  ff -i chirp_$half.wav -c:a ac3 chirp_$half.ac3
  ff -i chirp_$half.wav -c:a flac chirp_$half.flac
done
rm -f chirp.wav

echo "$want" > .stamp
