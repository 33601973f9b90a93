// Which first bytes of an MPEG-2 or VC-1 frame from Matroska or MP4 hold all
// the analysis takes from it, so that the rest is not read. Each case is a
// frame's first bytes as the writers here lay them out; only the shapes
// where nothing later in the frame can count may say yes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "global.h"
#include "mpg.h"
#include "mpg_streams.h"
#include "vc1.h"
#include "vc1_writer.h"

namespace {

struct Case {
  const char* what;
  std::vector<uint8_t> bytes;
  size_t window;  // the first bytes looked at
  bool suffices;
};

void check(const std::vector<Case>& cases, bool (*rule)(const unsigned char*, u32)) {
  for (const Case& c : cases) {
    ASSERT_LE(c.window, c.bytes.size()) << c.what;
    EXPECT_EQ(rule(c.bytes.data(), u32(c.window)), c.suffices) << c.what;
  }
}

mpgt::Picture mpg_pic(int type, int structure) {
  mpgt::Picture p;
  p.type = type;
  p.structure = structure;
  return p;
}

TEST(FrameHeads, Mpeg2) {
  mpgt::Sequence big;
  big.width = 1024;
  big.height = 768;
  auto frame = [&](auto&& body) {
    mpgt::StreamBuilder b(big);
    body(b);
    return b.bytes();
  };
  std::vector<Case> cases = {
      {"frame picture behind headers", frame([](auto& b) {
         b.sequence_header();
         b.gop(1);
         b.user_data(100);
         b.picture(mpg_pic(1, 3));
       }),
       4096, true},
      {"first field", frame([](auto& b) { b.picture(mpg_pic(1, 1)); }), 4096, false},
      {"first slice beyond the bytes", frame([](auto& b) {
         b.user_data(5000);
         b.picture(mpg_pic(1, 3));
       }),
       4096, false},
      {"two pictures before a slice", frame([](auto& b) {
         b.picture(mpg_pic(2, 3), false);
         b.picture(mpg_pic(3, 3));
       }),
       4096, false},
      {"no coding extension", frame([](auto& b) {
         b.raw({0, 0, 1, 0, 0x00, 0x0F, 0xFF, 0xF8});
         b.raw({0, 0, 1, 1, 0x41, 0x22});
         b.raw(std::vector<uint8_t>(5000, 0x55));
       }),
       4096, false},
  };
  // Small pictures: what follows the slices lies inside the bytes.
  mpgt::Sequence small;
  mpgt::StreamBuilder two(small);
  two.picture(mpg_pic(1, 3));
  two.picture(mpg_pic(2, 3));
  cases.push_back({"a second picture after the slices", two.bytes(), two.size(), false});
  mpgt::StreamBuilder ud(small);
  ud.picture(mpg_pic(1, 3));
  ud.user_data(100);
  cases.push_back({"user data after the slices", ud.bytes(), ud.size(), false});
  mpgt::StreamBuilder end(small);
  end.picture(mpg_pic(1, 3));
  cases.push_back({"slices to the end", end.bytes(), end.size(), true});
  check(cases, mpg_head_suffices);
}

TEST(FrameHeads, Vc1) {
  reset_vc1_analysis();  // no sequence header in force: only those in the bytes count
  vc1w::Sequence progressive, interlaced;
  interlaced.interlace = true;
  auto frame = [](const vc1w::Sequence& q, auto&& body) {
    vc1w::Stream s;
    s.filler = 700;
    s.sequence(q);
    s.entry();
    body(s);
    return s.es;
  };
  std::vector<Case> cases = {
      {"progressive", frame(progressive, [](auto& s) { s.picture(vc1w::pic(vc1w::I)); }), 512, true},
      {"frame interlaced", frame(interlaced, [](auto& s) { s.picture(vc1w::pic(vc1w::P, 0, vc1w::FrameInterlaced)); }),
       512, true},
      {"field pair", frame(interlaced, [](auto& s) { s.picture(vc1w::pic(vc1w::PP, 0, vc1w::FieldInterlaced)); }), 512,
       false},
      // Without INTERLACE, FCM is not there: 11 begins PTYPE.
      {"I frame, not interlaced", frame(progressive, [](auto& s) { s.picture(vc1w::pic(vc1w::I)); }), 512, true},
      {"frame header cut short", frame(progressive, [](auto& s) { s.picture(vc1w::pic(vc1w::I)); }), 60, false},
      {"field start code after a frame", frame(progressive, [](auto& s) {
         s.filler = 40;
         s.picture(vc1w::pic(vc1w::P));
         s.field();
       }),
       100, false},
      {"sequence header cut short", frame(progressive, [](auto& s) { s.picture(vc1w::pic(vc1w::I)); }), 10, false},
  };
  vc1w::Stream bare;
  bare.filler = 700;
  bare.seq = interlaced;
  bare.picture(vc1w::pic(vc1w::I));
  cases.push_back({"no sequence header yet", bare.es, 512, false});
  check(cases, vc1_head_suffices);
}

}  // namespace
