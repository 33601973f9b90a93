// Matroska input of the indexer: the chosen video track's frames, loaded
// one at a time into Buffer as a start-code byte stream, with the frame's
// start time in mkv_current_tc.
#pragma once

#include "MatroskaParser.h"
#include "global.h"
#include "nalu.h"

extern MatroskaFile* mf;  // the open file, closed by mkv_Close at the end of the run
extern u32 track;         // index of the chosen track in the library's track list

// Opens the first input: 0 ready, 1 the file cannot be opened or parsed,
// 2 no supported video track, 3 a video track whose frames cannot be read
// (the reason printed).
int InitMatroska();
// Loads the first buffer of a pass at time t (the range start).
void InitializeMKVBuffer(u64 t);
// Loads the next frame when Buffer is used up: 0, or -1 at the end.
int NextMKVBuffer();
// Seeks the chosen track to time t (the second form to the cue point before it).
void mkv_Seek(MatroskaFile* file, u64 t, unsigned flags);
void mkv_Seek2(MatroskaFile* file, u64 t, unsigned flags);
// The first frame of the chosen track at or after t: 0, or -1 when none.
int MKVGetFrameByTime(MatroskaFile* file, u64 t, u32* track_index, u64* start, u64* end, u64* file_pos,
                      u32* size, u32* flags);

// Reads the bytes a cut of the frame in Buffer left out to dst (nalu.h);
// false on a short read.
bool MkvReadCut(const UnitCut& cut, unsigned char* dst);
