// The stand-in's own header readers: hand-made parameter sets with the bit
// patterns written beside them, and hostile ones (truncated, huge values).

#include <gtest/gtest.h>

#include <vector>

#include "headers.h"

namespace {

using standin::SeqInfo;

// Writes bit strings and Exp-Golomb codes, MSB first.
struct Bits {
  std::vector<uint8_t> bytes;
  int n = 0;
  void u(uint32_t v, int bits) {
    for (int i = bits - 1; i >= 0; i--) {
      if (n % 8 == 0) bytes.push_back(0);
      if ((v >> i) & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
      n++;
    }
  }
  void ue(uint32_t v) {
    uint64_t x = uint64_t(v) + 1;
    int len = 0;
    while ((x >> len) > 1) len++;
    u(0, len);
    u(static_cast<uint32_t>(x), len + 1);
  }
  void trailing() { u(1, 1); while (n % 8) u(0, 1); }
};

// H.264 SPS, High profile, 4:2:0 8-bit, 1920x1080 (68 map units, cropping 8 rows).
std::vector<uint8_t> h264_sps(uint32_t width_mbs_minus1 = 119, uint32_t height_minus1 = 67, bool frame_mbs_only = true,
                              uint32_t crop_bottom = 4) {
  Bits b;
  b.u(100, 8);  // profile_idc High
  b.u(0, 8);    // constraint flags
  b.u(40, 8);   // level_idc
  b.ue(0);      // seq_parameter_set_id
  b.ue(1);      // chroma_format_idc 4:2:0
  b.ue(0);      // bit_depth_luma_minus8
  b.ue(0);      // bit_depth_chroma_minus8
  b.u(0, 1);    // qpprime_y_zero_transform_bypass_flag
  b.u(0, 1);    // seq_scaling_matrix_present_flag
  b.ue(0);      // log2_max_frame_num_minus4
  b.ue(0);      // pic_order_cnt_type
  b.ue(2);      // log2_max_pic_order_cnt_lsb_minus4
  b.ue(4);      // max_num_ref_frames
  b.u(0, 1);    // gaps_in_frame_num_value_allowed_flag
  b.ue(width_mbs_minus1);
  b.ue(height_minus1);
  b.u(frame_mbs_only, 1);
  if (!frame_mbs_only) b.u(1, 1);  // mb_adaptive_frame_field_flag
  b.u(1, 1);                       // direct_8x8_inference_flag
  b.u(1, 1);                       // frame_cropping_flag
  b.ue(0);
  b.ue(0);
  b.ue(0);
  b.ue(crop_bottom);  // frame_crop_bottom_offset (units of 2 rows in 4:2:0 frames)
  b.u(0, 1);          // vui_parameters_present_flag
  b.trailing();
  return b.bytes;
}

TEST(StandinHeaders, H264SpsGivesSizeCropAndStructure) {
  std::vector<uint8_t> sps = h264_sps();
  SeqInfo s;
  ASSERT_TRUE(standin::parse_h264_sps(sps.data(), sps.size(), s));
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1088);
  EXPECT_EQ(s.crop_bottom, 8);
  EXPECT_EQ(s.crop_left + s.crop_right + s.crop_top, 0);
  EXPECT_TRUE(s.progressive_sequence);
  EXPECT_EQ(s.bit_depth_luma, 8);
  EXPECT_EQ(s.chroma_format, 1);
  // Field coding: map units are field MB rows, crop units double.
  std::vector<uint8_t> inter = h264_sps(119, 33, false, 2);
  ASSERT_TRUE(standin::parse_h264_sps(inter.data(), inter.size(), s));
  EXPECT_EQ(s.height, 1088);
  EXPECT_EQ(s.crop_bottom, 8);
  EXPECT_FALSE(s.progressive_sequence);
}

TEST(StandinHeaders, H264SpsRefusesHostileValues) {
  SeqInfo s;
  s.width = 77;
  std::vector<uint8_t> sps = h264_sps();
  for (size_t cut = 0; cut + 1 < sps.size(); cut++)
    EXPECT_FALSE(standin::parse_h264_sps(sps.data(), cut, s)) << "truncated to " << cut;
  std::vector<uint8_t> huge = h264_sps(5000);
  EXPECT_FALSE(standin::parse_h264_sps(huge.data(), huge.size(), s));
  std::vector<uint8_t> overcrop = h264_sps(119, 67, true, 600);
  EXPECT_FALSE(standin::parse_h264_sps(overcrop.data(), overcrop.size(), s));
  std::vector<uint8_t> zeros(64, 0x00);  // Exp-Golomb codes that never end
  EXPECT_FALSE(standin::parse_h264_sps(zeros.data(), zeros.size(), s));
  EXPECT_EQ(s.width, 77) << "a refused header leaves the output alone";
}

// HEVC SPS, Main, one sub-layer, 4:2:0, 1920x1080 with CTB 2^(3+3) = 64.
std::vector<uint8_t> hevc_sps(uint32_t width = 1920, uint32_t log2_diff = 3, uint32_t depth_minus8 = 0) {
  Bits b;
  b.u(0, 4);    // sps_video_parameter_set_id
  b.u(0, 3);    // sps_max_sub_layers_minus1
  b.u(1, 1);    // sps_temporal_id_nesting_flag
  b.u(1, 8);    // general_profile_space, tier, profile_idc (Main)
  b.u(0x60000000, 32);  // compatibility flags
  b.u(1, 1);    // general_progressive_source_flag
  b.u(0, 1);    // general_interlaced_source_flag
  b.u(0, 2);    // non_packed, frame_only
  b.u(0, 32);   // reserved 43 bits + 1
  b.u(0, 12);
  b.u(93, 8);   // general_level_idc
  b.ue(0);      // sps_seq_parameter_set_id
  b.ue(1);      // chroma_format_idc
  b.ue(width);  // pic_width_in_luma_samples
  b.ue(1080);   // pic_height_in_luma_samples
  b.u(0, 1);    // conformance_window_flag
  b.ue(depth_minus8);
  b.ue(depth_minus8);
  b.ue(4);      // log2_max_pic_order_cnt_lsb_minus4
  b.u(1, 1);    // sps_sub_layer_ordering_info_present_flag
  b.ue(4);      // sps_max_dec_pic_buffering_minus1
  b.ue(2);      // sps_max_num_reorder_pics
  b.ue(0);      // sps_max_latency_increase_plus1
  b.ue(0);      // log2_min_luma_coding_block_size_minus3
  b.ue(log2_diff);
  b.trailing();
  return b.bytes;
}

TEST(StandinHeaders, HevcSpsGivesSizeDepthAndCtb) {
  std::vector<uint8_t> sps = hevc_sps(1920, 3, 2);
  SeqInfo s;
  ASSERT_TRUE(standin::parse_hevc_sps(sps.data(), sps.size(), s));
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1080);
  EXPECT_EQ(s.align, 64);
  EXPECT_EQ(s.bit_depth_luma, 10);
  EXPECT_EQ(s.dpb_size, 5);
  sps = hevc_sps(1920, 1);
  ASSERT_TRUE(standin::parse_hevc_sps(sps.data(), sps.size(), s));
  EXPECT_EQ(s.align, 16);
}

TEST(StandinHeaders, HevcSpsRefusesHostileValues) {
  SeqInfo s;
  std::vector<uint8_t> sps = hevc_sps();
  for (size_t cut = 0; cut + 1 < sps.size(); cut++)
    EXPECT_FALSE(standin::parse_hevc_sps(sps.data(), cut, s)) << "truncated to " << cut;
  std::vector<uint8_t> wide = hevc_sps(100000), ctb = hevc_sps(1920, 7);
  EXPECT_FALSE(standin::parse_hevc_sps(wide.data(), wide.size(), s));
  EXPECT_FALSE(standin::parse_hevc_sps(ctb.data(), ctb.size(), s));
  std::vector<uint8_t> ones(64, 0xFF);
  EXPECT_FALSE(standin::parse_hevc_sps(ones.data(), ones.size(), s));
}

TEST(StandinHeaders, Mpeg2SequenceAndPictureExtension) {
  // 720x576: 0x2D0 0x240, aspect 2, frame rate 3; extension: id 1, profile 0x48,
  // progressive_sequence 0, chroma_format 1, size extensions 0.
  const uint8_t hdr[] = {0x2D, 0x02, 0x40, 0x23, 0xFF, 0xFF, 0xE0, 0x18};
  const uint8_t ext[] = {0x14, 0x82, 0x00, 0x01};
  SeqInfo s;
  ASSERT_TRUE(standin::parse_mpeg2_sequence(hdr, sizeof hdr, ext, sizeof ext, s));
  EXPECT_EQ(s.width, 720);
  EXPECT_EQ(s.height, 576);
  EXPECT_FALSE(s.progressive_sequence);
  EXPECT_EQ(s.chroma_format, 1);
  EXPECT_FALSE(standin::parse_mpeg2_sequence(hdr, 2, nullptr, 0, s));
  const uint8_t zero[] = {0x00, 0x00, 0x00, 0x23};
  EXPECT_FALSE(standin::parse_mpeg2_sequence(zero, sizeof zero, nullptr, 0, s));
  const uint8_t not_seq_ext[] = {0x24, 0x8A};
  EXPECT_FALSE(standin::parse_mpeg2_sequence(hdr, sizeof hdr, not_seq_ext, sizeof not_seq_ext, s));

  // Picture coding extension: id 8, f_codes, dc 0, structure 3 (frame),
  // top_field_first 1, ..., repeat_first_field 1, chroma_420_type 1, progressive_frame 1.
  const uint8_t pce[] = {0x8F, 0xFF, 0xF3, 0x83, 0x80};
  standin::Mpeg2PictureFlags f;
  ASSERT_TRUE(standin::parse_mpeg2_picture_extension(pce, sizeof pce, f));
  EXPECT_EQ(f.picture_structure, 3);
  EXPECT_TRUE(f.top_field_first);
  EXPECT_TRUE(f.repeat_first_field);
  EXPECT_TRUE(f.progressive_frame);
  EXPECT_FALSE(standin::parse_mpeg2_picture_extension(pce, 3, f));
}

TEST(StandinHeaders, ReaderLatchesAndCapsExpGolomb) {
  const uint8_t zeros[8] = {};
  standin::BitReader br(zeros, sizeof zeros);
  EXPECT_EQ(br.ue(), 0u);
  EXPECT_TRUE(br.error());
  const uint8_t one[] = {0x80};
  standin::BitReader b2(one, 1);
  EXPECT_EQ(b2.ue(), 0u);
  EXPECT_FALSE(b2.error());
  EXPECT_EQ(b2.u(8), 0u);
  EXPECT_TRUE(b2.error());
  const uint8_t esc[] = {0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03};
  std::vector<uint8_t> r = standin::unescape_rbsp(esc, sizeof esc);
  EXPECT_EQ(r, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0x00, 0x00}));
}

}  // namespace
