// Annex B unit reader: cuts the video byte stream at start codes.
#pragma once

#include <vector>

#include "global.h"

// 1 with a unit, 0 at end of input, negative on failure (message printed).
int GetAnnexbNALU(NALU_t* unit, u64* position);
int GetAnnexbNALUAVC(NALU_t* unit, u64* position);
extern unsigned char* nalu_buf;                      // NALU_BUFFER_SIZE bytes
// Makes the unit just handed whole in nalu_buf when the input left part of
// it unread (container slices, read as far as their head); nothing otherwise.
void CompleteUnit(NALU_t* unit);

// Matroska and MP4 input read AVC and HEVC slices longer than CONTAINER_SLICE_HEAD
// bytes only that far: the analysis reads a slice's header from its first
// bytes (the unit parsers clean at most that many, and ask for the rest
// through CompleteUnit when the header runs past them). A cut slice's head
// ends at Buffer offset at, where the next unit's start code follows; its
// other bytes lie at file position tail.
constexpr u32 CONTAINER_SLICE_HEAD = 1024;
struct UnitCut {
  u32 at;
  u32 bytes;
  u64 tail;
};
extern std::vector<UnitCut> unit_cuts;  // of the frame or sample in Buffer, by offset
// The cut at an offset in (begin, end], or null.
const UnitCut* CutIn(u32 begin, u32 end);
// Bytes left out by the cuts at offsets up to offset: what stream positions
// in the frame, counted as if it had been read whole, add to the offset.
u64 CutBytesBefore(u32 offset);
// MPEG-2 and VC-1 frames read from Matroska and MP4 input are likewise cut
// behind their first FrameHeadBytes() bytes where FrameHeadSuffices says
// that those hold all the analysis takes from the frame: its headers and the
// head of the unit that runs on to the frame's end (a slice, or a VC-1
// frame's picture data), whose bytes the analysis never reads. Their cuts
// are never completed.
u32 FrameHeadBytes();  // 0 for the codecs whose frames are read whole
// p: a frame's first n bytes as the unit reader is to take them (start
// codes in front included), n < the frame's own length.
bool FrameHeadSuffices(const unsigned char* p, u32 n);
// A frame's rest is left unread only where FrameTailSuffices finds no unit
// but the codec's slices among its last FrameTailBytes() bytes and among
// those around the cut: a muxer that cuts the stream at picture start codes
// leaves the next picture's headers (MPEG-2 sequence header, its extensions
// and GOP header; VC-1 sequence header and entry point) at the end of the
// frame before, and such headers are short, so the last of them begins in
// those bytes. Frames that hold any other unit there are read whole.
u32 FrameTailBytes();
// p: bytes of a frame's rest with the three before them; true where every
// start code whose value lies in p[3..n) is a slice's. A start code whose
// value lies beyond the n bytes says no.
bool FrameTailSuffices(const unsigned char* p, u32 n);
// Index of the first byte of the first 00 00 01 that lies wholly in
// p[0..n), or n.
u32 FindStartCode(const unsigned char* p, u32 n);
// Whether a unit of the AVC or HEVC stream (VideoStream_Flag's codes) whose
// header begins with byte h is a slice.
bool IsSliceUnit(int codec, unsigned char h);
// Matroska frames whose bytes show damage that left their headers readable
// (zeros written over slice data): such a frame is listed as damage.
// Whether the n bytes of an AVC or HEVC unit, as a container stores it
// behind its length, hold 00 00 00, 00 00 01 or 00 00 02, which emulation
// prevention keeps out of every unit, before the zero bytes that end it
// (some muxers leave zeros behind a unit's last byte). Bytes from inside a
// unit that do not reach its end (ends_unit false) end in none of those.
bool UnitBytesDamaged(const unsigned char* p, size_t n, bool ends_unit = true);
// Whether the n bytes of an MPEG-1 or MPEG-2 frame hold a run of three or
// more zero bytes that a byte other than 01 follows: zero bytes are stuffed
// only in front of a start code, and coded data holds no 23 zero bits in a
// row. A run that reaches the frame's end stands in front of the next
// frame's start code.
bool Mpeg2FrameBytesDamaged(const unsigned char* p, size_t n);
