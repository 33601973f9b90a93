// Test helpers for the MPEG-2 analysis: a byte-by-byte builder of small
// MPEG-2 video elementary streams (headers written field by field, intra
// DC-only slices that a decoder accepts), a start-code scan that reads the
// picture headers independently of Ostrel, and readers of MPEG-2 index lines.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bitwriter.h"
#include "testutil.h"

namespace mpgt {

// ------------------------------------------------------------------ bit writer
// The shared writer plus MPEG-2's start codes, which always begin on a byte
// boundary (zero bits fill up to it).
class BitWriter : public tu::BitWriter {
 public:
  void start_code(uint8_t value) {
    align();
    put(0x000001, 24);
    put(value, 8);
  }
};

// ------------------------------------------------------------------ stream builder
struct Sequence {
  int width = 32, height = 32;       // multiples of 16 (of 32 for field pictures)
  int aspect = 1;                    // aspect_ratio_information
  int rate_code = 3;                 // frame_rate_code (3 = 25 fps)
  int progressive_sequence = 0;
  int profile_level = 0x48;          // main profile, main level
  bool display_ext = false;          // sequence_display_extension
  bool colour = false;               // ... with colour_description
  int primaries = 1, transfer = 1, matrix = 1;
  int display_width = 0, display_height = 0;  // 0: the coded size
};

struct Picture {
  int type = 1;                      // picture_coding_type: 1 I, 2 P, 3 B
  int temporal_reference = 0;
  int structure = 3;                 // picture_structure: 1 top, 2 bottom, 3 frame
  int tff = 0, rff = 0, progressive_frame = 0;
};

// Writes an MPEG-2 video elementary stream piece by piece.
class StreamBuilder {
 public:
  explicit StreamBuilder(const Sequence& s) : seq_(s) {}

  // Sequence header and extension (and the display extension when asked).
  void sequence_header() {
    w_.start_code(0xB3);
    w_.put(seq_.width & 0xFFF, 12);          // horizontal_size_value
    w_.put(seq_.height & 0xFFF, 12);         // vertical_size_value
    w_.put(seq_.aspect, 4);                  // aspect_ratio_information
    w_.put(seq_.rate_code, 4);               // frame_rate_code
    w_.put(0x3FFFF, 18);                     // bit_rate_value
    w_.put(1, 1);                            // marker_bit
    w_.put(112, 10);                         // vbv_buffer_size_value
    w_.put(0, 1);                            // constrained_parameters_flag
    w_.put(0, 1);                            // load_intra_quantiser_matrix
    w_.put(0, 1);                            // load_non_intra_quantiser_matrix
    w_.start_code(0xB5);
    w_.put(1, 4);                            // sequence extension
    w_.put(seq_.profile_level, 8);
    w_.put(seq_.progressive_sequence, 1);
    w_.put(1, 2);                            // chroma_format 4:2:0
    w_.put((seq_.width >> 12) & 3, 2);       // horizontal_size_extension
    w_.put((seq_.height >> 12) & 3, 2);      // vertical_size_extension
    w_.put(0, 12);                           // bit_rate_extension
    w_.put(1, 1);                            // marker_bit
    w_.put(0, 8);                            // vbv_buffer_size_extension
    w_.put(0, 1);                            // low_delay
    w_.put(0, 2);                            // frame_rate_extension_n
    w_.put(0, 5);                            // frame_rate_extension_d
    if (seq_.display_ext) {
      w_.start_code(0xB5);
      w_.put(2, 4);                          // sequence display extension
      w_.put(2, 3);                          // video_format (NTSC)
      w_.put(seq_.colour ? 1 : 0, 1);
      if (seq_.colour) {
        w_.put(seq_.primaries, 8);
        w_.put(seq_.transfer, 8);
        w_.put(seq_.matrix, 8);
      }
      w_.put(seq_.display_width ? seq_.display_width : seq_.width, 14);
      w_.put(1, 1);                          // marker_bit
      w_.put(seq_.display_height ? seq_.display_height : seq_.height, 14);
    }
  }

  void gop(int closed) {
    w_.start_code(0xB8);
    w_.put(0, 1);                            // drop_frame_flag
    w_.put(0, 5);                            // hours
    w_.put(0, 6);                            // minutes
    w_.put(1, 1);                            // marker_bit
    w_.put(0, 6);                            // seconds
    w_.put(0, 6);                            // pictures
    w_.put(closed, 1);                       // closed_gop
    w_.put(0, 1);                            // broken_link
  }

  // Picture header, picture coding extension and (unless slices is false)
  // intra DC-only slices, one per macroblock row.
  void picture(const Picture& p, bool slices = true) {
    w_.start_code(0x00);
    w_.put(p.temporal_reference & 0x3FF, 10);
    w_.put(p.type, 3);
    w_.put(0xFFFF, 16);                      // vbv_delay
    if (p.type == 2 || p.type == 3) {
      w_.put(0, 1);                          // full_pel_forward_vector
      w_.put(7, 3);                          // forward_f_code
    }
    if (p.type == 3) {
      w_.put(0, 1);                          // full_pel_backward_vector
      w_.put(7, 3);                          // backward_f_code
    }
    w_.put(0, 1);                            // extra_bit_picture
    w_.start_code(0xB5);
    w_.put(8, 4);                            // picture coding extension
    int fwd = p.type == 1 ? 15 : 1, bwd = p.type == 3 ? 1 : 15;
    w_.put(fwd, 4);
    w_.put(fwd, 4);                          // f_code[0][0..1]
    w_.put(bwd, 4);
    w_.put(bwd, 4);                          // f_code[1][0..1]
    w_.put(0, 2);                            // intra_dc_precision (8 bits)
    w_.put(p.structure, 2);
    w_.put(p.tff, 1);
    bool frame = p.structure == 3;
    w_.put(frame ? 1 : 0, 1);                // frame_pred_frame_dct (0 in field pictures)
    w_.put(0, 1);                            // concealment_motion_vectors
    w_.put(0, 1);                            // q_scale_type
    w_.put(0, 1);                            // intra_vlc_format
    w_.put(0, 1);                            // alternate_scan
    w_.put(p.rff, 1);
    w_.put(1, 1);                            // chroma_420_type
    w_.put(p.progressive_frame, 1);
    w_.put(0, 1);                            // composite_display_flag
    int mb_cols = seq_.width / 16;
    int mb_rows = !slices ? 0 : frame ? seq_.height / 16 : seq_.height / 32;
    for (int row = 0; row < mb_rows; row++) {
      w_.start_code(static_cast<uint8_t>(row + 1));
      w_.put(8, 5);                          // quantiser_scale_code
      w_.put(0, 1);                          // extra_bit_slice
      for (int c = 0; c < mb_cols; c++) {
        w_.put(1, 1);                        // macroblock_address_increment 1
        if (p.type == 1) w_.put(1, 1);       // macroblock_type: intra (I table)
        else w_.put(3, 5);                   // macroblock_type: intra (P and B tables, 00011)
        for (int b = 0; b < 4; b++) {
          w_.put(4, 3);                      // dct_dc_size_luminance 0 (100)
          w_.put(2, 2);                      // end of block (10)
        }
        for (int b = 0; b < 2; b++) {
          w_.put(0, 2);                      // dct_dc_size_chrominance 0 (00)
          w_.put(2, 2);                      // end of block
        }
      }
    }
  }

  void sequence_end() { w_.start_code(0xB7); }
  // A user data unit of n bytes (Ostrel refuses inputs under 64 bytes).
  void user_data(int n) {
    w_.start_code(0xB2);
    for (int i = 0; i < n; i++) w_.put('u', 8);
  }
  // Raw bytes, for broken streams.
  void raw(const std::vector<uint8_t>& b) {
    w_.align();
    for (uint8_t x : b) w_.put(x, 8);
  }
  // The stream so far, its last byte filled up with zero bits.
  const std::vector<uint8_t>& bytes() {
    w_.align();
    return w_.bytes();
  }
  size_t size() { return bytes().size(); }

 private:
  Sequence seq_;
  BitWriter w_;
};

// ------------------------------------------------------------------ independent scan
// What a start-code scan of an MPEG-2 video byte stream finds: the position
// of every sequence header, and per picture (coding order) its type and
// picture coding extension flags, read straight from the bytes.
struct ScannedPicture {
  uint64_t pos;
  int type, temporal_reference;
  int structure = -1, tff = -1, rff = -1, progressive_frame = -1;
};
struct Scan {
  std::vector<uint64_t> sequence_headers;
  std::vector<ScannedPicture> pictures;
  // Per I picture (coding order) that is a frame or the first field of a
  // pair, what its group lines should hold: the position of the last
  // sequence header before it, the progressive_sequence of the last sequence
  // extension (-1 before one), and 1 for temporal_reference 0, else the
  // closed_gop of the last GOP header since the previous such I picture, else -1.
  std::vector<uint64_t> seq_before_i;
  // Its whole SEQ line: "SEQ seq" where a sequence header came after the
  // picture before, else "SEQ start seq" with the first GOP header after
  // that picture, or the I picture itself, as the start.
  std::vector<std::string> seq_lines;
  std::vector<int> seqext_before_i;
  std::vector<int> gop_before_i;
};

inline Scan scan_mpeg2(const std::vector<uint8_t>& d) {
  Scan s;
  uint64_t last_seq = 0, start = 0;
  int last_progressive = -1, gop = -1;
  bool expect_second = false, seq_since_picture = false, gop_since_picture = false;
  std::string start_line;  // the SEQ line of an I picture at the latest picture header
  for (const tu::ScanUnit& u : tu::scan_start_codes(d)) {
    size_t i = u.pos;
    if (u.code == 0xB3) {
      s.sequence_headers.push_back(u.pos);
      last_seq = u.pos;
      seq_since_picture = true;
      gop_since_picture = false;
    } else if (u.code == 0xB8 && i + 7 < d.size()) {
      gop = (d[i + 7] >> 6) & 1;
      if (!gop_since_picture) start = u.pos;
      gop_since_picture = true;
    } else if (u.code == 0xB5 && i + 5 < d.size() && (d[i + 4] >> 4) == 1) {
      last_progressive = (d[i + 5] >> 3) & 1;
    } else if (u.code == 0x00 && i + 5 < d.size()) {
      if (!gop_since_picture) start = u.pos;
      start_line = seq_since_picture ? "SEQ " + std::to_string(last_seq)
                                     : "SEQ " + std::to_string(start) + " " + std::to_string(last_seq);
      seq_since_picture = gop_since_picture = false;
      ScannedPicture p;
      p.pos = u.pos;
      p.temporal_reference = (d[i + 4] << 2) | (d[i + 5] >> 6);
      p.type = (d[i + 5] >> 3) & 7;
      s.pictures.push_back(p);
    } else if (u.code == 0xB5 && i + 8 < d.size() && (d[i + 4] >> 4) == 8 && !s.pictures.empty()) {
      ScannedPicture& p = s.pictures.back();
      p.structure = d[i + 6] & 3;
      p.tff = d[i + 7] >> 7;
      p.rff = (d[i + 7] >> 1) & 1;
      p.progressive_frame = d[i + 8] >> 7;
      bool field = p.structure != 3;
      bool first = !(field && expect_second);
      if (first && p.type == 1) {
        s.seq_before_i.push_back(last_seq);
        s.seq_lines.push_back(start_line);
        s.seqext_before_i.push_back(last_progressive);
        s.gop_before_i.push_back(p.temporal_reference == 0 ? 1 : gop);
        gop = -1;
      }
      expect_second = field && first;
    }
  }
  return s;
}

// ------------------------------------------------------------------ index lines
struct Frm {
  char type;
  int structure, tff, rff, progressive_frame;
};

// The FRM lines of an MPEG-2 index, in file order.
inline std::vector<Frm> frm_lines(const std::vector<std::string>& lines) {
  std::vector<Frm> v;
  for (const std::string& l : tu::kwi_pictures(lines)) {
    Frm f{};
    char kw[8] = {};
    if (sscanf(l.c_str(), "%7s %c %d %d %d %d", kw, &f.type, &f.structure, &f.tff, &f.rff,
               &f.progressive_frame) == 6 &&
        std::string(kw) == "FRM")
      v.push_back(f);
  }
  return v;
}

// The picture-type letters of the FRM lines, as one string ("IBBP...").
inline std::string frm_types(const std::vector<Frm>& v) {
  std::string s;
  for (const Frm& f : v) s += f.type;
  return s;
}

// The numbers after "KEYWORD " of every line that begins with it.
inline std::vector<long long> values_of(const std::vector<std::string>& lines, const std::string& keyword) {
  std::vector<long long> v;
  for (const std::string& l : tu::kwi_with(lines, keyword + " ")) v.push_back(atoll(l.c_str() + keyword.size() + 1));
  return v;
}

// The whole line that begins with the keyword (empty when none).
inline std::string line_of(const std::vector<std::string>& lines, const std::string& keyword) {
  auto v = tu::kwi_with(lines, keyword);
  return v.empty() ? std::string() : v[0];
}

// The share printed on the FILM line ("97.50% FILM" -> 97.5), -1 when none.
inline double film_share(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) {
    size_t p = l.find("% FILM");
    if (p != std::string::npos && p + 6 == l.size()) return atof(l.c_str());
  }
  return -1;
}

// ffprobe's picture types in output (display) order, as one string.
inline std::string probe_types(const std::vector<std::map<std::string, std::string>>& frames) {
  std::string s;
  for (const auto& f : frames) {
    auto it = f.find("pict_type");
    s += it == f.end() || it->second.empty() ? '?' : it->second[0];
  }
  return s;
}

inline int probe_int(const std::map<std::string, std::string>& m, const std::string& key) {
  auto it = m.find(key);
  return it == m.end() ? -1 : atoi(it->second.c_str());
}

// Runs Ostrel on one input; returns the index lines (empty when the run failed).
inline std::vector<std::string> index_file(const std::string& input, const std::string& kwi,
                                           tu::RunResult* result = nullptr) {
  tu::RunResult r;
  std::vector<std::string> lines = tu::index_lines(input, kwi, &r);
  if (result) *result = r;
  if (r.status != 0) return {};
  return lines;
}

}  // namespace mpgt
