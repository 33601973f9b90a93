// Test helper: H.265 parameter sets and slice headers built element by
// element with the shared bit writer, and payloads wrapped into Annex B
// units with emulation prevention.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitwriter.h"

namespace hevc_test {

using tu::BitWriter;

// 00 00 00 01, the two-byte NAL header (layer 0, temporal id 0) and the
// escaped payload.
inline std::vector<uint8_t> annexb(int nal_unit_type, const std::vector<uint8_t>& rbsp,
                                   int temporal_id_plus1 = 1) {
  std::vector<uint8_t> out = {0, 0, 0, 1, uint8_t(nal_unit_type << 1), uint8_t(temporal_id_plus1)};
  std::vector<uint8_t> e = tu::escape(rbsp);
  out.insert(out.end(), e.begin(), e.end());
  return out;
}

inline void append(std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
}

}  // namespace hevc_test

namespace hevc_test {

// ---- parameter-set builders (H.265 7.3.2.1, 7.3.2.2, 7.3.3, E.2.1)

// profile_tier_level(1, maxNumSubLayersMinus1) with general_profile_idc 1
// (Main), level 93 (3.1). Sub-layer i gets profile and level when the bit i
// of the masks is set; their level is 60 + i.
inline void write_ptl(BitWriter& w, unsigned maxSub, unsigned profileMask = 0,
                      unsigned levelMask = 0, unsigned profile_idc = 1, unsigned tier = 0,
                      unsigned level_idc = 93) {
  w.u(2, 0).u(1, tier).u(5, profile_idc);
  w.u(32, 0x60000000);                // compatibility flags 1 and 2
  w.bits("1000");                     // progressive, interlaced, non-packed, frame-only
  w.u(32, 0).u(11, 0).u(1, 0);        // 43 reserved bits + 1
  w.u(8, level_idc);
  for (unsigned i = 0; i < maxSub; i++) w.u(1, (profileMask >> i) & 1).u(1, (levelMask >> i) & 1);
  if (maxSub > 0)
    for (unsigned i = maxSub; i < 8; i++) w.u(2, 0);
  for (unsigned i = 0; i < maxSub; i++) {
    if ((profileMask >> i) & 1) {
      w.u(2, 0).u(1, 0).u(5, 2);      // sub-layer profile Main 10
      w.u(32, 0x20000000).bits("0100").u(32, 0).u(11, 0).u(1, 0);
    }
    if ((levelMask >> i) & 1) w.u(8, 60 + i);
  }
}

struct ExplicitRps {
  std::vector<uint32_t> s0, s1;      // delta_poc_s0_minus1 / delta_poc_s1_minus1
  std::vector<int> used0, used1;
};

struct VuiOpts {
  bool aspect = false;
  unsigned aspect_idc = 1, sar_w = 0, sar_h = 0;
  bool signal = false, colour = false;
  unsigned video_format = 5, primaries = 1, transfer = 1, matrix = 1;
  bool frame_field_info = false;
  bool timing = false;
  uint32_t num_units_in_tick = 1001, time_scale = 24000;
  bool hrd = false;
  unsigned hrd_cpb_cnt_minus1 = 0;
  bool restriction = false;
};

struct SpsOpts {
  unsigned max_sub_layers_minus1 = 0;
  unsigned sub_profile_mask = 0, sub_level_mask = 0;
  bool ordering_all = true;
  unsigned profile_idc = 1, tier = 0, level_idc = 93;
  uint64_t chroma_format_idc = 1;
  unsigned separate_colour_plane = 0;
  uint64_t width = 320, height = 240;
  bool conf = false;
  uint64_t conf_l = 0, conf_r = 0, conf_t = 0, conf_b = 0;
  uint64_t bit_depth_luma_minus8 = 0, bit_depth_chroma_minus8 = 0;
  uint64_t log2_poc_lsb_minus4 = 4;
  uint64_t max_dec_minus1 = 4;
  bool scaling = false;              // scaling_list_enabled + data present
  bool pcm = false;
  // Sets written explicitly; a set listed in predicted[] is instead written
  // by the callback (it gets the writer and the set index).
  std::vector<ExplicitRps> rps;
  uint64_t num_rps_override = UINT64_MAX;      // written instead of rps.size()
  void (*predicted)(BitWriter&, size_t) = nullptr;
  std::vector<size_t> predicted_idx;
  bool long_term = false;
  uint64_t num_long_term = 0;
  bool vui = false;
  VuiOpts v;
};

// A scaling_list_data() whose matrices alternate: even matrices predicted
// (delta = matrixId % 2), odd ones explicit with coefficients i % 3 - 1
// and, for sizes 2 and 3, dc_coef_minus8 = 7 - sizeId.
inline void write_scaling_lists(BitWriter& w) {
  for (unsigned sizeId = 0; sizeId < 4; sizeId++) {
    for (unsigned matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
      unsigned m = sizeId == 3 ? matrixId / 3 : matrixId;
      if (m % 2 == 0) {
        w.u(1, 0).ue(m % 2);
      } else {
        w.u(1, 1);
        unsigned coefNum = sizeId == 0 ? 16 : 64;
        if (sizeId > 1) w.se(int(7 - sizeId));
        for (unsigned i = 0; i < coefNum; i++) w.se(int(i % 3) - 1);
      }
    }
  }
}

inline void write_hrd(BitWriter& w, bool common, unsigned maxSub, unsigned cpb_cnt_minus1) {
  if (common) {
    w.u(1, 1).u(1, 0);                // nal present, vcl absent
    w.u(1, 0);                        // sub_pic_hrd_params_present_flag
    w.u(4, 3).u(4, 5);                // bit_rate_scale, cpb_size_scale
    w.u(5, 23).u(5, 15).u(5, 4);      // initial_cpb..., au_cpb..., dpb_output...
  }
  for (unsigned i = 0; i <= maxSub; i++) {
    w.u(1, 0);                        // fixed_pic_rate_general_flag
    w.u(1, 1);                        // fixed_pic_rate_within_cvs_flag
    w.ue(0);                          // elemental_duration_in_tc_minus1
    // low_delay_hrd_flag not coded (within_cvs 1): inferred 0
    w.ue(cpb_cnt_minus1);
    for (unsigned j = 0; j <= cpb_cnt_minus1; j++) w.ue(1000 + j).ue(2000 + j).u(1, j & 1);
  }
}

inline void write_vui(BitWriter& w, const VuiOpts& v, unsigned maxSub) {
  w.u(1, v.aspect);
  if (v.aspect) {
    w.u(8, v.aspect_idc);
    if (v.aspect_idc == 255) w.u(16, v.sar_w).u(16, v.sar_h);
  }
  w.u(1, 0);                          // overscan_info_present_flag
  w.u(1, v.signal);
  if (v.signal) {
    w.u(3, v.video_format).u(1, 0).u(1, v.colour);
    if (v.colour) w.u(8, v.primaries).u(8, v.transfer).u(8, v.matrix);
  }
  w.u(1, 0);                          // chroma_loc_info_present_flag
  w.u(1, 0).u(1, 0).u(1, v.frame_field_info);  // neutral_chroma, field_seq, frame_field_info
  w.u(1, 0);                          // default_display_window_flag
  w.u(1, v.timing);
  if (v.timing) {
    w.u(32, v.num_units_in_tick).u(32, v.time_scale);
    w.u(1, 0);                        // vui_poc_proportional_to_timing_flag
    w.u(1, v.hrd);
    if (v.hrd) write_hrd(w, true, maxSub, v.hrd_cpb_cnt_minus1);
  }
  w.u(1, v.restriction);
  if (v.restriction) w.bits("101").ue(0).ue(2).ue(1).ue(15).ue(15);
}

inline std::vector<uint8_t> sps_rbsp(const SpsOpts& o) {
  BitWriter w;
  w.u(4, 0).u(3, o.max_sub_layers_minus1).u(1, 1);
  write_ptl(w, o.max_sub_layers_minus1, o.sub_profile_mask, o.sub_level_mask, o.profile_idc,
            o.tier, o.level_idc);
  w.ue(0);                            // sps_seq_parameter_set_id
  w.ue(o.chroma_format_idc);
  if (o.chroma_format_idc == 3) w.u(1, o.separate_colour_plane);
  w.ue(o.width).ue(o.height);
  w.u(1, o.conf);
  if (o.conf) w.ue(o.conf_l).ue(o.conf_r).ue(o.conf_t).ue(o.conf_b);
  w.ue(o.bit_depth_luma_minus8).ue(o.bit_depth_chroma_minus8);
  w.ue(o.log2_poc_lsb_minus4);
  w.u(1, o.ordering_all);
  for (unsigned i = o.ordering_all ? 0 : o.max_sub_layers_minus1; i <= o.max_sub_layers_minus1; i++)
    w.ue(o.max_dec_minus1).ue(i).ue(0);
  w.ue(0).ue(3).ue(0).ue(3).ue(1).ue(1);  // block sizes, transform depths
  w.u(1, o.scaling);
  if (o.scaling) {
    w.u(1, 1);
    write_scaling_lists(w);
  }
  w.u(1, 0).u(1, 1);                  // amp, sample_adaptive_offset
  w.u(1, o.pcm);
  if (o.pcm) w.u(4, 7).u(4, 7).ue(0).ue(1).u(1, 1);
  size_t nsets = o.rps.size();
  w.ue(o.num_rps_override != UINT64_MAX ? o.num_rps_override : nsets);
  for (size_t i = 0; i < nsets; i++) {
    bool pred = false;
    for (size_t p : o.predicted_idx) pred |= p == i;
    if (pred) {
      o.predicted(w, i);
      continue;
    }
    if (i != 0) w.u(1, 0);            // inter_ref_pic_set_prediction_flag
    const ExplicitRps& r = o.rps[i];
    w.ue(r.s0.size()).ue(r.s1.size());
    for (size_t k = 0; k < r.s0.size(); k++) w.ue(r.s0[k]).u(1, r.used0[k]);
    for (size_t k = 0; k < r.s1.size(); k++) w.ue(r.s1[k]).u(1, r.used1[k]);
  }
  w.u(1, o.long_term);
  if (o.long_term) {
    w.ue(o.num_long_term);
    for (uint64_t i = 0; i < o.num_long_term && i < 40; i++)
      w.u(unsigned(o.log2_poc_lsb_minus4 + 4), i * 3).u(1, i & 1);
  }
  w.u(1, 1).u(1, 0);                  // temporal_mvp, strong_intra_smoothing
  w.u(1, o.vui);
  if (o.vui) write_vui(w, o.v, o.max_sub_layers_minus1);
  w.u(1, 0);                          // sps_extension_present_flag
  return w.trailing().bytes();
}

// A VPS with one sub-layer and, when timing is given, its timing fields.
inline std::vector<uint8_t> vps_rbsp(bool timing, uint32_t num_units_in_tick = 1,
                                     uint32_t time_scale = 25) {
  BitWriter w;
  w.u(4, 0).u(2, 3).u(6, 0).u(3, 0).u(1, 1).u(16, 0xFFFF);
  write_ptl(w, 0);
  w.u(1, 1).ue(4).ue(2).ue(0);        // ordering info
  w.u(6, 0).ue(0);                    // vps_max_layer_id, vps_num_layer_sets_minus1
  w.u(1, timing);
  if (timing) w.u(32, num_units_in_tick).u(32, time_scale).u(1, 0).ue(0);
  w.u(1, 0);                          // vps_extension_flag
  return w.trailing().bytes();
}

// The five PPS fields the analysis reads, then the rest of a plain PPS.
inline std::vector<uint8_t> pps_rbsp(unsigned extra_bits = 0, bool output_flag = false) {
  BitWriter w;
  w.ue(0).ue(0).u(1, 0).u(1, output_flag).u(3, extra_bits);
  w.u(1, 0).u(1, 0).ue(0).ue(0).se(0).u(1, 0).u(1, 0).u(1, 0);
  w.se(0).se(0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0);
  w.ue(0).u(1, 0).u(1, 0);
  return w.trailing().bytes();
}

// The start of a first slice segment header: first_slice_segment_in_pic_flag
// 1, no_output_of_prior_pics_flag for IRAP types, pps id 0, slice_type, and
// for non-IDR pictures the POC lsb of lsb_bits bits; then filler bits.
inline std::vector<uint8_t> slice_rbsp(int nal_type, unsigned slice_type, uint32_t lsb,
                                       unsigned lsb_bits, unsigned extra_bits = 0) {
  BitWriter w;
  w.u(1, 1);
  if (nal_type >= 16 && nal_type <= 23) w.u(1, 0);
  w.ue(0);
  w.u(extra_bits, 0);
  w.ue(slice_type);
  if (nal_type != 19 && nal_type != 20) w.u(lsb_bits, lsb);
  w.u(16, 0xA5A5);
  return w.trailing().bytes();
}

}  // namespace hevc_test
