// Blu-ray playlists and clip information.
#pragma once

#include "global.h"

// pass 0: replaces the input list by the playlist's clips and detects the
// container; pass 1: writes the chapters file. 0, or a non-zero status.
int ProcessMPLS(const char* name, u32 pass);
// Playing time in seconds and angle count of a playlist; 0 on success.
int GetPlayTime(const char* name, u32* seconds, u32* angles);
int GetChapterCount(const char* name);
