// Blu-ray playlists (BDMV/PLAYLIST/*.mpls) and clip information files
// (BDMV/CLIPINF/*.clpi). Every integer in them is big-endian; times count
// 45 kHz ticks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "global.h"

// One PlayItem as the reader keeps it.
struct MplsItem {
  std::string clip;                    // Clip_Information_file_name, 5 characters
  u32 in_time = 0, out_time = 0;       // IN_time <= OUT_time
  u32 angles = 0;                      // number_of_angles of a multi-angle item (>= 1), else 0
  std::vector<std::string> angle_clips;  // clips of angles 2 .. angles, in angle order
  u64 start = 0;                       // title time of IN_time: the earlier items' durations
};

// One PlayListMark.
struct MplsMark {
  unsigned type = 0;                   // mark_type; 1 = entry mark (a chapter)
  unsigned item = 0;                   // ref_to_PlayItem_id, below the item count
  u32 time = 0;                        // mark_time_stamp
};

struct Mpls {
  std::vector<MplsItem> items;
  std::vector<MplsMark> marks;
};

// Reads a whole playlist image (magic included). Every count, length and
// reference is checked against the file and the tables; a playlist that
// breaks one gives false and a message naming the element and the value.
bool ParseMPLS(const unsigned char* data, size_t size, Mpls* out, std::string* error);
// The clip of each play item for an angle choice. A choice below 0 (none) or
// beyond the angles of a multi-angle item becomes 0, the main path, from
// that item on; *angle keeps what became of the choice.
std::vector<std::string> MplsClips(const Mpls& playlist, int* angle);
// The chapters file's text: two lines per entry mark, numbered from 1;
// other marks take no number.
std::string MplsChapters(const Mpls& playlist);
// True when the image starts like a clip information file.
bool IsCLPI(const unsigned char* data, size_t size);

// pass 0: replaces the input list by the playlist's clips, opens them and
// detects the container; pass 1 (after indexing): writes the chapters file.
// 0, or a non-zero status after a message.
int ProcessMPLS(const char* name, u32 pass);
// Reports a missing or foreign clip information file of the first input clip
// (0: indexing goes on); 1 after a message when it is no regular file.
int ProcessCLPI();
// Playing time in whole seconds and the largest angle count of a playlist;
// 0, or 1 when it cannot be read or two neighbouring items name the same clip.
int GetPlayTime(const char* name, u32* seconds, u32* angles);
// Number of marks of a playlist, entry marks and others; -1 when it cannot be read.
int GetChapterCount(const char* name);
