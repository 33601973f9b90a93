// MPEG-2 header parsers (sequence, extension, group and picture headers):
// the input is an elementary stream indexed as MPEG-2 by its index routine,
// then described by the report writer; then its first bytes are judged as
// a frame's from Matroska or MP4 would be, and its last bytes as a frame's
// rest.
#include "mpg.h"
#include "nalu.h"
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::index_elementary(data, size, 1, index_mpg, WriteMPGInfo);
  // The input's first bytes as those of a frame from Matroska or MP4, and
  // its last ones as the frame's rest, of a few lengths.
  for (size_t n : {size, size / 2, size / 7})
    if (n <= 0xFFFFFFFFu) {
      mpg_head_suffices(data, static_cast<u32>(n));
      FrameTailSuffices(data + (size - n), static_cast<u32>(n));
    }
  return 0;
}
