// Program-stream and raw byte readers.
#pragma once

#include "global.h"

int GetRawByte(unsigned char* byte);                 // 0, or -1 at end of input
int GetPSByte(unsigned char* byte);                  // 0, or -1 at end of input
