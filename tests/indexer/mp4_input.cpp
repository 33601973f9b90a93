// MP4 input end to end: the elementary streams of the Matroska tests,
// put into MP4 by ffmpeg (from mkvmerge's Matroska, since a raw stream with
// reordered pictures has no times to remux) with the index at the end and
// at the front, HEVC as hvc1 and as hev1. The picture and group lines must
// equal those of the elementary stream's index but for the positions,
// which are sample times: every group position is the decode time of a
// sync sample ffprobe reports. CODED is the sample count. The units the
// adapter delivers are those of ffmpeg's MP4-to-Annex B filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "../../mp4/mp4.h"  // the library's, beside the indexer's mp4.h
#include "mp4video.h"
#include "testutil.h"
#include "timed_inputs.h"

namespace {

using namespace timed;

struct Form {
  const char* name;
  std::string make;  // from ES to OUT
  bool hevc_only = false;
};

const std::vector<Form>& Forms() {
  static const std::string remux = "mkvmerge -q -o OUT.src.mkv ES && ffmpeg -v error -y -i OUT.src.mkv -c copy ";
  static const std::vector<Form> f = {
      {"index at the end", remux + "OUT"},
      {"index at the front", remux + "-movflags +faststart OUT"},
      {"hev1", remux + "-tag:v hev1 OUT", true},
  };
  return f;
}

bool IsHevc(const Source& s) { return std::string(s.file).find(".265") != std::string::npos; }

// The picture units of an Annex B stream, each as its bytes after the start
// code without trailing zeros. Other units are left out: ffmpeg's filters
// repeat the configuration's units (HEVC: its SEI too) before every
// random-access picture, the adapter places its parameter sets once.
std::vector<std::string> Units(const std::vector<uint8_t>& es, bool hevc) {
  std::vector<std::string> out;
  const auto scan = tu::scan_start_codes(es);
  for (size_t i = 0; i < scan.size(); ++i) {
    size_t from = scan[i].pos + 3, to = i + 1 < scan.size() ? scan[i + 1].pos : es.size();
    while (to > from && es[to - 1] == 0) --to;
    const int type = hevc ? (scan[i].code >> 1) & 63 : scan[i].code & 31;
    if (hevc ? type >= 32 : (type < 1 || type > 5)) continue;
    out.emplace_back(es.begin() + long(from), es.begin() + long(to));
  }
  return out;
}

TEST(Mp4Input, PicturesGroupsAndUnitsEqualTheElementaryStreams) {
  for (const Source& s : Sources()) {
    if (std::string(s.name).find("MPEG-2 soft") != std::string::npos) continue;  // ffmpeg keeps no mp4v rate there
    const std::string es = Es(s);
    const std::vector<std::string> want = Shape(tu::index_lines(es, es + ".kwi"), nullptr);
    ASSERT_GT(want.size(), 10u) << s.name;
    int form_no = 0;
    for (const Form& f : Forms()) {
      if (f.hevc_only && !IsHevc(s)) continue;
      const std::string what = std::string(s.name) + ", " + f.name;
      const std::string mp4 = es + "." + std::to_string(form_no++) + ".mp4";
      ASSERT_EQ(tu::run(Replace(Replace(f.make, "OUT", tu::q(mp4)), "ES", tu::q(es)) + " 2>&1").status, 0) << what;

      tu::RunResult run;
      const std::vector<std::string> lines = tu::index_lines(mp4, mp4 + ".kwi", &run);
      ASSERT_EQ(run.status, 0) << what << ": " << run.out;
      std::vector<uint64_t> positions;
      EXPECT_EQ(Shape(lines, &positions), want) << what;
      EXPECT_EQ(tu::kwi_value(lines, "STREAM"), "4 0") << what;
      // Sample times count from the track's start; ffprobe moves them by the
      // edit list unless told not to.
      const Packets p = Probe(mp4, "dts", 1, "-ignore_editlist 1");
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(p.count)) << what;
      ASSERT_FALSE(positions.empty()) << what;
      for (uint64_t t : positions) EXPECT_EQ(p.key_times.count(t), 1u) << what << ": group at " << t;
      EXPECT_TRUE(tu::exists(mp4 + ".log")) << what << ": stream report";

      // MPEG-2 and soft pulldown: no filter to compare.
      if (std::string(s.file).find(".m2v") != std::string::npos || s.file[0] == 'p') continue;
      // The units, against ffmpeg's filter of the same file.
      const bool hevc = IsHevc(s);
      const std::string annexb = mp4 + (hevc ? ".265" : ".264");
      ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(mp4) + " -c:v copy -bsf:v " + (hevc ? "hevc" : "h264") +
                             "_mp4toannexb -f " + (hevc ? "hevc " : "h264 ") + tu::q(annexb)));
      tu::RunResult dump;
      tu::unitdump("-w " + tu::q(mp4 + ".units") + " " + tu::q(mp4), &dump);
      ASSERT_EQ(dump.status, 0) << what << ": " << dump.out.substr(0, 500);
      const auto got = Units(tu::read_file(mp4 + ".units"), hevc);
      EXPECT_EQ(got.size(), Units(tu::read_file(annexb), hevc).size()) << what;
      EXPECT_TRUE(got == Units(tu::read_file(annexb), hevc)) << what << ": units differ from ffmpeg's filter";
    }
  }
}

// The conversion of a sample with 1-, 2- and 4-byte unit lengths (which
// ffmpeg does not write): the first unit behind 00 00 00 01 in a fresh
// buffer and behind no start code after one, the others behind 00 00 01; a
// length that runs past the sample ends the walk.
TEST(Mp4Input, SampleLengthFieldsOfEverySize) {
  const std::string a = "\x65\x88\x84", b = "\x41\x9a";
  for (unsigned size : {1u, 2u, 4u}) {
    auto field = [&](size_t n) { return std::string(size - 1, '\0') + char(n); };
    const std::string sample = field(a.size()) + a + field(b.size()) + b + field(9) + "\x01";
    uint8_t out[64];
    long n = Mp4SampleToStartCodes(MP4_VIDEO_AVC, size, reinterpret_cast<const uint8_t*>(sample.data()), sample.size(),
                                   true, out, sizeof out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size_t(std::max(0L, n))),
              std::string("\0\0\0\1", 4) + a + std::string("\0\0\1", 3) + b)
        << size;
    n = Mp4SampleToStartCodes(MP4_VIDEO_AVC, size, reinterpret_cast<const uint8_t*>(sample.data()), sample.size(), false,
                              out, sizeof out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size_t(std::max(0L, n))), a + std::string("\0\0\1", 3) + b)
        << size;
    // Too small an output is refused, never overrun.
    EXPECT_EQ(Mp4SampleToStartCodes(MP4_VIDEO_AVC, size, reinterpret_cast<const uint8_t*>(sample.data()), sample.size(),
                                    true, out, 5),
              -1);
  }
}

// Samples of every shape through the adapter, written by the library with
// 4-, 2- and 1-byte unit lengths: an empty unit, units holding a start code
// or ending in zero bytes, bytes after the last unit too few for a length, a
// length that runs past the sample, a sample without a whole unit. The units
// delivered are those of the start-code stream the samples stand for: the
// parameter sets, the first unit behind 00 00 00 01, every later unit behind
// 00 00 01, a sample without units left out.
TEST(Mp4Input, UnitsOfOddSamplesAreThoseOfTheirStartCodeStream) {
  struct Sample {
    std::vector<std::string> units;
    bool short_rest, overlong;  // after the units: fewer bytes than a length, a length past the end
  };
  const std::string idr("\x65\x88\x84\x00\x00\x01\x25\xff", 8), slice("\x41\x9a\x02\x00\x00", 5);
  // Long enough for the scan's wide steps: zero pairs without 01, a start
  // code in a later block.
  std::string wide = "\x41\x9a" + std::string(240, '\xaa');
  wide.replace(70, 3, std::string("\0\0\2", 3));
  wide.replace(100, 2, std::string("\0\0", 2));
  wide.replace(163, 4, std::string("\0\0\1\x21", 4));
  const std::vector<Sample> samples = {
      {{std::string("\x06\x05\x01\x80", 4), idr}, false, false},
      {{"", slice, std::string("\x01\x9e\x00\x00\x03\x01", 6)}, true, false},
      {{}, false, true},
      {{slice}, false, true},
      {{"", std::string("\x41\x9b\x55", 3)}, false, false},
      {{slice, wide, wide.substr(0, 140)}, false, false},
  };
  const std::string sps("\x67\x64\x00\x28\xac", 5), pps("\x68\xee\x3c\x80", 4);
  const std::string sc3("\0\0\1", 3), sc4("\0\0\0\1", 4);
  for (unsigned size : {4u, 2u, 1u}) {
    auto field = [&](size_t n) {
      std::string f;
      for (unsigned i = size; i-- > 0;) f += char(n >> (8 * i));
      return f;
    };
    const std::string mp4 = Dir() + "odd." + std::to_string(size) + ".mp4";
    MP4FileHandle h = MP4Create(mp4.c_str(), 0, 0);
    ASSERT_NE(h, nullptr);
    const uint32_t track = MP4AddH264VideoTrack(h, 25, 1, 64, 64, 100, 0, 40, uint8_t(size - 1));
    MP4AddH264SequenceParameterSet(h, track, reinterpret_cast<const uint8_t*>(sps.data()), uint16_t(sps.size()));
    MP4AddH264PictureParameterSet(h, track, reinterpret_cast<const uint8_t*>(pps.data()), uint16_t(pps.size()));
    std::string stream = sc4 + sps + sc4 + pps;
    bool first = true;
    for (const Sample& s : samples) {
      std::string bytes;
      for (const std::string& u : s.units) bytes += field(u.size()) + u;
      if (s.short_rest) bytes += std::string(size, '\x07');
      if (s.overlong) bytes += field(200) + "\x41\x9a";
      const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
      ASSERT_TRUE(MP4WriteSample(h, track, data, uint32_t(bytes.size()), 1, 0, true));
      if (s.units.empty()) continue;
      // A sample's last unit ends at the next sample's first (the end of
      // the track ends the last).
      for (size_t i = 0; i < s.units.size(); ++i) stream += (i || !first ? sc3 : sc4) + s.units[i];
      first = false;
    }
    MP4Close(h);

    const std::vector<uint8_t> es(stream.begin(), stream.end());
    std::vector<std::string> want_units;
    std::vector<std::tuple<unsigned, uint32_t, int>> want;
    for (const tu::DumpUnit& u : tu::expected_units(es, true)) {
      want.emplace_back(u.code, u.len, u.prefix);
      want_units.push_back(stream.substr(size_t(u.pos), u.len));
    }
    tu::RunResult run;
    const auto dump = tu::unitdump("-w " + tu::q(mp4 + ".units") + " " + tu::q(mp4), &run);
    ASSERT_EQ(run.status, 0) << size << ": " << run.out;
    std::vector<std::tuple<unsigned, uint32_t, int>> got;
    for (const tu::DumpUnit& u : dump) got.emplace_back(u.code, u.len, u.prefix);
    EXPECT_EQ(got, want) << size;
    const std::vector<uint8_t> written = tu::read_file(mp4 + ".units");
    std::string joined;
    for (const std::string& u : want_units) joined += u;
    EXPECT_EQ(std::string(written.begin(), written.end()), joined) << size;
  }
}

TEST(Mp4Input, RefusalsExitWithTheirMessages) {
  const std::string es = Es(Sources()[0]);
  struct Case {
    const char* name;
    std::string make;  // writes OUT
    const char* message;
  };
  const std::string pattern = "ffmpeg -v error -y -f lavfi -i testsrc=size=160x128:rate=25 -t 1 ";
  const std::vector<Case> cases = {
      {"fragmented", pattern + "-c:v libx264 -movflags +frag_keyframe+empty_moov+default_base_moof OUT",
       "This is a fragmented MP4 file (its samples are in movie fragments), which cannot be indexed. Remux it into "
       "an unfragmented file and index that: ffmpeg -i in.mp4 -c copy out.mp4\n"},
      {"audio only", "ffmpeg -v error -y -f lavfi -i sine -t 1 -c:a aac OUT",
       "Could not find a supported video track (need AVC/MPEG2/VC1/HEVC)."},
      {"MPEG-4 part 2", pattern + "-c:v mpeg4 OUT", "Could not find a supported video track (need AVC/MPEG2/VC1/HEVC)."},
      {"MPEG-1 (mp4v 0x6A)", pattern + "-c:v mpeg1video OUT",
       "Could not find a supported video track (need AVC/MPEG2/VC1/HEVC)."},
  };
  for (const Case& c : cases) {
    const std::string mp4 = Dir() + "refused." + std::to_string(&c - cases.data()) + ".mp4";
    ASSERT_EQ(tu::run(Replace(c.make, "OUT", tu::q(mp4)) + " 2>&1").status, 0) << c.name;
    const tu::RunResult r = tu::ostrel("-i " + tu::q(mp4) + " -o " + tu::q(mp4 + ".kwi"));
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << ": " << r.out;
    EXPECT_FALSE(tu::exists(mp4 + ".kwi")) << c.name;
  }
  // What the message says to do is enough.
  const std::string fragmented = Dir() + "refused.0.mp4", remuxed = Dir() + "remuxed.mp4";
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(fragmented) + " -c copy " + tu::q(remuxed)));
  const tu::RunResult remux = tu::ostrel("-i " + tu::q(remuxed) + " -o " + tu::q(remuxed + ".kwi"));
  EXPECT_EQ(remux.status, 0) << remux.out;
  EXPECT_EQ(tu::kwi_value(tu::kwi_lines(remuxed + ".kwi"), "CODED"), "25");

  // A file type box, then no box tree: bytes that are no box at all.
  const std::string garbage = Dir() + "garbage.mp4";
  std::string bytes = std::string("\0\0\0\x10" "ftypisom\0\0\0\0", 16) + std::string(200, '\xEE');
  tu::write_file(garbage, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  tu::RunResult g = tu::ostrel("-i " + tu::q(garbage) + " -o " + tu::q(garbage + ".kwi"));
  EXPECT_EQ(g.status, 1) << g.out;
  EXPECT_NE(g.out.find("Could not parse the MP4 file."), std::string::npos) << g.out;

  // dvh1: taken for HEVC, but the walk to the configuration finds no hvc1
  // or hev1 entry. The sample entry's type is patched in ffmpeg's file.
  const std::string hevc = Dir() + "dvh1.mp4";
  ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(hevc + ".mkv") + " " + tu::q(Es(Sources()[4])) +
                    " && ffmpeg -v error -y -i " + tu::q(hevc + ".mkv") + " -c copy -tag:v hvc1 " + tu::q(hevc))
                .status,
            0);
  std::vector<uint8_t> b = tu::read_file(hevc);
  const uint8_t stsd[] = {'s', 't', 's', 'd'}, hvc1[] = {'h', 'v', 'c', '1'};
  const auto at = std::search(std::search(b.begin(), b.end(), stsd, stsd + 4), b.end(), hvc1, hvc1 + 4);
  ASSERT_NE(at, b.end());
  std::copy_n("dvh1", 4, at);
  tu::write_file(hevc, b);
  const tu::RunResult r = tu::ostrel("-i " + tu::q(hevc) + " -o " + tu::q(hevc + ".kwi"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Could not parse the MP4 file."), std::string::npos) << r.out;
}

}  // namespace
