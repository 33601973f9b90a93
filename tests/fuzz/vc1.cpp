// VC-1 header parsers (sequence, entry-point and picture headers of the
// advanced profile): the input is an elementary stream indexed as VC-1 by
// its index routine, then described by the report writer; then its first
// bytes are judged as a frame's from Matroska or MP4 would be, and its last
// bytes as a frame's rest.
#include "vc1.h"
#include "nalu.h"
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::index_elementary(data, size, 3, index_vc1, WriteVC1Info);
  // The input's first bytes as those of a frame from Matroska or MP4, after
  // the run (whose last sequence header is in force), and its last ones as
  // the frame's rest, of a few lengths.
  for (size_t n : {size, size / 2, size / 7})
    if (n <= 0xFFFFFFFFu) {
      vc1_head_suffices(data, static_cast<u32>(n));
      FrameTailSuffices(data + (size - n), static_cast<u32>(n));
    }
  return 0;
}
