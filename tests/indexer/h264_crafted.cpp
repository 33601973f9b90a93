// AVC indexing of streams written unit by unit (h264_writer.h): field
// pictures (PAFF), picture order count types 1 and 2 with fields, parameter
// set bookkeeping, SEI, damaged units and hostile values. The expected index
// lines come from what each test puts into its stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "h264_writer.h"
#include "testutil.h"

namespace {

using h264w::Pps;
using h264w::Slice;
using h264w::Sps;

// An elementary stream being built, with the stream position of each unit as
// the indexer reports it: the first unit's 00 00 00 01 counts from its first
// zero, every later unit from its 00 00 01 (the extra zero ends the unit before).
class Stream {
 public:
  uint64_t add(const std::vector<uint8_t>& unit) {
    uint64_t pos = bytes_.empty() ? 0 : bytes_.size() + 1;
    h264w::append(bytes_, unit);
    return pos;
  }
  uint64_t sps(const Sps& s) { return add(h264w::nal(3, 7, h264w::sps_rbsp(s))); }
  uint64_t pps(const Pps& p) { return add(h264w::nal(3, 8, h264w::pps_rbsp(p))); }
  uint64_t slice(const Slice& s) { return add(h264w::nal(s.nal_ref_idc, s.nal_type, h264w::slice_rbsp(s))); }
  uint64_t sei(const std::vector<std::pair<int, std::vector<uint8_t>>>& m) {
    return add(h264w::nal(0, 6, h264w::sei_rbsp(m)));
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

struct Indexed {
  int status;
  std::string out;
  std::vector<std::string> lines;
};

// The front end refuses inputs below 64 bytes: short streams get a filler
// data unit (NAL type 12, which the analysis steps over) at their end.
Indexed index_stream(std::vector<uint8_t> es, const std::string& name = "in.264") {
  if (es.size() < 64) h264w::append(es, h264w::nal(0, 12, std::vector<uint8_t>(64, 0xFF)));
  std::string in = tu::scratch(name), out = tu::scratch("out.kwi");
  tu::write_file(in, es);
  std::remove(out.c_str());
  tu::RunResult r;
  std::vector<std::string> lines = tu::index_lines(in, out, &r);
  return {r.status, r.out, lines};
}

std::vector<std::string> body(const std::vector<std::string>& lines) {
  // group and picture lines in file order
  std::vector<std::string> v;
  for (const std::string& l : lines) {
    if (l.rfind("IDR ", 0) == 0 || l.rfind("I ", 0) == 0 || l.rfind("RPS ", 0) == 0) v.push_back(l);
    else if (l.find(":FRM ") != std::string::npos) v.push_back(l.substr(l.find(':') + 1));
  }
  return v;
}

std::string pos(uint64_t p) { return std::to_string(p); }

// Field-coded SPS and the slice template that matches it.
Sps field_sps(int poc_type) {
  Sps s;
  s.frame_mbs_only = 0;
  s.height_map_units = 8;  // 16 MB rows per frame: 320 x 256
  s.poc_type = poc_type;
  return s;
}

Slice field_slice(const Sps& s, int nal_type, int slice_type, int frame_num, int bottom, int ref = 2) {
  Slice sl;
  sl.nal_type = nal_type;
  sl.nal_ref_idc = ref;
  sl.slice_type = slice_type;
  sl.frame_num = frame_num;
  sl.frame_num_bits = s.log2_max_frame_num_minus4 + 4;
  sl.frame_mbs_only = false;
  sl.field_pic = 1;
  sl.bottom_field = bottom;
  sl.poc_type = s.poc_type;
  sl.poc_lsb_bits = s.log2_max_poc_lsb_minus4 + 4;
  sl.delta_pic_order_always_zero = s.delta_pic_order_always_zero;
  return sl;
}

Slice frame_slice(const Sps& s, int nal_type, int slice_type, int frame_num, int poc_lsb, int ref = 2) {
  Slice sl;
  sl.nal_type = nal_type;
  sl.nal_ref_idc = ref;
  sl.slice_type = slice_type;
  sl.frame_num = frame_num;
  sl.frame_num_bits = s.log2_max_frame_num_minus4 + 4;
  sl.frame_mbs_only = s.frame_mbs_only != 0;
  sl.poc_type = s.poc_type;
  sl.poc_lsb = poc_lsb;
  sl.poc_lsb_bits = s.log2_max_poc_lsb_minus4 + 4;
  sl.delta_pic_order_always_zero = s.delta_pic_order_always_zero;
  return sl;
}

// ------------------------------------------------------------------ field pictures

// A PAFF stream, picture order count type 0: one FRM line per field pair with
// the first field's count, sorted into display order; ORDER from the first
// pair's parity (no picture timing).
void paff_type0(bool bff) {
  Sps s = field_sps(0);
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  const int first = bff ? 1 : 0;
  struct Pair { int nal, type, fn, ref, lsb; };
  // decode order; counts of the first field, the second field's is one more
  const Pair pairs[] = {{5, 7, 0, 3, 0}, {1, 0, 1, 2, 12}, {1, 1, 2, 0, 4}, {1, 1, 2, 0, 8}, {1, 5, 2, 2, 20}, {1, 6, 3, 0, 16}};
  uint64_t idr_pos = 0;
  for (const Pair& p : pairs) {
    Slice a = field_slice(s, p.nal, p.type, p.fn, first, p.ref);
    a.poc_lsb = p.lsb;
    Slice b = field_slice(s, 1, p.type == 7 ? 5 : p.type, p.fn, !first, p.ref);
    b.poc_lsb = p.lsb + 1;
    uint64_t at = st.slice(a);
    if (p.nal == 5) idr_pos = at;
    st.slice(b);
  }
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(body(r.lines), (std::vector<std::string>{"IDR " + pos(idr_pos), "FRM 7 0 -1", "FRM 1 4 -1", "FRM 1 8 -1",
                                                     "FRM 0 12 -1", "FRM 6 16 -1", "FRM 5 20 -1"}));
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "6");
  EXPECT_EQ(tu::kwi_value(r.lines, "PLAYBACK"), "6");
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), bff ? "2" : "1");
  EXPECT_EQ(tu::kwi_value(r.lines, "SIZE"), "320 x 256 ");
}

TEST(AvcFields, PaffTopFieldFirstPocType0) { paff_type0(false); }
TEST(AvcFields, PaffBottomFieldFirstPocType0) { paff_type0(true); }

// Picture order count type 1 (clause 8.2.1.2) with one cycle offset of 4,
// offset_for_non_ref_pic -2, top-to-bottom 1: reference pair k counts 4k,
// a non-reference pair after reference frame k counts 4k + 2.
TEST(AvcFields, PaffPocType1) {
  Sps s = field_sps(1);
  s.delta_pic_order_always_zero = 1;
  s.offset_for_non_ref_pic = -2;
  s.offset_for_top_to_bottom_field = 1;
  s.offset_for_ref_frame = {4};
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  struct Pic { int nal, type, fn, ref; };
  const Pic pics[] = {{5, 2, 0, 3}, {1, 0, 1, 2}, {1, 1, 2, 0}, {1, 0, 2, 2}, {1, 1, 3, 0}, {1, 0, 3, 2}};
  uint64_t idr = 0;
  for (const Pic& p : pics) {
    uint64_t at = st.slice(field_slice(s, p.nal, p.type, p.fn, 0, p.ref));
    if (p.nal == 5) idr = at;
    st.slice(field_slice(s, 1, p.type == 2 ? 0 : p.type, p.fn, 1, p.ref));
  }
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(body(r.lines), (std::vector<std::string>{"IDR " + pos(idr), "FRM 2 0 -1", "FRM 1 2 -1", "FRM 0 4 -1", "FRM 1 6 -1",
                                                     "FRM 0 8 -1", "FRM 0 12 -1"}));
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "6");
  // The coded order of a field pair is the parity of its first field, for
  // every picture order count type.
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), "1");
}

// Type 2 field pairs count 2 x frame_num (one less when not a reference).
// The pair's order is that of its first field: a rule that compared the count
// of a first field with the last count stored for the other parity would
// compare with a field of an earlier pair.
TEST(AvcFields, PaffPocType2BottomFirst) {
  Sps s = field_sps(2);
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  uint64_t idr = 0;
  for (int fn = 0; fn < 5; fn++) {
    uint64_t at = st.slice(field_slice(s, fn == 0 ? 5 : 1, fn == 0 ? 7 : 5, fn, 1));
    if (fn == 0) idr = at;
    st.slice(field_slice(s, 1, 5, fn, 0));
  }
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(body(r.lines), (std::vector<std::string>{"IDR " + pos(idr), "FRM 7 0 -1", "FRM 5 2 -1", "FRM 5 4 -1", "FRM 5 6 -1",
                                                     "FRM 5 8 -1"}));
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), "2");
}

// Type 1 frames across a frame_num wrap (MaxFrameNum 16): the counts keep
// rising through FrameNumOffset.
TEST(AvcFields, PocType1FramesAcrossFrameNumWrap) {
  Sps s;
  s.poc_type = 1;
  s.delta_pic_order_always_zero = 1;
  s.offset_for_ref_frame = {2, 4};  // cycle of two reference frames: +2, +4
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  std::vector<std::string> expect;
  for (int k = 0; k < 20; k++) {
    uint64_t at = st.slice(frame_slice(s, k == 0 ? 5 : 1, k == 0 ? 2 : 0, k % 16, 0));
    if (k == 0) expect.push_back("IDR " + pos(at));
    // expectedPicOrderCnt for absFrameNum k: 6 per full cycle, plus 2 after an odd count
    int poc = k == 0 ? 0 : ((k - 1) / 2) * 6 + ((k - 1) % 2 == 0 ? 2 : 6);
    expect.push_back("FRM " + std::to_string(k == 0 ? 2 : 0) + " " + std::to_string(poc) + " -1");
  }
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(body(r.lines), expect);
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), "0");
}

// ------------------------------------------------------------------ groups and pictures

TEST(AvcGroups, PicturesBeforeFirstIAreCountedButNotListed) {
  Sps s;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  st.slice(frame_slice(s, 1, 0, 1, 10));
  st.slice(frame_slice(s, 1, 1, 2, 6, 0));
  uint64_t i_pos = st.slice(frame_slice(s, 1, 7, 2, 20));
  st.slice(frame_slice(s, 1, 5, 3, 24));
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(body(r.lines), (std::vector<std::string>{"I " + pos(i_pos), "FRM 7 20 -1", "FRM 5 24 -1"}));
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "4");
}

TEST(AvcGroups, ConsecutiveIdrWithSameFrameNumAreTwoPictures) {
  Sps s;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  uint64_t a = st.slice(frame_slice(s, 5, 7, 0, 0));
  uint64_t b = st.slice(frame_slice(s, 5, 7, 0, 0));
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(body(r.lines), (std::vector<std::string>{"IDR " + pos(a), "FRM 7 0 -1", "IDR " + pos(b), "FRM 7 0 -1"}));
}

TEST(AvcGroups, SecondSliceOfAPictureIsNoNewPicture) {
  Sps s;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  Slice a = frame_slice(s, 5, 7, 0, 0);
  st.slice(a);
  a.first_mb = 150;
  st.slice(a);
  Slice p = frame_slice(s, 1, 5, 1, 4);
  st.slice(p);
  p.first_mb = 100;
  st.slice(p);
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "2");
}

// x264 --intra-refresh makes one group of every picture; a group of more
// than 10,000 pictures keeps all of them.
TEST(AvcGroups, GroupLongerThanTenThousandPictures) {
  Sps s;
  s.log2_max_frame_num_minus4 = 12;
  s.log2_max_poc_lsb_minus4 = 12;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  const int n = 10050;
  for (int k = 0; k < n; k++) st.slice(frame_slice(s, k == 0 ? 5 : 1, k == 0 ? 7 : 5, k % 65536, (2 * k) % 65536));
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_pictures(r.lines).size(), static_cast<size_t>(n));
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), std::to_string(n));
  auto pics = tu::kwi_pictures(r.lines);
  EXPECT_EQ(pics.back(), "FRM 5 " + std::to_string(2 * (n - 1)) + " -1");
}

// ------------------------------------------------------------------ parameter sets

TEST(AvcParameterSets, RepeatedSetsWriteOneLineChangedSetsAnother) {
  Sps s;
  Stream st;
  uint64_t sps0 = st.sps(s);
  uint64_t pps0 = st.pps(Pps{});
  st.slice(frame_slice(s, 5, 7, 0, 0));
  st.sps(s);
  st.pps(Pps{});
  st.slice(frame_slice(s, 5, 7, 0, 0));
  s.level_idc = 31;
  uint64_t sps1 = st.sps(s);
  Pps p;
  p.high_extension = true;
  uint64_t pps1 = st.pps(p);
  st.slice(frame_slice(s, 5, 7, 0, 0));
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_with(r.lines, "SPS "), (std::vector<std::string>{"SPS " + pos(sps0), "SPS " + pos(sps1)}));
  EXPECT_EQ(tu::kwi_with(r.lines, "PPS "), (std::vector<std::string>{"PPS " + pos(pps0), "PPS " + pos(pps1)}));
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "3");
}

// The displayed size is that of the SPS the slices activate, with its own
// crop, although another SPS was parsed after it.
TEST(AvcParameterSets, SizeUsesCropOfActivatedSps) {
  Sps hd;
  hd.profile_idc = 66;
  hd.width_mbs = 120;
  hd.height_map_units = 68;
  hd.crop_bottom = 4;  // 8 lines of 4:2:0
  Sps other;
  other.sps_id = 1;
  Stream st;
  st.sps(hd);
  st.sps(other);
  st.pps(Pps{});
  st.slice(frame_slice(hd, 5, 7, 0, 0));
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_value(r.lines, "SIZE"), "1920 x 1080 ");
}

TEST(AvcParameterSets, InterlacedCropGivesTenEighty) {
  Sps s;
  s.frame_mbs_only = 0;
  s.width_mbs = 120;
  s.height_map_units = 34;
  s.crop_bottom = 2;  // CropUnitY 4
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  Slice a = field_slice(s, 5, 7, 0, 0);
  st.slice(a);
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_value(r.lines, "SIZE"), "1920 x 1080 ");
}

// Sets with ids beyond the stores, or with field lengths beyond 16 bits, are
// ignored: their slices cannot be placed, so the input gives no index.
TEST(AvcParameterSets, OutOfRangeIdsAndLengthsAreIgnored) {
  struct Case {
    const char* name;
    int sps_id, pps_id, pps_sps_id, log2_fn, log2_poc;
  };
  const Case cases[] = {{"sps id 40", 40, 0, 40, 0, 2},
                        {"pps id 300", 0, 300, 0, 0, 2},
                        {"log2_max_frame_num_minus4 13", 0, 0, 0, 13, 2},
                        {"log2_max_pic_order_cnt_lsb_minus4 13", 0, 0, 0, 0, 13}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sps s;
    s.sps_id = c.sps_id;
    s.log2_max_frame_num_minus4 = c.log2_fn;
    s.log2_max_poc_lsb_minus4 = c.log2_poc;
    Pps p;
    p.pps_id = c.pps_id;
    p.sps_id = c.pps_sps_id;
    Stream st;
    st.sps(s);
    st.pps(p);
    Slice a = frame_slice(s, 5, 7, 0, 0);
    a.pps_id = c.pps_id;
    st.slice(a);
    Indexed r = index_stream(st.bytes());
    EXPECT_TRUE(tu::refused_no_picture({r.status, r.out}, r.lines));
  }
}

// Activation refuses what the picture order count code cannot handle.
TEST(AvcParameterSets, FatalPictureOrderCountValues) {
  {
    Sps s;
    s.poc_type = 3;
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    st.slice(frame_slice(s, 5, 7, 0, 0));
    Indexed r = index_stream(st.bytes());
    EXPECT_EQ(r.status, -1000 & 255);
    EXPECT_NE(r.out.find("invalid sps->pic_order_cnt_type = 3\n"), std::string::npos) << r.out;
  }
  for (int cycle : {255, 256}) {
    Sps s;
    s.poc_type = 1;
    s.delta_pic_order_always_zero = 1;
    s.offset_for_ref_frame.assign(cycle, 2);
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    st.slice(frame_slice(s, 5, 7, 0, 0));
    Indexed r = index_stream(st.bytes());
    if (cycle == 255) {
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "1");
    } else {
      EXPECT_EQ(r.status, -1011 & 255);
      EXPECT_NE(r.out.find("num_ref_frames_in_pic_order_cnt_cycle too large\n"), std::string::npos) << r.out;
    }
  }
}

// ------------------------------------------------------------------ frame rate and aspect

TEST(AvcHeader, FrameRateFromVuiTiming) {
  struct Case {
    bool vui, timing;
    uint32_t tick, scale;
    int fixed;
    const char* fps;
  };
  const Case cases[] = {
      {false, false, 0, 0, 0, "25000 / 1000"},          // no VUI
      {true, false, 0, 0, 0, "25000 / 1000"},           // VUI without timing
      {true, true, 1001, 48000, 0, "24000 / 1001"},     // timing without fixed_frame_rate_flag
      {true, true, 1001, 48000, 1, "24000 / 1001"},
      {true, true, 1001, 60000, 0, "30000 / 1001"},
      {true, true, 1, 100, 1, "50 / 1"},                // 50 passes unchanged
      {true, true, 1, 25, 1, "25 / 2"},                 // 12.5, not truncated to 12
      {true, true, 0, 50, 1, "25000 / 1000"},           // a zero tick
      {true, true, 1, 0, 1, "25000 / 1000"},            // a zero time scale
      {true, true, 0x80000000u, 0xF0000000u, 1, "15 / 16"},  // terms beyond 31 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fps) + " from " + std::to_string(c.scale) + "/" + std::to_string(c.tick));
    Sps s;
    s.vui = c.vui;
    s.timing = c.timing;
    s.num_units_in_tick = c.tick;
    s.time_scale = c.scale;
    s.fixed_frame_rate = c.fixed;
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    st.slice(frame_slice(s, 5, 7, 0, 0));
    Indexed r = index_stream(st.bytes());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(tu::kwi_value(r.lines, "FPS"), c.fps);
  }
}

TEST(AvcHeader, AspectAndColorimetryFromFirstSps) {
  struct Case {
    int idc, w, h;
    const char* aspect;
  };
  const Case cases[] = {{-1, 0, 0, "0 0"}, {0, 0, 0, "0 0"}, {2, 0, 0, "12 11"}, {16, 0, 0, "2 1"},
                        {255, 4, 3, "4 3"}, {100, 0, 0, "0 0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.aspect);
    Sps s;
    s.vui = true;
    s.aspect_ratio_idc = c.idc;
    s.sar_w = c.w;
    s.sar_h = c.h;
    s.colour_primaries = 9;
    s.transfer = 16;
    s.matrix = 10;
    Sps later = s;
    later.aspect_ratio_idc = 14;
    later.colour_primaries = 1;
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    st.slice(frame_slice(s, 5, 7, 0, 0));
    st.sps(later);
    st.slice(frame_slice(s, 5, 7, 0, 0));
    Indexed r = index_stream(st.bytes());
    ASSERT_EQ(r.status, 0) << r.out;
    // written once, directly under DEPTH, from the first SPS
    auto depth = std::find(r.lines.begin(), r.lines.end(), "DEPTH 8");
    ASSERT_NE(depth, r.lines.end());
    ASSERT_LT(depth + 2, r.lines.end());
    EXPECT_EQ(depth[1], std::string("ASPECT ") + c.aspect);
    EXPECT_EQ(depth[2], "COLORIMETRY 10 16 9");
    EXPECT_EQ(tu::kwi_with(r.lines, "ASPECT").size(), 1u);
  }
}

// ------------------------------------------------------------------ SEI

Sps timed_sps(bool hrd) {
  Sps s;
  s.vui = true;
  s.timing = true;
  s.pic_struct_present = 1;
  s.nal_hrd = hrd;
  return s;
}

TEST(AvcSei, PicStructRepeatsAndFilm) {
  for (bool hrd : {false, true}) {
    SCOPED_TRACE(hrd ? "with NAL HRD delays" : "without HRD");
    Sps s = timed_sps(hrd);
    h264w::Hrd h;
    Stream st;
    // A picture timing message ahead of the first SPS: the parameter sets at
    // the start of the input are read before the pass, so it applies.
    st.sei({{1, h264w::pic_timing_payload(7, hrd ? &h : nullptr)}});
    st.sps(s);
    st.pps(Pps{});
    const int structs[] = {7, 8, 5, 5, 3, 5, 4, 6, 3};
    const bool has_sei[] = {false, true, true, true, true, true, true, true, true};
    for (int k = 0; k < 9; k++) {
      if (has_sei[k]) st.sei({{1, h264w::pic_timing_payload(structs[k], hrd ? &h : nullptr)}});
      st.slice(frame_slice(s, k == 0 ? 5 : 1, k == 0 ? 7 : 5, k, 2 * k));
    }
    Indexed r = index_stream(st.bytes());
    ASSERT_EQ(r.status, 0) << r.out;
    auto pics = tu::kwi_pictures(r.lines);
    ASSERT_EQ(pics.size(), 9u);
    for (int k = 0; k < 9; k++) {
      int ps = structs[k];
      EXPECT_EQ(pics[k], "FRM " + std::to_string(k == 0 ? 7 : 5) + " " + std::to_string(2 * k) + " " + std::to_string(ps));
    }
    // frame doubling +1 and tripling +2 frames, four three-field pictures +2 frames
    EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "9");
    EXPECT_EQ(tu::kwi_value(r.lines, "PLAYBACK"), "14");
    // pairs: (7,8) (8,5) (5,5) (5,3) (3,5)f (5,4)f (4,6)f (6,3)f: 4 of 8 are film
    EXPECT_EQ(tu::kwi_with(r.lines, "50.00% FILM").size(), 1u);
    // frame doubling of the first picture: progressive
    EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), "0");
  }
}

TEST(AvcSei, SoftTelecineIsAllFilmTopFirst) {
  Sps s = timed_sps(false);
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  const int cadence[] = {3, 5, 4, 6};
  for (int k = 0; k < 12; k++) {
    st.sei({{1, h264w::pic_timing_payload(cadence[k % 4])}});
    st.slice(frame_slice(s, k % 4 == 0 ? 5 : 1, k % 4 == 0 ? 7 : 5, k % 4, 2 * (k % 4)));
  }
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_with(r.lines, "100.00% FILM").size(), 1u);
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), "1");
  EXPECT_EQ(tu::kwi_value(r.lines, "PLAYBACK"), std::to_string(12 + 6 / 2));
}

TEST(AvcSei, WithoutPicStructEveryLineEndsInMinusOne) {
  Sps s;
  s.vui = true;
  s.timing = true;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  for (int k = 0; k < 3; k++) {
    st.sei({{1, h264w::pic_timing_payload(7)}});
    st.slice(frame_slice(s, k == 0 ? 5 : 1, k == 0 ? 7 : 5, k, 2 * k));
  }
  Indexed r = index_stream(st.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  for (const std::string& p : tu::kwi_pictures(r.lines)) EXPECT_EQ(p.substr(p.size() - 3), " -1");
  EXPECT_EQ(tu::kwi_value(r.lines, "PLAYBACK"), "3");
  EXPECT_EQ(tu::kwi_with(r.lines, "0.00% FILM").size(), 1u);
}

// A recovery point before an I picture gives "RPS" then "I"; a message of a
// payload type above 21 after it is stepped over, so the point still counts.
TEST(AvcSei, RecoveryPointBeforeIPicture) {
  const std::vector<std::pair<int, std::vector<uint8_t>>> variants[] = {
      {{6, h264w::recovery_point_payload(0)}},
      {{6, h264w::recovery_point_payload(3)}, {30, {1, 2, 3, 4}}},
      {{5, std::vector<uint8_t>(20, 0x42)}, {300, {9}}, {6, h264w::recovery_point_payload(0)}},
  };
  for (const auto& messages : variants) {
    SCOPED_TRACE(messages.size());
    Sps s;
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    uint64_t idr = st.slice(frame_slice(s, 5, 7, 0, 0));
    st.slice(frame_slice(s, 1, 5, 1, 4));
    uint64_t rp = st.sei(messages);
    uint64_t i = st.slice(frame_slice(s, 1, 7, 2, 8));
    st.slice(frame_slice(s, 1, 5, 3, 12));
    Indexed r = index_stream(st.bytes());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(body(r.lines), (std::vector<std::string>{"IDR " + pos(idr), "FRM 7 0 -1", "FRM 5 4 -1", "RPS " + pos(rp),
                                                       "I " + pos(i), "FRM 7 8 -1", "FRM 5 12 -1"}));
  }
}

TEST(AvcSei, DamagedRecoveryPointMessagesDoNotCount) {
  std::vector<std::vector<uint8_t>> units;
  // payload size beyond the unit
  units.push_back({0x06, 6, 40, 0x80, 0x80});
  // no stop byte after the payload: the unit ends inside the message list
  units.push_back({0x06, 6, 1, 0x80});
  // a type made of FF bytes to the end
  units.push_back({0x06, 6, 1, 0x80, 0xFF, 0xFF});
  for (const auto& rbsp : units) {
    Sps s;
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    std::vector<uint8_t> unit = {0, 0, 0, 1};
    unit.insert(unit.end(), rbsp.begin(), rbsp.end());
    st.add(unit);
    uint64_t i = st.slice(frame_slice(s, 1, 7, 0, 0));
    Indexed r = index_stream(st.bytes());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(body(r.lines), (std::vector<std::string>{"I " + pos(i), "FRM 7 0 -1"}));
  }
}

// ------------------------------------------------------------------ damaged units

// Units that cannot be read are skipped; the run goes on and ends with a
// complete index and status 0.
TEST(AvcDamage, IdrWithFrameNumNotZeroIsSkipped) {
  for (int poc_type : {1, 2}) {
    SCOPED_TRACE(poc_type);
    Sps s;
    s.poc_type = poc_type;
    s.delta_pic_order_always_zero = 1;
    s.offset_for_ref_frame = {2};
    Stream st;
    st.sps(s);
    st.pps(Pps{});
    st.slice(frame_slice(s, 5, 7, 0, 0));
    st.slice(frame_slice(s, 1, 5, 1, 0));
    st.slice(frame_slice(s, 5, 7, 3, 0));  // IDR with frame_num 3
    st.slice(frame_slice(s, 1, 5, 2, 0));
    Indexed r = index_stream(st.bytes());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(poc_type == 1 ? "frame_num not equal to zero in IDR picture\n"
                                       : "frame_num not equal to zero in IDR picture.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "3");
    EXPECT_EQ(tu::kwi_pictures(r.lines).size(), 3u);
    EXPECT_FALSE(tu::kwi_with(r.lines, "ORDER").empty());
  }
}

TEST(AvcDamage, AllZeroSlicePayloadIsSkipped) {
  Sps s;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  st.slice(frame_slice(s, 5, 7, 0, 0));
  st.add(h264w::nal(2, 1, std::vector<uint8_t>(12, 0)));
  st.slice(frame_slice(s, 1, 5, 1, 4));
  Indexed r = index_stream(st.bytes());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Panic: All zero data sequence in RBSP"), std::string::npos) << r.out;
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "2");
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), "0");
}

TEST(AvcDamage, TruncatedAndForbiddenUnits) {
  Sps s;
  Stream st;
  st.sps(s);
  st.pps(Pps{});
  st.slice(frame_slice(s, 5, 7, 0, 0));
  st.add({0, 0, 0, 1, 0x65});                   // IDR slice header cut after the NAL header
  st.add({0, 0, 0, 1, 0x21, 0x80});             // slice of one stop bit
  st.add({0, 0, 0, 1, 0xE1, 0x88, 0x84, 0x80}); // forbidden_zero_bit set
  st.add({0, 0, 0, 1, 0x67, 0x42});             // SPS cut inside its header
  st.add({0, 0, 0, 1, 0x68});                   // empty PPS
  st.add({0, 0, 0, 1, 0x06});                   // empty SEI
  st.add({0, 0, 0, 1, 0x62, 0x11});             // data partition A
  st.slice(frame_slice(s, 1, 5, 1, 4));
  Indexed r = index_stream(st.bytes());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), "2");
  EXPECT_NE(r.out.find("data partitioning not implemented"), std::string::npos);
}

// Byte flips and truncations of a valid stream: the indexer never crashes
// (the suite also runs under ASan/UBSan) and ends every run with a status
// that it defines.
TEST(AvcDamage, MutatedStreamsNeverCrash) {
  Sps s = timed_sps(true);
  s.frame_mbs_only = 0;
  s.poc_type = 0;
  h264w::Hrd h;
  Stream st;
  st.sps(s);
  Pps p;
  p.bottom_field_pic_order_in_frame_present = 1;
  st.pps(p);
  for (int k = 0; k < 12; k++) {
    st.sei({{1, h264w::pic_timing_payload(k % 9, &h)}, {6, h264w::recovery_point_payload(k)}});
    Slice a = field_slice(s, k % 4 == 0 ? 5 : 1, k % 4 == 0 ? 7 : 5, k % 16, 0);
    a.poc_lsb = 2 * k;
    st.slice(a);
    a.nal_type = 1;
    a.bottom_field = 1;
    a.poc_lsb = 2 * k + 1;
    st.slice(a);
  }
  const std::vector<uint8_t>& good = st.bytes();
  std::mt19937 rng(12345);
  for (int run = 0; run < 40; run++) {
    std::vector<uint8_t> bad = good;
    if (run % 4 == 3) {
      bad.resize(rng() % bad.size());
    } else {
      int flips = 1 + static_cast<int>(rng() % 8);
      for (int f = 0; f < flips; f++) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    }
    Indexed r = index_stream(bad, "mutated.264");
    SCOPED_TRACE("run " + std::to_string(run));
    EXPECT_EQ(r.out.find("Sanitizer"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("runtime error"), std::string::npos) << r.out;
    // 0, or a defined refusal: no video found (1), poc type / cycle (24, 13)
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 24 || r.status == 13) << r.status << "\n" << r.out;
  }
}

}  // namespace
