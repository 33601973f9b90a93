#include "atoms.h"

MP4Avc1Atom::MP4Avc1Atom() : MP4Atom("avc1") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Common);
  ExpectChildAtoms({{"avcC", true, true}, {"btrt", false, true}});
}
