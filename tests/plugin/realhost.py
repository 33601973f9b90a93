#!/usr/bin/env python3
# Drives the plugin in the real VapourSynth host for the real-host tests.
#
#   realhost.py PLUGIN INDEX OUT [--seed S] [--fresh N,N,...] [--vspipe VSPIPE]
#
# Loads PLUGIN with core.std.LoadPlugin and opens core.pemmick.KWSource(INDEX)
# with the host's default threads, then requests every frame in order on
# one instance, every frame in a random order (seeded) on another, and each
# frame of --fresh (those the clip has) on an instance of its own. Writes
# OUT.report (the decoder's messages go to standard error), one line per
# request,
#   <order> <n> ok <KWMissing>      the frame's planes follow in OUT.<order>
#   <order> <n> error <message>
# with <order> "inorder", "random" or "fresh", after a first line
#   clip <frames> <width> <height> <bytes per sample> <bytes of a frame>
# (or "open error <message>"). With --vspipe it then plays the same clip to
# its end with vspipe (this file is the script, run with plugin= and
# index= arguments) as y4m and adds
#   vspipe <status> <frames written> <vspipe's first error line, or its last>
import random
import re
import subprocess
import sys

import vapoursynth as vs

core = vs.core
report = sys.stdout


def say(*words):
    print(*words, file=report, flush=True)


def one_line(text):
    return " ".join(str(text).split())


def open_clip(plugin, index):
    if not hasattr(core, "pemmick"):
        core.std.LoadPlugin(plugin)
    return core.pemmick.KWSource(index)


def request(clip, order, n, out):
    try:
        f = clip.get_frame(n)
    except vs.Error as e:
        say(order, n, "error", one_line(e))
        return
    for p in range(f.format.num_planes):
        out.write(bytes(f[p]))
    say(order, n, "ok", int(f.props.get("KWMissing", 0)))


def play(vspipe, plugin, index, frame_size):
    """Plays the clip with vspipe as y4m: its status, the frames it wrote
    (counted by their headers) and its first error line, or its last line."""
    r = subprocess.Popen([vspipe, "-a", "plugin=" + plugin, "-a", "index=" + index, __file__, "-", "-c", "y4m"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    data, err = r.communicate()
    err = err.decode(errors="replace")
    status = r.returncode
    at = data.find(b"\n") + 1
    frames = 0
    while at > 0 and data.startswith(b"FRAME", at):
        end = data.find(b"\n", at)
        if end < 0 or end + 1 + frame_size > len(data):
            break
        at = end + 1 + frame_size
        frames += 1
    lines = [l for l in err.splitlines() if l.strip()]
    errors = [l for l in lines if l.startswith("Error")]
    return "vspipe", status, frames, one_line((errors or lines or [""])[0])


def main(argv):
    global report
    plugin, index, out = argv[1], argv[2], argv[3]
    report = open(out + ".report", "w")
    seed, fresh, vspipe = 1, [], None
    rest = argv[4:]
    while rest:
        key, value, rest = rest[0], rest[1], rest[2:]
        if key == "--seed":
            seed = int(value)
        elif key == "--fresh":
            fresh = [int(v) for v in value.split(",") if v]
        elif key == "--vspipe":
            vspipe = value
    try:
        clip = open_clip(plugin, index)
    except vs.Error as e:
        say("open error", one_line(e))
        return 0
    frame_size = sum(clip.width // (1 << (p and clip.format.subsampling_w)) *
                     (clip.height // (1 << (p and clip.format.subsampling_h)))
                     for p in range(clip.format.num_planes)) * clip.format.bytes_per_sample
    say("clip", clip.num_frames, clip.width, clip.height, clip.format.bytes_per_sample, frame_size)
    frames = list(range(clip.num_frames))
    with open(out + ".inorder", "wb") as o:
        for n in frames:
            request(clip, "inorder", n, o)
    del clip
    shuffled = frames[:]
    random.Random(seed).shuffle(shuffled)
    with open(out + ".random", "wb") as o:
        clip = open_clip(plugin, index)
        for n in shuffled:
            request(clip, "random", n, o)
        del clip
    with open(out + ".fresh", "wb") as o:
        for n in (n for n in fresh if 0 <= n < len(frames)):
            request(open_clip(plugin, index), "fresh", n, o)
    if vspipe:
        say(*play(vspipe, plugin, index, frame_size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
elif __name__ == "__vapoursynth__":
    # Played by vspipe: plugin and index come as script arguments.
    open_clip(plugin, index).set_output()  # noqa: F821
