// VC-1 advanced-profile analysis (SMPTE 421M start-code streams).
//
// The picture loop hands every start-code unit to parse_nalu_vc1. Sequence
// headers (0x0F) set the stream properties and the flags that shape the
// picture headers, entry points (0x0E) give the group's decoder entry, frame
// headers (0x0D) and field headers (0x0C) give one picture record each
// (a field pair is one picture, counted at its second field). Records are
// collected per group and written in display order when the next group
// starts, i.e. at an I picture that directly follows a sequence header.
#include "vc1.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "Matroska.h"
#include "mp4.h"
#include "decode.h"
#include "index.h"
#include "nalu.h"

int display_aspect_ratio_x, display_aspect_ratio_y;
int vc1_pulldown, vc1_interlace, vc1_tfcntrflag, vc1_psf;

namespace {

// ---------------------------------------------------------------- codes
// The byte after 00 00 01 that says what a unit is.
constexpr unsigned char kSequenceHeaderCode = 0x0F;
constexpr unsigned char kEntryPointCode = 0x0E;
constexpr unsigned char kFrameCode = 0x0D;
constexpr unsigned char kFieldCode = 0x0C;

// Frame types of frame pictures (PTYPE); field pairs use the 3-bit FPTYPE
// (0 I/I, 1 I/P, 2 P/I, 3 P/P, 4 B/B, 5 B/BI, 6 BI/B, 7 BI/BI).
constexpr int kTypeI = 0, kTypeP = 1, kTypeSkipped = 2, kTypeB = 3, kTypeBI = 4;
// Frame coding modes (FCM).
constexpr int kProgressive = 0, kFrameInterlaced = 1, kFieldInterlaced = 2;

// Repeat value of a picture whose sequence has no PULLDOWN: the index reader
// takes 255 as "no pulldown", whereas any 2-bit value would read as a repeat.
constexpr int kNoPulldown = 255;

// Header bytes examined, emulation prevention removed. The longest header
// read is the sequence header with a full display extension:
// 40 + 7 + 28 + 1 + 4 + 16 + 1 + 1 + 8 + 4 + 1 + 24 bits = 135 bits < 17 bytes.
constexpr size_t kHeaderBytes = 32;

// Numerator of FRAMERATENR 0..7 (0, 2 and values from 8 on give 25000).
constexpr int kRateNumerator[8] = {25000, 24000, 25000, 30000, 50000, 60000, 48000, 72000};

// Sample aspect ratios of ASPECT_RATIO 1..13 (index 0 unused).
struct Ratio {
  int x, y;
};
constexpr Ratio kAspect[14] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11},
                               {40, 33}, {24, 11}, {20, 11}, {32, 11}, {80, 33},
                               {18, 11}, {15, 11}, {64, 33}, {160, 99}};

// ---------------------------------------------------------------- bit reading
// MSB-first reader over a bounded buffer. Reading past the end yields zero
// bits and latches overrun, checked once per header.
class BitReader {
 public:
  BitReader(const unsigned char* data, size_t size) : data_(data), bits_(size * 8) {}
  // n <= 24. The buffer holds whole bytes: the bits of the current byte are
  // there or none are.
  unsigned get(int n) {
    unsigned v = 0;
    while (n > 0) {
      if (pos_ >= bits_) {
        overrun_ = true;
        pos_ += size_t(n);
        return v << n;
      }
      const int left = 8 - int(pos_ & 7);
      const int k = n < left ? n : left;
      v = (v << k) | ((unsigned(data_[pos_ >> 3]) >> (left - k)) & ((1u << k) - 1));
      pos_ += size_t(k);
      n -= k;
    }
    return v;
  }
  void skip(int n) { get(n); }
  bool overrun() const { return overrun_; }

 private:
  const unsigned char* data_;
  size_t bits_;
  size_t pos_ = 0;
  bool overrun_ = false;
};

// Copies the first header bytes of a unit (those after the start-code suffix)
// into out with emulation prevention removed: in the encapsulated form a 03
// follows every 00 00 that precedes a byte 00..03. Returns the bytes copied;
// 0 when the unit holds nothing after its suffix.
size_t header_bytes(const NALU_t* unit, unsigned char (&out)[kHeaderBytes]) {
  const size_t start = static_cast<size_t>(unit->startcodeprefix_len) + 1;
  if (unit->len <= start) return 0;
  const unsigned char* p = unit->buf + start;
  const size_t n = unit->len - start;
  // Without a 00 00 among the bytes to copy, none is removed.
  const size_t m = n < kHeaderBytes ? n : kHeaderBytes;
  size_t z = 0;
  while (z + 1 < m && (p[z] | p[z + 1]) != 0) ++z;
  if (z + 1 >= m) {
    memcpy(out, p, m);
    return m;
  }
  size_t o = 0;
  int zeros = 0;
  for (size_t i = 0; i < n && o < kHeaderBytes; i++) {
    if (zeros >= 2 && p[i] == 3 && i + 1 < n && p[i + 1] <= 3) {
      zeros = 0;
      continue;
    }
    out[o++] = p[i];
    zeros = p[i] == 0 ? zeros + 1 : 0;
  }
  return o;
}

// ---------------------------------------------------------------- state
// One picture record: a frame, or a field pair.
struct Picture {
  unsigned char pulldown, interlace, psf;  // flags of its sequence
  unsigned char type;                      // PTYPE code, or FPTYPE for a field pair
  unsigned char mode;                      // frame coding mode
  int repeat;                              // TFF*2+RFF or RPTFRM; kNoPulldown without PULLDOWN
  u64 shown;                               // presentation time (index.h), kNoTime for none
};

bool is_intra(const Picture& p) {
  return p.mode == kFieldInterlaced ? p.type <= 2 : p.type == kTypeI;
}
bool is_reference(const Picture& p) {
  return p.mode == kFieldInterlaced ? p.type <= 3 : p.type <= kTypeSkipped;
}

// Sequence state (last sequence header).
bool had_sequence;        // a sequence header was accepted in this run
u64 vc1_pending_seq;      // its position
bool first_picture;       // no picture header since the last sequence header

// Entry-point state (last entry-point header).
u64 vc1_entry;            // position, 0 before any
int vc1_broken;           // broken_link, unshifted: 0 or 128
int vc1_closed;           // closed_entry, unshifted: 0 or 64

// A field-interlaced frame header waiting for its field header; the pair is
// recorded and counted when the second field's start code arrives.
bool field_pending;
Picture field_picture;

// Film accounting: repeat values of the previous two pictures compared, -1 = none.
int old_trf, ref_trf;

// Group being collected: its SEQ/ENTRY values and its pictures in coding order.
int pending_had_seq;
u64 pending_seq;
int pending_interlace, pending_pulldown, pending_psf;
u64 pending_entry;
int pending_broken, pending_closed;
std::vector<Picture> pending_frms;

u64 stored_position(u64 pos) {
  // Matroska and MP4 units have no byte position: their index lines carry
  // the frame time that the adapter published.
  return (SystemStream_Flag == 2 || SystemStream_Flag == 4) ? mkv_current_tc : pos;
}

// ---------------------------------------------------------------- output
void write_picture(const Picture& p, bool decides_order) {
  if (decides_order && field_order == -1) {
    if (!p.interlace)
      field_order = 0;
    else if (!p.pulldown)
      field_order = 1;
    else if (p.psf)
      field_order = 0;
    else
      field_order = (p.repeat & 2) ? 1 : 2;
  }
  write_lost_slots(p.shown);
  write_picture_line(FRM_ndx, "FRM", {p.type, p.mode, p.repeat});
  FRM_ndx++;
}

// Writes the pending group's pictures in display order: every reference is
// held back until the next reference, B pictures go out at once.
void OutputPendingFrmsVC1() {
  if (pending_frms.empty()) return;
  if (!is_intra(pending_frms[0])) {
    if (Operation == 0) printf("First picture in GOP not an I picture.\n");
    return;
  }
  if (Operation != 0) return;
  // Display order: every reference is held back until the next reference,
  // B pictures go out at once.
  std::vector<const Picture*> shown;
  try {
    size_t held = 0;
    for (size_t i = 1; i < pending_frms.size(); i++) {
      if (is_reference(pending_frms[i])) {
        shown.push_back(&pending_frms[held]);
        held = i;
      } else {
        shown.push_back(&pending_frms[i]);
      }
    }
    shown.push_back(&pending_frms[held]);
  } catch (const std::bad_alloc&) {
    no_mem_exit("pending_frms");
  }
  for (size_t i = 1; i < shown.size(); i++) check_display_order(shown[i - 1]->shown, shown[i]->shown);
  for (size_t i = 0; i < shown.size(); i++) write_picture(*shown[i], i + 1 < shown.size());
}

// Writes the pending group (group lines, then pictures) and empties it. A
// group whose first picture is not an I picture cannot be decoded from its
// entry, so it gets neither group nor picture lines; an empty group gets none.
void flush_pending_group() {
  if (pending_had_seq && !pending_frms.empty()) {
    if (Operation == 0 && is_intra(pending_frms[0])) {
      fprintf(p_aif, "\nSEQ %llu %d %d %d", static_cast<unsigned long long>(pending_seq),
              pending_interlace, pending_pulldown, pending_psf);
      fprintf(p_aif, "\nENTRY %llu %d %d", static_cast<unsigned long long>(pending_entry),
              pending_broken, pending_closed);
    }
    OutputPendingFrmsVC1();
  }
  pending_frms.clear();
}

// Counts the picture and adds it to the pending group; 1 = picture completed.
int add_picture(const Picture& p) {
  if (Operation == 0) coded++;
  try {
    pending_frms.push_back(p);
  } catch (const std::bad_alloc&) {
    no_mem_exit("pending_frms");
  }
  return 1;
}

// ---------------------------------------------------------------- headers
struct SequenceHeader {
  int profile, level;
  int colordiff_format;                       // COLORDIFF_FORMAT: 1 is 4:2:0, the only one defined
  int coded_width_field, coded_height_field;  // MAX_CODED_WIDTH/HEIGHT
  int pulldown, interlace, tfcntrflag, psf;
  bool display_ext;
  int disp_width, disp_height;                // DISP_HORIZ/VERT_SIZE + 1
  bool aspect_known;                          // ASPECT_RATIO 1..13 or 15
  int aspect_x, aspect_y;
  bool rate_given;                            // FRAMERATE_FLAG set, FRAMERATEIND 0
  int rate_nr, rate_dr;                       // FRAMERATENR, FRAMERATEDR
  bool colour_given;                          // COLOR_FORMAT_FLAG
  int colour_prim, transfer_char, matrix_coef;
};

// Parses the fields used here; false when the unit ends before them.
bool parse_sequence_fields(const NALU_t* unit, SequenceHeader* s) {
  unsigned char hdr[kHeaderBytes];
  BitReader br(hdr, header_bytes(unit, hdr));
  *s = SequenceHeader();
  s->profile = static_cast<int>(br.get(2));
  s->level = static_cast<int>(br.get(3));
  s->colordiff_format = static_cast<int>(br.get(2));
  br.skip(3 + 5 + 1);  // FRMRTQ_POSTPROC, BITRTQ_POSTPROC, POSTPROCFLAG
  s->coded_width_field = static_cast<int>(br.get(12));
  s->coded_height_field = static_cast<int>(br.get(12));
  s->pulldown = static_cast<int>(br.get(1));
  s->interlace = static_cast<int>(br.get(1));
  s->tfcntrflag = static_cast<int>(br.get(1));
  br.skip(2);  // FINTERPFLAG, reserved
  s->psf = static_cast<int>(br.get(1));
  s->display_ext = br.get(1) != 0;
  if (s->display_ext) {
    s->disp_width = static_cast<int>(br.get(14)) + 1;
    s->disp_height = static_cast<int>(br.get(14)) + 1;
    if (br.get(1)) {  // ASPECT_RATIO_FLAG
      unsigned ar = br.get(4);
      if (ar >= 1 && ar <= 13) {
        s->aspect_known = true;
        s->aspect_x = kAspect[ar].x;
        s->aspect_y = kAspect[ar].y;
      } else if (ar == 15) {
        s->aspect_known = true;
        s->aspect_x = static_cast<int>(br.get(8));  // ASPECT_HORIZ_SIZE
        s->aspect_y = static_cast<int>(br.get(8));  // ASPECT_VERT_SIZE
      }
    }
    if (br.get(1)) {    // FRAMERATE_FLAG
      if (br.get(1)) {  // FRAMERATEIND
        br.skip(16);    // FRAMERATEEXP
      } else {
        s->rate_given = true;
        s->rate_nr = static_cast<int>(br.get(8));
        s->rate_dr = static_cast<int>(br.get(4));
      }
    }
    if (br.get(1)) {  // COLOR_FORMAT_FLAG
      s->colour_given = true;
      s->colour_prim = static_cast<int>(br.get(8));
      s->transfer_char = static_cast<int>(br.get(8));
      s->matrix_coef = static_cast<int>(br.get(8));
    }
  }  // HRD parameters follow; not needed
  return !br.overrun();
}

// The same for a unit of the bytes of the last one read (streams repeat
// one sequence header before every key frame, or every frame): its fields
// are kept.
bool read_sequence_header(const NALU_t* unit, SequenceHeader* s) {
  static unsigned char bytes[64];
  static u32 len = 0;
  static SequenceHeader fields;
  static bool ok = false;
  if (len == 0 || unit->len != len || memcmp(bytes, unit->buf, len) != 0) {
    ok = parse_sequence_fields(unit, &fields);
    len = unit->len <= sizeof bytes ? unit->len : 0;
    memcpy(bytes, unit->buf, len);
  }
  *s = fields;
  return ok;
}

int parse_sequence_header(const NALU_t* unit, u64 pos) {
  SequenceHeader s;
  if (!read_sequence_header(unit, &s)) {
    printf("VC-1 sequence header at %llu is truncated; ignored.\n",
           static_cast<unsigned long long>(pos));
    return 2;
  }
  had_sequence = true;
  vc1_pending_seq = stored_position(pos);
  profile = s.profile;
  level = s.level;
  if (stream_chroma_format < 0) {
    stream_chroma_format = s.colordiff_format == 1 ? 1 : -1;
    stream_bit_depth = 8;
  }
  Picture_Width = 2 * s.coded_width_field + 2;
  Picture_Height = 2 * s.coded_height_field + 2;
  vc1_pulldown = s.pulldown;
  vc1_interlace = s.interlace;
  vc1_tfcntrflag = s.tfcntrflag;
  vc1_psf = s.psf;
  if (s.display_ext) {
    Picture_Width = s.disp_width;
    Picture_Height = s.disp_height;
    if (s.aspect_known) {
      display_aspect_ratio_x = s.aspect_x;
      display_aspect_ratio_y = s.aspect_y;
    }
    fps_num = 25000;
    fps_den = 1000;
    Frame_Rate = 25.0;
    if (s.rate_given && snap_matroska_rate()) {
      // the track's frame duration stands in for the stream's rate
    } else if (s.rate_given) {
      int num = s.rate_nr < 8 ? kRateNumerator[s.rate_nr] : 25000;
      if (s.rate_dr == 1 || s.rate_dr == 2) {
        snap_frame_rate(num, s.rate_dr == 1 ? 1000 : 1001);
      } else {
        fps_num = 1000;
        fps_den = 1000;
        Frame_Rate = 1.0;
      }
    }
    if (s.colour_given) {
      coded_colour_primaries = s.colour_prim;
      coded_transfer_characteristics = s.transfer_char;
      coded_matrix_coefficients = s.matrix_coef;
    } else {
      coded_matrix_coefficients = -1;
    }
  }
  first_picture = true;
  return 2;
}

int parse_entry_point(const NALU_t* unit, u64 pos) {
  if (!had_sequence || Operation != 0) return 2;
  unsigned char hdr[kHeaderBytes];
  if (header_bytes(unit, hdr) < 1) {
    printf("VC-1 entry-point header at %llu is truncated; ignored.\n",
           static_cast<unsigned long long>(pos));
    return 2;
  }
  vc1_entry = stored_position(pos);
  vc1_broken = hdr[0] & 0x80;  // BROKEN_LINK
  vc1_closed = hdr[0] & 0x40;  // CLOSED_ENTRY
  return 2;
}

// PTYPE of a frame picture: 0 P, 10 B, 110 I, 1110 BI, 1111 skipped.
int read_ptype(BitReader& br) {
  if (!br.get(1)) return kTypeP;
  if (!br.get(1)) return kTypeB;
  if (!br.get(1)) return kTypeI;
  if (!br.get(1)) return kTypeBI;
  return kTypeSkipped;
}

// Pulldown accounting of one picture header (repeats and film cadence).
void account_pulldown(const Picture& p) {
  if (!p.pulldown) return;
  if (Operation == 0) {
    if (!p.interlace || p.psf)
      frame_repeats += p.repeat;
    else if (p.repeat & 1)
      field_repeats++;
  }
  // A reference's own value is compared one reference later, when it is
  // displayed; a B picture is displayed at once.
  const bool b = !is_reference(p);
  const int prev = old_trf;
  const int cur = b ? p.repeat : ref_trf;
  if (ref_trf != -1 && old_trf != -1) {
    bool film;
    if (p.interlace && !p.psf)
      film = (prev + 1) % 4 == cur;
    else
      film = (prev == 1 && cur == 3) || (prev == 3 && cur == 1);
    if (film)
      FILM_Purity++;
    else
      VIDEO_Purity++;
  }
  if (b) {
    old_trf = p.repeat;
  } else {
    old_trf = ref_trf;
    ref_trf = p.repeat;
  }
}

int parse_frame_header(const NALU_t* unit, u64 pos) {
  if (!had_sequence) return 2;
  // Whatever this header holds, a first field still waiting for its field
  // start code will not get one now.
  field_pending = false;

  unsigned char hdr[kHeaderBytes];
  BitReader br(hdr, header_bytes(unit, hdr));
  Picture p;
  p.pulldown = static_cast<unsigned char>(vc1_pulldown);
  p.interlace = static_cast<unsigned char>(vc1_interlace);
  p.psf = static_cast<unsigned char>(vc1_psf);
  p.mode = kProgressive;
  if (vc1_interlace && br.get(1))  // FCM: 0, 10, 11
    p.mode = br.get(1) ? kFieldInterlaced : kFrameInterlaced;
  p.type = static_cast<unsigned char>(p.mode == kFieldInterlaced ? br.get(3) : read_ptype(br));
  if (vc1_tfcntrflag) br.skip(8);  // TFCNTR
  p.repeat = vc1_pulldown ? static_cast<int>(br.get(2)) : kNoPulldown;
  if (br.overrun()) {
    printf("VC-1 picture header at %llu is truncated; picture ignored.\n",
           static_cast<unsigned long long>(pos));
    return 2;
  }

  account_pulldown(p);
  p.shown = picture_time(stored_position(pos));

  // A group starts at an I picture that directly follows a sequence header.
  if (first_picture && is_intra(p)) {
    if (pending_had_seq)
      flush_pending_group();
    else
      pending_frms.clear();  // pictures before the first group have no entry to decode from
    pending_had_seq = 1;
    pending_seq = vc1_pending_seq;
    pending_interlace = vc1_interlace;
    pending_pulldown = vc1_pulldown;
    pending_psf = vc1_psf;
    pending_entry = vc1_entry;
    pending_broken = vc1_broken;
    pending_closed = vc1_closed;
  }
  first_picture = false;

  if (p.mode == kFieldInterlaced) {
    field_picture = p;
    field_pending = true;
    return 2;
  }
  return add_picture(p);
}

int parse_field_header() {
  // A field start code completes the pair only directly after the
  // field-interlaced frame header of its first field.
  if (!had_sequence || !field_pending) return 2;
  field_pending = false;
  return add_picture(field_picture);
}

}  // namespace

bool vc1_head_suffices(const unsigned char* p, u32 n) {
  bool had = had_sequence, frame = false;
  int interlace = vc1_interlace;
  for (u32 i = FindStartCode(p, n); i < n;) {
    // The unit reader ends a unit at the first 00 00 01 from its value on.
    const u32 end = i + 3 + FindStartCode(p + i + 3, n - i - 3);
    if (end == i + 3) return false;  // a start code with no value before the next
    const bool whole = end < n;      // the unit ends in the n bytes
    NALU_t unit{};
    unit.startcodeprefix_len = 3;
    unit.len = end - i;
    unit.buf = const_cast<unsigned char*>(p + i);
    switch (p[i + 3]) {
      case kSequenceHeaderCode: {
        if (frame || !whole) return false;
        SequenceHeader s;
        if (read_sequence_header(&unit, &s)) {
          had = true;
          interlace = s.interlace;
        }
        break;
      }
      case kEntryPointCode:
        if (frame || !whole) return false;
        break;
      case kFrameCode: {
        if (frame || !had || (!whole && end - i < 4 + 64)) return false;
        frame = true;
        unsigned char hdr[kHeaderBytes];
        BitReader br(hdr, header_bytes(&unit, hdr));
        if (interlace && br.get(1) && br.get(1)) return false;  // FCM 11: a field pair
        break;
      }
      case kFieldCode:
        return false;
      default:  // slices, user data, end of sequence
        break;
    }
    i = end;
  }
  return frame;
}

void reset_vc1_analysis() {
  had_sequence = false;
  vc1_pending_seq = 0;
  first_picture = false;
  vc1_pulldown = vc1_interlace = vc1_tfcntrflag = vc1_psf = 0;
  display_aspect_ratio_x = display_aspect_ratio_y = 0;
  vc1_entry = 0;
  vc1_broken = vc1_closed = 0;
  field_pending = false;
  field_picture = Picture();
  old_trf = ref_trf = -1;
  pending_had_seq = 0;
  pending_seq = 0;
  pending_interlace = pending_pulldown = pending_psf = 0;
  pending_entry = ~0ull;
  pending_broken = pending_closed = 0;
  pending_frms.clear();
}

int parse_nalu_vc1(NALU_t* unit, u64 position) {
  const size_t suffix = static_cast<size_t>(unit->startcodeprefix_len);
  if (unit->len <= suffix) return 2;
  switch (unit->buf[suffix]) {
    case kSequenceHeaderCode:
      return parse_sequence_header(unit, position);
    case kEntryPointCode:
      return parse_entry_point(unit, position);
    case kFrameCode:
      return parse_frame_header(unit, position);
    case kFieldCode:
      return parse_field_header();
    default:
      return 2;
  }
}

void index_vc1() {
  if (Operation == 0) {
    write_index_head("KWVC1IndexFile", 500);
    write_keyword_header(8);
    write_aspect_colorimetry(-1, -1, 2, 2, 2);
  }

  // Matroska and MP4 input is positioned by its adapter; byte streams here.
  if (SystemStream_Flag == 2) InitializeMKVBuffer(process.start_time);
  if (SystemStream_Flag == 4) InitializeMP4Buffer(process.start_time);
  if (SystemStream_Flag != 2 && SystemStream_Flag != 4) {
    u64 start = process.start_byte;
    // A transport stream restarts one packet early so that a start code
    // split across the packet before the range is found.
    if (SystemStream_Flag == 1 && start > 203) start -= 204;
    SeekStream(start);
  }

  OutputProgress(0);
  while (read_new_picture() != 0) {
    if (coded % 1000 == 0) OutputProgress(progress_percent());
  }
  OutputProgress(100);
  flush_pending_group();

  if (Operation == 0) {
    write_trailer(false);
    close_index_file();
  }
}
