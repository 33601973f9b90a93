#include "atoms.h"

MP4Hev1Atom::MP4Hev1Atom() : MP4Atom("hev1") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Common);
  ExpectChildAtoms({{"hvcC", true, true}});
}

void MP4Hev1Atom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Common);
}
