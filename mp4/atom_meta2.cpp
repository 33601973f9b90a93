#include <cstring>

#include "atoms.h"

using namespace mp4field;

MP4Meta2Atom::MP4Meta2Atom(const char* type) : MP4Atom(type) {}

void MP4Meta2Atom::Read() {
  if (m_pParentAtom && strcmp(m_pParentAtom->GetType(), "udta") == 0) {
    if (GetNumberOfProperties() == 0) AddFields({Reserved("reserved2", 4), Bytes("metadata", 0)});
    GetBytesField("metadata")->SetValueSize(MP4ValueSizeAfter(this, 4));
  } else if (!FindAtomInfo("data")) {
    ExpectChildAtom("data", true, true);
  }
  MP4Atom::Read();
}
