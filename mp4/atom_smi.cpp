#include "atoms.h"

using namespace mp4field;

MP4SmiAtom::MP4SmiAtom() : MP4Atom("SMI ") { AddFields({Bytes("metadata", 0)}); }

void MP4SmiAtom::Read() {
  // A body beyond one byte string stays in the file, as an unknown one does.
  if (m_size <= UINT32_MAX) GetBytesField("metadata")->SetValueSize(static_cast<uint32_t>(m_size));
  MP4Atom::Read();
}
