// MPEG-2 video analysis (ISO/IEC 13818-2) and the MPEG-2 index records.
//
// The picture loop hands every start-code unit to parse_nalu_mpg(); byte 3 of
// a unit is its start code value. The parser follows sequence headers, their
// extensions, GOP headers, picture headers and picture coding extensions. It
// writes one group (SEQ, SEQEXT, GOP) at each I picture and one FRM line per
// coded picture (a frame, or a field pair counted once) in display order: I
// and P pictures are held back until the next I or P picture, B pictures are
// written once the picture after them begins (a transport stream gap inside
// a picture drops it). After pictures lost to damage, those up to the next
// I picture, and the leading B pictures of an open group there, are left
// out.
//
// A group starts at the sequence header before its I picture ("SEQ pos").
// Where the stream has no sequence header since the picture before (one at
// the start of the stream is all the standard asks for), the group starts at
// its GOP header, or at the I picture without one, and the line also names
// the last sequence header, which must be decoded first ("SEQ start seq").

#include "mpg.h"

#include <climits>
#include <cstdint>

#include "Matroska.h"
#include "mp4.h"
#include "decode.h"
#include "nalu.h"
#include "index.h"
#include "ts.h"

// ---------------------------------------------------------------- start code values
constexpr unsigned char PICTURE_START_CODE = 0x00;
constexpr unsigned char SEQUENCE_HEADER_CODE = 0xB3;
constexpr unsigned char EXTENSION_START_CODE = 0xB5;
constexpr unsigned char GROUP_START_CODE = 0xB8;
constexpr unsigned char SEQUENCE_END_CODE = 0xB7;

// extension_start_code_identifier values that are read
constexpr int SEQUENCE_EXTENSION_ID = 1;
constexpr int SEQUENCE_DISPLAY_EXTENSION_ID = 2;
constexpr int PICTURE_CODING_EXTENSION_ID = 8;

// picture_structure values
constexpr int TOP_FIELD = 1;
[[maybe_unused]] constexpr int BOTTOM_FIELD = 2;  // named for the table; no rule tests it
constexpr int FRAME_PICTURE = 3;

// FRM line words with the picture type letter, indexed by
// picture_coding_type - 1 (1 I, 2 P, 3 B); other codes (D pictures,
// forbidden values) are rejected before the lookup.
static const char* const kFrmWord[] = {"FRM I", "FRM P", "FRM B"};
constexpr int I_TYPE = 1, P_TYPE = 2, B_TYPE = 3;

int aspect_ratio_information;

namespace {

// MSB-first reader over the bytes of one unit after its start code. Reading
// past the end yields zeros and sets the latch, which each header checks once
// before it installs anything.
struct BitReader {
  const unsigned char* data;
  u32 size_bits;
  u32 pos;
  bool overrun;
};

// Coding information of a picture, as its FRM line records it.
struct PictureInfo {
  bool valid;
  int type;                     // picture_coding_type, 1..3
  int structure;                // picture_structure, 1..3
  int top_field_first;
  int repeat_first_field;
  int progressive_frame;
  int temporal_reference;       // -1 where no picture header was read
  unsigned gaps;                // stream_gaps() when the picture began
  unsigned group;               // GOP headers read before it
  u64 shown = kNoTime;          // presentation time (index.h)
};

}  // namespace

// ---------------------------------------------------------------- parser state
// Sizes of the last sequence header, widened by its sequence extension.
int horizontal_size, vertical_size;
static int prog_seq;                      // progressive_sequence of the last sequence extension
static int last_start_code = -1;          // start code value of the previous unit
static bool had_sequence_header;          // nothing but sequence headers is read before one
// The previous unit's header was read completely, so an extension that
// follows it may rely on its fields.
static bool sequence_header_ok, picture_header_ok;
// Fields of the latest complete picture header.
static int header_coding_type, header_temporal_reference;
static int picture_coding_type;           // type of the current picture (of the first field of a pair)
// Field pairs: while second_field is set, a field of the parity opposite to
// first_field_structure completes the pair. Any other picture ends the
// expectation, so one lost field cannot hold every later picture at the
// type of a stale first field.
static bool second_field;
static int first_field_structure;
static bool AnchorPictureSeen;            // set at the first I picture
static int display_horizontal_size, display_vertical_size;

// ---------------------------------------------------------------- group state
static u64 pending_seq;                   // position of the last sequence header
// A sequence header came after the last picture, so that the group of the
// next I picture can start at it. Otherwise the group starts at its own GOP
// header (when one came after the last picture) or at the I picture, and
// its SEQ line names the sequence header that a decoder needs first.
static bool seq_since_picture;
static bool gop_since_picture;
static u64 gop_position;                  // of the last GOP header
static bool header_after_seq;             // the state above at the latest picture header
static u64 header_group_start;
static int pending_seqext = -1;           // progressive_sequence, -1 until a sequence extension
static int pending_gop = -1;              // closed_gop since the last group, 1 for temporal_reference 0, -1 none
static unsigned group_serial;             // GOP headers read

// The last I or P picture, written when the next I or P picture arrives or
// after the input ends, so that it follows the B pictures it precedes in
// coding order.
static PictureInfo pending_ref;
static bool pending_ref_written;  // written already, before a B picture shown after it

// The latest picture (a frame, or a field pair), from its picture coding
// extension until the next picture, sequence header, GOP header or sequence
// end, or the end of input: only then is it recorded. A transport stream
// gap inside it (its units run over missing packets) drops it.
struct HeldPicture {
  bool valid = false;
  bool left_out = false;     // next to damage: counted in pictures_left_out, not recorded
  PictureInfo pic{};
  // For an I picture, its group's SEQ, SEQEXT and GOP values.
  bool after_seq = false;
  u64 group_start = 0, seq = 0;
  int seqext = -1, gop = -1;
};
static HeldPicture held;
static bool had_group;            // an I picture's group was recorded
// The group after pictures lost to damage is open: its leading B pictures
// (before the next P or I picture) reference a lost one.
static bool leading_after_loss;
// Matroska: the frame time of the last I or P picture.
static u64 last_reference_time;

// Film cadence: field-repeat codes trf = top_field_first * 2 + repeat_first_field
// of the last two pictures in display order, -1 before there are any.
static int ref_trf = -1, old_trf = -1;

// The places where reading met damage so far: gaps of the transport
// stream's counters, bytes of a program stream that are no packet.
static unsigned stream_gaps() { return SystemStream_Flag == 3 ? damage_places : ts_video_gaps; }

// ---------------------------------------------------------------- bit reading
static BitReader reader_after_start_code(const NALU_t* unit) {
  // The caller has checked that the unit holds its start code value
  // (len >= 4); len is at most NALU_BUFFER_SIZE, so the bit count fits u32.
  BitReader br;
  br.data = unit->buf + 4;
  br.size_bits = (unit->len - 4) * 8;
  br.pos = 0;
  br.overrun = false;
  return br;
}

static u32 get_bits(BitReader& br, int n) {
  u32 v = 0;
  for (int i = 0; i < n; i++) {
    u32 bit = 0;
    if (br.pos < br.size_bits)
      bit = (br.data[br.pos >> 3] >> (7 - (br.pos & 7))) & 1;
    else
      br.overrun = true;
    br.pos++;
    v = (v << 1) | bit;
  }
  return v;
}

// ---------------------------------------------------------------- helpers
static bool writing() { return Operation == 0 && p_aif != nullptr; }

// MPEG-2 sample aspect ratio from aspect_ratio_information and the picture
// size: pictures taller than 576 lines are square-sampled, 480- and 576-line
// pictures get the BT.601 ratios, other sizes the display ratio divided by the
// picture's own. False when the code is forbidden or reserved (0, 5..15) or
// the size is empty, where no ratio is defined.
bool mpg_sample_aspect(int code, int width, int height, int* w, int* h) {
  int64_t num = 0, den = 0;
  if (height > 576 || code == 1) {
    num = 1, den = 1;
  } else if (code == 2) {
    if (height == 480) num = 10, den = 11;
    else if (height == 576) num = 12, den = 11;
    else num = 4 * int64_t{height}, den = 3 * int64_t{width};
  } else if (code == 3) {
    if (height == 480) num = 40, den = 33;
    else if (height == 576) num = 16, den = 11;
    else num = 16 * int64_t{height}, den = 9 * int64_t{width};
  } else if (code == 4) {
    num = 221 * int64_t{height}, den = 100 * int64_t{width};
  }
  if (num <= 0 || den <= 0) return false;
  // Both terms are positive and below 2^40 (a 31-bit size times at most
  // 221), so no product overflows; a reduced pair beyond int (only from sizes
  // no sequence header can code) is not a ratio worth printing.
  const int64_t g = static_cast<int64_t>(gcd64(static_cast<u64>(num), static_cast<u64>(den)));
  if (num / g > INT_MAX || den / g > INT_MAX) return false;
  *w = static_cast<int>(num / g);
  *h = static_cast<int>(den / g);
  return true;
}

// frame_rate_code -> rate; forbidden and reserved codes give 25 fps.
struct FrameRate {
  int num, den;
};
static const FrameRate kFrameRates[16] = {
    {25000, 1000},                                  // 0 forbidden
    {24000, 1001}, {24000, 1000}, {25000, 1000},    // 1..3
    {30000, 1001}, {30000, 1000}, {50000, 1000},    // 4..6
    {60000, 1001}, {60000, 1000},                   // 7, 8
    {25000, 1000}, {25000, 1000}, {25000, 1000},    // 9..15 reserved
    {25000, 1000}, {25000, 1000}, {25000, 1000}, {25000, 1000},
};

// Field order from the first picture written (in display order).
static void decide_field_order(const PictureInfo& p) {
  if (field_order != -1) return;
  if (prog_seq) field_order = 0;
  else if (p.structure == FRAME_PICTURE) field_order = p.top_field_first ? 1 : 2;
  else field_order = p.structure == TOP_FIELD ? 1 : 2;
}

// One step of the field-repeat cadence between two pictures that follow each
// other in display order. 3:2 pulldown of interlaced material steps the code
// through 2, 3, 0, 1 (each step adds 1 modulo 4); in a progressive sequence
// it alternates between repeating a frame twice (1) and three times (3).
static void classify_cadence(int a, int b) {
  bool film = prog_seq ? ((a == 1 && b == 3) || (a == 3 && b == 1)) : ((a + 1) % 4 == b % 4);
  if (film) FILM_Purity++;
  else VIDEO_Purity++;
}

// ---------------------------------------------------------------- headers
static void sequence_header(BitReader& br, u64 position) {
  int hsize = static_cast<int>(get_bits(br, 12));    // horizontal_size_value
  int vsize = static_cast<int>(get_bits(br, 12));    // vertical_size_value
  int aspect = static_cast<int>(get_bits(br, 4));    // aspect_ratio_information
  int rate_code = static_cast<int>(get_bits(br, 4)); // frame_rate_code
  // bit_rate_value, marker, vbv_buffer_size_value, constrained_parameters_flag,
  // quantiser matrices: not needed
  if (br.overrun) return;

  had_sequence_header = true;
  sequence_header_ok = true;
  if (Operation == 0) pending_seq = position;
  seq_since_picture = true;
  gop_since_picture = false;
  horizontal_size = hsize;
  vertical_size = vsize;
  aspect_ratio_information = aspect;
  const FrameRate& r = kFrameRates[rate_code];  // rate_code < 16 by its width
  if (!snap_matroska_rate()) {
    fps_num = r.num;
    fps_den = r.den;
    Frame_Rate = static_cast<double>(r.num) / r.den;
  }
  // A sequence header never stands between the two fields of a pair.
  second_field = false;
}

static void picture_header(BitReader& br, u64 position) {
  // Whatever the header holds, it is a picture after the headers before it.
  header_after_seq = seq_since_picture;
  header_group_start = gop_since_picture ? gop_position : position;
  seq_since_picture = gop_since_picture = false;
  int temporal_reference = static_cast<int>(get_bits(br, 10));
  int coding_type = static_cast<int>(get_bits(br, 3));
  // vbv_delay and the MPEG-1 motion vector codes: not needed
  if (br.overrun) return;
  picture_header_ok = true;
  header_coding_type = coding_type;
  header_temporal_reference = temporal_reference;
}

static void gop_header(BitReader& br, u64 position) {
  ++group_serial;
  if (!gop_since_picture) gop_position = position;
  gop_since_picture = true;
  get_bits(br, 25);                              // time_code
  int closed_gop = static_cast<int>(get_bits(br, 1));
  // broken_link: not needed
  if (br.overrun) return;
  if (Operation == 0) pending_gop = closed_gop;
}

static void sequence_extension(BitReader& br) {
  get_bits(br, 1);                               // escape bit of profile_and_level_indication
  int prof = static_cast<int>(get_bits(br, 3));
  int lev = static_cast<int>(get_bits(br, 4));
  int progressive_sequence = static_cast<int>(get_bits(br, 1));
  int chroma = static_cast<int>(get_bits(br, 2));
  int h_ext = static_cast<int>(get_bits(br, 2)); // horizontal_size_extension
  int v_ext = static_cast<int>(get_bits(br, 2)); // vertical_size_extension
  // bit_rate_extension, vbv_buffer_size_extension, low_delay, frame rate
  // extensions: not needed
  if (br.overrun) return;

  profile = prof;
  level = lev;
  // MPEG-2 video has 8-bit samples only (chroma_format 0 is reserved: no
  // format).
  if (stream_chroma_format < 0 && chroma != 0) {
    stream_chroma_format = chroma;
    stream_bit_depth = 8;
  }
  if (chroma != 0) {
    Picture_Chroma_Format = chroma;
    Picture_Bit_Depth = 8;
  }
  prog_seq = progressive_sequence;
  if (Operation == 0) pending_seqext = progressive_sequence;
  horizontal_size |= h_ext << 12;
  vertical_size |= v_ext << 12;
  Picture_Width = horizontal_size;
  // Whole macroblock rows: 1080 -> 1088, 1084 -> 1088, 576 stays.
  Picture_Height = (vertical_size + 15) & ~15;

  if (ar1 == -1) {
    int w = 0, h = 0;
    if (!mpg_sample_aspect(aspect_ratio_information, horizontal_size, vertical_size, &w, &h)) w = h = 0;
    write_aspect_colorimetry(w, h, coded_matrix_coefficients, coded_transfer_characteristics,
                             coded_colour_primaries);
  }
}

static void sequence_display_extension(BitReader& br) {
  get_bits(br, 3);                               // video_format
  int colour_description = static_cast<int>(get_bits(br, 1));
  int primaries = 0, transfer = 0, matrix = 0;
  if (colour_description) {
    primaries = static_cast<int>(get_bits(br, 8));
    transfer = static_cast<int>(get_bits(br, 8));
    matrix = static_cast<int>(get_bits(br, 8));
  }
  int dh = static_cast<int>(get_bits(br, 14));   // display_horizontal_size
  get_bits(br, 1);                               // marker_bit
  int dv = static_cast<int>(get_bits(br, 14));   // display_vertical_size
  if (br.overrun) return;

  if (colour_description) {
    coded_colour_primaries = primaries;
    coded_transfer_characteristics = transfer;
    coded_matrix_coefficients = matrix;
  }
  display_horizontal_size = dh;
  display_vertical_size = dv;
  Picture_Width = dh;
  Picture_Height = dv;
}

// Whether the picture starting now is left out next to damage: after
// pictures were lost, those up to the next I picture cannot be decoded, nor
// the leading B pictures of an open group there. (Before the first group
// nothing is decoded anyway.)
static bool left_out_after_loss(int type, int gop) {
  if (Operation != 0) return false;
  if (pictures_lost) {
    if (type != I_TYPE) return had_group;
    pictures_lost = false;
    leading_after_loss = had_group && gop != 1;
    return false;
  }
  if (leading_after_loss) {
    if (type == B_TYPE) return true;
    leading_after_loss = false;
  }
  return false;
}

// Records the held picture: I and P pictures are held back further, until
// the next one, so that they follow the B pictures they precede in coding
// order; B pictures are written now.
// The temporal reference of the I or P picture before pending_ref in coding
// order, where it is of the same group (pending_ref a P picture); -1 else.
static int pending_prev_reference = -1;
// The B pictures written since pending_ref came, before it.
static int pending_shown_before = 0;

// Whether B picture b, which follows I or P picture r in coding order, is
// shown after it: the B pictures shown before r lie between r and the I or
// P picture before it (r's group begins with those before an I picture), as
// their temporal references tell.
static bool shown_after(const PictureInfo& b, const PictureInfo& r) {
  if (b.temporal_reference < 0 || r.temporal_reference < 0) return false;
  return b.temporal_reference > r.temporal_reference || b.temporal_reference <= pending_prev_reference;
}

// The picture written last, in display order.
static PictureInfo last_written;
static void time_from_neighbour(PictureInfo& untimed, const PictureInfo& timed);

static void write_frm_line(const PictureInfo& picture) {
  if (!writing()) return;
  PictureInfo p = picture;
  // A picture without a time that follows the one written before it in
  // its group, with no damage between them in the stream, is shown as many
  // frames after it as their temporal references tell.
  if (last_written.valid && last_written.group == p.group && last_written.gaps == p.gaps &&
      p.temporal_reference > last_written.temporal_reference)
    time_from_neighbour(p, last_written);
  // The fields it shows: repeat_first_field repeats a field, or in a
  // progressive sequence doubles (triples, top field first) the frame.
  write_lost_slots(p.shown, !p.repeat_first_field ? 2 : prog_seq ? (p.top_field_first ? 6 : 4) : 3);
  write_picture_line(FRM_ndx, kFrmWord[p.type - 1],
                     {p.structure, p.top_field_first, p.repeat_first_field, p.progressive_frame});
  FRM_ndx++;
  last_written = p;
}

static void write_pending_ref() {
  if (!pending_ref.valid || pending_ref_written) return;
  decide_field_order(pending_ref);
  write_frm_line(pending_ref);
  pending_ref_written = true;
}

// A picture whose PES header was lost with the packets before its picture
// header has no time of its own, nor has one that began in a PES packet
// after another picture; one that is shown with a timed picture of its
// group (the I or P picture after it, or for the held I or P picture the P
// picture that follows it; where no damage came between them also, for the
// held one, a B picture shown before it, and for a P picture the I or P
// picture before it) gets the time that their temporal references tell.
static void time_from_neighbour(PictureInfo& untimed, const PictureInfo& timed) {
  if (untimed.shown != kNoTime || timed.shown == kNoTime || untimed.temporal_reference < 0 ||
      timed.temporal_reference < 0)
    return;
  untimed.shown = time_moved(timed.shown, untimed.temporal_reference - timed.temporal_reference);
}

static void commit_held() {
  if (!held.valid) return;
  held.valid = false;
  if (held.left_out) {
    ++pictures_left_out;
    return;
  }
  PictureInfo& pic = held.pic;
  switch (pic.type) {
    case I_TYPE:
      write_pending_ref();
      if (writing()) {
        if (held.after_seq)
          fprintf(p_aif, "\nSEQ %llu", static_cast<unsigned long long>(held.seq));
        else
          fprintf(p_aif, "\nSEQ %llu %llu", static_cast<unsigned long long>(held.group_start),
                  static_cast<unsigned long long>(held.seq));
        fprintf(p_aif, "\nSEQEXT %d", held.seqext);
        fprintf(p_aif, "\nGOP %d", held.gop);
      }
      had_group = true;
      pending_ref = pic;
      pending_ref_written = false;
      pending_prev_reference = -1;
      pending_shown_before = 0;
      break;
    case P_TYPE:
      // A P picture before the first I picture has nothing to be decoded
      // from in this index: it is counted but neither held nor written.
      if (pending_ref.valid) {
        if (pic.temporal_reference > pending_ref.temporal_reference) {
          time_from_neighbour(pending_ref, pic);
          if (pic.gaps == pending_ref.gaps) time_from_neighbour(pic, pending_ref);
        }
        write_pending_ref();
        pending_prev_reference = pending_ref.temporal_reference;
        pending_ref = pic;
        pending_ref_written = false;
        pending_shown_before = 0;
      }
      break;
    default:
      // A B picture shown after the held I or P picture, with damage
      // between them (stream_gaps): the I or P picture that came between
      // them in coding order was lost (or the I picture of the next group),
      // and the held one is shown before this B picture, not after it. Its
      // time, where it has one, tells (the temporal references of pictures
      // of two groups do not); where it has none, it is the one that the
      // temporal references tell.
      if (pending_ref.valid && pic.gaps != pending_ref.gaps &&
          (shown_after(pic, pending_ref) || shown_before(pending_ref.shown, pic.shown))) {
        if (pic.temporal_reference > pending_ref.temporal_reference) time_from_neighbour(pending_ref, pic);
        write_pending_ref();
      }
      // Shown before the held I or P picture (where no gap came between).
      if (pending_ref.valid && !pending_ref_written && pic.temporal_reference < pending_ref.temporal_reference) {
        time_from_neighbour(pic, pending_ref);
        // (Of the same group, where no damage came between them.)
        if (pic.gaps == pending_ref.gaps) time_from_neighbour(pending_ref, pic);
      }
      if (pending_ref.valid && !pending_ref_written && pic.gaps == pending_ref.gaps)
        check_display_order(pic.shown, pending_ref.shown);
      if (pending_ref.valid && !pending_ref_written) ++pending_shown_before;
      decide_field_order(pic);
      write_frm_line(pic);
      break;
  }
}

void MpgFrameWithoutPicture(u64 t) {
  if (Operation != 0 || !AnchorPictureSeen) return;  // before the first I picture nothing is indexed
  const PictureInfo& last = held.valid ? held.pic : pending_ref;
  PictureInfo pic{};
  pic.valid = true;
  pic.type = t > last_reference_time ? P_TYPE : B_TYPE;
  pic.structure = FRAME_PICTURE;
  pic.top_field_first = last.valid ? last.top_field_first : 1;
  pic.repeat_first_field = 0;
  pic.progressive_frame = last.valid ? last.progressive_frame : prog_seq;
  pic.temporal_reference = -1;
  pic.gaps = ts_video_gaps;
  pic.group = group_serial;
  pic.shown = t;
  if (pic.type == P_TYPE) last_reference_time = t;
  second_field = false;
  coded++;
  commit_held();
  held.valid = true;
  held.pic = pic;
  held.left_out = left_out_after_loss(pic.type, -1);
  if (held.left_out) coded--;
}

// The picture step, at the picture coding extension that follows a picture
// header. Returns 1 for a counted picture, 2 otherwise.
static int picture_coding_extension(BitReader& br) {
  get_bits(br, 16);                              // f_code[0..1][0..1]
  get_bits(br, 2);                               // intra_dc_precision
  int structure = static_cast<int>(get_bits(br, 2));
  int tff = static_cast<int>(get_bits(br, 1));
  get_bits(br, 5);  // frame_pred_frame_dct, concealment_motion_vectors, q_scale_type,
                    // intra_vlc_format, alternate_scan
  int rff = static_cast<int>(get_bits(br, 1));
  get_bits(br, 1);                               // chroma_420_type
  int progressive_frame = static_cast<int>(get_bits(br, 1));
  // composite display information: not needed
  if (br.overrun) return 2;
  if (structure == 0) return 2;                  // reserved picture_structure

  bool is_field = structure != FRAME_PICTURE;
  if (is_field && second_field && structure != first_field_structure) {
    // Second field of a pair: the pair was counted and recorded at its first field.
    second_field = false;
    return 2;
  }
  // A new picture: a frame, or a first field (also one whose partner of the
  // previous pair was lost, so it has the parity of the expected first field).
  second_field = false;
  if (header_coding_type < I_TYPE || header_coding_type > B_TYPE) return 2;  // D or forbidden type
  picture_coding_type = header_coding_type;
  if (picture_coding_type == I_TYPE) {
    AnchorPictureSeen = true;
    // An I picture with temporal_reference 0 is the first in display order
    // of its group, so no picture of the group refers to an earlier one.
    if (header_temporal_reference == 0 && Operation == 0) pending_gop = 1;
  }

  PictureInfo pic;
  pic.valid = true;
  pic.type = picture_coding_type;
  pic.structure = structure;
  pic.top_field_first = tff;
  pic.repeat_first_field = rff;
  pic.progressive_frame = progressive_frame;
  pic.temporal_reference = header_temporal_reference;
  pic.gaps = stream_gaps();
  pic.group = group_serial;
  // The time of the access unit (from its sequence, group or picture header).
  const bool container_times = SystemStream_Flag == 2 || SystemStream_Flag == 4;
  pic.shown = picture_time(container_times ? mkv_current_tc : access_unit_position());

  // Film cadence, over frame pictures, in display order. A reference
  // picture's code enters only when the next reference arrives.
  if (!is_field) {
    int trf = tff * 2 + rff;
    if (picture_coding_type != B_TYPE) {
      if (ref_trf != -1 && old_trf != -1) classify_cadence(old_trf, ref_trf);
      old_trf = ref_trf;
      ref_trf = trf;
    } else {
      if (ref_trf != -1 && old_trf != -1) classify_cadence(old_trf, trf);
      old_trf = trf;
    }
  }

  if (Operation == 0) {
    coded++;
    ++pictures_begun;
    if (picture_coding_type != B_TYPE) last_reference_time = mkv_current_tc;
  }

  commit_held();
  held.valid = true;
  held.pic = pic;
  if (picture_coding_type == I_TYPE) {
    held.after_seq = header_after_seq;
    held.group_start = header_group_start;
    held.seq = pending_seq;
    held.seqext = pending_seqext;
    held.gop = pending_gop;
    if (Operation == 0) pending_gop = -1;
  }
  held.left_out = left_out_after_loss(picture_coding_type, held.gop);
  // A picture left out is neither a coded picture of the index nor repeats
  // one of its fields.
  if (held.left_out) coded--;

  if (Operation == 0 && rff && !held.left_out) {
    if (prog_seq) frame_repeats += tff ? 2 : 1;
    else field_repeats++;
  }

  if (is_field) {
    second_field = true;
    first_field_structure = structure;
  }
  return 1;
}

static int extension(BitReader& br) {
  int id = static_cast<int>(get_bits(br, 4));  // extension_start_code_identifier
  if (br.overrun) return 2;
  switch (id) {
    case SEQUENCE_EXTENSION_ID:
      if (last_start_code == SEQUENCE_HEADER_CODE && sequence_header_ok) sequence_extension(br);
      return 2;
    case SEQUENCE_DISPLAY_EXTENSION_ID:
      sequence_display_extension(br);
      return 2;
    case PICTURE_CODING_EXTENSION_ID:
      if (last_start_code == PICTURE_START_CODE && picture_header_ok) return picture_coding_extension(br);
      return 2;
    default:
      return 2;
  }
}

// ---------------------------------------------------------------- interface
int parse_nalu_mpg(NALU_t* unit, u64 position) {
  // A unit shorter than its start code and value carries nothing to read.
  if (unit == nullptr || unit->buf == nullptr || unit->len < 4) return 2;
  const int code = unit->buf[3];
  // Matroska and MP4 record container times in place of byte positions.
  const u64 where = (SystemStream_Flag == 2 || SystemStream_Flag == 4) ? mkv_current_tc : position;
  BitReader br = reader_after_start_code(unit);
  // What follows a picture's slices ends it.
  if (code == SEQUENCE_HEADER_CODE || code == GROUP_START_CODE || code == SEQUENCE_END_CODE) commit_held();

  int result = 2;
  if (code == SEQUENCE_HEADER_CODE) {
    sequence_header_ok = false;
    sequence_header(br, where);
  } else if (had_sequence_header) {
    switch (code) {
      case PICTURE_START_CODE:
        picture_header_ok = false;
        picture_header(br, where);
        break;
      case GROUP_START_CODE:
        gop_header(br, where);
        break;
      case EXTENSION_START_CODE:
        result = extension(br);
        break;
      default:
        break;
    }
  }
  last_start_code = code;
  return result;
}

bool mpg_head_suffices(const unsigned char* p, u32 n) {
  int pictures = 0, structure = 0, prev = -1;
  bool slices = false;
  for (u32 i = FindStartCode(p, n); i < n;) {
    // The unit reader ends a unit at the first 00 00 01 from its value on.
    const u32 end = i + 3 + FindStartCode(p + i + 3, n - i - 3);
    if (end == i + 3) return false;  // a start code with no value before the next
    const int code = p[i + 3];
    const bool slice = mpg_slice_code(static_cast<unsigned char>(code));
    if (slices && !slice) return false;
    if (slice) {
      if (pictures != 1 || structure != FRAME_PICTURE) return false;
      slices = true;
    } else if (code == PICTURE_START_CODE) {
      ++pictures;
      structure = 0;
    } else if (code == EXTENSION_START_CODE && prev == PICTURE_START_CODE && end - i >= 7 &&
               (p[i + 4] >> 4) == PICTURE_CODING_EXTENSION_ID) {
      structure = p[i + 6] & 3;
    }
    prev = code;
    i = end;
  }
  return slices;
}

void index_mpg() {
  if (Operation == 0) {
    write_index_head("KWMPGIndexFile", 0);
    write_keyword_header(8);
  }

  // A transport stream is entered a little before the range start so that a
  // unit beginning in the packet before it is found whole.
  u64 start = process.start_byte;
  if (SystemStream_Flag == 1 && start >= 204) start -= 204;
  if (SystemStream_Flag == 2) InitializeMKVBuffer(process.start_time);
  if (SystemStream_Flag == 4) InitializeMP4Buffer(process.start_time);
  if (SystemStream_Flag != 2 && SystemStream_Flag != 4) SeekStream(start);

  OutputProgress(0);
  int pictures = 0;
  while (read_new_picture() != 0) {
    pictures++;
    if (pictures % 1000 == 0) OutputProgress(progress_percent());
    if (Stop_Flag) break;
  }
  OutputProgress(100);

  if (Operation != 0) return;
  commit_held();
  if (pending_ref.valid && !pending_ref_written) {
    // The B pictures shown before the last I or P picture come after it in
    // coding order: those its temporal reference counts that were not read
    // were cut off by the end of the input, and keep their slots before it.
    if (pending_ref.temporal_reference >= 0)
      NotePicturesCut(pending_ref.temporal_reference - pending_prev_reference - 1 - pending_shown_before);
    write_frm_line(pending_ref);
  }
  pending_ref.valid = false;
  write_trailer(false);
  close_index_file();
}

void reset_mpg_analysis() {
  horizontal_size = vertical_size = 0;
  prog_seq = 0;
  last_start_code = -1;
  had_sequence_header = false;
  sequence_header_ok = picture_header_ok = false;
  header_coding_type = header_temporal_reference = 0;
  picture_coding_type = 0;
  second_field = false;
  first_field_structure = 0;
  AnchorPictureSeen = false;
  last_reference_time = 0;
  display_horizontal_size = display_vertical_size = 0;
  pending_seq = 0;
  seq_since_picture = gop_since_picture = header_after_seq = false;
  gop_position = header_group_start = 0;
  pending_seqext = -1;
  pending_gop = -1;
  pending_ref = PictureInfo{};
  pending_ref_written = false;
  pending_prev_reference = -1;
  pending_shown_before = 0;
  last_written = PictureInfo{};
  group_serial = 0;
  held = HeldPicture{};
  had_group = leading_after_loss = false;
  ref_trf = old_trf = -1;
  // coded, the repeat and film counters, field_order and FRM_ndx are reset by
  // init_indexing() with the other codecs' shared results.
}
