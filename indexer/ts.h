// Transport-stream byte reader: payload of the video PID.
#pragma once

#include "global.h"

int GetTSByte(unsigned char* byte);                  // 0, or -1 at end of input
void reset_ts_reader();                              // forgets the parity bytes still to pass over
