#include "atoms.h"

using namespace mp4field;

MP4EncaAtom::MP4EncaAtom() : MP4Atom("enca") {
  MP4AddShortSoundEntryFields(this);
  ExpectChildAtoms({{"esds", true, true}, {"sinf", true, true}});
}

void MP4EncaAtom::Generate() {
  MP4Atom::Generate();
  MP4GenerateShortSoundEntry(this);
}
