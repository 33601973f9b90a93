// Picture numbers of the units fed (the tag struct of decoder.h): each unit
// goes to the parser with the number of the coded picture it belongs to as
// its packet timestamp, and the display callback places the picture by the
// number that comes back with it.
//
// MPEG-2 and VC-1 pictures are numbered in decode order from the index's
// picture types; HEVC pictures by their order counts, read from the slice
// headers with the few values of the latest SPS and PPS that they need (as
// Ostrel reads them), and found among the index's pictures of their group.
// AVC pictures alike: the order count of each new picture is derived from
// its first slice and the SPS and PPS it names, as Ostrel derives the count
// it writes, and found among the index's pictures (FindByCount).
#include <algorithm>
#include <cstring>

#include "decoder.h"

namespace {

// Bits of one unit after its header, emulation prevention bytes removed.
class UnitBits {
 public:
  UnitBits(const unsigned char* bytes, u32 length, u32 from) : bytes_(bytes), length_(length), at_(from) {}
  // n bits (at most 32); false once the unit has ended.
  bool Read(int n, u32* value) {
    u32 v = 0;
    for (int k = 0; k < n; ++k) {
      if (left_ == 0) {
        if (at_ >= length_) return false;
        if (zeros_ >= 2 && bytes_[at_] == 3) {  // emulation prevention
          zeros_ = 0;
          if (++at_ >= length_) return false;
        }
        byte_ = bytes_[at_++];
        zeros_ = byte_ == 0 ? zeros_ + 1 : 0;
        left_ = 8;
      }
      v = (v << 1) | ((byte_ >> --left_) & 1);
    }
    *value = v;
    return true;
  }
  bool Skip(int n) {
    u32 v;
    for (; n > 32; n -= 32)
      if (!Read(32, &v)) return false;
    return Read(n, &v);
  }
  // Exp-Golomb code of up to 31 leading zeros.
  bool Golomb(u32* value) {
    int zeros = 0;
    u32 bit = 0;
    for (;;) {
      if (!Read(1, &bit)) return false;
      if (bit) break;
      if (++zeros > 31) return false;
    }
    u32 rest = 0;
    if (zeros && !Read(zeros, &rest)) return false;
    *value = ((1u << zeros) - 1) + rest;
    return true;
  }
  // Signed Exp-Golomb code.
  bool Signed(int* value) {
    u32 k = 0;
    if (!Golomb(&k)) return false;
    const i64 magnitude = (i64(k) + 1) / 2;
    *value = static_cast<int>(k & 1 ? magnitude : -magnitude);
    return true;
  }

 private:
  const unsigned char* bytes_;
  u32 length_, at_;
  unsigned char byte_ = 0;
  int left_ = 0, zeros_ = 0;
};

constexpr int kVps = 32, kSps = 33, kPps = 34, kEndOfSequence = 36, kEndOfBitstream = 37;

bool Irap(int type) { return type >= 16 && type <= 23; }
bool Idr(int type) { return type == 19 || type == 20; }
bool Bla(int type) { return type >= 16 && type <= 18; }
bool Leading(int type) { return type >= 6 && type <= 9; }
bool SubLayerNonReference(int type) { return type <= 14 && (type & 1) == 0; }

// AVC profiles whose SPS Ostrel takes, and those of them that carry chroma
// format, bit depths and scaling matrices.
constexpr unsigned kAvcProfiles[] = {44, 66, 77, 83, 86, 88, 100, 110, 122, 144, 244};
constexpr unsigned kAvcHighProfiles[] = {44, 83, 100, 110, 122, 144, 244};
constexpr u32 kAvcMaxLog2Minus4 = 12;
constexpr u32 kAvcMaxDimInMbs = 4096;

bool Listed(const unsigned* table, size_t n, u32 value) { return std::find(table, table + n, value) != table + n; }

int Wrap32(i64 v) { return static_cast<int>(static_cast<u32>(static_cast<u64>(v))); }

// A parameter set whose bytes (after its start code, trailing zero bytes
// left out) hold 00 00 00, 00 00 01 or 00 00 02, which emulation prevention
// keeps out of every NAL unit: bytes zeroed or lost inside it. Ostrel lists
// it as damage and does not take it up; nor does the decoder, which keeps
// the set of that id it has.
bool DamagedSet(const unsigned char* bytes, u32 length, u32 h) {
  while (length > h && bytes[length - 1] == 0) --length;
  for (u32 i = h; i + 2 < length; ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] <= 2) return true;
  return false;
}

}  // namespace

void CAVCDecoder::StartTags(size_t g) {
  tag = {};
  if (g < groups.size()) tag.scan = static_cast<size_t>(groups[g].first);
  tag.run = static_cast<long>(g);  // the group's IRAP picture is the first fed
}

int CAVCDecoder::NextDecodedPicture(PictureKind kind) {
  const bool pending = tag.pending_at < tag.pending.size();
  if (kind == PictureKind::kB || (kind == PictureKind::kUnknown && pending)) {
    if (pending) return tag.pending[tag.pending_at++];
    // A B picture where an I or P picture was due: that one was lost
    // (its start was not read, so the index does not list it). The B
    // pictures before the next I or P picture of the index are these, and
    // that one comes after them.
    if (tag.planned < 0) tag.planned = ScanToReference();
    return tag.pending_at < tag.pending.size() ? tag.pending[tag.pending_at++] : -1;
  }
  if (tag.planned >= 0) {
    // The I or P picture after those B pictures; the rest of them follow it.
    const int j = tag.planned;
    tag.planned = -1;
    return j;
  }
  return ScanToReference();
}

int CAVCDecoder::ScanToReference() {
  tag.pending.clear();
  tag.pending_at = 0;
  const size_t end = std::min<size_t>(static_cast<size_t>(coded_count), frames.size());
  size_t j = tag.scan;
  while (j < end && (!frames[j].reference || frames[j].lost)) ++j;
  if (j >= end) {
    // B pictures after the last I or P picture of the index: theirs was
    // never read.
    tag.scan = end;
    return -1;
  }
  // Lost slots name no picture: the pictures decoded are numbered as if
  // they were not there.
  for (size_t b = tag.scan; b < j; ++b)
    if (!frames[b].lost) tag.pending.push_back(static_cast<int>(b));
  tag.scan = j + 1;
  return static_cast<int>(j);
}

void CAVCDecoder::TagUnit(const unsigned char* bytes, u32 length) {
  if ((codec != CODEC_MPEG2 && codec != CODEC_VC1) || length < 4) return;
  const u32 h = bytes[2] == 1 ? 3 : 4;
  if (length <= h) return;
  const unsigned char code = bytes[h];
  auto next = [this](PictureKind kind = PictureKind::kUnknown) {
    tag.current = i64(NextDecodedPicture(kind)) + 1;
  };
  if (codec == CODEC_VC1) {
    if (code == 0x0F || code == 0x0E) {  // sequence header, entry point: the next frame's
      if (!tag.begun) next();
      tag.begun = true;
    } else if (code == 0x0D) {  // a frame (or first field); a field start code is its second
      if (!tag.begun) next(Vc1PictureKind(bytes, length, h));
      tag.begun = false;
    }
    return;
  }
  if (code == 0xB3 || code == 0xB8) {
    // Sequence header, group header: the next picture's, an I picture (a
    // P picture after a sequence header alone), never one of the B
    // pictures still due from a lost reference picture.
    if (!tag.begun) next(PictureKind::kReference);
    tag.begun = true;
    tag.first_field = false;
  } else if (code == 0x00) {
    if (tag.first_field) {
      tag.first_field = false;  // the partner of the field before: one picture
      tag.opened = false;
    } else {
      // picture_coding_type: 1 I, 2 P, 3 B.
      const int type = length > h + 2 ? (bytes[h + 2] >> 3) & 7 : 0;
      if (!tag.begun) next(type == 3 ? PictureKind::kB : type == 1 || type == 2 ? PictureKind::kReference
                                                                                 : PictureKind::kUnknown);
      tag.opened = true;
    }
    tag.begun = false;
  } else if (code == 0xB5 && length > h + 3 && (bytes[h + 1] >> 4) == 8 && tag.opened) {
    // The coding extension of a picture header that began a picture: a
    // field's partner follows it.
    const int structure = bytes[h + 3] & 3;
    tag.first_field = structure == 1 || structure == 2;
    tag.opened = false;
  }
}

CAVCDecoder::PictureKind CAVCDecoder::Vc1PictureKind(const unsigned char* bytes, u32 length, u32 h) const {
  if (tag.vc1_interlace < 0) return PictureKind::kUnknown;
  UnitBits br(bytes, length, h + 1);
  u32 v = 0;
  bool field_pair = false;
  if (tag.vc1_interlace) {  // FCM: 0 progressive, 10 frame interlaced, 11 a field pair
    if (!br.Read(1, &v)) return PictureKind::kUnknown;
    if (v) {
      if (!br.Read(1, &v)) return PictureKind::kUnknown;
      field_pair = v != 0;
    }
  }
  if (field_pair) {
    // FPTYPE: I/I, I/P, P/I and P/P pairs are references; pairs of B and BI
    // fields are not.
    if (!br.Read(3, &v)) return PictureKind::kUnknown;
    return v < 4 ? PictureKind::kReference : PictureKind::kB;
  }
  // PTYPE: 0 P, 10 B, 110 I, 1110 BI, 1111 skipped (a P picture without
  // data). BI pictures are no references, as B pictures.
  int ones = 0;
  while (ones < 4) {
    if (!br.Read(1, &v)) return PictureKind::kUnknown;
    if (!v) break;
    ++ones;
  }
  return ones == 1 || ones == 3 ? PictureKind::kB : PictureKind::kReference;
}

void CAVCDecoder::FeedVc1Unit(unsigned char* bytes, u32 length) {
  const u32 h = bytes[2] == 1 ? 3 : 4;
  const unsigned char code = length > h ? bytes[h] : 0;
  if (code == 0x0F) {
    // INTERLACE: bit 41 of the sequence header (after PROFILE, LEVEL,
    // COLORDIFF_FORMAT, FRMRTQ_POSTPROC, BITRTQ_POSTPROC, POSTPROCFLAG,
    // MAX_CODED_WIDTH, MAX_CODED_HEIGHT and PULLDOWN).
    UnitBits br(bytes, length, h + 1);
    u32 v = 0;
    tag.vc1_interlace = br.Skip(41) && br.Read(1, &v) ? int(v) : -1;
  }
  // A sequence header, an entry point and their user data belong to the
  // frame after them, which may be a B picture (a stream may repeat them
  // before every frame): they are held until the frame's header tells its
  // type, and carry its number.
  constexpr size_t kHeldHeaders = 4096;
  const bool header = code == 0x0F || code == 0x0E || code == 0x1F || code == 0x1E;
  if (header && tag.held.size() + length + 4 <= kHeldHeaders) return HoldUnit(bytes, length);
  if (!tag.held.empty() && code != 0x0D) {
    // No frame follows them (or they run too long): they number the next
    // picture without its type.
    FeedHeldUnits(true);
  }
  TagUnit(bytes, length);
  FeedHeldUnits();
  SendUnit(bytes, length);
}

i64 CAVCDecoder::HevcPictureTag(const unsigned char* bytes, u32 length, u32 h, int type) {
  if (hevc_sets.lsb_bits == 0) return 0;
  UnitBits br(bytes, length, h + 2);
  u32 v = 0, lsb = 0;
  if (!br.Read(1, &v) || !v) return tag.current;  // a further segment of the picture
  if (Irap(type) && !br.Skip(1)) return 0;       // no_output_of_prior_pics_flag
  if (!br.Golomb(&v) || !br.Skip(hevc_sets.extra_slice_header_bits) || !br.Golomb(&v)) return 0;
  if (hevc_sets.output_flag_present && !br.Skip(1)) return 0;
  if (hevc_sets.separate_colour_plane && !br.Skip(2)) return 0;
  if (!Idr(type) && !br.Read(hevc_sets.lsb_bits, &lsb)) return 0;
  // The order count as H.265 derives it (8.3.1).
  int64_t poc = 0;
  if (!Idr(type)) {
    const int64_t max_lsb = int64_t(1) << hevc_sets.lsb_bits;
    int64_t msb = 0;
    if (!Bla(type) && !(type == 21 && tag.new_sequence)) {
      const int64_t prev_lsb = int64_t(tag.prev_tid0) & (max_lsb - 1);
      const int64_t prev_msb = int64_t(tag.prev_tid0) - prev_lsb;
      if (int64_t(lsb) < prev_lsb && prev_lsb - lsb >= max_lsb / 2)
        msb = prev_msb + max_lsb;
      else if (int64_t(lsb) > prev_lsb && lsb - prev_lsb > max_lsb / 2)
        msb = prev_msb - max_lsb;
      else
        msb = prev_msb;
    }
    poc = msb + lsb;
    if (poc > INT32_MAX || poc < INT32_MIN) return 0;
  }
  const int temporal_id = (bytes[h + 1] & 7) - 1;
  if (temporal_id == 0 && !Leading(type) && !SubLayerNonReference(type)) tag.prev_tid0 = int32_t(poc);
  if (Irap(type)) {
    const bool restart = Idr(type) || Bla(type) || (type == 21 && tag.new_sequence);
    tag.new_sequence = false;
    if (tag.run < 0 || static_cast<size_t>(tag.run) >= groups.size()) return 0;
    if (!tag.anchored) {
      // The pass's first picture opens its group.
      tag.anchored = true;
      const u64 opener = groups[static_cast<size_t>(tag.run)].opener;
      if (opener >= frames.size()) return 0;
      tag.offset = i64(frames[static_cast<size_t>(opener)].poc) - poc;
    } else if (restart) {
      // The index's counts start afresh at the same picture: at the next
      // group whose counts do.
      size_t g = static_cast<size_t>(tag.run) + 1;
      while (g < groups.size() && !groups[g].restart) ++g;
      tag.run = static_cast<long>(g);
      tag.offset = 0;
      if (g >= groups.size()) return 0;
    }
  }
  if (tag.run < 0 || !tag.anchored || static_cast<size_t>(tag.run) >= groups.size()) return 0;
  // Order counts are unique within a run; the picture is looked for near
  // the one found last first.
  const size_t run = static_cast<size_t>(tag.run);
  if (tag.run_end_for != tag.run) {
    size_t g = run + 1;
    while (g < groups.size() && !groups[g].restart) ++g;
    tag.run_end = std::min<u64>(g < groups.size() ? groups[g].first : u64(coded_count),
                                std::min<u64>(u64(coded_count), frames.size()));
    tag.run_end_for = tag.run;
    tag.hint = groups[run].first;
  }
  const u64 begin = groups[run].first, end = tag.run_end;
  constexpr u64 kNear = 64;
  const u64 near_begin = std::max(begin, tag.hint > kNear ? tag.hint - kNear : 0);
  const u64 near_end = std::min(end, tag.hint + kNear);
  const i64 want = poc + tag.offset;
  if (tag.taken.size() < end) tag.taken.resize(static_cast<size_t>(end), false);
  auto find = [&](u64 from, u64 to) -> i64 {
    for (u64 j = from; j < to; ++j)
      if (i64(frames[static_cast<size_t>(j)].poc) == want && !tag.taken[static_cast<size_t>(j)] &&
          !frames[static_cast<size_t>(j)].lost) {
        tag.hint = j;
        tag.taken[static_cast<size_t>(j)] = true;
        return i64(j) + 1;
      }
    return 0;
  };
  const i64 found = find(near_begin, near_end);
  return found ? found : find(begin, end);
}

void CAVCDecoder::FeedHevcUnit(unsigned char* bytes, u32 length) {
  const u32 h = bytes[2] == 1 ? 3 : 4;
  if (length < h + 2) return SendUnit(bytes, length);
  const int type = (bytes[h] >> 1) & 63;
  if (type >= kVps && type <= kPps && DamagedSet(bytes, length, h)) return;
  if (type == kSps) {
    UnitBits br(bytes, length, h + 2);
    u32 v = 0, sub_layers = 0, chroma = 0, lsb = 0;
    bool ok = br.Skip(4) && br.Read(3, &sub_layers) && br.Skip(1) && br.Skip(96);
    u32 present[8] = {};
    for (u32 i = 0; ok && i < sub_layers; ++i) ok = br.Read(2, &present[i]);
    if (ok && sub_layers > 0) ok = br.Skip(2 * int(8 - sub_layers));
    for (u32 i = 0; ok && i < sub_layers; ++i) ok = br.Skip((present[i] & 2 ? 88 : 0) + (present[i] & 1 ? 8 : 0));
    ok = ok && br.Golomb(&v) && br.Golomb(&chroma);
    bool separate = false;
    if (ok && chroma == 3) ok = br.Read(1, &v) && ((separate = v != 0), true);
    ok = ok && br.Golomb(&v) && br.Golomb(&v) && br.Read(1, &v);
    if (ok && v) ok = br.Golomb(&v) && br.Golomb(&v) && br.Golomb(&v) && br.Golomb(&v);
    ok = ok && br.Golomb(&v) && br.Golomb(&v) && br.Golomb(&lsb) && lsb <= 12;
    if (ok) {
      hevc_sets.lsb_bits = int(lsb) + 4;
      hevc_sets.separate_colour_plane = separate;
    }
  } else if (type == kPps) {
    UnitBits br(bytes, length, h + 2);
    u32 v = 0, output = 0, extra = 0;
    if (br.Golomb(&v) && br.Golomb(&v) && br.Skip(1) && br.Read(1, &output) && br.Read(3, &extra)) {
      hevc_sets.output_flag_present = output != 0;
      hevc_sets.extra_slice_header_bits = int(extra);
    }
  }
  if (type < kVps) {
    const i64 number = HevcPictureTag(bytes, length, h, type);
    if (number != tag.current || !tag.held.empty()) {
      tag.current = number;
      FeedHeldUnits();
    }
    return SendUnit(bytes, length);
  }
  // The end of a sequence, filler data and suffix SEI belong to the picture
  // before; anything else opens the next one.
  if (type == kEndOfSequence || type == kEndOfBitstream || type == 38 || type == 40) {
    if (type != 38 && type != 40) tag.new_sequence = true;
    return SendUnit(bytes, length);
  }
  HoldUnit(bytes, length);
}

void CAVCDecoder::HoldUnit(const unsigned char* bytes, u32 length) {
  const u32 at = static_cast<u32>(tag.held.size());
  tag.held.resize(at + 4 + length);
  memcpy(tag.held.data() + at, &length, 4);
  memcpy(tag.held.data() + at + 4, bytes, length);
}

void CAVCDecoder::FeedHeldUnits(bool tag_each) {
  std::vector<unsigned char> held;
  held.swap(tag.held);
  for (size_t at = 0; at + 4 <= held.size();) {
    u32 length;
    memcpy(&length, held.data() + at, 4);
    if (tag_each) TagUnit(held.data() + at + 4, length);
    SendUnit(held.data() + at + 4, length);
    at += 4 + length;
  }
}

void CAVCDecoder::FeedMpegUnit(unsigned char* bytes, u32 length) {
  const u32 h = bytes[2] == 1 ? 3 : 4;
  const unsigned char code = length > h ? bytes[h] : 0xFF;
  const bool coding_extension = code == 0xB5 && length > h + 1 && (bytes[h + 1] >> 4) == 8;
  if (!tag.held.empty()) {
    // The picture header before: a picture of the index only with its
    // coding extension (as Ostrel counts it); without, it has no number and
    // numbers none.
    u32 held_length;
    memcpy(&held_length, tag.held.data(), 4);
    if (coding_extension) {
      TagUnit(tag.held.data() + 4, held_length);
    } else {
      tag.current = 0;
      tag.begun = false;
    }
    FeedHeldUnits();
  }
  if (code == 0xB3) tag.extended = false;
  if (code == 0xB5 && length > h + 1 && (bytes[h + 1] >> 4) == 1) tag.extended = true;
  if (code == 0x00 && tag.extended) {
    HoldUnit(bytes, length);
    return;
  }
  TagUnit(bytes, length);
  SendUnit(bytes, length);
}

// ---------------------------------------------------------------- AVC

int CAVCDecoder::AvcSliceCount(const unsigned char* bytes, u32 length, u32 h, int* count) {
  const int type = bytes[h] & 31;
  const int ref_idc = (bytes[h] >> 5) & 3;
  const bool idr = type == 5;
  UnitBits br(bytes, length, h + 1);
  u32 first_mb = 0, slice_type = 0, pps_id = 0;
  if (!br.Golomb(&first_mb) || !br.Golomb(&slice_type) || !br.Golomb(&pps_id) || slice_type > 9) return -1;
  if (pps_id >= avc_pps.size() || !avc_pps[pps_id].valid) return -1;
  const AvcPps& pps = avc_pps[pps_id];
  if (static_cast<size_t>(pps.sps) >= avc_sps.size() || !avc_sps[static_cast<size_t>(pps.sps)].valid) return -1;
  const AvcSps& sps = avc_sps[static_cast<size_t>(pps.sps)];
  // The slice header up to delta_pic_order_cnt[1].
  u32 frame_num = 0, v = 0, lsb = 0;
  if (!br.Read(sps.log2_max_frame_num, &frame_num)) return -1;
  int field = 0, bottom = 0;
  if (!sps.frame_mbs_only) {
    if (!br.Read(1, &v)) return -1;
    field = int(v);
    if (field) {
      if (!br.Read(1, &v)) return -1;
      bottom = int(v);
    }
  }
  if (idr && !br.Golomb(&v)) return -1;  // idr_pic_id
  int delta_bottom = 0, delta0 = 0, delta1 = 0;
  if (sps.poc_type == 0) {
    if (!br.Read(sps.log2_max_lsb, &lsb)) return -1;
    if (pps.bottom_field_pic_order_present && !field && !br.Signed(&delta_bottom)) return -1;
  } else if (sps.poc_type == 1 && !sps.delta_always_zero) {
    if (!br.Signed(&delta0)) return -1;
    if (pps.bottom_field_pic_order_present && !field && !br.Signed(&delta1)) return -1;
  }
  // Not a decodable IDR picture: the picture goes on with the next unit.
  if (idr && frame_num != 0 && sps.poc_type != 0) return -1;

  // The first slice of a new picture (7.4.1.2.4), a field pair's second
  // field being none.
  auto& st = avc_poc;
  bool new_picture = st.idr == 1 && idr && first_mb == 0;
  if (int(frame_num) != st.frame_num || int(pps_id) != st.pps || field != st.field) new_picture = true;
  if (ref_idc != st.ref_idc && (ref_idc == 0 || st.ref_idc == 0)) new_picture = true;
  if (field && bottom != st.bottom) new_picture = true;
  if (int(idr) != st.idr) new_picture = true;
  if (sps.poc_type == 0 && (int(lsb) != st.lsb || delta_bottom != st.delta_bottom)) new_picture = true;
  if (sps.poc_type == 1 && (delta0 != st.delta0 || delta1 != st.delta1)) new_picture = true;
  if (field) {
    if (new_picture) {
      const bool second_field = st.first_field_pending && int(frame_num) == st.frame_num && bottom == int(st.top_field_first);
      if (second_field) {
        new_picture = false;
        st.first_field_pending = false;
      } else {
        st.top_field_first = !bottom;
        st.first_field_pending = true;
      }
    }
  } else if (new_picture) {
    st.first_field_pending = false;
  }
  st.frame_num = int(frame_num);
  st.pps = int(pps_id);
  st.field = field;
  st.bottom = bottom;
  st.ref_idc = ref_idc;
  st.idr = idr;
  st.lsb = int(lsb);
  st.delta_bottom = delta_bottom;
  st.delta0 = delta0;
  st.delta1 = delta1;
  if (!new_picture) return 0;

  // The order count (8.2.1); a memory_management_control_operation 5 is
  // not read, as Ostrel does not read it.
  const int structure = field ? (bottom ? 2 : 1) : 0;
  int top = 0, bot = 0;
  auto frame_num_offset = [&]() {
    if (idr)
      st.frame_num_offset = 0;
    else if (st.prev_frame_num > i64(frame_num))
      st.frame_num_offset = st.prev_frame_num_offset + (i64(1) << sps.log2_max_frame_num);
    else
      st.frame_num_offset = st.prev_frame_num_offset;
  };
  if (sps.poc_type == 0) {
    if (idr) st.prev_msb = st.prev_lsb = 0;
    const i64 max_lsb = i64(1) << sps.log2_max_lsb;
    i64 msb;
    if (i64(lsb) < st.prev_lsb && st.prev_lsb - i64(lsb) >= max_lsb / 2)
      msb = st.prev_msb + max_lsb;
    else if (i64(lsb) > st.prev_lsb && i64(lsb) - st.prev_lsb > max_lsb / 2)
      msb = st.prev_msb - max_lsb;
    else
      msb = st.prev_msb;
    const i64 t = msb + i64(lsb);
    if (structure == 0) {
      top = Wrap32(t);
      bot = Wrap32(t + delta_bottom);
    } else if (structure == 1) {
      top = Wrap32(t);
    } else {
      bot = Wrap32(t);
    }
    if (ref_idc) {
      st.prev_msb = msb;
      st.prev_lsb = lsb;
    }
  } else if (sps.poc_type == 1) {
    frame_num_offset();
    const i64 cycle = sps.cycle;
    i64 abs_frame_num = cycle != 0 ? st.frame_num_offset + i64(frame_num) : 0;
    if (ref_idc == 0 && abs_frame_num > 0) abs_frame_num--;
    u64 expected = 0;
    if (abs_frame_num > 0) {
      u64 per_cycle = 0;
      for (i64 i = 0; i < cycle; i++) per_cycle += static_cast<u64>(i64(sps.offset_for_ref_frame[size_t(i)]));
      const u64 cycles = static_cast<u64>(abs_frame_num - 1) / u64(cycle);
      const u64 in_cycle = static_cast<u64>(abs_frame_num - 1) % u64(cycle);
      expected = cycles * per_cycle;
      for (u64 i = 0; i <= in_cycle; i++) expected += static_cast<u64>(i64(sps.offset_for_ref_frame[size_t(i)]));
    }
    if (ref_idc == 0) expected += static_cast<u64>(i64(sps.offset_for_non_ref_pic));
    const u64 d0 = static_cast<u64>(i64(delta0)), d1 = static_cast<u64>(i64(delta1));
    const u64 t2b = static_cast<u64>(i64(sps.offset_for_top_to_bottom_field));
    if (structure == 0) {
      top = Wrap32(static_cast<i64>(expected + d0));
      bot = Wrap32(static_cast<i64>(expected + d0 + t2b + d1));
    } else if (structure == 1) {
      top = Wrap32(static_cast<i64>(expected + d0));
    } else {
      bot = Wrap32(static_cast<i64>(expected + t2b + d0));
    }
    st.prev_frame_num = frame_num;
    st.prev_frame_num_offset = st.frame_num_offset;
  } else {
    frame_num_offset();
    i64 t = 0;
    if (!idr) {
      t = 2 * (st.frame_num_offset + i64(frame_num));
      if (ref_idc == 0) t--;
    }
    top = bot = Wrap32(t);
    st.prev_frame_num = frame_num;
    st.prev_frame_num_offset = st.frame_num_offset;
  }
  // The index counts a frame by its smaller field count, a field pair by
  // its first field's.
  *count = structure == 0 ? std::min(top, bot) : structure == 1 ? top : bot;
  return 1;
}

i64 CAVCDecoder::AvcPictureTag(int count, bool idr) {
  if (!place_anchored) {
    // The pass's first picture is the group's opening one.
    place_anchored = true;
    place_in_turn = place_opener < 0;
    if (!place_in_turn) {
      place_scan_offset = i64(frames[static_cast<size_t>(place_opener)].poc) - count;
      place_hint = place_opener;
      place_run_first = groups[place_scan_group].first;
      place_run_end = place_idr_from;
      place_run_opened = true;  // the IDR picture of the pass's group opens no run of its own
    }
  }
  if (place_in_turn) return 0;
  const int number = FindByCount(count, idr);
  return number < 0 ? 0 : i64(number) + 1;
}

void CAVCDecoder::FeedAvcUnit(unsigned char* bytes, u32 length) {
  const u32 h = bytes[2] == 1 ? 3 : 4;
  if (length <= h || (bytes[h] & 0x80)) return SendUnit(bytes, length);
  const int type = bytes[h] & 31;
  if ((type == 7 || type == 8) && DamagedSet(bytes, length, h)) return;
  if (type == 7) {
    UnitBits br(bytes, length, h + 1);
    u32 profile = 0, id = 0, v = 0, chroma = 1, log2_frame = 0, poc_type = 0, log2_lsb = 0, cycle = 0;
    AvcSps sps;
    bool ok = br.Read(8, &profile) && Listed(kAvcProfiles, std::size(kAvcProfiles), profile) && br.Skip(16) &&
              br.Golomb(&id) && id < avc_sps.size();
    if (ok && Listed(kAvcHighProfiles, std::size(kAvcHighProfiles), profile)) {
      ok = br.Golomb(&chroma) && chroma <= 3;
      if (ok && chroma == 3) ok = br.Skip(1);
      ok = ok && br.Golomb(&v) && br.Golomb(&v) && br.Skip(1) && br.Read(1, &v);
      // 4:4:4 has an 8x8 list for each colour component, inter and intra.
      const int lists = chroma == 3 ? 12 : 8;
      for (int i = 0; ok && v && i < lists; ++i) {
        u32 present = 0;
        ok = br.Read(1, &present);
        if (!ok || !present) continue;
        int last = 8, next = 8;
        for (int j = 0; ok && j < (i < 6 ? 16 : 64); ++j) {
          if (next != 0) {
            int delta = 0;
            ok = br.Signed(&delta);
            next = ((last + delta) % 256 + 256) % 256;
          }
          last = next == 0 ? last : next;
        }
      }
    }
    ok = ok && br.Golomb(&log2_frame) && log2_frame <= kAvcMaxLog2Minus4 && br.Golomb(&poc_type) && poc_type <= 2;
    if (ok && poc_type == 0) ok = br.Golomb(&log2_lsb) && log2_lsb <= kAvcMaxLog2Minus4;
    if (ok && poc_type == 1) {
      ok = br.Read(1, &v) && ((sps.delta_always_zero = v != 0), true) && br.Signed(&sps.offset_for_non_ref_pic) &&
           br.Signed(&sps.offset_for_top_to_bottom_field) && br.Golomb(&cycle) && cycle <= 255;
      for (u32 i = 0; ok && i < cycle; ++i) {
        int offset = 0;
        ok = br.Signed(&offset);
        sps.offset_for_ref_frame.push_back(offset);
      }
    }
    u32 w = 0, hm = 0;
    ok = ok && br.Golomb(&v) && br.Skip(1) && br.Golomb(&w) && br.Golomb(&hm) && w < kAvcMaxDimInMbs &&
         hm < kAvcMaxDimInMbs && br.Read(1, &v);
    if (ok) {
      sps.valid = true;
      sps.frame_mbs_only = v != 0;
      sps.log2_max_frame_num = int(log2_frame) + 4;
      sps.poc_type = int(poc_type);
      sps.log2_max_lsb = int(log2_lsb) + 4;
      sps.cycle = int(cycle);
      avc_sps[id] = sps;
    }
  } else if (type == 8) {
    UnitBits br(bytes, length, h + 1);
    u32 id = 0, sps = 0, v = 0, bottom = 0;
    if (br.Golomb(&id) && id < avc_pps.size() && br.Golomb(&sps) && sps < avc_sps.size() && br.Read(1, &v) &&
        br.Read(1, &bottom)) {
      avc_pps[id].valid = true;
      avc_pps[id].sps = int(sps);
      avc_pps[id].bottom_field_pic_order_present = bottom != 0;
    }
  }
  if (type == 1 || type == 5) {
    int count = 0;
    const int r = AvcSliceCount(bytes, length, h, &count);
    if (r > 0) avc_poc.picture = AvcPictureTag(count, type == 5);
    // A slice that cannot be read numbers nothing: where the parser makes
    // a picture of it, that picture is no frame's.
    const i64 number = r < 0 ? 0 : avc_poc.picture;
    if (stream_type == CONTAINER_ES && type == 5 && length > h + 1 && (bytes[h + 1] & 0x80)) {
      // An IDR slice that opens a picture (first_mb_in_slice 0: the first
      // bit of the slice header is 1) gets an access unit delimiter in
      // front, so that back-to-back IDR pictures are told apart.
      static const unsigned char kDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0xFF};
      HoldUnit(kDelimiter, sizeof kDelimiter);
    }
    tag.current = number;
    FeedHeldUnits();
    return SendUnit(bytes, length);
  }
  // Delimiters, SEI and parameter sets open the next picture; the ends of a
  // sequence or stream and filler data belong to the picture before.
  if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) {
    HoldUnit(bytes, length);
    return;
  }
  SendUnit(bytes, length);
}
