// HEVC header parsers (VPS, SPS, PPS, SEI, slice segment headers): the
// input is an elementary stream indexed as HEVC by its index routine, then
// described by the report writer.
#include "hevc.h"
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::index_elementary(data, size, 4, index_hevc, WriteHEVCInfo);
  return 0;
}
