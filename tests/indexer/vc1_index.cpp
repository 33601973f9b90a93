// VC-1 index files of elementary streams written by the test-side VC-1
// writer: group lines, picture lines in display order, pulldown accounting,
// field order, display extension and the trailer. Every expected value
// follows from what the writer put into the stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"
#include "vc1_writer.h"

namespace {

using vc1w::pic;
using vc1w::Picture;
using vc1w::Sequence;

using vc1w::index_es;
using vc1w::Indexed;

// Group and picture lines in file order.
std::vector<std::string> body(const std::vector<std::string>& lines) {
  std::vector<std::string> v;
  for (const std::string& l : lines)
    if (l.rfind("SEQ ", 0) == 0 || l.rfind("ENTRY ", 0) == 0 || l.find(":FRM ") != std::string::npos)
      v.push_back(l);
  return v;
}

// What the index must say: groups written by hand, pictures put into display
// order by the rule that every reference waits for the next reference.
struct Expected {
  std::vector<std::string> lines;
  int index = 0;
  void group(uint64_t seq, const Sequence& s, uint64_t entry, int broken, int closed) {
    lines.push_back("SEQ " + std::to_string(seq) + " " + std::to_string(s.interlace) + " " +
                    std::to_string(s.pulldown) + " " + std::to_string(s.psf));
    lines.push_back("ENTRY " + std::to_string(entry) + " " + std::to_string(broken) + " " +
                    std::to_string(closed));
  }
  void frm(const Sequence& s, const Picture& p) {
    lines.push_back(std::to_string(index++) + ":FRM " + std::to_string(p.type) + " " +
                    std::to_string(p.mode) + " " + std::to_string(s.pulldown ? p.repeat : 255));
  }
  static bool reference(const Picture& p) {
    return p.mode == vc1w::FieldInterlaced ? p.type <= 3 : p.type <= 2;
  }
  void pictures(const Sequence& s, const std::vector<Picture>& coding) {
    size_t held = 0;
    for (size_t i = 1; i < coding.size(); i++) {
      if (reference(coding[i])) {
        frm(s, coding[held]);
        held = i;
      } else {
        frm(s, coding[i]);
      }
    }
    frm(s, coding[held]);
  }
};

// Writes one group: sequence header, entry point, its pictures.
struct GroupSpec {
  std::vector<Picture> pics;
  bool broken = false, closed = true;
};

void write_groups(vc1w::Stream& st, Expected& ex, const Sequence& s, const std::vector<GroupSpec>& groups) {
  for (const GroupSpec& g : groups) {
    uint64_t seq = st.sequence(s);
    uint64_t entry = st.entry(g.broken, g.closed);
    for (const Picture& p : g.pics) st.picture(p);
    ex.group(seq, s, entry, g.broken ? 128 : 0, g.closed ? 64 : 0);
    ex.pictures(s, g.pics);
  }
}

int count_pictures(const std::vector<GroupSpec>& groups) {
  int n = 0;
  for (const GroupSpec& g : groups) n += static_cast<int>(g.pics.size());
  return n;
}

using vc1w::B;
using vc1w::BI;
using vc1w::I;
using vc1w::P;
using vc1w::Skipped;

TEST(Vc1Index, ProgressiveGroupsHeaderBodyAndTrailer) {
  Sequence s;
  s.width = 352;
  s.height = 288;
  vc1w::Stream st;
  Expected ex;
  std::vector<GroupSpec> groups = {
      {{pic(I), pic(P), pic(B), pic(B), pic(P), pic(B), pic(Skipped), pic(BI)}, false, true},
      {{pic(I), pic(B), pic(B), pic(P), pic(P)}, true, false},
      {{pic(I)}, false, false},
  };
  write_groups(st, ex, s, groups);
  const std::string in = tu::scratch("prog.vc1");
  Indexed x = index_es(st.es, "prog");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  const auto& l = x.lines;
  ASSERT_GT(l.size(), 14u);
  EXPECT_EQ(l[0].rfind("KWVC1IndexFileNV100 Ostrel 2053.0.0.502 X64", 0), 0u) << l[0];
  EXPECT_EQ(l[2], "");
  EXPECT_EQ(l[3], in + " " + std::to_string(st.es.size()));
  EXPECT_EQ(l[4], "");
  const std::vector<std::string> keywords = {"DEVICE 0", "DECODE_MODES 0,0,0,0,0", "STREAM 0 0",
                                             "RANGE 0 0 ",
                                             "DEMUX ", "DEPTH 8", "ASPECT -1 -1", "COLORIMETRY 2 2 2", ""};
  // RANGE follows the selected range of the front end; only its start is fixed here.
  for (size_t i = 0; i < keywords.size(); i++)
    EXPECT_EQ(keywords[i] == "RANGE 0 0 " ? l[5 + i].substr(0, 10) : l[5 + i], keywords[i]);
  EXPECT_EQ(body(l), ex.lines);
  const int n = count_pictures(groups);
  EXPECT_EQ(tu::kwi_line(l, "SIZE"), "SIZE 352 x 288 ");
  EXPECT_EQ(tu::kwi_line(l, "FPS"), "FPS 25 / 1");
  EXPECT_EQ(tu::kwi_line(l, "CODED"), "CODED " + std::to_string(n));
  EXPECT_EQ(tu::kwi_line(l, "PLAYBACK"), "PLAYBACK " + std::to_string(n));
  EXPECT_EQ(l[l.size() - 2], "0.00% FILM");
  EXPECT_EQ(l.back(), "ORDER 0");
  EXPECT_EQ(tu::read_text(tu::scratch("prog.kwi")).back(), '\n');
}

TEST(Vc1Index, InterlacedFramesWithoutPulldownAreTopFieldFirst) {
  Sequence s;
  s.interlace = true;
  vc1w::Stream st;
  Expected ex;
  Picture i = pic(I, 0, vc1w::FrameInterlaced);
  Picture b = pic(B, 0, vc1w::FrameInterlaced);
  Picture p = pic(P, 0, vc1w::Progressive);
  std::vector<GroupSpec> groups = {{{i, p, b, b, p}}, {{pic(I), b, p}}};
  write_groups(st, ex, s, groups);
  Indexed x = index_es(st.es, "fi");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(x.lines.back(), "ORDER 1");
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 8");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 8");
}

TEST(Vc1Index, FieldPairsAreOnePictureEach) {
  Sequence s;
  s.interlace = true;
  s.tfcntrflag = true;
  vc1w::Stream st;
  Expected ex;
  auto f = [](int t) { return pic(t, 0, vc1w::FieldInterlaced); };
  // Each of the three intra field-pair types opens a group; all eight
  // FPTYPE values appear.
  std::vector<GroupSpec> groups = {
      {{f(vc1w::II), f(vc1w::PP), f(vc1w::BB), f(vc1w::BBI), f(vc1w::PP)}},
      {{f(vc1w::IP), f(vc1w::BIB), f(vc1w::BIBI), f(vc1w::PP)}},
      {{f(vc1w::PI), pic(P, 0, vc1w::FrameInterlaced), f(vc1w::BB)}},
  };
  write_groups(st, ex, s, groups);
  Indexed x = index_es(st.es, "fields");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 12");
  EXPECT_EQ(x.lines.back(), "ORDER 1");
}

TEST(Vc1Index, ProgressiveRepeatFrameDoublesPlayback) {
  Sequence s;
  s.pulldown = true;
  s.tfcntrflag = true;
  vc1w::Stream st;
  Expected ex;
  std::vector<GroupSpec> groups = {{{pic(I, 1), pic(P, 1), pic(B, 1), pic(B, 1), pic(P, 1)}},
                                   {{pic(I, 1), pic(B, 1), pic(P, 1)}}};
  write_groups(st, ex, s, groups);
  Indexed x = index_es(st.es, "rptfrm");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 8");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 16");
  EXPECT_EQ(x.lines[x.lines.size() - 2], "0.00% FILM");
  EXPECT_EQ(x.lines.back(), "ORDER 0");
}

// Interlaced sequence with TFF/RFF: the display-order values
// (TFF*2+RFF) 2, 3, 0, 1, 2, 3, ... are the 3:2 cadence.
TEST(Vc1Index, TelecineCadenceCountsAsFilm) {
  Sequence s;
  s.interlace = true;
  s.pulldown = true;
  vc1w::Stream st;
  Expected ex;
  // Coding order I P B B P B B: display I B B P B B P with values
  // 2 3 0 1 2 3 0 -> I=2, P=1, B=3, B=0, P=0, B=2, B=3.
  std::vector<GroupSpec> groups = {
      {{pic(I, 2), pic(P, 1), pic(B, 3), pic(B, 0), pic(P, 0), pic(B, 2), pic(B, 3)}}};
  write_groups(st, ex, s, groups);
  Indexed x = index_es(st.es, "cadence");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  // RFF on the pictures with values 3, 1, 3: three repeated fields.
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 7");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 8");
  // Compared pairs in display order: (2,3) (3,0) (0,1) (1,2) (2,3), all
  // film; the last reference's own value waits for a next reference.
  EXPECT_EQ(x.lines[x.lines.size() - 2], "100.00% FILM");
  // The first picture written before the end decides: the I, TFF set.
  EXPECT_EQ(x.lines.back(), "ORDER 1");
}

TEST(Vc1Index, BrokenCadenceCountsAsVideoAndBottomFieldFirst) {
  Sequence s;
  s.interlace = true;
  s.pulldown = true;
  vc1w::Stream st;
  Expected ex;
  // All references, values 0 0 0 1: pairs (0,0) (0,0) video.
  std::vector<GroupSpec> groups = {{{pic(I, 0), pic(P, 0), pic(P, 0), pic(P, 1)}}};
  write_groups(st, ex, s, groups);
  Indexed x = index_es(st.es, "video");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(x.lines[x.lines.size() - 2], "0.00% FILM");
  EXPECT_EQ(x.lines.back(), "ORDER 2");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 4");  // one repeated field: 4 + 1/2
}

TEST(Vc1Index, SegmentedFramesRepeatWholeFrames) {
  Sequence s;
  s.interlace = true;
  s.pulldown = true;
  s.psf = true;
  vc1w::Stream st;
  Expected ex;
  // References only; RPTFRM values 1 3 1 3 0: pairs (1,3) (3,1) film, (1,3) film.
  std::vector<GroupSpec> groups = {{{pic(I, 1), pic(P, 3), pic(P, 1), pic(P, 3), pic(P, 0)}}};
  write_groups(st, ex, s, groups);
  Indexed x = index_es(st.es, "psf");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "SEQ"), "SEQ 0 1 1 1");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 13");  // 5 + 1+3+1+3+0
  EXPECT_EQ(x.lines[x.lines.size() - 2], "100.00% FILM");
  EXPECT_EQ(x.lines.back(), "ORDER 0");
}

// FRAMERATENR/FRAMERATEDR behind each aspect-ratio form: a wrong count of
// aspect bits would shift the rate fields.
TEST(Vc1Index, DisplayExtensionSizeAndFrameRate) {
  struct Case {
    int aspect, nr, dr;
    bool ind;
    const char* fps;
  };
  const Case cases[] = {
      {-1, -1, 1, false, "FPS 25000 / 1000"},  // display extension without rate
      {0, 1, 1, false, "FPS 24000 / 1000"},      {1, 1, 2, false, "FPS 24000 / 1001"},
      {2, 2, 1, false, "FPS 25000 / 1000"},      {3, 2, 2, false, "FPS 25000 / 1001"},
      {4, 3, 1, false, "FPS 30000 / 1000"},      {5, 3, 2, false, "FPS 30000 / 1001"},
      {6, 4, 1, false, "FPS 50000 / 1000"},      {7, 4, 2, false, "FPS 50000 / 1001"},
      {8, 5, 1, false, "FPS 60000 / 1000"},      {9, 5, 2, false, "FPS 60000 / 1001"},
      {10, 6, 1, false, "FPS 48000 / 1000"},     {11, 6, 2, false, "FPS 48000 / 1001"},
      {12, 7, 1, false, "FPS 72000 / 1000"},     {13, 7, 2, false, "FPS 72000 / 1001"},
      {14, 0, 1, false, "FPS 25000 / 1000"},     {15, 8, 1, false, "FPS 25000 / 1000"},
      {15, 1, 0, false, "FPS 1000 / 1000"},      {1, 3, 3, false, "FPS 1000 / 1000"},
      {15, 0, 1, true, "FPS 25000 / 1000"},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(k));
    Sequence s;
    s.display_ext = true;
    s.width = 720;
    s.height = 480;
    s.disp_width = 704 + k;
    s.disp_height = 396 + k;
    s.aspect = c.aspect;
    s.aspect_x = 117;
    s.aspect_y = 91;
    s.rate_nr = c.nr;
    s.rate_dr = c.dr;
    s.rate_ind = c.ind;
    s.colour_prim = k % 2 ? 1 : -1;
    vc1w::Stream st;
    Expected ex;
    write_groups(st, ex, s, {{{pic(I), pic(P)}}});
    Indexed x = index_es(st.es, "dispext" + std::to_string(k));
    ASSERT_EQ(x.run.status, 0) << x.run.out;
    EXPECT_EQ(body(x.lines), ex.lines);
    EXPECT_EQ(tu::kwi_line(x.lines, "SIZE"),
              "SIZE " + std::to_string(704 + k) + " x " + std::to_string(396 + k) + " ");
    EXPECT_EQ(tu::kwi_line(x.lines, "FPS"), c.fps);
    // The start-up values stay on the header lines.
    EXPECT_EQ(tu::kwi_line(x.lines, "ASPECT"), "ASPECT -1 -1");
    EXPECT_EQ(tu::kwi_line(x.lines, "COLORIMETRY"), "COLORIMETRY 2 2 2");
    k++;
  }
}

TEST(Vc1Index, NoDisplayExtensionKeepsCodedSizeAndDefaultRate) {
  Sequence s;
  s.width = 1440;
  s.height = 1080;
  vc1w::Stream st;
  Expected ex;
  write_groups(st, ex, s, {{{pic(I), pic(P), pic(P)}}});
  Indexed x = index_es(st.es, "noext");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(tu::kwi_line(x.lines, "SIZE"), "SIZE 1440 x 1080 ");
  EXPECT_EQ(tu::kwi_line(x.lines, "FPS"), "FPS 25 / 1");
}

// Zero display-size fields put 00 00 runs into the sequence header, which the
// stream carries with emulation-prevention bytes; the rate behind them must
// still be read.
TEST(Vc1Index, EscapedSequenceHeaderFields) {
  Sequence s;
  s.display_ext = true;
  s.disp_width = 1;
  s.disp_height = 1;
  s.aspect = 0;
  s.rate_nr = 1;
  s.rate_dr = 2;
  vc1w::Stream st;
  Expected ex;
  write_groups(st, ex, s, {{{pic(I), pic(B), pic(P)}}});
  bool escaped = false;
  for (size_t i = 0; i + 2 < st.es.size(); i++)
    if (st.es[i] == 0 && st.es[i + 1] == 0 && st.es[i + 2] == 3) escaped = true;
  ASSERT_TRUE(escaped) << "the writer did not need an emulation-prevention byte";
  Indexed x = index_es(st.es, "escaped");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "SIZE"), "SIZE 1 x 1 ");
  EXPECT_EQ(tu::kwi_line(x.lines, "FPS"), "FPS 24000 / 1001");
}

// Group start rules: a group opens only at an I picture that directly
// follows a sequence header; I pictures elsewhere stay in the running group.
TEST(Vc1Index, GroupsOpenOnlyAtIntraAfterSequenceHeader) {
  Sequence s;
  vc1w::Stream st;
  Expected ex;
  uint64_t seq0 = st.sequence(s);
  uint64_t entry0 = st.entry(false, true);
  st.picture(pic(I));
  st.picture(pic(P));
  st.picture(pic(I));       // no sequence header before it: same group
  st.sequence(s);           // sequence header followed by a P: no new group
  st.picture(pic(P));
  st.entry(true, false);    // entry point without a group start
  uint64_t seq1 = st.sequence(s);
  st.picture(pic(I));       // new group; its entry is the last one seen
  uint64_t entry1 = st.positions(0x0E).back();
  ex.group(seq0, s, entry0, 0, 64);
  ex.pictures(s, {pic(I), pic(P), pic(I), pic(P)});
  ex.group(seq1, s, entry1, 128, 0);
  ex.pictures(s, {pic(I)});
  Indexed x = index_es(st.es, "starts");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 5");
}

TEST(Vc1Index, GroupWithoutEntryPointHasEntryZero) {
  Sequence s;
  vc1w::Stream st;
  st.sequence(s);
  st.picture(pic(I));
  st.picture(pic(P));
  Indexed x = index_es(st.es, "noentry");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), (std::vector<std::string>{"SEQ 0 0 0 0", "ENTRY 0 0 0", "0:FRM 0 0 255",
                                                     "1:FRM 1 0 255"}));
}

// A stream cut into mid-group: pictures before the first sequence header are
// ignored, and those after it but before the first group start (a P right
// behind the header) are dropped, so the first group begins at its I.
TEST(Vc1Index, StreamStartingMidGroup) {
  Sequence s;
  s.pulldown = true;
  vc1w::Stream st;
  st.seq = s;
  st.entry();            // before any sequence header: ignored
  st.picture(pic(P, 1));  // ignored
  st.picture(pic(B, 1));  // ignored
  st.sequence(s);
  st.picture(pic(P, 2));  // after the header but no group yet: dropped
  st.picture(pic(B, 2));  // dropped
  Expected ex;
  write_groups(st, ex, s, {{{pic(I, 0), pic(B, 1), pic(P, 0)}}});
  Indexed x = index_es(st.es, "midgroup");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(x.run.out.find("First picture in GOP not an I picture."), std::string::npos) << x.run.out;
  // Pictures after the first sequence header are counted, group or not.
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 5");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 10");  // RPTFRM 2+2+0+1+0 in a progressive sequence
}

// A group opened by an intra field pair whose second field never comes: its
// first recorded picture is then the P behind it, and the group cannot be
// indexed. Neither its group lines nor its pictures are written.
TEST(Vc1Index, GroupNotStartingWithIntraIsLeftOut) {
  Sequence s;
  s.interlace = true;
  vc1w::Stream st;
  Expected ex;
  write_groups(st, ex, s, {{{pic(I), pic(P)}}});
  st.sequence(s);
  st.entry();
  st.picture(pic(vc1w::II, 0, vc1w::FieldInterlaced), false);  // second field missing
  st.picture(pic(P));
  st.picture(pic(B));
  write_groups(st, ex, s, {{{pic(I), pic(B), pic(P)}}});
  Indexed x = index_es(st.es, "notintra");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_NE(x.run.out.find("First picture in GOP not an I picture."), std::string::npos) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 7");
}

// Field start codes count only as the second field of a field-interlaced
// frame header; stray ones do not add pictures.
TEST(Vc1Index, StrayFieldStartCodesAddNoPictures) {
  Sequence s;
  s.interlace = true;
  vc1w::Stream st;
  st.seq = s;
  st.field();  // before the sequence header
  Expected ex;
  uint64_t seq = st.sequence(s);
  uint64_t entry = st.entry();
  st.picture(pic(I));
  st.field();  // after a frame picture
  st.picture(pic(vc1w::PP, 0, vc1w::FieldInterlaced));
  st.field();  // a third field
  st.picture(pic(P, 0, vc1w::FrameInterlaced));
  ex.group(seq, s, entry, 0, 64);
  ex.pictures(s, {pic(I), pic(vc1w::PP, 0, vc1w::FieldInterlaced), pic(P, 0, vc1w::FrameInterlaced)});
  Indexed x = index_es(st.es, "strayfields");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 3");
}

TEST(Vc1Index, SequenceFlagsFollowTheLatestHeader) {
  Sequence a;
  Sequence b;
  b.interlace = true;
  b.pulldown = true;
  vc1w::Stream st;
  Expected ex;
  write_groups(st, ex, a, {{{pic(I), pic(P)}}});
  write_groups(st, ex, b, {{{pic(I, 2, vc1w::FrameInterlaced), pic(P, 1, vc1w::FrameInterlaced)}}});
  write_groups(st, ex, a, {{{pic(I)}}});
  Indexed x = index_es(st.es, "flags");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  // The first group is progressive: field order 0 from its first picture.
  EXPECT_EQ(x.lines.back(), "ORDER 0");
  EXPECT_EQ(tu::kwi_line(x.lines, "PLAYBACK"), "PLAYBACK 5");  // one RFF: 5 + 1/2
}

// The picture written last in a group, after the loop, decides no field
// order: groups of one picture each leave it undecided.
TEST(Vc1Index, SinglePictureGroupsLeaveFieldOrderUndecided) {
  Sequence s;
  s.interlace = true;
  vc1w::Stream st;
  Expected ex;
  write_groups(st, ex, s, {{{pic(I, 0, vc1w::FrameInterlaced)}}, {{pic(I)}}, {{pic(I)}}, {{pic(I)}}});
  Indexed x = index_es(st.es, "single");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_EQ(body(x.lines), ex.lines);
  EXPECT_EQ(x.lines.back(), "ORDER -1");
}

}  // namespace
