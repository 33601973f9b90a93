#!/usr/bin/env bash
# Seek cost of Pemmick: pictures decoded per random frame request (30 by
# default, N=...), on one instance per file, through the CPU stand-in build
# (libpemmick_cpu.so) and the test host, for small ordinary files of each
# codec and container: x264 with B pictures and open groups, x264 MBAFF,
# x265, ffmpeg's MPEG-2 (open groups), each as elementary stream, transport
# stream, mkvmerge Matroska and ffmpeg MP4, and the shared VC-1 sample in
# the same four forms. Each build indexes the files with its own ostrel.
#
#   bench/seek_cost.sh BUILD [OTHER_BUILD...]
#
# BUILD is a configured and built release folder of this tree (its test
# host library is used); every build named needs plugin/libpemmick_cpu.so
# and indexer/ostrel. WORK (default /tmp/pemmick-seek-cost) holds the
# inputs and indexes. The decode thread decodes a little ahead of each
# request, so counts vary by a few pictures from run to run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { sed -n '2,16p' "$0"; exit 1; }
work=${WORK:-/tmp/pemmick-seek-cost}
mkdir -p "$work/in"
builds=()
for b in "$@"; do builds+=("$(cd "$b" && pwd)"); done
build=${builds[0]}

prog=$work/seek_cost
g++ -std=c++17 -O1 -I "$root/tests/plugin" -I "$root/plugin" "$root/bench/seek_cost.cpp" \
  "$build/tests/plugin/libvshost.a" -lgtest -lgtest_main -lpthread -ldl \
  -Wl,--no-as-needed -lavcodec -rdynamic -o "$prog"

cd "$work/in"
src="-f lavfi -i testsrc2=s=320x240:r=25 -frames:v 300 -pix_fmt yuv420p"
ff() { ffmpeg -y -v error -nostdin "$@"; }
make_forms() {  # name extension encoder options...
  local name=$1 ext=$2
  shift 2
  [ -s "$name.mkv" ] && return
  ff $src "$@" "$name.$ext"
  ff $src "$@" -f mpegts "$name.ts"
  ff $src "$@" "$name.mp4"
  mkvmerge -q -o "$name.mkv" "$name.$ext"
}
make_forms h264 264 -c:v libx264 -preset veryfast \
  -x264-params keyint=50:min-keyint=50:open-gop=1:bframes=3:scenecut=0
make_forms h264i 264 -c:v libx264 -preset veryfast -flags +ildct+ilme \
  -x264-params keyint=50:min-keyint=50:bframes=3:scenecut=0:tff=1
make_forms hevc 265 -c:v libx265 -preset veryfast \
  -x265-params keyint=50:min-keyint=50:open-gop=1:bframes=3:scenecut=0:log-level=error
make_forms mpeg2 m2v -c:v mpeg2video -g 15 -bf 2 -b:v 1M
inputs="h264.264 h264.ts h264.mkv h264.mp4 h264i.264 h264i.ts h264i.mkv h264i.mp4
        hevc.265 hevc.ts hevc.mkv hevc.mp4 mpeg2.m2v mpeg2.ts mpeg2.mkv mpeg2.mp4"
vc1=$root/../shared/testdata/vc1
if [ -f "$vc1/vc1_ap_1080_pulldown.vc1" ]; then
  [ -s vc1.mkv ] || {
    cp "$vc1/vc1_ap_1080_pulldown.vc1" vc1.vc1
    cp "$vc1/vc1_ap_1080_pulldown.m2ts" vc1.m2ts
    mkvmerge -q -o vc1.mkv vc1.vc1
    ff -i vc1.vc1 -c copy vc1.mp4
  }
  inputs="$inputs vc1.vc1 vc1.m2ts vc1.mkv vc1.mp4"
else
  echo "no shared VC-1 sample at $vc1: VC-1 left out"
fi

k=0
for b in "${builds[@]}"; do
  k=$((k + 1))
  idx=$work/index-$k
  mkdir -p "$idx"
  list=""
  for f in $inputs; do
    "$b/indexer/ostrel" -i "$work/in/$f" -o "$idx/$f.kwi" > "$idx/$f.log" 2>&1 || echo "$b: ostrel failed on $f"
    list="$list $idx/$f.kwi"
  done
  echo "== $b"
  SO=$b/plugin/libpemmick_cpu.so KWIS=$list "$prog" | grep -E 'per request|kwi' || true
done
