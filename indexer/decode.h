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
// Sum of the lengths of the files before `file` in the list. The readers ask
// for it once per stretch or packet, so the last answer is kept (Recovery,
// which measures the files, drops it).
extern int files_before_file;
extern u64 files_before_sum;
u64 FilesBeforeCompute(int file);
inline u64 FilesBefore(int file) { return file == files_before_file ? files_before_sum : FilesBeforeCompute(file); }
// Stream position of the byte at Rdptr.
inline u64 StreamPosition() { return static_cast<u64>(Rdptr - Buffer) + Buffer_Physical + FilesBefore(CurrentFile); }
int Open();                                          // container detection; 0 or a status
