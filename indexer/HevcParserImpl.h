// HEVC video and sequence parameter-set records (H.265 clauses 7.3.2.1,
// 7.3.2.2, 7.3.3, 7.3.4, 7.3.7, E.2) and their parsers.
//
// The parsers read a unit whose emulation-prevention bytes are removed,
// starting after its two-byte NAL unit header. A unit that ends too early
// makes the bit reader throw std::runtime_error("BitstreamReader: not enough
// data"); a count or width outside the bounds below throws std::runtime_error
// with a message naming the element and its value. Records own their arrays
// (std::vector), so a record under construction is released as either error
// passes. Every count that sizes an array or a loop is bounded here before
// use, so no stream can make a parser allocate beyond its own length in bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "BitstreamReader.h"

// Bounds on stream values that size arrays or set bit widths.
constexpr uint32_t HEVC_MAX_SUB_LAYERS = 8;              // u(3) + 1
constexpr uint32_t HEVC_MAX_CPB_CNT_MINUS1 = 31;
constexpr uint32_t HEVC_MAX_LAYER_SETS_MINUS1 = 1023;
constexpr uint32_t HEVC_MAX_HRD_PARAMETERS = 1024;
constexpr uint32_t HEVC_MAX_SHORT_TERM_RPS = 64;
constexpr uint32_t HEVC_MAX_LONG_TERM_REF_PICS_SPS = 32;
constexpr uint32_t HEVC_MAX_DEC_PIC_BUFFERING_MINUS1 = 15;
constexpr uint32_t HEVC_MAX_LOG2_POC_LSB_MINUS4 = 12;    // lsb fields of at most 16 bits
constexpr uint32_t HEVC_MAX_CHROMA_FORMAT_IDC = 3;

struct ProfileTierLevel {
  uint8_t general_profile_space = 0;
  uint8_t general_tier_flag = 0;
  uint8_t general_profile_idc = 0;
  uint8_t general_profile_compatibility_flag[32] = {};
  uint8_t general_progressive_source_flag = 0;
  uint8_t general_interlaced_source_flag = 0;
  uint8_t general_non_packed_constraint_flag = 0;
  uint8_t general_frame_only_constraint_flag = 0;
  // 43 reserved bits and general_inbld_flag/reserved bit: read and dropped
  uint8_t general_level_idc = 0;
  // One element per sub-layer below the highest (maxNumSubLayersMinus1).
  std::vector<uint8_t> sub_layer_profile_present_flag;
  std::vector<uint8_t> sub_layer_level_present_flag;
  std::vector<uint8_t> sub_layer_profile_space;
  std::vector<uint8_t> sub_layer_tier_flag;
  std::vector<uint8_t> sub_layer_profile_idc;
  std::vector<std::vector<uint8_t>> sub_layer_profile_compatibility_flag;  // 32 each
  std::vector<uint8_t> sub_layer_progressive_source_flag;
  std::vector<uint8_t> sub_layer_interlaced_source_flag;
  std::vector<uint8_t> sub_layer_non_packed_constraint_flag;
  std::vector<uint8_t> sub_layer_frame_only_constraint_flag;
  std::vector<uint8_t> sub_layer_level_idc;
};

struct SubLayerHrdParameters {
  // One element per CPB (cpb_cnt_minus1 + 1).
  std::vector<uint32_t> bit_rate_value_minus1;
  std::vector<uint32_t> cpb_size_value_minus1;
  std::vector<uint32_t> cpb_size_du_value_minus1;   // only with sub_pic_hrd_params_present_flag
  std::vector<uint32_t> bit_rate_du_value_minus1;   // only with sub_pic_hrd_params_present_flag
  std::vector<uint8_t> cbr_flag;
};

struct HrdParameters {
  uint8_t nal_hrd_parameters_present_flag = 0;
  uint8_t vcl_hrd_parameters_present_flag = 0;
  uint8_t sub_pic_hrd_params_present_flag = 0;
  uint8_t tick_divisor_minus2 = 0;
  uint8_t du_cpb_removal_delay_increment_length_minus1 = 0;
  uint8_t sub_pic_cpb_params_in_pic_timing_sei_flag = 0;
  uint8_t dpb_output_delay_du_length_minus1 = 0;
  uint8_t bit_rate_scale = 0;
  uint8_t cpb_size_scale = 0;
  uint8_t cpb_size_du_scale = 0;
  uint8_t initial_cpb_removal_delay_length_minus1 = 23;
  uint8_t au_cpb_removal_delay_length_minus1 = 23;
  uint8_t dpb_output_delay_length_minus1 = 23;
  // One element per sub-layer (maxNumSubLayersMinus1 + 1).
  std::vector<uint8_t> fixed_pic_rate_general_flag;
  std::vector<uint8_t> fixed_pic_rate_within_cvs_flag;
  std::vector<uint32_t> elemental_duration_in_tc_minus1;
  std::vector<uint8_t> low_delay_hrd_flag;
  std::vector<uint32_t> cpb_cnt_minus1;
  std::vector<SubLayerHrdParameters> nal_sub_layer_hrd_parameters;  // empty entries when absent
  std::vector<SubLayerHrdParameters> vcl_sub_layer_hrd_parameters;
};

struct VuiParameters {
  uint8_t aspect_ratio_info_present_flag = 0;
  uint8_t aspect_ratio_idc = 0;
  uint32_t sar_width = 0;
  uint32_t sar_height = 0;
  uint8_t overscan_info_present_flag = 0;
  uint8_t overscan_appropriate_flag = 0;
  uint8_t video_signal_type_present_flag = 0;
  uint8_t video_format = 5;
  uint8_t video_full_range_flag = 0;
  uint8_t colour_description_present_flag = 0;
  uint8_t colour_primaries = 2;
  uint8_t transfer_characteristics = 2;
  uint8_t matrix_coeffs = 2;
  uint8_t chroma_loc_info_present_flag = 0;
  uint32_t chroma_sample_loc_type_top_field = 0;
  uint32_t chroma_sample_loc_type_bottom_field = 0;
  uint8_t neutral_chroma_indication_flag = 0;
  uint8_t field_seq_flag = 0;
  uint8_t frame_field_info_present_flag = 0;
  uint8_t default_display_window_flag = 0;
  uint32_t def_disp_win_left_offset = 0;
  uint32_t def_disp_win_right_offset = 0;
  uint32_t def_disp_win_top_offset = 0;
  uint32_t def_disp_win_bottom_offset = 0;
  uint8_t vui_timing_info_present_flag = 0;
  uint32_t vui_num_units_in_tick = 0;
  uint32_t vui_time_scale = 0;
  uint8_t vui_poc_proportional_to_timing_flag = 0;
  uint32_t vui_num_ticks_poc_diff_one_minus1 = 0;
  uint8_t vui_hrd_parameters_present_flag = 0;
  HrdParameters hrd_parameters;
  uint8_t bitstream_restriction_flag = 0;
  uint8_t tiles_fixed_structure_flag = 0;
  uint8_t motion_vectors_over_pic_boundaries_flag = 0;
  uint8_t restricted_ref_pic_lists_flag = 0;
  uint32_t min_spatial_segmentation_idc = 0;
  uint32_t max_bytes_per_pic_denom = 2;
  uint32_t max_bits_per_min_cu_denom = 1;
  uint32_t log2_max_mv_length_horizontal = 15;
  uint32_t log2_max_mv_length_vertical = 15;
};

struct ScalingListData {
  // [sizeId][matrixId]: 6 matrices for sizes 0-2, 2 (matrixId 0 and 3 of the
  // syntax) for size 3.
  std::vector<std::vector<uint8_t>> scaling_list_pred_mode_flag;
  std::vector<std::vector<uint32_t>> scaling_list_pred_matrix_id_delta;
  std::vector<std::vector<int32_t>> scaling_list_dc_coef_minus8;
  // Coded delta values, not accumulated: min(64, 2^(4 + 2 sizeId)) per matrix
  // coded explicitly, none for a predicted matrix.
  std::vector<std::vector<std::vector<int32_t>>> scaling_list_delta_coef;
};

struct ShortTermRefPicSet {
  uint8_t inter_ref_pic_set_prediction_flag = 0;
  uint32_t delta_idx_minus1 = 0;
  uint8_t delta_rps_sign = 0;
  uint32_t abs_delta_rps_minus1 = 0;
  std::vector<uint8_t> used_by_curr_pic_flag;
  std::vector<uint8_t> use_delta_flag;       // 1 where not coded
  uint32_t num_negative_pics = 0;
  uint32_t num_positive_pics = 0;
  std::vector<uint32_t> delta_poc_s0_minus1;
  std::vector<uint8_t> used_by_curr_pic_s0_flag;
  std::vector<uint32_t> delta_poc_s1_minus1;
  std::vector<uint8_t> used_by_curr_pic_s1_flag;
};

struct VPS {
  uint8_t vps_video_parameter_set_id = 0;
  // vps_base_layer_internal_flag, vps_base_layer_available_flag: 2 bits dropped
  uint8_t vps_max_layers_minus1 = 0;
  uint8_t vps_max_sub_layers_minus1 = 0;
  uint8_t vps_temporal_id_nesting_flag = 0;
  // vps_reserved_0xffff_16bits: dropped
  ProfileTierLevel profile_tier_level;
  uint8_t vps_sub_layer_ordering_info_present_flag = 0;
  std::vector<uint32_t> vps_max_dec_pic_buffering_minus1;   // one per sub-layer
  std::vector<uint32_t> vps_max_num_reorder_pics;
  std::vector<uint32_t> vps_max_latency_increase_plus1;
  uint8_t vps_max_layer_id = 0;
  uint32_t vps_num_layer_sets_minus1 = 0;
  std::vector<std::vector<uint8_t>> layer_id_included_flag;  // [set][layer id], set 0 empty
  uint8_t vps_timing_info_present_flag = 0;
  uint32_t vps_num_units_in_tick = 0;
  uint32_t vps_time_scale = 0;
  uint8_t vps_poc_proportional_to_timing_flag = 0;
  uint32_t vps_num_ticks_poc_diff_one_minus1 = 0;
  uint32_t vps_num_hrd_parameters = 0;
  std::vector<uint32_t> hrd_layer_set_idx;
  std::vector<uint8_t> cprms_present_flag;
  std::vector<HrdParameters> hrd_parameters;
  uint8_t vps_extension_flag = 0;
};

struct SPS {
  uint8_t sps_video_parameter_set_id = 0;
  uint8_t sps_max_sub_layers_minus1 = 0;
  uint8_t sps_temporal_id_nesting_flag = 0;
  ProfileTierLevel profile_tier_level;
  uint32_t sps_seq_parameter_set_id = 0;
  uint32_t chroma_format_idc = 0;
  uint8_t separate_colour_plane_flag = 0;
  uint32_t pic_width_in_luma_samples = 0;
  uint32_t pic_height_in_luma_samples = 0;
  uint8_t conformance_window_flag = 0;
  uint32_t conf_win_left_offset = 0;     // in chroma sample units, as coded
  uint32_t conf_win_right_offset = 0;
  uint32_t conf_win_top_offset = 0;
  uint32_t conf_win_bottom_offset = 0;
  uint32_t bit_depth_luma_minus8 = 0;
  uint32_t bit_depth_chroma_minus8 = 0;
  uint32_t log2_max_pic_order_cnt_lsb_minus4 = 0;
  uint8_t sps_sub_layer_ordering_info_present_flag = 0;
  std::vector<uint32_t> sps_max_dec_pic_buffering_minus1;   // one per sub-layer
  std::vector<uint32_t> sps_max_num_reorder_pics;
  std::vector<uint32_t> sps_max_latency_increase_plus1;
  uint32_t log2_min_luma_coding_block_size_minus3 = 0;
  uint32_t log2_diff_max_min_luma_coding_block_size = 0;
  uint32_t log2_min_luma_transform_block_size_minus2 = 0;
  uint32_t log2_diff_max_min_luma_transform_block_size = 0;
  uint32_t max_transform_hierarchy_depth_inter = 0;
  uint32_t max_transform_hierarchy_depth_intra = 0;
  uint8_t scaling_list_enabled_flag = 0;
  uint8_t sps_scaling_list_data_present_flag = 0;
  ScalingListData scaling_list_data;
  uint8_t amp_enabled_flag = 0;
  uint8_t sample_adaptive_offset_enabled_flag = 0;
  uint8_t pcm_enabled_flag = 0;
  uint8_t pcm_sample_bit_depth_luma_minus1 = 0;
  uint8_t pcm_sample_bit_depth_chroma_minus1 = 0;
  uint32_t log2_min_pcm_luma_coding_block_size_minus3 = 0;
  uint32_t log2_diff_max_min_pcm_luma_coding_block_size = 0;
  uint8_t pcm_loop_filter_disabled_flag = 0;
  uint32_t num_short_term_ref_pic_sets = 0;
  std::vector<ShortTermRefPicSet> short_term_ref_pic_set;
  uint8_t long_term_ref_pics_present_flag = 0;
  uint32_t num_long_term_ref_pics_sps = 0;
  std::vector<uint32_t> lt_ref_pic_poc_lsb_sps;
  std::vector<uint8_t> used_by_curr_pic_lt_sps_flag;
  uint8_t sps_temporal_mvp_enabled_flag = 0;
  uint8_t strong_intra_smoothing_enabled_flag = 0;
  uint8_t vui_parameters_present_flag = 0;
  VuiParameters vui_parameters;
  uint8_t sps_extension_present_flag = 0;
};

void processVPS(VPS* vps, BitstreamReader& br);
void processSPS(SPS* sps, BitstreamReader& br);

ProfileTierLevel processProfileTierLevel(size_t maxNumSubLayersMinus1, BitstreamReader& br);
// common: with commonInfPresentFlag 0, the common part comes from this
// earlier set (H.265 E.2.2: "derived to be the same as the (i - 1)-th");
// null means all absent.
HrdParameters processHrdParameters(uint8_t commonInfPresentFlag, size_t maxNumSubLayersMinus1,
                                   BitstreamReader& br, const HrdParameters* common = nullptr);
// Reads cpbCnt + 1 entries (cpbCnt is cpb_cnt_minus1, at most 31).
SubLayerHrdParameters processSubLayerHrdParameters(uint8_t sub_pic_hrd_params_present_flag,
                                                   size_t cpbCnt, BitstreamReader& br);
VuiParameters processVuiParameters(size_t sps_max_sub_layers_minus1, BitstreamReader& br);
ScalingListData processScalingListData(BitstreamReader& br);
// earlier holds the sets 0..stRpsIdx-1 already parsed; the reference of a
// predicted set is always one of them.
ShortTermRefPicSet processShortTermRefPicSet(size_t stRpsIdx, size_t num_short_term_ref_pic_sets,
                                             const std::vector<ShortTermRefPicSet>& earlier,
                                             SPS* sps, BitstreamReader& br);
// NumDeltaPocs of a parsed set: num_negative_pics + num_positive_pics when
// coded explicitly, else the number of entries whose used_by_curr_pic_flag
// or use_delta_flag is set.
uint32_t numDeltaPocs(const ShortTermRefPicSet& set);
