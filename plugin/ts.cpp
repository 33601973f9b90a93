// Transport-stream reader of the decode thread: the payload of the video PID,
// and the positioning at an index position.
//
// A packet's payload runs from its sync byte to byte 188: the 4-byte prefix of
// 192-byte packets stands before the sync byte, and the 16 parity bytes of
// 204-byte packets after byte 188 are passed over by the sync search. Every
// length read from a packet (adaptation field, PES header) is checked against
// what is left of the packet before it is skipped.
#include "decoder.h"

namespace {

constexpr unsigned char SYNC = 0x47;
constexpr u32 TS_PAYLOAD_END = 188;  // counted from the sync byte
constexpr u32 PES_HEADER_FIXED = 9;  // start code (3), stream id, length (2), flags (2), header length

}  // namespace

// A candidate sync byte at buffer index s is confirmed by a sync byte one
// packet later (or by the end of the data) within the first packet of the
// buffer, and by one a packet earlier elsewhere.
bool CAVCDecoder::ConfirmedSync(u32 s) const {
  const u32 n = static_cast<u32>(pktsiz);
  if (s >= valid || rbuf[s] != SYNC) return false;
  if (s < n) return s + n >= valid || rbuf[s + n] == SYNC;
  return rbuf[s - n] == SYNC;
}

bool CAVCDecoder::NoteTSContinuity(int pid, unsigned char h3, bool discontinuity, bool pes_start, bool pes_end) {
  // Video packets with payload, unscrambled, as Ostrel counts them; one
  // without payload that counts on all the same is followed.
  if (pid != vpid || (h3 & 0xC0) != 0 || !(h3 & 0x20 || h3 & 0x10)) return true;
  const int cc = h3 & 15;
  if (!(h3 & 0x10)) {
    if (ts_cc >= 0 && cc == ((ts_cc + 1) & 15)) ts_cc = cc;
    return true;
  }
  const bool gap = ts_cc >= 0 && !discontinuity && cc != ts_cc && cc != ((ts_cc + 1) & 15);
  const bool whole = pes_start && ts_pes_ended;
  ts_cc = cc;
  ts_pes_ended = pes_end;
  if (!gap || (codec != CODEC_AVC && codec != CODEC_HEVC && codec != CODEC_MPEG2)) return true;
  ts_gap = true;
  ts_gap_whole = whole;
  ts_gap_at = rbuf_position + rd;  // within the packet's header: no group begins before it
  return false;
}

int CAVCDecoder::GetTSByte(unsigned char* byte) {
  if (payload_bytes) {
    --payload_bytes;
    return GetRawByte(byte);
  }
  bool skip_prefix = true;
  for (;;) {
    unsigned char c;
    if (pktsiz == 192 && skip_prefix && SkipBytes(4) < 0) return -1;
    skip_prefix = true;
    // Synchronise on a confirmed sync byte; the search goes on to the end of input.
    for (;;) {
      if (GetRawByte(&c) < 0) return -1;
      if (c == SYNC && ConfirmedSync(rd - 1)) break;
    }
    unsigned char h1, h2, h3;
    if (GetRawByte(&h1) < 0 || GetRawByte(&h2) < 0 || GetRawByte(&h3) < 0) return -1;
    const int pid = ((h1 & 0x1F) << 8) | h2;
    const bool unit_start = (h1 & 0x40) != 0;
    const int afc = (h3 >> 4) & 3;
    if (afc == 0) {
      // Reserved: no packet content; search on right after the header.
      skip_prefix = false;
      continue;
    }
    u32 used = 4;
    bool discontinuity = false, stuffed = false;
    if (afc & 2) {
      unsigned char len;
      if (GetRawByte(&len) < 0) return -1;
      used = 5;
      stuffed = !unit_start;
      if (len > 0) {  // the discontinuity_indicator
        unsigned char flags;
        if (GetRawByte(&flags) < 0) return -1;
        discontinuity = (flags & 0x80) != 0;
        stuffed = stuffed && (flags & 0x10) == 0;  // no PCR
      }
      if (used + len > TS_PAYLOAD_END) {  // longer than the packet: no payload
        if (!NoteTSContinuity(pid, h3, discontinuity, unit_start, stuffed)) return -1;
        if (SkipBytes(TS_PAYLOAD_END - used - (len > 0)) < 0) return -1;
        continue;
      }
      if (len > 1 && SkipBytes(len - 1u) < 0) return -1;
      used += len;
    }
    if (!NoteTSContinuity(pid, h3, discontinuity, unit_start, stuffed)) return -1;
    if (afc == 2 || pid != vpid) {
      if (SkipBytes(TS_PAYLOAD_END - used) < 0) return -1;
      continue;
    }
    if (unit_start) {
      if (used + PES_HEADER_FIXED > TS_PAYLOAD_END) {
        if (SkipBytes(TS_PAYLOAD_END - used) < 0) return -1;
        continue;
      }
      unsigned char header_len;
      if (SkipBytes(PES_HEADER_FIXED - 1) < 0 || GetRawByte(&header_len) < 0) return -1;
      used += PES_HEADER_FIXED;
      if (used + header_len > TS_PAYLOAD_END) {  // PES header longer than the packet
        if (SkipBytes(TS_PAYLOAD_END - used) < 0) return -1;
        continue;
      }
      if (SkipBytes(header_len) < 0) return -1;
      used += header_len;
    }
    if (used >= TS_PAYLOAD_END) continue;
    payload_bytes = TS_PAYLOAD_END - used - 1;
    return GetRawByte(byte);
  }
}

void CAVCDecoder::AlignTSStream(u64 position) {
  // Start one packet before the target, within the target's own file (a
  // transport stream file holds whole packets).
  int file;
  u64 offset;
  PosToFileAndOffset(position, &file, &offset);
  const u64 n = static_cast<u64>(pktsiz);
  const u64 start = offset >= n ? offset - n : 0;
  InitializeBuffer(file, start);
  const u64 target = offset - start;
  if (target >= valid) {  // the target lies past the data: nothing to align to
    rd = valid;
    payload_bytes = 0;
    return;
  }

  for (u32 s = 0; s + 4 <= valid; ++s) {
    if (!ConfirmedSync(s)) continue;
    const u32 end = s + TS_PAYLOAD_END;  // payload end of this packet
    const int pid = ((rbuf[s + 1] & 0x1F) << 8) | rbuf[s + 2];
    const bool unit_start = (rbuf[s + 1] & 0x40) != 0;
    const int afc = (rbuf[s + 3] >> 4) & 3;
    u32 payload = s + 4;
    bool carries = pid == vpid && (afc & 1);
    if (carries && (afc & 2)) {
      if (s + 4 >= valid) break;
      payload = s + 5 + rbuf[s + 4];
      carries = payload < end;
    }
    if (carries && unit_start) {
      if (payload + PES_HEADER_FIXED > end || payload + PES_HEADER_FIXED > valid) {
        carries = false;
      } else {
        payload += PES_HEADER_FIXED + rbuf[payload + PES_HEADER_FIXED - 1];
        carries = payload < end;
      }
    }
    // A packet that ends before the target cannot hold it.
    if (!carries || end <= target) {
      s += TS_PAYLOAD_END - 1;  // the next sync byte lies at least a packet on
      continue;
    }
    if (target >= payload) {
      rd = static_cast<u32>(target);
      payload_bytes = static_cast<u32>(end - target);
    } else if (target < s) {
      // The target lay in no video payload: this packet holds the next video
      // data, so the reader starts with it rather than after it.
      rd = pktsiz == 192 && s >= 4 ? s - 4 : s;
      payload_bytes = 0;
    } else {
      // The target lies before this packet's payload: start with the next packet.
      rd = end < valid ? end : valid;
      payload_bytes = 0;
    }
    return;
  }
  // No packet of the video PID with payload in the data read: go on after it.
  rd = valid;
  payload_bytes = 0;
}
