// Transport-stream byte reader: payload of the video PID.
#pragma once

#include "global.h"

int GetTSByte(unsigned char* byte);                  // 0, or -1 at end of input
// Moves to the next video packet's payload: Rdptr at its first byte (which
// may lie beyond the block in Buffer), payload_bytes its length. 0, or -1 at
// end of input.
int NextTSPayload();
