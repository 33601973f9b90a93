// Program and elementary streams. The first byte chooses the container (the
// detection, an elementary stream, a program stream with pack type 5, 6 or
// unknown) and, by bit 3, the AVC/HEVC unit reader; the rest is the input.
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const unsigned mode = data[0];
  fuzz::start(data + 1, size - 1);
  fuzz::guarded([mode] {
    static const int kPackTypes[] = {5, 6, 0};
    const unsigned kind = mode % 5;
    if (kind == 0) {
      if (Open() != 0 || SystemStream_Flag == 1) return;  // transport streams: the ts entry
    } else if (kind == 1) {
      SystemStream_Flag = 0;
    } else {
      SystemStream_Flag = 3;
      program_stream_type = kPackTypes[kind - 2];
    }
    SeekStream(0);
    fuzz::read_all_units((mode & 8) != 0);
  });
  return 0;
}
