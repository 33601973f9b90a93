// Test tool: opens inputs as Ostrel does (detection, codec probe) and prints
// every unit the unit reader delivers to the analysis, one per line:
//   <stream position> <first byte after the start code, hex> <length> <prefix length>
// (for Matroska and MP4 input the position is the time of the unit's frame)
// Usage: unitdump [-v PID] [-w units.out] file...
// With -w the bytes of every unit are written, back to back, to units.out.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode.h"
#include "global.h"
#include "Matroska.h"
#include "index.h"
#include "mp4.h"
#include "nalu.h"

int main(int argc, char** argv) {
  static char names[MAX_FILES][MAX_FILE_NAME];
  int a = 1;
  if (a + 1 < argc && !strcmp(argv[a], "-v")) {
    unsigned pid = 0;
    sscanf(argv[a + 1], "%x", &pid);
    MPEG2_Transport_VideoPID = pid;
    a += 2;
  }
  FILE* w = nullptr;
  if (a + 1 < argc && !strcmp(argv[a], "-w")) {
    w = fopen(argv[a + 1], "wb");
    if (!w) return 1;
    a += 2;
  }
  for (; a < argc && NumLoadedFiles < MAX_FILES; a++) {
    Infilename[NumLoadedFiles] = names[NumLoadedFiles];
    snprintf(names[NumLoadedFiles], MAX_FILE_NAME, "%s", argv[a]);
    Infile[NumLoadedFiles] = open(argv[a], O_RDONLY);
    if (Infile[NumLoadedFiles] < 0) {
      printf("cannot open %s\n", argv[a]);
      return 1;
    }
    NumLoadedFiles++;
  }
  if (NumLoadedFiles == 0) {
    printf("usage: unitdump [-v PID] [-w units.out] file...\n");
    return 1;
  }
  Recovery();
  if (Open() != 0) return 1;
  SetVideoType();
  init_indexing();
  // Matroska and MP4 input is positioned by its adapter, and its units are
  // placed by the time of their frame or sample.
  const bool timed = SystemStream_Flag == 2 || SystemStream_Flag == 4;
  if (SystemStream_Flag == 2)
    InitializeMKVBuffer(process.start_time);
  else if (SystemStream_Flag == 4)
    InitializeMP4Buffer(process.start_time);
  else
    SeekStream(process.start_byte);
  const bool avc = VideoStream_Flag == 0 || VideoStream_Flag == 4;
  for (;;) {
    u64 pos = 0;
    int r = avc ? GetAnnexbNALUAVC(nalu, &pos) : GetAnnexbNALU(nalu, &pos);
    if (r < 0) return 1;
    if (r == 0) break;
    if (!timed && process.end_byte <= pos) break;
    printf("%llu %02x %u %d\n", static_cast<unsigned long long>(timed ? mkv_current_tc : pos),
           nalu->len > static_cast<u32>(nalu->startcodeprefix_len) ? nalu->buf[nalu->startcodeprefix_len] : 0,
           nalu->len, nalu->startcodeprefix_len);
    if (w) {
      CompleteUnit(nalu);  // a slice read only as far as its head, made whole
      fwrite(nalu->buf, 1, nalu->len, w);
    }
  }
  if (w) fclose(w);
  return 0;
}
