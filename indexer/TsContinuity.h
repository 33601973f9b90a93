// Continuity of the video packets of a transport stream, followed alike by
// Ostrel's reader (which reports gaps) and Pemmick's (which, like Ostrel's,
// drops a packet sent twice), so that both read the same payload.
//
// The 4-bit continuity_counter counts the packets that carry payload. A
// packet with an adaptation field only keeps it, as the standard says, or
// counts on all the same, as some multiplexers write their PCR-only packets:
// the payload packet after such a packet then repeats its value (Blu-ray
// recordings) or goes on from it. So a payload packet is in order when its
// counter follows the last payload packet's, or that of an adaptation-only
// packet since that counted on. One that repeats the last payload packet's
// counter is a copy when its bytes are the same (the caller compares them);
// any other counter means packets are missing. A discontinuity signalled on
// any packet of the PID lets the next counter be any.
#pragma once

struct TsContinuity {
  int last = -1;        // counter of the last payload packet; -1: none (after a seek, a file change, a discontinuity)
  int counted_on = -1;  // counter of the adaptation-only packets since the last payload packet that counted on; -1: none

  enum Verdict { kFollows, kSameCounter, kGap };

  void Forget() { last = counted_on = -1; }

  // A payload packet with counter cc, before it is taken.
  Verdict Payload(int cc, bool discontinuity) const {
    if (last < 0 || discontinuity || cc == ((last + 1) & 15) || (counted_on >= 0 && cc == ((counted_on + 1) & 15)))
      return kFollows;
    return cc == last ? kSameCounter : kGap;
  }
  // The least number of packets missing before a payload packet with
  // counter cc that does not follow (15 for a repeated counter over other
  // bytes).
  unsigned Missing(int cc) const {
    unsigned n = static_cast<unsigned>((cc - last - 1) & 15);
    if (counted_on >= 0) {
      const unsigned m = static_cast<unsigned>((cc - counted_on - 1) & 15);
      if (m < n) n = m;
    }
    return n;
  }
  // The payload packet with counter cc is read.
  void Take(int cc) {
    last = cc;
    counted_on = -1;
  }
  // A packet of the PID with an adaptation field only.
  void AdaptationOnly(int cc, bool discontinuity) {
    if (discontinuity)
      Forget();
    else if (last >= 0 && cc == (((counted_on >= 0 ? counted_on : last) + 1) & 15))
      counted_on = cc;
  }
};
