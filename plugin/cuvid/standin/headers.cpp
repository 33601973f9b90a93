#include "headers.h"

namespace standin {

// Largest picture side the stand-in accepts from a header; anything larger is
// taken as a corrupt header rather than allocated.
static const int kMaxSide = 16384;

uint32_t BitReader::u(int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) {
    uint32_t bit = 0;
    if (pos_ < size_bits_) {
      bit = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
      pos_++;
    } else {
      error_ = true;
    }
    v = (v << 1) | bit;
  }
  return v;
}

uint32_t BitReader::ue() {
  int zeros = 0;
  while (u(1) == 0) {
    if (error_ || ++zeros > 31) {
      error_ = true;
      return 0;
    }
  }
  if (zeros == 0) return 0;
  return ((1u << zeros) - 1) + u(zeros);
}

int32_t BitReader::se() {
  uint32_t k = ue();
  // k + 1 cannot overflow: ue() is at most 2^32 - 2.
  return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
}

void BitReader::skip(size_t n) {
  if (n > left()) {
    pos_ = size_bits_;
    error_ = true;
  } else {
    pos_ += n;
  }
}

std::vector<uint8_t> unescape_rbsp(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; i++) {
    if (zeros >= 2 && data[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    out.push_back(data[i]);
  }
  return out;
}

// H.264 scaling_list(): only walked, the values are not needed.
static void skip_scaling_list(BitReader& br, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && !br.error(); j++) {
    if (next != 0) {
      int delta = br.se();
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

bool parse_h264_sps(const uint8_t* rbsp, size_t size, SeqInfo& out) {
  std::vector<uint8_t> b = unescape_rbsp(rbsp, size);
  BitReader br(b.data(), b.size());
  SeqInfo s;
  s.align = 16;
  unsigned profile_idc = br.u(8);
  br.u(8);  // constraint_set flags, reserved_zero_2bits
  br.u(8);  // level_idc
  if (br.ue() > 31) return false;  // seq_parameter_set_id
  bool separate_colour_plane = false;
  switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135: {
      s.chroma_format = static_cast<int>(br.ue());
      if (s.chroma_format > 3) return false;
      if (s.chroma_format == 3) separate_colour_plane = br.u(1);
      uint32_t luma = br.ue(), chroma = br.ue();
      if (luma > 6 || chroma > 6) return false;
      s.bit_depth_luma = 8 + static_cast<int>(luma);
      s.bit_depth_chroma = 8 + static_cast<int>(chroma);
      br.u(1);  // qpprime_y_zero_transform_bypass_flag
      if (br.u(1)) {  // seq_scaling_matrix_present_flag
        int lists = s.chroma_format != 3 ? 8 : 12;
        for (int i = 0; i < lists && !br.error(); i++)
          if (br.u(1)) skip_scaling_list(br, i < 6 ? 16 : 64);
      }
      break;
    }
    default:
      break;
  }
  if (br.ue() > 12) return false;  // log2_max_frame_num_minus4
  uint32_t poc_type = br.ue();
  if (poc_type == 0) {
    if (br.ue() > 12) return false;  // log2_max_pic_order_cnt_lsb_minus4
  } else if (poc_type == 1) {
    br.u(1);  // delta_pic_order_always_zero_flag
    br.se();  // offset_for_non_ref_pic
    br.se();  // offset_for_top_to_bottom_field
    uint32_t cycle = br.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && !br.error(); i++) br.se();
  } else if (poc_type != 2) {
    return false;
  }
  uint32_t max_num_ref_frames = br.ue();
  if (max_num_ref_frames > 16) return false;
  br.u(1);  // gaps_in_frame_num_value_allowed_flag
  uint32_t width_mbs = br.ue() + 1;
  uint32_t height_units = br.ue() + 1;
  bool frame_mbs_only = br.u(1);
  if (!frame_mbs_only) br.u(1);  // mb_adaptive_frame_field_flag
  br.u(1);                       // direct_8x8_inference_flag
  if (width_mbs > kMaxSide / 16 || height_units > kMaxSide / 16) return false;
  s.width = static_cast<int>(width_mbs) * 16;
  s.height = static_cast<int>(height_units) * 16 * (frame_mbs_only ? 1 : 2);
  if (s.height > kMaxSide) return false;
  if (br.u(1)) {  // frame_cropping_flag
    int unit_x = 1, unit_y = frame_mbs_only ? 1 : 2;
    if (s.chroma_format != 0 && !separate_colour_plane) {
      unit_x *= s.chroma_format == 3 ? 1 : 2;
      unit_y *= s.chroma_format == 1 ? 2 : 1;
    }
    uint32_t c[4];
    for (uint32_t& v : c) v = br.ue();
    // Each offset is checked alone first so that the products cannot overflow.
    for (uint32_t v : c)
      if (v > static_cast<uint32_t>(kMaxSide)) return false;
    s.crop_left = static_cast<int>(c[0]) * unit_x;
    s.crop_right = static_cast<int>(c[1]) * unit_x;
    s.crop_top = static_cast<int>(c[2]) * unit_y;
    s.crop_bottom = static_cast<int>(c[3]) * unit_y;
    if (s.crop_left + s.crop_right >= s.width || s.crop_top + s.crop_bottom >= s.height)
      return false;
  }
  if (br.error()) return false;
  s.progressive_sequence = frame_mbs_only;
  s.dpb_size = static_cast<int>(max_num_ref_frames) + 1;
  out = s;
  return true;
}

// H.265 profile_tier_level(1, max_sub_layers_minus1): walked only.
static void skip_profile_tier_level(BitReader& br, int max_sub_layers_minus1, bool& progressive) {
  br.u(8);   // general_profile_space, tier, profile_idc
  br.u(32);  // general_profile_compatibility_flag[32]
  bool progressive_source = br.u(1);
  bool interlaced_source = br.u(1);
  progressive = progressive_source || !interlaced_source;
  br.skip(2 + 43 + 1);  // non_packed, frame_only, reserved 43 bits, inbld/reserved
  br.u(8);              // general_level_idc
  bool profile_present[8] = {}, level_present[8] = {};
  for (int i = 0; i < max_sub_layers_minus1; i++) {
    profile_present[i] = br.u(1);
    level_present[i] = br.u(1);
  }
  if (max_sub_layers_minus1 > 0)
    for (int i = max_sub_layers_minus1; i < 8; i++) br.u(2);  // reserved_zero_2bits
  for (int i = 0; i < max_sub_layers_minus1; i++) {
    if (profile_present[i]) br.skip(88);
    if (level_present[i]) br.skip(8);
  }
}

namespace {

// Most significant bit first; bytes are zero until written.
struct BitWriter {
  std::vector<uint8_t> bytes;
  size_t bits = 0;
  void u(int n, uint32_t v) {
    for (int i = n - 1; i >= 0; i--, bits++) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((v >> i) & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
    }
  }
};

}  // namespace

std::vector<uint8_t> make_hevc_vps(const uint8_t* rbsp, size_t size) {
  std::vector<uint8_t> b = unescape_rbsp(rbsp, size);
  BitReader br(b.data(), b.size());
  const uint32_t vps_id = br.u(4);
  const uint32_t max_sub_layers_minus1 = br.u(3);
  const uint32_t nesting = br.u(1);
  if (max_sub_layers_minus1 > 6) return {};
  bool progressive = true;
  skip_profile_tier_level(br, static_cast<int>(max_sub_layers_minus1), progressive);
  if (br.error()) return {};
  const size_t ptl_end = b.size() * 8 - br.left();

  BitWriter w;
  w.u(4, vps_id);
  w.u(1, 1);       // vps_base_layer_internal_flag
  w.u(1, 1);       // vps_base_layer_available_flag
  w.u(6, 0);       // vps_max_layers_minus1
  w.u(3, max_sub_layers_minus1);
  w.u(1, nesting); // vps_temporal_id_nesting_flag
  w.u(16, 0xFFFF); // vps_reserved_0xffff_16bits
  BitReader ptl(b.data(), b.size());
  ptl.skip(8);
  for (size_t i = 8; i < ptl_end; i++) w.u(1, ptl.u(1));
  w.u(1, 0);  // vps_sub_layer_ordering_info_present_flag: one entry follows
  w.u(3, 7);  // ue(0) each: max_dec_pic_buffering_minus1, max_num_reorder_pics, max_latency_increase_plus1
  w.u(6, 0);  // vps_max_layer_id
  w.u(1, 1);  // vps_num_layer_sets_minus1 = ue(0)
  w.u(1, 0);  // vps_timing_info_present_flag
  w.u(1, 0);  // vps_extension_flag
  w.u(1, 1);  // rbsp_stop_one_bit; the alignment bits are zero

  std::vector<uint8_t> unit = {0x00, 0x00, 0x01, 32 << 1, 0x01};  // VPS, layer 0, temporal id 1
  int zeros = 0;
  for (uint8_t byte : w.bytes) {
    if (zeros >= 2 && byte <= 3) {  // emulation prevention
      unit.push_back(3);
      zeros = 0;
    }
    unit.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return unit;
}

bool parse_hevc_sps(const uint8_t* rbsp, size_t size, SeqInfo& out) {
  std::vector<uint8_t> b = unescape_rbsp(rbsp, size);
  BitReader br(b.data(), b.size());
  SeqInfo s;
  br.u(4);  // sps_video_parameter_set_id
  int max_sub_layers_minus1 = static_cast<int>(br.u(3));
  if (max_sub_layers_minus1 > 6) return false;
  br.u(1);  // sps_temporal_id_nesting_flag
  skip_profile_tier_level(br, max_sub_layers_minus1, s.progressive_sequence);
  if (br.ue() > 15) return false;  // sps_seq_parameter_set_id
  s.chroma_format = static_cast<int>(br.ue());
  if (s.chroma_format > 3) return false;
  if (s.chroma_format == 3) br.u(1);  // separate_colour_plane_flag
  uint32_t w = br.ue(), h = br.ue();
  if (w == 0 || h == 0 || w > static_cast<uint32_t>(kMaxSide) || h > static_cast<uint32_t>(kMaxSide))
    return false;
  s.width = static_cast<int>(w);
  s.height = static_cast<int>(h);
  if (br.u(1)) {  // conformance_window_flag
    int sub_w = (s.chroma_format == 1 || s.chroma_format == 2) ? 2 : 1;
    int sub_h = s.chroma_format == 1 ? 2 : 1;
    uint32_t c[4];
    for (uint32_t& v : c) v = br.ue();
    for (uint32_t v : c)
      if (v > static_cast<uint32_t>(kMaxSide)) return false;
    s.crop_left = static_cast<int>(c[0]) * sub_w;
    s.crop_right = static_cast<int>(c[1]) * sub_w;
    s.crop_top = static_cast<int>(c[2]) * sub_h;
    s.crop_bottom = static_cast<int>(c[3]) * sub_h;
    if (s.crop_left + s.crop_right >= s.width || s.crop_top + s.crop_bottom >= s.height)
      return false;
  }
  uint32_t luma = br.ue(), chroma = br.ue();
  if (luma > 8 || chroma > 8) return false;
  s.bit_depth_luma = 8 + static_cast<int>(luma);
  s.bit_depth_chroma = 8 + static_cast<int>(chroma);
  if (br.ue() > 12) return false;  // log2_max_pic_order_cnt_lsb_minus4
  bool ordering_all = br.u(1);
  uint32_t dpb = 1;
  for (int i = ordering_all ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1; i++) {
    uint32_t max_dec = br.ue();  // sps_max_dec_pic_buffering_minus1
    br.ue();                     // sps_max_num_reorder_pics
    br.ue();                     // sps_max_latency_increase_plus1
    if (max_dec > 15) return false;
    if (max_dec + 1 > dpb) dpb = max_dec + 1;
  }
  uint32_t log2_min_cb = br.ue() + 3;
  uint32_t log2_diff = br.ue();
  if (log2_min_cb > 6 || log2_diff > 3 || log2_min_cb + log2_diff > 6 || log2_min_cb + log2_diff < 4)
    return false;
  if (br.error()) return false;
  s.align = 1 << (log2_min_cb + log2_diff);
  s.dpb_size = static_cast<int>(dpb);
  out = s;
  return true;
}

bool parse_mpeg2_sequence(const uint8_t* hdr, size_t hdr_size, const uint8_t* ext, size_t ext_size,
                          SeqInfo& out) {
  BitReader br(hdr, hdr_size);
  SeqInfo s;
  s.align = 16;
  uint32_t w = br.u(12), h = br.u(12);
  if (br.error()) return false;
  if (ext) {
    BitReader e(ext, ext_size);
    if (e.u(4) != 1) return false;  // extension_start_code_identifier: sequence extension
    e.u(8);                         // profile_and_level_indication
    s.progressive_sequence = e.u(1);
    s.chroma_format = static_cast<int>(e.u(2));
    w |= e.u(2) << 12;              // horizontal_size_extension
    h |= e.u(2) << 12;              // vertical_size_extension
    if (e.error() || s.chroma_format == 0) return false;
  }
  if (w == 0 || h == 0 || w > static_cast<uint32_t>(kMaxSide) || h > static_cast<uint32_t>(kMaxSide))
    return false;
  s.width = static_cast<int>(w);
  s.height = static_cast<int>(h);
  s.dpb_size = 2;
  out = s;
  return true;
}

bool parse_mpeg2_picture_extension(const uint8_t* ext, size_t size, Mpeg2PictureFlags& out) {
  BitReader br(ext, size);
  if (br.u(4) != 8) return false;  // picture coding extension
  br.u(16);                        // f_code[2][2]
  br.u(2);                         // intra_dc_precision
  Mpeg2PictureFlags f;
  f.picture_structure = static_cast<int>(br.u(2));
  f.top_field_first = br.u(1);
  br.u(5);  // frame_pred_frame_dct .. alternate_scan
  f.repeat_first_field = br.u(1);
  br.u(1);  // chroma_420_type
  f.progressive_frame = br.u(1);
  if (br.error() || f.picture_structure == 0) return false;
  out = f;
  return true;
}

}  // namespace standin
