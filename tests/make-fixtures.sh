#!/usr/bin/env bash
# Generates the media fixtures of the tests with ffmpeg into the given folder. Each file is made only
# when it is missing, written under a temporary name first so an interrupted run leaves no half file.
#
# Frame-numbered clips carry the frame index twice: as text for people, and as a 16-bit code in a
# strip along the bottom edge (16 equal blocks, most significant bit left, white = 1) for tests.
set -eu
out=${1:?usage: make-fixtures.sh DIR}
mkdir -p "$out"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
ff=(ffmpeg -hide_banner -loglevel error -nostdin -y)

fixture() {  # fixture NAME COMMAND... ; the command writes to the argument @TMP@
  local name=$1; shift
  [ -s "$out/$name" ] && return 0
  local tmp="$out/.tmp.$name" args=()
  for a in "$@"; do args+=("${a//@TMP@/$tmp}"); done
  "${args[@]}"
  mv -f "$tmp" "$out/$name"
  echo "fixture: $name"
}

# numbered_graph W H FPS SECONDS -> video filter graph with the frame number as text and as the code strip
numbered_graph() {
  local w=$1 h=$2 fps=$3 secs=$4
  local sh=$(( h / 20 )) fs=$(( h / 8 ))
  local bits="255*mod(floor(N/pow(2,15-floor(X*16/W))),2)"
  echo "testsrc2=s=${w}x${h}:r=${fps}:d=${secs},drawtext=fontfile=${font}:text='%{frame_num}':x=(w-tw)/2:y=(h-th)/2:fontsize=${fs}:fontcolor=white:box=1:boxcolor=black[v0];color=c=black:s=${w}x${sh}:r=${fps}:d=${secs},format=gray,geq=lum='${bits}'[strip];[v0][strip]overlay=0:H-h:format=auto,format=yuv420p[v]"
}

fmt() { case "$1" in *.mkv) echo matroska ;; *.mp4) echo mp4 ;; *.mov) echo mov ;; *) echo "${1##*.}" ;; esac; }

numbered_clip() {  # numbered_clip NAME W H FPS SECONDS
  local name=$1 w=$2 h=$3 fps=$4 secs=$5
  fixture "$name" "${ff[@]}" -filter_complex "$(numbered_graph "$w" "$h" "$fps" "$secs")" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=${secs}" \
    -map '[v]' -map 0:a -c:v libx264 -preset veryfast -g 25 -keyint_min 25 -sc_threshold 0 \
    -pix_fmt yuv420p -c:a aac -b:a 128k -ac 2 -f "$(fmt "$name")" @TMP@
}

numbered_clip clip_360p25.mp4 640 360 25 10
numbered_clip clip_360p25.mkv 640 360 25 10
numbered_clip clip_1080p25.mp4 1920 1080 25 10
numbered_clip clip_2160p25.mp4 3840 2160 25 2
numbered_clip short_a.mp4 640 360 25 2
numbered_clip short_b.mp4 640 360 25 2
numbered_clip short_c.mp4 640 360 25 2

card() {  # card NAME COLOUR TONE_HZ SECONDS
  fixture "$1" "${ff[@]}" -f lavfi -i "color=c=$2:s=640x360:r=25:d=$4" \
    -f lavfi -i "sine=frequency=$3:sample_rate=48000:duration=$4" \
    -map 0:v -map 1:a -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p \
    -c:a aac -b:a 128k -ac 2 -f mp4 @TMP@
}
card card_red.mp4 red 500 5
card card_green.mp4 green 1000 5
card card_blue.mp4 blue 2000 5
card card_white.mp4 white 3000 5

# The same numbered picture, stored landscape with a display rotation of 90 degrees.
fixture rotated_90.mp4 "${ff[@]}" -i "$out/clip_360p25.mp4" -t 3 -c copy -metadata:s:v:0 rotate=90 -f mp4 @TMP@

fixture hevc_pq_10bit.mp4 "${ff[@]}" -f lavfi -i "testsrc2=s=640x360:r=25:d=2" \
  -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p10le \
  -color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -tag:v hvc1 -f mp4 @TMP@

fixture tone_48k_stereo_f32.wav "${ff[@]}" -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=5" \
  -ac 2 -c:a pcm_f32le -f wav @TMP@
fixture tone_44k1_mono_s16.wav "${ff[@]}" -f lavfi -i "sine=frequency=1000:sample_rate=44100:duration=5" \
  -ac 1 -c:a pcm_s16le -f wav @TMP@

# A file cut short in the middle of its data (its index at the end is gone) and one of random bytes.
fixture truncated.mp4 sh -c "head -c 150000 '$out/clip_360p25.mp4' > '@TMP@'"
fixture corrupt.mp4 sh -c "head -c 65536 /dev/urandom > '@TMP@'"
fixture not_media.mp4 sh -c "printf 'This is a text file, not a media file.\n' > '@TMP@'"
# Names under which the built-in test runners look for the numbered clips.
for alias in 01-h264.mp4:clip_360p25.mp4 03-h264.mkv:clip_360p25.mkv; do
  [ -s "$out/${alias%%:*}" ] || cp "$out/${alias#*:}" "$out/${alias%%:*}"
done
# The smoke run decodes every clip of its folder, so it gets one of its own with media that must play.
mkdir -p "$out/smoke"
for f in clip_360p25.mp4 clip_360p25.mkv card_red.mp4 rotated_90.mp4 hevc_pq_10bit.mp4; do
  [ -e "$out/smoke/$f" ] || ln "$out/$f" "$out/smoke/$f" 2>/dev/null || cp "$out/$f" "$out/smoke/$f"
done
# A 1 kHz tone longer than ten seconds, to listen to a Program through a sound device without a loop.
fixture tone_1k_48k_stereo_f32_12s.wav "${ff[@]}" -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=12" \
  -ac 2 -c:a pcm_f32le -f wav @TMP@
# The display-output runners look for one H.264 clip of each size (any length: their decks loop).
for alias in h264-3840x2160.mp4:clip_2160p25.mp4 h264-1920x1080.mp4:clip_1080p25.mp4; do
  [ -s "$out/${alias%%:*}" ] || ln "$out/${alias#*:}" "$out/${alias%%:*}" 2>/dev/null || cp "$out/${alias#*:}" "$out/${alias%%:*}"
done
# A bare H.264 elementary stream: no container, so no duration and no seeking.
fixture raw_360p25.h264 "${ff[@]}" -i "$out/clip_360p25.mp4" -t 3 -an -c:v copy -bsf:v h264_mp4toannexb -f h264 @TMP@
# Numbered 640x360 25 fps clips with a tone in the containers and GOP structures that seeking must
# land exactly in: MPEG-2 and H.264 in MPEG-TS, MPEG-2 in MPEG-PS (open GOPs, no index), open-GOP
# HEVC (x265's defaults) and H.264, and intra-refresh H.264 (no IDR after the first frame).
numbered_encode() {  # numbered_encode NAME SECONDS FORMAT CODEC_ARGS...
  local name=$1 secs=$2 format=$3; shift 3
  fixture "$name" "${ff[@]}" -filter_complex "$(numbered_graph 640 360 25 "$secs")" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=${secs}" \
    -map '[v]' -map 0:a "$@" -ac 2 -f "$format" @TMP@
}
numbered_encode mpeg2_360p25.ts 8 mpegts -c:v mpeg2video -q:v 2 -g 12 -bf 2 -c:a mp2 -b:a 192k
numbered_encode h264_360p25.ts 8 mpegts -c:v libx264 -preset veryfast -g 50 -keyint_min 50 -sc_threshold 0 \
  -pix_fmt yuv420p -c:a aac -b:a 128k
numbered_encode mpeg2_360p25.mpg 8 mpeg -c:v mpeg2video -q:v 2 -g 15 -bf 2 -c:a mp2 -b:a 192k
numbered_encode hevc_opengop_360p25.mp4 8 mp4 -c:v libx265 -preset medium \
  -x265-params log-level=error:keyint=50:min-keyint=50:scenecut=0 -pix_fmt yuv420p -tag:v hvc1 -c:a aac
numbered_encode h264_opengop_360p25.mp4 8 mp4 -c:v libx264 -preset veryfast -g 50 -keyint_min 50 -sc_threshold 0 \
  -bf 3 -x264-params open-gop=1 -pix_fmt yuv420p -c:a aac
numbered_encode h264_intrarefresh_360p25.mp4 8 mp4 -c:v libx264 -preset veryfast \
  -x264-params intra-refresh=1:keyint=50 -pix_fmt yuv420p -c:a aac
# The H.264 transport stream again, starting at 95442 s: a large start time, and the 33-bit
# timestamps wrap 1.7 s in.
fixture h264_wrap_360p25.ts "${ff[@]}" -i "$out/h264_360p25.ts" -c copy -output_ts_offset 95442 -f mpegts @TMP@
# Media that must be refused quickly: an MP4 whose index (moved to the front) promises 10 s but whose
# data stops after about half of it; an AVI whose video codec nobody knows (its tag renamed) beside
# decodable sound; a clip whose picture stops after 2 s while its sound goes on to 5 s. And sound with
# cover art, which is no video to play.
fixture faststart_cut.mp4 sh -c "${ff[*]} -i '$out/clip_360p25.mp4' -c copy -movflags +faststart -f mp4 '@TMP@.full' \
  && head -c \$(( \$(stat -c %s '@TMP@.full') / 2 )) '@TMP@.full' > '@TMP@' && rm -f '@TMP@.full'"
fixture unknown_video.avi sh -c "${ff[*]} -i '$out/clip_360p25.mp4' -t 2 -c:v mpeg4 -q:v 5 -c:a pcm_s16le -f avi '@TMP@.avi' \
  && LC_ALL=C sed 's/FMP4/ZLVO/g' '@TMP@.avi' > '@TMP@' && rm -f '@TMP@.avi'"
fixture video_ends_early.mp4 "${ff[@]}" -filter_complex "$(numbered_graph 640 360 25 2)" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=5" -map '[v]' -map 0:a -c:v libx264 \
  -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -f mp4 @TMP@
# Sound from 0 s, pictures only from 0.5 s.
fixture video_starts_late.mp4 "${ff[@]}" -filter_complex "$(numbered_graph 640 360 25 3);[v]setpts=PTS+0.5/TB[late]" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" -map '[late]' -map 0:a -fps_mode passthrough \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -f mp4 @TMP@
fixture tone_cover_art.m4a "${ff[@]}" -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=3" \
  -f lavfi -i "color=c=orange:s=320x320:d=1" -map 0:a -map 1:v -frames:v 1 -c:a aac -ac 2 -c:v mjpeg \
  -disposition:v:0 attached_pic -f mp4 @TMP@
# The readiness runner reads its two clips from a "fixtures" folder below the folder it is given.
mkdir -p "$out/readiness/fixtures"
for alias in 01-h264.mp4 03-h264.mkv; do
  [ -e "$out/readiness/fixtures/$alias" ] || ln "$out/$alias" "$out/readiness/fixtures/$alias" 2>/dev/null \
    || cp "$out/$alias" "$out/readiness/fixtures/$alias"
done
exit 0
