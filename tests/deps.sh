#!/usr/bin/env bash
# The Debian packages that the build and the tests need, in one list.
#   tests/deps.sh install   installs them with apt-get (through sudo unless root)
#   tests/deps.sh check     silent when all are installed; otherwise names the
#                           missing ones and the command that installs them,
#                           and exits 1
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config zlib1g-dev libgtest-dev
  ffmpeg x264 x265 mkvtoolnix mjpegtools atomicparsley libimage-exiftool-perl
  libavcodec-dev libavformat-dev libavutil-dev libffmpeg-nvenc-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  # The VapourSynth host that the release build makes from ../shared/vapoursynth
  # for the plugin's real-host tests.
  g++ make autoconf automake libtool cython3 libzimg-dev python3-dev
)

# apt-get needs root: as root run it directly (a fresh Debian has no sudo).
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo "

case "${1:-}" in
  install)
    if [ -n "$as_root" ] && ! command -v sudo >/dev/null; then
      echo "tests/deps.sh: installing packages needs root, and sudo is not installed; run it as root" >&2
      exit 1
    fi
    echo "Installing with apt-get: ${packages[*]}"
    export DEBIAN_FRONTEND=noninteractive
    ${as_root}apt-get update -qq
    ${as_root}apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
    ;;
  check)
    # Without dpkg this is not Debian: nothing to suggest, CMake will say
    # what it cannot find.
    command -v dpkg-query >/dev/null || exit 0
    missing=()
    for p in "${packages[@]}"; do
      status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
      [ "$status" = installed ] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && exit 0
    {
      echo "The build and the tests need packages that are not installed: ${missing[*]}"
      echo "Install them with:"
      echo "  ${as_root}apt-get update && ${as_root}apt-get install -y ${missing[*]}"
    } >&2
    exit 1
    ;;
  *)
    echo "usage: tests/deps.sh install|check" >&2
    exit 2
    ;;
esac
