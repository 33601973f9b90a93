// VC-1 analysis against hostile input: truncated streams and headers,
// garbage units, stray start codes, a group beyond any fixed table size,
// and an index file that cannot be created.
#include <gtest/gtest.h>

#include <cstdint>
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

// The shape every index body must have: SEQ, ENTRY, then at least one
// picture line, per group; no picture line outside a group; picture indexes
// counting from 0.
void expect_well_formed(const std::vector<std::string>& lines) {
  enum { kOutside, kAfterSeq, kAfterEntry, kInGroup } state = kOutside;
  int next = 0;
  for (const std::string& l : lines) {
    if (l.rfind("SEQ ", 0) == 0) {
      EXPECT_TRUE(state == kOutside || state == kInGroup) << "group line without pictures before: " << l;
      state = kAfterSeq;
    } else if (l.rfind("ENTRY ", 0) == 0) {
      EXPECT_EQ(state, kAfterSeq) << l;
      state = kAfterEntry;
    } else if (l.find(":FRM ") != std::string::npos) {
      EXPECT_TRUE(state == kAfterEntry || state == kInGroup) << "picture outside a group: " << l;
      EXPECT_EQ(l.substr(0, l.find(':')), std::to_string(next)) << l;
      next++;
      state = kInGroup;
    } else if (l.rfind("SIZE ", 0) == 0) {
      EXPECT_TRUE(state == kOutside || state == kInGroup) << "group line without pictures at the end";
    }
  }
}

vc1w::Stream sample_stream() {
  Sequence s;
  s.interlace = true;
  s.pulldown = true;
  s.tfcntrflag = true;
  s.display_ext = true;
  s.aspect = 15;
  s.aspect_x = 4;
  s.aspect_y = 3;
  s.rate_nr = 1;
  s.rate_dr = 2;
  s.colour_prim = 1;
  vc1w::Stream st;
  st.filler = 6;
  for (int g = 0; g < 3; g++) {
    st.sequence(s);
    st.entry(g == 2, true);
    st.picture(pic(vc1w::II, 2, vc1w::FieldInterlaced));
    st.picture(pic(vc1w::P, 1, vc1w::FrameInterlaced));
    st.picture(pic(vc1w::B, 3));
    st.picture(pic(vc1w::BB, 0, vc1w::FieldInterlaced));
    st.picture(pic(vc1w::Skipped, 0));
  }
  return st;
}

// Every prefix of a stream: no crash, a complete index file, never more
// pictures than the whole stream has, and a well-formed body.
TEST(Vc1Hostile, EveryTruncation) {
  vc1w::Stream st = sample_stream();
  const size_t full = st.es.size();
  Indexed whole = index_es(st.es, "whole");
  ASSERT_EQ(whole.run.status, 0) << whole.run.out;
  EXPECT_EQ(tu::kwi_line(whole.lines, "CODED"), "CODED 15");
  for (size_t cut = 64; cut < full; cut += 1) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::vector<uint8_t> part(st.es.begin(), st.es.begin() + static_cast<std::ptrdiff_t>(cut));
    Indexed x = index_es(part, "cut");
    ASSERT_EQ(x.run.status, 0) << x.run.out;
    ASSERT_FALSE(x.lines.empty());
    EXPECT_EQ(x.lines.back().rfind("ORDER ", 0), 0u);
    expect_well_formed(x.lines);
    EXPECT_LE(tu::kwi_pictures(x.lines).size(), 15u);
  }
}

// Headers shorter than their fields: a cut sequence header is ignored as a
// whole, so the pictures behind it have no sequence; a cut picture header is
// not a picture; a cut entry point leaves the last one in force.
TEST(Vc1Hostile, TruncatedSequenceHeaderIsIgnored) {
  vc1w::Stream st;
  Sequence s;
  st.seq = s;
  st.unit(0x0F, {0xC4, 0x9F});  // profile, level and half of the coded size
  st.entry();
  for (int i = 0; i < 6; i++) st.picture(pic(i == 0 ? vc1w::I : vc1w::P));
  Indexed x = index_es(st.es, "cutseq");
  EXPECT_NE(x.run.out.find("VC-1 sequence header at 0 is truncated; ignored."), std::string::npos) << x.run.out;
  // Without a sequence header no picture can be decoded: no index.
  EXPECT_TRUE(tu::refused_no_picture(x.run, x.lines));
}

TEST(Vc1Hostile, TruncatedPictureAndEntryHeaders) {
  Sequence s;
  s.interlace = true;
  s.tfcntrflag = true;
  s.pulldown = true;
  vc1w::Stream st;
  uint64_t seq = st.sequence(s);
  uint64_t entry = st.entry(false, true);
  st.picture(pic(vc1w::I, 2, vc1w::FrameInterlaced));
  // FCM 10, PTYPE 0 (P) and 4 of the 8 TFCNTR bits: the pulldown bits are missing.
  uint64_t cut_pic = st.unit(0x0D, {0x9A});
  st.picture(pic(vc1w::P, 0, vc1w::FrameInterlaced));
  st.unit(0x0E, {});  // an entry point without its flags
  st.unit(0x0D, {});  // a frame start code alone
  st.picture(pic(vc1w::B, 1, vc1w::FrameInterlaced));
  Indexed x = index_es(st.es, "cutpic");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  EXPECT_NE(x.run.out.find("VC-1 picture header at " + std::to_string(cut_pic) + " is truncated; picture ignored."),
            std::string::npos)
      << x.run.out;
  const std::vector<std::string> expected = {"SEQ " + std::to_string(seq) + " 1 1 0",
                                             "ENTRY " + std::to_string(entry) + " 0 64", "0:FRM 0 1 2",
                                             "1:FRM 3 1 1", "2:FRM 1 1 0"};
  std::vector<std::string> got;
  for (const std::string& l : x.lines)
    if (l.rfind("SEQ", 0) == 0 || l.rfind("ENTRY", 0) == 0 || l.find(":FRM") != std::string::npos) got.push_back(l);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED 3");
}

// Units with valid codes and random payloads, mixed with random bytes:
// whatever they say, the run ends normally with a well-formed index.
TEST(Vc1Hostile, RandomPayloads) {
  uint32_t rng = 12345;
  auto next = [&rng]() {
    rng = rng * 1103515245u + 12345u;
    return static_cast<uint8_t>(rng >> 16);
  };
  const uint8_t codes[] = {0x0F, 0x0E, 0x0D, 0x0C, 0x0D, 0x0D, 0x0A, 0x1F};
  for (int round = 0; round < 40; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    vc1w::Stream st;
    st.sequence(Sequence());
    for (int u = 0; u < 60; u++) {
      std::vector<uint8_t> payload(next() % 24);
      for (uint8_t& b : payload) b = next();
      st.unit(codes[next() % 8], payload);
    }
    Indexed x = index_es(st.es, "random");
    if (x.run.status != 0) {
      EXPECT_TRUE(tu::refused_no_picture(x.run, x.lines));
      continue;
    }
    ASSERT_FALSE(x.lines.empty());
    EXPECT_EQ(x.lines.back().rfind("ORDER ", 0), 0u);
    expect_well_formed(x.lines);
  }
}

// One group far longer than any fixed per-group table: all of its pictures
// are written, in display order.
TEST(Vc1Hostile, VeryLongGroup) {
  Sequence s;
  vc1w::Stream st;
  st.filler = 1;
  uint64_t seq = st.sequence(s);
  uint64_t entry = st.entry();
  const int n = 12500;
  st.picture(pic(vc1w::I));
  for (int i = 1; i < n; i++) st.picture(pic(i % 3 == 0 ? vc1w::P : vc1w::B));
  Indexed x = index_es(st.es, "long");
  ASSERT_EQ(x.run.status, 0) << x.run.out;
  auto pics = tu::kwi_pictures(x.lines);
  ASSERT_EQ(pics.size(), static_cast<size_t>(n));
  // Coding order I B B P B B P ...: the Bs behind each reference are shown
  // before it, so display order is B B I B B P B B P ... with the last P last.
  EXPECT_EQ(pics[0], "FRM 3 0 255");
  EXPECT_EQ(pics[1], "FRM 3 0 255");
  EXPECT_EQ(pics[2], "FRM 0 0 255");
  EXPECT_EQ(pics[3], "FRM 3 0 255");
  EXPECT_EQ(pics[5], "FRM 1 0 255");
  EXPECT_EQ(pics[n - 2], "FRM 3 0 255");
  EXPECT_EQ(pics[n - 1], "FRM 1 0 255");
  int ps = 0;
  for (auto& p : pics) ps += p == "FRM 1 0 255";
  EXPECT_EQ(ps, (n - 1) / 3);
  EXPECT_EQ(tu::kwi_line(x.lines, "SEQ"), "SEQ " + std::to_string(seq) + " 0 0 0");
  EXPECT_EQ(tu::kwi_line(x.lines, "ENTRY"), "ENTRY " + std::to_string(entry) + " 0 64");
  EXPECT_EQ(tu::kwi_line(x.lines, "CODED"), "CODED " + std::to_string(n));
}

TEST(Vc1Hostile, IndexFileThatCannotBeCreated) {
  vc1w::Stream st = sample_stream();
  const std::string in = tu::scratch("in.vc1");
  tu::write_file(in, st.es);
  const std::string out = tu::scratch("no/such/folder/x.kwi");
  tu::RunResult r = tu::ostrel("-i " + tu::q(in) + " -o " + tu::q(out));
  // Status 500 reaches the parent as its low eight bits.
  EXPECT_EQ(r.status, 500 & 0xFF) << r.out;
  EXPECT_NE(r.out.find("Error opening index file " + out), std::string::npos) << r.out;
}

}  // namespace
