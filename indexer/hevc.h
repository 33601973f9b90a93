// H.265/HEVC picture analysis and its index records.
#pragma once

#include <cstdint>

#include "global.h"

void index_hevc();
int parse_nalu_hevc(NALU_t* unit, u64 position);
void reset_hevc_analysis();          // part of init_indexing()
// Matroska: the frame of time t was read and began no picture (its header
// is unreadable). Its picture is listed where its time places it, as a
// trailing or leading picture of its run of order counts, its slice type
// that of a P or B picture; where no count fits, or next to frames lost,
// it is left out.
void HevcFrameWithoutPicture(u64 t);
// Writes the MASTERING line from hevc_mastering (pass mode 0 only).
void print_color_mastering_info();

// ---- results read by the stream report (written by the analysis)
extern int bit_depth;                          // bit_depth_luma_minus8 + 8 of the latest SPS
extern int general_profile_idc;                // profile_tier_level of the latest SPS
extern int general_tier_flag;
extern int general_level_idc;
// Sample aspect ratio from the first SPS's VUI; 0 = unknown (defined with
// the VC-1 analysis, which shares the names).
extern int display_aspect_ratio_x, display_aspect_ratio_y;
extern bool hadPQ;                             // transfer 16, mastering or light-level SEI seen
extern bool hadHLG;                            // transfer 18 or an alternative-transfer SEI seen
extern bool hadPQmastering, hadPQlightlevel;
extern int pic_struct;                         // of the latest picture-timing SEI
extern unsigned char hevc_mastering[24];       // last mastering display colour volume payload
extern unsigned char light_level[4];           // last content light level payload
extern uint8_t preferred_transfer_characteristics;  // last alternative transfer payload byte

// Set at the first IRAP slice segment of the run; the transport-stream
// reader takes PES time stamps only until then.
extern bool AnchorPictureSeen;
