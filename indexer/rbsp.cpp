// Emulation-prevention removal in blocks.
//
// A dropped 03 is never zero, so the zero run before any byte is the run of
// zero bytes just before it in the input, whatever was dropped earlier: each
// 03 can be judged from the bytes before it alone. 03 bytes are rare in coded
// data (about one in 256), so memchr finds the candidates and the stretches
// between the dropped bytes are copied whole.
#include "rbsp.h"

#include <cstring>

u32 remove_emulation_prevention(const unsigned char* in, u32 n, unsigned char* out, EpRule rule) {
  u32 kept = 0;
  u32 from = 0;  // first byte not yet copied
  for (u32 i = 2; i < n;) {
    const void* hit = memchr(in + i, 3, n - i);
    if (hit == nullptr) break;
    const u32 h = static_cast<u32>(static_cast<const unsigned char*>(hit) - in);
    const bool after_two = in[h - 1] == 0 && in[h - 2] == 0;
    const bool longer_run = h >= 3 && in[h - 3] == 0;
    if (after_two && (rule == EpRule::kAfterTwoOrMoreZeros || !longer_run)) {
      memcpy(out + kept, in + from, h - from);
      kept += h - from;
      from = h + 1;
    }
    i = h + 1;
  }
  if (n > from) memcpy(out + kept, in + from, n - from);
  return kept + (n - from);
}
