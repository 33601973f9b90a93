#include "atoms.h"

MP4Hvc1Atom::MP4Hvc1Atom() : MP4Atom("hvc1") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Common);
  ExpectChildAtoms({{"hvcC", true, true}});
}

void MP4Hvc1Atom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Common);
}
