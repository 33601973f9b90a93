#!/usr/bin/env bash
# Indexing throughput of Ostrel, side by side with a plain sequential read,
# ffmpeg's demuxer (`-map 0:v -c copy -f null -`) and ffmsindex (Debian's
# `ffmsindex` package, a CPU indexer of another design used only as a
# black-box speed reference), for every codec and form:
#
#   content       video                                       audio
#   h264-720p     720p25 x264 ultrafast 25 Mb/s               mp2
#   h264-bc       1080i25 x264, MBAFF, 4 slices, 10 Mb/s      mp2 256k
#   h264-disc     1080p23.976 x264, 35 Mb/s                   ac3 640k
#   hevc-bc       1080p25 x265, 8 Mb/s                        mp2 256k
#   hevc-disc     1080p23.976 x265, 40 Mb/s                   ac3 640k
#   mpeg2-bc      1080i25 MPEG-2, 15 Mb/s                     mp2 256k
#   mpeg2-disc    1080p23.976 MPEG-2, 35 Mb/s                 ac3 640k
#   vc1           the shared 1080p VC-1 sample repeated       ac3 640k
#
# and at the bitrates of DVD and broadcast files (small frames, close
# together):
#
#   mpeg2-sd      576p25 MPEG-2, 8 Mb/s (9 max), 2 B, GOP 15  mp2
#   h264-720p-3m  720p25 x264 veryfast, 3 Mb/s               mp2
#   h264-1080-4m  1080p25 x264 veryfast, 4.6 Mb/s            mp2
#   hevc-1080-3m  1080p25 x265 ultrafast, 3 Mb/s             mp2
#
# and with large frames only:
#
#   h264-intra    1080p25 x264 ultrafast, every frame an IDR     mp2 256k
#                 picture, 150 Mb/s
#
# each as elementary stream (es), program stream (ps; not for VC-1, which
# program streams carry under an extended stream id), transport stream (ts,
# 188-byte packets) and M2TS (192-byte packets), and remuxed from the
# transport stream into Matroska and MP4 (the audio as AAC 192k):
#
#   mp4           ffmpeg, index (moov) at the end, video and audio
#   mp4-front     the same with the index at the front (-movflags +faststart)
#   mp4-video     ffmpeg, index at the end, video only
#   mkv           mkvmerge: video, audio (of the mp4 form), cues
#   mkv-nocues    the same without cues (--no-cues)
#   mkv-video     mkvmerge, video only, cues
#   ffmkv         ffmpeg: video, audio, cues
#   ffmkv-nocues  ffmpeg writing to a pipe, which leaves out the cues
#   ffmkv-video   ffmpeg, video only, cues
#
# Every measurement reads from the page cache (each file is read once
# beforehand) and is the fastest of REPEAT runs, one thread each. The
# column "in MB" says how many bytes Ostrel's run read (read calls of every
# kind, as the kernel counts them for the process), against the file's MB.
#
# Usage: bench/index_speed.sh [ostrel binary] [work folder] [size in MB]
# Defaults: build/indexer/ostrel (else build-release/indexer/ostrel),
# /tmp/ostrel-bench, 1000 MB.
# Environment: CONTENTS (names from the tables, default all; "common" stands
# for the contents at DVD and broadcast bitrates with vc1), FORMS (default
# all of "es ps ts m2ts mp4 mp4-front mp4-video mkv mkv-nocues mkv-video
# ffmkv ffmkv-nocues ffmkv-video"), REPEAT (default 3), KEEP=1 keeps the
# large files of a content after it was measured (by default they are
# deleted, so that at most one content's files are on disk at a time: the
# transport stream, the other stream forms, the mp4 form and one other
# remuxed form, about 6 x the size; the short encoded clips are kept for the
# next run), BASE=other ostrel binaries (separated by spaces) add their
# rates as last columns (to measure a change); each round of REPEAT times
# them in turn with this one.
# CHECK=1 also writes the index of each file once with every binary and
# adds a column that says whether the BASE binaries' indexes equal Ostrel's,
# byte for byte but for the line that names the program's folder ("same",
# or the numbers of the BASE binaries whose index differs).
# The common bitrates against the build before a change and another:
#   CONTENTS=common FORMS="mp4 mp4-front mp4-video mkv mkv-nocues mkv-video
#   ffmkv ffmkv-nocues ffmkv-video" REPEAT=5 BASE="before/ostrel other/ostrel"
#   bench/index_speed.sh
# Each BASE column shows its binary's rate and, behind a slash, the MB its
# run read. Undamaged Matroska H.264, HEVC, MPEG-2 1080i and intra-only
# H.264 ("matroska" stands for h264-720p hevc-disc mpeg2-bc h264-intra),
# where the bytes read tell whether large frames are read only at their
# heads and ends:
#   CONTENTS=matroska FORMS="mkv-video" REPEAT=7 BASE="before/ostrel"
#   bench/index_speed.sh
# Not part of the test suite: it needs ffmpeg, ffmsindex, mkvmerge, x264/x265
# through ffmpeg, the shared VC-1 sample, and memory for the page cache to
# hold one file.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
default_bin="$here/build/indexer/ostrel"
[ -x "$default_bin" ] || default_bin="$here/build-release/indexer/ostrel"
ostrel="${1:-$default_bin}"
work="${2:-/tmp/ostrel-bench}"
size_mb="${3:-1000}"
contents="${CONTENTS:-h264-720p h264-bc h264-disc hevc-bc hevc-disc mpeg2-bc mpeg2-disc vc1 mpeg2-sd h264-720p-3m h264-1080-4m hevc-1080-3m}"
contents="${contents/common/mpeg2-sd h264-720p-3m h264-1080-4m hevc-1080-3m vc1}"
contents="${contents/matroska/h264-720p hevc-disc mpeg2-bc h264-intra}"
forms="${FORMS:-es ps ts m2ts mp4 mp4-front mp4-video mkv mkv-nocues mkv-video ffmkv ffmkv-nocues ffmkv-video}"
repeat="${REPEAT:-3}"
vc1_sample="$here/../shared/testdata/vc1/vc1_ap_1080_pulldown.vc1"
[ -f "$vc1_sample" ] || vc1_sample=/work/shared/testdata/vc1/vc1_ap_1080_pulldown.vc1

[ -x "$ostrel" ] || { echo "no ostrel binary at $ostrel" >&2; exit 1; }
for tool in ffmpeg ffmsindex mkvmerge bc; do
  command -v "$tool" > /dev/null || { echo "$tool is missing (apt-get install ffmpeg ffmsindex mkvtoolnix bc)" >&2; exit 1; }
done
ostrel="$(cd "$(dirname "$ostrel")" && pwd)/$(basename "$ostrel")"
mkdir -p "$work"
cd "$work"

ff() { nice ffmpeg -nostdin -hide_banner -loglevel fatal -y "$@"; }

# ---------------------------------------------------------------- inputs
# A 20-second clip per content with its audio track, in a transport stream;
# joined to the wanted size by ffmpeg's concat demuxer (which keeps the time
# stamps rising) and remuxed into the other forms.
make_clip() {
  local name=$1 out=clip-$1.ts
  [ -s "$out" ] && return 0
  local src="testsrc2=size=1920x1080:rate=25" vf=() venc=() aenc=(-c:a mp2 -b:a 256k)
  case "$name" in
    h264-720p)
      src="testsrc2=size=1280x720:rate=25"
      venc=(-c:v libx264 -preset ultrafast -g 50 -bf 3 -b:v 25M); aenc=(-c:a mp2) ;;
    h264-bc)
      venc=(-c:v libx264 -preset veryfast -g 25 -bf 3 -b:v 10M -maxrate 12M -bufsize 8M
            -x264-params "tff=1:slices=4") ;;
    h264-disc)
      src="testsrc2=size=1920x1080:rate=24000/1001"
      venc=(-c:v libx264 -preset veryfast -g 24 -bf 3 -b:v 35M -maxrate 40M -bufsize 30M)
      aenc=(-c:a ac3 -b:a 640k) ;;
    hevc-bc)
      venc=(-c:v libx265 -preset ultrafast -g 50 -b:v 8M -x265-params log-level=error) ;;
    hevc-disc)
      src="testsrc2=size=1920x1080:rate=24000/1001"
      venc=(-c:v libx265 -preset ultrafast -g 24 -b:v 40M -x265-params log-level=error)
      aenc=(-c:a ac3 -b:a 640k) ;;
    mpeg2-bc)
      venc=(-c:v mpeg2video -g 12 -bf 2 -b:v 15M -maxrate 18M -bufsize 9M -flags +ildct+ilme -top 1) ;;
    mpeg2-disc)
      src="testsrc2=size=1920x1080:rate=24000/1001"
      venc=(-c:v mpeg2video -g 12 -bf 2 -b:v 35M -maxrate 40M -bufsize 9M)
      aenc=(-c:a ac3 -b:a 640k) ;;
    mpeg2-sd)
      src="testsrc2=size=720x576:rate=25"
      venc=(-c:v mpeg2video -g 15 -bf 2 -b:v 8M -maxrate 9M -bufsize 2M) ;;
    h264-720p-3m)
      src="testsrc2=size=1280x720:rate=25"
      venc=(-c:v libx264 -preset veryfast -g 50 -bf 3 -b:v 3M -maxrate 4M -bufsize 6M) ;;
    h264-1080-4m)
      venc=(-c:v libx264 -preset veryfast -g 50 -bf 3 -b:v 4600k -maxrate 6M -bufsize 8M) ;;
    hevc-1080-3m)
      venc=(-c:v libx265 -preset ultrafast -g 50 -b:v 3M -x265-params log-level=error) ;;
    h264-intra)
      venc=(-c:v libx264 -preset ultrafast -b:v 150M -x264-params keyint=1) ;;
    *) echo "unknown content $name" >&2; exit 1 ;;
  esac
  # Noise keeps the synthetic picture from compressing far below the rate.
  [ "$name" = h264-720p ] || vf=(-vf "noise=alls=12:allf=t")
  ff -f lavfi -i "$src" -f lavfi -i "sine=sample_rate=48000" -t 20 "${vf[@]}" \
     "${venc[@]}" "${aenc[@]}" -f mpegts "$out"
}

# big-<content>.ts of at least size_mb, and the other stream forms that FORMS
# asks for (es, ps, m2ts) remuxed from it.
make_inputs() {
  local name=$1 want=$(( size_mb * 1000000 ))
  if [ "$name" = vc1 ]; then
    if [ ! -s big-vc1.es ] || [ "$(stat -c %s big-vc1.es)" -lt "$want" ]; then
      local copies=$(( want / $(stat -c %s "$vc1_sample") + 1 ))
      for _ in $(seq "$copies"); do cat "$vc1_sample"; done > big-vc1.es
      rm -f big-vc1.ts big-vc1.m2ts big-vc1-*.mp4 big-vc1-*.mkv
    fi
    # The elementary stream carries no time stamps: one per frame at the
    # sample's coded rate, and an audio track as long as the video.
    local secs=$(( $(stat -c %s big-vc1.es) / 200000 + 10 ))
    [ -s big-vc1.ts ] || ff -fflags +genpts -r 24000/1001 -i big-vc1.es -f lavfi -i "sine=sample_rate=48000" \
      -t "$secs" -map 0:v -map 1:a -c:v copy -c:a ac3 -b:a 640k -shortest -f mpegts big-vc1.ts
    if wanted m2ts && [ ! -s big-vc1.m2ts ]; then ff -i big-vc1.ts -map 0 -c copy -mpegts_m2ts_mode 1 -f mpegts big-vc1.m2ts; fi
    return 0
  fi
  make_clip "$name"
  if [ ! -s "big-$name.ts" ] || [ "$(stat -c %s "big-$name.ts")" -lt "$want" ]; then
    local copies=$(( want / $(stat -c %s "clip-$name.ts") + 1 ))
    for _ in $(seq "$copies"); do echo "file 'clip-$name.ts'"; done > "list-$name.txt"
    ff -f concat -safe 0 -i "list-$name.txt" -map 0 -c copy -f mpegts "big-$name.ts"
    rm -f "big-$name.es" "big-$name.ps" "big-$name.m2ts" "big-$name"-*.mp4 "big-$name"-*.mkv
  fi
  local esfmt
  case "$name" in h264*) esfmt=h264 ;; hevc*) esfmt=hevc ;; mpeg2*) esfmt=mpeg2video ;; esac
  if wanted es && [ ! -s "big-$name.es" ]; then ff -i "big-$name.ts" -map 0:v -c copy -f "$esfmt" "big-$name.es"; fi
  if wanted m2ts && [ ! -s "big-$name.m2ts" ]; then
    ff -i "big-$name.ts" -map 0 -c copy -mpegts_m2ts_mode 1 -f mpegts "big-$name.m2ts"
  fi
  if wanted ps && [ ! -s "big-$name.ps" ]; then ff -i "big-$name.ts" -map 0 -c copy -f vob "big-$name.ps"; fi
}

wanted() { case " $forms " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

# The file of a form: the stream forms by their extension, the remuxed ones
# named by form, with the container's extension.
form_file() {
  case "$2" in
    mp4*) echo "big-$1-$2.mp4" ;;
    mkv* | ffmkv*) echo "big-$1-$2.mkv" ;;
    *) echo "big-$1.$2" ;;
  esac
}

# A remuxed form, made when it is measured, from the transport stream; the
# mkvmerge forms with audio take theirs from the mp4 form (AAC).
make_form() {
  local name=$1 form=$2 out ts="big-$1.ts" mp4
  out=$(form_file "$name" "$form")
  mp4=$(form_file "$name" mp4)
  [ -s "$out" ] && return 0
  local audio=(-map 0:v:0 -map 0:a:0 -c:v copy -c:a aac -b:a 192k) video=(-map 0:v:0 -c:v copy)
  case "$form" in
    mp4) ff -i "$ts" "${audio[@]}" -f mp4 "$out" ;;
    mp4-front) ff -i "$ts" "${audio[@]}" -movflags +faststart -f mp4 "$out" ;;
    mp4-video) ff -i "$ts" "${video[@]}" -f mp4 "$out" ;;
    mkv | mkv-nocues)
      make_form "$name" mp4
      local cues=()
      [ "$form" = mkv ] || cues=(--no-cues)
      nice mkvmerge -q "${cues[@]}" -o "$out" -A "$ts" -D "$mp4" ;;
    mkv-video) nice mkvmerge -q -o "$out" -A "$ts" ;;
    ffmkv) ff -i "$ts" "${audio[@]}" -f matroska "$out" ;;
    ffmkv-nocues) ff -i "$ts" "${audio[@]}" -f matroska - > "$out" ;;
    ffmkv-video) ff -i "$ts" "${video[@]}" -f matroska "$out" ;;
    *) echo "unknown form $form" >&2; exit 1 ;;
  esac
}

# ---------------------------------------------------------------- timing
# Wall seconds of the fastest of REPEAT runs of a command, to the
# millisecond; a failing command ends the run.
timed() {
  local best="" t0 t1 t i
  for (( i = 0; i < repeat; i++ )); do
    t0=$(date +%s.%N)
    "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

# The same for Ostrel and the BASE binaries on file $1, taken in turn in
# each round so that all meet the same load: best seconds in best_ostrel[].
timed_ostrels() {
  local f=$1 t0 t1 t i k bins=("$ostrel" ${bases[@]+"${bases[@]}"})
  best_ostrel=()
  for (( i = 0; i < repeat; i++ )); do
    for k in "${!bins[@]}"; do
      t0=$(date +%s.%N)
      "${bins[$k]}" -i "$f" -o "$PWD/$f.kwi" > /dev/null 2>&1 || { echo "failed: ${bins[$k]} -i $f" >&2; exit 1; }
      t1=$(date +%s.%N)
      [ "$k" != 0 ] || [ -s "$f.kwi" ] || { echo "no index written for $f" >&2; exit 1; }
      rm -f "$f.kwi" "$f.log"
      t=$(echo "$t1 - $t0" | bc -l)
      if [ -z "${best_ostrel[$k]:-}" ] || [ "$(echo "$t < ${best_ostrel[$k]}" | bc -l)" = 1 ]; then best_ostrel[$k]=$t; fi
    done
  done
}

# CHECK=1: "same" where every BASE binary writes the index Ostrel writes for
# file $1 (the second line names the program's folder), else the numbers of
# those whose index differs.
check_indexes() {
  local f=$1 k verdict="" bins=("$ostrel" ${bases[@]+"${bases[@]}"})
  for k in "${!bins[@]}"; do
    "${bins[$k]}" -i "$f" -o "$PWD/$f.$k.kwi" > /dev/null 2>&1 || true
    sed 2d "$f.$k.kwi" > "$f.$k.body" 2> /dev/null || echo "no index" > "$f.$k.body"
    if [ "$k" != 0 ] && ! cmp -s "$f.0.body" "$f.$k.body"; then verdict+="${verdict:+,}$k"; fi
  done
  rm -f "$f".*.kwi "$f".*.body "$f".*.log
  echo "${verdict:-same}"
}

# MB that binary $1 reads indexing file $2: the rchar of a shell before and
# after its run (the kernel adds a child's counts to the shell's when the
# shell waits for it).
read_mb() {
  local out
  out=$(sh -c 'grep "^rchar:" /proc/$$/io; "$1" -i "$2" -o "$3" > /dev/null 2>&1; grep "^rchar:" /proc/$$/io' \
    read_mb "$1" "$2" "$PWD/$2.in.kwi" | awk '{ print $2 }' | tr '\n' ' ')
  rm -f "$2.in.kwi" "$2.in.log"
  set -- $out
  echo $(( ($2 - $1) / 1000000 ))
}

rate() { echo "scale=0; $1 / 1000000 / $2" | bc -l; }
ratio() { echo "$1 / $2" | bc -l; }

echo "uptime: $(uptime)"
bases=()
for b in ${BASE:-}; do
  [ -x "$b" ] || { echo "no ostrel binary at $b" >&2; exit 1; }
  bases+=("$(cd "$(dirname "$b")" && pwd)/$(basename "$b")")
done
# Each BASE column is named by its binary (or by the binary's folder, where
# that is called ostrel): its last 15 characters.
base_heads=""
for b in ${bases[@]+"${bases[@]}"}; do
  label=$(basename "$b")
  [ "$label" != ostrel ] || label=$(basename "$(dirname "$(dirname "$b")")")
  (( ${#label} <= 15 )) || label=${label: -15}
  base_heads+="$(printf ' %15s' "$label")"
done
[ "${CHECK:-0}" != 1 ] || base_heads+="  kwi"
printf '%-12s %-12s %6s %8s %8s %8s %8s %6s %7s %7s %6s  %-7s%s\n' content form MB read ffmpeg ffmsidx ostrel \
  'in MB' 'x ffm' 'x ffms' '%read' targets "$base_heads"
for name in $contents; do
  make_inputs "$name"
  for form in $forms; do
    f=$(form_file "$name" "$form")
    [ "$name" = vc1 ] && [ "$form" = ps ] && continue
    case "$form" in es | ps | ts | m2ts) ;; *) make_form "$name" "$form" ;; esac
    bytes=$(stat -c %s "$f")
    cat "$f" > /dev/null                                  # into the page cache
    t_cat=$(timed sh -c "cat '$f' > /dev/null")
    t_ffmpeg=$(timed nice ffmpeg -nostdin -v error -i "$f" -map 0:v -c copy -f null -)
    t_ffms=$(timed ffmsindex -f "$f" "$PWD/$f.ffindex")
    rm -f "$f.ffindex"
    timed_ostrels "$f"
    t_ostrel=${best_ostrel[0]}
    r_base=""
    for (( k = 1; k < ${#best_ostrel[@]}; k++ )); do
      r_base+="$(printf ' %15s' "$(rate "$bytes" "${best_ostrel[$k]}")/$(read_mb "${bases[$((k - 1))]}" "$f")")"
    done
    in_mb=$(read_mb "$ostrel" "$f")
    [ "${CHECK:-0}" != 1 ] || r_base+="  $(check_indexes "$f")"
    x_ffmpeg=$(ratio "$t_ffmpeg" "$t_ostrel")
    x_ffms=$(ratio "$t_ffms" "$t_ostrel")
    p_read=$(echo "100 * $t_cat / $t_ostrel" | bc -l)
    verdict=met
    if [ "$(echo "$x_ffmpeg < 3 || $x_ffms < 3 || $p_read < 50" | bc -l)" = 1 ]; then verdict=MISSED; fi
    printf '%-12s %-12s %6d %8s %8s %8s %8s %6d %6.2fx %6.2fx %5.0f%%  %-7s%s\n' "$name" "$form" $(( bytes / 1000000 )) \
      "$(rate "$bytes" "$t_cat")" "$(rate "$bytes" "$t_ffmpeg")" "$(rate "$bytes" "$t_ffms")" \
      "$(rate "$bytes" "$t_ostrel")" "$in_mb" "$x_ffmpeg" "$x_ffms" "$p_read" "$verdict" "$r_base"
    # The remuxed forms but the mp4 one (a source of others) are made anew
    # for each measurement, one at a time on disk.
    case "$form" in es | ps | ts | m2ts | mp4) ;; *) [ "${KEEP:-0}" = 1 ] || rm -f "$f" ;; esac
  done
  [ "${KEEP:-0}" = 1 ] || rm -f "big-$name".* "big-$name"-*.mp4 "big-$name"-*.mkv
done
echo "uptime: $(uptime)"
