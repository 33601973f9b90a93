// Emulation prevention of H.264 and H.265 NAL units: the 03 byte an encoder
// inserts after two zero bytes is dropped to recover the unit's RBSP.
#pragma once

#include "global.h"

// Which 03 bytes after zero bytes are emulation prevention.
enum class EpRule {
  kAfterTwoOrMoreZeros,  // a 03 after a run of at least two zero bytes (H.264 analysis)
  kAfterExactlyTwoZeros  // a 03 after a run of exactly two zero bytes (H.265 analysis)
};

// Copies n bytes of a unit (from its NAL header on) into out, dropping every
// emulation-prevention byte; out has room for n bytes. Returns the bytes
// kept. The zero run is counted from in[0], never before it. The result for
// the first k bytes of a unit is a prefix of the result for the whole unit.
u32 remove_emulation_prevention(const unsigned char* in, u32 n, unsigned char* out, EpRule rule);
