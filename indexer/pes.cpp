// Presentation times of the video PES packets (pes.h).
#include "pes.h"

namespace {

// (Without member initializers, so that the ring needs no constructor: the
// notes count only from count on.)
struct PesStart {
  u64 payload_at;  // stream position of the first payload byte
  u64 pts, dts;    // kNoTime when a picture took them
  u64 next;        // payload position of the next PES packet, kNoTime until one came
};

// Notes in stream order; the oldest are overwritten. 4096 packets are more
// than one access unit spans in a program stream of 2048-byte packs (8 MB).
constexpr u32 kRing = 4096;
PesStart ring[kRing];
u32 newest = 0;  // index of the latest note
u32 count = 0;   // notes held, at most kRing

// 33 bits from the five bytes of a PTS field: 4 bits prefix, 3 bits, marker,
// 15 bits, marker, 15 bits, marker.
[[gnu::always_inline]] inline u64 pts_field(const unsigned char* p, unsigned prefix) {
  if ((p[0] >> 4) != prefix || !(p[0] & 1) || !(p[2] & 1) || !(p[4] & 1)) return kNoTime;
  return (static_cast<u64>((p[0] >> 1) & 7) << 30) | (static_cast<u64>(p[1]) << 22) |
         (static_cast<u64>(p[2] >> 1) << 15) | (static_cast<u64>(p[3]) << 7) | (p[4] >> 1);
}

}  // namespace

PesTimes PesHeaderTimes(unsigned char flags2, const unsigned char* data, u32 length) {
  PesTimes t;
  const unsigned pts_dts_flags = flags2 >> 6;  // 2 PTS, 3 PTS and DTS; 1 is forbidden
  if (pts_dts_flags < 2 || length < (pts_dts_flags == 3 ? 10u : 5u)) return t;
  t.pts = pts_field(data, pts_dts_flags);
  t.dts = pts_dts_flags == 3 ? pts_field(data + 5, 1) : t.pts;
  if (t.pts == kNoTime || t.dts == kNoTime) t = PesTimes{};
  return t;
}

PesTimes Mpeg1PacketTimes(unsigned char b, const unsigned char* rest) {
  const unsigned prefix = b >> 4;
  if (prefix != 2 && prefix != 3) return PesTimes{};
  const unsigned char p[5] = {b, rest[0], rest[1], rest[2], rest[3]};
  PesTimes t;
  t.pts = pts_field(p, prefix);
  t.dts = prefix == 3 ? pts_field(rest + 4, 1) : t.pts;
  if (t.pts == kNoTime || t.dts == kNoTime) t = PesTimes{};
  return t;
}

bool pes_start_awaited = false;

void NotePesStart(u64 payload_at, PesTimes times) {
  if (count > 0 && payload_at <= ring[newest].payload_at) count = 0;
  if (count > 0 && ring[newest].next == kNoTime) ring[newest].next = payload_at;
  pes_start_awaited = false;
  if (times.pts == kNoTime) return;  // no time to take from it
  newest = count == 0 ? 0 : (newest + 1) % kRing;
  ring[newest] = PesStart{payload_at, times.pts, times.dts, kNoTime};
  if (count < kRing) count++;
  pes_start_awaited = true;
}

PesTimes TakePesTime(u64 position) {
  for (u32 k = 0, i = newest; k < count; k++, i = (i + kRing - 1) % kRing) {
    PesStart& e = ring[i];
    if (e.payload_at > position) continue;
    PesTimes t;
    if (e.next != kNoTime && e.next <= position) return t;  // it begins in a later packet, without times
    t.pts = e.pts;
    t.dts = e.dts;
    e.pts = e.dts = kNoTime;  // the first picture beginning in the packet took them
    return t;
  }
  return PesTimes{};
}

void reset_pes_times() {
  count = newest = 0;
  pes_start_awaited = false;
}
