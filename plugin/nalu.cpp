// Unit readers of the decode thread: cut the video byte stream at start codes
// (00 00 01). Every unit is assembled in the unit buffer beginning with a
// three-byte start code. A unit longer than the buffer keeps its first
// UNIT_BUFFER_SIZE bytes; the rest, up to the next start code, is dropped.
#include "decoder.h"

int CAVCDecoder::GetAVCNALU() { return ReadUnit(true); }

int CAVCDecoder::GetVC1NALU() { return ReadUnit(false); }

void CAVCDecoder::FillUnit(u32 length, bool avc) {
  unit.len = length;
  unit.buf = ubuf.data();
  if (!avc) return;
  unit.startcodeprefix_len = 3;
  const unsigned char h = length > 3 ? ubuf[3] : 0;
  unit.nal_unit_type = h & 0x1F;
  unit.nal_reference_idc = (h >> 5) & 3;
  unit.forbidden_bit = h >> 7;
}

// 1 with a unit, 0 at the end of input, -1 when no start code is found.
// avc: zero bytes before the next start code are not part of the unit (the
// first byte of a four-byte start code); otherwise they are.
int CAVCDecoder::ReadUnit(bool avc) {
  if (ubuf.empty()) ubuf.resize(UNIT_BUFFER_SIZE);
  unsigned char c;
  if (first_unit) {
    u32 shift = 0xFFFFFFFF;
    u32 count = 0;
    for (;;) {
      if ((this->*get_byte)(&c) < 0) return 0;
      shift = (shift << 8) | c;
      if ((shift & 0xFFFFFF) == 1) break;
      if (++count >= UNIT_BUFFER_SIZE - 1) return -1;
    }
    // count bytes came before the 01; the two before it are the start code's zeros.
    first_skipped = count - 2;
    first_lead_zero = (shift >> 24) == 0;
    had_eof = false;
  } else if (had_eof) {
    return 0;
  }
  first_unit = false;

  ubuf[0] = 0;
  ubuf[1] = 0;
  ubuf[2] = 1;
  u32 stored = 3;   // bytes in the unit buffer
  u64 total = 3;    // bytes of the unit read so far, stored or not
  u32 shift = 0xFFFFFF;  // the bytes after the prefix, so the prefix itself never ends the unit
  for (;;) {
    if ((this->*get_byte)(&c) < 0) {
      if (total < 5) return 0;  // a trailing scrap is no unit
      FillUnit(stored, avc);
      had_eof = true;
      return 1;
    }
    if (stored < UNIT_BUFFER_SIZE) ubuf[stored++] = c;
    ++total;
    shift = ((shift << 8) | c) & 0xFFFFFF;
    if (shift == 1) {
      // The new start code begins the next unit; nothing is read twice.
      u64 before = total - 3;
      u32 length = before < stored ? static_cast<u32>(before) : stored;
      if (avc)
        while (length > 3 && ubuf[length - 1] == 0) --length;
      FillUnit(length, avc);
      return 1;
    }
  }
}
