// H.265/HEVC picture analysis and the HEVC variant of the index file.
//
// parse_nalu_hevc looks at one unit at a time: frame rate from VPS (or the
// SPS's VUI), size, depth, colour and HDR signalling from SPS and SEI, the
// few PPS fields the slice header needs, and the POC of the first slice
// segment of every picture. Pictures go into a table in decode order;
// index_hevc writes them, sorted into display order, after the input ended.
#include "hevc.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "Matroska.h"
#include "mp4.h"
#include "BitstreamReader.h"
#include "HevcParserImpl.h"
#include "decode.h"
#include "index.h"
#include "nalu.h"
#include "rbsp.h"
#include "ts.h"

// ---------------------------------------------------------------- NAL unit types (H.265 Table 7-1)
enum : int {
  NAL_TRAIL_N = 0, NAL_TSA_N = 2, NAL_STSA_N = 4,
  NAL_RADL_N = 6, NAL_RADL_R = 7, NAL_RASL_N = 8, NAL_RASL_R = 9,
  NAL_BLA_W_LP = 16, NAL_BLA_W_RADL = 17, NAL_BLA_N_LP = 18,
  NAL_IDR_W_RADL = 19, NAL_IDR_N_LP = 20, NAL_CRA_NUT = 21,
  NAL_VPS = 32, NAL_SPS = 33, NAL_PPS = 34,
  NAL_EOS = 36, NAL_EOB = 37, NAL_PREFIX_SEI = 39,
};

static bool is_bla(int t) { return t >= NAL_BLA_W_LP && t <= NAL_BLA_N_LP; }
static bool is_idr(int t) { return t == NAL_IDR_W_RADL || t == NAL_IDR_N_LP; }
static bool is_irap(int t) { return t >= NAL_BLA_W_LP && t <= NAL_CRA_NUT; }
static bool is_leading(int t) { return t >= NAL_RADL_N && t <= NAL_RASL_R; }
// Sub-layer non-reference pictures among the types that can anchor a POC.
static bool is_sub_layer_non_ref(int t) {
  return t == NAL_TRAIL_N || t == NAL_TSA_N || t == NAL_STSA_N;
}

// ---------------------------------------------------------------- picture table
// Twelve bytes per picture: a long stream holds one entry per picture until
// its end, so the positions, which only IRAP pictures have, stand apart.
struct HevcIndexEntry {
  int32_t poc;            // picture order count
  u32 irap;               // IRAP pictures only: index of the position in irap_positions
  uint8_t nal_unit_type;  // of the picture's first slice segment (0-9, 16-21)
  uint8_t slice_type;     // 0 B, 1 P, 2 I, as coded
  bool starts_run;        // POC restarted here (IDR, BLA, CRA that began a sequence)
  bool unread;            // a Matroska frame without a readable header: its POC follows from its time
  u64 shown;              // presentation time (index.h), kNoTime for none
};

// Filled in decode order. They grow as needed (long streams exceed any fixed
// size that would be sensible to allocate up front); allocation failure ends
// the run through no_mem_exit.
static std::vector<HevcIndexEntry> index_entries;
static std::vector<u64> irap_positions;  // unit position (container time for 2, 4), decode order
// Matroska: the frame time of each entry (until the order counts of the
// unread entries are found).
static std::vector<u64> entry_times;

// ---------------------------------------------------------------- analysis state
static int32_t prevTid0POC;                 // POC anchor of the derivation (H.265 8.3.1)
static int32_t prev_poc;                    // POC of the last picture accepted
static bool new_sequence;                   // no picture yet, or the last unit ended a sequence
static u32 log2_max_pic_order_cnt_lsb_minus4;  // of the latest SPS, at most 12
static u64 hadSPS, hadPPS;                  // positions of the latest SPS / PPS; all ones = none
static std::vector<unsigned char> last_sps, last_pps;  // last written units from the NAL header, cleaned
static bool keyword_header_written;         // header block goes out at the first accepted SPS

// Latest PPS (one PPS only, whatever its id).
static u32 pps_pic_parameter_set_id, pps_seq_parameter_set_id;
static int dependent_slice_segments_enabled_flag, output_flag_present_flag;
static int num_extra_slice_header_bits;     // 0..7
static int separate_colour_plane_flag;      // of the latest SPS

// Frame-rate sources: the latest VPS's timing wins; without it, the latest
// SPS's VUI timing.
static bool vps_timing_present;
static bool vui_timing_present;
static u32 vui_time_scale, vui_num_units_in_tick;

static int frame_field_info_present_flag;   // of the first SPS's VUI
static int skipped_messages;                // corrupt-unit messages printed so far
// The IRAP picture after pictures lost to damage is a CRA or BLA picture:
// its RASL pictures reference lost ones.
static bool rasl_after_loss;
// The POC of the last IRAP picture recorded (INT32_MIN after a run begun
// past damage), and ts_video_gaps then.
static int32_t run_floor;
static unsigned run_gaps;
// The POC of the last IRAP picture recorded in the current run; INT32_MIN
// when the run has none yet.
static int32_t irap_floor;
static unsigned unit_gaps;  // ts_video_gaps when the unit before this one was parsed
// A trailing picture was recorded since the last IRAP picture: a leading
// picture now (which follows its IRAP picture before any trailing one, in
// decode order) belongs to an IRAP picture that was lost.
static bool trailing_since_irap;

int bit_depth;
int general_profile_idc, general_tier_flag, general_level_idc;
// display_aspect_ratio_x/y are shared in name with the VC-1 analysis, which
// defines them; one analysis runs per process.
bool hadPQ, hadHLG, hadPQmastering, hadPQlightlevel;
int pic_struct;
unsigned char hevc_mastering[24];
unsigned char light_level[4];
uint8_t preferred_transfer_characteristics;
bool AnchorPictureSeen;

// Work area: one unit from its NAL header on, emulation prevention removed.
// A cleaned unit is never longer than the unit, and units are at most
// NALU_BUFFER_SIZE bytes.
static unsigned char unit_buffer[NALU_BUFFER_SIZE];

static constexpr u64 NONE = ~u64(0);
static constexpr int MAX_SKIP_MESSAGES = 20;

// ---------------------------------------------------------------- encoder hint names (H.265 Annex E codes)
static const char* const colorprim_names[] = {
    "unknown", "bt709", "unknown", "reserved", "bt470m", "bt470bg", "smpte170m",
    "smpte240m", "film", "bt2020", "smpte428", "smpte431", "smpte432"};
static const char* const transfer_names[] = {
    "unknown", "bt709", "unknown", "reserved", "bt470m", "bt470bg", "smpte170m",
    "smpte240m", "linear", "log100", "log316", "iec61966-2-4", "bt1361e",
    "iec61966-2-1", "bt2020-10", "bt2020-12", "smpte2084", "smpte428", "arib-std-b67"};
static const char* const colormatrix_names[] = {
    "gbr", "bt709", "unknown", "reserved", "fcc", "bt470bg", "smpte170m", "smpte240m",
    "ycgco", "bt2020nc", "bt2020c", "smpte2085", "chroma-derived-nc", "chroma-derived-c",
    "ictcp"};

template <size_t N>
static const char* name_of(const char* const (&table)[N], int code) {
  if (code < 0 || size_t(code) >= N) return "unknown";
  return table[code];
}

// ---------------------------------------------------------------- helpers
static bool writing() { return Operation == 0 && p_aif != nullptr; }

static bool container_times() { return SystemStream_Flag == 2 || SystemStream_Flag == 4; }

static unsigned be16(const unsigned char* p) { return (unsigned(p[0]) << 8) | p[1]; }
static unsigned be32(const unsigned char* p) {
  return (unsigned(p[0]) << 24) | (unsigned(p[1]) << 16) | (unsigned(p[2]) << 8) | p[3];
}

// One message per corrupt unit, so a damaged stream is visible without
// flooding the console.
static void report_skipped(const char* what, u64 position, const char* why) {
  if (skipped_messages < MAX_SKIP_MESSAGES)
    fprintf(stderr, "HEVC %s at %" PRIu64 " skipped: %s\n", what, position, why);
  else if (skipped_messages == MAX_SKIP_MESSAGES)
    fprintf(stderr, "HEVC: further skipped units are not reported\n");
  skipped_messages++;
}

// Cleans the first len bytes of a unit (from its NAL header on) into
// unit_buffer. Returns the cleaned length.
static u32 clean_unit(const unsigned char* src, u32 len) {
  return remove_emulation_prevention(src, len, unit_buffer, EpRule::kAfterExactlyTwoZeros);
}

// A parameter-set unit is unchanged when its length and every byte after the
// two-byte NAL header are equal.
static bool same_unit(const std::vector<unsigned char>& last, const unsigned char* d, u32 len) {
  if (last.size() != len) return false;
  return len <= 2 || memcmp(last.data() + 2, d + 2, len - 2) == 0;
}

// Sets fps_num/fps_den/Frame_Rate from a time scale and tick; values beyond
// a signed 32-bit term count as no timing (snapped to 25000/1000).
static void set_rate(u32 time_scale, u32 num_units_in_tick) {
  int num = time_scale > u32(INT_MAX) ? 0 : int(time_scale);
  int den = num_units_in_tick > u32(INT_MAX) ? 0 : int(num_units_in_tick);
  snap_frame_rate(num, den);
}

// ---------------------------------------------------------------- VPS
static void handle_vps(const unsigned char* d, u32 len, u64 position) {
  VPS vps;
  try {
    BitstreamReader br(d + 2, len - 2);
    processVPS(&vps, br);
  } catch (const std::runtime_error& e) {
    report_skipped("VPS", position, e.what());
    return;
  }
  vps_timing_present = vps.vps_timing_info_present_flag != 0;
  if (vps_timing_present)
    set_rate(vps.vps_time_scale, vps.vps_num_units_in_tick);
  else if (vui_timing_present)
    set_rate(vui_time_scale, vui_num_units_in_tick);
  else
    snap_frame_rate(fps_num, fps_den);
}

// ---------------------------------------------------------------- SPS
static void write_header_block(const SPS& sps) {
  const VuiParameters& vui = sps.vui_parameters;
  const bool has_vui = sps.vui_parameters_present_flag != 0;

  write_keyword_header(bit_depth);
  const int chroma_location =
      has_vui && vui.colour_description_present_flag && vui.colour_primaries == 9 ? 2 : 0;
  if (writing()) fprintf(p_aif, "CHROMA_LOCATION %d\n", chroma_location);

  int aspect_w = 1, aspect_h = 1;
  if (has_vui && vui.aspect_ratio_info_present_flag) {
    if (vui.aspect_ratio_idc == 255) {
      sar_width = int(vui.sar_width);
      sar_height = int(vui.sar_height);
      display_aspect_ratio_x = sar_width;
      display_aspect_ratio_y = sar_height;
    } else {
      int w, h;
      if (vui.aspect_ratio_idc >= 1 && sar_from_idc(vui.aspect_ratio_idc, &w, &h)) {
        display_aspect_ratio_x = w;
        display_aspect_ratio_y = h;
      }
    }
    aspect_w = display_aspect_ratio_x;
    aspect_h = display_aspect_ratio_y;
  }

  if (has_vui && vui.video_signal_type_present_flag && vui.colour_description_present_flag) {
    coded_colour_primaries = vui.colour_primaries;
    coded_transfer_characteristics = vui.transfer_characteristics;
    coded_matrix_coefficients = vui.matrix_coeffs;
    if (vui.transfer_characteristics == 16) hadPQ = true;
    if (vui.transfer_characteristics == 18) hadHLG = true;
  } else {
    coded_colour_primaries = 2;
    coded_transfer_characteristics = 2;
    coded_matrix_coefficients = 2;
  }
  write_aspect_colorimetry(aspect_w, aspect_h, coded_matrix_coefficients,
                           coded_transfer_characteristics, coded_colour_primaries);
  if (has_vui) frame_field_info_present_flag = vui.frame_field_info_present_flag;
}

static void handle_sps(const unsigned char* d, u32 len, u64 position) {
  SPS sps;
  try {
    BitstreamReader br(d + 2, len - 2);
    processSPS(&sps, br);
  } catch (const std::runtime_error& e) {
    report_skipped("SPS", position, e.what());
    return;
  }

  // Displayed size (H.265 Table 6-1 for the chroma sample units of the
  // conformance window); terms are at most 2^32, so 64 bits cannot overflow.
  int64_t sub_w = 1, sub_h = 1;
  if (!sps.separate_colour_plane_flag) {
    if (sps.chroma_format_idc == 1) sub_w = sub_h = 2;
    else if (sps.chroma_format_idc == 2) sub_w = 2;
  }
  int64_t width = sps.pic_width_in_luma_samples;
  int64_t height = sps.pic_height_in_luma_samples;
  if (sps.conformance_window_flag) {
    width -= sub_w * (int64_t(sps.conf_win_left_offset) + sps.conf_win_right_offset);
    height -= sub_h * (int64_t(sps.conf_win_top_offset) + sps.conf_win_bottom_offset);
  }
  if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) {
    char why[160];
    snprintf(why, sizeof why, "displayed size %" PRId64 " x %" PRId64 " is not a picture", width,
             height);
    report_skipped("SPS", position, why);
    return;
  }

  // Every check passed: install.
  general_profile_idc = sps.profile_tier_level.general_profile_idc;
  general_tier_flag = sps.profile_tier_level.general_tier_flag;
  general_level_idc = sps.profile_tier_level.general_level_idc;
  bit_depth = int(sps.bit_depth_luma_minus8) + 8;
  separate_colour_plane_flag = sps.separate_colour_plane_flag;
  log2_max_pic_order_cnt_lsb_minus4 = sps.log2_max_pic_order_cnt_lsb_minus4;
  Picture_Width = int(width);
  Picture_Height = int(height);
  // (A change of format is refused by the picture loop, at the first
  // picture of the new one.)
  Picture_Chroma_Format = int(sps.chroma_format_idc);
  Picture_Bit_Depth = bit_depth;

  if (!keyword_header_written) {
    stream_chroma_format = int(sps.chroma_format_idc);
    stream_bit_depth = bit_depth;
    write_header_block(sps);
    keyword_header_written = true;
  }

  const VuiParameters& vui = sps.vui_parameters;
  vui_timing_present = sps.vui_parameters_present_flag && vui.vui_timing_info_present_flag;
  if (vui_timing_present) {
    vui_time_scale = vui.vui_time_scale;
    vui_num_units_in_tick = vui.vui_num_units_in_tick;
    if (!vps_timing_present) set_rate(vui_time_scale, vui_num_units_in_tick);
  }

  if (Operation == 0 && !same_unit(last_sps, d, len)) {
    last_sps.assign(d, d + len);
    if (!container_times() && writing()) fprintf(p_aif, "\nSPS %" PRIu64, position);
  }
  hadSPS = position;
}

// ---------------------------------------------------------------- PPS
static void handle_pps(const unsigned char* d, u32 len, u64 position) {
  if (hadSPS == NONE) return;
  u32 pps_id, sps_id;
  int dependent, output_flag, extra_bits;
  try {
    BitstreamReader br(d + 2, len - 2);
    pps_id = br.getGolombU();
    sps_id = br.getGolombU();
    dependent = int(br.getBits(1));
    output_flag = int(br.getBits(1));
    extra_bits = int(br.getBits(3));
    // The rest of the PPS is not needed by the slice header fields read here.
  } catch (const std::runtime_error& e) {
    report_skipped("PPS", position, e.what());
    return;
  }
  pps_pic_parameter_set_id = pps_id;
  pps_seq_parameter_set_id = sps_id;
  dependent_slice_segments_enabled_flag = dependent;
  output_flag_present_flag = output_flag;
  num_extra_slice_header_bits = extra_bits;

  if (Operation == 0 && !same_unit(last_pps, d, len)) {
    last_pps.assign(d, d + len);
    if (!container_times() && writing()) fprintf(p_aif, "\nPPS %" PRIu64, position);
  }
  hadPPS = position;
}

// ---------------------------------------------------------------- SEI
void print_color_mastering_info() {
  if (!writing()) return;
  fprintf(p_aif, "\nMASTERING");
  for (int i = 0; i < 8; i++) fprintf(p_aif, " %u", be16(hevc_mastering + 2 * i));
  fprintf(p_aif, " %u %u", be32(hevc_mastering + 16), be32(hevc_mastering + 20));
}

// One SEI message; payload holds size bytes inside the unit.
static void handle_sei_message(u64 type, const unsigned char* payload, u64 size) {
  switch (type) {
    case 1:  // picture timing
      if (frame_field_info_present_flag && size >= 1) {
        pic_struct = payload[0] >> 4;
        if (pic_struct == 0) field_order = 0;
        else if (pic_struct == 3) field_order = 1;
        else if (pic_struct == 4) field_order = 2;
      }
      break;
    case 137:  // mastering display colour volume: 24 bytes
      if (size >= sizeof hevc_mastering) {
        hadPQ = true;
        hadPQmastering = true;
        if (memcmp(hevc_mastering, payload, sizeof hevc_mastering) != 0) {
          memcpy(hevc_mastering, payload, sizeof hevc_mastering);
          print_color_mastering_info();
        }
      }
      break;
    case 144:  // content light level information: 4 bytes
      if (size >= sizeof light_level) {
        hadPQ = true;
        hadPQlightlevel = true;
        if (memcmp(light_level, payload, sizeof light_level) != 0) {
          memcpy(light_level, payload, sizeof light_level);
          if (writing())
            fprintf(p_aif, "\nLIGHT %u %u", be16(light_level), be16(light_level + 2));
        }
      }
      break;
    case 147:  // alternative transfer characteristics: 1 byte
      if (size >= 1) {
        hadHLG = true;
        if (payload[0] != preferred_transfer_characteristics) {
          preferred_transfer_characteristics = payload[0];
          if (writing())
            fprintf(p_aif, "\nPREFERRED TRANSFER CHARACTERISTICS %d",
                    int(preferred_transfer_characteristics));
        }
      }
      break;
    default:
      break;
  }
}

// Walks the messages of a prefix SEI unit. The walk never leaves the unit: a
// type or size code that runs to the end, or a payload longer than what is
// left, ends it, as does the RBSP stop byte after a message.
static void handle_sei(const unsigned char* d, u32 len) {
  u32 i = 2;
  while (i < len) {
    u64 type = 0;
    while (i < len && d[i] == 0xFF) type += 255, i++;
    if (i >= len) return;
    type += d[i++];
    u64 size = 0;
    while (i < len && d[i] == 0xFF) size += 255, i++;
    if (i >= len) return;
    size += d[i++];
    if (size > len - i) return;
    handle_sei_message(type, d + i, size);
    i += u32(size);
    if (i >= len || d[i] == 0x80) return;
  }
}

// ---------------------------------------------------------------- slice segment
// d holds len cleaned bytes of the unit. With head_only they are only the
// unit's first bytes: a header that runs past them returns -1 with nothing
// reported or changed, and the caller reads the whole unit instead.
static int handle_slice(int type, int temporal_id, const unsigned char* d, u32 len, u64 position,
                        bool head_only) {
  if (type >= NAL_BLA_W_LP) AnchorPictureSeen = true;

  if (hadSPS == NONE || hadPPS == NONE) return 2;
  if (!container_times() && (position < hadSPS || hadPPS > position)) return 2;

  u32 slice_type_value;
  int32_t poc = 0;
  bool restart = false;
  try {
    BitstreamReader br(d + 2, len - 2);
    if (br.getBits(1) == 0) return 2;  // first_slice_segment_in_pic_flag: a further segment
    if (type >= NAL_BLA_W_LP) br.getBits(1);  // no_output_of_prior_pics_flag
    br.getGolombU();                          // slice_pic_parameter_set_id: the latest PPS applies
    br.getBits(size_t(num_extra_slice_header_bits));  // slice_reserved_flag[]
    slice_type_value = br.getGolombU();
    if (slice_type_value > 2) {
      char why[80];
      snprintf(why, sizeof why, "slice_type %u is not 0 (B), 1 (P) or 2 (I)", slice_type_value);
      report_skipped("slice", position, why);
      return 2;
    }
    if (output_flag_present_flag) br.getBits(1);  // pic_output_flag
    if (separate_colour_plane_flag) br.getBits(2);  // colour_plane_id

    if (is_idr(type)) {
      poc = 0;
      restart = true;
    } else {
      // H.265 8.3.1. The MSB restarts at BLA pictures and at a CRA picture
      // that begins a coded video sequence (first picture, or first after
      // an end of sequence), so spliced streams keep their own order.
      const int bits = int(log2_max_pic_order_cnt_lsb_minus4) + 4;  // at most 16
      const int64_t lsb = br.getBits(size_t(bits));
      const int64_t max_lsb = int64_t(1) << bits;
      int64_t msb;
      if (is_bla(type) || (type == NAL_CRA_NUT && new_sequence)) {
        msb = 0;
        restart = true;
      } else {
        const int64_t prev_lsb = int64_t(prevTid0POC) & (max_lsb - 1);
        const int64_t prev_msb = int64_t(prevTid0POC) - prev_lsb;
        if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) msb = prev_msb + max_lsb;
        else if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) msb = prev_msb - max_lsb;
        else msb = prev_msb;
      }
      if (msb + lsb > INT32_MAX || msb + lsb < INT32_MIN) {
        report_skipped("slice", position, "picture order count leaves the signed 32-bit range");
        return 2;
      }
      poc = int32_t(msb + lsb);
    }
  } catch (const std::runtime_error& e) {
    if (head_only) return -1;
    report_skipped("slice", position, e.what());
    return 2;
  }

  // prevTid0Pic: temporal sub-layer 0, not RADL/RASL, not a sub-layer
  // non-reference picture.
  if (temporal_id == 0 && !is_leading(type) && !is_sub_layer_non_ref(type)) prevTid0POC = poc;

  // A second picture with the same non-zero POC (another layer of the same
  // access unit) is not a new picture; CRA pictures always are.
  if (!is_idr(type) && poc != 0 && poc == prev_poc && type != NAL_CRA_NUT) return 2;

  prev_poc = poc;
  new_sequence = false;
  if (Operation != 0) return 1;
  ++pictures_begun;
  const u64 shown = picture_time(container_times() ? mkv_current_tc : access_unit_position());

  // After pictures were lost, those up to the next IRAP picture cannot be
  // decoded, nor the RASL pictures of a CRA or BLA picture there (before the
  // trailing pictures). Before the first picture nothing is indexed anyway.
  if (rasl_after_loss && !is_leading(type)) rasl_after_loss = false;
  if (pictures_lost && is_irap(type)) {
    pictures_lost = false;
    rasl_after_loss = !is_idr(type) && !index_entries.empty();
  }
  if ((pictures_lost && !index_entries.empty()) || (rasl_after_loss && (type == NAL_RASL_N || type == NAL_RASL_R))) {
    ++pictures_left_out;
    return 1;
  }

  // After packets of a transport stream were lost, a trailing picture
  // whose POC lies below its IRAP picture's, or equals that of a picture of
  // the run, counts from an IRAP picture that was lost (an IDR picture, or
  // the first access unit of the second of streams joined): it begins a run
  // of its own, shown after the pictures before it, so that every picture
  // keeps its place in the recording and IRAP pictures stay in stream order.
  // So does a leading picture after such a loss that follows trailing
  // pictures of its run, with a POC below the run's IRAP picture's or equal
  // to one of the run: its own IRAP picture was lost, and it is shown after
  // the pictures before it, ahead of the trailing pictures of its own.
  //
  // Whatever the input, an IRAP picture whose POC is not above the last IRAP
  // picture's of its run begins a run too: every picture before an IRAP
  // picture in stream order is shown before it, so its POC contradicts
  // stream order (a damaged slice header, a flipped bit, streams joined at
  // a CRA picture), and IRAP pictures, the group positions, keep their
  // stream order.
  if (is_irap(type)) {
    if (!restart && irap_floor != INT32_MIN && poc <= irap_floor) restart = true;
    // A gap the unit of the IRAP picture runs over counts: what follows may
    // belong elsewhere.
    run_floor = poc;
    run_gaps = unit_gaps;
    irap_floor = poc;
  } else if (ts_video_gaps != run_gaps && !restart && (!is_leading(type) || trailing_since_irap) &&
             !index_entries.empty()) {
    bool again = poc < run_floor;
    // (A run is searched back as far as a group of pictures reaches.)
    for (size_t i = index_entries.size(), k = 0; i-- > 0 && k < 1024 && !again; k++) {
      again = index_entries[i].poc == poc;
      if (index_entries[i].starts_run || index_entries[i].poc == 0) break;
    }
    if (again) {
      restart = true;
      run_floor = irap_floor = INT32_MIN;
      run_gaps = ts_video_gaps;
    }
  }

  if (is_irap(type) || (restart && is_leading(type))) trailing_since_irap = false;
  else if (!is_leading(type)) trailing_since_irap = true;

  HevcIndexEntry e;
  e.poc = poc;
  e.irap = 0;
  e.nal_unit_type = uint8_t(type);
  e.slice_type = uint8_t(slice_type_value);
  e.starts_run = restart;
  e.unread = false;
  e.shown = shown;
  try {
    if (is_irap(type)) {
      e.irap = u32(irap_positions.size());
      irap_positions.push_back(container_times() ? mkv_current_tc : position);
    }
    index_entries.push_back(e);
    if (SystemStream_Flag == 2) entry_times.push_back(mkv_current_tc);
  } catch (const std::bad_alloc&) {
    no_mem_exit("index_entries");
  }
  coded++;
  return 1;
}

// ---------------------------------------------------------------- unit parser
// A slice segment is cleaned only as far as its head: the header fields read
// above take a few dozen bits, and cleaning a whole slice (up to megabytes)
// would cost many times more than finding it. Cleaning works strictly left to
// right, so the cleaned head is a prefix of the cleaned unit, and a header
// read that completes inside it reads the same bits. A read that runs out of
// the head (long Exp-Golomb zero runs, or a slice shorter than its header)
// is repeated on the whole unit, so every result and message stays as if the
// unit had been cleaned whole.
static constexpr u32 SLICE_HEAD = 256;

int parse_nalu_hevc(NALU_t* unit, u64 position) {
  struct NoteGaps {
    ~NoteGaps() { unit_gaps = ts_video_gaps; }
  } note_gaps;
  const int prefix = unit->startcodeprefix_len;
  if (prefix < 0 || unit->len <= u32(prefix) || unit->len > NALU_BUFFER_SIZE) return 2;
  const unsigned char* raw = unit->buf + prefix;
  const u32 raw_len = unit->len - u32(prefix);
  // Emulation prevention never touches the two NAL header bytes (a 03 is
  // dropped only after two zero bytes of the unit), so the header is read
  // raw and the unit is cleaned only when its contents are read.
  if (raw_len < 2) return 2;  // no complete NAL unit header

  const int type = (raw[0] >> 1) & 63;
  const int temporal_id_plus1 = raw[1] & 7;
  const int temporal_id = temporal_id_plus1 > 0 ? temporal_id_plus1 - 1 : 0;
  const u64 ps_position = container_times() ? mkv_current_tc : position;
  const unsigned char* d = unit_buffer;

  if (type <= 9 || (type >= NAL_BLA_W_LP && type <= NAL_CRA_NUT)) {
    if (raw_len > SLICE_HEAD) {
      const int r = handle_slice(type, temporal_id, d, clean_unit(raw, SLICE_HEAD), position, true);
      if (r >= 0) return r;
    }
    CompleteUnit(unit);
    return handle_slice(type, temporal_id, d, clean_unit(unit->buf + prefix, raw_len), position, false);
  }
  if (type >= NAL_VPS && type <= NAL_PPS && parameter_set_damaged(raw, raw_len)) {
    NoteDamage(ps_position);
    return 2;
  }
  switch (type) {
    case NAL_VPS: handle_vps(d, clean_unit(raw, raw_len), position); break;
    case NAL_SPS: handle_sps(d, clean_unit(raw, raw_len), ps_position); break;
    case NAL_PPS: handle_pps(d, clean_unit(raw, raw_len), ps_position); break;
    case NAL_PREFIX_SEI: handle_sei(d, clean_unit(raw, raw_len)); break;
    case NAL_EOS:
    case NAL_EOB: new_sequence = true; break;  // the next CRA begins a new sequence
    default: break;  // not read: filler data and the rest are never cleaned
  }
  return 2;
}

// ---------------------------------------------------------------- index pass
static void write_record_lines() {
  // Within each run of the display order (sort_into_display_order), the
  // times must grow.
  for (size_t i = 1; i < index_entries.size(); i++)
    if (index_entries[i].poc != 0 && !index_entries[i].starts_run)
      check_display_order(index_entries[i - 1].shown, index_entries[i].shown);
  FRM_ndx = 0;
  for (const HevcIndexEntry& e : index_entries) {
    const int t = int(e.nal_unit_type);
    const unsigned long long pos = is_irap(t) ? irap_positions[e.irap] : 0;
    const long long at = static_cast<long long>(pos);
    write_lost_slots(e.shown);
    if (is_idr(t))
      write_picture_line(FRM_ndx, "IDR", {at, 2, e.poc});
    else if (t == NAL_CRA_NUT)
      write_picture_line(FRM_ndx, "CRA", {at, int(e.slice_type), e.poc});
    else if (is_bla(t))
      write_picture_line(FRM_ndx, "BLA", {at, int(e.slice_type), e.poc});
    else if (t == NAL_RASL_N || t == NAL_RASL_R)
      write_picture_line(FRM_ndx, "RASL", {int(e.slice_type), e.poc});
    else if (t == NAL_RADL_N || t == NAL_RADL_R)
      write_picture_line(FRM_ndx, "RADL", {int(e.slice_type), e.poc});
    else
      write_picture_line(FRM_ndx, "TRAIL", {int(e.slice_type), e.poc});
    FRM_ndx++;
  }
}

void HevcFrameWithoutPicture(u64 t) {
  if (Operation != 0 || index_entries.empty()) return;  // before the first picture nothing is indexed
  if (pictures_lost || rasl_after_loss) {
    ++pictures_left_out;
    return;
  }
  HevcIndexEntry e{};
  e.poc = 1;  // never 0, which would begin a run; found by place_unread_entries
  e.nal_unit_type = NAL_TRAIL_N;
  e.slice_type = 1;
  e.unread = true;
  e.shown = t;
  try {
    index_entries.push_back(e);
    entry_times.push_back(t);
  } catch (const std::bad_alloc&) {
    no_mem_exit("index_entries");
  }
  coded++;
}

// Each unread entry gets the order count that its time gives among the
// other pictures of its run (as sort_into_display_order takes the runs);
// before the run's last IRAP picture in display order, after it in decode
// order, it is one of that picture's leading pictures (RADL where the
// nearest leading picture before it is, else RASL) and takes the slice type
// of a B picture. Those that no count fits are left out.
static void place_unread_entries() {
  const size_t n = index_entries.size();
  if (entry_times.size() != n) return;
  bool any = false;
  for (const HevcIndexEntry& e : index_entries) any = any || e.unread;
  if (!any) return;
  std::vector<bool> drop(n, false);
  size_t begin = 0;
  while (begin < n) {
    size_t end = begin + 1;
    while (end < n && (index_entries[end].unread || (index_entries[end].poc != 0 && !index_entries[end].starts_run))) end++;
    std::vector<std::pair<u64, int>> known;
    for (size_t i = begin; i < end; ++i)
      if (!index_entries[i].unread) known.push_back({entry_times[i], index_entries[i].poc});
    for (size_t i = begin; i < end; ++i) {
      HevcIndexEntry& e = index_entries[i];
      if (!e.unread) continue;
      int poc = 0;
      if (!OrderCountAtTime(known, entry_times[i], &poc) || poc == 0) {
        drop[i] = true;
        continue;
      }
      e.poc = poc;
      int leading_type = -1;  // of the nearest leading picture before it, in decode order
      for (size_t j = i; j-- > begin;) {
        const HevcIndexEntry& o = index_entries[j];
        if (o.unread) continue;
        if (leading_type < 0 && is_leading(o.nal_unit_type)) leading_type = o.nal_unit_type;
        if (is_irap(o.nal_unit_type)) {
          if (poc < o.poc) {
            e.nal_unit_type = uint8_t(leading_type == NAL_RADL_N || leading_type == NAL_RADL_R ? NAL_RADL_N : NAL_RASL_N);
            e.slice_type = 0;
          }
          break;
        }
      }
    }
    begin = end;
  }
  size_t w = 0;
  for (size_t i = 0; i < n; ++i) {
    if (drop[i]) {
      coded--;
      ++pictures_left_out;
      continue;
    }
    index_entries[w] = index_entries[i];
    entry_times[w] = entry_times[i];
    ++w;
  }
  index_entries.resize(w);
  entry_times.resize(w);
}

// Display order: runs begin at entry 0, at every POC 0 and wherever the POC
// restarted; within a run pictures are ordered by POC, stably, and never
// leave their run.
static void sort_into_display_order() {
  const size_t n = index_entries.size();
  size_t begin = 0;
  while (begin < n) {
    size_t end = begin + 1;
    // An IRAP picture whose POC is not above every earlier IRAP picture's of
    // the run ends it too, so that IRAP pictures (the group positions)
    // always stay in stream order, as the plugin requires.
    int32_t irap_max = is_irap(index_entries[begin].nal_unit_type) ? index_entries[begin].poc : INT32_MIN;
    bool any_irap = is_irap(index_entries[begin].nal_unit_type);
    while (end < n && index_entries[end].poc != 0 && !index_entries[end].starts_run) {
      const HevcIndexEntry& e = index_entries[end];
      if (is_irap(e.nal_unit_type)) {
        if (any_irap && e.poc <= irap_max) break;
        irap_max = e.poc;
        any_irap = true;
      }
      end++;
    }
    std::stable_sort(index_entries.begin() + long(begin), index_entries.begin() + long(end),
                     [](const HevcIndexEntry& a, const HevcIndexEntry& b) { return a.poc < b.poc; });
    begin = end;
  }
}

static void write_encoder_hint() {
  char text[512];
  int n = snprintf(text, sizeof text, "--colorprim %s --transfer %s --colormatrix %s",
                   name_of(colorprim_names, coded_colour_primaries),
                   name_of(transfer_names, coded_transfer_characteristics),
                   name_of(colormatrix_names, coded_matrix_coefficients));
  // The hint is short (a few hundred bytes at most); each append is bounded
  // by what is left.
  auto append = [&](const char* fmt, auto... args) {
    if (n >= 0 && size_t(n) < sizeof text) n += snprintf(text + n, sizeof text - size_t(n), fmt, args...);
  };
  if (hadPQmastering) {
    const unsigned char* m = hevc_mastering;
    append(" --master-display \"G(%u,%u)B(%u,%u)R(%u,%u)WP(%u,%u)L(%u,%u)\"", be16(m), be16(m + 2),
           be16(m + 4), be16(m + 6), be16(m + 8), be16(m + 10), be16(m + 12), be16(m + 14),
           be32(m + 16), be32(m + 20));
  }
  if (hadPQlightlevel) append(" --max-cll \"%u,%u\"", be16(light_level), be16(light_level + 2));
  append(" --frames %u", unsigned(coded));
  append(" --chromaloc %u", Picture_Height > 1088 ? 2u : 0u);
  fprintf(p_aif, "\nX265_CL %s", text);
}

void index_hevc() {
  if (Operation == 0) {
    memset(hevc_mastering, 0, sizeof hevc_mastering);
    memset(light_level, 0, sizeof light_level);
    index_entries.clear();
    irap_positions.clear();
    entry_times.clear();
    write_index_head("KWHEVCIndexFile", 500);
  }

  // Matroska and MP4 adapters position themselves at the range start; byte
  // streams start at the range's first byte, a transport stream one
  // 204-byte packet earlier so that the first packet is whole.
  if (SystemStream_Flag == 2) InitializeMKVBuffer(process.start_time);
  if (SystemStream_Flag == 4) InitializeMP4Buffer(process.start_time);
  if (!container_times()) {
    u64 start = process.start_byte;
    if (SystemStream_Flag == 1 && start > 203) start -= 204;
    SeekStream(start);
  }

  OutputProgress(0);
  while (!Stop_Flag) {
    if (read_new_picture() == 0) break;
    if (coded % 1000 == 0) OutputProgress(progress_percent());
  }
  OutputProgress(100);
  if (Operation != 0) return;

  place_unread_entries();
  sort_into_display_order();
  if (p_aif) {
    write_record_lines();
    write_trailer(true);
    if (hadPQ) write_encoder_hint();
  }
  close_index_file();
}

void reset_hevc_analysis() {
  index_entries.clear();
  irap_positions.clear();
  entry_times.clear();
  prevTid0POC = 0;
  run_floor = 0;
  irap_floor = INT32_MIN;
  run_gaps = unit_gaps = 0;
  trailing_since_irap = false;
  prev_poc = 0;
  new_sequence = true;
  log2_max_pic_order_cnt_lsb_minus4 = 0;
  hadSPS = NONE;
  hadPPS = NONE;
  last_sps.clear();
  last_pps.clear();
  keyword_header_written = false;
  pps_pic_parameter_set_id = pps_seq_parameter_set_id = 0;
  dependent_slice_segments_enabled_flag = output_flag_present_flag = 0;
  num_extra_slice_header_bits = 0;
  separate_colour_plane_flag = 0;
  vps_timing_present = vui_timing_present = false;
  vui_time_scale = vui_num_units_in_tick = 0;
  frame_field_info_present_flag = 0;
  skipped_messages = 0;
  rasl_after_loss = false;
  bit_depth = 0;
  general_profile_idc = general_tier_flag = general_level_idc = 0;
  display_aspect_ratio_x = display_aspect_ratio_y = 0;
  hadPQ = hadHLG = hadPQmastering = hadPQlightlevel = false;
  pic_struct = 0;
  memset(hevc_mastering, 0, sizeof hevc_mastering);
  memset(light_level, 0, sizeof light_level);
  preferred_transfer_characteristics = 0;
  AnchorPictureSeen = false;
  fps_num = 25;
  fps_den = 1;
}
