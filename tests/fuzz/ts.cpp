// Transport streams: the container detection with the PAT/PMT analysis, the
// codec probe, then every unit through the transport-stream and unit readers.
#include "ostrel_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::start(data, size);
  fuzz::guarded([] {
    if (Open() != 0 || SystemStream_Flag != 1) return;
    SetVideoType();
    SeekStream(0);
    fuzz::read_all_units(true);
  });
  return 0;
}
