// H.264 parameter sets: syntax, stores and activation.
#include "parset.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "index.h"

// ================================================================ bit reading

void init_bitstream(Bitstream* s, const unsigned char* payload, int length) {
  s->frame_bitoffset = 0;
  s->bitstream_length = length < 0 ? 0 : length;
  s->streamBuffer = payload;
  s->ei_flag = 0;
}

static i64 bits_left(const Bitstream* s) {
  return static_cast<i64>(s->bitstream_length) * 8 - s->frame_bitoffset;
}

static unsigned bit_at(const Bitstream* s, i64 pos) {
  return (s->streamBuffer[pos >> 3] >> (7 - (pos & 7))) & 1u;
}

unsigned read_u(Bitstream* s, int n) {
  if (n <= 0) return 0;
  if (n > 32 || n > bits_left(s)) {
    s->ei_flag = 1;
    return 0;
  }
  u64 v = 0;
  for (int i = 0; i < n; i++) v = (v << 1) | bit_at(s, s->frame_bitoffset + i);
  s->frame_bitoffset += n;
  return static_cast<unsigned>(v);
}

void linfo_ue(int len, int info, int* value) {
  // len is the whole code length 2 * leadingZeroBits + 1
  *value = static_cast<int>((1u << (len / 2)) + static_cast<unsigned>(info) - 1);
}

void linfo_se(int len, int info, int* value) {
  unsigned k = (1u << (len / 2)) + static_cast<unsigned>(info) - 1;
  i64 v = (k & 1) ? static_cast<i64>((k + 1) / 2) : -static_cast<i64>(k / 2);
  *value = static_cast<int>(v);
}

// Reads one Exp-Golomb code number. More than 31 leading zeros cannot be
// represented in 32 bits and count as an overrun like a code that passes the end.
static bool read_code_num(Bitstream* s, u64* code) {
  const i64 total = static_cast<i64>(s->bitstream_length) * 8;
  i64 pos = s->frame_bitoffset;
  int zeros = 0;
  for (;;) {
    if (pos >= total || zeros > 31) {
      s->ei_flag = 1;
      *code = 0;
      return false;
    }
    if (bit_at(s, pos++)) break;
    zeros++;
  }
  if (pos + zeros > total) {
    s->ei_flag = 1;
    *code = 0;
    return false;
  }
  u64 info = 0;
  for (int i = 0; i < zeros; i++) info = (info << 1) | bit_at(s, pos + i);
  *code = (u64{1} << zeros) - 1 + info;
  s->frame_bitoffset = static_cast<int>(pos + zeros);
  return true;
}

unsigned read_ue(Bitstream* s) {
  u64 k;
  read_code_num(s, &k);
  return static_cast<unsigned>(k);  // at most 2^32 - 2
}

int read_se(Bitstream* s) {
  u64 k;
  read_code_num(s, &k);
  // k <= 2^32 - 2, so both results lie within -(2^31 - 1) .. 2^31 - 1
  i64 v = (k & 1) ? static_cast<i64>((k + 1) / 2) : -static_cast<i64>(k / 2);
  return static_cast<int>(v);
}

bool more_rbsp_data(const Bitstream* s) {
  const i64 pos = s->frame_bitoffset;
  const i64 last_byte = static_cast<i64>(s->bitstream_length) - 1;
  if (last_byte < 0 || (pos >> 3) > last_byte) return false;
  if ((pos >> 3) < last_byte) return true;
  if (!bit_at(s, pos)) return true;
  // the bit at pos is 1: it is the stop bit unless a later bit of the byte is set
  for (i64 p = pos + 1; p < (last_byte + 1) * 8; p++)
    if (bit_at(s, p)) return true;
  return false;
}

int rbsp_payload_length(const unsigned char* payload, int length) {
  while (length > 0 && payload[length - 1] == 0) length--;
  return length;
}

// ================================================================ syntax

static const unsigned char ZZ_SCAN[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};
static const unsigned char ZZ_SCAN8[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

void Scaling_List(int* list, int size, int* useDefault, Bitstream* s) {
  const unsigned char* scan = size == 16 ? ZZ_SCAN : ZZ_SCAN8;
  int lastScale = 8, nextScale = 8;
  for (int j = 0; j < size; j++) {
    const int scanj = scan[j];
    if (nextScale != 0) {
      const i64 delta_scale = read_se(s);
      nextScale = static_cast<int>((lastScale + delta_scale + 256) % 256);
      *useDefault = (scanj == 0 && nextScale == 0) ? 1 : 0;
    }
    list[scanj] = nextScale == 0 ? lastScale : nextScale;
    lastScale = list[scanj];
  }
}

void ReadHRDParameters(DataPartition* p, hrd_parameters_t* hrd) {
  Bitstream* s = p->bitstream;
  hrd->cpb_cnt_minus1 = read_ue(s);
  if (hrd->cpb_cnt_minus1 >= MAX_CPB_CNT) hrd->cpb_cnt_minus1 = 0;
  hrd->bit_rate_scale = read_u(s, 4);
  hrd->cpb_size_scale = read_u(s, 4);
  for (unsigned i = 0; i <= hrd->cpb_cnt_minus1; i++) {
    hrd->bit_rate_value_minus1[i] = read_ue(s);
    hrd->cpb_size_value_minus1[i] = read_ue(s);
    hrd->cbr_flag[i] = read_u(s, 1);
  }
  hrd->initial_cpb_removal_delay_length_minus1 = read_u(s, 5);
  hrd->cpb_removal_delay_length_minus1 = read_u(s, 5);
  hrd->dpb_output_delay_length_minus1 = read_u(s, 5);
  hrd->time_offset_length = read_u(s, 5);
}

void ReadVUI(DataPartition* p, seq_parameter_set_rbsp_t* sps) {
  if (!sps->vui_parameters_present_flag) return;
  Bitstream* s = p->bitstream;
  vui_parameters_t* v = &sps->vui_seq_parameters;

  v->aspect_ratio_info_present_flag = read_u(s, 1);
  if (v->aspect_ratio_info_present_flag) {
    v->aspect_ratio_idc = read_u(s, 8);
    sample_aspect_ratio = static_cast<int>(v->aspect_ratio_idc);
    if (v->aspect_ratio_idc == 255) {
      v->sar_width = read_u(s, 16);
      v->sar_height = read_u(s, 16);
      sar_width = static_cast<int>(v->sar_width);
      sar_height = static_cast<int>(v->sar_height);
    }
  }

  v->overscan_info_present_flag = read_u(s, 1);
  if (v->overscan_info_present_flag) v->overscan_appropriate_flag = read_u(s, 1);

  v->video_signal_type_present_flag = read_u(s, 1);
  if (v->video_signal_type_present_flag) {
    v->video_format = read_u(s, 3);
    v->video_full_range_flag = read_u(s, 1);
    v->colour_description_present_flag = read_u(s, 1);
    if (v->colour_description_present_flag) {
      v->colour_primaries = read_u(s, 8);
      v->transfer_characteristics = read_u(s, 8);
      v->matrix_coefficients = read_u(s, 8);
      coded_colour_primaries = static_cast<int>(v->colour_primaries);
      coded_transfer_characteristics = static_cast<int>(v->transfer_characteristics);
      coded_matrix_coefficients = static_cast<int>(v->matrix_coefficients);
    }
  }

  v->chroma_loc_info_present_flag = read_u(s, 1);
  if (v->chroma_loc_info_present_flag) {
    v->chroma_sample_loc_type_top_field = read_ue(s);
    v->chroma_sample_loc_type_bottom_field = read_ue(s);
  }

  v->timing_info_present_flag = read_u(s, 1);
  if (v->timing_info_present_flag) {
    v->num_units_in_tick = read_u(s, 32);
    v->time_scale = read_u(s, 32);
    v->fixed_frame_rate_flag = read_u(s, 1);
  } else {
    v->fixed_frame_rate_flag = 0;  // counts as 0 without timing information
  }

  v->nal_hrd_parameters_present_flag = read_u(s, 1);
  if (v->nal_hrd_parameters_present_flag) ReadHRDParameters(p, &v->nal_hrd_parameters);
  v->vcl_hrd_parameters_present_flag = read_u(s, 1);
  if (v->vcl_hrd_parameters_present_flag) ReadHRDParameters(p, &v->vcl_hrd_parameters);
  if (v->nal_hrd_parameters_present_flag || v->vcl_hrd_parameters_present_flag)
    v->low_delay_hrd_flag = read_u(s, 1);

  v->pic_struct_present_flag = read_u(s, 1);

  v->bitstream_restriction_flag = read_u(s, 1);
  if (v->bitstream_restriction_flag) {
    v->motion_vectors_over_pic_boundaries_flag = read_u(s, 1);
    v->max_bytes_per_pic_denom = read_ue(s);
    v->max_bits_per_mb_denom = read_ue(s);
    v->log2_max_mv_length_horizontal = read_ue(s);
    v->log2_max_mv_length_vertical = read_ue(s);
    v->num_reorder_frames = read_ue(s);
    v->max_dec_frame_buffering = read_ue(s);
  }
}

// Profiles whose SPS this analysis reads.
static const unsigned ACCEPTED_PROFILES[] = {44, 66, 77, 83, 86, 88, 100, 110, 122, 144, 244};
// Profiles whose SPS carries chroma format, bit depths and scaling matrices
// (86 is accepted above but carries none of them).
static const unsigned HIGH_PROFILES[] = {44, 83, 100, 110, 122, 144, 244};

static bool listed(const unsigned* table, size_t n, unsigned value) {
  for (size_t i = 0; i < n; i++)
    if (table[i] == value) return true;
  return false;
}

// Largest picture dimension accepted, in macroblocks or map units: far beyond
// every level limit, and small enough that 16 x (value + 1) fits an int.
constexpr unsigned MAX_DIM_IN_MBS = 4096;

void sps_crop(const seq_parameter_set_rbsp_t* sps, int* crop_width, int* crop_height) {
  *crop_width = 0;
  *crop_height = 0;
  if (!sps->frame_cropping_flag) return;
  const u64 fmo = sps->frame_mbs_only_flag ? 1 : 0;
  u64 unit_x, unit_y;
  switch (sps->chroma_format_idc) {
    case 0: unit_x = 1; unit_y = 2 - fmo; break;
    case 1: unit_x = 2; unit_y = 2 * (2 - fmo); break;
    case 2: unit_x = 2; unit_y = 2 - fmo; break;
    case 3: unit_x = 1; unit_y = 2 - fmo; break;
    default: return;
  }
  const u64 cw = unit_x * (u64{sps->frame_crop_left_offset} + sps->frame_crop_right_offset);
  const u64 ch = unit_y * (u64{sps->frame_crop_top_offset} + sps->frame_crop_bottom_offset);
  // a Valid SPS has crop amounts below its coded size (checked by InterpretSPS)
  *crop_width = cw > INT_MAX ? INT_MAX : static_cast<int>(cw);
  *crop_height = ch > INT_MAX ? INT_MAX : static_cast<int>(ch);
}

int InterpretSPS(DataPartition* p, seq_parameter_set_rbsp_t* sps) {
  Bitstream* s = p->bitstream;
  sps->Valid = 0;

  // ---- profile, constraints, level, id
  if (bits_left(s) < 8) {
    sps->profile_idc = 0;
    profile = 0;
    return 0;
  }
  sps->profile_idc = read_u(s, 8);
  profile = static_cast<int>(sps->profile_idc);
  if (!listed(ACCEPTED_PROFILES, sizeof ACCEPTED_PROFILES / sizeof *ACCEPTED_PROFILES, sps->profile_idc))
    return 0;
  sps->constraint_set0_flag = read_u(s, 1);
  sps->constraint_set1_flag = read_u(s, 1);
  sps->constraint_set2_flag = read_u(s, 1);
  sps->constraint_set3_flag = read_u(s, 1);
  sps->constraint_set4_flag = read_u(s, 1);
  sps->constraint_set5_flag = read_u(s, 1);
  read_u(s, 2);  // reserved_zero_2bits: not checked, a set with other values is read alike
  sps->level_idc = read_u(s, 8);
  constraint = static_cast<int>(sps->constraint_set3_flag);
  level = static_cast<int>(sps->level_idc);
  sps->seq_parameter_set_id = read_ue(s);
  if (sps->seq_parameter_set_id >= MAXSPS) return 0;  // no store slot: ignored

  // ---- chroma format, bit depths, scaling matrices (high profiles only)
  sps->chroma_format_idc = 1;
  sps->bit_depth_luma_minus8 = 0;
  sps->bit_depth_chroma_minus8 = 0;
  if (listed(HIGH_PROFILES, sizeof HIGH_PROFILES / sizeof *HIGH_PROFILES, sps->profile_idc)) {
    sps->chroma_format_idc = read_ue(s);
    if (sps->chroma_format_idc > 3) return 0;  // no such format, crop units undefined
    if (sps->chroma_format_idc == 3) {
      if (read_u(s, 1)) printf("separate_colour_plane_flag=1 is not supported");
    }
    sps->bit_depth_luma_minus8 = read_ue(s);
    sps->bit_depth_chroma_minus8 = read_ue(s);
    read_u(s, 1);  // qpprime_y_zero_transform_bypass_flag
    sps->seq_scaling_matrix_present_flag = read_u(s, 1);
    if (sps->seq_scaling_matrix_present_flag) {
      // 4:4:4 has an 8x8 list for each colour component, inter and intra.
      const int lists = sps->chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists; i++) {
        sps->seq_scaling_list_present_flag[i] = read_u(s, 1);
        if (!sps->seq_scaling_list_present_flag[i]) continue;
        if (i < 6)
          Scaling_List(sps->ScalingList4x4[i], 16, &sps->UseDefaultScalingMatrix4x4Flag[i], s);
        else
          Scaling_List(sps->ScalingList8x8[i - 6], 64, &sps->UseDefaultScalingMatrix8x8Flag[i - 6], s);
      }
    }
  }

  // ---- frame numbers and picture order count
  sps->log2_max_frame_num_minus4 = read_ue(s);
  if (sps->log2_max_frame_num_minus4 > MAX_LOG2_MINUS4) return 0;
  sps->pic_order_cnt_type = read_ue(s);
  if (sps->pic_order_cnt_type == 0) {
    sps->log2_max_pic_order_cnt_lsb_minus4 = read_ue(s);
    if (sps->log2_max_pic_order_cnt_lsb_minus4 > MAX_LOG2_MINUS4) return 0;
  } else if (sps->pic_order_cnt_type == 1) {
    sps->delta_pic_order_always_zero_flag = read_u(s, 1);
    sps->offset_for_non_ref_pic = read_se(s);
    sps->offset_for_top_to_bottom_field = read_se(s);
    sps->num_ref_frames_in_pic_order_cnt_cycle = read_ue(s);
    // Offsets beyond the kept ones are read and dropped (activation refuses
    // such a set); an overrun ends the loop, whatever count the set claims.
    for (unsigned i = 0; i < sps->num_ref_frames_in_pic_order_cnt_cycle && !s->ei_flag; i++) {
      const int offset = read_se(s);
      if (i < MAX_POC_CYCLE) sps->offset_for_ref_frame[i] = offset;
    }
  }

  // ---- reference frames, size, frame/field coding
  sps->num_ref_frames = read_ue(s);
  sps->gaps_in_frame_num_value_allowed_flag = read_u(s, 1);
  sps->pic_width_in_mbs_minus1 = read_ue(s);
  sps->pic_height_in_map_units_minus1 = read_ue(s);
  if (sps->pic_width_in_mbs_minus1 >= MAX_DIM_IN_MBS || sps->pic_height_in_map_units_minus1 >= MAX_DIM_IN_MBS)
    return 0;
  sps->frame_mbs_only_flag = read_u(s, 1);
  sps->mb_adaptive_frame_field_flag = sps->frame_mbs_only_flag ? 0 : read_u(s, 1);
  sps->direct_8x8_inference_flag = read_u(s, 1);

  // ---- cropping
  sps->frame_cropping_flag = read_u(s, 1);
  if (sps->frame_cropping_flag) {
    sps->frame_crop_left_offset = read_ue(s);
    sps->frame_crop_right_offset = read_ue(s);
    sps->frame_crop_top_offset = read_ue(s);
    sps->frame_crop_bottom_offset = read_ue(s);
  }
  int cw, ch;
  sps_crop(sps, &cw, &ch);
  const int coded_w = 16 * static_cast<int>(sps->pic_width_in_mbs_minus1 + 1);
  const int coded_h = 16 * static_cast<int>((2 - sps->frame_mbs_only_flag) * (sps->pic_height_in_map_units_minus1 + 1));
  if (cw >= coded_w || ch >= coded_h) return 0;  // nothing would be left to show
  img->crop_width = cw;
  img->crop_height = ch;

  sps->vui_parameters_present_flag = read_u(s, 1);
  // A set cut short before its VUI would install zeros for the fields that
  // every slice depends on; the set in the store stays in force instead.
  if (s->ei_flag) return 0;

  // ---- VUI (a VUI cut short reads as zeros and leaves the set valid)
  ReadVUI(p, sps);

  sps->Valid = 1;
  return 0;
}

int InterpretPPS(DataPartition* p, pic_parameter_set_rbsp_t* pps) {
  Bitstream* s = p->bitstream;
  pps->Valid = 0;

  // ---- ids and entropy coding
  pps->pic_parameter_set_id = read_ue(s);
  pps->seq_parameter_set_id = read_ue(s);
  if (pps->pic_parameter_set_id >= MAXPPS || pps->seq_parameter_set_id >= MAXSPS) return 0;
  pps->entropy_coding_mode_flag = read_u(s, 1);
  pps->bottom_field_pic_order_in_frame_present_flag = read_u(s, 1);

  // ---- slice groups
  pps->num_slice_groups_minus1 = read_ue(s);
  if (pps->num_slice_groups_minus1 >= MAX_SLICE_GROUPS) return 0;
  if (pps->num_slice_groups_minus1 > 0) {
    pps->slice_group_map_type = read_ue(s);
    switch (pps->slice_group_map_type) {
      case 0:
        for (unsigned i = 0; i <= pps->num_slice_groups_minus1; i++) pps->run_length_minus1[i] = read_ue(s);
        break;
      case 2:
        for (unsigned i = 0; i < pps->num_slice_groups_minus1; i++) {
          pps->top_left[i] = read_ue(s);
          pps->bottom_right[i] = read_ue(s);
        }
        break;
      case 3:
      case 4:
      case 5:
        pps->slice_group_change_direction_flag = read_u(s, 1);
        pps->slice_group_change_rate_minus1 = read_ue(s);
        break;
      case 6: {
        pps->pic_size_in_map_units_minus1 = read_ue(s);
        if (pps->pic_size_in_map_units_minus1 >= MAX_SLICE_GROUP_IDS) return 0;
        const unsigned groups = pps->num_slice_groups_minus1 + 1;
        const int bits = groups > 4 ? 3 : groups > 2 ? 2 : 1;
        for (unsigned i = 0; i <= pps->pic_size_in_map_units_minus1; i++) pps->slice_group_id[i] = read_u(s, bits);
        break;
      }
      default:
        break;  // type 1 and unknown types carry nothing
    }
  }

  // ---- reference lists, prediction, quantisation, flags
  pps->num_ref_idx_l0_default_active_minus1 = read_ue(s);
  pps->num_ref_idx_l1_default_active_minus1 = read_ue(s);
  pps->weighted_pred_flag = read_u(s, 1);
  pps->weighted_bipred_idc = read_u(s, 2);
  pps->pic_init_qp_minus26 = read_se(s);
  pps->pic_init_qs_minus26 = read_se(s);
  pps->chroma_qp_index_offset = read_se(s);
  pps->deblocking_filter_control_present_flag = read_u(s, 1);
  pps->constrained_intra_pred_flag = read_u(s, 1);
  pps->redundant_pic_cnt_present_flag = read_u(s, 1);
  if (s->ei_flag) return 0;  // cut short: the set in the store stays in force

  // ---- extension of the high profiles
  if (!more_rbsp_data(s)) {
    pps->second_chroma_qp_index_offset = pps->chroma_qp_index_offset;
    pps->Valid = 1;
    return 0;
  }
  pps->transform_8x8_mode_flag = read_u(s, 1);
  pps->pic_scaling_matrix_present_flag = read_u(s, 1);
  if (pps->pic_scaling_matrix_present_flag) {
    // The 8x8 lists of 4:4:4 come six, of the SPS the set names; where that
    // SPS is not known yet, two.
    const seq_parameter_set_rbsp_t& sps = SeqParSet[pps->seq_parameter_set_id];
    const int lists_8x8 = sps.Valid && sps.chroma_format_idc == 3 ? 6 : 2;
    const int lists = 6 + lists_8x8 * static_cast<int>(pps->transform_8x8_mode_flag);
    for (int i = 0; i < lists; i++) {
      pps->pic_scaling_list_present_flag[i] = read_u(s, 1);
      if (!pps->pic_scaling_list_present_flag[i]) continue;
      if (i < 6)
        Scaling_List(pps->ScalingList4x4[i], 16, &pps->UseDefaultScalingMatrix4x4Flag[i], s);
      else
        Scaling_List(pps->ScalingList8x8[i - 6], 64, &pps->UseDefaultScalingMatrix8x8Flag[i - 6], s);
    }
  }
  pps->second_chroma_qp_index_offset = read_se(s);
  pps->Valid = 1;
  return 0;
}

// ================================================================ stores

seq_parameter_set_rbsp_t SeqParSet[MAXSPS];
unsigned stored_sps_id;
pic_parameter_set_rbsp_t PicParSet[MAXPPS];
seq_parameter_set_rbsp_t* active_sps;
pic_parameter_set_rbsp_t* active_pps;

static img_par img_record;
img_par* img = &img_record;

bool sps_is_equal(const seq_parameter_set_rbsp_t* a, const seq_parameter_set_rbsp_t* b) {
  if (!a->Valid || !b->Valid) return false;
  bool eq = a->profile_idc == b->profile_idc && a->constraint_set0_flag == b->constraint_set0_flag &&
            a->constraint_set1_flag == b->constraint_set1_flag &&
            a->constraint_set2_flag == b->constraint_set2_flag && a->level_idc == b->level_idc &&
            a->seq_parameter_set_id == b->seq_parameter_set_id &&
            // The format: a set that keeps profile and level may still bring
            // another one, which only a new activation publishes.
            a->chroma_format_idc == b->chroma_format_idc && a->bit_depth_luma_minus8 == b->bit_depth_luma_minus8 &&
            a->bit_depth_chroma_minus8 == b->bit_depth_chroma_minus8 &&
            a->log2_max_frame_num_minus4 == b->log2_max_frame_num_minus4 &&
            a->pic_order_cnt_type == b->pic_order_cnt_type;
  if (!eq) return false;
  if (a->pic_order_cnt_type == 0) {
    if (a->log2_max_pic_order_cnt_lsb_minus4 != b->log2_max_pic_order_cnt_lsb_minus4) return false;
  } else if (a->pic_order_cnt_type == 1) {
    if (a->delta_pic_order_always_zero_flag != b->delta_pic_order_always_zero_flag ||
        a->offset_for_non_ref_pic != b->offset_for_non_ref_pic ||
        a->offset_for_top_to_bottom_field != b->offset_for_top_to_bottom_field ||
        a->num_ref_frames_in_pic_order_cnt_cycle != b->num_ref_frames_in_pic_order_cnt_cycle)
      return false;
    const unsigned n = a->num_ref_frames_in_pic_order_cnt_cycle < MAX_POC_CYCLE
                           ? a->num_ref_frames_in_pic_order_cnt_cycle
                           : MAX_POC_CYCLE;
    for (unsigned i = 0; i < n; i++)
      if (a->offset_for_ref_frame[i] != b->offset_for_ref_frame[i]) return false;
  }
  eq = a->num_ref_frames == b->num_ref_frames &&
       a->gaps_in_frame_num_value_allowed_flag == b->gaps_in_frame_num_value_allowed_flag &&
       a->pic_width_in_mbs_minus1 == b->pic_width_in_mbs_minus1 &&
       a->pic_height_in_map_units_minus1 == b->pic_height_in_map_units_minus1 &&
       a->frame_mbs_only_flag == b->frame_mbs_only_flag;
  if (!eq) return false;
  if (!a->frame_mbs_only_flag && a->mb_adaptive_frame_field_flag != b->mb_adaptive_frame_field_flag) return false;
  if (a->direct_8x8_inference_flag != b->direct_8x8_inference_flag ||
      a->frame_cropping_flag != b->frame_cropping_flag)
    return false;
  if (a->frame_cropping_flag &&
      (a->frame_crop_left_offset != b->frame_crop_left_offset ||
       a->frame_crop_right_offset != b->frame_crop_right_offset ||
       a->frame_crop_top_offset != b->frame_crop_top_offset ||
       a->frame_crop_bottom_offset != b->frame_crop_bottom_offset))
    return false;
  return a->vui_parameters_present_flag == b->vui_parameters_present_flag;
}

bool pps_is_equal(const pic_parameter_set_rbsp_t* a, const pic_parameter_set_rbsp_t* b) {
  if (!a->Valid || !b->Valid) return false;
  bool eq = a->pic_parameter_set_id == b->pic_parameter_set_id &&
            a->seq_parameter_set_id == b->seq_parameter_set_id &&
            a->entropy_coding_mode_flag == b->entropy_coding_mode_flag &&
            a->bottom_field_pic_order_in_frame_present_flag == b->bottom_field_pic_order_in_frame_present_flag &&
            a->num_slice_groups_minus1 == b->num_slice_groups_minus1;
  if (!eq) return false;
  // Valid sets hold num_slice_groups_minus1 < MAX_SLICE_GROUPS and, for map
  // type 6, pic_size_in_map_units_minus1 < MAX_SLICE_GROUP_IDS.
  if (a->num_slice_groups_minus1 > 0) {
    if (a->slice_group_map_type != b->slice_group_map_type) return false;
    switch (a->slice_group_map_type) {
      case 0:
        for (unsigned i = 0; i <= a->num_slice_groups_minus1; i++)
          if (a->run_length_minus1[i] != b->run_length_minus1[i]) return false;
        break;
      case 2:
        for (unsigned i = 0; i < a->num_slice_groups_minus1; i++)
          if (a->top_left[i] != b->top_left[i] || a->bottom_right[i] != b->bottom_right[i]) return false;
        break;
      case 3:
      case 4:
      case 5:
        if (a->slice_group_change_direction_flag != b->slice_group_change_direction_flag ||
            a->slice_group_change_rate_minus1 != b->slice_group_change_rate_minus1)
          return false;
        break;
      case 6:
        if (a->pic_size_in_map_units_minus1 != b->pic_size_in_map_units_minus1) return false;
        for (unsigned i = 0; i <= a->pic_size_in_map_units_minus1; i++)
          if (a->slice_group_id[i] != b->slice_group_id[i]) return false;
        break;
      default:
        break;
    }
  }
  return a->num_ref_idx_l0_default_active_minus1 == b->num_ref_idx_l0_default_active_minus1 &&
         a->num_ref_idx_l1_default_active_minus1 == b->num_ref_idx_l1_default_active_minus1 &&
         a->weighted_pred_flag == b->weighted_pred_flag && a->weighted_bipred_idc == b->weighted_bipred_idc &&
         a->pic_init_qp_minus26 == b->pic_init_qp_minus26 && a->pic_init_qs_minus26 == b->pic_init_qs_minus26 &&
         a->chroma_qp_index_offset == b->chroma_qp_index_offset &&
         a->deblocking_filter_control_present_flag == b->deblocking_filter_control_present_flag &&
         a->constrained_intra_pred_flag == b->constrained_intra_pred_flag &&
         a->redundant_pic_cnt_present_flag == b->redundant_pic_cnt_present_flag;
}

static void setup_partition(const NALU_t* nalu, Bitstream* s, DataPartition* p) {
  // payload = the bytes after the NAL header, up to the stop bit's byte
  const int len = nalu->len > 1 ? static_cast<int>(nalu->len) - 1 : 0;
  init_bitstream(s, nalu->buf + 1, len > 0 ? rbsp_payload_length(nalu->buf + 1, len) : 0);
  p->bitstream = s;
}

// VUI timing handed back to the caller, whose int fields must hold it: ratios
// of larger terms are halved until they fit.
static void hand_back_timing(NALU_t* nalu, const seq_parameter_set_rbsp_t* sps) {
  const vui_parameters_t* v = &sps->vui_seq_parameters;
  if (!sps->vui_parameters_present_flag || !v->timing_info_present_flag) {
    nalu->vui_time_scale = 50;
    nalu->vui_num_units_in_tick = 1;
    return;
  }
  u64 ts = v->time_scale, tick = v->num_units_in_tick;
  while (ts > INT_MAX || tick > INT_MAX) {
    ts >>= 1;
    tick >>= 1;
  }
  nalu->vui_time_scale = static_cast<int>(ts);
  nalu->vui_num_units_in_tick = static_cast<int>(tick);
}

bool ProcessSPS(NALU_t* nalu) {
  seq_parameter_set_rbsp_t* sps =
      static_cast<seq_parameter_set_rbsp_t*>(calloc(1, sizeof(seq_parameter_set_rbsp_t)));
  if (!sps) no_mem_exit("AllocSPS: SPS");
  Bitstream s;
  DataPartition p;
  setup_partition(nalu, &s, &p);
  InterpretSPS(&p, sps);
  if (sps->Valid) {
    // Valid implies seq_parameter_set_id < MAXSPS.
    if (active_sps && active_sps->seq_parameter_set_id == sps->seq_parameter_set_id) {
      if (!active_sps->Valid || !sps_is_equal(sps, active_sps)) active_sps = nullptr;
    }
    SeqParSet[sps->seq_parameter_set_id] = *sps;  // MakeSPSavailable
    stored_sps_id = sps->seq_parameter_set_id;
    hand_back_timing(nalu, sps);
  }
  const bool stored = sps->Valid != 0;
  free(sps);
  return stored;
}

bool ProcessPPS(NALU_t* nalu) {
  pic_parameter_set_rbsp_t* pps =
      static_cast<pic_parameter_set_rbsp_t*>(calloc(1, sizeof(pic_parameter_set_rbsp_t)));
  if (!pps) no_mem_exit("AllocPPS: PPS");
  // Not cleared: only slice group map type 6 reads entries, and only the
  // ones its parse wrote (0..pic_size_in_map_units_minus1). Clearing 240 KB
  // for every PPS cost more than the rest of the set's parse.
  pps->slice_group_id = static_cast<unsigned*>(malloc(MAX_SLICE_GROUP_IDS * sizeof(unsigned)));
  if (!pps->slice_group_id) no_mem_exit("AllocPPS: slice_group_id");
  Bitstream s;
  DataPartition p;
  setup_partition(nalu, &s, &p);
  InterpretPPS(&p, pps);
  if (pps->Valid) {
    // Valid implies pic_parameter_set_id < MAXPPS.
    if (active_pps && active_pps->pic_parameter_set_id == pps->pic_parameter_set_id) {
      if (!active_pps->Valid || !pps_is_equal(pps, active_pps)) active_pps = nullptr;
    }
    pic_parameter_set_rbsp_t* slot = &PicParSet[pps->pic_parameter_set_id];  // MakePPSavailable
    if (slot->Valid) free(slot->slice_group_id);
    *slot = *pps;  // the slot takes over the slice_group_id array
  } else {
    free(pps->slice_group_id);
  }
  const bool stored = pps->Valid != 0;
  free(pps);
  return stored;
}

static void activate_sps(seq_parameter_set_rbsp_t* sps) {
  if (active_sps == sps) return;
  active_sps = sps;
  img->MaxFrameNum = 1u << (sps->log2_max_frame_num_minus4 + 4);  // exponent <= 16 in a Valid set
  const int PicWidthInMbs = static_cast<int>(sps->pic_width_in_mbs_minus1) + 1;
  const int FrameHeightInMbs =
      (2 - static_cast<int>(sps->frame_mbs_only_flag)) * (static_cast<int>(sps->pic_height_in_map_units_minus1) + 1);
  // The crop of this very set: the last SPS parsed may belong to another id.
  int cw, ch;
  sps_crop(sps, &cw, &ch);
  Picture_Width = 16 * PicWidthInMbs - cw;
  Picture_Height = 16 * FrameHeightInMbs - ch;
  Picture_Chroma_Format = static_cast<int>(sps->chroma_format_idc);
  Picture_Bit_Depth = static_cast<int>(sps->bit_depth_luma_minus8) + 8;
}

int UseParameterSet(int pps_id) {
  if (pps_id < 0 || pps_id >= MAXPPS) return -1;
  pic_parameter_set_rbsp_t* pps = &PicParSet[pps_id];
  if (!pps->Valid || pps->seq_parameter_set_id >= MAXSPS) return -1;
  seq_parameter_set_rbsp_t* sps = &SeqParSet[pps->seq_parameter_set_id];
  if (!sps->Valid) return -1;
  if (sps->pic_order_cnt_type > 2) {
    printf("invalid sps->pic_order_cnt_type = %d\n", static_cast<int>(sps->pic_order_cnt_type));
    ostrel_exit(-1000);
  }
  if (sps->pic_order_cnt_type == 1 && sps->num_ref_frames_in_pic_order_cnt_cycle > 255) {
    printf("num_ref_frames_in_pic_order_cnt_cycle too large\n");
    ostrel_exit(-1011);
  }
  activate_sps(sps);
  active_pps = pps;  // activate_pps
  return 0;
}

void reset_parset() {
  active_sps = nullptr;
  active_pps = nullptr;
  SeqParSet[0].Valid = 0;
  *img = img_par{};  // MaxFrameNum is set again when a slice activates an SPS
}
