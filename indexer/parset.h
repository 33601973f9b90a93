// H.264 sequence and picture parameter sets: syntax (clauses 7.3.2.1, 7.3.2.2,
// E.1), the id-indexed stores, and activation by a slice or a picture timing
// message. Also the RBSP bit reader and the picture/slice state `img_par`
// shared by the AVC analysis (avc.cpp) and the SEI reader (sei.cpp).
#pragma once

#include "global.h"

// ---------------------------------------------------------------- bit reading
// One RBSP payload. A read that would pass bitstream_length yields 0, leaves
// frame_bitoffset where the field began and sets ei_flag; so a reader never
// touches a byte beyond streamBuffer[bitstream_length - 1].
struct Bitstream {
  int frame_bitoffset;                  // read position in bits from streamBuffer[0]
  int bitstream_length;                 // payload bytes
  const unsigned char* streamBuffer;    // first payload byte (the byte after the NAL header)
  int ei_flag;                          // 1 once a read ran past the payload
};
struct DataPartition {
  Bitstream* bitstream;
};

void init_bitstream(Bitstream* s, const unsigned char* payload, int length);
unsigned read_u(Bitstream* s, int n);   // u(n), 0 <= n <= 32
unsigned read_ue(Bitstream* s);         // ue(v); codes of more than 31 leading zeros are refused
int read_se(Bitstream* s);              // se(v)
bool more_rbsp_data(const Bitstream* s);
// Length of a payload up to and including the byte that holds its last 1 bit
// (the RBSP stop bit); 0 when the payload holds no 1 bit.
int rbsp_payload_length(const unsigned char* payload, int length);
// Exp-Golomb mappings of a code of len bits whose info part is info.
void linfo_ue(int len, int info, int* value);
void linfo_se(int len, int info, int* value);

// ---------------------------------------------------------------- records
constexpr int MAXSPS = 32;                       // SPS store slots (seq_parameter_set_id 0..31)
constexpr int MAXPPS = 256;                      // PPS store slots (pic_parameter_set_id 0..255)
constexpr unsigned MAX_SLICE_GROUPS = 8;         // num_slice_groups_minus1 0..7
constexpr unsigned MAX_SLICE_GROUP_IDS = 60000;  // slice_group_id entries per PPS
constexpr unsigned MAX_CPB_CNT = 32;             // cpb_cnt_minus1 0..31
constexpr unsigned MAX_POC_CYCLE = 256;          // offset_for_ref_frame entries kept
constexpr unsigned MAX_LOG2_MINUS4 = 12;         // log2_max_frame_num / poc lsb, minus 4

struct hrd_parameters_t {
  unsigned cpb_cnt_minus1;
  unsigned bit_rate_scale;
  unsigned cpb_size_scale;
  unsigned bit_rate_value_minus1[MAX_CPB_CNT];
  unsigned cpb_size_value_minus1[MAX_CPB_CNT];
  unsigned cbr_flag[MAX_CPB_CNT];
  unsigned initial_cpb_removal_delay_length_minus1;
  unsigned cpb_removal_delay_length_minus1;
  unsigned dpb_output_delay_length_minus1;
  unsigned time_offset_length;
};

struct vui_parameters_t {
  unsigned aspect_ratio_info_present_flag;
  unsigned aspect_ratio_idc;
  unsigned sar_width;
  unsigned sar_height;
  unsigned overscan_info_present_flag;
  unsigned overscan_appropriate_flag;
  unsigned video_signal_type_present_flag;
  unsigned video_format;
  unsigned video_full_range_flag;
  unsigned colour_description_present_flag;
  unsigned colour_primaries;
  unsigned transfer_characteristics;
  unsigned matrix_coefficients;
  unsigned chroma_loc_info_present_flag;
  unsigned chroma_sample_loc_type_top_field;
  unsigned chroma_sample_loc_type_bottom_field;
  unsigned timing_info_present_flag;
  unsigned num_units_in_tick;
  unsigned time_scale;
  unsigned fixed_frame_rate_flag;
  unsigned nal_hrd_parameters_present_flag;
  hrd_parameters_t nal_hrd_parameters;
  unsigned vcl_hrd_parameters_present_flag;
  hrd_parameters_t vcl_hrd_parameters;
  unsigned low_delay_hrd_flag;
  unsigned pic_struct_present_flag;
  unsigned bitstream_restriction_flag;
  unsigned motion_vectors_over_pic_boundaries_flag;
  unsigned max_bytes_per_pic_denom;
  unsigned max_bits_per_mb_denom;
  unsigned log2_max_mv_length_vertical;    // held vertical first; the stream carries horizontal first
  unsigned log2_max_mv_length_horizontal;
  unsigned num_reorder_frames;
  unsigned max_dec_frame_buffering;
};

struct seq_parameter_set_rbsp_t {
  unsigned Valid;                        // 1 when the parse completed and every bound held
  unsigned profile_idc;
  unsigned constraint_set0_flag, constraint_set1_flag, constraint_set2_flag;
  unsigned constraint_set3_flag, constraint_set4_flag, constraint_set5_flag;
  unsigned level_idc;
  unsigned seq_parameter_set_id;         // < MAXSPS when Valid
  unsigned chroma_format_idc;
  unsigned seq_scaling_matrix_present_flag;
  unsigned seq_scaling_list_present_flag[12];  // 8 lists, 12 in 4:4:4
  int ScalingList4x4[6][16];
  int ScalingList8x8[6][64];
  int UseDefaultScalingMatrix4x4Flag[6];
  int UseDefaultScalingMatrix8x8Flag[6];
  unsigned bit_depth_luma_minus8;
  unsigned bit_depth_chroma_minus8;
  unsigned log2_max_frame_num_minus4;    // <= MAX_LOG2_MINUS4 when Valid
  unsigned pic_order_cnt_type;
  unsigned log2_max_pic_order_cnt_lsb_minus4;  // <= MAX_LOG2_MINUS4 when Valid
  unsigned delta_pic_order_always_zero_flag;
  int offset_for_non_ref_pic;
  int offset_for_top_to_bottom_field;
  unsigned num_ref_frames_in_pic_order_cnt_cycle;  // may exceed MAX_POC_CYCLE; activation refuses that
  int offset_for_ref_frame[MAX_POC_CYCLE];
  unsigned num_ref_frames;
  unsigned gaps_in_frame_num_value_allowed_flag;
  unsigned pic_width_in_mbs_minus1;
  unsigned pic_height_in_map_units_minus1;
  unsigned frame_mbs_only_flag;
  unsigned mb_adaptive_frame_field_flag;
  unsigned direct_8x8_inference_flag;
  unsigned frame_cropping_flag;
  unsigned frame_crop_left_offset;
  unsigned frame_crop_right_offset;
  unsigned frame_crop_top_offset;
  unsigned frame_crop_bottom_offset;
  unsigned vui_parameters_present_flag;
  vui_parameters_t vui_seq_parameters;
};

struct pic_parameter_set_rbsp_t {
  unsigned Valid;                        // 1 when parsed and every bound held
  unsigned pic_parameter_set_id;         // < MAXPPS when Valid
  unsigned seq_parameter_set_id;         // < MAXSPS when Valid
  unsigned entropy_coding_mode_flag;
  unsigned transform_8x8_mode_flag;
  unsigned pic_scaling_matrix_present_flag;
  unsigned pic_scaling_list_present_flag[12];
  int ScalingList4x4[6][16];
  int ScalingList8x8[6][64];
  int UseDefaultScalingMatrix4x4Flag[6];
  int UseDefaultScalingMatrix8x8Flag[6];
  unsigned bottom_field_pic_order_in_frame_present_flag;
  unsigned num_slice_groups_minus1;      // < MAX_SLICE_GROUPS when Valid
  unsigned slice_group_map_type;
  unsigned run_length_minus1[MAX_SLICE_GROUPS];
  unsigned top_left[MAX_SLICE_GROUPS];
  unsigned bottom_right[MAX_SLICE_GROUPS];
  unsigned slice_group_change_direction_flag;
  unsigned slice_group_change_rate_minus1;
  unsigned pic_size_in_map_units_minus1; // < MAX_SLICE_GROUP_IDS when Valid and map type 6
  unsigned* slice_group_id;              // MAX_SLICE_GROUP_IDS entries, owned by the record
  unsigned num_ref_idx_l0_default_active_minus1;
  unsigned num_ref_idx_l1_default_active_minus1;
  unsigned weighted_pred_flag;
  unsigned weighted_bipred_idc;
  int pic_init_qp_minus26;
  int pic_init_qs_minus26;
  int chroma_qp_index_offset;
  int second_chroma_qp_index_offset;
  unsigned deblocking_filter_control_present_flag;
  unsigned constrained_intra_pred_flag;
  unsigned redundant_pic_cnt_present_flag;
};

// ---------------------------------------------------------------- picture and slice state
// img_par: the H.264 slice being read and the picture order count state of
// clause 8.2.1. Written by avc.cpp (slice fields, counts), parset.cpp
// (MaxFrameNum, crop) and sei.cpp (recovery_frame_cnt).
struct img_par {
  int type;                        // slice_type % 5
  int raw_type;                    // slice_type as coded, 0..9
  unsigned first_mb_in_slice;
  unsigned pic_parameter_set_id;
  unsigned frame_num;
  int field_pic_flag, bottom_field_flag;
  int structure;                   // 0 frame, 1 top field, 2 bottom field
  int MbaffFrameFlag;
  int idr_flag;
  int nal_reference_idc;
  unsigned idr_pic_id;
  unsigned pic_order_cnt_lsb;
  int delta_pic_order_cnt_bottom;
  int delta_pic_order_cnt[2];
  // picture order count state; 64-bit so that no stream can overflow it
  i64 PrevPicOrderCntMsb;
  unsigned PrevPicOrderCntLsb;
  i64 PicOrderCntMsb;
  i64 FrameNumOffset, PreviousFrameNumOffset;
  unsigned PreviousFrameNum;
  int toppoc, bottompoc, framepoc;
  unsigned MaxFrameNum;            // 2^(log2_max_frame_num_minus4 + 4) of the active SPS
  int crop_width, crop_height;     // of the last SPS parsed (kept for the report; size uses the active SPS)
  unsigned recovery_frame_cnt;     // of the last recovery point message
};
extern img_par* img;

// ---------------------------------------------------------------- stores and activation
extern seq_parameter_set_rbsp_t SeqParSet[MAXSPS];
extern pic_parameter_set_rbsp_t PicParSet[MAXPPS];
extern seq_parameter_set_rbsp_t* active_sps;     // points into SeqParSet, or null
extern pic_parameter_set_rbsp_t* active_pps;     // points into PicParSet, or null

int InterpretSPS(DataPartition* p, seq_parameter_set_rbsp_t* sps);
void ReadVUI(DataPartition* p, seq_parameter_set_rbsp_t* sps);
void ReadHRDParameters(DataPartition* p, hrd_parameters_t* hrd);
void Scaling_List(int* list, int size, int* useDefault, Bitstream* s);
int InterpretPPS(DataPartition* p, pic_parameter_set_rbsp_t* pps);

// The unit record describes one set without start code and with emulation
// prevention removed: buf at the NAL header byte, len = header + payload.
// ProcessSPS hands the VUI timing back in vui_time_scale / vui_num_units_in_tick
// (50 / 1 when the set carries none). Both return true when the set was valid
// and stored; a set that is not valid leaves the store and the unit record as
// they were.
bool ProcessSPS(NALU_t* nalu);
// Store slot of the set that the last successful ProcessSPS stored.
extern unsigned stored_sps_id;
bool ProcessPPS(NALU_t* nalu);
bool sps_is_equal(const seq_parameter_set_rbsp_t* a, const seq_parameter_set_rbsp_t* b);
bool pps_is_equal(const pic_parameter_set_rbsp_t* a, const pic_parameter_set_rbsp_t* b);
// 0 after activating the PPS and the SPS that it names; -1 when either is
// missing. Ends the process on a picture order count that cannot be handled.
int UseParameterSet(int pps_id);
// Crop amounts of clause 7.4.2.1.1 for one SPS.
void sps_crop(const seq_parameter_set_rbsp_t* sps, int* crop_width, int* crop_height);
// Analysis reset: no set active, SPS slot 0 not valid, picture state cleared.
void reset_parset();
