// MPEG-2 indexing end to end: streams made with ffmpeg and mpeg2enc, indexed
// by the real ostrel, compared with ffprobe (picture types in display order,
// interlacing, field order, repeats, rate, size) and with a start-code scan
// of the input (group positions, sequence extension and GOP values).

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mpg_streams.h"
#include "testutil.h"

namespace {

struct Container {
  const char* name;
  const char* format;     // ffmpeg muxer
  const char* extension;
  int stream_kind;        // first value of the STREAM line
};
const Container kContainers[] = {
    {"ES", "mpeg2video", "m2v", 0},
    {"PS", "vob", "vob", 3},
    {"TS", "mpegts", "ts", 1},
};

// The elementary stream es as container c: es itself, or a copy muxed by
// ffmpeg at the given rate, named after stem; empty when muxing failed.
std::string in_container(const Container& c, const std::string& es, const char* rate, const std::string& stem) {
  if (c.stream_kind == 0) return es;
  const std::string in = tu::scratch(stem + "." + c.extension);
  const bool made = tu::ffmpeg(std::string("-fflags +genpts -r ") + rate + " -i " + tu::q(es) + " -c copy -f " +
                               c.format + " " + tu::q(in));
  return made ? in : std::string();
}

double rate_of(const std::string& r) {
  size_t slash = r.find('/');
  if (slash == std::string::npos) return atof(r.c_str());
  double den = atof(r.c_str() + slash + 1);
  return den == 0 ? 0 : atof(r.c_str()) / den;
}

// Compares an index with ffprobe's view of the input and with a start-code
// scan of the input file itself.
// fps is the rate the generator coded (ffprobe's stream rate counts fields
// of soft-pulldown streams).
void expect_matches_reference(const std::string& input, const std::vector<std::string>& kwi, double fps) {
  ASSERT_FALSE(kwi.empty()) << "no index for " << input;
  auto frames = tu::ffprobe_frames(input);
  mpgt::Scan scan = mpgt::scan_mpeg2(tu::read_file(input));
  ASSERT_FALSE(frames.empty());
  ASSERT_FALSE(scan.seqext_before_i.empty());
  const bool progressive_sequence = scan.seqext_before_i[0] == 1;

  // One FRM line per frame, in display order.
  std::vector<mpgt::Frm> frm = mpgt::frm_lines(kwi);
  EXPECT_EQ(mpgt::frm_types(frm), mpgt::probe_types(frames));
  ASSERT_EQ(frm.size(), frames.size());
  int repeat_sum = 0;
  for (size_t i = 0; i < frm.size(); i++) {
    SCOPED_TRACE("picture " + std::to_string(i));
    int rp = mpgt::probe_int(frames[i], "repeat_pict");
    repeat_sum += rp;
    EXPECT_EQ(frm[i].structure, 3);
    EXPECT_EQ(frm[i].tff, mpgt::probe_int(frames[i], "top_field_first"));
    EXPECT_EQ(frm[i].rff, rp > 0 ? 1 : 0);
    EXPECT_EQ(frm[i].progressive_frame, mpgt::probe_int(frames[i], "interlaced_frame") ? 0 : 1);
  }

  // Group lines: one per I picture, in coding order.
  EXPECT_EQ(tu::kwi_with(kwi, "SEQ "), scan.seq_lines);
  EXPECT_EQ(mpgt::values_of(kwi, "SEQEXT"),
            std::vector<long long>(scan.seqext_before_i.begin(), scan.seqext_before_i.end()));
  EXPECT_EQ(mpgt::values_of(kwi, "GOP"), std::vector<long long>(scan.gop_before_i.begin(), scan.gop_before_i.end()));

  // Trailer.
  auto coded = mpgt::values_of(kwi, "CODED");
  auto playback = mpgt::values_of(kwi, "PLAYBACK");
  ASSERT_EQ(coded.size(), 1u);
  ASSERT_EQ(playback.size(), 1u);
  EXPECT_EQ(coded[0], static_cast<long long>(frames.size()));
  // ffprobe's repeat_pict counts repeated fields (1 each) in an interlaced
  // sequence and half frames (2 or 4) in a progressive one.
  EXPECT_EQ(playback[0], static_cast<long long>(frames.size()) + repeat_sum / 2);
  int fn = 0, fd = 0;
  ASSERT_EQ(sscanf(mpgt::line_of(kwi, "FPS ").c_str(), "FPS %d / %d", &fn, &fd), 2);
  ASSERT_NE(fd, 0);
  EXPECT_NEAR(static_cast<double>(fn) / fd, fps, 0.001);
  int order = progressive_sequence ? 0 : (mpgt::probe_int(frames[0], "top_field_first") ? 1 : 2);
  EXPECT_EQ(mpgt::values_of(kwi, "ORDER"), std::vector<long long>{order});
}

std::string encode(const std::string& name, const std::string& codec_args, const Container& c) {
  std::string out = tu::scratch(name + "." + c.extension);
  EXPECT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 30 -c:v mpeg2video -bf 2 -g 12 " +
                         codec_args + " -f " + c.format + " " + tu::q(out)));
  return out;
}

}  // namespace

// Progressive and interlaced (top and bottom field first), open and closed
// groups, in the three containers.
TEST(MpegIndex, MatchesProbeAndScan) {
  struct Kind {
    const char* name;
    const char* args;
    int film_expected;  // FILM share: no pulldown anywhere, so 0
  };
  const Kind kinds[] = {
      {"progressive_open", "", 0},
      {"progressive_closed", "-flags +cgop -sc_threshold 1000000000", 0},
      {"tff_open", "-flags +ildct+ilme -top 1", 0},
      {"bff_closed", "-flags +ildct+ilme+cgop -sc_threshold 1000000000 -top 0", 0},
  };
  for (const Container& c : kContainers) {
    for (const Kind& k : kinds) {
      SCOPED_TRACE(std::string(c.name) + " " + k.name);
      std::string in = encode(k.name, k.args, c);
      tu::RunResult r;
      auto kwi = mpgt::index_file(in, in + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      expect_matches_reference(in, kwi, 25);
      EXPECT_EQ(mpgt::values_of(kwi, "STREAM")[0], c.stream_kind);
      EXPECT_EQ(mpgt::film_share(kwi), 0.0);
      EXPECT_EQ(mpgt::line_of(kwi, "SIZE"), "SIZE 320 x 240 ");
      // Keyword header: written once, ASPECT and COLORIMETRY right under DEPTH.
      auto depth = std::find(kwi.begin(), kwi.end(), "DEPTH 8");
      ASSERT_NE(depth, kwi.end());
      ASSERT_LT(depth + 2, kwi.end());
      EXPECT_EQ(*(depth + 1), "ASPECT 1 1");  // 320x240 at 4:3 is square-sampled
      EXPECT_EQ(*(depth + 2), "COLORIMETRY 2 2 2");
      EXPECT_EQ(tu::kwi_with(kwi, "ASPECT").size(), 1u);
      EXPECT_EQ(kwi[0].compare(0, 19, "KWMPGIndexFileNV100"), 0);
    }
  }
}

// Groups of an open-GOP stream: only the first I picture (temporal_reference
// 0) is GOP 1; the later ones carry the GOP header's closed_gop 0, and the
// B pictures after them belong to them in display order.
TEST(MpegIndex, OpenGroupsKeepTheirLeadingBPictures) {
  std::string in = encode("open", "", kContainers[0]);
  auto kwi = mpgt::index_file(in, in + ".kwi");
  ASSERT_FALSE(kwi.empty());
  auto gops = mpgt::values_of(kwi, "GOP");
  ASSERT_GE(gops.size(), 2u);
  EXPECT_EQ(gops[0], 1);
  EXPECT_EQ(gops[1], 0);
  // Display order within a later group: two B pictures come before its I.
  std::vector<std::string> after;
  bool in_second = false;
  int groups = 0;
  for (const std::string& l : kwi) {
    if (l.rfind("GOP ", 0) == 0 && ++groups == 2) in_second = true;
    else if (in_second && l.find(":FRM ") != std::string::npos && after.size() < 3) after.push_back(l.substr(l.find(':') + 1, 5));
  }
  EXPECT_EQ(after, (std::vector<std::string>{"FRM B", "FRM B", "FRM I"}));
}

// Soft pulldown: mpeg2enc's 3:2 flags (repeat_first_field in an interlaced
// sequence, top_field_first alternating) in all three containers.
TEST(MpegIndex, SoftPulldownIsFilm) {
  if (!tu::have("mpeg2enc")) GTEST_SKIP() << "mpeg2enc not installed";
  std::string es = tu::scratch("pulldown.m2v");
  tu::RunResult enc = tu::run(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=352x480:rate=24000/1001 -frames:v 30 -pix_fmt yuv420p "
      "-f yuv4mpegpipe - | mpeg2enc -v 0 -f 8 -p -R 2 -g 6 -G 12 -a 2 -o " + tu::q(es));
  ASSERT_EQ(enc.status, 0) << enc.out;
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.name);
    const std::string in = in_container(c, es, "30000/1001", "pulldown");
    ASSERT_FALSE(in.empty());
    auto kwi = mpgt::index_file(in, in + ".kwi");
    expect_matches_reference(in, kwi, 30000.0 / 1001);
    auto coded = mpgt::values_of(kwi, "CODED");
    auto playback = mpgt::values_of(kwi, "PLAYBACK");
    ASSERT_EQ(coded.size(), 1u);
    ASSERT_EQ(playback.size(), 1u);
    // 24 -> 30: every second frame shows a third field.
    EXPECT_GT(playback[0], coded[0]);
    EXPECT_GT(mpgt::film_share(kwi), 95.0);
    // 352x480 at 4:3 (aspect_ratio_information 2) is BT.601 NTSC sampling.
    EXPECT_EQ(mpgt::line_of(kwi, "ASPECT"), "ASPECT 10 11");
    EXPECT_EQ(mpgt::line_of(kwi, "SIZE"), "SIZE 352 x 480 ");
  }
}

// mpeg2enc writes its sequence header once, at the start: every later group
// starts at its own GOP header and names that sequence header as well.
TEST(MpegIndex, GroupsWithoutTheirOwnSequenceHeader) {
  if (!tu::have("mpeg2enc")) GTEST_SKIP() << "mpeg2enc not installed";
  std::string es = tu::scratch("one.m2v");
  tu::RunResult enc = tu::run(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x128:rate=25 -frames:v 40 -pix_fmt yuv420p "
      "-f yuv4mpegpipe - | mpeg2enc -v 0 -f 3 -b 2000 -R 2 -g 12 -G 12 -o " + tu::q(es));
  ASSERT_EQ(enc.status, 0) << enc.out;
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.name);
    const std::string in = in_container(c, es, "25", "one");
    ASSERT_FALSE(in.empty());
    auto kwi = mpgt::index_file(in, in + ".kwi");
    expect_matches_reference(in, kwi, 25);
    mpgt::Scan scan = mpgt::scan_mpeg2(tu::read_file(in));
    EXPECT_EQ(scan.sequence_headers.size(), 1u);
    const std::vector<std::string> seq = tu::kwi_with(kwi, "SEQ ");
    ASSERT_GE(seq.size(), 3u);
    EXPECT_EQ(seq[0], "SEQ " + std::to_string(scan.sequence_headers[0]));
    for (size_t g = 1; g < seq.size(); g++)
      EXPECT_EQ(seq[g].substr(seq[g].rfind(' ')), " " + std::to_string(scan.sequence_headers[0])) << seq[g];
  }
}

// A progressive sequence with repeat_first_field: the picture coding
// extensions of an ffmpeg stream are patched so that in display order the
// pictures alternate between two frames (rff) and three (rff + tff).
TEST(MpegIndex, ProgressiveSequenceRepeatsFrames) {
  std::string in = encode("prog_rff", "", kContainers[0]);
  std::vector<uint8_t> d = tu::read_file(in);
  int gop_base = 0, max_in_gop = -1, patched = 0, display = 0;
  for (const tu::ScanUnit& u : tu::scan_start_codes(d)) {
    size_t i = u.pos;
    if (u.code == 0xB8) {
      gop_base += max_in_gop + 1;
      max_in_gop = -1;
    }
    if (u.code == 0x00 && i + 5 < d.size()) {
      int tr = (d[i + 4] << 2) | (d[i + 5] >> 6);
      if (tr > max_in_gop) max_in_gop = tr;
      display = gop_base + tr;
    }
    if (u.code == 0xB5 && i + 8 < d.size() && (d[i + 4] >> 4) == 8) {
      // byte 7: top_field_first (bit 7) ... repeat_first_field (bit 1)
      uint8_t b = d[i + 7] & 0x7D;
      b |= 0x02;                                    // repeat_first_field
      if (display % 2) b |= 0x80;                   // top_field_first on odd display positions
      d[i + 7] = b;
      patched++;
    }
  }
  ASSERT_EQ(patched, 30);
  tu::write_file(in, d);
  auto kwi = mpgt::index_file(in, in + ".kwi");
  expect_matches_reference(in, kwi, 25);
  // 15 pictures shown twice (+1) and 15 three times (+2).
  EXPECT_EQ(mpgt::values_of(kwi, "PLAYBACK"), std::vector<long long>{30 + 15 + 30});
  EXPECT_EQ(mpgt::line_of(kwi, "100.00% FILM"), "100.00% FILM");
  EXPECT_EQ(mpgt::values_of(kwi, "ORDER"), std::vector<long long>{0});
}

// Aspect ratios and sizes: square sampling above 576 lines, BT.601 ratios for
// 480 and 576 lines, the display ratio over the picture's own ratio
// otherwise (compared with ffprobe's sample_aspect_ratio); SIZE from the
// sequence display extension when there is one, else the coded size rounded
// up to whole macroblock rows.
TEST(MpegIndex, AspectAndSize) {
  struct Case {
    const char* size;
    const char* aspect;
    const char* extra;
    const char* expect_aspect;     // by hand for the fixed ratios, else empty: ffprobe's
    const char* expect_size;
  };
  const Case cases[] = {
      {"720x576", "16:9", "", "ASPECT 16 11", "SIZE 720 x 576 "},
      {"720x480", "4:3", "", "ASPECT 10 11", "SIZE 720 x 480 "},
      {"720x480", "16:9", "", "ASPECT 40 33", "SIZE 720 x 480 "},
      {"720x576", "4:3", "", "ASPECT 12 11", "SIZE 720 x 576 "},
      {"704x400", "4:3", "", "", "SIZE 704 x 400 "},
      {"352x240", "16:9", "", "", "SIZE 352 x 240 "},
      {"640x360", "16:9", "", "", "SIZE 640 x 368 "},
      {"320x240", "16:9", "", "", "SIZE 320 x 240 "},
      {"1920x1080", "16:9", "-seq_disp_ext 0", "ASPECT 1 1", "SIZE 1920 x 1088 "},
      {"1920x1080", "16:9", "-seq_disp_ext 1", "ASPECT 1 1", "SIZE 1920 x 1080 "},
      {"640x360", "16:9", "-seq_disp_ext 1", "", "SIZE 640 x 360 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.size) + " " + c.aspect + " " + c.extra);
    std::string in = tu::scratch(std::string("a_") + c.size + "_" + (c.extra[0] ? "ext" : "plain") + ".m2v");
    ASSERT_TRUE(tu::ffmpeg(std::string("-f lavfi -i testsrc=size=") + c.size + ":rate=25 -frames:v 2 -c:v mpeg2video " +
                           "-aspect " + c.aspect + " " + c.extra + " -f mpeg2video " + tu::q(in)));
    auto kwi = mpgt::index_file(in, in + ".kwi");
    ASSERT_FALSE(kwi.empty());
    std::string aspect = c.expect_aspect;
    if (aspect.empty()) {
      std::string sar = tu::ffprobe_stream(in)["sample_aspect_ratio"];
      ASSERT_NE(sar.find(':'), std::string::npos);
      aspect = "ASPECT " + sar.substr(0, sar.find(':')) + " " + sar.substr(sar.find(':') + 1);
    }
    EXPECT_EQ(mpgt::line_of(kwi, "ASPECT"), aspect);
    EXPECT_EQ(mpgt::line_of(kwi, "SIZE"), c.expect_size);
    EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{2});
  }
}

// The colour description of a sequence display extension arrives after the
// ASPECT and COLORIMETRY lines: COLORIMETRY keeps the unspecified 2 2 2.
TEST(MpegIndex, ColorimetryIsWrittenBeforeTheDisplayExtension) {
  std::string in = tu::scratch("colour.m2v");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 3 -c:v mpeg2video -seq_disp_ext 1 "
                         "-color_primaries bt709 -color_trc bt709 -colorspace bt709 -f mpeg2video " + tu::q(in)));
  ASSERT_EQ(tu::ffprobe_stream(in)["color_primaries"], "bt709");
  auto kwi = mpgt::index_file(in, in + ".kwi");
  EXPECT_EQ(mpgt::line_of(kwi, "COLORIMETRY"), "COLORIMETRY 2 2 2");
  EXPECT_EQ(mpgt::line_of(kwi, "SIZE"), "SIZE 320 x 240 ");
}

// Frame rates of the frame_rate_code table, unsnapped (50 stays 50).
TEST(MpegIndex, FrameRates) {
  const char* rates[] = {"24000/1001", "24", "25", "30000/1001", "30", "50", "60000/1001", "60"};
  const char* lines[] = {"FPS 24000 / 1001", "FPS 24000 / 1000", "FPS 25000 / 1000", "FPS 30000 / 1001",
                         "FPS 30000 / 1000", "FPS 50000 / 1000", "FPS 60000 / 1001", "FPS 60000 / 1000"};
  for (size_t i = 0; i < std::size(rates); i++) {
    SCOPED_TRACE(rates[i]);
    std::string in = tu::scratch("rate" + std::to_string(i) + ".m2v");
    ASSERT_TRUE(tu::ffmpeg(std::string("-f lavfi -i testsrc=size=64x64:rate=") + rates[i] +
                           " -frames:v 2 -c:v mpeg2video -f mpeg2video " + tu::q(in)));
    auto kwi = mpgt::index_file(in, in + ".kwi");
    EXPECT_EQ(mpgt::line_of(kwi, "FPS"), lines[i]);
    EXPECT_NEAR(rate_of(tu::ffprobe_stream(in)["r_frame_rate"]), rate_of(lines[i] + 4), 0.001);
  }
}
