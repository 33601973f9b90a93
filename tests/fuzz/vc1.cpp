// VC-1 header parsers (sequence, entry-point and picture headers of the
// advanced profile): the input is an elementary stream indexed as VC-1 by
// its index routine, then described by the report writer.
#include "vc1.h"
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::index_elementary(data, size, 3, index_vc1, WriteVC1Info);
  return 0;
}
