// HEVC parameter-set records: the syntax of H.265 clause 7.3 and Annex E,
// field by field. Each function mirrors one syntax table; skipped fields are
// named in comments.
#include "HevcParserImpl.h"

#include <algorithm>
#include <stdexcept>
#include <string>

// A stream value that would size an array or a loop beyond what the
// standard allows ends the parse of this unit.
static void checkBound(const char* element, uint64_t value, uint64_t max) {
  if (value > max)
    throw std::runtime_error(std::string(element) + " " + std::to_string(value) +
                             " exceeds " + std::to_string(max));
}

static uint8_t flag(BitstreamReader& br) { return uint8_t(br.getBits(1)); }

ProfileTierLevel processProfileTierLevel(size_t maxNumSubLayersMinus1, BitstreamReader& br) {
  // Callers pass a u(3) value: at most 7 sub-layers below the highest.
  checkBound("maxNumSubLayersMinus1", maxNumSubLayersMinus1, HEVC_MAX_SUB_LAYERS - 1);
  ProfileTierLevel p;
  p.general_profile_space = uint8_t(br.getBits(2));
  p.general_tier_flag = flag(br);
  p.general_profile_idc = uint8_t(br.getBits(5));
  for (int j = 0; j < 32; j++) p.general_profile_compatibility_flag[j] = flag(br);
  p.general_progressive_source_flag = flag(br);
  p.general_interlaced_source_flag = flag(br);
  p.general_non_packed_constraint_flag = flag(br);
  p.general_frame_only_constraint_flag = flag(br);
  br.getBits(32);  // general_reserved_zero_43bits (first 32) ...
  br.getBits(11);  // ... the other 11, then general_inbld_flag / reserved
  br.getBits(1);
  p.general_level_idc = uint8_t(br.getBits(8));

  const size_t n = maxNumSubLayersMinus1;
  p.sub_layer_profile_present_flag.assign(n, 0);
  p.sub_layer_level_present_flag.assign(n, 0);
  for (size_t i = 0; i < n; i++) {
    p.sub_layer_profile_present_flag[i] = flag(br);
    p.sub_layer_level_present_flag[i] = flag(br);
  }
  if (n > 0)
    for (size_t i = n; i < 8; i++) br.getBits(2);  // reserved_zero_2bits

  p.sub_layer_profile_space.assign(n, 0);
  p.sub_layer_tier_flag.assign(n, 0);
  p.sub_layer_profile_idc.assign(n, 0);
  p.sub_layer_profile_compatibility_flag.assign(n, std::vector<uint8_t>(32, 0));
  p.sub_layer_progressive_source_flag.assign(n, 0);
  p.sub_layer_interlaced_source_flag.assign(n, 0);
  p.sub_layer_non_packed_constraint_flag.assign(n, 0);
  p.sub_layer_frame_only_constraint_flag.assign(n, 0);
  p.sub_layer_level_idc.assign(n, 0);
  for (size_t i = 0; i < n; i++) {
    if (p.sub_layer_profile_present_flag[i]) {
      p.sub_layer_profile_space[i] = uint8_t(br.getBits(2));
      p.sub_layer_tier_flag[i] = flag(br);
      p.sub_layer_profile_idc[i] = uint8_t(br.getBits(5));
      for (int j = 0; j < 32; j++) p.sub_layer_profile_compatibility_flag[i][j] = flag(br);
      p.sub_layer_progressive_source_flag[i] = flag(br);
      p.sub_layer_interlaced_source_flag[i] = flag(br);
      p.sub_layer_non_packed_constraint_flag[i] = flag(br);
      p.sub_layer_frame_only_constraint_flag[i] = flag(br);
      br.getBits(32);  // sub_layer_reserved_zero_43bits ...
      br.getBits(11);
      br.getBits(1);   // sub_layer_inbld_flag / reserved
    }
    if (p.sub_layer_level_present_flag[i]) p.sub_layer_level_idc[i] = uint8_t(br.getBits(8));
  }
  return p;
}

SubLayerHrdParameters processSubLayerHrdParameters(uint8_t sub_pic_hrd_params_present_flag,
                                                   size_t cpbCnt, BitstreamReader& br) {
  checkBound("cpb_cnt_minus1", cpbCnt, HEVC_MAX_CPB_CNT_MINUS1);
  SubLayerHrdParameters s;
  const size_t n = cpbCnt + 1;
  s.bit_rate_value_minus1.assign(n, 0);
  s.cpb_size_value_minus1.assign(n, 0);
  if (sub_pic_hrd_params_present_flag) {
    s.cpb_size_du_value_minus1.assign(n, 0);
    s.bit_rate_du_value_minus1.assign(n, 0);
  }
  s.cbr_flag.assign(n, 0);
  for (size_t i = 0; i < n; i++) {
    s.bit_rate_value_minus1[i] = br.getGolombU();
    s.cpb_size_value_minus1[i] = br.getGolombU();
    if (sub_pic_hrd_params_present_flag) {
      s.cpb_size_du_value_minus1[i] = br.getGolombU();
      s.bit_rate_du_value_minus1[i] = br.getGolombU();
    }
    s.cbr_flag[i] = flag(br);
  }
  return s;
}

HrdParameters processHrdParameters(uint8_t commonInfPresentFlag, size_t maxNumSubLayersMinus1,
                                   BitstreamReader& br, const HrdParameters* common) {
  checkBound("maxNumSubLayersMinus1", maxNumSubLayersMinus1, HEVC_MAX_SUB_LAYERS - 1);
  HrdParameters h;
  if (commonInfPresentFlag) {
    h.nal_hrd_parameters_present_flag = flag(br);
    h.vcl_hrd_parameters_present_flag = flag(br);
    if (h.nal_hrd_parameters_present_flag || h.vcl_hrd_parameters_present_flag) {
      h.sub_pic_hrd_params_present_flag = flag(br);
      if (h.sub_pic_hrd_params_present_flag) {
        h.tick_divisor_minus2 = uint8_t(br.getBits(8));
        h.du_cpb_removal_delay_increment_length_minus1 = uint8_t(br.getBits(5));
        h.sub_pic_cpb_params_in_pic_timing_sei_flag = flag(br);
        h.dpb_output_delay_du_length_minus1 = uint8_t(br.getBits(5));
      }
      h.bit_rate_scale = uint8_t(br.getBits(4));
      h.cpb_size_scale = uint8_t(br.getBits(4));
      if (h.sub_pic_hrd_params_present_flag) h.cpb_size_du_scale = uint8_t(br.getBits(4));
      h.initial_cpb_removal_delay_length_minus1 = uint8_t(br.getBits(5));
      h.au_cpb_removal_delay_length_minus1 = uint8_t(br.getBits(5));
      h.dpb_output_delay_length_minus1 = uint8_t(br.getBits(5));
    }
  } else if (common) {
    // The presence flags decide which sub-layer parameters follow, so a set
    // without its own common part must use those of the set before it.
    h.nal_hrd_parameters_present_flag = common->nal_hrd_parameters_present_flag;
    h.vcl_hrd_parameters_present_flag = common->vcl_hrd_parameters_present_flag;
    h.sub_pic_hrd_params_present_flag = common->sub_pic_hrd_params_present_flag;
    h.tick_divisor_minus2 = common->tick_divisor_minus2;
    h.du_cpb_removal_delay_increment_length_minus1 =
        common->du_cpb_removal_delay_increment_length_minus1;
    h.sub_pic_cpb_params_in_pic_timing_sei_flag = common->sub_pic_cpb_params_in_pic_timing_sei_flag;
    h.dpb_output_delay_du_length_minus1 = common->dpb_output_delay_du_length_minus1;
    h.bit_rate_scale = common->bit_rate_scale;
    h.cpb_size_scale = common->cpb_size_scale;
    h.cpb_size_du_scale = common->cpb_size_du_scale;
    h.initial_cpb_removal_delay_length_minus1 = common->initial_cpb_removal_delay_length_minus1;
    h.au_cpb_removal_delay_length_minus1 = common->au_cpb_removal_delay_length_minus1;
    h.dpb_output_delay_length_minus1 = common->dpb_output_delay_length_minus1;
  }

  const size_t n = maxNumSubLayersMinus1 + 1;
  h.fixed_pic_rate_general_flag.assign(n, 0);
  h.fixed_pic_rate_within_cvs_flag.assign(n, 0);
  h.elemental_duration_in_tc_minus1.assign(n, 0);
  h.low_delay_hrd_flag.assign(n, 0);
  h.cpb_cnt_minus1.assign(n, 0);
  h.nal_sub_layer_hrd_parameters.resize(n);
  h.vcl_sub_layer_hrd_parameters.resize(n);
  for (size_t i = 0; i < n; i++) {
    h.fixed_pic_rate_general_flag[i] = flag(br);
    if (!h.fixed_pic_rate_general_flag[i])
      h.fixed_pic_rate_within_cvs_flag[i] = flag(br);
    else
      h.fixed_pic_rate_within_cvs_flag[i] = 1;  // inferred
    if (h.fixed_pic_rate_within_cvs_flag[i])
      h.elemental_duration_in_tc_minus1[i] = br.getGolombU();
    else
      h.low_delay_hrd_flag[i] = flag(br);
    if (!h.low_delay_hrd_flag[i]) {
      h.cpb_cnt_minus1[i] = br.getGolombU();
      checkBound("cpb_cnt_minus1", h.cpb_cnt_minus1[i], HEVC_MAX_CPB_CNT_MINUS1);
    }
    if (h.nal_hrd_parameters_present_flag)
      h.nal_sub_layer_hrd_parameters[i] =
          processSubLayerHrdParameters(h.sub_pic_hrd_params_present_flag, h.cpb_cnt_minus1[i], br);
    if (h.vcl_hrd_parameters_present_flag)
      h.vcl_sub_layer_hrd_parameters[i] =
          processSubLayerHrdParameters(h.sub_pic_hrd_params_present_flag, h.cpb_cnt_minus1[i], br);
  }
  return h;
}

VuiParameters processVuiParameters(size_t sps_max_sub_layers_minus1, BitstreamReader& br) {
  VuiParameters v;
  v.aspect_ratio_info_present_flag = flag(br);
  if (v.aspect_ratio_info_present_flag) {
    v.aspect_ratio_idc = uint8_t(br.getBits(8));
    if (v.aspect_ratio_idc == 255) {  // EXTENDED_SAR
      v.sar_width = br.getBits(16);
      v.sar_height = br.getBits(16);
    }
  }
  v.overscan_info_present_flag = flag(br);
  if (v.overscan_info_present_flag) v.overscan_appropriate_flag = flag(br);
  v.video_signal_type_present_flag = flag(br);
  if (v.video_signal_type_present_flag) {
    v.video_format = uint8_t(br.getBits(3));
    v.video_full_range_flag = flag(br);
    v.colour_description_present_flag = flag(br);
    if (v.colour_description_present_flag) {
      v.colour_primaries = uint8_t(br.getBits(8));
      v.transfer_characteristics = uint8_t(br.getBits(8));
      v.matrix_coeffs = uint8_t(br.getBits(8));
    }
  }
  v.chroma_loc_info_present_flag = flag(br);
  if (v.chroma_loc_info_present_flag) {
    v.chroma_sample_loc_type_top_field = br.getGolombU();
    v.chroma_sample_loc_type_bottom_field = br.getGolombU();
  }
  v.neutral_chroma_indication_flag = flag(br);
  v.field_seq_flag = flag(br);
  v.frame_field_info_present_flag = flag(br);
  v.default_display_window_flag = flag(br);
  if (v.default_display_window_flag) {
    v.def_disp_win_left_offset = br.getGolombU();
    v.def_disp_win_right_offset = br.getGolombU();
    v.def_disp_win_top_offset = br.getGolombU();
    v.def_disp_win_bottom_offset = br.getGolombU();
  }
  v.vui_timing_info_present_flag = flag(br);
  if (v.vui_timing_info_present_flag) {
    v.vui_num_units_in_tick = br.getBits(32);
    v.vui_time_scale = br.getBits(32);
    v.vui_poc_proportional_to_timing_flag = flag(br);
    if (v.vui_poc_proportional_to_timing_flag) v.vui_num_ticks_poc_diff_one_minus1 = br.getGolombU();
    v.vui_hrd_parameters_present_flag = flag(br);
    if (v.vui_hrd_parameters_present_flag)
      v.hrd_parameters = processHrdParameters(1, sps_max_sub_layers_minus1, br);
  }
  v.bitstream_restriction_flag = flag(br);
  if (v.bitstream_restriction_flag) {
    v.tiles_fixed_structure_flag = flag(br);
    v.motion_vectors_over_pic_boundaries_flag = flag(br);
    v.restricted_ref_pic_lists_flag = flag(br);
    v.min_spatial_segmentation_idc = br.getGolombU();
    v.max_bytes_per_pic_denom = br.getGolombU();
    v.max_bits_per_min_cu_denom = br.getGolombU();
    v.log2_max_mv_length_horizontal = br.getGolombU();
    v.log2_max_mv_length_vertical = br.getGolombU();
  }
  return v;
}

ScalingListData processScalingListData(BitstreamReader& br) {
  ScalingListData d;
  d.scaling_list_pred_mode_flag.resize(4);
  d.scaling_list_pred_matrix_id_delta.resize(4);
  d.scaling_list_dc_coef_minus8.resize(4);
  d.scaling_list_delta_coef.resize(4);
  for (size_t sizeId = 0; sizeId < 4; sizeId++) {
    const size_t matrices = sizeId == 3 ? 2 : 6;
    d.scaling_list_pred_mode_flag[sizeId].assign(matrices, 0);
    d.scaling_list_pred_matrix_id_delta[sizeId].assign(matrices, 0);
    d.scaling_list_dc_coef_minus8[sizeId].assign(matrices, 0);
    d.scaling_list_delta_coef[sizeId].resize(matrices);
    const size_t coefNum = std::min<size_t>(64, size_t(1) << (4 + (sizeId << 1)));
    // Matrix index m stands for matrixId m, or 3 m for the 32x32 size.
    for (size_t m = 0; m < matrices; m++) {
      d.scaling_list_pred_mode_flag[sizeId][m] = flag(br);
      if (!d.scaling_list_pred_mode_flag[sizeId][m]) {
        d.scaling_list_pred_matrix_id_delta[sizeId][m] = br.getGolombU();
      } else {
        if (sizeId > 1) d.scaling_list_dc_coef_minus8[sizeId][m] = br.getGolombS();
        std::vector<int32_t>& coefs = d.scaling_list_delta_coef[sizeId][m];
        coefs.assign(coefNum, 0);
        for (size_t i = 0; i < coefNum; i++) coefs[i] = br.getGolombS();
      }
    }
  }
  return d;
}

uint32_t numDeltaPocs(const ShortTermRefPicSet& set) {
  if (!set.inter_ref_pic_set_prediction_flag) return set.num_negative_pics + set.num_positive_pics;
  uint32_t n = 0;
  for (size_t j = 0; j < set.used_by_curr_pic_flag.size(); j++)
    if (set.used_by_curr_pic_flag[j] || set.use_delta_flag[j]) n++;
  return n;
}

ShortTermRefPicSet processShortTermRefPicSet(size_t stRpsIdx, size_t num_short_term_ref_pic_sets,
                                             const std::vector<ShortTermRefPicSet>& earlier,
                                             SPS* sps, BitstreamReader& br) {
  ShortTermRefPicSet s;
  if (stRpsIdx != 0) s.inter_ref_pic_set_prediction_flag = flag(br);
  if (s.inter_ref_pic_set_prediction_flag) {
    if (stRpsIdx == num_short_term_ref_pic_sets) s.delta_idx_minus1 = br.getGolombU();
    // RefRpsIdx = stRpsIdx - (delta_idx_minus1 + 1) must name an earlier set.
    checkBound("delta_idx_minus1", s.delta_idx_minus1, stRpsIdx - 1);
    const size_t refRpsIdx = stRpsIdx - (size_t(s.delta_idx_minus1) + 1);
    if (refRpsIdx >= earlier.size())
      throw std::runtime_error("short-term set " + std::to_string(stRpsIdx) +
                               " predicted from set " + std::to_string(refRpsIdx) +
                               " that is not parsed");
    s.delta_rps_sign = flag(br);
    s.abs_delta_rps_minus1 = br.getGolombU();
    // NumDeltaPocs of any set is bounded: explicit sets by 2 x 16 (counts
    // checked below), each predicted one by one more than its reference.
    const size_t n = size_t(numDeltaPocs(earlier[refRpsIdx])) + 1;
    s.used_by_curr_pic_flag.assign(n, 0);
    s.use_delta_flag.assign(n, 1);
    for (size_t j = 0; j < n; j++) {
      s.used_by_curr_pic_flag[j] = flag(br);
      if (!s.used_by_curr_pic_flag[j]) s.use_delta_flag[j] = flag(br);
    }
    return s;
  }
  s.num_negative_pics = br.getGolombU();
  s.num_positive_pics = br.getGolombU();
  // The limit is the DPB size of the highest sub-layer, itself bounded by 15.
  uint32_t maxDec = sps->sps_max_dec_pic_buffering_minus1.empty()
                        ? 0
                        : sps->sps_max_dec_pic_buffering_minus1.back();
  if (s.num_negative_pics > maxDec || s.num_positive_pics > maxDec) {
    // The set ends here with empty lists; the parse goes on with the next
    // syntax element.
    s.num_negative_pics = 0;
    s.num_positive_pics = 0;
    return s;
  }
  s.delta_poc_s0_minus1.assign(s.num_negative_pics, 0);
  s.used_by_curr_pic_s0_flag.assign(s.num_negative_pics, 0);
  for (uint32_t i = 0; i < s.num_negative_pics; i++) {
    s.delta_poc_s0_minus1[i] = br.getGolombU();
    s.used_by_curr_pic_s0_flag[i] = flag(br);
  }
  s.delta_poc_s1_minus1.assign(s.num_positive_pics, 0);
  s.used_by_curr_pic_s1_flag.assign(s.num_positive_pics, 0);
  for (uint32_t i = 0; i < s.num_positive_pics; i++) {
    s.delta_poc_s1_minus1[i] = br.getGolombU();
    s.used_by_curr_pic_s1_flag[i] = flag(br);
  }
  return s;
}

void processVPS(VPS* vps, BitstreamReader& br) {
  vps->vps_video_parameter_set_id = uint8_t(br.getBits(4));
  br.getBits(2);  // vps_base_layer_internal_flag, vps_base_layer_available_flag
  vps->vps_max_layers_minus1 = uint8_t(br.getBits(6));
  vps->vps_max_sub_layers_minus1 = uint8_t(br.getBits(3));
  vps->vps_temporal_id_nesting_flag = flag(br);
  br.getBits(16);  // vps_reserved_0xffff_16bits
  vps->profile_tier_level = processProfileTierLevel(vps->vps_max_sub_layers_minus1, br);

  // Sub-layer ordering: all sub-layers, or only the highest when the flag is 0.
  const size_t subLayers = size_t(vps->vps_max_sub_layers_minus1) + 1;
  vps->vps_sub_layer_ordering_info_present_flag = flag(br);
  vps->vps_max_dec_pic_buffering_minus1.assign(subLayers, 0);
  vps->vps_max_num_reorder_pics.assign(subLayers, 0);
  vps->vps_max_latency_increase_plus1.assign(subLayers, 0);
  for (size_t i = vps->vps_sub_layer_ordering_info_present_flag ? 0 : subLayers - 1;
       i < subLayers; i++) {
    vps->vps_max_dec_pic_buffering_minus1[i] = br.getGolombU();
    vps->vps_max_num_reorder_pics[i] = br.getGolombU();
    vps->vps_max_latency_increase_plus1[i] = br.getGolombU();
  }

  // Layer sets.
  vps->vps_max_layer_id = uint8_t(br.getBits(6));
  vps->vps_num_layer_sets_minus1 = br.getGolombU();
  checkBound("vps_num_layer_sets_minus1", vps->vps_num_layer_sets_minus1,
             HEVC_MAX_LAYER_SETS_MINUS1);
  vps->layer_id_included_flag.resize(size_t(vps->vps_num_layer_sets_minus1) + 1);
  for (size_t i = 1; i <= vps->vps_num_layer_sets_minus1; i++) {
    vps->layer_id_included_flag[i].assign(size_t(vps->vps_max_layer_id) + 1, 0);
    for (size_t j = 0; j <= vps->vps_max_layer_id; j++) vps->layer_id_included_flag[i][j] = flag(br);
  }

  // Timing and HRD.
  vps->vps_timing_info_present_flag = flag(br);
  if (vps->vps_timing_info_present_flag) {
    vps->vps_num_units_in_tick = br.getBits(32);
    vps->vps_time_scale = br.getBits(32);
    vps->vps_poc_proportional_to_timing_flag = flag(br);
    if (vps->vps_poc_proportional_to_timing_flag)
      vps->vps_num_ticks_poc_diff_one_minus1 = br.getGolombU();
    vps->vps_num_hrd_parameters = br.getGolombU();
    checkBound("vps_num_hrd_parameters", vps->vps_num_hrd_parameters, HEVC_MAX_HRD_PARAMETERS);
    const size_t n = vps->vps_num_hrd_parameters;
    vps->hrd_layer_set_idx.assign(n, 0);
    vps->cprms_present_flag.assign(n, 0);
    vps->hrd_parameters.reserve(n);
    for (size_t i = 0; i < n; i++) {
      vps->hrd_layer_set_idx[i] = br.getGolombU();
      vps->cprms_present_flag[i] = i > 0 ? flag(br) : 1;
      const HrdParameters* previous = i > 0 ? &vps->hrd_parameters[i - 1] : nullptr;
      vps->hrd_parameters.push_back(processHrdParameters(
          vps->cprms_present_flag[i], vps->vps_max_sub_layers_minus1, br, previous));
    }
  }
  vps->vps_extension_flag = flag(br);
  // vps_extension_data_flag...: not read
}

void processSPS(SPS* sps, BitstreamReader& br) {
  sps->sps_video_parameter_set_id = uint8_t(br.getBits(4));
  sps->sps_max_sub_layers_minus1 = uint8_t(br.getBits(3));
  sps->sps_temporal_id_nesting_flag = flag(br);
  sps->profile_tier_level = processProfileTierLevel(sps->sps_max_sub_layers_minus1, br);
  sps->sps_seq_parameter_set_id = br.getGolombU();

  // Picture format.
  sps->chroma_format_idc = br.getGolombU();
  checkBound("chroma_format_idc", sps->chroma_format_idc, HEVC_MAX_CHROMA_FORMAT_IDC);
  if (sps->chroma_format_idc == 3) sps->separate_colour_plane_flag = flag(br);
  sps->pic_width_in_luma_samples = br.getGolombU();
  sps->pic_height_in_luma_samples = br.getGolombU();
  sps->conformance_window_flag = flag(br);
  if (sps->conformance_window_flag) {
    sps->conf_win_left_offset = br.getGolombU();
    sps->conf_win_right_offset = br.getGolombU();
    sps->conf_win_top_offset = br.getGolombU();
    sps->conf_win_bottom_offset = br.getGolombU();
  }
  sps->bit_depth_luma_minus8 = br.getGolombU();
  sps->bit_depth_chroma_minus8 = br.getGolombU();
  // Sets the width of every lsb field (here and in slice headers), which
  // the bit reader takes up to 32 bits only; H.265 allows 0..12.
  sps->log2_max_pic_order_cnt_lsb_minus4 = br.getGolombU();
  checkBound("log2_max_pic_order_cnt_lsb_minus4", sps->log2_max_pic_order_cnt_lsb_minus4,
             HEVC_MAX_LOG2_POC_LSB_MINUS4);

  // Sub-layer ordering: all sub-layers, or only the highest when the flag is 0.
  const size_t subLayers = size_t(sps->sps_max_sub_layers_minus1) + 1;
  sps->sps_sub_layer_ordering_info_present_flag = flag(br);
  sps->sps_max_dec_pic_buffering_minus1.assign(subLayers, 0);
  sps->sps_max_num_reorder_pics.assign(subLayers, 0);
  sps->sps_max_latency_increase_plus1.assign(subLayers, 0);
  for (size_t i = sps->sps_sub_layer_ordering_info_present_flag ? 0 : subLayers - 1;
       i < subLayers; i++) {
    sps->sps_max_dec_pic_buffering_minus1[i] = br.getGolombU();
    checkBound("sps_max_dec_pic_buffering_minus1", sps->sps_max_dec_pic_buffering_minus1[i],
               HEVC_MAX_DEC_PIC_BUFFERING_MINUS1);
    sps->sps_max_num_reorder_pics[i] = br.getGolombU();
    sps->sps_max_latency_increase_plus1[i] = br.getGolombU();
  }

  // Block sizes.
  sps->log2_min_luma_coding_block_size_minus3 = br.getGolombU();
  sps->log2_diff_max_min_luma_coding_block_size = br.getGolombU();
  sps->log2_min_luma_transform_block_size_minus2 = br.getGolombU();
  sps->log2_diff_max_min_luma_transform_block_size = br.getGolombU();
  sps->max_transform_hierarchy_depth_inter = br.getGolombU();
  sps->max_transform_hierarchy_depth_intra = br.getGolombU();

  // Scaling lists and coding tools.
  sps->scaling_list_enabled_flag = flag(br);
  if (sps->scaling_list_enabled_flag) {
    sps->sps_scaling_list_data_present_flag = flag(br);
    if (sps->sps_scaling_list_data_present_flag)
      sps->scaling_list_data = processScalingListData(br);
  }
  sps->amp_enabled_flag = flag(br);
  sps->sample_adaptive_offset_enabled_flag = flag(br);
  sps->pcm_enabled_flag = flag(br);
  if (sps->pcm_enabled_flag) {
    sps->pcm_sample_bit_depth_luma_minus1 = uint8_t(br.getBits(4));
    sps->pcm_sample_bit_depth_chroma_minus1 = uint8_t(br.getBits(4));
    sps->log2_min_pcm_luma_coding_block_size_minus3 = br.getGolombU();
    sps->log2_diff_max_min_pcm_luma_coding_block_size = br.getGolombU();
    sps->pcm_loop_filter_disabled_flag = flag(br);
  }

  // Reference picture sets.
  sps->num_short_term_ref_pic_sets = br.getGolombU();
  checkBound("num_short_term_ref_pic_sets", sps->num_short_term_ref_pic_sets,
             HEVC_MAX_SHORT_TERM_RPS);
  sps->short_term_ref_pic_set.reserve(sps->num_short_term_ref_pic_sets);
  for (size_t i = 0; i < sps->num_short_term_ref_pic_sets; i++)
    sps->short_term_ref_pic_set.push_back(processShortTermRefPicSet(
        i, sps->num_short_term_ref_pic_sets, sps->short_term_ref_pic_set, sps, br));
  sps->long_term_ref_pics_present_flag = flag(br);
  if (sps->long_term_ref_pics_present_flag) {
    sps->num_long_term_ref_pics_sps = br.getGolombU();
    checkBound("num_long_term_ref_pics_sps", sps->num_long_term_ref_pics_sps,
               HEVC_MAX_LONG_TERM_REF_PICS_SPS);
    const size_t n = sps->num_long_term_ref_pics_sps;
    sps->lt_ref_pic_poc_lsb_sps.assign(n, 0);
    sps->used_by_curr_pic_lt_sps_flag.assign(n, 0);
    for (size_t i = 0; i < n; i++) {
      sps->lt_ref_pic_poc_lsb_sps[i] = br.getBits(sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
      sps->used_by_curr_pic_lt_sps_flag[i] = flag(br);
    }
  }
  sps->sps_temporal_mvp_enabled_flag = flag(br);
  sps->strong_intra_smoothing_enabled_flag = flag(br);

  // Video usability information.
  sps->vui_parameters_present_flag = flag(br);
  if (sps->vui_parameters_present_flag)
    sps->vui_parameters = processVuiParameters(sps->sps_max_sub_layers_minus1, br);
  sps->sps_extension_present_flag = flag(br);
  // sps_range_extension_flag ... sps_extension_data_flag: not read
}
