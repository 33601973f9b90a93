#include "atoms.h"

MP4Mp4vAtom::MP4Mp4vAtom() : MP4Atom("mp4v") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Common);
  ExpectChildAtoms({{"esds", true, true}});
}

void MP4Mp4vAtom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Common);
}
