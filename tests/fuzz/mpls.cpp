// Fuzz entry for the Blu-ray playlist and clip information readers: the
// playlist parser, the angle choice and the chapters text over whatever it
// accepts, and the clip information check.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mpls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Mpls playlist;
  std::string error;
  if (ParseMPLS(data, size, &playlist, &error)) {
    for (int angle : {-1, 0, 2, 3, 9}) MplsClips(playlist, &angle);
    MplsChapters(playlist);
  }
  IsCLPI(data, size);
  return 0;
}
