// MP4 input of the indexer: the chosen video track's samples, loaded one at
// a time into Buffer as a start-code byte stream, with the sample's start
// time (track time scale) in mkv_current_tc. The stream is handed out in
// runs of Buffer, like packet payloads: Rdptr and payload_bytes name the
// current one.
#pragma once

#include "global.h"
#include "nalu.h"

extern void* mp4File;  // the open file, closed by MP4Close at the end of the run
extern u32 trackId;    // the chosen track

// Opens the first input: 0 ready, 1 the file cannot be parsed (or has no
// HEVC configuration where it needs one), 2 no supported first video track,
// 3 a track or file that cannot be read (the reason printed).
int InitMP4();
// Loads the parameter sets and the first sample at or after time.
void InitializeMP4Buffer(u64 time);
// Loads the next sample when Buffer is used up: 0, or -1 at the end.
int NextMP4Buffer();
// The sample whose read failed and ended the input early (it lies beyond the
// end of the file, or cannot be read), 0 when the track was read to its end;
// *samples is the count the track's tables list.
u32 MP4UnreadSample(u32* samples);
// The unit reader's next stretch of the stream: the next run of bytes of
// the sample in Buffer (Rdptr, payload_bytes), else the next sample's first.
// 0, or -1 at the end.
int NextMP4Payload();
// Reads the bytes a cut of the sample in Buffer left out (nalu.h) to dst;
// false on a short read.
bool Mp4ReadCut(const UnitCut& cut, unsigned char* dst);
