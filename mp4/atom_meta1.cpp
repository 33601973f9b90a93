#include <cstring>

#include "atoms.h"

using namespace mp4field;

MP4Meta1Atom::MP4Meta1Atom(const char* type) : MP4Atom(type) {
  AddFields({VF(), Bytes("metadata", 0)});
}

void MP4Meta1Atom::Read() {
  if (!m_pParentAtom || strcmp(m_pParentAtom->GetType(), "udta") != 0) {
    GetBytesField("metadata")->SetValueSize(MP4ValueSizeAfter(this, 4));
  } else if (m_size < 4) {
    // A QuickTime name shorter than version and flags is kept whole as the
    // atom's rest instead of failing the file.
    GetProperty(0)->SetImplicit();
    GetProperty(1)->SetImplicit();
  }
  MP4Atom::Read();
}
