// Unit tests of the HEVC bit reader and of the VPS/SPS records, on bit
// strings written element by element from the H.265 syntax tables.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "BitstreamReader.h"
#include "HevcParserImpl.h"
#include "hevc_bitwriter.h"

using namespace hevc_test;

static const char* kNotEnough = "BitstreamReader: not enough data";

// Runs f and returns the message of the runtime error it throws ("" if none).
template <typename F>
static std::string error_of(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// ---------------------------------------------------------------- bit reader

TEST(HevcBitReader, FixedLengthFieldsAcrossBytes) {
  const uint8_t d[] = {0xB4, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF};  // 1011 0100 0101 1010
  BitstreamReader br(d, sizeof d);
  EXPECT_EQ(br.getBits(0), 0u);
  EXPECT_EQ(br.getBits(1), 1u);
  EXPECT_EQ(br.getBits(3), 3u);          // 011
  EXPECT_EQ(br.getBits(6), 0x11u);       // 0100 01
  EXPECT_EQ(br.getBits(6), 0x1Au);       // 01 1010
  EXPECT_EQ(br.getBits(32), 4294967295u);
  EXPECT_EQ(br.bitsLeft(), 0u);
  EXPECT_EQ(error_of([&] { br.getBits(1); }), kNotEnough);
  EXPECT_EQ(br.getBits(0), 0u);          // touches nothing, even at the end
}

TEST(HevcBitReader, EmptyBufferAndPartialRead) {
  BitstreamReader empty(nullptr, 0);
  EXPECT_EQ(empty.getBits(0), 0u);
  EXPECT_EQ(error_of([&] { empty.getGolombU(); }), kNotEnough);

  const uint8_t d[] = {0xF0};
  BitstreamReader br(d, 1);
  EXPECT_EQ(error_of([&] { br.getBits(9); }), kNotEnough);
  EXPECT_EQ(br.bitsLeft(), 0u);          // the 8 bits taken stay consumed
}

TEST(HevcBitReader, ExpGolombCodes) {
  // ue(v) codeNum 0..4 and se(v) of the same codes: H.265 Tables 9-2, 9-3.
  BitWriter w;
  w.bits("1 010 011 00100 00101 1 010 011 00100 00101");
  std::vector<uint8_t> b = w.bytes();
  BitstreamReader br(b.data(), b.size());
  for (uint32_t v = 0; v < 5; v++) EXPECT_EQ(br.getGolombU(), v);
  const int32_t se[] = {0, 1, -1, 2, -2};
  for (int32_t v : se) EXPECT_EQ(br.getGolombS(), v);
}

TEST(HevcBitReader, ExpGolombEdges) {
  {  // 0x80: codeNum 0 in one bit.
    const uint8_t d[] = {0x80};
    BitstreamReader br(d, 1);
    EXPECT_EQ(br.getGolombU(), 0u);
    EXPECT_EQ(br.bitsLeft(), 7u);
  }
  {  // 15 zeros and the 1, but no suffix.
    const uint8_t d[] = {0x00, 0x01};
    BitstreamReader br(d, 2);
    EXPECT_EQ(error_of([&] { br.getGolombU(); }), kNotEnough);
  }
  {  // A zero prefix that runs to the end.
    const uint8_t d[] = {0x00, 0x00, 0x00};
    BitstreamReader br(d, 3);
    EXPECT_EQ(error_of([&] { br.getGolombS(); }), kNotEnough);
  }
  {  // 32 zeros, then 1: both reads give 0 and leave the suffix unread.
    const uint8_t d[] = {0, 0, 0, 0, 0x80, 0x00, 0x00, 0x00, 0x00, 0x80};
    BitstreamReader br(d, sizeof d);
    EXPECT_EQ(br.getGolombU(), 0u);
    EXPECT_EQ(br.bitsLeft(), 47u);
    BitstreamReader br2(d, sizeof d);
    EXPECT_EQ(br2.getGolombS(), 0);
    EXPECT_EQ(br2.bitsLeft(), 47u);
  }
  {  // The largest codes: 31 zeros, 1, 31 ones -> 2^32 - 2; se of that code
     // (k = 2^32 - 1, odd) -> -(2^31 - 1); 31 zeros, 1, 30 ones + 0 -> 2^31 - 1.
    BitWriter w;
    w.u(31, 0).u(1, 1).u(31, 0x7FFFFFFF);
    w.u(31, 0).u(1, 1).u(31, 0x7FFFFFFF);
    w.u(31, 0).u(1, 1).u(31, 0x7FFFFFFE);
    std::vector<uint8_t> b = w.bytes();
    BitstreamReader br(b.data(), b.size());
    EXPECT_EQ(br.getGolombU(), 4294967294u);
    EXPECT_EQ(br.getGolombS(), -2147483647);
    EXPECT_EQ(br.getGolombS(), 2147483647);
  }
}

// ---------------------------------------------------------------- records

static SPS parse_sps(const std::vector<uint8_t>& rbsp) {
  BitstreamReader br(rbsp.data(), rbsp.size());
  SPS sps;
  processSPS(&sps, br);
  return sps;
}

static VPS parse_vps(const std::vector<uint8_t>& rbsp) {
  BitstreamReader br(rbsp.data(), rbsp.size());
  VPS vps;
  processVPS(&vps, br);
  return vps;
}

static SpsOpts basic_sps() {
  SpsOpts o;
  o.rps = {{{0, 1}, {}, {1, 1}, {}}, {{0}, {0}, {1}, {0}}};
  return o;
}

TEST(HevcSps, PlainSpsWithoutVuiKeepsDefaults) {
  SpsOpts o = basic_sps();
  o.conf = true;
  o.conf_b = 4;
  o.width = 1920;
  o.height = 1088;
  o.bit_depth_luma_minus8 = 2;
  o.bit_depth_chroma_minus8 = 2;
  SPS s = parse_sps(sps_rbsp(o));
  EXPECT_EQ(s.sps_max_sub_layers_minus1, 0);
  EXPECT_TRUE(s.profile_tier_level.sub_layer_profile_present_flag.empty());
  EXPECT_EQ(s.profile_tier_level.general_profile_idc, 1);
  EXPECT_EQ(s.profile_tier_level.general_profile_compatibility_flag[1], 1);
  EXPECT_EQ(s.profile_tier_level.general_profile_compatibility_flag[2], 1);
  EXPECT_EQ(s.profile_tier_level.general_profile_compatibility_flag[3], 0);
  EXPECT_EQ(s.profile_tier_level.general_progressive_source_flag, 1);
  EXPECT_EQ(s.profile_tier_level.general_level_idc, 93);
  EXPECT_EQ(s.chroma_format_idc, 1u);
  EXPECT_EQ(s.pic_width_in_luma_samples, 1920u);
  EXPECT_EQ(s.pic_height_in_luma_samples, 1088u);
  EXPECT_EQ(s.conformance_window_flag, 1);
  EXPECT_EQ(s.conf_win_bottom_offset, 4u);
  EXPECT_EQ(s.bit_depth_luma_minus8, 2u);
  EXPECT_EQ(s.log2_max_pic_order_cnt_lsb_minus4, 4u);
  ASSERT_EQ(s.sps_max_dec_pic_buffering_minus1.size(), 1u);
  EXPECT_EQ(s.sps_max_dec_pic_buffering_minus1[0], 4u);
  EXPECT_EQ(s.log2_diff_max_min_luma_coding_block_size, 3u);
  EXPECT_EQ(s.sample_adaptive_offset_enabled_flag, 1);
  ASSERT_EQ(s.num_short_term_ref_pic_sets, 2u);
  EXPECT_EQ(s.short_term_ref_pic_set[0].num_negative_pics, 2u);
  EXPECT_EQ(s.short_term_ref_pic_set[0].delta_poc_s0_minus1[1], 1u);
  EXPECT_EQ(s.short_term_ref_pic_set[1].num_positive_pics, 1u);
  EXPECT_EQ(s.short_term_ref_pic_set[1].used_by_curr_pic_s1_flag[0], 0);
  EXPECT_EQ(s.sps_temporal_mvp_enabled_flag, 1);
  EXPECT_EQ(s.vui_parameters_present_flag, 0);
  EXPECT_EQ(s.vui_parameters.colour_primaries, 2);
  EXPECT_EQ(s.vui_parameters.transfer_characteristics, 2);
  EXPECT_EQ(s.vui_parameters.matrix_coeffs, 2);
  EXPECT_EQ(s.vui_parameters.video_format, 5);
  EXPECT_EQ(s.vui_parameters.max_bytes_per_pic_denom, 2u);
  EXPECT_EQ(s.vui_parameters.log2_max_mv_length_vertical, 15u);
}

TEST(HevcSps, SubLayersInProfileTierLevelAndOrdering) {
  SpsOpts o = basic_sps();
  o.max_sub_layers_minus1 = 3;
  o.sub_profile_mask = 0b101;   // sub-layers 0 and 2 carry a profile
  o.sub_level_mask = 0b110;     // sub-layers 1 and 2 carry a level
  o.vui = true;
  o.v.timing = true;
  o.v.hrd = true;
  o.v.hrd_cpb_cnt_minus1 = 2;
  SPS s = parse_sps(sps_rbsp(o));
  const ProfileTierLevel& p = s.profile_tier_level;
  ASSERT_EQ(p.sub_layer_profile_present_flag.size(), 3u);
  EXPECT_EQ(p.sub_layer_profile_present_flag[0], 1);
  EXPECT_EQ(p.sub_layer_profile_present_flag[1], 0);
  EXPECT_EQ(p.sub_layer_level_present_flag[1], 1);
  EXPECT_EQ(p.sub_layer_profile_idc[0], 2);
  EXPECT_EQ(p.sub_layer_profile_idc[2], 2);
  EXPECT_EQ(p.sub_layer_profile_compatibility_flag[2][2], 1);
  EXPECT_EQ(p.sub_layer_interlaced_source_flag[0], 1);
  EXPECT_EQ(p.sub_layer_level_idc[0], 0);
  EXPECT_EQ(p.sub_layer_level_idc[1], 61);
  EXPECT_EQ(p.sub_layer_level_idc[2], 62);
  ASSERT_EQ(s.sps_max_num_reorder_pics.size(), 4u);
  EXPECT_EQ(s.sps_max_num_reorder_pics[3], 3u);
  // The HRD has one entry per sub-layer with cpb_cnt_minus1 + 1 CPBs.
  const HrdParameters& h = s.vui_parameters.hrd_parameters;
  EXPECT_EQ(h.nal_hrd_parameters_present_flag, 1);
  EXPECT_EQ(h.au_cpb_removal_delay_length_minus1, 15);
  ASSERT_EQ(h.cpb_cnt_minus1.size(), 4u);
  EXPECT_EQ(h.fixed_pic_rate_within_cvs_flag[3], 1);
  EXPECT_EQ(h.low_delay_hrd_flag[3], 0);
  ASSERT_EQ(h.nal_sub_layer_hrd_parameters[3].bit_rate_value_minus1.size(), 3u);
  EXPECT_EQ(h.nal_sub_layer_hrd_parameters[3].cpb_size_value_minus1[2], 2002u);
  EXPECT_EQ(h.nal_sub_layer_hrd_parameters[3].cbr_flag[1], 1);
  EXPECT_TRUE(h.vcl_sub_layer_hrd_parameters[3].bit_rate_value_minus1.empty());
  EXPECT_EQ(s.vui_parameters.vui_time_scale, 24000u);
  EXPECT_EQ(s.sps_extension_present_flag, 0);
}

TEST(HevcSps, OrderingOnlyForHighestSubLayer) {
  SpsOpts o = basic_sps();
  o.max_sub_layers_minus1 = 2;
  o.ordering_all = false;
  SPS s = parse_sps(sps_rbsp(o));
  ASSERT_EQ(s.sps_max_dec_pic_buffering_minus1.size(), 3u);
  EXPECT_EQ(s.sps_max_dec_pic_buffering_minus1[0], 0u);
  EXPECT_EQ(s.sps_max_dec_pic_buffering_minus1[2], 4u);
  EXPECT_EQ(s.sps_max_num_reorder_pics[2], 2u);
  EXPECT_EQ(s.num_short_term_ref_pic_sets, 2u);
}

TEST(HevcSps, ScalingListsPcmLongTermAndVui) {
  SpsOpts o = basic_sps();
  o.scaling = true;
  o.pcm = true;
  o.long_term = true;
  o.num_long_term = 3;
  o.log2_poc_lsb_minus4 = 12;   // 16-bit lsb fields
  o.vui = true;
  o.v.aspect = true;
  o.v.aspect_idc = 255;
  o.v.sar_w = 64;
  o.v.sar_h = 45;
  o.v.signal = true;
  o.v.colour = true;
  o.v.primaries = 9;
  o.v.transfer = 16;
  o.v.matrix = 9;
  o.v.frame_field_info = true;
  o.v.restriction = true;
  SPS s = parse_sps(sps_rbsp(o));
  const ScalingListData& d = s.scaling_list_data;
  ASSERT_EQ(d.scaling_list_pred_mode_flag.size(), 4u);
  ASSERT_EQ(d.scaling_list_pred_mode_flag[3].size(), 2u);
  EXPECT_EQ(d.scaling_list_pred_mode_flag[0][0], 0);
  EXPECT_EQ(d.scaling_list_pred_mode_flag[0][1], 1);
  EXPECT_EQ(d.scaling_list_delta_coef[0][1].size(), 16u);
  EXPECT_EQ(d.scaling_list_delta_coef[0][1][0], -1);
  EXPECT_EQ(d.scaling_list_delta_coef[0][1][2], 1);
  EXPECT_EQ(d.scaling_list_delta_coef[1][3].size(), 64u);
  EXPECT_TRUE(d.scaling_list_delta_coef[1][2].empty());
  EXPECT_EQ(d.scaling_list_dc_coef_minus8[2][5], 5);
  EXPECT_EQ(d.scaling_list_dc_coef_minus8[3][1], 4);
  EXPECT_EQ(d.scaling_list_delta_coef[3][1][63], -1);
  EXPECT_EQ(s.pcm_sample_bit_depth_luma_minus1, 7);
  EXPECT_EQ(s.log2_diff_max_min_pcm_luma_coding_block_size, 1u);
  EXPECT_EQ(s.pcm_loop_filter_disabled_flag, 1);
  ASSERT_EQ(s.lt_ref_pic_poc_lsb_sps.size(), 3u);
  EXPECT_EQ(s.lt_ref_pic_poc_lsb_sps[2], 6u);
  EXPECT_EQ(s.used_by_curr_pic_lt_sps_flag[1], 1);
  const VuiParameters& v = s.vui_parameters;
  EXPECT_EQ(v.aspect_ratio_idc, 255);
  EXPECT_EQ(v.sar_width, 64u);
  EXPECT_EQ(v.sar_height, 45u);
  EXPECT_EQ(v.colour_primaries, 9);
  EXPECT_EQ(v.transfer_characteristics, 16);
  EXPECT_EQ(v.matrix_coeffs, 9);
  EXPECT_EQ(v.frame_field_info_present_flag, 1);
  EXPECT_EQ(v.vui_timing_info_present_flag, 0);
  EXPECT_EQ(v.motion_vectors_over_pic_boundaries_flag, 0);
  EXPECT_EQ(v.max_bytes_per_pic_denom, 2u);
  EXPECT_EQ(v.max_bits_per_min_cu_denom, 1u);
  EXPECT_EQ(v.log2_max_mv_length_horizontal, 15u);
}

// Set 1 predicted from set 0 (2 + 1 = 3 pictures -> 4 flag pairs); set 2
// predicted from set 1, whose NumDeltaPocs is the count of its entries with
// used_by_curr_pic_flag or use_delta_flag set.
static void write_predicted(BitWriter& w, size_t idx) {
  w.u(1, 1);                          // inter_ref_pic_set_prediction_flag
  // delta_idx_minus1 is not coded inside an SPS
  w.u(1, idx == 1 ? 1 : 0).ue(idx);   // delta_rps_sign, abs_delta_rps_minus1
  if (idx == 1) {
    // j 0..3: used 1 | used 0, use_delta 0 | used 0, use_delta 1 | used 1
    w.bits("1 00 01 1");              // NumDeltaPocs = 3 (entries 0, 2, 3)
  } else {
    w.bits("01 1 1 00");              // 4 entries for NumDeltaPocs 3
  }
}

TEST(HevcSps, InterRpsPredictionChains) {
  SpsOpts o = basic_sps();
  o.rps = {{{0, 1}, {0}, {1, 0}, {1}}, {}, {}, {{2}, {}, {1}, {}}};
  o.predicted = write_predicted;
  o.predicted_idx = {1, 2};
  SPS s = parse_sps(sps_rbsp(o));
  ASSERT_EQ(s.short_term_ref_pic_set.size(), 4u);
  const ShortTermRefPicSet& a = s.short_term_ref_pic_set[1];
  EXPECT_EQ(a.inter_ref_pic_set_prediction_flag, 1);
  EXPECT_EQ(a.delta_rps_sign, 1);
  EXPECT_EQ(a.abs_delta_rps_minus1, 1u);
  ASSERT_EQ(a.used_by_curr_pic_flag.size(), 4u);
  EXPECT_EQ(a.use_delta_flag[0], 1);  // not coded: inferred
  EXPECT_EQ(a.use_delta_flag[1], 0);
  EXPECT_EQ(a.use_delta_flag[2], 1);
  EXPECT_EQ(numDeltaPocs(a), 3u);
  const ShortTermRefPicSet& b = s.short_term_ref_pic_set[2];
  ASSERT_EQ(b.used_by_curr_pic_flag.size(), 4u);
  EXPECT_EQ(b.used_by_curr_pic_flag[0], 0);
  EXPECT_EQ(b.use_delta_flag[0], 1);
  EXPECT_EQ(b.used_by_curr_pic_flag[3], 0);
  EXPECT_EQ(b.use_delta_flag[3], 0);
  EXPECT_EQ(numDeltaPocs(b), 3u);
  // The explicit set after the chain is read from the right bits.
  EXPECT_EQ(s.short_term_ref_pic_set[3].num_negative_pics, 1u);
  EXPECT_EQ(s.short_term_ref_pic_set[3].delta_poc_s0_minus1[0], 2u);
  EXPECT_EQ(s.sps_temporal_mvp_enabled_flag, 1);
}

TEST(HevcSps, SliceOwnSetPredictsWithinTheArray) {
  ShortTermRefPicSet first;
  first.num_negative_pics = 1;
  std::vector<ShortTermRefPicSet> earlier = {first, first};
  SPS sps;
  sps.sps_max_dec_pic_buffering_minus1 = {4};
  {  // delta_idx_minus1 1 at index 2 refers to set 0: two flag pairs.
    BitWriter w;
    w.u(1, 1).ue(1).u(1, 0).ue(0).bits("1 1");
    std::vector<uint8_t> b = w.trailing().bytes();
    BitstreamReader br(b.data(), b.size());
    ShortTermRefPicSet s = processShortTermRefPicSet(2, 2, earlier, &sps, br);
    EXPECT_EQ(s.delta_idx_minus1, 1u);
    EXPECT_EQ(s.used_by_curr_pic_flag.size(), 2u);
  }
  {  // delta_idx_minus1 2 would refer to set -1.
    BitWriter w;
    w.u(1, 1).ue(2).u(1, 0).ue(0).bits("1 1 1 1");
    std::vector<uint8_t> b = w.trailing().bytes();
    BitstreamReader br(b.data(), b.size());
    EXPECT_NE(error_of([&] { processShortTermRefPicSet(2, 2, earlier, &sps, br); }), "");
  }
}

TEST(HevcSps, SetCountsAboveTheDpbEndTheSetOnly) {
  SpsOpts o = basic_sps();
  o.max_dec_minus1 = 2;
  // Set 0 codes 3 negative pictures (> 2) and no delta list: the set ends
  // with empty lists and the parse goes on with long_term_ref_pics_present_flag.
  o.rps = {{}};
  o.predicted_idx = {0};
  o.predicted = [](BitWriter& w, size_t) { w.ue(3).ue(0); };
  o.long_term = true;
  o.num_long_term = 2;
  o.vui = true;
  o.v.aspect = true;
  o.v.aspect_idc = 14;
  SPS s = parse_sps(sps_rbsp(o));
  ASSERT_EQ(s.short_term_ref_pic_set.size(), 1u);
  EXPECT_EQ(s.short_term_ref_pic_set[0].num_negative_pics, 0u);
  EXPECT_TRUE(s.short_term_ref_pic_set[0].delta_poc_s0_minus1.empty());
  EXPECT_EQ(s.num_long_term_ref_pics_sps, 2u);
  EXPECT_EQ(s.vui_parameters.aspect_ratio_idc, 14);
}

TEST(HevcSps, CountsAndWidthsAreBounded) {
  struct Case {
    const char* element;
    void (*set)(SpsOpts&);
  };
  const Case cases[] = {
      {"num_short_term_ref_pic_sets", [](SpsOpts& o) { o.num_rps_override = 65; }},
      {"num_long_term_ref_pics_sps", [](SpsOpts& o) { o.long_term = true; o.num_long_term = 33; }},
      {"sps_max_dec_pic_buffering_minus1", [](SpsOpts& o) { o.max_dec_minus1 = 16; }},
      {"log2_max_pic_order_cnt_lsb_minus4", [](SpsOpts& o) { o.log2_poc_lsb_minus4 = 29; }},
      {"chroma_format_idc", [](SpsOpts& o) { o.chroma_format_idc = 4; }},
      {"cpb_cnt_minus1", [](SpsOpts& o) { o.vui = o.v.timing = o.v.hrd = true; o.v.hrd_cpb_cnt_minus1 = 32; }},
  };
  for (const Case& c : cases) {
    SpsOpts o = basic_sps();
    c.set(o);
    std::string msg = error_of([&] { parse_sps(sps_rbsp(o)); });
    EXPECT_NE(msg.find(c.element), std::string::npos) << c.element << ": " << msg;
  }
  // The largest permitted values parse.
  SpsOpts o = basic_sps();
  o.max_dec_minus1 = 15;
  o.long_term = true;
  o.num_long_term = 32;
  o.log2_poc_lsb_minus4 = 12;
  o.vui = o.v.timing = o.v.hrd = true;
  o.v.hrd_cpb_cnt_minus1 = 31;
  EXPECT_EQ(parse_sps(sps_rbsp(o)).lt_ref_pic_poc_lsb_sps.size(), 32u);
}

TEST(HevcSps, EveryTruncationFailsCleanly) {
  SpsOpts o = basic_sps();
  o.scaling = true;
  o.vui = true;
  o.v.signal = o.v.colour = o.v.timing = o.v.hrd = o.v.restriction = true;
  std::vector<uint8_t> full = sps_rbsp(o);
  EXPECT_EQ(error_of([&] { parse_sps(full); }), "");
  // Dropping the stop bit's byte leaves sps_extension_present_flag in the
  // last byte; every shorter cut must end in the reader's error.
  for (size_t n = 0; n + 1 < full.size(); n++) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + long(n));
    EXPECT_EQ(error_of([&] { parse_sps(cut); }), kNotEnough) << "cut at " << n;
  }
}

TEST(HevcVps, TimingAfterPocProportionalCode) {
  // vps_poc_proportional_to_timing_flag 1, vps_num_ticks_poc_diff_one_minus1
  // 1 (code 010), then vps_num_hrd_parameters 2: the second HRD set has no
  // common part (cprms_present_flag 0) and inherits the NAL presence flag.
  BitWriter w;
  w.u(4, 3).u(2, 3).u(6, 0).u(3, 1).u(1, 1).u(16, 0xFFFF);
  write_ptl(w, 1, 0, 1);
  w.u(1, 0).ue(5).ue(1).ue(0);         // ordering for the highest sub-layer only
  w.u(6, 2).ue(2);                     // vps_max_layer_id 2, three layer sets
  w.bits("101 011");                   // layer_id_included_flag of sets 1 and 2
  w.u(1, 1).u(32, 1001).u(32, 60000);
  w.u(1, 1).bits("010");               // poc proportional, ticks minus1 = 1
  w.ue(2);                             // vps_num_hrd_parameters
  w.ue(0);                             // hrd_layer_set_idx[0]
  write_hrd(w, true, 1, 1);
  w.ue(2).u(1, 0);                     // hrd_layer_set_idx[1], cprms_present_flag[1]
  write_hrd(w, false, 1, 0);
  w.u(1, 1);                           // vps_extension_flag
  std::vector<uint8_t> b = w.trailing().bytes();
  VPS v = parse_vps(b);
  EXPECT_EQ(v.vps_video_parameter_set_id, 3);
  EXPECT_EQ(v.vps_max_sub_layers_minus1, 1);
  EXPECT_EQ(v.profile_tier_level.sub_layer_level_idc[0], 60);
  EXPECT_EQ(v.vps_max_dec_pic_buffering_minus1[0], 0u);
  EXPECT_EQ(v.vps_max_dec_pic_buffering_minus1[1], 5u);
  ASSERT_EQ(v.layer_id_included_flag.size(), 3u);
  EXPECT_EQ(v.layer_id_included_flag[1][1], 0);
  EXPECT_EQ(v.layer_id_included_flag[2][2], 1);
  EXPECT_EQ(v.vps_num_units_in_tick, 1001u);
  EXPECT_EQ(v.vps_time_scale, 60000u);
  EXPECT_EQ(v.vps_num_ticks_poc_diff_one_minus1, 1u);
  ASSERT_EQ(v.vps_num_hrd_parameters, 2u);
  EXPECT_EQ(v.hrd_layer_set_idx[1], 2u);
  EXPECT_EQ(v.cprms_present_flag[0], 1);
  EXPECT_EQ(v.cprms_present_flag[1], 0);
  EXPECT_EQ(v.hrd_parameters[0].nal_sub_layer_hrd_parameters[1].bit_rate_value_minus1[1], 1001u);
  EXPECT_EQ(v.hrd_parameters[1].nal_hrd_parameters_present_flag, 1);
  EXPECT_EQ(v.hrd_parameters[1].nal_sub_layer_hrd_parameters[1].cpb_size_value_minus1[0], 2000u);
  EXPECT_EQ(v.vps_extension_flag, 1);
}

TEST(HevcVps, CountsAreBounded) {
  auto vps_with = [](uint64_t layer_sets_minus1, uint64_t hrd_count) {
    BitWriter w;
    w.u(4, 0).u(2, 3).u(6, 0).u(3, 0).u(1, 1).u(16, 0xFFFF);
    write_ptl(w, 0);
    w.u(1, 1).ue(4).ue(2).ue(0);
    w.u(6, 0).ue(layer_sets_minus1);
    for (uint64_t i = 0; i < layer_sets_minus1 && i < 2000; i++) w.u(1, 1);
    w.u(1, 1).u(32, 1).u(32, 25).u(1, 0).ue(hrd_count);
    for (int i = 0; i < 64; i++) w.u(32, 0xFFFFFFFF);
    return w.trailing().bytes();
  };
  EXPECT_NE(error_of([&] { parse_vps(vps_with(1024, 0)); }).find("vps_num_layer_sets_minus1"),
            std::string::npos);
  EXPECT_NE(error_of([&] { parse_vps(vps_with(0, 1025)); }).find("vps_num_hrd_parameters"),
            std::string::npos);
  // Huge codes: ue(v) of 2^32 - 2 must not size anything.
  EXPECT_NE(error_of([&] { parse_vps(vps_with(0, 4294967294u)); }), "");
  // Within bounds the parse goes on and then runs out of data.
  EXPECT_EQ(error_of([&] { parse_vps(vps_with(1023, 1024)); }), kNotEnough);
}

TEST(HevcVps, WithoutTiming) {
  VPS v = parse_vps(vps_rbsp(false));
  EXPECT_EQ(v.vps_timing_info_present_flag, 0);
  EXPECT_EQ(v.vps_time_scale, 0u);
  VPS t = parse_vps(vps_rbsp(true, 1001, 30000));
  EXPECT_EQ(t.vps_time_scale, 30000u);
  EXPECT_EQ(t.vps_num_units_in_tick, 1001u);
}
