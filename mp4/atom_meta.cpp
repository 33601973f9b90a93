#include <cstring>

#include "atoms.h"

using namespace mp4field;

uint32_t MP4ValueSizeAfter(MP4Atom* pAtom, uint32_t headBytes) {
  const uint64_t size = pAtom->GetSize();
  if (size <= headBytes) return 0;
  // A body that one byte string cannot hold is left to fail in the read,
  // which checks the size against the bytes there.
  return size - headBytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size - headBytes);
}

MP4MetaAtom::MP4MetaAtom() : MP4Atom("meta") {
  AddVersionAndFlags();
  ExpectChildAtoms({{"hdlr", true, true}, {"ilst", false, true}});
}

void MP4MetaAtom::Read() {
  if (m_size >= 8) {
    uint8_t head[8];
    m_pFile->PeekBytes(head, sizeof head);
    if (memcmp(head + 4, "hdlr", 4) == 0) {
      GetProperty(0)->SetImplicit();
      GetProperty(1)->SetImplicit();
    }
  }
  MP4Atom::Read();
}
