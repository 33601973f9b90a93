#include <cstring>

#include "atoms.h"

using namespace mp4field;

MP4D263Atom::MP4D263Atom() : MP4Atom("d263") {
  AddFields({U32("vendor"), U8("decoderVersion"), U8("h263Level"), U8("h263Profile")});
  ExpectChildAtom("bitr", false, true);
}

void MP4D263Atom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("vendor")->SetValue(0x6D346970);  // "m4ip"
  GetIntegerField("decoderVersion")->SetValue(1);
}

// A bit-rate box that states no rate says nothing: it leaves the tree.
void MP4D263Atom::Write() {
  for (uint32_t i = 0; i < GetNumberOfChildAtoms(); i++) {
    MP4Atom* child = GetChildAtom(i);
    if (strcmp(child->GetType(), "bitr") != 0) continue;
    if (child->GetIntegerField("avgBitrate")->GetValue() == 0 &&
        child->GetIntegerField("maxBitrate")->GetValue() == 0) {
      DeleteChildAtom(child);
    }
    break;
  }
  MP4Atom::Write();
}
