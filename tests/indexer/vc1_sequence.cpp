// Sequence-header values that reach only the stream report (aspect ratio,
// colour description, profile, level, rate): the analysis is fed single
// units in-process and the published values are compared with what the
// writer put in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "global.h"
#include "vc1.h"
#include "vc1_writer.h"

namespace {

using vc1w::Sequence;

int feed(std::vector<uint8_t> bytes, u64 pos = 0) {
  NALU_t unit{};
  unit.startcodeprefix_len = 3;
  unit.len = static_cast<u32>(bytes.size());
  unit.buf = bytes.data();
  return parse_nalu_vc1(&unit, pos);
}

std::vector<uint8_t> sequence_unit(const Sequence& s) {
  vc1w::Stream st;
  st.sequence(s);
  return st.es;
}

class Vc1Sequence : public ::testing::Test {
 protected:
  void SetUp() override {
    Operation = 0;
    SystemStream_Flag = 0;
    coded_matrix_coefficients = coded_transfer_characteristics = coded_colour_primaries = 2;
    reset_vc1_analysis();
  }
};

TEST_F(Vc1Sequence, AspectRatioCodes) {
  const int expected[16][2] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                               {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                               {64, 33}, {160, 99}, {0, 0},  {200, 150}};
  for (int code = 1; code <= 15; code++) {
    if (code == 14) continue;
    SCOPED_TRACE("ASPECT_RATIO " + std::to_string(code));
    reset_vc1_analysis();
    Sequence s;
    s.display_ext = true;
    s.aspect = code;
    s.aspect_x = 200;
    s.aspect_y = 150;
    EXPECT_EQ(feed(sequence_unit(s)), 2);
    EXPECT_EQ(display_aspect_ratio_x, expected[code][0]);
    EXPECT_EQ(display_aspect_ratio_y, expected[code][1]);
  }
}

TEST_F(Vc1Sequence, UnspecifiedAspectKeepsThePreviousRatio) {
  Sequence s;
  s.display_ext = true;
  s.aspect = 3;
  feed(sequence_unit(s));
  for (int code : {0, 14, -1}) {
    s.aspect = code;
    feed(sequence_unit(s));
    EXPECT_EQ(display_aspect_ratio_x, 10) << code;
    EXPECT_EQ(display_aspect_ratio_y, 11) << code;
  }
  s.display_ext = false;
  feed(sequence_unit(s));
  EXPECT_EQ(display_aspect_ratio_x, 10);
}

TEST_F(Vc1Sequence, ColourDescriptionProfileAndLevel) {
  Sequence s;
  s.level = 4;
  s.display_ext = true;
  s.colour_prim = 6;
  s.transfer_char = 7;
  s.matrix_coef = 5;
  feed(sequence_unit(s));
  EXPECT_EQ(profile, 3);
  EXPECT_EQ(level, 4);
  EXPECT_EQ(coded_colour_primaries, 6);
  EXPECT_EQ(coded_transfer_characteristics, 7);
  EXPECT_EQ(coded_matrix_coefficients, 5);
  // A display extension without colour description marks the matrix unknown
  // and leaves the other two.
  s.colour_prim = -1;
  feed(sequence_unit(s));
  EXPECT_EQ(coded_matrix_coefficients, -1);
  EXPECT_EQ(coded_colour_primaries, 6);
  EXPECT_EQ(coded_transfer_characteristics, 7);
  // No display extension: nothing of it changes.
  s.display_ext = false;
  s.level = 2;
  feed(sequence_unit(s));
  EXPECT_EQ(coded_matrix_coefficients, -1);
  EXPECT_EQ(level, 2);
}

TEST_F(Vc1Sequence, FlagsAndRate) {
  Sequence s;
  s.interlace = true;
  s.psf = true;
  s.display_ext = true;
  s.rate_nr = 5;
  s.rate_dr = 2;
  feed(sequence_unit(s));
  EXPECT_EQ(vc1_interlace, 1);
  EXPECT_EQ(vc1_psf, 1);
  EXPECT_EQ(vc1_pulldown, 0);
  EXPECT_EQ(vc1_tfcntrflag, 0);
  EXPECT_EQ(fps_num, 60000);
  EXPECT_EQ(fps_den, 1001);
  EXPECT_NEAR(Frame_Rate, 59.94005994005994, 1e-9);
  s.rate_dr = 9;
  feed(sequence_unit(s));
  EXPECT_EQ(fps_num, 1000);
  EXPECT_EQ(fps_den, 1000);
  EXPECT_EQ(Frame_Rate, 1.0);
}

// A header cut anywhere before its last field changes nothing.
TEST_F(Vc1Sequence, EveryCutOfTheHeaderIsRejectedWhole) {
  Sequence good;
  good.display_ext = true;
  good.aspect = 2;
  good.rate_nr = 1;
  good.rate_dr = 1;
  good.colour_prim = 1;
  feed(sequence_unit(good));
  Sequence s;
  s.width = 640;
  s.pulldown = true;
  s.display_ext = true;
  s.disp_width = 600;
  s.aspect = 15;
  s.aspect_x = 9;
  s.aspect_y = 8;
  s.rate_nr = 3;
  s.rate_dr = 2;
  s.colour_prim = 4;
  std::vector<uint8_t> full = sequence_unit(s);
  // 135 bits of fields: the last ends in the 17th payload byte; the HRD flag
  // behind it is not read.
  for (size_t len = 4; len < 4 + 17; len++) {
    SCOPED_TRACE(len);
    EXPECT_EQ(feed(std::vector<uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len))), 2);
    EXPECT_EQ(Picture_Width, 320);
    EXPECT_EQ(display_aspect_ratio_x, 12);
    EXPECT_EQ(vc1_pulldown, 0);
    EXPECT_EQ(fps_num, 24000);
    EXPECT_EQ(coded_colour_primaries, 1);
  }
  feed(std::vector<uint8_t>(full.begin(), full.begin() + 4 + 17));
  EXPECT_EQ(Picture_Width, 600);
  EXPECT_EQ(display_aspect_ratio_x, 9);
  EXPECT_EQ(fps_num, 30000);
  EXPECT_EQ(coded_colour_primaries, 4);
}

// Units shorter than a start code and its suffix, or with unknown suffixes,
// are passed over.
TEST_F(Vc1Sequence, DegenerateUnits) {
  EXPECT_EQ(feed({0, 0, 1}), 2);
  EXPECT_EQ(feed({0, 0, 1, 0x0F}), 2);
  EXPECT_EQ(feed({0, 0, 1, 0x0D}), 2);
  EXPECT_EQ(feed({0, 0, 1, 0x0C}), 2);
  EXPECT_EQ(feed({0, 0, 1, 0x0B, 1, 2, 3}), 2);
  feed(sequence_unit(Sequence()));
  EXPECT_EQ(feed({0, 0, 1, 0x0D, 0xC0}), 1);  // progressive I picture
  EXPECT_EQ(feed({0, 0, 1, 0x0C}), 2);         // no field pair pending
}

}  // namespace
