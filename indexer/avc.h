// H.264/AVC picture analysis and its index records: the AVC index routine,
// the unit parser that the picture loop calls for every unit, and the
// per-group writer that puts pictures into display order.
#pragma once

#include "global.h"

// One AVC indexing pass over the selected range; writes the whole index file.
void index_avc();
// 1 when the unit began a new picture, 2 otherwise. For Matroska and MP4 input
// the container time mkv_current_tc stands in for the position.
int parse_nalu_avc(NALU_t* unit, u64 position, int flag);
// Reads parameter sets that precede the range start, so that the index names
// them before its first group.
void IndexStartingSPS_PPS(u64 position);
// Writes the pending group (group lines, picture lines sorted by picture order
// count) and counts its film transitions. Callers call it only when the
// group holds records.
void OutputPendingFrmsAVC();
// Matroska: the frame of time t was read and began no picture (its header
// is unreadable). Its picture is listed in its group where its time places
// it among the group's order counts, with the slice type of a P picture (a
// B picture where it is shown before the group's I picture) and the
// pic_struct of a picture timing message it carried (else none); where no
// count fits, or next to frames lost, it is left out.
void AvcFrameWithoutPicture(u64 t);
// Part of init_indexing(): clears all AVC analysis state.
void reset_avc_analysis();
