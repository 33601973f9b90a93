// Blu-ray playlists. This build reads none yet: every playlist is reported
// as one that cannot be opened.
#include "mpls.h"

#include <cstdio>

int ProcessMPLS(const char*, u32) {
  printf("Could not open the MPLS file.\n");
  return 1;
}

int GetPlayTime(const char*, u32*, u32*) { return 1; }

int GetChapterCount(const char*) { return 0; }
