// Program-stream and raw byte readers.
#pragma once

#include "global.h"

int GetRawByte(unsigned char* byte);                 // 0, or -1 at end of input
int GetPSByte(unsigned char* byte);                  // 0, or -1 at end of input
// Moves to the next video PES packet's payload: Rdptr at its first byte
// (which may lie beyond the block in Buffer), payload_bytes its length. 0,
// or -1 at end of input.
int NextPSPayload();
