// MPEG-2 video analysis and its index records.
#pragma once

#include "global.h"

void index_mpg();
// 1 when the unit completed the coding information of a new counted picture
// (a frame, or the first field of a pair), 2 otherwise.
int parse_nalu_mpg(NALU_t* unit, u64 position);
void reset_mpg_analysis();           // part of init_indexing()

// Read by the stream report after the pass.
extern int aspect_ratio_information;  // 4-bit code of the last sequence header (1 square, 2 4:3, 3 16:9, 4 2.21:1)
