#include "atoms.h"

using namespace mp4field;

MP4UrnAtom::MP4UrnAtom() : MP4Atom("urn ") { AddFields({VF(), Str("name"), Str("location")}); }

void MP4UrnAtom::Read() {
  ReadProperties(0, 3);
  if (m_pFile->GetPosition() < m_end) ReadProperties(3);
  Skip();
}
