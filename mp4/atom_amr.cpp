#include "atoms.h"

using namespace mp4field;

void MP4AddShortSoundEntryFields(MP4Atom* pAtom) {
  pAtom->AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex"), Reserved("reserved2", 16),
                    U16("timeScale"), Reserved("reserved3", 2)});
}

void MP4GenerateShortSoundEntry(MP4Atom* pAtom) {
  pAtom->GetIntegerField("dataReferenceIndex")->SetValue(1);
  // Two channels and 16-bit samples, inside the reserved block.
  static const uint8_t reserved2[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0x10, 0, 0, 0, 0};
  pAtom->ForceBytesField("reserved2", reserved2, sizeof reserved2);
}

MP4AmrAtom::MP4AmrAtom(const char* type) : MP4Atom(type) {
  MP4AddShortSoundEntryFields(this);
  ExpectChildAtom("damr", true, true);
}

void MP4AmrAtom::Generate() {
  MP4Atom::Generate();
  MP4GenerateShortSoundEntry(this);
}
