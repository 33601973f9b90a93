#include "atoms.h"

MP4Avc1Atom::MP4Avc1Atom() : MP4Atom("avc1") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Common);
  ExpectChildAtoms({{"avcC", true, true}, {"btrt", false, true}});
}

void MP4Avc1Atom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Common);
}
