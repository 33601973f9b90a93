// Index reader: the group and frame tables against the index lines of real
// Ostrel indexes, placement by fieldop on soft-pulldown streams against a
// field model built from ffprobe's flags, and hand-written indexes for the
// rules and hostile values.
#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "decoder.h"
#include "plugintest.h"
#include "testutil.h"

namespace {

const char* const kAvcMagic = "KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64";
const char* const kMpgMagic = "KWMPGIndexFileNV100 Ostrel 2053.0.0.502 X64";
const char* const kVc1Magic = "KWVC1IndexFileNV100 Ostrel 2053.0.0.502 X64";
const char* const kHevcMagic = "KWHEVCIndexFileNV100 Ostrel 2053.0.0.502 X64";

struct Options {
  int fieldop = 0;
  int deinterlace = 0;
  int strict_avc = 0;
};

// Reads an index with the reader of its codec letter.
std::unique_ptr<CAVCDecoder> Read(const std::string& kwi, int* result, Options o = Options()) {
  std::unique_ptr<CAVCDecoder> d(new CAVCDecoder);
  d->fieldop = o.fieldop;
  d->deinterlace = o.deinterlace;
  d->strict_avc = o.strict_avc;
  const std::vector<std::string> ls = tu::lines(tu::read_text(kwi));
  const char letter = !ls.empty() && ls[0].size() > 2 ? ls[0][2] : 'A';
  switch (letter) {
    case 'A': d->codec = CODEC_AVC; *result = d->Open(kwi.c_str()); break;
    case 'M': d->codec = CODEC_MPEG2; *result = d->OpenMPG(kwi.c_str()); break;
    case 'H': d->codec = CODEC_HEVC; *result = d->OpenHEVC(kwi.c_str()); break;
    default: d->codec = CODEC_VC1; *result = d->OpenVC1(kwi.c_str()); break;
  }
  return d;
}

std::unique_ptr<CAVCDecoder> ReadOk(const std::string& kwi, Options o = Options()) {
  int r = -1;
  auto d = Read(kwi, &r, o);
  EXPECT_EQ(r, 0) << kwi;
  return d;
}

// The words of a line.
std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

bool IsPictureLine(const std::string& l) {
  const size_t c = l.find(':');
  return c != std::string::npos && c > 0 && l.find_first_not_of("0123456789") == c;
}

// A picture in display order as ffprobe reports it.
struct Probed {
  bool tff;
  bool repeat;
};

std::vector<Probed> ProbeFields(const std::string& path) {
  std::vector<Probed> v;
  for (auto& f : tu::ffprobe_frames(path)) v.push_back({f["top_field_first"] == "1", f["repeat_pict"] == "1"});
  return v;
}

// Display frames made by pairing the field sequence of the pictures: each
// picture gives its first field, the other parity, and on repeat its first
// field again; consecutive fields make a frame. Returns {top, bottom}.
std::vector<std::pair<int, int>> PairFields(const std::vector<Probed>& pics) {
  std::vector<std::pair<int, bool>> fields;  // picture, is top
  for (size_t n = 0; n < pics.size(); ++n) {
    const int p = static_cast<int>(n);
    fields.push_back({p, pics[n].tff});
    fields.push_back({p, !pics[n].tff});
    if (pics[n].repeat) fields.push_back({p, pics[n].tff});
  }
  std::vector<std::pair<int, int>> frames;
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    EXPECT_NE(fields[i].second, fields[i + 1].second) << "fields of one frame have one parity";
    const int top = fields[i].second ? fields[i].first : fields[i + 1].first;
    const int bottom = fields[i].second ? fields[i + 1].first : fields[i].first;
    frames.push_back({top, bottom});
  }
  return frames;
}

std::string Dir() {
  const std::string d = tu::scratch("");
  return d;
}

}  // namespace

// ---------------------------------------------------------------- real indexes

TEST(IndexReaderAvc, TablesAgreeWithTheIndexLines) {
  const std::string dir = Dir();
  const std::string es = dir + "a.264";
  ASSERT_TRUE(pt::MakeH264(es, 75));
  const std::string kwi = pt::Index(tu::q(es), dir + "a.kwi");
  ASSERT_FALSE(kwi.empty());
  for (int fieldop : {0, 2}) {
    Options o;
    o.fieldop = fieldop;
    auto d = ReadOk(kwi, o);
    // Walk the index: group lines open groups at the current picture count,
    // picture lines carry slice type, order count and pic_struct.
    size_t pictures = 0, groups = 0;
    std::vector<u64> sps, pps;
    for (const std::string& l : tu::kwi_lines(kwi)) {
      std::vector<std::string> w = Words(l);
      if (w.empty()) continue;
      if (w[0] == "SPS") sps.push_back(std::stoull(w[1]));
      if (w[0] == "PPS") pps.push_back(std::stoull(w[1]));
      if (w[0] == "IDR" || w[0] == "I") {
        ASSERT_LT(groups, d->groups.size());
        EXPECT_EQ(d->groups[groups].first, pictures);
        EXPECT_EQ(d->groups[groups].position, std::stoull(w[1]));
        EXPECT_EQ(d->groups[groups].idr, w[0] == "IDR");
        ++groups;
      }
      if (IsPictureLine(l)) {
        ASSERT_LT(pictures, d->frames.size());
        EXPECT_EQ(d->frames[pictures].slice_type, std::stoi(w[1]));
        EXPECT_EQ(d->frames[pictures].poc, std::stoi(w[2]));
        EXPECT_EQ(d->frames[pictures].pic_struct, std::stoi(w[3]));
        ++pictures;
      }
    }
    EXPECT_EQ(d->groups.size(), groups);
    EXPECT_GT(groups, 3u);
    EXPECT_EQ(d->sps_list, sps);
    EXPECT_EQ(d->pps_list, pps);
    // Progressive pictures without pulldown: one display frame each, in order.
    EXPECT_EQ(d->coded_count, static_cast<int>(tu::ffprobe_frames(es).size()));
    ASSERT_EQ(d->display_count, d->coded_count);
    for (int i = 0; i < d->display_count; ++i) {
      EXPECT_EQ(d->frames[i].top, i);
      EXPECT_EQ(d->frames[i].bottom, i);
    }
    EXPECT_EQ(d->lead_skip, 0);
    EXPECT_FALSE(d->pulldown);
    EXPECT_EQ(d->width, 320);
    EXPECT_EQ(d->height, 240);
    EXPECT_EQ(d->fps_num, 25000);
    EXPECT_EQ(d->fps_den, 1000);
    EXPECT_EQ(d->stream_type, CONTAINER_ES);
  }
}

TEST(IndexReaderAvc, SoftPulldownPlacementByFieldop) {
  const std::string dir = Dir();
  const std::string es = dir + "pd.264";
  ASSERT_TRUE(tu::run("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=320x240:rate=24000/1001 "
                      "-frames:v 40 -pix_fmt yuv420p -f yuv4mpegpipe - | x264 --quiet --demuxer y4m "
                      "--pulldown 32 --keyint 12 -o " + tu::q(es) + " -").status == 0);
  const std::string kwi = pt::Index(tu::q(es), dir + "pd.kwi");
  ASSERT_FALSE(kwi.empty());
  const std::vector<Probed> pics = ProbeFields(es);
  ASSERT_EQ(pics.size(), 40u);

  // Honour pulldown: frames pair the fields in display order.
  auto d0 = ReadOk(kwi);
  EXPECT_TRUE(d0->pulldown);
  EXPECT_EQ(d0->coded_count, 40);
  const auto expected = PairFields(pics);
  ASSERT_EQ(d0->display_count, static_cast<int>(expected.size()));
  EXPECT_EQ(d0->display_count, 50) << "3:2 pulldown shows five frames per four pictures";
  for (int i = 0; i < d0->display_count; ++i) {
    EXPECT_EQ(d0->frames[i].top, expected[i].first) << "frame " << i;
    EXPECT_EQ(d0->frames[i].bottom, expected[i].second) << "frame " << i;
  }
  EXPECT_GE(d0->frames.size(), static_cast<size_t>(d0->display_count));

  // Ignore pulldown: one frame per picture.
  Options o;
  o.fieldop = 2;
  auto d2 = ReadOk(kwi, o);
  ASSERT_EQ(d2->display_count, 40);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(d2->frames[i].top + d2->frames[i].bottom, 2 * i);

  // Force film: the 3:2 cadence keeps one frame per picture at four fifths of the rate.
  o.fieldop = 1;
  auto d1 = ReadOk(kwi, o);
  EXPECT_EQ(d1->display_count, 40);
  EXPECT_EQ(d1->fps_num, 24000);
  EXPECT_EQ(d1->fps_den, 1001);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(d1->frames[i].top, i);

  // Deinterlacing cannot go with pulldown.
  o = Options();
  o.deinterlace = 1;
  int r = 0;
  Read(kwi, &r, o);
  EXPECT_EQ(r, INDEX_DEINT_PULLDOWN);
}

TEST(IndexReaderMpeg2, SoftPulldownGroupsAndLeadingB) {
  const std::string dir = Dir();
  const std::string es = dir + "pd.m2v";
  ASSERT_TRUE(tu::run("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=352x480:rate=24000/1001 "
                      "-frames:v 36 -pix_fmt yuv420p -f yuv4mpegpipe - | mpeg2enc -v 0 -f 8 -p -F 1 -g 9 "
                      "-G 9 -b 2000 -o " + tu::q(es)).status == 0);
  const std::string kwi = pt::Index(tu::q(es), dir + "pd.kwi");
  ASSERT_FALSE(kwi.empty());
  const std::vector<Probed> pics = ProbeFields(es);

  auto d = ReadOk(kwi);
  EXPECT_TRUE(d->pulldown);
  const auto expected = PairFields(pics);
  ASSERT_EQ(d->display_count, static_cast<int>(expected.size()));
  for (int i = 0; i < d->display_count; ++i) {
    EXPECT_EQ(d->frames[i].top, expected[i].first) << "frame " << i;
    EXPECT_EQ(d->frames[i].bottom, expected[i].second) << "frame " << i;
  }

  // Groups sit at the sequence headers (start-code scan) and carry the GOP
  // and SEQEXT values of their lines; the B pictures opening a group are flagged.
  std::vector<u64> seq;
  for (const tu::ScanUnit& u : tu::scan_start_codes(tu::read_file(es)))
    if (u.code == 0xB3) seq.push_back(u.pos);
  ASSERT_EQ(d->groups.size(), seq.size());
  size_t g = 0, pictures = 0;
  bool at_group_start = false;
  for (const std::string& l : tu::kwi_lines(kwi)) {
    std::vector<std::string> w = Words(l);
    if (w.empty()) continue;
    if (w[0] == "SEQ") {
      ASSERT_LT(g, seq.size());
      EXPECT_EQ(d->groups[g].position, seq[g]);
      EXPECT_EQ(d->groups[g].first, pictures);
      ++g;
      at_group_start = true;
    } else if (w[0] == "SEQEXT") {
      EXPECT_EQ(d->groups[g - 1].progressive_sequence, std::stoi(w[1]));
    } else if (w[0] == "GOP") {
      EXPECT_EQ(d->groups[g - 1].closed, std::stoi(w[1]));
    } else if (IsPictureLine(l) && g > 0) {
      const std::string type = w[1];
      EXPECT_EQ(d->frames[pictures].pict_type, type == "I" ? 0 : type == "P" ? 1 : 3);
      if (type != "B") at_group_start = false;
      EXPECT_EQ(d->frames[pictures].leading_b, at_group_start ? 1 : 0) << "picture " << pictures;
      EXPECT_EQ(d->frames[pictures].progressive_frame, std::stoi(w[5]));
      ++pictures;
    }
  }
  EXPECT_EQ(d->coded_count, static_cast<int>(pictures));
  EXPECT_EQ(d->coded_count, static_cast<int>(pics.size()));

  Options o;
  o.fieldop = 2;
  EXPECT_EQ(ReadOk(kwi, o)->display_count, d->coded_count);
}

TEST(IndexReaderHevc, GroupsAtIrapPicturesWithLeadingCounts) {
  const std::string dir = Dir();
  const std::string es = dir + "h.265";
  ASSERT_TRUE(pt::MakeHevc(es, 40, "-x265-params log-level=error:keyint=12:open-gop=1:bframes=3"));
  const std::string kwi = pt::Index(tu::q(es), dir + "h.kwi");
  ASSERT_FALSE(kwi.empty());
  auto d = ReadOk(kwi);
  // Leading pictures (RASL, RADL) stand before their IRAP line; a group
  // starts at the first of them.
  size_t pictures = 0, g = 0;
  int leading = 0, rasl = 0;
  for (const std::string& l : tu::kwi_lines(kwi)) {
    if (!IsPictureLine(l)) continue;
    std::vector<std::string> w = Words(l.substr(l.find(':') + 1));
    if (w[0] == "IDR" || w[0] == "CRA" || w[0] == "BLA") {
      ASSERT_LT(g, d->groups.size());
      EXPECT_EQ(d->groups[g].position, std::stoull(w[1]));
      EXPECT_EQ(d->groups[g].first, pictures - leading);
      EXPECT_EQ(d->groups[g].rasl, rasl);
      EXPECT_EQ(d->groups[g].idr, 1);
      EXPECT_EQ(d->frames[pictures].slice_type, std::stoi(w[2]));
      EXPECT_EQ(d->frames[pictures].poc, std::stoi(w[3]));
      leading = rasl = 0;
      ++g;
    } else {
      if (w[0] == "RASL") ++rasl;
      if (w[0] == "RASL" || w[0] == "RADL") ++leading;
      EXPECT_EQ(d->frames[pictures].slice_type, std::stoi(w[1]));
      EXPECT_EQ(d->frames[pictures].poc, std::stoi(w[2]));
    }
    EXPECT_EQ(d->frames[pictures].top, static_cast<int>(pictures));
    ++pictures;
  }
  EXPECT_EQ(d->groups.size(), g);
  EXPECT_GE(g, 3u);
  EXPECT_EQ(d->coded_count, static_cast<int>(tu::ffprobe_frames(es).size()));
  EXPECT_EQ(d->display_count, d->coded_count);
  EXPECT_EQ(d->lead_skip, static_cast<int>(d->groups[0].first) + d->groups[0].rasl);
}

// ---------------------------------------------------------------- hand-written indexes

namespace {

// An index with one existing input file and the given body lines.
std::string Hand(const std::string& name, const char* magic, const std::string& body) {
  const std::string dir = Dir();
  const std::string input = dir + "input.bin";
  if (!tu::exists(input)) tu::write_file(input, std::vector<uint8_t>(1000, 0));
  const std::string kwi = dir + name;
  pt::WriteText(kwi, pt::Head(magic, {input + " 1000"}) +
                         "\nDEVICE 0\nDECODE_MODES 0,0,0,0,0\nSTREAM 0 0\nRANGE 0 0 999 0\nDEMUX \n"
                         "DEPTH 8\nASPECT 1 1\nCOLORIMETRY 2 2 2\n" +
                         body + "\nSIZE 320 x 240 \nFPS 30000 / 1001\nCODED 1\nORDER 1\n");
  return kwi;
}

// AVC picture lines with the given pic_struct values, POCs counting by 2.
std::string AvcPictures(const std::vector<int>& ps, int first = 0) {
  std::string s;
  for (size_t i = 0; i < ps.size(); ++i)
    s += "\n" + std::to_string(first + i) + ":FRM 7 " + std::to_string(2 * (first + i)) + " " +
         std::to_string(ps[i]);
  return s;
}

}  // namespace

TEST(IndexReaderRules, PulldownCadenceMakesTheDocumentedFrames) {
  // pic_struct 3, 5, 4, 6 for pictures A..D: A/A, B/B, B/C, C/D, D/D.
  auto d = ReadOk(Hand("cadence.kwi", kAvcMagic, "\nIDR 0" + AvcPictures({3, 5, 4, 6})));
  ASSERT_EQ(d->display_count, 5);
  const int top[] = {0, 1, 1, 2, 3}, bottom[] = {0, 1, 2, 3, 3};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(d->frames[i].top, top[i]) << i;
    EXPECT_EQ(d->frames[i].bottom, bottom[i]) << i;
  }
  // Frame doubling and tripling.
  d = ReadOk(Hand("repeats.kwi", kAvcMagic, "\nIDR 0" + AvcPictures({7, 8, 3})));
  ASSERT_EQ(d->display_count, 6);
  const int rep[] = {0, 0, 1, 1, 1, 2};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(d->frames[i].top, rep[i]);
  Options o;
  o.fieldop = 1;
  int r = 0;
  Read(Hand("repeats.kwi", kAvcMagic, "\nIDR 0" + AvcPictures({3, 8})), &r, o);
  EXPECT_EQ(r, INDEX_FILM_REPEATS);
}

TEST(IndexReaderRules, ForceFilmCadenceDropsAndDoubles) {
  Options o;
  o.fieldop = 1;
  // Two-field pictures outnumber three-field ones by 3: the third is dropped
  // and the cadence locks; afterwards a difference of 5 drops again.
  auto d = ReadOk(Hand("video.kwi", kAvcMagic, "\nIDR 0" + AvcPictures(std::vector<int>(10, 3))), o);
  // Pictures 0,1 shown, 2 dropped, 3..6 shown, 7 dropped, 8, 9 shown.
  ASSERT_EQ(d->display_count, 8);
  const int shown[] = {0, 1, 3, 4, 5, 6, 8, 9};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(d->frames[i].top, shown[i]) << i;
  EXPECT_EQ(d->fps_num, 24000) << "integer part of 0.8 times 30000";
  // Three-field pictures outnumber two-field ones by 3: the third fills two frames.
  d = ReadOk(Hand("three.kwi", kAvcMagic, "\nIDR 0" + AvcPictures({5, 6, 5, 3})), o);
  ASSERT_EQ(d->display_count, 5);
  const int filled[] = {0, 1, 2, 2, 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(d->frames[i].top, filled[i]) << i;
}

TEST(IndexReaderRules, GroupLinesAndTrims) {
  // Pictures before the first group are not counted.
  auto d = ReadOk(Hand("before.kwi", kAvcMagic,
                       "\n0:FRM 1 0 -1\n1:FRM 1 2 -1\nIDR 500" + AvcPictures({-1, -1, -1}, 2)));
  EXPECT_EQ(d->coded_count, 3);
  ASSERT_EQ(d->groups.size(), 1u);
  EXPECT_EQ(d->groups[0].first, 0u);
  EXPECT_EQ(d->groups[0].position, 500u);

  // RPS then I: one group, at the I picture without strict AVC and at the
  // recovery point with it.
  const std::string rps = Hand("rps.kwi", kAvcMagic, "\nRPS 100\nI 200" + AvcPictures({-1, -1}));
  d = ReadOk(rps);
  ASSERT_EQ(d->groups.size(), 1u);
  EXPECT_EQ(d->groups[0].position, 200u);
  EXPECT_EQ(d->groups[0].updated, 1);
  Options strict;
  strict.strict_avc = 1;
  d = ReadOk(rps, strict);
  ASSERT_EQ(d->groups.size(), 1u);
  EXPECT_EQ(d->groups[0].position, 100u);
  int r = 0;
  Read(Hand("ionly.kwi", kAvcMagic, "\nI 200" + AvcPictures({-1, -1})), &r, strict);
  EXPECT_EQ(r, INDEX_STRICT_AVC);

  // Trailing pictures beyond the order-count step are dropped: counts 8, 10,
  // 12 and then 20 with a step of 2.
  d = ReadOk(Hand("trim.kwi", kAvcMagic,
                  "\nIDR 0\n0:FRM 7 0 -1\n1:FRM 6 2 -1\n2:FRM 6 4 -1\n3:FRM 5 6 -1\n4:FRM 6 8 -1\n"
                  "5:FRM 5 10 -1\n6:FRM 5 12 -1\n7:FRM 5 20 -1"));
  EXPECT_EQ(d->coded_count, 7);
  EXPECT_EQ(d->display_count, 7);

  // An open first group starting with B pictures skips them.
  d = ReadOk(Hand("lead.kwi", kAvcMagic,
                  "\nI 0\n0:FRM 1 -4 -1\n1:FRM 6 -2 -1\n2:FRM 7 0 -1\n3:FRM 5 2 -1"));
  EXPECT_EQ(d->lead_skip, 2);
}

TEST(IndexReaderRules, Vc1AndMpeg2Specifics) {
  // VC-1: repeat codes in an interlaced sequence are TFF/RFF; in a
  // progressive one RPTFRM repeats the frame; 255 means no pulldown.
  auto d = ReadOk(Hand("vc1i.kwi", kVc1Magic,
                       "\nSEQ 0 1 1 0\nENTRY 40 1 1\n0:FRM 0 2 3\n1:FRM 3 2 0\n2:FRM 3 2 1\n3:FRM 1 2 2"));
  EXPECT_TRUE(d->pulldown);
  EXPECT_EQ(d->groups.at(0).closed, 1);
  EXPECT_EQ(d->display_count, 5);
  d = ReadOk(Hand("vc1p.kwi", kVc1Magic,
                  "\nSEQ 0 0 1 0\nENTRY 40 0 1\n0:FRM 3 0 0\n1:FRM 0 0 2\n2:FRM 1 0 255\n3:FRM 1 0 254"));
  EXPECT_FALSE(d->pulldown);
  EXPECT_EQ(d->display_count, 1 + 3 + 1 + 1) << "RPTFRM 2 gives three frames; 254 is no code";
  EXPECT_EQ(d->lead_skip, 1) << "broken_link 0 and a B picture first";
  Options film;
  film.fieldop = 1;
  int r = 0;
  Read(Hand("vc1p.kwi", kVc1Magic, "\nSEQ 0 0 1 0\n0:FRM 0 0 0\n1:FRM 0 0 1"), &r, film);
  EXPECT_EQ(r, INDEX_FILM_REPEATS);
  Read(Hand("vc1z.kwi", kVc1Magic, "\nSEQ 0 0 1 0\n0:FRM 0 0 0\n1:FRM 0 0 0"), &r, film);
  EXPECT_EQ(r, 0) << "RPTFRM 0 repeats nothing";

  // MPEG-2: GOP and SEQEXT before any group are ignored; a progressive
  // sequence repeats frames; an open first group skips to the first frame
  // made of pictures from the first I on.
  d = ReadOk(Hand("mpg.kwi", kMpgMagic,
                  "\nGOP 1\nSEQEXT 1\n0:FRM B 3 0 0 1\nSEQ 12\nSEQEXT 1\nGOP 0\n"
                  "0:FRM B 3 0 0 1\n1:FRM B 3 0 0 1\n2:FRM I 3 1 1 1\n3:FRM P 3 0 1 1"));
  ASSERT_EQ(d->groups.size(), 1u);
  EXPECT_EQ(d->groups[0].closed, 0);
  EXPECT_EQ(d->coded_count, 4);
  EXPECT_EQ(d->display_count, 1 + 1 + 3 + 2);
  EXPECT_EQ(d->lead_skip, 2);
  EXPECT_EQ(d->frames[0].leading_b + d->frames[1].leading_b + d->frames[2].leading_b, 2);
  Read(Hand("mpgfilm.kwi", kMpgMagic, "\nSEQ 12\nSEQEXT 1\n0:FRM I 3 1 0 1"), &r, film);
  EXPECT_EQ(r, INDEX_FILM_REPEATS);

  // MPEG-2 groups that start after their sequence header name it second;
  // a second value that is no number names none.
  d = ReadOk(Hand("mpgapart.kwi", kMpgMagic,
                  "\nSEQ 12\nGOP 1\n0:FRM I 3 0 0 1\nSEQ 40 12\nGOP 0\n1:FRM I 3 0 0 1\n"
                  "SEQ 50 \n2:FRM I 3 0 0 1\nSEQ 60 x\n3:FRM I 3 0 0 1"));
  ASSERT_EQ(d->groups.size(), 4u);
  EXPECT_EQ(d->groups[0].sequence_apart, 0);
  EXPECT_EQ(d->groups[1].sequence_apart, 1);
  EXPECT_EQ(d->groups[1].position, 40u);
  EXPECT_EQ(d->groups[1].sequence_position, 12u);
  EXPECT_EQ(d->groups[1].closed, 0);
  EXPECT_EQ(d->groups[2].sequence_apart, 0);
  EXPECT_EQ(d->groups[3].sequence_apart, 0);
}

// VC-1 recordings that begin inside the stream: the display frames before
// the first one whose fields both come from the first whole intra picture
// (an I frame, an I/I or I/P field pair) are skipped, whatever the entry
// point says; a P/I pair refers back with its P field.
TEST(IndexReaderRules, Vc1LeadingSkipRunsToTheFirstWholeIntraPicture) {
  struct Case {
    const char* what;
    const char* body;
    int fieldop;
    int lead;
  } cases[] = {
      {"an I picture first", "\nSEQ 0 1 1 0\nENTRY 40 0 64\n0:FRM 0 0 2\n1:FRM 3 0 3\n2:FRM 1 0 0", 0, 0},
      // Fields B0 B0 | B1 B1 | B1 I2 | I2 P3 ...: the third frame weaves the
      // repeated field of the second B picture with the I picture's.
      {"leading B pictures with pulldown",
       "\nSEQ 0 1 1 0\nENTRY 40 0 64\n0:FRM 3 0 2\n1:FRM 3 0 3\n2:FRM 0 0 0\n3:FRM 1 0 1", 0, 3},
      {"leading B pictures, one frame per picture",
       "\nSEQ 0 1 1 0\nENTRY 40 0 64\n0:FRM 3 0 2\n1:FRM 3 0 3\n2:FRM 0 0 0\n3:FRM 1 0 1", 2, 2},
      {"broken_link set", "\nSEQ 0 0 1 0\nENTRY 40 128 0\n0:FRM 3 0 255\n1:FRM 0 0 255\n2:FRM 1 0 255", 0, 1},
      // B/B, P/I, P/P, then a group of I/P: the frames up to the I/P pair.
      {"a P/I pair first",
       "\nSEQ 0 1 0 0\nENTRY 40 0 0\n0:FRM 4 2 255\n1:FRM 2 2 255\n2:FRM 3 2 255\n"
       "SEQ 90 1 0 0\nENTRY 120 0 0\n3:FRM 1 2 255\n4:FRM 3 2 255",
       0, 3},
      {"P/I pairs only: up to the first", "\nSEQ 0 1 0 0\nENTRY 40 0 0\n0:FRM 4 2 255\n1:FRM 2 2 255\n2:FRM 3 2 255",
       0, 1},
      {"an I/I pair first", "\nSEQ 0 1 0 0\nENTRY 40 0 0\n0:FRM 0 2 255\n1:FRM 4 2 255\n2:FRM 3 2 255", 0, 0},
  };
  for (const Case& c : cases) {
    Options o;
    o.fieldop = c.fieldop;
    auto d = ReadOk(Hand("vc1lead.kwi", kVc1Magic, c.body), o);
    EXPECT_EQ(d->lead_skip, c.lead) << c.what;
  }
}

// Slots of pictures lost to damage: "N:LOST" takes its running index and
// one display frame in the timing of its stream, and names no coded
// picture; DAMAGE lines are positions. Anything else that looks alike is
// no such line.
TEST(IndexReaderRules, LostSlotsKeepTheirPlaces) {
  struct Case {
    const char* what;
    const char* magic;
    const char* body;
    int coded, display;
    std::vector<int> lost;  // coded picture indexes
    std::vector<u64> damage;
  } cases[] = {
      {"AVC", kAvcMagic,
       "\nIDR 0\n0:FRM 7 0 -1\n1:FRM 5 2 -1\nDAMAGE 400\n2:LOST\n3:FRM 5 6 -1\n4:FRM 5 8 -1", 5, 5, {2}, {400}},
      // The last picture's count lies beyond the step: it and the lost
      // slot before it end nothing of the clip.
      {"AVC, trimmed after a lost slot", kAvcMagic,
       "\nIDR 0\n0:FRM 7 0 -1\n1:FRM 5 2 -1\n2:LOST\n3:FRM 5 6 -1\n4:LOST\n5:FRM 5 20 -1", 4, 4, {2}, {}},
      {"AVC, two in a row", kAvcMagic,
       "\nIDR 0\n0:FRM 7 0 -1\n1:LOST\n2:LOST\n3:FRM 5 6 -1\n4:FRM 5 8 -1", 5, 5, {1, 2}, {}},
      {"AVC, not lost lines", kAvcMagic,
       "\nIDR 0\n0:FRM 7 0 -1\n1:LOST 5\n1:LOSTX\nLOST\n1:FRM 5 2 -1", 2, 2, {}, {}},
      {"MPEG-2", kMpgMagic,
       "\nSEQ 0\nGOP 1\n0:FRM I 3 1 0 0\n1:LOST\n2:FRM P 3 1 0 0\nDAMAGE 300\nDAMAGE 310\nSEQ 500\nGOP 0\n"
       "3:FRM B 3 1 0 0\n4:LOST\n5:FRM B 3 1 0 0\n6:FRM I 3 1 0 0",
       7, 7, {1, 4}, {300, 310}},
      {"MPEG-2, progressive", kMpgMagic,
       "\nSEQ 0\nSEQEXT 1\nGOP 1\n0:FRM I 3 0 0 1\n1:LOST\n2:FRM P 3 1 1 1", 3, 1 + 1 + 3, {1}, {}},
      {"VC-1", kVc1Magic, "\nSEQ 0 0 1 0\nENTRY 40 1 1\n0:FRM 0 0 255\n1:LOST\n2:FRM 1 0 255", 3, 3, {1}, {}},
      {"HEVC", kHevcMagic,
       "\n0:IDR 0 2 0\n1:TRAIL 1 1\n2:LOST\n3:TRAIL 1 3\nDAMAGE 700\n4:RASL 0 5\n5:LOST\n6:CRA 900 2 7\n7:TRAIL 1 8",
       8, 8, {2, 5}, {700}},
  };
  for (const Case& c : cases) {
    auto d = ReadOk(Hand("lost.kwi", c.magic, c.body));
    EXPECT_EQ(d->coded_count, c.coded) << c.what;
    EXPECT_EQ(d->display_count, c.display) << c.what;
    for (int i = 0; i < d->coded_count; ++i) {
      const bool lost = std::find(c.lost.begin(), c.lost.end(), i) != c.lost.end();
      EXPECT_EQ(d->frames[size_t(i)].lost != 0, lost) << c.what << ": picture " << i;
    }
    EXPECT_EQ(d->damage_list, c.damage) << c.what;
  }
  // Each lost slot is a display frame of its own index; pictures after it
  // keep theirs.
  auto d = ReadOk(Hand("lost.kwi", kMpgMagic, cases[4].body));
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(d->frames[size_t(i)].top, i) << i;
    EXPECT_EQ(d->frames[size_t(i)].bottom, i) << i;
  }
  // The leading B pictures around a lost slot are the group's.
  EXPECT_EQ(d->frames[3].leading_b, 1);
  EXPECT_EQ(d->frames[5].leading_b, 1);
  EXPECT_EQ(d->frames[6].leading_b, 0);
  // A slot right after a group line: the group begins after it.
  d = ReadOk(Hand("lost.kwi", kAvcMagic,
                  "\nIDR 0\n0:FRM 7 0 -1\n1:FRM 5 2 -1\nI 500\n2:LOST\n3:FRM 6 6 -1\n4:FRM 7 8 -1"));
  ASSERT_EQ(d->groups.size(), 2u);
  EXPECT_EQ(d->groups[1].first, 3u);
  EXPECT_EQ(d->groups[1].position, 500u);
  d = ReadOk(Hand("lost.kwi", kMpgMagic, "\nSEQ 0\nGOP 1\n0:FRM I 3 1 0 0\nSEQ 500\nGOP 0\n1:LOST\n2:FRM B 3 1 0 0\n3:FRM I 3 1 0 0"));
  ASSERT_EQ(d->groups.size(), 2u);
  EXPECT_EQ(d->groups[1].first, 2u);
  EXPECT_EQ(d->frames[2].leading_b, 1);
  // An HEVC slot among leading pictures belongs to the coming group.
  d = ReadOk(Hand("lost.kwi", kHevcMagic, cases[7].body));
  ASSERT_EQ(d->groups.size(), 2u);
  EXPECT_EQ(d->groups[1].first, 4u);
  EXPECT_EQ(d->groups[1].rasl, 1);
  EXPECT_EQ(d->groups[1].opener, 6u);
  // One frame per picture counts a lost slot too.
  Options o;
  o.fieldop = 2;
  d = ReadOk(Hand("lost.kwi", kAvcMagic, cases[0].body), o);
  EXPECT_EQ(d->display_count, 5);
  EXPECT_EQ(d->frames[2].top, 2);
  EXPECT_EQ(d->frames[2].lost, 1);
}

TEST(IndexReaderHostile, DamagedValuesStayBounded) {
  // Huge and negative numbers, garbage lines, a line longer than the line
  // buffer, missing values: nothing is read beyond what is there.
  const std::string longline(120000, 'F');
  auto d = ReadOk(Hand("hostile.kwi", kAvcMagic,
                       "\nSPS 99999999999999999999999\nPPS -5\nDEPTH 99999999999\nASPECT x y\n"
                       "IDR\n" + longline + "\n0:FRM\n1:FRM 2147483647 -2147483648 6\n"
                       "2:FRM 1 2 3 4 5 6 7\n3:FRM 9 4 99999\nGARBAGE\n\n\n" + longline + "FRM 1 1 1"));
  EXPECT_TRUE(d->sps_list.empty()) << "a position beyond 64 bits is no position";
  EXPECT_TRUE(d->pps_list.empty());
  EXPECT_EQ(d->depth, 8);
  ASSERT_EQ(d->groups.size(), 1u);
  EXPECT_LE(static_cast<size_t>(d->display_count), d->frames.size());
  EXPECT_LE(static_cast<size_t>(d->coded_count), d->frames.size());

  // Many tripled frames: the table grows to cover every display frame written.
  std::vector<int> triples(5000, 8);
  d = ReadOk(Hand("triples.kwi", kAvcMagic, "\nIDR 0" + AvcPictures(triples)));
  EXPECT_EQ(d->display_count, 15000);
  EXPECT_GE(d->frames.size(), 15000u);
  EXPECT_EQ(d->frames[14999].top, 4999);

  // HEVC leading pictures before the first IRAP are counted into its group.
  d = ReadOk(Hand("hevc.kwi", kHevcMagic,
                  "\n0:RASL 0 -2\n1:RASL 0 -1\n2:CRA 300 2 0\n3:TRAIL 1 1\n4:TRAIL 1 2\n"
                  "5:RADL 0 3\n6:IDR 900 2 0\n7:TRAIL 1 1"));
  ASSERT_EQ(d->groups.size(), 2u);
  EXPECT_EQ(d->groups[0].first, 0u);
  EXPECT_EQ(d->groups[0].rasl, 2);
  EXPECT_EQ(d->groups[1].first, 5u);
  EXPECT_EQ(d->groups[1].position, 900u);
  EXPECT_EQ(d->lead_skip, 2);

  // A STREAM line of a transport stream needs a packet size and PID that can be.
  int r = 0;
  Read(Hand("tsbad.kwi", kAvcMagic, "\nSTREAM 1 0\nPKTSIZ 100\nVPID 256\nIDR 0\n0:FRM 7 0 -1"), &r);
  EXPECT_EQ(r, INDEX_BAD_VALUES);
  Read(Hand("pidbad.kwi", kAvcMagic, "\nSTREAM 1 0\nPKTSIZ 188\nVPID 9000\nIDR 0\n0:FRM 7 0 -1"), &r);
  EXPECT_EQ(r, INDEX_BAD_VALUES);
  Read(Hand("nostream.kwi", kAvcMagic, "\nSTREAM 9 0\nIDR 0\n0:FRM 7 0 -1"), &r);
  EXPECT_EQ(r, INDEX_BAD_VALUES);

  // Every cut of a real index reads without fault (result codes vary).
  const std::string whole = tu::read_text(Hand("whole.kwi", kAvcMagic, "\nIDR 0" + AvcPictures({5, 6, 3, 8})));
  for (size_t cut = 0; cut < whole.size(); cut += 7) {
    const std::string p = Dir() + "cut.kwi";
    pt::WriteText(p, whole.substr(0, cut));
    Read(p, &r);
    EXPECT_TRUE(r == 0 || r == INDEX_EMPTY || r == INDEX_NOT_KWI || r == INDEX_VERSION ||
                r == INDEX_NO_GOPS || r == INDEX_BAD_VALUES || r == INDEX_OPEN_INPUT || r == INDEX_STALE)
        << "cut at " << cut << ": " << r;
  }
}
