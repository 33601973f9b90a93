// Presentation times of the video PES packets, shared by the transport- and
// program-stream readers and read by the analyses when a picture begins.
//
// The readers note every video PES packet whose payload they hand out: the
// stream position of its first payload byte and the PTS its header carries
// (or none). A picture takes the time of the PES packet in which its access
// unit begins when it is the first picture to begin there, as the standard
// ties a PTS to the first access unit that commences in its packet; any
// other picture has no time of its own. The notes are kept in a small ring:
// a picture begins a few packets (a program stream: a few thousand small
// packets at most) before the analysis reads it.
#pragma once

#include "global.h"

constexpr u64 kNoTime = ~0ULL;       // a picture without a presentation time
constexpr u64 kPtsModulus = 1ULL << 33;  // PTS values count modulo 2^33 (90 kHz)

// Presentation and decode time of a PES packet, 90 kHz.
struct PesTimes {
  u64 pts = kNoTime, dts = kNoTime;
};

// The PTS and DTS of a PES header's optional fields: PTS_DTS_flags (the top
// two bits of the second flag byte), the header data (PES_header_data_length
// bytes, at least the first ten at data) and its length. kNoTime where the
// flags announce none or a field's prefix and marker bits do not match them.
PesTimes PesHeaderTimes(unsigned char flags2, const unsigned char* data, u32 length);
// The MPEG-1 packet form's time fields from the byte b that begins them
// (0010 PTS, 0011 PTS and DTS) and the four or nine bytes after it.
PesTimes Mpeg1PacketTimes(unsigned char b, const unsigned char* rest);

// A video PES packet whose payload begins at stream position payload_at.
// A position not after the last one noted (the reader was moved back)
// forgets the notes before it. A packet without times is kept only as the
// end of the one noted before it (the pictures beginning from there on
// take none of its times): while pes_start_awaited is false, such packets
// (a program stream's packs between two pictures) need not be noted.
void NotePesStart(u64 payload_at, PesTimes times);
extern bool pes_start_awaited;  // written by NotePesStart and reset_pes_times
// The times of the picture whose access unit begins at position: those of
// the latest PES packet noted that begins at or before it, when no picture
// took them before; kNoTime otherwise. The decode time is the DTS, or the
// PTS where the header carries none.
PesTimes TakePesTime(u64 position);
void reset_pes_times();
