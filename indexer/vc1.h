// VC-1 advanced-profile analysis and its index records.
#pragma once

#include "global.h"

void index_vc1();
// 1 when the unit completed a counted picture (a frame, or the second field
// of a field pair), 2 otherwise.
int parse_nalu_vc1(NALU_t* unit, u64 position);
void reset_vc1_analysis();           // part of init_indexing()
// Whether the first n bytes of a Matroska or MP4 frame (nalu.h) hold all the
// analysis takes from it: sequence headers and entry points whole, then one
// frame header that the analysis, with the sequence header then in force,
// reads as no field pair, with 64 bytes of it at least, and behind that
// nothing but slices and user data. A field pair's second field header
// follows the first field's data, so such frames are read whole, as are
// frames of any other shape.
bool vc1_head_suffices(const unsigned char* p, u32 n);
// Whether a start code value begins a slice (0x0B).
inline bool vc1_slice_code(unsigned char code) { return code == 0x0B; }

// Left behind for the stream report.
// Sample aspect ratio of the last sequence display extension that carried
// one (x:y); 0:0 when none did. Shared in name with the HEVC analysis.
extern int display_aspect_ratio_x, display_aspect_ratio_y;
// Flags of the last sequence header (0 or 1 each).
extern int vc1_pulldown, vc1_interlace, vc1_tfcntrflag, vc1_psf;
