#include "atoms.h"

using namespace mp4field;

MP4StdpAtom::MP4StdpAtom() : MP4Atom("stdp") {
  AddFields({VF(), U32("entryCount"), Table("entries", 1), U16("priority")});
  GetField("entryCount")->SetImplicit();
}

// One priority per 2 bytes after version and flags; a body without room for
// those has no count to derive.
void MP4StdpAtom::Read() {
  if (m_size < 4) throw MP4Error("atom is too small", "Atom ReadProperties");
  const uint64_t entries = (m_size - 4) >> 1;
  ForceIntegerField("entryCount", entries <= UINT32_MAX ? entries : UINT32_MAX);
  MP4Atom::Read();
}
