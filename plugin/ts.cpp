// Transport-stream reader of the decode thread: the payload of the video PID,
// and the positioning at an index position.
//
// A packet's payload runs from its sync byte to byte 188: the 4-byte prefix of
// 192-byte packets stands before the sync byte, and the 16 parity bytes of
// 204-byte packets after byte 188 are passed over by the sync search. Every
// length read from a packet (adaptation field, PES header) is checked against
// what is left of the packet before it is skipped.
#include <cstring>

#include "decoder.h"

namespace {

constexpr unsigned char SYNC = 0x47;
constexpr u32 TS_PAYLOAD_END = 188;  // counted from the sync byte
constexpr u32 PES_HEADER_FIXED = 9;  // start code (3), stream id, length (2), flags (2), header length

}  // namespace

// A candidate sync byte at buffer index s is confirmed by a sync byte one
// packet later (or by the end of the data) within the first packet of the
// buffer, and elsewhere by one a packet earlier or one a packet later (so
// that the first packet after zeros or garbage is read, as Ostrel reads it).
bool CAVCDecoder::ConfirmedSync(u32 s) const {
  const u32 n = static_cast<u32>(pktsiz);
  if (s >= valid || rbuf[s] != SYNC) return false;
  if (s < n) return s + n >= valid || rbuf[s + n] == SYNC;
  return rbuf[s - n] == SYNC || (s + n < valid && rbuf[s + n] == SYNC);
}

bool CAVCDecoder::WholePacketAt() {
  const u32 s = rd - 4;  // the sync byte
  if (s + TS_PAYLOAD_END <= valid) return true;
  if (input_ended || valid < READ_BUFFER_SIZE) return false;  // the file ends within it
  // The packet runs past the buffer: its bytes move to the front, and the
  // file is read on after them.
  const u32 keep = valid - s;
  memmove(rbuf.data(), rbuf.data() + s, keep);
  rbuf_position += s;
  rd -= s;
  valid = keep;
  FILE* fp = files[static_cast<size_t>(current_file)].fp;
  if (fp) valid += static_cast<u32>(fread(rbuf.data() + keep, 1, READ_BUFFER_SIZE - keep, fp));
  return TS_PAYLOAD_END <= valid;
}

bool CAVCDecoder::RepeatedTSPacket(int pid, unsigned char h3) {
  // Video packets, unscrambled: a copy of a payload packet sent once more
  // (same counter, same bytes from the sync byte on) is dropped, as a
  // receiver does. Packets of other PIDs carry nothing that is read.
  const int afc = (h3 >> 4) & 3;
  if (pid != vpid || (h3 & 0xC0) != 0 || afc == 0) return false;
  const int cc = h3 & 15;
  // rd stands after the four header bytes.
  const bool whole = WholePacketAt();
  const unsigned char* packet = rbuf.data() + (rd - 4);
  // The discontinuity_indicator, in the adaptation field's first byte.
  const bool discontinuity = whole && (afc & 2) && packet[4] > 0 && (packet[5] & 0x80);
  if (afc == 2) {
    ts_counter.AdaptationOnly(cc, discontinuity);
    return false;
  }
  const bool repeated = whole && ts_counter.Payload(cc, discontinuity) == TsContinuity::kSameCounter &&
                        ts_last_packet.size() == TS_PAYLOAD_END &&
                        memcmp(ts_last_packet.data(), packet, TS_PAYLOAD_END) == 0;
  if (repeated) return true;
  ts_counter.Take(cc);
  if (whole)
    ts_last_packet.assign(packet, packet + TS_PAYLOAD_END);
  else
    ts_last_packet.clear();
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
    // Packets lost before this one cost only the bytes they held: what
    // follows is read on as it comes, every picture whose start is read
    // in its place. A repeated packet holds nothing new.
    if (RepeatedTSPacket(pid, h3)) {
      if (SkipBytes(TS_PAYLOAD_END - 4) < 0) return -1;
      continue;
    }
    u32 used = 4;
    if (afc & 2) {
      unsigned char len;
      if (GetRawByte(&len) < 0) return -1;
      used = 5;
      if (used + len > TS_PAYLOAD_END) {  // longer than the packet: no payload
        if (SkipBytes(TS_PAYLOAD_END - used) < 0) return -1;
        continue;
      }
      if (len > 0 && SkipBytes(len) < 0) return -1;
      used += len;
    }
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
      // A copy of this packet right after it is dropped as any other.
      if (s + TS_PAYLOAD_END <= valid) {
        ts_counter.Take(rbuf[s + 3] & 15);
        ts_last_packet.assign(rbuf.data() + s, rbuf.data() + s + TS_PAYLOAD_END);
      }
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
