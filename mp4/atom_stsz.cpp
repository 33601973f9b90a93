#include "atoms.h"

using namespace mp4field;

MP4StszAtom::MP4StszAtom() : MP4Atom("stsz") {
  AddFields({VF(), U32("sampleSize"), U32("sampleCount"), Table("entries", 1), U32("entrySize")});
}

// A constant size leaves the table out of the file; the table object stays,
// without rows, so that its path always resolves.
void MP4StszAtom::Read() {
  ReadProperties(0, 4);
  GetField("entries")->SetImplicit(GetIntegerField("sampleSize")->GetValue() != 0);
  ReadProperties(4);
  Skip();
}

void MP4StszAtom::Write() {
  GetField("entries")->SetImplicit(GetIntegerField("sampleSize")->GetValue() != 0);
  MP4Atom::Write();
}
