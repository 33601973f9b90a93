// H.264 parameter-set syntax, stores, activation and SEI, called directly on
// units built bit by bit: the values each test writes are the expectation.
#include <gtest/gtest.h>

#include <vector>

#include "global.h"
#include "h264_writer.h"
#include "parset.h"
#include "sei.h"

namespace {

using h264w::BitWriter;
using h264w::Pps;
using h264w::Sps;

// NAL header byte + RBSP, as the analysis hands a set to ProcessSPS/PPS.
struct Unit {
  std::vector<uint8_t> bytes;
  NALU_t rec{};
  Unit(int type, const std::vector<uint8_t>& rbsp) {
    bytes.push_back(static_cast<uint8_t>(0x60 | type));
    bytes.insert(bytes.end(), rbsp.begin(), rbsp.end());
    rec.buf = bytes.data();
    rec.len = static_cast<uint32_t>(bytes.size());
    rec.vui_time_scale = -7;  // a mark: untouched by sets that are not valid
    rec.vui_num_units_in_tick = -7;
  }
};

bool process_sps(const Sps& s, NALU_t* out = nullptr) {
  Unit u(7, h264w::sps_rbsp(s));
  bool ok = ProcessSPS(&u.rec);
  if (out) *out = u.rec;
  return ok;
}
bool process_pps(const Pps& p) {
  Unit u(8, h264w::pps_rbsp(p));
  return ProcessPPS(&u.rec);
}
bool process_pps_rbsp(const std::vector<uint8_t>& rbsp) {
  Unit u(8, rbsp);
  return ProcessPPS(&u.rec);
}

class H264Syntax : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& s : SeqParSet) s.Valid = 0;
    reset_parset();
    reset_sei();
    Operation = 0;
    frame_repeats = field_repeats = 0;
    profile = -1;
    sample_aspect_ratio = 0;
    coded_colour_primaries = coded_transfer_characteristics = coded_matrix_coefficients = 2;
  }
};

// ------------------------------------------------------------------ bit reader

TEST_F(H264Syntax, ExpGolombCodesAndOverruns) {
  BitWriter w;
  w.ue(0);
  w.ue(7);
  w.se(-3);
  w.se(4);
  w.ue(0xFFFFFFFEull);  // 31 leading zeros: the largest code that fits
  w.trailing();
  auto b = w.bytes();
  Bitstream s;
  init_bitstream(&s, b.data(), static_cast<int>(b.size()));
  EXPECT_EQ(read_ue(&s), 0u);
  EXPECT_EQ(read_ue(&s), 7u);
  EXPECT_EQ(read_se(&s), -3);
  EXPECT_EQ(read_se(&s), 4);
  EXPECT_EQ(read_ue(&s), 0xFFFFFFFEu);
  EXPECT_EQ(s.ei_flag, 0);
  // past the end: 0, position kept, error latched
  const int at = s.frame_bitoffset;
  read_u(&s, 1);  // the stop bit
  EXPECT_EQ(read_u(&s, 16), 0u);
  EXPECT_EQ(s.ei_flag, 1);
  EXPECT_EQ(s.frame_bitoffset, at + 1);

  // 32 leading zeros cannot be a 32-bit code
  const uint8_t zeros[] = {0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0xFF};
  init_bitstream(&s, zeros, sizeof zeros);
  EXPECT_EQ(read_ue(&s), 0u);
  EXPECT_EQ(s.ei_flag, 1);
  EXPECT_EQ(s.frame_bitoffset, 0);

  // a code whose info bits pass the end
  const uint8_t cut[] = {0x00, 0x10};  // 11 zeros, then 1, then 4 of 11 info bits
  init_bitstream(&s, cut, sizeof cut);
  EXPECT_EQ(read_ue(&s), 0u);
  EXPECT_EQ(s.ei_flag, 1);
  EXPECT_EQ(s.frame_bitoffset, 0);

  int v;
  linfo_ue(5, 2, &v);  // 00110 -> 5
  EXPECT_EQ(v, 5);
  linfo_se(5, 1, &v);  // code 4 -> -2
  EXPECT_EQ(v, -2);
  linfo_se(3, 0, &v);  // code 1 -> 1
  EXPECT_EQ(v, 1);
}

TEST_F(H264Syntax, PayloadLengthAndMoreData) {
  const uint8_t a[] = {0x12, 0x80, 0x00, 0x00};
  EXPECT_EQ(rbsp_payload_length(a, 4), 2);
  const uint8_t z[] = {0, 0, 0};
  EXPECT_EQ(rbsp_payload_length(z, 3), 0);

  // last byte 1010 0000: at bit 0 a 1 followed by another 1 -> more data;
  // at bit 2 the stop bit -> none; at bit 1 a 0 -> more data
  const uint8_t m[] = {0xA0};
  Bitstream s;
  init_bitstream(&s, m, 1);
  EXPECT_TRUE(more_rbsp_data(&s));
  s.frame_bitoffset = 1;
  EXPECT_TRUE(more_rbsp_data(&s));
  s.frame_bitoffset = 2;
  EXPECT_FALSE(more_rbsp_data(&s));
  s.frame_bitoffset = 8;
  EXPECT_FALSE(more_rbsp_data(&s));
}

// ------------------------------------------------------------------ SPS

TEST_F(H264Syntax, SpsProfilesAccepted) {
  Sps mvc;
  mvc.profile_idc = 118;
  EXPECT_FALSE(process_sps(mvc));
  EXPECT_EQ(profile, 118);
  EXPECT_EQ(SeqParSet[0].Valid, 0u);

  // 86 is accepted but carries no chroma format: the bits that follow are
  // read as log2_max_frame_num_minus4 and on.
  Sps s86;
  s86.profile_idc = 86;
  ASSERT_TRUE(process_sps(s86));
  EXPECT_EQ(SeqParSet[0].chroma_format_idc, 1u);
  EXPECT_EQ(SeqParSet[0].pic_width_in_mbs_minus1, 19u);

  Sps hi;
  hi.profile_idc = 244;
  hi.level_idc = 11;
  hi.constraint_set3 = 1;
  hi.chroma_format_idc = 3;
  hi.scaling_matrix = true;
  hi.sps_id = 5;
  ASSERT_TRUE(process_sps(hi));
  const auto& s = SeqParSet[5];
  EXPECT_EQ(s.chroma_format_idc, 3u);
  // 4:4:4: twelve lists, six of them 8x8.
  for (int i = 0; i < 12; i++) EXPECT_EQ(s.seq_scaling_list_present_flag[i], 1u);
  EXPECT_EQ(s.ScalingList4x4[5][15], 16);
  EXPECT_EQ(s.ScalingList8x8[5][63], 16);
  EXPECT_EQ(s.pic_width_in_mbs_minus1, 19u);
  EXPECT_EQ(s.pic_height_in_map_units_minus1, 14u);
  EXPECT_EQ(profile, 244);
  EXPECT_EQ(level, 11);
  EXPECT_EQ(constraint, 1);

  // nothing at all: profile 0, not valid
  Unit empty(7, {});
  EXPECT_FALSE(ProcessSPS(&empty.rec));
  EXPECT_EQ(profile, 0);
}

TEST_F(H264Syntax, ScalingListDefaultAtFirstCoefficient) {
  BitWriter w;
  w.se(-8);  // nextScale = (8 - 8 + 256) % 256 = 0 at scan position 0
  w.trailing();
  auto b = w.bytes();
  Bitstream s;
  init_bitstream(&s, b.data(), static_cast<int>(b.size()));
  int list[16];
  int use_default = 0;
  Scaling_List(list, 16, &use_default, &s);
  EXPECT_EQ(use_default, 1);
  for (int v : list) EXPECT_EQ(v, 8);
}

TEST_F(H264Syntax, VuiValuesPublished) {
  Sps s;
  s.vui = true;
  s.aspect_ratio_idc = 255;
  s.sar_w = 4;
  s.sar_h = 3;
  s.colour_primaries = 1;
  s.transfer = 1;
  s.matrix = 6;
  ASSERT_TRUE(process_sps(s));
  EXPECT_EQ(sample_aspect_ratio, 255);
  EXPECT_EQ(sar_width, 4);
  EXPECT_EQ(sar_height, 3);
  EXPECT_EQ(coded_colour_primaries, 1);
  EXPECT_EQ(coded_matrix_coefficients, 6);
  // a later set without colour description leaves the values as they are
  Sps plain;
  plain.vui = true;
  ASSERT_TRUE(process_sps(plain));
  EXPECT_EQ(coded_matrix_coefficients, 6);
}

// cpb_cnt_minus1 above 31 is read as 0: one entry of each array follows.
TEST_F(H264Syntax, HrdCountAboveLimitReadsOneEntry) {
  BitWriter w;
  w.ue(40);
  w.u(4, 1);
  w.u(4, 2);
  w.ue(9);
  w.ue(10);
  w.u(1, 1);
  w.u(5, 3);
  w.u(5, 4);
  w.u(5, 5);
  w.u(5, 6);
  w.trailing();
  auto b = w.bytes();
  Bitstream s;
  init_bitstream(&s, b.data(), static_cast<int>(b.size()));
  DataPartition p{&s};
  hrd_parameters_t h{};
  ReadHRDParameters(&p, &h);
  EXPECT_EQ(h.cpb_cnt_minus1, 0u);
  EXPECT_EQ(h.bit_rate_value_minus1[0], 9u);
  EXPECT_EQ(h.cpb_size_value_minus1[0], 10u);
  EXPECT_EQ(h.cbr_flag[0], 1u);
  EXPECT_EQ(h.cpb_removal_delay_length_minus1, 4u);
  EXPECT_EQ(h.time_offset_length, 6u);
  EXPECT_EQ(s.ei_flag, 0);
}

// Ids beyond the stores, lengths beyond 16 bits, pictures that are too large
// or cropped away, and sets cut short before their VUI are not valid.
TEST_F(H264Syntax, SpsBoundsMakeTheSetInvalid) {
  Sps base;
  ASSERT_TRUE(process_sps(base));
  const auto before = SeqParSet[0];
  auto expect_invalid = [&](Sps s, const char* what) {
    SCOPED_TRACE(what);
    NALU_t rec;
    EXPECT_FALSE(process_sps(s, &rec));
    EXPECT_EQ(rec.vui_time_scale, -7);
    EXPECT_EQ(SeqParSet[0].pic_width_in_mbs_minus1, before.pic_width_in_mbs_minus1);
    EXPECT_EQ(SeqParSet[0].Valid, 1u);
  };
  Sps s = base;
  s.sps_id = 32;
  expect_invalid(s, "sps id 32");
  s = base;
  s.log2_max_frame_num_minus4 = 13;
  expect_invalid(s, "log2_max_frame_num_minus4 13");
  s = base;
  s.log2_max_poc_lsb_minus4 = 13;
  expect_invalid(s, "log2_max_pic_order_cnt_lsb_minus4 13");
  s = base;
  s.width_mbs = 5000;
  expect_invalid(s, "width 5000 macroblocks");
  s = base;
  s.crop_bottom = 120;  // 240 lines cropped from 240
  expect_invalid(s, "crop of the whole height");
  s = base;
  s.chroma_format_idc = 4;
  expect_invalid(s, "chroma_format_idc 4");

  // cut inside the mandatory part
  auto full = h264w::sps_rbsp(base);
  for (size_t n = 1; n < 6; n++) {
    SCOPED_TRACE(n);
    Unit u(7, std::vector<uint8_t>(full.begin(), full.begin() + n));
    EXPECT_FALSE(ProcessSPS(&u.rec));
  }
  EXPECT_EQ(SeqParSet[0].pic_width_in_mbs_minus1, before.pic_width_in_mbs_minus1);

  // A cycle of offsets longer than the record keeps: stored, the first 256
  // kept, refused only at activation (tested end to end).
  s = base;
  s.poc_type = 1;
  s.offset_for_ref_frame.assign(300, 3);
  ASSERT_TRUE(process_sps(s));
  EXPECT_EQ(SeqParSet[0].num_ref_frames_in_pic_order_cnt_cycle, 300u);
  EXPECT_EQ(SeqParSet[0].offset_for_ref_frame[255], 3);
  // a count far beyond the payload ends at the payload's end
  s.offset_for_ref_frame.assign(2, 3);
  s.cycle_count_override = 0xFFFFFFF0ull;
  EXPECT_FALSE(process_sps(s));
}

TEST_F(H264Syntax, TimingHandedBack) {
  struct Case {
    bool vui, timing;
    uint32_t tick, scale;
    int fixed, want_scale, want_tick;
  };
  const Case cases[] = {{false, false, 0, 0, 0, 50, 1},
                        {true, false, 0, 0, 0, 50, 1},
                        {true, true, 1001, 50000, 0, 50000, 1001},  // fixed_frame_rate_flag 0 counts as well
                        {true, true, 1001, 60000, 1, 60000, 1001},
                        {true, true, 3, 0xFFFFFFFEu, 1, 0x7FFFFFFF, 1}};
  for (const Case& c : cases) {
    Sps s;
    s.vui = c.vui;
    s.timing = c.timing;
    s.num_units_in_tick = c.tick;
    s.time_scale = c.scale;
    s.fixed_frame_rate = c.fixed;
    NALU_t rec;
    ASSERT_TRUE(process_sps(s, &rec));
    EXPECT_EQ(rec.vui_time_scale, c.want_scale);
    EXPECT_EQ(rec.vui_num_units_in_tick, c.want_tick);
  }
}

// ------------------------------------------------------------------ PPS

TEST_F(H264Syntax, PpsExtensionOnlyWithMoreData) {
  Pps plain;
  ASSERT_TRUE(process_pps(plain));
  EXPECT_EQ(PicParSet[0].transform_8x8_mode_flag, 0u);
  EXPECT_EQ(PicParSet[0].second_chroma_qp_index_offset, PicParSet[0].chroma_qp_index_offset);

  // With the 8x8 transform the scaling matrix has 8 lists, 12 where the
  // set's SPS is 4:4:4 (as x264 writes its matrices for 4:4:4); a list
  // flag too many or too few moves second_chroma_qp_index_offset.
  const struct {
    int chroma_format_idc;  // of SPS 0; 0: no SPS 0
    int lists;
  } cases[] = {{0, 8}, {1, 8}, {3, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chroma_format_idc);
    SeqParSet[0].Valid = 0;
    if (c.chroma_format_idc) {
      Sps sps;
      sps.profile_idc = c.chroma_format_idc == 3 ? 244 : 100;
      sps.chroma_format_idc = c.chroma_format_idc;
      ASSERT_TRUE(process_sps(sps));
    }
    BitWriter w;
    w.ue(1);    // pps id
    w.ue(0);    // sps id
    w.u(1, 1);  // cabac
    w.u(1, 1);  // bottom_field_pic_order_in_frame_present_flag
    w.ue(0);
    w.ue(0);
    w.ue(0);
    w.u(1, 0);
    w.u(2, 0);
    w.se(0);
    w.se(0);
    w.se(-2);   // chroma_qp_index_offset
    w.u(1, 1);
    w.u(1, 0);
    w.u(1, 0);
    w.u(1, 1);  // transform_8x8_mode_flag
    w.u(1, 1);  // pic_scaling_matrix_present_flag
    for (int i = 0; i < c.lists; i++) w.u(1, 0);
    w.se(3);    // second_chroma_qp_index_offset
    w.trailing();
    ASSERT_TRUE(process_pps_rbsp(w.bytes()));
    const auto& p = PicParSet[1];
    EXPECT_EQ(p.entropy_coding_mode_flag, 1u);
    EXPECT_EQ(p.bottom_field_pic_order_in_frame_present_flag, 1u);
    EXPECT_EQ(p.transform_8x8_mode_flag, 1u);
    EXPECT_EQ(p.second_chroma_qp_index_offset, 3);
    EXPECT_EQ(p.chroma_qp_index_offset, -2);
  }
}

std::vector<uint8_t> pps_with_groups(unsigned groups_minus1, unsigned map_type, unsigned units_minus1, unsigned id = 2) {
  BitWriter w;
  w.ue(id);
  w.ue(0);
  w.u(1, 0);
  w.u(1, 0);
  w.ue(groups_minus1);
  if (groups_minus1 > 0) {
    w.ue(map_type);
    if (map_type == 6) {
      w.ue(units_minus1);
      const int bits = groups_minus1 + 1 > 4 ? 3 : groups_minus1 + 1 > 2 ? 2 : 1;
      for (unsigned i = 0; i <= units_minus1; i++) w.u(bits, i % (groups_minus1 + 1));
    } else if (map_type == 0) {
      for (unsigned i = 0; i <= groups_minus1; i++) w.ue(i + 10);
    }
  }
  w.ue(0);
  w.ue(0);
  w.u(1, 0);
  w.u(2, 0);
  w.se(0);
  w.se(0);
  w.se(0);
  w.u(1, 1);
  w.u(1, 0);
  w.u(1, 0);
  w.trailing();
  return w.bytes();
}

TEST_F(H264Syntax, PpsSliceGroups) {
  ASSERT_TRUE(process_pps_rbsp(pps_with_groups(2, 6, 98)));
  EXPECT_EQ(PicParSet[2].pic_size_in_map_units_minus1, 98u);
  EXPECT_EQ(PicParSet[2].slice_group_id[97], 97u % 3);
  EXPECT_EQ(PicParSet[2].num_ref_idx_l0_default_active_minus1, 0u);
  // a second copy takes the slot (and releases the first copy's array)
  ASSERT_TRUE(process_pps_rbsp(pps_with_groups(2, 6, 98)));
  ASSERT_TRUE(process_pps_rbsp(pps_with_groups(7, 0, 0)));
  EXPECT_EQ(PicParSet[2].run_length_minus1[7], 17u);

  // beyond the arrays: not stored
  EXPECT_FALSE(process_pps_rbsp(pps_with_groups(8, 0, 0, 3)));
  EXPECT_FALSE(process_pps_rbsp(pps_with_groups(2, 6, 60000, 3)));
  EXPECT_EQ(PicParSet[3].Valid, 0u);
  // ids beyond the stores
  Pps p;
  p.pps_id = 256;
  EXPECT_FALSE(process_pps(p));
  p.pps_id = 4;
  p.sps_id = 32;
  EXPECT_FALSE(process_pps(p));
  EXPECT_EQ(PicParSet[4].Valid, 0u);
  // cut short
  Unit cut(8, {0x88});
  EXPECT_FALSE(ProcessPPS(&cut.rec));
}

// ------------------------------------------------------------------ stores and activation

TEST_F(H264Syntax, ActivationSizeAndReplacement) {
  Sps s;
  s.profile_idc = 66;
  s.width_mbs = 120;
  s.height_map_units = 68;
  s.crop_bottom = 4;
  ASSERT_TRUE(process_sps(s));
  ASSERT_TRUE(process_pps(Pps{}));
  EXPECT_EQ(UseParameterSet(0), 0);
  EXPECT_EQ(Picture_Width, 1920);
  EXPECT_EQ(Picture_Height, 1080);
  EXPECT_EQ(img->MaxFrameNum, 16u);
  seq_parameter_set_rbsp_t* was = active_sps;

  // same set again, or one differing only in its VUI: stays active
  ASSERT_TRUE(process_sps(s));
  EXPECT_EQ(active_sps, was);
  Sps vui = s;
  vui.vui = true;
  vui.timing = true;
  ASSERT_TRUE(process_sps(vui));
  EXPECT_EQ(active_sps, nullptr) << "vui_parameters_present_flag is compared";
  EXPECT_EQ(UseParameterSet(0), 0);
  vui.time_scale = 1234;
  ASSERT_TRUE(process_sps(vui));
  EXPECT_NE(active_sps, nullptr);
  EXPECT_EQ(active_sps->vui_seq_parameters.time_scale, 1234u);

  // another width: dropped, and the next activation works out the new size
  Sps wide = vui;
  wide.width_mbs = 20;
  wide.height_map_units = 15;
  wide.crop_bottom = 0;
  ASSERT_TRUE(process_sps(wide));
  EXPECT_EQ(active_sps, nullptr);
  EXPECT_EQ(Picture_Width, 1920);
  EXPECT_EQ(UseParameterSet(0), 0);
  EXPECT_EQ(Picture_Width, 320);
  EXPECT_EQ(Picture_Height, 240);

  // a PPS naming an empty SPS slot: stored, activation fails until it arrives
  Pps p;
  p.pps_id = 9;
  p.sps_id = 7;
  ASSERT_TRUE(process_pps(p));
  EXPECT_EQ(UseParameterSet(9), -1);
  Sps seven = wide;
  seven.sps_id = 7;
  ASSERT_TRUE(process_sps(seven));
  EXPECT_EQ(UseParameterSet(9), 0);
  EXPECT_EQ(UseParameterSet(-1), -1);
  EXPECT_EQ(UseParameterSet(256), -1);
  EXPECT_EQ(UseParameterSet(200), -1);

  // the analysis reset: nothing active, slot 0 gone, others kept
  reset_parset();
  EXPECT_EQ(active_sps, nullptr);
  EXPECT_EQ(SeqParSet[0].Valid, 0u);
  EXPECT_EQ(SeqParSet[7].Valid, 1u);
}

// ------------------------------------------------------------------ SEI

std::vector<uint8_t> sei_unit(const std::vector<std::pair<int, std::vector<uint8_t>>>& m) {
  std::vector<uint8_t> u = {0x06};
  auto r = h264w::sei_rbsp(m);
  u.insert(u.end(), r.begin(), r.end());
  return u;
}

TEST_F(H264Syntax, SeiRecoveryPoint) {
  auto u = sei_unit({{6, h264w::recovery_point_payload(5)}});
  EXPECT_EQ(InterpretSEIMessage(u.data(), static_cast<int>(u.size()), img, 1), 1);
  EXPECT_EQ(img->recovery_frame_cnt, 5u);
  // a reserved payload type after it is stepped over
  u = sei_unit({{6, h264w::recovery_point_payload(1)}, {22, {1, 2}}, {1000, {}}});
  EXPECT_EQ(InterpretSEIMessage(u.data(), static_cast<int>(u.size()), img, 1), 1);
  u = sei_unit({{5, std::vector<uint8_t>(300, 7)}});
  EXPECT_EQ(InterpretSEIMessage(u.data(), static_cast<int>(u.size()), img, 1), 0);
  // cut at every length: never a recovery point, never a read past the end
  auto full = sei_unit({{5, {1, 2, 3}}, {6, h264w::recovery_point_payload(2)}});
  for (size_t n = 0; n < full.size(); n++) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + n);
    EXPECT_EQ(InterpretSEIMessage(cut.data(), static_cast<int>(cut.size()), img, 1), 0) << n;
  }
  EXPECT_EQ(InterpretSEIMessage(nullptr, 0, img, 1), 0);
}

TEST_F(H264Syntax, SeiPictureTiming) {
  auto timing = [](int ps, const h264w::Hrd* h = nullptr) {
    auto u = sei_unit({{1, h264w::pic_timing_payload(ps, h)}});
    return InterpretSEIMessage(u.data(), static_cast<int>(u.size()), img, 1);
  };
  // before any SPS: ignored
  timing(8);
  EXPECT_EQ(avc_picture_structure, -1);
  EXPECT_EQ(frame_repeats, 0);

  // SPS slot 0 with PPS 0: activated by the message itself
  Sps s;
  s.vui = true;
  s.pic_struct_present = 1;
  s.nal_hrd = true;
  s.hrd.cpb_removal_delay_length = 7;
  s.hrd.dpb_output_delay_length = 13;
  ASSERT_TRUE(process_sps(s));
  ASSERT_TRUE(process_pps(Pps{}));
  timing(8, &s.hrd);
  EXPECT_NE(active_sps, nullptr);
  EXPECT_EQ(avc_picture_structure, 8);
  EXPECT_EQ(frame_repeats, 2);
  timing(5, &s.hrd);
  timing(6, &s.hrd);
  timing(7, &s.hrd);
  EXPECT_EQ(field_repeats, 2);
  EXPECT_EQ(frame_repeats, 3);
  EXPECT_EQ(avc_picture_structure, 7);

  // a payload too short for pic_struct gives 0
  auto u = sei_unit({{1, {0x00}}});
  InterpretSEIMessage(u.data(), static_cast<int>(u.size()), img, 1);
  EXPECT_EQ(avc_picture_structure, 0);

  // outside the indexing pass the counters stay
  Operation = 3;
  timing(8, &s.hrd);
  EXPECT_EQ(frame_repeats, 3);
  Operation = 0;

  // pic_struct_present_flag 0: the structure in force stays
  Sps off = s;
  off.pic_struct_present = 0;
  ASSERT_TRUE(process_sps(off));
  timing(3, &s.hrd);
  EXPECT_EQ(picture_structure_present_flag, 0);
  EXPECT_EQ(avc_picture_structure, 8);
}

}  // namespace
