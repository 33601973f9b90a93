#include <cstring>

#include "atoms.h"

MP4HntiAtom::MP4HntiAtom() : MP4Atom("hnti") {}

void MP4HntiAtom::Read() {
  MP4Atom* grandParent = m_pParentAtom ? m_pParentAtom->GetParentAtom() : nullptr;
  MP4_ASSERT(grandParent);
  ExpectChildAtom(strcmp(grandParent->GetType(), "trak") == 0 ? "sdp " : "rtp ", false, true);
  MP4Atom::Read();
}
