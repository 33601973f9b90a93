#!/usr/bin/env bash
# Indexing throughput of Ostrel against a plain sequential read and ffmpeg's
# demuxer, on the same H.264 stream as elementary stream, program stream,
# transport stream (188-byte packets, with an audio track) and M2TS. Every
# measurement reads from the page cache (each file is read once beforehand).
#
# Usage: bench/index_speed.sh [ostrel binary] [work folder] [size in MB]
# Defaults: build/indexer/ostrel, /tmp/ostrel-bench, 1100 MB.
# Not part of the test suite: it needs about 4.5 GB of disk and as much
# free memory for the page cache to hold the four files.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
ostrel="${1:-$here/build/indexer/ostrel}"
work="${2:-/tmp/ostrel-bench}"
size_mb="${3:-1100}"
[ -x "$ostrel" ] || { echo "no ostrel binary at $ostrel" >&2; exit 1; }
ostrel="$(cd "$(dirname "$ostrel")" && pwd)/$(basename "$ostrel")"
mkdir -p "$work"
cd "$work"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# A 20-second 720p clip at a high rate with an audio track, joined to the
# wanted size by ffmpeg's concat demuxer (which keeps the time stamps
# rising), then remuxed into the other forms.
if [ ! -s clip.ts ]; then
  ff -f lavfi -i "testsrc2=size=1280x720:rate=25" -f lavfi -i "sine=sample_rate=48000" -t 20 \
     -c:v libx264 -preset ultrafast -g 50 -bf 3 -b:v 25M -c:a mp2 -f mpegts clip.ts
fi
copies=$(( size_mb * 1000000 / $(stat -c %s clip.ts) + 1 ))
if [ ! -s big.ts ] || [ "$(stat -c %s big.ts)" -lt $(( size_mb * 1000000 )) ]; then
  for _ in $(seq "$copies"); do echo "file 'clip.ts'"; done > list.txt
  ff -f concat -safe 0 -i list.txt -map 0 -c copy -f mpegts big.ts
  rm -f big.h264 big.m2ts big.vob
fi
[ -s big.h264 ] || ff -i big.ts -map 0:v -c copy -f h264 big.h264
[ -s big.m2ts ] || ff -i big.ts -map 0 -c copy -mpegts_m2ts_mode 1 -f mpegts big.m2ts
[ -s big.vob ] || ff -i big.ts -map 0 -c copy -f vob big.vob

# Wall seconds of a command, to the millisecond; a failing command ends the run.
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

rate() { echo "scale=1; $1 / 1000000 / $2" | bc -l; }

printf '%-10s %9s %12s %12s %12s %9s %9s\n' form MB cat_MB/s ostrel_MB/s ffmpeg_MB/s vs_ffmpeg vs_cat
for f in big.h264 big.vob big.ts big.m2ts; do
  bytes=$(stat -c %s "$f")
  cat "$f" > /dev/null                                  # into the page cache
  t_cat=$(timed sh -c "cat '$f' > /dev/null")
  t_ostrel=$(timed "$ostrel" -i "$f" -o "$PWD/$f.kwi")
  [ -s "$f.kwi" ] || { echo "no index written for $f" >&2; exit 1; }
  t_ffmpeg=$(timed ffmpeg -nostdin -v error -i "$f" -map 0:v -c copy -f null -)
  r_cat=$(rate "$bytes" "$t_cat")
  r_ostrel=$(rate "$bytes" "$t_ostrel")
  r_ffmpeg=$(rate "$bytes" "$t_ffmpeg")
  printf '%-10s %9d %12s %12s %12s %8.2fx %8.0f%%\n' "$f" $(( bytes / 1000000 )) "$r_cat" "$r_ostrel" "$r_ffmpeg" \
    "$(echo "$t_ffmpeg / $t_ostrel" | bc -l)" "$(echo "100 * $t_cat / $t_ostrel" | bc -l)"
done
