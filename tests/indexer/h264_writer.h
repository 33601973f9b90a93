// A small H.264 bitstream writer for the tests: parameter sets, SEI messages
// and slice headers with exactly the values a test chooses, for what x264
// cannot make (field pictures, picture order count type 1, damaged units).
// Slices carry their header and the stop bit only: the indexer reads no
// macroblock data, so no decoder can play these streams and none is needed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bitwriter.h"

namespace h264w {

using tu::BitWriter;

// Start code 00 00 00 01, NAL header, payload with emulation prevention.
inline std::vector<uint8_t> nal(int nal_ref_idc, int type, const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out = {0, 0, 0, 1, static_cast<uint8_t>((nal_ref_idc << 5) | type)};
  std::vector<uint8_t> e = tu::escape(rbsp);
  out.insert(out.end(), e.begin(), e.end());
  return out;
}

struct Hrd {
  int cpb_removal_delay_length = 24;  // the coded lengths, not minus 1
  int dpb_output_delay_length = 24;
};

struct Sps {
  int profile_idc = 100;
  int constraint_set3 = 0;
  int level_idc = 30;
  int sps_id = 0;
  int chroma_format_idc = 1;           // written for the high profiles
  bool scaling_matrix = false;         // all lists present (8, or 12 in 4:4:4), flat 16
  int log2_max_frame_num_minus4 = 0;
  int poc_type = 0;
  int log2_max_poc_lsb_minus4 = 2;
  // picture order count type 1
  int delta_pic_order_always_zero = 0;
  int offset_for_non_ref_pic = 0;
  int offset_for_top_to_bottom_field = 0;
  std::vector<int> offset_for_ref_frame;
  uint64_t cycle_count_override = ~0ull;  // writes this count instead of the vector's size
  int num_ref_frames = 2;
  int width_mbs = 20, height_map_units = 15;
  int frame_mbs_only = 1;
  int mbaff = 0;
  int crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
  // VUI
  bool vui = false;
  int aspect_ratio_idc = -1;  // -1: no aspect information
  int sar_w = 0, sar_h = 0;
  int colour_primaries = -1, transfer = 0, matrix = 0;  // -1: no colour description
  bool timing = false;
  uint32_t num_units_in_tick = 1001, time_scale = 60000;
  int fixed_frame_rate = 1;
  bool nal_hrd = false;
  Hrd hrd;
  int pic_struct_present = 0;
};

inline void write_hrd(BitWriter& w, const Hrd& h) {
  w.ue(0);      // cpb_cnt_minus1
  w.u(4, 0);    // bit_rate_scale
  w.u(4, 0);    // cpb_size_scale
  w.ue(1000);   // bit_rate_value_minus1
  w.ue(1000);   // cpb_size_value_minus1
  w.u(1, 0);    // cbr_flag
  w.u(5, 23);   // initial_cpb_removal_delay_length_minus1
  w.u(5, h.cpb_removal_delay_length - 1);
  w.u(5, h.dpb_output_delay_length - 1);
  w.u(5, 24);   // time_offset_length
}

inline std::vector<uint8_t> sps_rbsp(const Sps& s) {
  BitWriter w;
  w.u(8, s.profile_idc);
  w.u(1, 0);
  w.u(1, 0);
  w.u(1, 0);
  w.u(1, s.constraint_set3);
  w.u(4, 0);  // constraint_set4/5, reserved_zero_2bits
  w.u(8, s.level_idc);
  w.ue(s.sps_id);
  const int p = s.profile_idc;
  if (p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 83 || p == 144) {
    w.ue(s.chroma_format_idc);
    if (s.chroma_format_idc == 3) w.u(1, 0);
    w.ue(0);
    w.ue(0);
    w.u(1, 0);
    w.u(1, s.scaling_matrix ? 1 : 0);
    if (s.scaling_matrix) {
      for (int i = 0; i < (s.chroma_format_idc == 3 ? 12 : 8); i++) {
        w.u(1, 1);
        const int n = i < 6 ? 16 : 64;
        w.se(8);  // 8 -> 16
        for (int j = 1; j < n; j++) w.se(0);
      }
    }
  }
  w.ue(s.log2_max_frame_num_minus4);
  w.ue(s.poc_type);
  if (s.poc_type == 0) {
    w.ue(s.log2_max_poc_lsb_minus4);
  } else if (s.poc_type == 1) {
    w.u(1, s.delta_pic_order_always_zero);
    w.se(s.offset_for_non_ref_pic);
    w.se(s.offset_for_top_to_bottom_field);
    w.ue(s.cycle_count_override != ~0ull ? s.cycle_count_override : s.offset_for_ref_frame.size());
    for (int o : s.offset_for_ref_frame) w.se(o);
  }
  w.ue(s.num_ref_frames);
  w.u(1, 0);
  w.ue(s.width_mbs - 1);
  w.ue(s.height_map_units - 1);
  w.u(1, s.frame_mbs_only);
  if (!s.frame_mbs_only) w.u(1, s.mbaff);
  w.u(1, 1);  // direct_8x8_inference_flag
  const bool crop = s.crop_left || s.crop_right || s.crop_top || s.crop_bottom;
  w.u(1, crop);
  if (crop) {
    w.ue(s.crop_left);
    w.ue(s.crop_right);
    w.ue(s.crop_top);
    w.ue(s.crop_bottom);
  }
  w.u(1, s.vui);
  if (s.vui) {
    w.u(1, s.aspect_ratio_idc >= 0);
    if (s.aspect_ratio_idc >= 0) {
      w.u(8, s.aspect_ratio_idc);
      if (s.aspect_ratio_idc == 255) {
        w.u(16, s.sar_w);
        w.u(16, s.sar_h);
      }
    }
    w.u(1, 0);  // overscan_info_present_flag
    w.u(1, s.colour_primaries >= 0);
    if (s.colour_primaries >= 0) {
      w.u(3, 5);
      w.u(1, 0);
      w.u(1, 1);
      w.u(8, s.colour_primaries);
      w.u(8, s.transfer);
      w.u(8, s.matrix);
    }
    w.u(1, 0);  // chroma_loc_info_present_flag
    w.u(1, s.timing);
    if (s.timing) {
      w.u(32, s.num_units_in_tick);
      w.u(32, s.time_scale);
      w.u(1, s.fixed_frame_rate);
    }
    w.u(1, s.nal_hrd);
    if (s.nal_hrd) write_hrd(w, s.hrd);
    w.u(1, 0);  // vcl_hrd_parameters_present_flag
    if (s.nal_hrd) w.u(1, 0);  // low_delay_hrd_flag
    w.u(1, s.pic_struct_present);
    w.u(1, 0);  // bitstream_restriction_flag
  }
  w.trailing();
  return w.bytes();
}

struct Pps {
  int pps_id = 0;
  int sps_id = 0;
  int bottom_field_pic_order_in_frame_present = 0;
  bool high_extension = false;  // transform_8x8_mode_flag etc.
};

inline std::vector<uint8_t> pps_rbsp(const Pps& p) {
  BitWriter w;
  w.ue(p.pps_id);
  w.ue(p.sps_id);
  w.u(1, 0);  // entropy_coding_mode_flag
  w.u(1, p.bottom_field_pic_order_in_frame_present);
  w.ue(0);    // num_slice_groups_minus1
  w.ue(0);
  w.ue(0);
  w.u(1, 0);
  w.u(2, 0);
  w.se(0);
  w.se(0);
  w.se(0);
  w.u(1, 1);  // deblocking_filter_control_present_flag
  w.u(1, 0);
  w.u(1, 0);
  if (p.high_extension) {
    w.u(1, 1);  // transform_8x8_mode_flag
    w.u(1, 0);  // pic_scaling_matrix_present_flag
    w.se(0);    // second_chroma_qp_index_offset
  }
  w.trailing();
  return w.bytes();
}

struct Slice {
  int nal_type = 1;       // 1 or 5
  int nal_ref_idc = 2;
  int first_mb = 0;
  int slice_type = 5;     // raw, 0..9
  int pps_id = 0;
  int frame_num = 0;
  int frame_num_bits = 4; // log2_max_frame_num_minus4 + 4 of the SPS
  bool frame_mbs_only = true;
  int field_pic = 0, bottom_field = 0;
  int idr_pic_id = 0;
  int poc_type = 0;
  int poc_lsb = 0, poc_lsb_bits = 6;
  bool bottom_field_pic_order_in_frame_present = false;
  int delta_poc_bottom = 0;
  bool delta_pic_order_always_zero = false;
  int delta_poc0 = 0, delta_poc1 = 0;
};

inline std::vector<uint8_t> slice_rbsp(const Slice& s) {
  BitWriter w;
  w.ue(s.first_mb);
  w.ue(s.slice_type);
  w.ue(s.pps_id);
  w.u(s.frame_num_bits, s.frame_num);
  if (!s.frame_mbs_only) {
    w.u(1, s.field_pic);
    if (s.field_pic) w.u(1, s.bottom_field);
  }
  if (s.nal_type == 5) w.ue(s.idr_pic_id);
  if (s.poc_type == 0) {
    w.u(s.poc_lsb_bits, s.poc_lsb);
    if (s.bottom_field_pic_order_in_frame_present && !s.field_pic) w.se(s.delta_poc_bottom);
  } else if (s.poc_type == 1 && !s.delta_pic_order_always_zero) {
    w.se(s.delta_poc0);
    if (s.bottom_field_pic_order_in_frame_present && !s.field_pic) w.se(s.delta_poc1);
  }
  // Some bits standing for the rest of the slice, then the stop bit.
  w.u(8, 0xA5);
  w.trailing();
  return w.bytes();
}

// One SEI unit holding the given (payload type, payload bytes) messages.
inline std::vector<uint8_t> sei_rbsp(const std::vector<std::pair<int, std::vector<uint8_t>>>& messages) {
  std::vector<uint8_t> out;
  for (const auto& m : messages) {
    int t = m.first;
    while (t >= 255) {
      out.push_back(0xFF);
      t -= 255;
    }
    out.push_back(static_cast<uint8_t>(t));
    size_t n = m.second.size();
    while (n >= 255) {
      out.push_back(0xFF);
      n -= 255;
    }
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), m.second.begin(), m.second.end());
  }
  out.push_back(0x80);
  return out;
}

// pic_timing payload: the two HRD delays when an HRD is present, then pic_struct.
inline std::vector<uint8_t> pic_timing_payload(int pic_struct, const Hrd* hrd = nullptr) {
  BitWriter w;
  if (hrd) {
    w.u(hrd->cpb_removal_delay_length, 0);
    w.u(hrd->dpb_output_delay_length, 0);
  }
  w.u(4, pic_struct);
  // clock_timestamp_flag for each clock timestamp: none set
  const int ts = pic_struct <= 2 ? 1 : pic_struct <= 4 || pic_struct == 7 ? 2 : 3;
  for (int i = 0; i < ts; i++) w.u(1, 0);
  if (pic_struct > 8) w.u(1, 0);
  w.align();
  // sei payloads end byte-aligned; bit_equal_to_one alignment is not needed when aligned
  return w.bytes();
}

inline std::vector<uint8_t> recovery_point_payload(int recovery_frame_cnt) {
  BitWriter w;
  w.ue(recovery_frame_cnt);
  w.u(1, 1);  // exact_match_flag
  w.u(1, 0);  // broken_link_flag
  w.u(2, 0);  // changing_slice_group_idc
  w.align();
  return w.bytes();
}

inline void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& unit) {
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace h264w
