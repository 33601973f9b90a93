// MPEG-2 and VC-1 frames from Matroska and MP4 whose last bytes hold the
// headers of the next picture, as a muxer leaves them that cuts the stream
// at picture start codes: the bytes before each picture header (MPEG-2
// sequence header, its extension and GOP header; VC-1 sequence header and
// entry point) end the frame before. Such frames are read only in part where
// their first bytes hold all the analysis takes from them (frame_heads.cpp),
// so the rule that lets their rest go unread must find those headers: each
// group keeps its own sequence header and GOP or entry flags, as the
// elementary stream gives them, at the time of the frame that holds them.
//
// The inputs: an elementary stream cut so into a Matroska file written
// here, and an MP4 file that ffmpeg made from the stream, whose sample sizes
// and chunk offsets are moved to the same cuts (its samples lie back to
// back, so the bytes stay where they are).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../matroska/mkvmem.h"
#include "global.h"
#include "nalu.h"
#include "testutil.h"
#include "timed_inputs.h"
#include "vc1_writer.h"

namespace {

// ---------------------------------------------------------------- the rule
// A frame's rest behind the three bytes before it: only slices may lie there.
struct TailCase {
  const char* what;
  int codec;  // VideoStream_Flag: 1 MPEG-2, 3 VC-1
  std::vector<uint8_t> bytes;
  bool suffices;
};

TEST(FrameTails, OnlySlicesInTheRest) {
  const std::vector<TailCase> cases = {
      {"MPEG-2 slice data", 1, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, true},
      {"MPEG-2 slices 01 and AF", 1, {0x55, 0, 0, 1, 0x01, 0x66, 0, 0, 1, 0xAF, 0x77}, true},
      {"MPEG-2 sequence header after a slice", 1, {0x55, 0, 0, 1, 0x05, 0x66, 0, 0, 1, 0xB3, 0x14, 0x00}, false},
      {"MPEG-2 GOP header", 1, {0x55, 0x66, 0x77, 0, 0, 1, 0xB8, 0x00, 0x08}, false},
      {"MPEG-2 picture header", 1, {0x55, 0x66, 0x77, 0, 0, 1, 0x00, 0x00, 0x0F}, false},
      {"MPEG-2 extension", 1, {0x55, 0x66, 0x77, 0, 0, 1, 0xB5, 0x8F}, false},
      {"MPEG-2 user data", 1, {0x55, 0x66, 0x77, 0, 0, 1, 0xB2, 0x41}, false},
      {"MPEG-2 sequence end", 1, {0x55, 0x66, 0x77, 0, 0, 1, 0xB7}, false},
      // The three bytes before the rest: a start code there whose value is
      // the rest's first byte.
      {"start code before the rest, header value in it", 1, {0, 0, 1, 0xB3, 0x14}, false},
      {"start code before the rest, slice value in it", 1, {0, 0, 1, 0x07, 0x14}, true},
      {"start code split by the rest's start", 1, {0x55, 0, 0, 1, 0xB8, 0x00}, false},
      {"start code at the very end, its value beyond", 1, {0x55, 0x66, 0x77, 0x88, 0, 0, 1}, false},
      {"zero bytes at the end", 1, {0x55, 0x66, 0x77, 0x88, 0, 0}, true},
      {"VC-1 picture data", 3, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, true},
      {"VC-1 slice", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x0B, 0x9A}, true},
      {"VC-1 sequence header", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x0F, 0xDB}, false},
      {"VC-1 entry point", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x0E, 0x5A}, false},
      {"VC-1 frame", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x0D, 0x5A}, false},
      {"VC-1 field", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x0C, 0xC5}, false},
      {"VC-1 frame user data", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x1D, 0x41}, false},
      {"VC-1 slice value of MPEG-2", 3, {0x55, 0x66, 0x77, 0, 0, 1, 0x05, 0x41}, false},
  };
  for (const TailCase& c : cases) {
    VideoStream_Flag = c.codec;
    EXPECT_EQ(FrameTailSuffices(c.bytes.data(), u32(c.bytes.size())), c.suffices) << c.what;
  }
}

// ---------------------------------------------------------------- inputs
constexpr int kMpeg2 = 1, kVc1 = 3;
constexpr uint64_t kFrameNs = 40000000;  // each Matroska block 40 ms after the one before

bool picture_code(int codec, uint8_t c) { return codec == kMpeg2 ? c == 0x00 : c == 0x0D; }
bool sequence_code(int codec, uint8_t c) { return codec == kMpeg2 ? c == 0xB3 : c == 0x0F; }
// Units that go in front of a picture in its access unit: MPEG-2's
// sequence, extension, GOP and user data headers (the picture's own
// extension follows it, its slices end it); VC-1's sequence header and entry
// point.
bool lead_code(int codec, uint8_t c) { return codec == kMpeg2 ? c > 0xAF : c == 0x0F || c == 0x0E; }

// Offsets where the frames of an elementary stream begin (the first at 0):
// in access units as muxers cut them, each picture with the headers in front
// of it (moved false), or at the picture start codes themselves, the headers
// then ending the frame before (moved true).
std::vector<size_t> frame_starts(const std::vector<uint8_t>& es, int codec, bool moved) {
  const std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
  std::vector<size_t> starts;
  for (size_t j = 0; j < units.size(); j++) {
    if (!picture_code(codec, units[j].code)) continue;
    size_t i = j;
    while (!moved && i > 0 && lead_code(codec, units[i - 1].code)) --i;
    starts.push_back(starts.empty() ? 0 : size_t(units[i].pos));
  }
  return starts;
}

size_t frame_end(const std::vector<size_t>& starts, size_t k, size_t total) {
  return k + 1 < starts.size() ? starts[k + 1] : total;
}

// The frame that holds elementary-stream offset p.
size_t frame_of(const std::vector<size_t>& starts, uint64_t p) {
  return size_t(std::upper_bound(starts.begin(), starts.end(), size_t(p)) - starts.begin()) - 1;
}

// The stream's first sequence header and entry point: a VC-1 track's
// configuration.
std::vector<uint8_t> vc1_config(const std::vector<uint8_t>& es) {
  const std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
  size_t from = 0, to = 0;
  for (const tu::ScanUnit& u : units) {
    if (u.code == 0x0F && !from && !to) from = size_t(u.pos) + 1;
    if (u.code == 0x0D && from) {
      to = size_t(u.pos);
      break;
    }
  }
  return from && to ? std::vector<uint8_t>(es.begin() + long(from - 1), es.begin() + long(to)) : std::vector<uint8_t>();
}

// A Matroska file of one video track with the frames cut at starts, one
// every 40 ms, flagged as key frames where they hold a sequence header (as
// a muxer that judges frames by their headers flags them): the flags to
// *key.
std::string matroska(const std::vector<uint8_t>& es, int codec, const std::vector<size_t>& starts,
                     std::vector<bool>* key_frames) {
  using namespace mkvt;
  Bytes track_data;
  if (codec == kMpeg2) {
    track_data = track(1, 1, "V_MPEG2", uint_el(DefaultDuration, kFrameNs));
  } else {
    // A BITMAPINFOHEADER of "WVC1" followed by the sequence header and entry point.
    const std::vector<uint8_t> config = vc1_config(es);
    Bytes bih;
    auto le32 = [&](uint32_t v) {
      for (int i = 0; i < 4; i++) bih += char((v >> (8 * i)) & 0xFF);
    };
    le32(40 + uint32_t(config.size()));  // biSize
    le32(320);                           // biWidth
    le32(240);                           // biHeight
    bih += Bytes("\x01\x00\x18\x00", 4);  // biPlanes 1, biBitCount 24
    bih += "WVC1";                        // biCompression
    for (int i = 0; i < 5; i++) le32(0);  // biSizeImage .. biClrImportant
    bih += Bytes(config.begin(), config.end());
    track_data = track(1, 1, "V_MS/VFW/FOURCC", el(CodecPrivate, bih) + uint_el(DefaultDuration, kFrameNs));
  }
  const std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
  Bytes clusters, cluster;
  for (size_t k = 0; k < starts.size(); k++) {
    const size_t from = starts[k], to = frame_end(starts, k, es.size());
    bool key = k == 0;
    for (const tu::ScanUnit& u : units)
      if (u.pos >= from && u.pos < to && sequence_code(codec, u.code)) key = true;
    key_frames->push_back(key);
    if (k % 25 == 0) cluster = uint_el(Timecode, k * (kFrameNs / 1000000));
    cluster += el(SimpleBlock, block(1, int16_t((k % 25) * (kFrameNs / 1000000)), key ? 0x80 : 0x00,
                                     Bytes(es.begin() + long(from), es.begin() + long(to))));
    if (k % 25 == 24 || k + 1 == starts.size()) clusters += el(Cluster, cluster);
  }
  return ebml_header() + el(Segment, info() + el(Tracks, track_data) + clusters);
}

uint32_t be32(const std::vector<uint8_t>& f, size_t at) {
  return uint32_t(f[at]) << 24 | uint32_t(f[at + 1]) << 16 | uint32_t(f[at + 2]) << 8 | f[at + 3];
}
void put_be32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) f[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// The payload [begin, end) of the box at the end of a path of box types
// under [from, to), or {0, 0}: a walk of 32-bit box sizes.
std::pair<size_t, size_t> find_box(const std::vector<uint8_t>& f, size_t from, size_t to,
                                   const std::vector<std::string>& path) {
  for (size_t at = from; at + 8 <= to;) {
    const size_t size = be32(f, at);
    if (size < 8 || size > to - at) break;
    if (std::string(f.begin() + long(at + 4), f.begin() + long(at + 8)) == path[0]) {
      if (path.size() == 1) return {at + 8, at + size};
      return find_box(f, at + 8, at + size, std::vector<std::string>(path.begin() + 1, path.end()));
    }
    at += size;
  }
  return {0, 0};
}

// Moves the sample boundaries of the one track of an MP4 file made from es
// (its samples cut at from, back to back in the file) to the cuts at to: the
// sizes in stsz and the offsets of the chunks in stco. An empty text, or
// what does not fit.
std::string move_samples(std::vector<uint8_t>& f, size_t total, const std::vector<size_t>& from,
                         const std::vector<size_t>& to) {
  const std::vector<std::string> stbl = {"moov", "trak", "mdia", "minf", "stbl"};
  auto box = [&](const char* type) {
    std::vector<std::string> p = stbl;
    p.push_back(type);
    return find_box(f, 0, f.size(), p);
  };
  const auto stsz = box("stsz"), stsc = box("stsc"), stco = box("stco");
  if (!stsz.first || !stsc.first || !stco.first) return "no stsz, stsc or stco";
  if (be32(f, stsz.first + 4) != 0 || be32(f, stsz.first + 8) != from.size()) return "not one size per frame";
  for (size_t k = 0; k < from.size(); k++) {
    if (be32(f, stsz.first + 12 + 4 * k) != frame_end(from, k, total) - from[k])
      return "sample " + std::to_string(k) + " is not the access unit";
    put_be32(f, stsz.first + 12 + 4 * k, uint32_t(frame_end(to, k, total) - to[k]));
  }
  // The first sample of each chunk, from stsc's runs.
  const size_t chunks = be32(f, stco.first + 4), runs = be32(f, stsc.first + 4);
  std::vector<size_t> first(chunks);
  size_t sample = 0;
  for (size_t c = 0, r = 0; c < chunks; c++) {
    while (r + 1 < runs && be32(f, stsc.first + 8 + 12 * (r + 1)) <= c + 1) ++r;
    first[c] = sample;
    sample += be32(f, stsc.first + 8 + 12 * r + 4);
  }
  if (sample != from.size()) return "chunks do not hold every sample";
  const uint32_t base = be32(f, stco.first + 8);
  for (size_t c = 0; c < chunks; c++) {
    const size_t at = stco.first + 8 + 4 * c;
    if (be32(f, at) - base != from[first[c]]) return "samples do not lie back to back";
    put_be32(f, at, uint32_t(base + to[first[c]]));
  }
  return "";
}

// The decode times of the samples of the one track of an MP4 file, from its
// stts runs.
std::vector<uint64_t> sample_times(const std::vector<uint8_t>& f) {
  const auto stts = find_box(f, 0, f.size(), {"moov", "trak", "mdia", "minf", "stbl", "stts"});
  std::vector<uint64_t> times;
  if (!stts.first) return times;
  uint64_t t = 0;
  for (size_t r = 0, runs = be32(f, stts.first + 4); r < runs && stts.first + 16 + 8 * r <= stts.second; r++) {
    for (uint32_t i = 0, n = be32(f, stts.first + 8 + 8 * r); i < n; i++) {
      times.push_back(t);
      t += be32(f, stts.first + 12 + 8 * r);
    }
  }
  return times;
}

struct Source {
  const char* name;
  int codec;
  std::vector<uint8_t> (*make)(const std::string& dir);
};

std::vector<uint8_t> mpeg2_by_ffmpeg(const std::string& dir) {
  const std::string es = dir + "s.m2v";
  EXPECT_EQ(tu::run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -vf noise=alls=12:allf=t "
                    "-pix_fmt yuv420p -c:v mpeg2video -q:v 8 -g 12 -bf 2 -f mpeg2video " +
                    tu::q(es) + " 2>&1")
                .status,
            0);
  return tu::read_file(es);
}

// Three groups of progressive and field-pair frames of about 1500 bytes whose
// entry points differ, the last of each group a B frame.
std::vector<uint8_t> vc1_by_the_writer(const std::string&) {
  vc1w::Sequence q;
  q.interlace = true;
  q.pulldown = true;
  q.display_ext = true;
  q.rate_nr = 4;
  q.rate_dr = 1;
  vc1w::Stream s;
  s.filler = 1500;
  for (int g = 0; g < 3; g++) {
    s.sequence(q);
    s.entry(g == 1, g != 1);
    s.picture(vc1w::pic(vc1w::I, 2, vc1w::FrameInterlaced));
    s.picture(vc1w::pic(vc1w::P, 1));
    s.picture(vc1w::pic(vc1w::B, 3));
    s.picture(vc1w::pic(vc1w::PP, 0, vc1w::FieldInterlaced));
    s.picture(vc1w::pic(vc1w::B, 2));
  }
  return s.es;
}

// The shared 1080p sample: a sequence header and an entry point before
// every frame.
const std::string kSharedVc1 = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.vc1";
std::vector<uint8_t> vc1_shared_sample(const std::string&) { return tu::read_file(kSharedVc1); }

TEST(FrameTails, HeadersAtTheEndOfFramesOpenTheirGroups) {
  const Source sources[] = {
      {"MPEG-2 by ffmpeg", kMpeg2, mpeg2_by_ffmpeg},
      {"VC-1 by the test writer", kVc1, vc1_by_the_writer},
      {"VC-1 shared sample", kVc1, vc1_shared_sample},
  };
  bool sample_missing = false;
  for (const Source& src : sources) {
    SCOPED_TRACE(src.name);
    // The other sources are tested all the same; the test is then skipped.
    if (src.make == vc1_shared_sample && !tu::exists(kSharedVc1)) {
      sample_missing = true;
      continue;
    }
    const std::string dir = tu::scratch("source" + std::to_string(&src - sources) + "-");
    const std::vector<uint8_t> es = src.make(dir);
    ASSERT_FALSE(es.empty());
    const std::string es_file = dir + (src.codec == kMpeg2 ? "es.m2v" : "es.vc1");
    tu::write_file(es_file, es);
    std::vector<uint64_t> es_positions;
    const std::vector<std::string> want = timed::Shape(tu::index_lines(es_file, es_file + ".kwi"), &es_positions);
    const std::vector<size_t> whole = frame_starts(es, src.codec, false), moved = frame_starts(es, src.codec, true);
    ASSERT_EQ(whole.size(), moved.size());
    size_t first_picture = 0;
    for (const tu::ScanUnit& u : tu::scan_start_codes(es))
      if (picture_code(src.codec, u.code)) {
        first_picture = size_t(u.pos);
        break;
      }

    // Groups after the first whose headers end a frame longer than its first
    // bytes and last bytes looked at (2048 and 512 of MPEG-2, 512 and 512 of
    // VC-1): there the headers lie where only the look at the last bytes finds
    // them.
    const size_t looked_at = src.codec == kMpeg2 ? 2048 + 512 : 512 + 512;
    int hidden = 0;
    for (uint64_t p : es_positions) {
      const size_t k = frame_of(moved, p);
      if (k > 0 && frame_end(moved, k, es.size()) - moved[k] > looked_at) ++hidden;
    }
    ASSERT_GE(hidden, 2) << "the input does not have the shape to test";

    // Matroska written here: each group at the time of the block that holds
    // its headers. A VC-1 key frame that does not begin with a sequence
    // header gets the track's configuration in front, whose sequence header
    // and entry point then open the group at the frame's own time (so where
    // every frame holds headers, as in the shared sample).
    const std::string mkv = dir + "moved.mkv";
    std::vector<bool> key;
    const mkvt::Bytes mkv_bytes = matroska(es, src.codec, moved, &key);
    tu::write_file(mkv, std::vector<uint8_t>(mkv_bytes.begin(), mkv_bytes.end()));
    std::vector<uint64_t> mkv_want;
    for (uint64_t p : es_positions) {
      const size_t k = frame_of(moved, p);
      // Headers behind a frame's picture belong to the next frame's.
      const size_t picture = k == 0 ? first_picture : moved[k];
      const bool configured = src.codec == kVc1 && p > picture && k + 1 < moved.size() && key[k + 1];
      mkv_want.push_back((configured ? k + 1 : k) * kFrameNs);
    }
    tu::RunResult run;
    std::vector<uint64_t> positions;
    EXPECT_EQ(timed::Shape(tu::index_lines(mkv, mkv + ".kwi", &run), &positions), want) << run.out;
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(positions, mkv_want) << "Matroska";

    // MP4 by ffmpeg, its samples moved: each group at the decode time of the
    // sample that holds its headers.
    const std::string mp4 = dir + "moved.mp4";
    ASSERT_EQ(tu::run("ffmpeg -v error -y -r 25 -i " + tu::q(es_file) + " -c copy -f mp4 " + tu::q(mp4) + " 2>&1").status,
              0);
    std::vector<uint8_t> mp4_bytes = tu::read_file(mp4);
    ASSERT_EQ(move_samples(mp4_bytes, es.size(), whole, moved), "");
    tu::write_file(mp4, mp4_bytes);
    const std::vector<uint64_t> times = sample_times(mp4_bytes);
    ASSERT_EQ(times.size(), moved.size());
    std::vector<uint64_t> mp4_want;
    for (uint64_t p : es_positions) mp4_want.push_back(times[frame_of(moved, p)]);
    positions.clear();
    EXPECT_EQ(timed::Shape(tu::index_lines(mp4, mp4 + ".kwi", &run), &positions), want) << run.out;
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(positions, mp4_want) << "MP4";
  }
  if (sample_missing) GTEST_SKIP() << "no " << kSharedVc1 << " (shared test data): its source is skipped";
}

}  // namespace
