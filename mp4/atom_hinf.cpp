#include "atoms.h"

namespace {

// In file order; "maxr" may repeat, a new "hinf" gets one.
const char* const kStatistics[] = {"trpy", "nump", "tpyl", "maxr", "dmed", "dimm",
                                   "drep", "tmin", "tmax", "pmax", "dmax", "payt"};

}  // namespace

MP4HinfAtom::MP4HinfAtom() : MP4Atom("hinf") {
  for (const char* type : kStatistics) ExpectChildAtom(type, false, type[0] != 'm' || type[1] != 'a');
}

void MP4HinfAtom::Generate() {
  for (const char* type : kStatistics) GenerateChildAtom(type);
}
