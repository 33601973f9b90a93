// MPEG-2 video analysis and its index records.
#pragma once

#include "global.h"

void index_mpg();
// 1 when the unit completed the coding information of a new counted picture
// (a frame, or the first field of a pair), 2 otherwise.
int parse_nalu_mpg(NALU_t* unit, u64 position);
void reset_mpg_analysis();           // part of init_indexing()
// Matroska: the frame of time t was read and began no picture (its picture
// header or coding extension is unreadable). It is listed as the picture
// its time makes it: a P picture where it is shown after the last I or P
// picture, else a B picture, a frame picture that repeats no field; next
// to frames lost it is left out as a picture of its type would be.
void MpgFrameWithoutPicture(u64 t);
// Whether the first n bytes of a Matroska or MP4 frame (nalu.h) hold all the
// analysis takes from it: one frame picture (a picture header, then its
// coding extension of picture_structure 3), its first slice, and nothing
// but slices behind that. The rest of such a frame is its slices. Frames of
// field pictures (whose partner follows the first field's slices), frames
// whose first slice lies beyond the n bytes, and any other shape are read
// whole.
bool mpg_head_suffices(const unsigned char* p, u32 n);
// Whether a start code value begins a slice (0x01 to 0xAF).
inline bool mpg_slice_code(unsigned char code) { return code >= 0x01 && code <= 0xAF; }

// Read by the stream report after the pass.
extern int aspect_ratio_information;  // 4-bit code of the last sequence header (1 square, 2 4:3, 3 16:9, 4 2.21:1)
// Coded size of the last sequence header and extension (the lines before
// rounding up to whole macroblocks).
extern int horizontal_size, vertical_size;
// Sample aspect ratio of an MPEG-2 picture: pictures taller than 576 lines are
// square-sampled, 480- and 576-line pictures get the BT.601 ratios, other
// sizes the display ratio divided by the picture's own. False for forbidden
// and reserved codes (0, 5..15) and empty sizes, where no ratio is defined.
bool mpg_sample_aspect(int code, int width, int lines, int* w, int* h);
