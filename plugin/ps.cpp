// Program-stream reader of the decode thread: the payload of the video PES
// packets, and the positioning at an index position. The MPEG-1 packet form is
// used for MPEG-1 system streams (program-stream type 5), the MPEG-2 form for
// every other type. A PES header is never read past its packet's end.
#include "decoder.h"

namespace {

constexpr int PROGRAM_STREAM_MPEG1 = 5;
constexpr u32 PADDING_SKIP_MAX = 2048;  // longer padding packets are scanned, not skipped

bool IsVideoStreamId(unsigned char id) { return id >= 0xE0 && id <= 0xEF; }

// Length of an MPEG-1 packet header after PES_packet_length: stuffing, STD
// buffer fields, time stamps. Reads bytes through next(); false when the
// header does not end within limit bytes or the data ends.
template <typename Next>
bool Mpeg1HeaderLength(Next next, u32 limit, u32* length) {
  u32 used = 0;
  unsigned char c;
  do {
    if (used >= limit || !next(&c)) return false;
    ++used;
  } while (c == 0xFF);
  if ((c & 0xC0) == 0x40) {  // STD buffer scale and size
    if (used + 2 > limit) return false;
    unsigned char skip;
    if (!next(&skip) || !next(&c)) return false;
    used += 2;
  }
  u32 stamps = 0;
  if ((c & 0xF0) == 0x20)
    stamps = 4;  // PTS
  else if ((c & 0xF0) == 0x30)
    stamps = 9;  // PTS and DTS
  if (used + stamps > limit) return false;
  for (u32 k = 0; k < stamps; ++k) {
    unsigned char skip;
    if (!next(&skip)) return false;
  }
  *length = used + stamps;
  return true;
}

}  // namespace

int CAVCDecoder::GetPSByte(unsigned char* byte) {
  if (payload_bytes) {
    --payload_bytes;
    return GetRawByte(byte);
  }
  for (;;) {
    // Start-code scan.
    u32 code = 0xFFFFFFFF;
    unsigned char c;
    do {
      if (GetRawByte(&c) < 0) return -1;
      code = (code << 8) | c;
    } while ((code & 0xFFFFFF00) != 0x00000100);

    if (code < 0x1BC) continue;  // pack header, system header, or no packet start
    unsigned char l1, l2;
    if (GetRawByte(&l1) < 0 || GetRawByte(&l2) < 0) return -1;
    const u32 length = (u32(l1) << 8) | l2;
    if (!IsVideoStreamId(static_cast<unsigned char>(code & 0xFF))) {
      if (code == 0x1BE && length > PADDING_SKIP_MAX) continue;
      if (SkipBytes(length) < 0) return -1;
      continue;
    }

    // Video packet: rdmax is its end; the refill keeps it on the same byte.
    rdmax = static_cast<i64>(rd) + length;
    u32 header = 0;
    if (program_stream_type == PROGRAM_STREAM_MPEG1) {
      bool ended = false;
      auto next = [&](unsigned char* b) {
        if (GetRawByte(b) < 0) {
          ended = true;
          return false;
        }
        return true;
      };
      if (!Mpeg1HeaderLength(next, length, &header)) {
        if (ended) return -1;
        continue;  // header runs past the packet: nothing to deliver
      }
    } else {
      if (length < 3) {
        if (SkipBytes(length) < 0) return -1;
        continue;
      }
      unsigned char f1, f2, header_len;
      if (GetRawByte(&f1) < 0) return -1;
      if ((f1 & 0xC0) != 0x80) {  // not the MPEG-2 form: pass the packet over
        if (SkipBytes(length - 1) < 0) return -1;
        continue;
      }
      if (GetRawByte(&f2) < 0 || GetRawByte(&header_len) < 0) return -1;
      if (3u + header_len > length) {  // PES header longer than the packet
        if (SkipBytes(length - 3) < 0) return -1;
        continue;
      }
      if (SkipBytes(header_len) < 0) return -1;
      header = 3u + header_len;
    }
    if (header >= length) continue;
    payload_bytes = length - header - 1;
    return GetRawByte(byte);
  }
}

int CAVCDecoder::AlignPSStream(u64 position) {
  // Fill from up to 8192 bytes before the target, within the target's file.
  int file;
  u64 offset;
  PosToFileAndOffset(position, &file, &offset);
  const u64 back = 8192;
  const u64 start = offset >= back ? offset - back : 0;
  InitializeBuffer(file, start);
  const u64 target = offset - start;
  payload_bytes = 0;
  rd = 0;
  if (target >= valid) return 0;

  // The nearest video PES start code at or before the target, whose header
  // lies within the data read.
  for (i64 i = static_cast<i64>(target); i >= 0; --i) {
    const u32 s = static_cast<u32>(i);
    if (s + 6 > valid) continue;
    if (rbuf[s] != 0 || rbuf[s + 1] != 0 || rbuf[s + 2] != 1 || !IsVideoStreamId(rbuf[s + 3]))
      continue;
    const u32 length = (u32(rbuf[s + 4]) << 8) | rbuf[s + 5];
    const u64 end = u64(s) + 6 + length;
    u32 header = 0;
    if (program_stream_type == PROGRAM_STREAM_MPEG1) {
      u32 at = s + 6;
      auto next = [&](unsigned char* b) {
        if (at >= valid) return false;
        *b = rbuf[at++];
        return true;
      };
      if (!Mpeg1HeaderLength(next, length, &header)) continue;
    } else {
      if (length < 3 || s + 9 > valid) continue;
      header = 3u + rbuf[s + 8];
      if (header > length) continue;
    }
    const u64 payload = u64(s) + 6 + header;
    if (payload > valid) continue;
    rdmax = static_cast<i64>(end);
    if (target < payload) {
      // Inside the packet header: start at the payload with a packet scan.
      rd = static_cast<u32>(payload);
    } else if (target > end) {
      rd = static_cast<u32>(payload);
      payload_bytes = static_cast<u32>(end - payload);
    } else {
      rd = static_cast<u32>(target);
      payload_bytes = static_cast<u32>(end - target);
    }
    return 0;
  }
  // No video packet start before the target: scan from the buffer start.
  return 0;
}
