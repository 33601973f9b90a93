// The CPU stand-in on real streams made at test time: every picture shown
// must equal ffmpeg's own decode of the file, in display order; sequence,
// decode and display callbacks follow the CUVID contract (README.md of the
// stand-in); a parser re-created at a group start shows what the real
// parser shows.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "helpers.h"
#include "testutil.h"

namespace {

const CuvidApi* api() { return cuvid_api(nullptr); }

const char* kSource = "-f lavfi -i testsrc2=size=320x240:rate=25 ";

// Makes a stream with ffmpeg once per test binary run; empty path on failure.
std::string make(const std::string& name, const std::string& args) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  std::string path = tu::scratch(name);
  if (!tu::ffmpeg(args + " " + tu::q(path))) path.clear();
  made[name] = path;
  return path;
}

std::string h264(const std::string& name, const std::string& x264, const std::string& extra = "",
                 const std::string& size = "320x240") {
  return make(name, "-f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v 40 " + extra +
                        " -c:v libx264 -preset fast -bf 3 -g 12 -x264-params scenecut=0" + x264 + " -f h264");
}

std::string hevc(const std::string& name, const std::string& x265, const std::string& extra = "",
                 const std::string& size = "320x240") {
  return make(name, "-f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v 40 " + extra +
                        " -c:v libx265 -x265-params log-level=error:keyint=12:min-keyint=12:scenecut=0:bframes=3" +
                        x265 + " -f hevc");
}

std::string mpeg2(const std::string& name, const std::string& extra = "") {
  return make(name, std::string(kSource) + "-frames:v 40 " + extra +
                        " -c:v mpeg2video -bf 2 -g 12 -q:v 4 -f mpeg2video");
}

// Shown picture i equals reference frame j in all planes (reference samples
// shifted left by `shift`, for P016).
::testing::AssertionResult same_picture(const ct::Shown& s, const ct::RefFrame& r, int shift = 0) {
  auto plane = [&](const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, const char* name) {
    if (a.size() != b.size()) return std::string(name) + " size " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
    for (size_t k = 0; k < a.size(); k++)
      if (a[k] != static_cast<uint16_t>(b[k] << shift))
        return std::string(name) + " differs at sample " + std::to_string(k) + ": " + std::to_string(a[k]) +
               " vs " + std::to_string(b[k] << shift);
    return std::string();
  };
  for (auto e : {plane(s.y, r.y, "Y"), plane(s.u, r.u, "U"), plane(s.v, r.v, "V")})
    if (!e.empty()) return ::testing::AssertionFailure() << e;
  return ::testing::AssertionSuccess();
}

std::string joined(const std::vector<std::string>& v) {
  std::ostringstream o;
  for (const auto& s : v) o << s << "; ";
  return o.str();
}

// Decodes a whole stream and compares every shown picture with ffmpeg's.
void expect_whole_stream(nv::cudaVideoCodec codec, const std::string& path, int w, int h, bool ten_bit,
                         const ct::Options& o = ct::Options()) {
  ASSERT_FALSE(path.empty());
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, w, h, ten_bit);
  ASSERT_FALSE(ref.empty());
  ct::Client c(api(), codec, o);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
  EXPECT_EQ(c.sequences.size(), 1u);
  EXPECT_EQ(c.decoded.size(), ref.size());
  ASSERT_EQ(c.shown.size(), ref.size());
  for (size_t i = 0; i < ref.size(); i++)
    EXPECT_TRUE(same_picture(c.shown[i], ref[i], ten_bit ? 6 : 0)) << "requested picture " << i << ", got another";
}

TEST(StandinStreams, H264ClosedGopMatchesFfmpeg) {
  std::string path = h264("closed.264", "");
  expect_whole_stream(nv::cudaVideoCodec_H264, path, 320, 240, false);
}

TEST(StandinStreams, H264OpenGopMatchesFfmpeg) {
  expect_whole_stream(nv::cudaVideoCodec_H264, h264("open.264", ":open-gop=1"), 320, 240, false);
}

TEST(StandinStreams, HevcMatchesFfmpeg) {
  expect_whole_stream(nv::cudaVideoCodec_HEVC, hevc("cra.265", ":open-gop=1"), 320, 240, false);
  expect_whole_stream(nv::cudaVideoCodec_HEVC, hevc("idr.265", ":open-gop=0"), 320, 240, false);
}

TEST(StandinStreams, Hevc10BitMapsAsP016WithHighBits) {
  std::string path = hevc("ten.265", ":open-gop=1", "-pix_fmt yuv420p10le");
  expect_whole_stream(nv::cudaVideoCodec_HEVC, path, 320, 240, true);
  ct::Client c(api(), nv::cudaVideoCodec_HEVC);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  ASSERT_EQ(c.sequences.size(), 1u);
  EXPECT_EQ(c.sequences[0].bit_depth_luma_minus8, 2);
  EXPECT_EQ(c.sequences[0].bit_depth_chroma_minus8, 2);
}

TEST(StandinStreams, Mpeg2MatchesFfmpeg) {
  expect_whole_stream(nv::cudaVideoCodec_MPEG2, mpeg2("prog.m2v"), 320, 240, false);
}

TEST(StandinStreams, Mpeg2InterlacedKeepsFieldFlagsAndWeaves) {
  std::string path = mpeg2("inter.m2v", "-flags +ilme+ildct -top 1");
  expect_whole_stream(nv::cudaVideoCodec_MPEG2, path, 320, 240, false);
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  std::vector<std::map<std::string, std::string>> frames = tu::ffprobe_frames(path);
  ASSERT_EQ(c.shown.size(), frames.size());
  for (size_t i = 0; i < frames.size(); i++) {
    EXPECT_EQ(c.shown[i].info.progressive_frame, frames[i]["interlaced_frame"] == "1" ? 0 : 1) << i;
    EXPECT_EQ(c.shown[i].info.top_field_first, frames[i]["top_field_first"] == "1" ? 1 : 0) << i;
  }
  EXPECT_EQ(c.sequences[0].progressive_sequence, 0);
}

TEST(StandinStreams, H264MbaffKeepsFieldFlags) {
  std::string path = h264("mbaff.264", "", "-flags +ilme+ildct -top 1");
  expect_whole_stream(nv::cudaVideoCodec_H264, path, 320, 240, false);
  ct::Client c(api(), nv::cudaVideoCodec_H264);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  std::vector<std::map<std::string, std::string>> frames = tu::ffprobe_frames(path);
  ASSERT_EQ(c.shown.size(), frames.size());
  for (size_t i = 0; i < frames.size(); i++) {
    EXPECT_EQ(c.shown[i].info.progressive_frame, frames[i]["interlaced_frame"] == "1" ? 0 : 1) << i;
    EXPECT_EQ(c.shown[i].info.top_field_first, frames[i]["top_field_first"] == "1" ? 1 : 0) << i;
  }
  EXPECT_EQ(c.sequences[0].progressive_sequence, 0);
}

TEST(StandinStreams, H264SoftPulldownReportsRepeatedFields) {
  std::string path = tu::scratch("pulldown.264");
  ASSERT_EQ(tu::run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=24000/1001 -frames:v 24 "
                    "-f yuv4mpegpipe - | x264 --quiet --pulldown 32 --fake-interlaced --demuxer y4m -o " +
                    tu::q(path) + " -").status, 0);
  ct::Client c(api(), nv::cudaVideoCodec_H264);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  std::vector<std::map<std::string, std::string>> frames = tu::ffprobe_frames(path);
  ASSERT_EQ(c.shown.size(), frames.size());
  int repeats = 0;
  for (size_t i = 0; i < frames.size(); i++) {
    EXPECT_EQ(c.shown[i].info.repeat_first_field, std::atoi(frames[i]["repeat_pict"].c_str())) << i;
    repeats += c.shown[i].info.repeat_first_field;
  }
  EXPECT_GT(repeats, 0);
}

// ---- Sequence callback: coded size alignment and display area ----

// Every unit goes in its own packet stamped with the number of the access
// unit (ffprobe's packet) it belongs to: each picture displayed carries the
// stamp of its own access unit, so that the display order of the stamps is
// ffprobe's order of the frames' packets. H.264 and HEVC with B pictures
// reordered, MPEG-2 with open groups.
TEST(StandinStreams, TimestampsComeBackWithTheirPictures) {
  const struct {
    const char* name;
    nv::cudaVideoCodec codec;
    std::string path;
  } streams[] = {{"H.264", nv::cudaVideoCodec_H264, h264("ts.264", ":open-gop=1")},
                 {"HEVC", nv::cudaVideoCodec_HEVC, hevc("ts.265", "")},
                 {"MPEG-2", nv::cudaVideoCodec_MPEG2, mpeg2("ts.m2v")}};
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    ASSERT_FALSE(s.path.empty());
    const std::vector<ct::ProbePacket> packets = ct::probe_packets(s.path);
    ASSERT_FALSE(packets.empty());
    std::vector<uint64_t> starts;
    for (const auto& p : packets) starts.push_back(p.pos);
    std::vector<long long> want;
    const tu::RunResult r = tu::run("ffprobe -v error -select_streams v:0 -show_entries frame=pkt_pos -of csv=p=0 " +
                                    tu::q(s.path));
    for (const std::string& l : tu::lines(r.out)) {
      if (l.empty()) continue;
      const auto at = std::find(starts.begin(), starts.end(), std::stoull(l));
      ASSERT_NE(at, starts.end()) << l;
      want.push_back(1 + (at - starts.begin()));
    }
    const std::vector<uint8_t> es = tu::read_file(s.path);
    ct::Client c(api(), s.codec);
    auto stamp = [&](size_t pos) {
      return 1 + (std::upper_bound(starts.begin(), starts.end(), uint64_t(pos)) - starts.begin()) - 1;
    };
    size_t start = 0;
    for (size_t i = 3; i + 3 <= es.size(); i++) {
      if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
        c.feed_packet(es.data() + start, i - start, nv::CUVID_PKT_TIMESTAMP, stamp(start));
        start = i;
        i += 2;
      }
    }
    c.feed_packet(es.data() + start, es.size() - start, nv::CUVID_PKT_TIMESTAMP, stamp(start));
    c.end_of_stream();
    EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
    std::vector<long long> got;
    for (const auto& shown : c.shown) got.push_back(shown.info.timestamp);
    EXPECT_EQ(got, want);
  }
}

TEST(StandinStreams, CodedSizeIsAlignedAndDisplayAreaCropped) {
  struct Case {
    nv::cudaVideoCodec codec;
    std::string path;
    unsigned coded_w, coded_h;
  };
  // 232 rows: 15 macroblock rows of 16 (240), 4 CTB rows of 64 (256).
  std::vector<Case> cases = {
      {nv::cudaVideoCodec_H264, h264("crop.264", "", "", "320x232"), 320, 240},
      {nv::cudaVideoCodec_HEVC, hevc("crop.265", ":ctu=64", "", "320x232"), 320, 256},
      {nv::cudaVideoCodec_HEVC, hevc("crop32.265", ":ctu=32", "", "320x232"), 320, 256},
      {nv::cudaVideoCodec_HEVC, hevc("crop16.265", ":ctu=16:min-cu-size=8", "", "312x232"), 320, 240},
      {nv::cudaVideoCodec_MPEG2,
       make("crop.m2v", "-f lavfi -i testsrc2=size=312x232:rate=25 -frames:v 6 -c:v mpeg2video -f mpeg2video"), 320, 240},
  };
  for (const Case& k : cases) {
    ASSERT_FALSE(k.path.empty());
    std::map<std::string, std::string> st = tu::ffprobe_stream(k.path);
    int w = std::atoi(st["width"].c_str()), h = std::atoi(st["height"].c_str());
    ct::Client c(api(), k.codec);
    c.feed_units(tu::read_file(k.path));
    c.end_of_stream();
    ASSERT_EQ(c.sequences.size(), 1u) << k.path;
    const nv::CUVIDEOFORMAT& f = c.sequences[0];
    EXPECT_EQ(f.coded_width, k.coded_w) << k.path;
    EXPECT_EQ(f.coded_height, k.coded_h) << k.path;
    EXPECT_EQ(f.display_area.left, 0) << k.path;
    EXPECT_EQ(f.display_area.top, 0) << k.path;
    EXPECT_EQ(f.display_area.right, w) << k.path;
    EXPECT_EQ(f.display_area.bottom, h) << k.path;
    EXPECT_EQ(f.chroma_format, nv::cudaVideoChromaFormat_420) << k.path;
    EXPECT_EQ(f.codec, k.codec);
    // And the pictures, cropped to the display area, are ffmpeg's.
    std::vector<ct::RefFrame> ref = ct::reference_decode(k.path, w, h, false);
    ASSERT_EQ(c.shown.size(), ref.size()) << k.path;
    for (size_t i = 0; i < ref.size(); i++) EXPECT_TRUE(same_picture(c.shown[i], ref[i])) << k.path << " picture " << i;
  }
}

// ---- Surfaces ----

TEST(StandinStreams, SurfacesAreReusedWithinTheirCount) {
  std::string path = h264("closed.264", "");
  ASSERT_FALSE(path.empty());
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  for (unsigned surfaces : {8u, 20u}) {
    ct::Options o;
    o.surfaces = surfaces;
    o.two_slot_queue = true;
    ct::Client c(api(), nv::cudaVideoCodec_H264, o);
    c.feed_units(tu::read_file(path));
    c.end_of_stream();
    EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
    ASSERT_EQ(c.shown.size(), ref.size());
    for (size_t i = 0; i < ref.size(); i++) EXPECT_TRUE(same_picture(c.shown[i], ref[i])) << "picture " << i;
    // 40 pictures through `surfaces` indices: the parser cycles through all
    // of them, and reuses them.
    std::vector<int> uses(surfaces, 0);
    for (int idx : c.decoded) {
      ASSERT_GE(idx, 0);
      ASSERT_LT(idx, static_cast<int>(surfaces));
      uses[static_cast<size_t>(idx)]++;
    }
    EXPECT_GT(*std::min_element(uses.begin(), uses.end()), 0);
    EXPECT_GT(*std::max_element(uses.begin(), uses.end()), 1);
  }
}

// ---- Display delay and end of stream ----

TEST(StandinStreams, DisplayDelayHoldsExactlyThatManyPictures) {
  std::string path = hevc("cra.265", ":open-gop=1");
  ASSERT_FALSE(path.empty());
  std::vector<uint8_t> es = tu::read_file(path);
  auto before_end = [&](unsigned delay) {
    ct::Options o;
    o.delay = delay;
    ct::Client c(api(), nv::cudaVideoCodec_HEVC, o);
    c.feed_units(es);
    size_t n = c.shown.size();
    c.end_of_stream();
    EXPECT_EQ(c.shown.size(), 40u);
    return n;
  };
  size_t d0 = before_end(0), d2 = before_end(2), d4 = before_end(4);
  EXPECT_GT(d0, 30u);
  EXPECT_EQ(d2, d0 - 2);
  EXPECT_EQ(d4, d0 - 4);
}

TEST(StandinStreams, EndOfStreamShowsEverythingHeldAndParsingGoesOn) {
  std::string path = mpeg2("prog.m2v");
  ASSERT_FALSE(path.empty());
  std::vector<uint8_t> es = tu::read_file(path);
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2);
  c.feed_units(es);
  size_t before = c.shown.size();
  EXPECT_LT(before, ref.size());
  c.end_of_stream();
  ASSERT_EQ(c.shown.size(), ref.size());
  for (size_t i = before; i < c.shown.size(); i++) EXPECT_TRUE(c.shown[i].at_end);
  // The same parser takes a second pass of the whole stream.
  c.feed_units(es);
  c.end_of_stream();
  ASSERT_EQ(c.shown.size(), 2 * ref.size());
  for (size_t i = 0; i < ref.size(); i++) EXPECT_TRUE(same_picture(c.shown[ref.size() + i], ref[i])) << i;
}

// ---- Parser re-created at a group start (the plugin's seek) ----

struct Group {
  uint64_t pos;        // byte position of the group's first unit
  size_t decode_index; // number of pictures before it in decode order
};

std::vector<Group> key_packets(const std::string& path) {
  std::vector<Group> g;
  std::vector<ct::ProbePacket> p = ct::probe_packets(path);
  for (size_t i = 0; i < p.size(); i++)
    if (p[i].key) g.push_back(Group{p[i].pos, i});
  return g;
}

// Feeds the parameter-set units before `pos` and everything from `pos` on
// to a freshly created parser of a client that decoded something else first.
void seek_and_feed(ct::Client& c, nv::cudaVideoCodec codec, const std::vector<uint8_t>& es, uint64_t pos,
                   bool parameter_sets_from_start) {
  c.recreate_parser();
  if (parameter_sets_from_start) {
    std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
    for (size_t k = 0; k + 1 < units.size() && units[k].pos < pos; k++) {
      uint8_t code = units[k].code;
      bool avc_ps = (code & 31) == 7 || (code & 31) == 8;
      bool hevc_ps = ((code >> 1) & 63) >= 32 && ((code >> 1) & 63) <= 34;
      if (codec == nv::cudaVideoCodec_H264 ? avc_ps : hevc_ps)
        c.feed_units(es.data() + units[k].pos, units[k + 1].pos - units[k].pos);
    }
  }
  c.feed_units(es.data() + pos, es.size() - pos);
  c.end_of_stream();
}

TEST(StandinStreams, H264OpenGroupAfterSeekShowsLeadingPicturesToo) {
  std::string path = h264("open.264", ":open-gop=1");
  ASSERT_FALSE(path.empty());
  std::vector<uint8_t> es = tu::read_file(path);
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  std::vector<Group> groups = key_packets(path);
  ASSERT_GE(groups.size(), 3u);
  size_t fed = ref.size() - groups[1].decode_index;
  ct::Options o;
  o.two_slot_queue = true;
  ct::Client c(api(), nv::cudaVideoCodec_H264, o);
  c.feed_units(es);
  c.end_of_stream();
  size_t first = c.shown.size();
  seek_and_feed(c, nv::cudaVideoCodec_H264, es, groups[1].pos, true);
  EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
  // One display per picture fed, leading B pictures included; the group's
  // pictures from its I picture on in display order are exact.
  ASSERT_EQ(c.shown.size() - first, fed);
  std::vector<std::map<std::string, std::string>> frames = tu::ffprobe_frames(path);
  ASSERT_EQ(frames.size(), ref.size());
  size_t leading = 0;
  for (size_t i = ref.size() - fed; i < ref.size() && frames[i]["pict_type"] == "B"; i++) leading++;
  EXPECT_GT(leading, 0u) << "the stream has no leading B pictures to test";
  for (size_t i = leading; i < fed; i++)
    EXPECT_TRUE(same_picture(c.shown[first + i], ref[ref.size() - fed + i])) << "picture " << i << " after the seek";
}

TEST(StandinStreams, Mpeg2OpenGroupAfterSeekShowsGreyLeadingPictures) {
  std::string path = mpeg2("prog.m2v");
  ASSERT_FALSE(path.empty());
  std::vector<uint8_t> es = tu::read_file(path);
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  std::vector<Group> groups = key_packets(path);
  ASSERT_GE(groups.size(), 3u);
  // The group's sequence header precedes its I picture packet in the stream.
  std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
  uint64_t pos = groups[1].pos;
  for (const tu::ScanUnit& u : units)
    if (u.code == 0xB3 && u.pos <= groups[1].pos) pos = u.pos;
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2);
  seek_and_feed(c, nv::cudaVideoCodec_MPEG2, es, pos, false);
  size_t fed = ref.size() - groups[1].decode_index;
  ASSERT_EQ(c.shown.size(), fed);
  // ffmpeg's encoder puts two B pictures before each later I picture in display order.
  const size_t leading = 2;
  for (size_t i = 0; i < leading; i++) {
    for (uint16_t s : c.shown[i].y) ASSERT_EQ(s, 128) << "leading picture " << i << " is not grey";
  }
  for (size_t i = leading; i < fed; i++)
    EXPECT_TRUE(same_picture(c.shown[i], ref[ref.size() - fed + i])) << "picture " << i << " after the seek";
}

// A group of a stream whose only sequence header stands at its start: fed
// from its GOP header alone, the parser has no format and makes no callback;
// with the sequence header and its extension fed before, every picture fed
// is shown as ffmpeg decodes it.
TEST(StandinStreams, Mpeg2GroupNeedsTheSequenceHeaderFedBeforeIt) {
  if (!tu::have("mpeg2enc")) GTEST_SKIP() << "mpeg2enc not installed";
  const std::string path = tu::scratch("one.m2v");
  ASSERT_EQ(tu::run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x128:rate=25 -frames:v 24 -pix_fmt yuv420p "
                    "-f yuv4mpegpipe - | mpeg2enc -v 0 -f 3 -b 1000 -G 12 -g 12 -o " + tu::q(path)).status, 0);
  const std::vector<uint8_t> es = tu::read_file(path);
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 160, 128, false);
  ASSERT_EQ(ref.size(), 24u);
  std::vector<uint64_t> sequence, gop;
  for (const tu::ScanUnit& u : tu::scan_start_codes(es)) {
    if (u.code == 0xB3) sequence.push_back(u.pos);
    if (u.code == 0xB8) gop.push_back(u.pos);
  }
  ASSERT_EQ(sequence.size(), 1u);
  ASSERT_EQ(gop.size(), 2u);
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2);
  seek_and_feed(c, nv::cudaVideoCodec_MPEG2, es, gop[1], false);
  EXPECT_TRUE(c.sequences.empty());
  EXPECT_TRUE(c.decoded.empty());
  EXPECT_TRUE(c.shown.empty());
  c.recreate_parser();
  c.feed_units(es.data() + sequence[0], gop[0] - sequence[0]);
  c.feed_units(es.data() + gop[1], es.size() - gop[1]);
  c.end_of_stream();
  EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
  ASSERT_EQ(c.shown.size(), 12u);
  for (size_t i = 0; i < 12; i++) EXPECT_TRUE(same_picture(c.shown[i], ref[12 + i])) << "picture " << i;
}

TEST(StandinStreams, HevcCraAfterSeekDropsItsRaslPictures) {
  std::string path = hevc("cra.265", ":open-gop=1");
  ASSERT_FALSE(path.empty());
  std::vector<uint8_t> es = tu::read_file(path);
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  // Independent view of the pictures: a start-code scan for slice units.
  std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
  std::vector<std::pair<uint64_t, int>> pictures;  // position, nal_unit_type
  for (const tu::ScanUnit& u : units) {
    int type = (u.code >> 1) & 63;
    if (type < 32) pictures.push_back({u.pos, type});
  }
  ASSERT_EQ(pictures.size(), ref.size());
  size_t cra = 0;
  for (size_t i = 1; i < pictures.size() && !cra; i++)
    if (pictures[i].second == 21) cra = i;
  ASSERT_GT(cra, 0u) << "no second CRA picture";
  size_t rasl = 0;
  for (size_t i = cra + 1; i < pictures.size() && (pictures[i].second == 8 || pictures[i].second == 9); i++) rasl++;
  EXPECT_GT(rasl, 0u);
  // The CRA's access unit may begin with other units (AUD, SEI): start at
  // the first unit after the previous picture's slice.
  uint64_t pos = pictures[cra].first;
  for (const tu::ScanUnit& u : units)
    if (u.pos > pictures[cra - 1].first && u.pos < pos) {
      pos = u.pos;
      break;
    }
  ct::Client c(api(), nv::cudaVideoCodec_HEVC);
  seek_and_feed(c, nv::cudaVideoCodec_HEVC, es, pos, true);
  EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
  size_t fed = pictures.size() - cra;
  EXPECT_EQ(c.decoded.size(), fed - rasl);
  ASSERT_EQ(c.shown.size(), fed - rasl);
  // What is shown is the tail of ffmpeg's decode.
  for (size_t i = 0; i < c.shown.size(); i++)
    EXPECT_TRUE(same_picture(c.shown[i], ref[ref.size() - c.shown.size() + i])) << "picture " << i << " after the seek";
}

// ---- Crop, resize, deinterlace at map time ----

TEST(StandinStreams, CropWithoutResizeIsTheReferenceCut) {
  std::string path = h264("closed.264", "");
  ASSERT_FALSE(path.empty());
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  ct::Options o;
  o.cl = 8;
  o.cr = 16;
  o.ct = 4;
  o.cb = 12;
  ct::Client c(api(), nv::cudaVideoCodec_H264, o);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  ASSERT_EQ(c.shown.size(), ref.size());
  const int w = 320 - 8 - 16, h = 240 - 4 - 12;
  for (size_t i = 0; i < ref.size(); i++) {
    ASSERT_EQ(c.shown[i].width, w);
    ASSERT_EQ(c.shown[i].height, h);
    ct::RefFrame cut;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) cut.y.push_back(ref[i].y[static_cast<size_t>(y + 4) * 320 + x + 8]);
    for (int y = 0; y < h / 2; y++)
      for (int x = 0; x < w / 2; x++) {
        cut.u.push_back(ref[i].u[static_cast<size_t>(y + 2) * 160 + x + 4]);
        cut.v.push_back(ref[i].v[static_cast<size_t>(y + 2) * 160 + x + 4]);
      }
    EXPECT_TRUE(same_picture(c.shown[i], cut)) << "picture " << i;
  }
}

TEST(StandinStreams, ResizeDeliversTargetSizeCloseToScaledReference) {
  std::string path = h264("closed.264", "");
  ASSERT_FALSE(path.empty());
  std::string small = tu::scratch("small.yuv");
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(path) + " -vf scale=160:120:flags=bilinear -f rawvideo -pix_fmt yuv420p " +
                         tu::q(small)));
  std::vector<uint8_t> raw = tu::read_file(small);
  ct::Options o;
  o.rw = 160;
  o.rh = 120;
  ct::Client c(api(), nv::cudaVideoCodec_H264, o);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  ASSERT_EQ(c.shown.size() * 160 * 120 * 3 / 2, raw.size());
  for (size_t i = 0; i < c.shown.size(); i++) {
    ASSERT_EQ(c.shown[i].width, 160);
    ASSERT_EQ(c.shown[i].height, 120);
    std::vector<uint16_t> y(raw.begin() + static_cast<long>(i * 28800), raw.begin() + static_cast<long>(i * 28800 + 19200));
    EXPECT_LT(ct::mad(c.shown[i].y, y), 6.0) << "picture " << i;
  }
}

TEST(StandinStreams, DeinterlacerBuildsTheChosenField) {
  std::string path = mpeg2("inter.m2v", "-flags +ilme+ildct -top 1");
  ASSERT_FALSE(path.empty());
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 240, false);
  // Reference fields, each line doubled to full height.
  auto doubled = [&](const ct::RefFrame& f, int parity) {
    std::vector<uint16_t> y;
    for (int r = 0; r < 240; r++) {
      int src = (r / 2) * 2 + parity;
      y.insert(y.end(), f.y.begin() + src * 320, f.y.begin() + (src + 1) * 320);
    }
    return y;
  };
  for (int second : {0, 1}) {
    ct::Options o;
    o.deinterlace = nv::cudaVideoDeinterlaceMode_Adaptive;
    o.second_field = second;
    ct::Client c(api(), nv::cudaVideoCodec_MPEG2, o);
    c.feed_units(tu::read_file(path));
    c.end_of_stream();
    ASSERT_EQ(c.shown.size(), ref.size());
    for (size_t i = 0; i < ref.size(); i++) {
      ASSERT_EQ(c.shown[i].height, 240);
      ASSERT_EQ(c.shown[i].info.top_field_first, 1);
      // Top field first: the first field is the top one (parity 0).
      double own = ct::mad(c.shown[i].y, doubled(ref[i], second));
      double other = ct::mad(c.shown[i].y, doubled(ref[i], 1 - second));
      EXPECT_LT(own, other) << "picture " << i << " second_field " << second;
    }
  }
  // A progressive map of the same decoder weaves: the reference exactly.
  ct::Options o;
  o.deinterlace = nv::cudaVideoDeinterlaceMode_Adaptive;
  o.force_progressive = true;
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2, o);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  ASSERT_EQ(c.shown.size(), ref.size());
  for (size_t i = 0; i < ref.size(); i++) EXPECT_TRUE(same_picture(c.shown[i], ref[i])) << i;
}

}  // namespace

namespace {

// VC-1 from the shared real sample (no encoder here makes VC-1): the first
// frames, cut at a frame start code, against ffmpeg's decode of the same cut.
TEST(StandinStreams, Vc1MatchesFfmpegAndKeepsPulldownFlags) {
  std::string sample = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.vc1";
  if (!tu::exists(sample)) GTEST_SKIP() << "no shared VC-1 sample";
  std::vector<uint8_t> es = tu::read_file(sample);
  std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
  size_t frames = 0;
  uint64_t cut = es.size();
  for (const tu::ScanUnit& u : units)
    if (u.code == 0x0D && ++frames == 13) {
      cut = u.pos;
      break;
    }
  ASSERT_LT(cut, es.size());
  std::string path = tu::scratch("head.vc1");
  tu::write_file(path, std::vector<uint8_t>(es.begin(), es.begin() + static_cast<long>(cut)));
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 1920, 1080, false);
  ASSERT_GE(ref.size(), 10u);
  ct::Client c(api(), nv::cudaVideoCodec_VC1);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  EXPECT_TRUE(c.errors.empty()) << joined(c.errors);
  ASSERT_EQ(c.sequences.size(), 1u);
  EXPECT_EQ(c.sequences[0].coded_width, 1920u);
  EXPECT_EQ(c.sequences[0].coded_height, 1088u);
  EXPECT_EQ(c.sequences[0].display_area.right, 1920);
  EXPECT_EQ(c.sequences[0].display_area.bottom, 1080);
  ASSERT_EQ(c.shown.size(), ref.size());
  std::vector<std::map<std::string, std::string>> probe = tu::ffprobe_frames(path);
  ASSERT_EQ(probe.size(), ref.size());
  for (size_t i = 0; i < ref.size(); i++) {
    EXPECT_TRUE(same_picture(c.shown[i], ref[i])) << "picture " << i;
    EXPECT_EQ(c.shown[i].info.repeat_first_field, std::atoi(probe[i]["repeat_pict"].c_str())) << i;
    EXPECT_EQ(c.shown[i].info.top_field_first, probe[i]["top_field_first"] == "1" ? 1 : 0) << i;
  }
}

}  // namespace

namespace {

TEST(StandinStreams, Mpeg2SoftPulldownReportsRepeatedFields) {
  std::string path = tu::scratch("pulldown.m2v");
  ASSERT_EQ(tu::run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x256:rate=24000/1001 -frames:v 24 -pix_fmt yuv420p "
                    "-f yuv4mpegpipe - | mpeg2enc -v 0 -f 3 -b 2000 -p -o " + tu::q(path)).status, 0);
  std::vector<ct::RefFrame> ref = ct::reference_decode(path, 320, 256, false);
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  std::vector<std::map<std::string, std::string>> frames = tu::ffprobe_frames(path);
  ASSERT_EQ(c.shown.size(), frames.size());
  ASSERT_EQ(c.shown.size(), ref.size());
  int repeats = 0;
  for (size_t i = 0; i < frames.size(); i++) {
    EXPECT_EQ(c.shown[i].info.repeat_first_field, std::atoi(frames[i]["repeat_pict"].c_str())) << i;
    EXPECT_EQ(c.shown[i].info.top_field_first, frames[i]["top_field_first"] == "1" ? 1 : 0) << i;
    EXPECT_TRUE(same_picture(c.shown[i], ref[i])) << "picture " << i;
    repeats += c.shown[i].info.repeat_first_field;
  }
  EXPECT_EQ(repeats, 12);
}

}  // namespace
