// H.264 header parsers (SPS, PPS, SEI, slice headers, picture order
// counts): the input is an elementary stream indexed as H.264 by its index
// routine, then described by the report writer.
#include "avc.h"
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::index_elementary(data, size, 0, index_avc, WriteAVCInfo);
  return 0;
}
