#include "atoms.h"

MP4EncvAtom::MP4EncvAtom() : MP4Atom("encv") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Common);
  ExpectChildAtoms({{"esds", true, true}, {"sinf", true, true}, {"avcC", false, true}});
}

void MP4EncvAtom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Common);
}
