// Decode checks shared by the plugin's decoding tests: the plugin build on
// the CPU stand-in, streams made and indexed, ffmpeg's decode as reference,
// frames compared in order and after seeks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vshost.h"

namespace dc {

const vshost::Plugin* Cpu();
std::unique_ptr<vshost::Clip> Open(const std::string& kwi, vshost::Args a = vshost::Args());

// The test pattern is RGB: without a pixel format the encoders keep 4:4:4,
// which the decoder does not take.
bool H264(const std::string& path, int frames, const std::string& extra = "");
bool Hevc(const std::string& path, int frames, const std::string& extra = "", const std::string& pix_fmt = "yuv420p");

// An AVC stream of `frames` lossless pictures of noise, 2880 x 1620, each
// one slice of about 8.6 MB, in groups of two; false when the encoder fails.
bool LargePictures(const std::string& path, int frames);
// Packet sizes of the first video stream by ffprobe, in file order.
std::vector<uint64_t> PacketSizes(const std::string& path);

// A scratch folder of this test process, ending in '/'.
std::string Dir();

// Small pictures keep the many seeks cheap; the sizes are not multiples of
// HEVC's 64-sample blocks, so the coded pictures are larger than the frames.
extern const char kSmall[];

// The frames of a straight ffmpeg decode, planar 4:2:0 (8-bit or 16-bit
// little-endian samples), as the host's frames hold them.
std::vector<std::vector<uint8_t>> Reference(const std::string& input, int w, int h, bool deep,
                                            const std::string& filter = "");
// A host frame as one buffer of its three planes.
std::vector<uint8_t> Flat(const vshost::Frame& f);
// 10-bit reference samples as the plugin's 16-bit frames hold them.
std::vector<uint8_t> Shift10(const std::vector<uint8_t>& ref);
std::vector<std::vector<uint8_t>> InOrder(vshost::Clip& clip);
// Which frame a delivered frame equals, or -1.
int Which(const std::vector<std::vector<uint8_t>>& frames, const std::vector<uint8_t>& f);
// Which frame has the same rows of one parity (0 top, 1 bottom) in every
// plane of an 8-bit 4:2:0 frame, or -1.
int WhichField(const std::vector<std::vector<uint8_t>>& frames, const std::vector<uint8_t>& f, int w, int h,
               int parity);
// Every frame of `ordered` (the first frames of the clip, or all) once, in a
// random permutation, against the in-order frames; only the first `count`
// requests of the permutation where seeks are slow.
void ExpectSeeksMatch(vshost::Clip& clip, const std::vector<std::vector<uint8_t>>& ordered, unsigned seed,
                      const std::string& what, size_t count = SIZE_MAX);
// Every frame of the clip once, in a random permutation: each request
// serves the frame's own picture (want[n]) or fails, never another frame's
// picture (a failed test names it). Returns the frames whose requests
// failed, in ascending order.
std::vector<int> OwnPictureOrFailure(vshost::Clip& clip, const std::vector<std::vector<uint8_t>>& want,
                                     unsigned seed, const std::string& what);

// A damaged copy of a file against the intact file: `intact` holds ffmpeg's
// decode of the intact file (display order, w x h); a picture is clean where
// ffmpeg decodes it from the damaged copy identical to the intact file. The
// clip of the damaged copy's index `kwi` holds at least `frames_at_least`
// frames and at most the intact file's. No request fails. A frame without
// a picture of its own carries KWMissing = 1 and shows the picture of the
// nearest frame before it that has one (at the start, the first picture
// shown). Where the index holds lost slots ("N:LOST"), frame n is intact
// picture n; else (a picture whose start was lost has no frame) frame n is
// intact picture n or a later one by no more than the pictures lost. In
// order every clean picture is served as the frame it belongs to, and a
// frame without KWMissing that equals another frame's intact picture does
// so only where ffmpeg's decode of the damaged copy has that picture in the
// frame's place (a concealment that copies a reference). In a random order
// and on fresh instances every frame is served as in order (60 random
// requests, 4 fresh instances).
// With `every_clean` unset (frames left out next to damage read past, by
// rule, may be clean), clean pictures need not all have a frame; the
// pictures named in `excused` need not either.
void CheckDamaged(const std::string& kwi, const std::string& damaged, const std::vector<std::vector<uint8_t>>& intact,
                  int w, int h, size_t frames_at_least, unsigned seed, const std::string& what,
                  bool every_clean = true, const std::vector<size_t>& excused = {});

// The index holds a lost slot line ("N:LOST").
bool HasLostSlots(const std::string& kwi);
// A copy of an index, written to out, with DAMAGE lines at the given
// stream positions where it has none, and lost slots at the given display
// indexes (ascending; the picture lines from there on renumbered) where it
// has none: the lines an index of damaged input holds, for inputs whose
// damage the test made.
std::string WithDamage(const std::string& kwi, const std::vector<uint64_t>& damage, const std::vector<int>& lost,
                       const std::string& out);

struct Stream {
  std::string name;     // what the failure messages call it
  std::string input;    // file indexed
  std::string kwi;
  bool deep = false;    // 16-bit output
};
// The in-order run equals ffmpeg's decode of the file (when asked), and
// seeks equal the in-order run.
void CheckStream(const Stream& s, bool compare_with_ffmpeg, unsigned seed);
// Indexes a stream as an encoder wrote it.
Stream Indexed(const std::string& name, const std::string& input, bool deep = false);

// A copy of an index, written to out, whose input file line names `to` (and
// its size) in place of `from`.
std::string Retarget(const std::string& kwi, const std::string& from, const std::string& to, const std::string& out);

// The pictures of each display frame by a field model of ffprobe's view.
struct FramePictures {
  int top, bottom;
};
std::vector<FramePictures> FieldModel(const std::vector<std::map<std::string, std::string>>& probe);
// Even rows of every plane from `top`, odd rows from `bottom`.
std::vector<uint8_t> Weave(const std::vector<uint8_t>& top, const std::vector<uint8_t>& bottom, int w, int h);
// Soft pulldown: fieldop 0 weaves every display frame from the pictures of
// the field model, types and seeks included; fieldop 2 shows each picture
// once, as ffmpeg decodes it; fieldop 1 makes film of the 3:2 cadence.
void CheckPulldown(const std::string& name, const std::string& input, int w, int h);

// The shared VC-1 sample: its elementary stream's index and first 30 frames
// in order, and its M2TS's index.
struct Vc1Sample {
  std::string kwi, m2ts_kwi;
  std::vector<std::vector<uint8_t>> ordered;  // frames 0 .. 29 in order
  bool Load();
};

}  // namespace dc
