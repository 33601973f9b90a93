// Annex B unit reader: cuts the video byte stream at start codes.
#pragma once

#include "global.h"

// 1 with a unit, 0 at end of input, negative on failure (message printed).
int GetAnnexbNALU(NALU_t* unit, u64* position);
int GetAnnexbNALUAVC(NALU_t* unit, u64* position);
extern unsigned char* nalu_buf;                      // NALU_BUFFER_SIZE bytes
// Makes the unit just handed whole in nalu_buf when the input left part of
// it unread (Matroska slices, read as far as their head); nothing otherwise.
void CompleteUnit(NALU_t* unit);
