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
#include <cstring>
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

// The index from its keyword header on: all but the input file's line.
std::vector<std::string> FromHeader(const std::vector<std::string>& lines) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind("DEVICE", 0) == 0) return std::vector<std::string>(lines.begin() + long(i), lines.end());
  return {};
}

// Indexes a file and its altered copy, both with status 0; the copy's lines
// go to *got, and from the header on they must equal the original's (the
// input file's line differs).
void IndexLikeTheOriginal(const std::string& original, const std::string& copy, std::vector<std::string>* got) {
  tu::RunResult r;
  const std::vector<std::string> want = tu::index_lines(original, original + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  *got = tu::index_lines(copy, copy + ".kwi", &r);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(FromHeader(*got), FromHeader(want));
}

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}
// Calls f(type, box start, box end) for each box of 32-bit size in
// [from, to), descending into the boxes named in into.
template <typename F>
void Boxes(const std::vector<uint8_t>& b, size_t from, size_t to, const std::vector<std::string>& into, F f) {
  for (size_t p = from; p + 8 <= to;) {
    const size_t size = Be32(b, p);
    if (size < 8 || size > to - p) break;
    const std::string type(b.begin() + long(p) + 4, b.begin() + long(p) + 8);
    f(type, p, p + size);
    if (std::find(into.begin(), into.end(), type) != into.end()) Boxes(b, p + 8, p + size, into, f);
    p += size;
  }
}

// Fragmented files list their samples in movie fragments: the movie's
// extends box (mvex) and the fragments say so, whatever the fragments'
// sequence numbers (as some writers leave them, 0) and whatever the movie
// lists itself (the first samples, or none).
TEST(Mp4Input, FragmentedFilesAreRefusedWhateverTheirFragmentNumbers) {
  const std::string es = Es(Sources()[0]);
  const std::string remux = "mkvmerge -q -o OUT.src.mkv ES && ffmpeg -v error -y -i OUT.src.mkv -c copy -movflags ";
  const struct {
    const char* name;
    const char* flags;
    bool zero_numbers;
  } cases[] = {
      {"fragments numbered 0", "frag_keyframe", true},
      {"empty movie, fragments numbered 0", "frag_keyframe+empty_moov", true},
      {"empty movie", "frag_keyframe+empty_moov", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mp4 = Dir() + "fragmented." + std::to_string(&c - cases) + ".mp4";
    ASSERT_EQ(tu::run(Replace(Replace(remux + c.flags + " OUT", "OUT", tu::q(mp4)), "ES", tu::q(es)) + " 2>&1").status,
              0);
    if (c.zero_numbers) {
      std::vector<uint8_t> b = tu::read_file(mp4);
      int fragments = 0;
      Boxes(b, 0, b.size(), {"moof"}, [&](const std::string& type, size_t at, size_t end) {
        if (type != "mfhd" || end - at < 16) return;
        PutBe32(b, at + 12, 0);
        ++fragments;
      });
      ASSERT_GT(fragments, 1);
      tu::write_file(mp4, b);
    }
    // All the samples are there for other readers.
    ASSERT_EQ(Probe(mp4, "dts", 1).count, 30u);
    const tu::RunResult r = tu::ostrel("-i " + tu::q(mp4) + " -o " + tu::q(mp4 + ".kwi"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("This is a fragmented MP4 file (its samples are in movie fragments), which cannot be "
                         "indexed. Remux it into an unfragmented file and index that: ffmpeg -i in.mp4 -c copy "
                         "out.mp4\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(tu::exists(mp4 + ".kwi"));
  }
}

// A movie extends box alone only announces fragments: a file whose movie
// lists every sample and that holds no fragment (the box added to the movie
// at the end of an ffmpeg file, nothing else changed) is indexed as without
// the box.
TEST(Mp4Input, MovieExtendsBoxWithoutFragmentsIsIndexed) {
  const std::string es = Es(Sources()[0]);
  const std::string mp4 = Dir() + "extended.mp4", extended = Dir() + "extended.mvex.mp4";
  ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(mp4 + ".mkv") + " " + tu::q(es) + " && ffmpeg -v error -y -i " +
                    tu::q(mp4 + ".mkv") + " -c copy " + tu::q(mp4))
                .status,
            0);
  std::vector<uint8_t> b = tu::read_file(mp4);
  size_t moov = 0, moov_end = 0;
  Boxes(b, 0, b.size(), {}, [&](const std::string& type, size_t at, size_t end) {
    if (type == "moov") moov = at, moov_end = end;
  });
  ASSERT_EQ(moov_end, b.size()) << "the movie box is expected last";
  // mvex { trex { version/flags, track_ID 1, description 1, duration, size, flags } }
  std::vector<uint8_t> mvex(40, 0);
  PutBe32(mvex, 0, 40);
  memcpy(mvex.data() + 4, "mvex", 4);
  PutBe32(mvex, 8, 32);
  memcpy(mvex.data() + 12, "trex", 4);
  PutBe32(mvex, 20, 1);
  PutBe32(mvex, 24, 1);
  b.insert(b.end(), mvex.begin(), mvex.end());
  PutBe32(b, moov, uint32_t(moov_end - moov + mvex.size()));
  tu::write_file(extended, b);
  ASSERT_EQ(Probe(extended, "dts", 1).count, 30u);

  std::vector<std::string> got;
  IndexLikeTheOriginal(mp4, extended, &got);
  EXPECT_EQ(tu::kwi_value(got, "CODED"), "30");
}

// QuickTime files need not begin with a file type box: cut off, with every
// chunk offset lowered by its size, the movie (with the index at the end:
// first a free-space box "wide", then the media data; at the front: the
// movie box first) is indexed as with it. Positions are sample times, so
// the index is the same but for the input file's line.
TEST(Mp4Input, QuickTimeFilesWithoutAFileTypeBoxAreMp4) {
  const std::string pattern = "ffmpeg -v error -y -f lavfi -i testsrc=size=160x128:rate=25 -t 2 -c:v libx264 "
                              "-x264-params keyint=12 ";
  for (const char* flags : {"", "-movflags +faststart "}) {
    SCOPED_TRACE(flags);
    const std::string mov = Dir() + "qt" + (*flags ? ".front" : ".end") + ".mov", bare = mov + ".bare.mov";
    ASSERT_EQ(tu::run(pattern + flags + tu::q(mov)).status, 0);
    ASSERT_EQ(tu::cut_file_type(mov, bare), *flags ? "moov" : "wide");
    // Other readers read it whole.
    ASSERT_EQ(Probe(bare, "dts", 1).count, 50u);

    std::vector<std::string> got;
    IndexLikeTheOriginal(mov, bare, &got);
    EXPECT_EQ(tu::kwi_value(got, "STREAM"), "4 0");
    EXPECT_EQ(tu::kwi_value(got, "CODED"), "50");
  }
}

// A video track whose sample entry is not read is named, with its entry,
// before the refusal; a later video track that is read is indexed, as the
// plugin (which takes the first video track of the index's codec) reads it.
// Track numbers and entry names are ffprobe's.
TEST(Mp4Input, VideoTracksOfUnsupportedSampleEntries) {
  const std::string pattern = "ffmpeg -v error -y -f lavfi -i testsrc=size=160x128:rate=25 -t 1 ";
  struct Refused {
    const char* name;
    std::string make;
  };
  const std::vector<Refused> refused = {
      {"avc3", pattern + "-c:v libx264 -tag:v avc3 OUT.mp4"},
      {"MPEG-2 in a QuickTime movie", pattern + "-c:v mpeg2video OUT.mov"},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.name);
    const std::string base = Dir() + "entry." + std::to_string(&c - refused.data());
    const std::string file = base + (c.make.back() == 'v' ? ".mov" : ".mp4");
    ASSERT_EQ(tu::run(Replace(c.make, "OUT", tu::q(base)) + " 2>&1").status, 0);
    const tu::RunResult probe =
        tu::run("ffprobe -v error -select_streams v:0 -show_entries stream=id,codec_tag_string -of csv=p=0 " +
                tu::q(file));
    const std::vector<std::string> fields = tu::lines(probe.out);
    ASSERT_FALSE(fields.empty());
    const std::string tag = fields[0].substr(0, 4);
    const unsigned id = unsigned(std::stoul(fields[0].substr(fields[0].find("0x") + 2), nullptr, 16));
    const tu::RunResult r = tu::ostrel("-i " + tu::q(file) + " -o " + tu::q(file + ".kwi"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("The MP4 video track " + std::to_string(id) + " has the sample entry '" + tag +
                         "', which is not supported.\nCould not find a supported video track (need "
                         "AVC/MPEG2/VC1/HEVC).\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(tu::exists(file + ".kwi"));
  }

  // MJPEG first, then H.264 or HEVC: indexed as the file with that track
  // alone.
  const std::string mjpeg = Dir() + "mjpeg.mp4";
  ASSERT_EQ(tu::run(pattern + "-c:v mjpeg " + tu::q(mjpeg)).status, 0);
  for (const char* codec : {"-c:v libx264", "-c:v libx265 -tag:v hvc1 -x265-params log-level=error"}) {
    SCOPED_TRACE(codec);
    const std::string alone = Dir() + "alone." + std::to_string(codec[8] == '4') + ".mp4", both = alone + ".both.mp4";
    ASSERT_EQ(tu::run(pattern + codec + " " + tu::q(alone)).status, 0);
    ASSERT_EQ(tu::run("ffmpeg -v error -y -i " + tu::q(mjpeg) + " -i " + tu::q(alone) + " -map 0 -map 1 -c copy " +
                      tu::q(both))
                  .status,
              0);
    tu::RunResult r;
    const std::vector<std::string> want = tu::index_lines(alone, alone + ".kwi", &r);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> got = tu::index_lines(both, both + ".kwi", &r);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(tu::kwi_value(got, "CODED"), std::to_string(Probe(alone, "dts", 1).count));
    EXPECT_EQ(FromHeader(got), FromHeader(want));
  }
}

}  // namespace
