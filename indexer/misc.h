// Stream report (".log"): a short plain-text summary of the indexed video
// stream, written next to the index file after the indexing pass. Every line
// is "label: value"; nothing in the system reads it back.
#pragma once

#include <cstdio>

// Creates szOutputBase + ".log" and fills it with the writer of
// VideoStream_Flag. When the file cannot be created, nothing is written and
// nothing is said.
void WriteLogFile();

// One writer per codec; each reads the values that its analysis left behind
// in the process-wide state. Stream values outside the tables the writers
// name print as reserved or unknown, never as another entry's text.
void WriteAVCInfo(FILE* f);   // VideoStream_Flag 0
void WriteMPGInfo(FILE* f);   // VideoStream_Flag 1
void WriteVC1Info(FILE* f);   // VideoStream_Flag 3
void WriteHEVCInfo(FILE* f);  // VideoStream_Flag 4
