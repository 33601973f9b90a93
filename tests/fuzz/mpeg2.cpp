// MPEG-2 header parsers (sequence, extension, group and picture headers):
// the input is an elementary stream indexed as MPEG-2 by its index routine,
// then described by the report writer.
#include "mpg.h"
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::index_elementary(data, size, 1, index_mpg, WriteMPGInfo);
  return 0;
}
