// Test-side writer of VC-1 advanced-profile start-code streams (no encoder
// for VC-1 exists on the build machines), and wrappers that put such an
// elementary stream into a program stream or a transport stream.
//
// The writer emits real header syntax (sequence header with display
// extension, entry point, frame header with FCM/PTYPE/FPTYPE, TFCNTR and the
// pulldown bits, field start codes) followed by filler bytes instead of
// macroblock data; everything after the fields the index needs is filler.
// Payloads are encapsulated as the standard requires: 03 is inserted after
// every 00 00 that precedes a byte 00..03. Every unit's start-code position
// is recorded, so the tests know what each index line must say.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bitwriter.h"
#include "testutil.h"

namespace vc1w {

// ---------------------------------------------------------------- bits
using tu::BitWriter;

// The payload with its last byte filled up with one bits: filler that never
// forms a zero run.
inline std::vector<uint8_t> padded(BitWriter& w) { return w.align(1).bytes(); }

// ---------------------------------------------------------------- headers
struct Sequence {
  int profile = 3, level = 1;
  int width = 320, height = 240;   // coded size; MAX_CODED_* = size / 2 - 1
  bool pulldown = false, interlace = false, tfcntrflag = false, psf = false;
  bool display_ext = false;
  int disp_width = 320, disp_height = 240;  // written as size - 1
  int aspect = -1;                 // ASPECT_RATIO; -1 = ASPECT_RATIO_FLAG clear
  int aspect_x = 0, aspect_y = 0;  // ASPECT_HORIZ/VERT_SIZE for aspect 15
  int rate_nr = -1;                // FRAMERATENR; -1 = FRAMERATE_FLAG clear
  int rate_dr = 1;                 // FRAMERATEDR
  bool rate_ind = false;           // FRAMERATEIND: FRAMERATEEXP instead
  int colour_prim = -1, transfer_char = 1, matrix_coef = 1;  // -1 = COLOR_FORMAT_FLAG clear
};

inline std::vector<uint8_t> sequence_payload(const Sequence& s) {
  BitWriter w;
  w.put(s.profile, 2);
  w.put(s.level, 3);
  w.put(1, 2);   // COLORDIFF_FORMAT 4:2:0
  w.put(7, 3);   // FRMRTQ_POSTPROC
  w.put(31, 5);  // BITRTQ_POSTPROC
  w.put(0, 1);   // POSTPROCFLAG
  w.put(s.width / 2 - 1, 12);
  w.put(s.height / 2 - 1, 12);
  w.put(s.pulldown, 1);
  w.put(s.interlace, 1);
  w.put(s.tfcntrflag, 1);
  w.put(0, 1);  // FINTERPFLAG
  w.put(1, 1);  // reserved
  w.put(s.psf, 1);
  w.put(s.display_ext, 1);
  if (s.display_ext) {
    w.put(s.disp_width - 1, 14);
    w.put(s.disp_height - 1, 14);
    w.put(s.aspect >= 0, 1);
    if (s.aspect >= 0) {
      w.put(s.aspect, 4);
      if (s.aspect == 15) {
        w.put(s.aspect_x, 8);
        w.put(s.aspect_y, 8);
      }
    }
    w.put(s.rate_nr >= 0 || s.rate_ind, 1);
    if (s.rate_nr >= 0 || s.rate_ind) {
      w.put(s.rate_ind, 1);
      if (s.rate_ind) {
        w.put(0x1234, 16);  // FRAMERATEEXP
      } else {
        w.put(s.rate_nr, 8);
        w.put(s.rate_dr, 4);
      }
    }
    w.put(s.colour_prim >= 0, 1);
    if (s.colour_prim >= 0) {
      w.put(s.colour_prim, 8);
      w.put(s.transfer_char, 8);
      w.put(s.matrix_coef, 8);
    }
  }
  w.put(0, 1);  // HRD_PARAM_FLAG
  return padded(w);
}

// Picture kinds as the index writes them: frame pictures by PTYPE code,
// field pairs by FPTYPE.
enum FrameType { I = 0, P = 1, Skipped = 2, B = 3, BI = 4 };
enum FieldType { II = 0, IP = 1, PI = 2, PP = 3, BB = 4, BBI = 5, BIB = 6, BIBI = 7 };
enum Mode { Progressive = 0, FrameInterlaced = 1, FieldInterlaced = 2 };

struct Picture {
  int type = I;                 // FrameType, or FieldType for FieldInterlaced
  int mode = Progressive;
  int repeat = 0;               // 2 bits: TFF*2+RFF, or RPTFRM
  int tfcntr = 0x5A;            // written when the sequence has TFCNTRFLAG
};

// A picture of the given kind, repeat bits and coding mode.
inline Picture pic(int type, int repeat = 0, int mode = Progressive) {
  Picture p;
  p.type = type;
  p.repeat = repeat;
  p.mode = mode;
  return p;
}

inline void put_ptype(BitWriter& w, int type) {
  switch (type) {
    case P: w.put(0b0, 1); break;
    case B: w.put(0b10, 2); break;
    case I: w.put(0b110, 3); break;
    case BI: w.put(0b1110, 4); break;
    default: w.put(0b1111, 4); break;  // skipped
  }
}

inline std::vector<uint8_t> picture_payload(const Sequence& s, const Picture& p) {
  BitWriter w;
  if (s.interlace) {
    if (p.mode == Progressive) w.put(0b0, 1);
    else if (p.mode == FrameInterlaced) w.put(0b10, 2);
    else w.put(0b11, 2);
  }
  if (p.mode == FieldInterlaced) w.put(p.type, 3);
  else put_ptype(w, p.type);
  if (s.tfcntrflag) w.put(p.tfcntr, 8);
  if (s.pulldown) w.put(p.repeat, 2);
  w.put(0b1010, 4);  // start of PQINDEX etc.: filler
  return padded(w);
}

// ---------------------------------------------------------------- stream
struct Unit {
  uint64_t pos;   // offset of the 00 00 01 in the elementary stream
  uint8_t code;
};

class Stream {
 public:
  std::vector<uint8_t> es;
  std::vector<Unit> units;
  Sequence seq;      // the sequence the next pictures are written for
  size_t filler = 24;  // filler bytes after each picture header

  uint64_t unit(uint8_t code, const std::vector<uint8_t>& payload) {
    uint64_t pos = es.size();
    es.insert(es.end(), {0, 0, 1, code});
    std::vector<uint8_t> e = tu::escape(payload);
    es.insert(es.end(), e.begin(), e.end());
    units.push_back({pos, code});
    return pos;
  }
  uint64_t sequence(const Sequence& s) {
    seq = s;
    return unit(0x0F, sequence_payload(s));
  }
  uint64_t entry(bool broken_link = false, bool closed_entry = true) {
    BitWriter w;
    w.put(broken_link, 1);
    w.put(closed_entry, 1);
    w.put(0, 1);     // PANSCAN_FLAG
    w.put(1, 1);     // REFDIST_FLAG
    w.put(1, 1);     // LOOPFILTER
    w.put(0, 1);     // FASTUVMC
    w.put(0, 1);     // EXTENDED_MV
    w.put(0, 2);     // DQUANT
    w.put(1, 1);     // VSTRANSFORM
    w.put(0, 1);     // OVERLAP
    w.put(0, 2);     // QUANTIZER
    w.put(0, 1);     // CODED_SIZE_FLAG
    return unit(0x0E, padded(w));
  }
  // A frame header (0x0D); for a field pair also its second field (0x0C)
  // unless second_field is false.
  uint64_t picture(const Picture& p, bool second_field = true) {
    std::vector<uint8_t> pl = picture_payload(seq, p);
    add_filler(pl);
    uint64_t pos = unit(0x0D, pl);
    if (p.mode == FieldInterlaced && second_field) field();
    return pos;
  }
  uint64_t field() {
    std::vector<uint8_t> pl{0xC5};
    add_filler(pl);
    return unit(0x0C, pl);
  }
  // Sequence header, entry point and an I picture: a group start.
  uint64_t group(const Picture& first, bool broken_link = false, bool closed_entry = true) {
    uint64_t pos = sequence(seq);
    entry(broken_link, closed_entry);
    picture(first);
    return pos;
  }
  void raw(const std::vector<uint8_t>& bytes) { es.insert(es.end(), bytes.begin(), bytes.end()); }
  std::vector<uint64_t> positions(uint8_t code) const {
    std::vector<uint64_t> v;
    for (const Unit& u : units)
      if (u.code == code) v.push_back(u.pos);
    return v;
  }

 private:
  void add_filler(std::vector<uint8_t>& pl) const {
    for (size_t i = 0; i < filler; i++) pl.push_back(static_cast<uint8_t>(0x40 + (i * 37) % 0xB0));
  }
};

// ---------------------------------------------------------------- indexing
// Ostrel's run on an elementary stream written to <name>.vc1 in the test's
// scratch folder, and the lines of the index it wrote to <name>.kwi.
struct Indexed {
  tu::RunResult run;
  std::vector<std::string> lines;
};

inline Indexed index_es(const std::vector<uint8_t>& es, const std::string& name) {
  const std::string in = tu::scratch(name + ".vc1");
  tu::write_file(in, es);
  Indexed x;
  x.lines = tu::index_lines(in, tu::scratch(name + ".kwi"), &x.run);
  return x;
}

// ---------------------------------------------------------------- containers
inline void put_pts(std::vector<uint8_t>& v, int prefix, uint64_t pts) {
  v.push_back(static_cast<uint8_t>((prefix << 4) | (((pts >> 30) & 7) << 1) | 1));
  v.push_back(static_cast<uint8_t>(pts >> 22));
  v.push_back(static_cast<uint8_t>((((pts >> 15) & 0x7F) << 1) | 1));
  v.push_back(static_cast<uint8_t>(pts >> 7));
  v.push_back(static_cast<uint8_t>(((pts & 0x7F) << 1) | 1));
}

// Splits the stream into access units: each starts at a sequence header or
// at a frame header not directly preceded by the entry/sequence header of
// its access unit. Returns the offsets where PES packets begin.
inline std::vector<size_t> access_unit_starts(const Stream& s) {
  std::vector<size_t> v;
  uint8_t prev = 0;
  for (const Unit& u : s.units) {
    bool start = u.code == 0x0F || (u.code == 0x0D && prev != 0x0E && prev != 0x0F) ||
                 (u.code == 0x0E && prev != 0x0F);
    if (start || v.empty()) v.push_back(static_cast<size_t>(u.pos));
    prev = u.code;
  }
  if (v.empty() || v[0] != 0) v.insert(v.begin(), 0);
  return v;
}

constexpr uint16_t kVideoPid = 0x1011;

// Transport stream of packet_size 188 or 192 (M2TS: a 4-byte arrival time
// before each packet): PAT, PMT (stream type 0xEA with a "VC-1"
// registration descriptor), then one PES packet (stream_id 0xFD, extension
// 0x55) per access unit. map (when given) receives the file offset of every
// elementary-stream byte.
inline std::vector<uint8_t> wrap_ts(const Stream& s, int packet_size = 188,
                                    std::vector<uint64_t>* map = nullptr) {
  std::vector<uint8_t> out;
  if (map) map->assign(s.es.size(), 0);
  uint8_t cc_pat = 0, cc_pmt = 0, cc_vid = 0;
  // One packet; offs holds each data byte's elementary-stream offset, or -1.
  auto packet = [&](uint16_t pid, bool pusi, uint8_t& cc, const std::vector<uint8_t>& data,
                    const std::vector<int64_t>& offs) {
    // data.size() <= 184; stuffing through the adaptation field fills the rest.
    if (packet_size == 192) out.insert(out.end(), {0x00, 0x00, 0x00, 0x00});
    out.push_back(0x47);
    out.push_back(static_cast<uint8_t>((pusi ? 0x40 : 0) | (pid >> 8)));
    out.push_back(static_cast<uint8_t>(pid & 0xFF));
    size_t stuff = 184 - data.size();
    out.push_back(static_cast<uint8_t>((stuff ? 0x30 : 0x10) | (cc++ & 15)));
    if (stuff) {
      out.push_back(static_cast<uint8_t>(stuff - 1));
      if (stuff > 1) {
        out.push_back(0x00);
        for (size_t i = 2; i < stuff; i++) out.push_back(0xFF);
      }
    }
    for (size_t i = 0; i < data.size(); i++) {
      if (map && i < offs.size() && offs[i] >= 0) (*map)[static_cast<size_t>(offs[i])] = out.size();
      out.push_back(data[i]);
    }
  };
  auto section = [&](uint16_t pid, uint8_t& cc, std::vector<uint8_t> sec) {
    uint32_t crc = tu::crc32_mpeg(sec.data(), sec.size());
    for (int k = 3; k >= 0; k--) sec.push_back(static_cast<uint8_t>(crc >> (8 * k)));
    sec.insert(sec.begin(), 0x00);  // pointer_field
    packet(pid, true, cc, sec, {});
  };
  // PAT: program 1 -> PMT PID 0x100.
  section(0, cc_pat, {0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE1, 0x00});
  // PMT: PCR on the video PID, one VC-1 stream.
  section(0x100, cc_pmt,
          {0x02, 0xB0, 24, 0x00, 0x01, 0xC1, 0x00, 0x00, static_cast<uint8_t>(0xE0 | (kVideoPid >> 8)),
           static_cast<uint8_t>(kVideoPid & 0xFF), 0xF0, 0x00, 0xEA,
           static_cast<uint8_t>(0xE0 | (kVideoPid >> 8)), static_cast<uint8_t>(kVideoPid & 0xFF), 0xF0,
           0x06, 0x05, 0x04, 'V', 'C', '-', '1'});
  std::vector<size_t> starts = access_unit_starts(s);
  uint64_t pts = 90000;
  for (size_t a = 0; a < starts.size(); a++) {
    size_t begin = starts[a], end = a + 1 < starts.size() ? starts[a + 1] : s.es.size();
    if (begin >= end) continue;
    std::vector<uint8_t> head{0x00, 0x00, 0x01, 0xFD, 0x00, 0x00, 0x81, 0x81, 8};
    put_pts(head, 2, pts);
    pts += 3750;
    head.insert(head.end(), {0x0F, 0x81, 0x55});  // PES extension: stream_id_extension 0x55
    size_t pes_len = head.size() - 6 + (end - begin);
    if (pes_len <= 0xFFFF) {
      head[4] = static_cast<uint8_t>(pes_len >> 8);
      head[5] = static_cast<uint8_t>(pes_len & 0xFF);
    }
    // The PES header opens the first packet; the payload runs on in 184-byte pieces.
    std::vector<uint8_t> data = head;
    std::vector<int64_t> offs(head.size(), -1);
    for (size_t p = begin; p < end; p++) {
      data.push_back(s.es[p]);
      offs.push_back(static_cast<int64_t>(p));
    }
    for (size_t p = 0; p < data.size(); p += 184) {
      size_t n = std::min<size_t>(184, data.size() - p);
      packet(kVideoPid, p == 0, cc_vid, std::vector<uint8_t>(data.begin() + p, data.begin() + p + n),
             std::vector<int64_t>(offs.begin() + p, offs.begin() + p + n));
    }
  }
  return out;
}

// MPEG-2 program stream: one pack (header 0x44 form) and one video PES
// packet (stream_id 0xE0, PTS) per access unit, split at 2000 bytes.
inline std::vector<uint8_t> wrap_ps(const Stream& s, std::vector<uint64_t>* map = nullptr) {
  std::vector<uint8_t> out;
  if (map) map->assign(s.es.size(), 0);
  std::vector<size_t> starts = access_unit_starts(s);
  uint64_t pts = 90000;
  for (size_t a = 0; a < starts.size(); a++) {
    size_t begin = starts[a], end = a + 1 < starts.size() ? starts[a + 1] : s.es.size();
    for (size_t p = begin; p < end; p += 2000) {
      size_t n = std::min<size_t>(2000, end - p);
      out.insert(out.end(), {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89,
                             0xC3, 0xF8});
      size_t len = 3 + 5 + n;
      out.insert(out.end(), {0x00, 0x00, 0x01, 0xE0, static_cast<uint8_t>(len >> 8),
                             static_cast<uint8_t>(len & 0xFF), 0x81, 0x80, 5});
      put_pts(out, 2, pts);
      for (size_t i = 0; i < n; i++) {
        if (map) (*map)[p + i] = out.size();
        out.push_back(s.es[p + i]);
      }
    }
    pts += 3750;
  }
  out.insert(out.end(), {0x00, 0x00, 0x01, 0xB9});  // program end
  return out;
}

}  // namespace vc1w
