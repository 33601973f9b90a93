// Picture numbers of the units fed (the tag struct of decoder.h): each unit
// goes to the parser with the number of the coded picture it belongs to as
// its packet timestamp, and the display callback places the picture by the
// number that comes back with it.
//
// MPEG-2 and VC-1 pictures are numbered in decode order from the index's
// picture types; HEVC pictures by their order counts, read from the slice
// headers with the few values of the latest SPS and PPS that they need (as
// Ostrel reads them), and found among the index's pictures of their group.
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

}  // namespace

void CAVCDecoder::StartTags(size_t g) {
  tag = {};
  if (g < groups.size()) tag.scan = static_cast<size_t>(groups[g].first);
  tag.run = static_cast<long>(g);  // the group's IRAP picture is the first fed
}

int CAVCDecoder::NextDecodedPicture() {
  if (tag.pending_at < tag.pending.size()) return tag.pending[tag.pending_at++];
  tag.pending.clear();
  tag.pending_at = 0;
  const size_t end = std::min<size_t>(static_cast<size_t>(coded_count), frames.size());
  size_t j = tag.scan;
  while (j < end && !frames[j].reference) ++j;
  if (j >= end) {
    // B pictures after the last I or P picture of the index: theirs was
    // never read.
    tag.scan = end;
    return -1;
  }
  for (size_t b = tag.scan; b < j; ++b) tag.pending.push_back(static_cast<int>(b));
  tag.scan = j + 1;
  return static_cast<int>(j);
}

void CAVCDecoder::TagUnit(const unsigned char* bytes, u32 length) {
  if ((codec != CODEC_MPEG2 && codec != CODEC_VC1) || length < 4) return;
  const u32 h = bytes[2] == 1 ? 3 : 4;
  if (length <= h) return;
  const unsigned char code = bytes[h];
  auto next = [this]() { tag.current = i64(NextDecodedPicture()) + 1; };
  if (codec == CODEC_VC1) {
    if (code == 0x0F || code == 0x0E) {  // sequence header, entry point: the next frame's
      if (!tag.begun) next();
      tag.begun = true;
    } else if (code == 0x0D) {  // a frame (or first field); a field start code is its second
      if (!tag.begun) next();
      tag.begun = false;
    }
    return;
  }
  if (code == 0xB3 || code == 0xB8) {  // sequence header, group header: the next picture's
    if (!tag.begun) next();
    tag.begun = true;
    tag.first_field = false;
  } else if (code == 0x00) {
    if (tag.first_field) {
      tag.first_field = false;  // the partner of the field before: one picture
      tag.opened = false;
    } else {
      if (!tag.begun) next();
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
      if (i64(frames[static_cast<size_t>(j)].poc) == want && !tag.taken[static_cast<size_t>(j)]) {
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
      FeedHeldHevcUnits();
    }
    return SendUnit(bytes, length);
  }
  // The end of a sequence, filler data and suffix SEI belong to the picture
  // before; anything else opens the next one.
  if (type == kEndOfSequence || type == kEndOfBitstream || type == 38 || type == 40) {
    if (type != 38 && type != 40) tag.new_sequence = true;
    return SendUnit(bytes, length);
  }
  const u32 at = static_cast<u32>(tag.held.size());
  tag.held.resize(at + 4 + length);
  memcpy(tag.held.data() + at, &length, 4);
  memcpy(tag.held.data() + at + 4, bytes, length);
}

void CAVCDecoder::FeedHeldHevcUnits() {
  std::vector<unsigned char> held;
  held.swap(tag.held);
  for (size_t at = 0; at + 4 <= held.size();) {
    u32 length;
    memcpy(&length, held.data() + at, 4);
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
    FeedHeldHevcUnits();
  }
  if (code == 0xB3) tag.extended = false;
  if (code == 0xB5 && length > h + 1 && (bytes[h + 1] >> 4) == 1) tag.extended = true;
  if (code == 0x00 && tag.extended) {
    const u32 at = static_cast<u32>(tag.held.size());
    tag.held.resize(at + 4 + length);
    memcpy(tag.held.data() + at, &length, 4);
    memcpy(tag.held.data() + at + 4, bytes, length);
    return;
  }
  TagUnit(bytes, length);
  SendUnit(bytes, length);
}
