// Transport-stream byte reader: payload of the video PID.
#pragma once

#include "global.h"
#include "pat.h"
#include "indexer/TsContinuity.h"

int GetTSByte(unsigned char* byte);                  // 0, or -1 at end of input
void reset_ts_reader();                              // forgets the parity bytes still to pass over
// Moves to the next video packet's payload: Rdptr at its first byte (which
// may lie beyond the block in Buffer), payload_bytes its length. examined
// counts the packets a caller has already passed over in this search (see
// ts_common_packet). 0, or -1 at end of input.
int NextTSPayload(u32 examined = 0);

// ---- continuity of the video packets
// The counters of the video packets (TsContinuity.h for the rule),
// forgotten after a seek and at the start of a file. A payload packet that
// does not follow means packets of the video PID are missing: the gap is
// counted and reported, and reading goes on over it. Nothing is left out for
// it: every picture whose start was read keeps its place, as the plugin
// feeds it. A packet that repeats the last one, counter and bytes alike (a
// duplicate the standard allows once), is dropped: its payload is not
// handed out again.
extern TsContinuity ts_video_counter;
extern unsigned ts_video_gaps;           // gaps met in the run
extern u64 ts_first_gap;                 // stream position of the packet after the first
extern u64 ts_video_packets_lost;        // at least so many, by the counters around each gap
extern u64 ts_video_last_at;             // sync position of the last video packet with payload
// Keeps the last video packet with payload before Buffer is refilled, so
// that a duplicate of it in the next block is still recognised.
void TsKeepLastVideoPacket();
// The counter cc did not follow (verdict): a duplicate of the last video
// packet, all 188 bytes alike (true), or a gap, counted.
bool TsVideoCounterJump(int cc, TsContinuity::Verdict verdict, u64 sync_position, const unsigned char* packet);
// Notes a video packet with payload whose sync byte lies at sync_position
// (packet: its 188 bytes, nullptr where they are not all in Buffer). True
// when it repeats the last one: the caller drops it.
inline bool NoteVideoContinuity(unsigned char h3, bool discontinuity, u64 sync_position,
                                const unsigned char* packet) {
  const int cc = h3 & 15;
  const TsContinuity::Verdict verdict = ts_video_counter.Payload(cc, discontinuity);
  if (verdict != TsContinuity::kFollows && TsVideoCounterJump(cc, verdict, sync_position, packet)) return true;
  ts_video_counter.Take(cc);
  ts_video_last_at = sync_position;
  return false;
}
// A packet of the video PID without payload.
inline void NoteVideoAdaptationOnly(unsigned char h3, bool discontinuity) {
  ts_video_counter.AdaptationOnly(h3 & 15, discontinuity);
}

// ---- common packets
// Packets that a reader may take without the general walk of NextTSPayload,
// with the same result: in 188- and 192-byte streams, a packet whose sync
// byte at buffer index s (s >= the packet size) is confirmed by the one a
// packet before it, whose 188 bytes lie in Buffer, and whose PID (in M2TS
// with program tables) is a declared one. A video packet is common when it
// carries payload only, unscrambled, with no PES packet starting in it: its
// payload is the kTsCommonPayload bytes from s + 4, and taking it records
// its sync position as NextTSPayload does. A packet of another PID is passed
// over whole, but for the video's program table during the indexing pass
// (pat.h, watched_table_pid), which the general walk reads. Every packet taken counts towards the packets examined in one
// search, whose limit ends the run with a message (ts_no_video_data).
enum class TsPacket { kIrregular, kOther, kVideo };
constexpr u32 kTsCommonPayload = 188 - 4;
constexpr u32 kTsMaxPacketsPerSearch = 100000;
constexpr u32 kTsNullPid = 0x1FFF;  // null packets, never false syncs in M2TS
[[noreturn]] void ts_no_video_data();

// The test, with the state it reads taken once: a reader's loop takes many
// packets between two changes of that state.
struct TsCommonTest {
  const unsigned char* buffer = Buffer;
  u32 read = Read;
  u32 n = static_cast<u32>(TransportPacketSize);
  unsigned char sync = ts_sync_byte;
  u32 video_pid = MPEG2_Transport_VideoPID;
  bool declared_only = n == 192 && pat_parser.known_pid_count != 0;  // M2TS with program tables
  u32 table_pid = Operation == 0 ? pat_parser.watched_table_pid : PAT_NO_TABLE;  // walked for its watch

  // The packet whose sync byte is at buffer index s.
  TsPacket operator()(u32 s) const {
    if (s < n || read < s || read - s < 188) return TsPacket::kIrregular;
    const unsigned char* p = buffer + s;
    if (p[0] != sync || buffer[s - n] != sync) return TsPacket::kIrregular;
    const u32 pid = (static_cast<u32>(p[1] & 0x1F) << 8) | p[2];
    if (declared_only && pid != kTsNullPid && !pat_parser.IsKnownPid(pid))
      return TsPacket::kIrregular;  // taken for a false sync by the general walk
    if (pid == table_pid) return TsPacket::kIrregular;
    if (pid != video_pid) return TsPacket::kOther;
    // payload_unit_start_indicator 0; transport_scrambling_control 0 and
    // adaptation_field_control 1 (payload only).
    return (p[1] & 0x40) == 0 && (p[3] & 0xF0) == 0x10 ? TsPacket::kVideo : TsPacket::kIrregular;
  }
};
