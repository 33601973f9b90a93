#include "atoms.h"

using namespace mp4field;

MP4Mp4sAtom::MP4Mp4sAtom() : MP4Atom("mp4s") {
  AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex")});
  ExpectChildAtom("esds", true, true);
}

void MP4Mp4sAtom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("dataReferenceIndex")->SetValue(1);
}
