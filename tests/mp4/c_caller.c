/* A caller of the MP4 library written in C99: the header must compile as C
   and the functions must link by their C names. It opens the file named by
   its argument, prints its tracks, the first three samples of the first
   track and what the message callback receives, and closes the file; the
   interface test compares the lines with ffprobe's view of the file. */
#include <stdarg.h>
#include <stdio.h>
#include <zlib.h>

#include "mp4.h"

static void Message(int level, const char* lib, const char* fmt, ...) {
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  printf("callback %d %s %s\n", level, lib, text);
}

int main(int argc, char** argv) {
  MP4FileHandle h;
  uint32_t tracks, i;
  if (argc != 2) return 2;
  MP4SetLibFunc(Message);
  /* Bit 0 of the verbosity: failures are printed, here to the callback. */
  h = MP4Read(argv[1], 1);
  if (!h) return 1;
  tracks = MP4GetNumberOfTracks(h, NULL, 0);
  printf("tracks %u\n", (unsigned)tracks);
  for (i = 0; i < tracks; i++) {
    const uint32_t id = MP4FindTrackId(h, (uint16_t)i, NULL, 0);
    printf("track %u %s %s samples %u timescale %u\n", (unsigned)id, MP4GetTrackType(h, id),
           MP4GetTrackMediaDataName(h, id), (unsigned)MP4GetTrackNumberOfSamples(h, id),
           (unsigned)MP4GetTrackTimeScale(h, id));
  }
  for (i = 1; i <= 3; i++) {
    uint8_t* bytes = NULL;
    uint32_t size = 0;
    uint64_t start = 0, duration = 0, offset = 0;
    bool sync = false;
    if (!MP4ReadSample(h, 1, i, &bytes, &size, &start, &duration, &offset, &sync)) return 1;
    printf("sample %u size %u adler32 0x%08lx dts %llu pts %llu sync %d\n", (unsigned)i, (unsigned)size,
           adler32(0, bytes, size), (unsigned long long)start, (unsigned long long)(start + offset), (int)sync);
    MP4Free(bytes);
  }
  printf("timescale %u\n", (unsigned)MP4GetTrackTimeScale(h, 99));
  fflush(stdout);
  MP4SetLibFunc(NULL);
  printf("timescale %u\n", (unsigned)MP4GetTrackTimeScale(h, 99));
  MP4Close(h);
  return 0;
}
