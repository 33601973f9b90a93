// Transport-stream byte reader: payload of the video PID.
#pragma once

#include "global.h"

int GetTSByte(unsigned char* byte);                  // 0, or -1 at end of input
