// Transport-stream byte reader: payload of the video PID.
#pragma once

#include "global.h"
#include "pat.h"

int GetTSByte(unsigned char* byte);                  // 0, or -1 at end of input
// Moves to the next video packet's payload: Rdptr at its first byte (which
// may lie beyond the block in Buffer), payload_bytes its length. examined
// counts the packets a caller has already passed over in this search (see
// ts_common_packet). 0, or -1 at end of input.
int NextTSPayload(u32 examined = 0);

// ---- common packets
// Packets that a reader may take without the general walk of NextTSPayload,
// with the same result: in 188- and 192-byte streams, a packet whose sync
// byte at buffer index s (s >= the packet size) is confirmed by the one a
// packet before it, whose 188 bytes lie in Buffer, and whose PID (in M2TS
// with program tables) is a declared one. A video packet is common when it
// carries payload only, unscrambled, with no PES packet starting in it: its
// payload is the kTsCommonPayload bytes from s + 4, and taking it records
// its sync position as NextTSPayload does. A packet of another PID is passed
// over whole. Every packet taken counts towards the packets examined in one
// search, whose limit ends the run with a message (ts_no_video_data).
enum class TsPacket { kIrregular, kOther, kVideo };
constexpr u32 kTsCommonPayload = 188 - 4;
constexpr u32 kTsMaxPacketsPerSearch = 100000;
[[noreturn]] void ts_no_video_data();

inline TsPacket ts_common_packet(u32 s, u32 n) {
  if (s < n || Read < s || Read - s < 188) return TsPacket::kIrregular;
  const unsigned char* p = Buffer + s;
  if (p[0] != ts_sync_byte || Buffer[s - n] != ts_sync_byte) return TsPacket::kIrregular;
  const u32 pid = (static_cast<u32>(p[1] & 0x1F) << 8) | p[2];
  if (n == 192 && pat_parser.known_pid_count != 0 && pid != 0x1FFF && !pat_parser.IsKnownPid(pid))
    return TsPacket::kIrregular;  // taken for a false sync by the general walk
  if (pid != MPEG2_Transport_VideoPID) return TsPacket::kOther;
  // payload_unit_start_indicator 0; transport_scrambling_control 0 and
  // adaptation_field_control 1 (payload only).
  return (p[1] & 0x40) == 0 && (p[3] & 0xF0) == 0x10 ? TsPacket::kVideo : TsPacket::kIrregular;
}
