#include "atoms.h"

using namespace mp4field;

MP4HrefAtom::MP4HrefAtom() : MP4Atom("href") {
  AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex")});
  ExpectChildAtom("burl", false, true);
}

void MP4HrefAtom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("dataReferenceIndex")->SetValue(1);
}
