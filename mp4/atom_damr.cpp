#include "atoms.h"

using namespace mp4field;

MP4DamrAtom::MP4DamrAtom() : MP4Atom("damr") {
  AddFields({U32("vendor"), U8("decoderVersion"), U16("modeSet"), U8("modeChangePeriod"),
             U8("framesPerSample")});
}

void MP4DamrAtom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("vendor")->SetValue(0x6D346970);  // "m4ip"
  GetIntegerField("decoderVersion")->SetValue(1);
}
