// Transport-stream byte reader: strips packet and PES headers and delivers
// the payload of the video PID.
//
// NextTSPayload runs once per video packet: it walks over the packets of
// other PIDs, parses the video packet's header in place in Buffer, and
// leaves payload_bytes set so that the unit reader takes the payload
// straight from Buffer. A packet that lies wholly in Buffer is walked through
// a local pointer; one that straddles a block or file boundary (or the end of
// the input) through next_byte()/skip(), which refill the buffer. The common
// packets (ts.h) are taken without the walk, here and by the unit reader's
// own loop.
//
// Packet layout for the three sizes, counted from the sync byte:
//   188: the packet.
//   192: the packet; the 4-byte time prefix of the *next* packet follows it
//        and is passed over before that packet's sync byte.
//   204: the packet followed by 16 parity bytes, which are never video.
// So the payload always ends 188 bytes after the sync byte.
#include "ts.h"

#include <cstdlib>
#include <cstring>

#include "decode.h"
#include "index.h"
#include "pat.h"
#include "pes.h"

namespace {

constexpr u32 kPacketBody = 188;                     // sync byte to the last payload byte
constexpr u32 kM2tsPrefix = 192 - 188;               // time prefix before each 192-byte packet
constexpr u32 kParity = 204 - 188;                   // parity bytes after each 204-byte packet
constexpr u32 kMaxPacketsPerCall = kTsMaxPacketsPerSearch;  // packets examined for one video payload
constexpr u32 kMaxSyncSearch = 5000000;              // bytes searched for one sync byte
constexpr u32 kNullPid = kTsNullPid;
constexpr u32 kPesFixedHeader = 9;                   // 00 00 01, stream_id, PES_packet_length, 2 flag bytes, PES_header_data_length
constexpr u32 kPesTimeFields = 5 + 5;                // PTS and DTS, at the start of the header data

// Stream position of the parity bytes of the last 204-byte video packet
// whose payload was handed out: when the next call finds the read pointer
// there, those 16 bytes are passed over first. All ones = none. (After a seek
// the pointer stands elsewhere and the sync search finds the next packet.)
u64 parity_at = ~0ULL;

inline int next_byte(unsigned char* b) {
  if (Rdptr >= Buffer + Read && RefillBuffer() < 0) return -1;
  *b = *Rdptr++;
  return 0;
}

// Passes over n bytes, within the buffer where they are there.
int skip(u32 n) {
  while (n > 0) {
    if (Rdptr >= Buffer + Read && RefillBuffer() < 0) return -1;
    const u32 avail = static_cast<u32>(Buffer + Read - Rdptr);
    const u32 take = avail < n ? avail : n;
    Rdptr += take;
    n -= take;
  }
  return 0;
}

[[noreturn]] void no_video_data() {
  printf("ERROR: cannot find video data. Bad PID?\n");
  ostrel_exit(1);
}

// Leaves Rdptr at the next confirmed sync byte. A candidate at buffer index s
// is confirmed by the sync byte one packet before it, or by the one a packet
// after it (so that the first packet after zeros or garbage is read), or, in
// the first packet of the buffer, by the end of the data, which cannot
// contradict it. The scan goes block-wise with memchr.
int find_sync() {
  const u32 n = static_cast<u32>(TransportPacketSize);
  u32 searched = 0;
  for (;;) {
    if (Rdptr >= Buffer + Read && RefillBuffer() < 0) return -1;
    unsigned char* const end = Buffer + Read;
    while (Rdptr < end) {
      // In a stream in sync the sync byte is the next byte; memchr is for the search.
      unsigned char* hit = *Rdptr == ts_sync_byte ? Rdptr
          : static_cast<unsigned char*>(memchr(Rdptr, ts_sync_byte, static_cast<size_t>(end - Rdptr)));
      if (!hit) {
        searched += static_cast<u32>(end - Rdptr);
        Rdptr = end;
        break;
      }
      searched += static_cast<u32>(hit - Rdptr);
      if (searched > kMaxSyncSearch) no_video_data();
      const u32 s = static_cast<u32>(hit - Buffer);
      const bool confirmed = s < n ? (s + n >= Read || Buffer[s + n] == ts_sync_byte)
                                   : Buffer[s - n] == ts_sync_byte || (s + n < Read && Buffer[s + n] == ts_sync_byte);
      if (confirmed) {
        Rdptr = hit;
        return 0;
      }
      searched++;
      Rdptr = hit + 1;
      if (searched > kMaxSyncSearch) no_video_data();
    }
    if (searched > kMaxSyncSearch) no_video_data();
  }
}

// Header bytes of a packet, read either straight from Buffer through a
// local pointer (the packet lies wholly in it, the common case: no refill
// checks per byte) or through the refilling readers (a packet that straddles
// a block or file boundary, or the end of the input). The walk below is
// written once for both.
struct InBuffer {
  unsigned char* p;
  int byte(unsigned char* b) {
    *b = *p++;
    return 0;
  }
  int pass(u32 n) {
    p += n;
    return 0;
  }
  void restart(unsigned char* at) { p = at; }
  void done() { Rdptr = p; }
};
struct Refilling {
  int byte(unsigned char* b) { return next_byte(b); }
  int pass(u32 n) { return skip(n); }
  void restart(unsigned char* at) { Rdptr = at; }
  void done() {}
};

enum PacketResult { kEnd = -1, kPassed = 0, kDelivers = 1, kFalseSync = 2 };

// One packet from its sync byte at Rdptr (buffer index sync_index of the
// block at sync_physical in sync_file). kDelivers leaves Rdptr at its first
// video payload byte and payload_bytes at the payload's length; kPassed
// leaves Rdptr after the packet; kFalseSync (M2TS: a PID the tables do not
// declare) leaves Rdptr where the sync search goes on.
template <class Src>
PacketResult walk_packet(Src& src, u32 sync_index, u64 sync_physical, int sync_file) {
  const u32 n = static_cast<u32>(TransportPacketSize);
  unsigned char h1, h2, h3;
  src.pass(1);  // the sync byte, in Buffer
  if (src.byte(&h1) < 0 || src.byte(&h2) < 0) return kEnd;
  const u32 pid = (static_cast<u32>(h1 & 0x1F) << 8) | h2;
  if (n == 192 && pat_parser.known_pid_count != 0 && pid != kNullPid && !pat_parser.IsKnownPid(pid)) {
    // When a refill came between, the two PID bytes are gone from the
    // buffer; the search then goes on after them.
    if (sync_file == CurrentFile && sync_physical == Buffer_Physical) src.restart(Buffer + sync_index + 1);
    src.done();
    return kFalseSync;
  }
  if (src.byte(&h3) < 0) return kEnd;
  u32 used = 4;                                      // bytes of this packet consumed, from its sync byte

  const bool pusi = (h1 & 0x40) != 0;
  const u32 afc = (h3 >> 4) & 3;
  bool deliver = false;
  bool pes_starts = false;                           // a video PES packet begins in this one
  PesTimes pes_times;
  // Scrambled packets, and packets without payload (adaptation_field_control
  // 0 or 2), carry nothing for us on any PID.
  if ((h3 & 0xC0) == 0 && (afc == 1 || afc == 3) && pid == MPEG2_Transport_VideoPID) {
    bool discontinuity = false;
    if (afc == 3) {
      unsigned char length;
      if (src.byte(&length) < 0) return kEnd;
      used++;
      // The discontinuity_indicator, in the adaptation field's first byte.
      if (length > 0) {
        unsigned char flags;
        if (src.byte(&flags) < 0) return kEnd;
        used++;
        discontinuity = (flags & 0x80) != 0;
      }
      // An adaptation field that reaches the end of the packet (or claims to
      // reach past it) leaves no payload: the packet is dropped.
      const u32 rest = length > 0 ? length - 1u : 0u;  // of the field, after its first byte
      if (length < kPacketBody - (used - (length > 0))) {
        if (src.pass(rest) < 0) return kEnd;
        used += rest;
        deliver = true;
      }
    } else {
      deliver = true;
    }
    const bool whole = sync_file == CurrentFile && sync_physical == Buffer_Physical && Read - sync_index >= kPacketBody;
    if (NoteVideoContinuity(h3, discontinuity, sync_index + sync_physical + FilesBefore(sync_file),
                            whole ? Buffer + sync_index : nullptr))
      deliver = false;  // a duplicate
    else if (deliver && pusi) {
      // A PES packet starts: its header is passed over. One that does not
      // fit, or leaves nothing of the packet, delivers nothing.
      deliver = false;
      if (used + kPesFixedHeader <= kPacketBody) {
        unsigned char h[kPesFixedHeader];
        for (u32 i = 0; i < kPesFixedHeader; i++)
          if (src.byte(&h[i]) < 0) return kEnd;
        used += kPesFixedHeader;
        const u32 header_data = h[8];                // PES_header_data_length
        if (h[0] == 0 && h[1] == 0 && h[2] == 1 && header_data < kPacketBody - used) {
          // The PTS (and DTS) lead the header data when the flags announce
          // them; the MPEG-2 form of the header has '10' in its first flag byte.
          unsigned char times[kPesTimeFields] = {};
          const u32 held = header_data < kPesTimeFields ? header_data : kPesTimeFields;
          for (u32 i = 0; i < held; i++)
            if (src.byte(&times[i]) < 0) return kEnd;
          if (src.pass(header_data - held) < 0) return kEnd;
          used += header_data;
          if ((h[6] & 0xC0) == 0x80) pes_times = PesHeaderTimes(h[7], times, header_data);
          pes_starts = true;
          deliver = true;
        }
      }
    }
  } else if ((h3 & 0xC0) == 0 && afc == 2 && pid == MPEG2_Transport_VideoPID) {
    // The adaptation field fills the packet (used stays within it).
    unsigned char length, flags = 0;
    if (src.byte(&length) < 0) return kEnd;
    used++;
    if (length > 0) {
      if (src.byte(&flags) < 0) return kEnd;
      used++;
    }
    NoteVideoAdaptationOnly(h3, (flags & 0x80) != 0);
  } else if (pid == pat_parser.watched_table_pid && Operation == 0 && !(h1 & 0x80) && (afc == 1 || afc == 3)) {
    // The video's program table, read whole for its watch.
    unsigned char rest[kPacketBody];
    const u32 left = kPacketBody - used;
    for (u32 i = 0; i < left; i++)
      if (src.byte(&rest[i]) < 0) return kEnd;
    used = kPacketBody;
    const u32 at = afc == 3 ? 1u + rest[0] : 0u;  // after the adaptation field
    if (at < left) pat_parser.WatchVideoTable(rest + at, left - at, pusi, sync_file);
  }

  if (deliver) {
    // Only packets that hand out payload count as the latest video packet,
    // so that a start code split across packets finds the packet holding
    // its first bytes in previous_ts_sync_position.
    const u64 sync_position = sync_index + sync_physical + FilesBefore(sync_file);
    previous_ts_sync_position = current_ts_sync_position;
    current_ts_sync_position = sync_position;
    if (n == 204) parity_at = sync_position + kPacketBody;
    if (pes_starts) NotePesStart(sync_position + used, pes_times);
    src.done();
    first_payload = Rdptr;
    payload_bytes = kPacketBody - used;              // used < 188 here
    return kDelivers;
  }
  // The rest of a packet not delivered ends here, counted from its sync byte.
  const u32 packet_end = n == 204 ? 204 : kPacketBody;
  if (used < packet_end && src.pass(packet_end - used) < 0) return kEnd;
  src.done();
  return kPassed;
}

// Common packets (ts.h) from Rdptr on: other PIDs are passed over, a video
// packet is delivered. False leaves Rdptr at (the prefix of) the first
// packet of another kind.
inline bool common_packets(u32 n, u32* packets) {
  const u32 lead = n == 192 ? kM2tsPrefix : 0;
  const TsCommonTest common;
  for (;;) {
    const u32 s = static_cast<u32>(Rdptr - Buffer) + lead;  // index of the sync byte
    const TsPacket kind = common(s);
    if (kind == TsPacket::kIrregular) return false;
    if (++*packets > kMaxPacketsPerCall) no_video_data();
    if (kind == TsPacket::kOther) {
      Rdptr = Buffer + s + kPacketBody;
      continue;
    }
    const u64 sync_position = s + Buffer_Physical + FilesBefore(CurrentFile);
    if (NoteVideoContinuity(Buffer[s + 3], false, sync_position, Buffer + s)) {
      Rdptr = Buffer + s + kPacketBody;  // a duplicate, passed over
      continue;
    }
    previous_ts_sync_position = current_ts_sync_position;
    current_ts_sync_position = sync_position;
    Rdptr = Buffer + s + 4;
    first_payload = Rdptr;
    payload_bytes = kTsCommonPayload;
    return true;
  }
}

// NextTSPayload for any packet: the sync search, M2TS prefixes, 204-byte
// parity, packets of other PIDs and packets that straddle a block boundary.
__attribute__((noinline)) int walk_to_payload(u32 n, u32 packets) {
  if (n == 204 && parity_at == static_cast<u64>(Rdptr - Buffer) + Buffer_Physical + FilesBefore(CurrentFile)) {
    parity_at = ~0ULL;
    if (skip(kParity) < 0) return -1;
  }
  // Bytes from a sync byte that a packet may be walked over.
  const u32 whole = n == 204 ? 204 : kPacketBody;

  for (;;) {
    if (n == 192 && skip(kM2tsPrefix) < 0) return -1;
    PacketResult r;
    do {
      if (find_sync() < 0) return -1;
      if (++packets > kMaxPacketsPerCall) no_video_data();
      const u32 sync_index = static_cast<u32>(Rdptr - Buffer);
      if (Read - sync_index >= whole) {
        InBuffer src{Rdptr};
        r = walk_packet(src, sync_index, Buffer_Physical, CurrentFile);
      } else {
        Refilling src;
        r = walk_packet(src, sync_index, Buffer_Physical, CurrentFile);
      }
    } while (r == kFalseSync);
    if (r == kEnd) return -1;
    if (r == kDelivers) return 0;
  }
}

}  // namespace

TsContinuity ts_video_counter;
unsigned ts_video_gaps = 0;
u64 ts_first_gap = 0;
u64 ts_video_packets_lost = 0;
u64 ts_video_last_at = ~0ULL;

namespace {

// The last video packet with payload as it was when Buffer was refilled.
unsigned char kept_packet[kPacketBody];
u64 kept_at = ~0ULL;

// The 188 bytes of the packet whose sync byte is at stream position at,
// where they are still at hand; nullptr otherwise.
const unsigned char* packet_bytes(u64 at) {
  const u64 origin = Buffer_Physical + FilesBefore(CurrentFile);
  if (at != ~0ULL && at >= origin && at - origin <= Read && Read - (at - origin) >= kPacketBody)
    return Buffer + (at - origin);
  return at == kept_at ? kept_packet : nullptr;
}

}  // namespace

void TsKeepLastVideoPacket() {
  if (const unsigned char* p = packet_bytes(ts_video_last_at)) {
    if (p != kept_packet) memcpy(kept_packet, p, kPacketBody);
    kept_at = ts_video_last_at;
  }
}

bool TsVideoCounterJump(int cc, TsContinuity::Verdict verdict, u64 sync_position, const unsigned char* packet) {
  if (verdict == TsContinuity::kSameCounter) {
    // A packet that cannot be compared with the last (one of them straddles
    // a block boundary, where it was not kept) is read, as the plugin reads
    // it; one with other bytes is read too, after a gap of 15 packets.
    const unsigned char* last = packet ? packet_bytes(ts_video_last_at) : nullptr;
    if (!last) return false;
    if (memcmp(last, packet, kPacketBody) == 0) return true;
  }
  ts_video_packets_lost += ts_video_counter.Missing(cc);
  if (ts_video_gaps++ == 0) ts_first_gap = sync_position;
  NoteDamage(sync_position);
  return false;
}

void reset_ts_reader() {
  parity_at = ~0ULL;
  ts_video_counter.Forget();
  reset_pes_times();
  ts_video_gaps = 0;
  ts_first_gap = 0;
  ts_video_packets_lost = 0;
  ts_video_last_at = kept_at = ~0ULL;
}

int NextTSPayload(u32 examined) {
  const u32 n = static_cast<u32>(TransportPacketSize);
  if (n != 204 && common_packets(n, &examined)) return 0;
  return walk_to_payload(n, examined);
}

void ts_no_video_data() { no_video_data(); }

int GetTSByte(unsigned char* byte) {
  if (payload_bytes == 0 && NextTSPayload() < 0) return -1;
  payload_bytes--;
  return next_byte(byte);
}
