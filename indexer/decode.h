// Input files as one concatenated byte stream, the shared read buffer, and
// container detection.
#pragma once

#include "global.h"

void Recovery();                                     // measure inputs, reset the range
void PosToFileAndOffset(u64 position, int* file, u64* offset);
void InitializeBuffer(int descriptor, u64 offset);   // fill Buffer from CurrentFile at offset
int NextFile();                                      // 0, or -1 at the end of the list
int RefillBuffer();                                  // 0, or -1 at the end of input
// Positions the read buffer at a stream position (file and offset from the
// concatenation) and makes that file current.
void SeekStream(u64 position);
// Sum of the lengths of the files before `file` in the list.
u64 FilesBefore(int file);
// Stream position of the byte at Rdptr.
u64 StreamPosition();
int Open();                                          // container detection; 0 or a status
