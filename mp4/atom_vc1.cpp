#include "atoms.h"

MP4Vc1Atom::MP4Vc1Atom() : MP4Atom("vc-1") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Short);
  ExpectChildAtoms({{"dvc1", true, true}});
}

void MP4Vc1Atom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Short);
}
