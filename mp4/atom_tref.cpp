#include "atoms.h"

using namespace mp4field;

MP4TrefTypeAtom::MP4TrefTypeAtom(const char* type) : MP4Atom(type) {
  AddFields({U32("entryCount"), Table("entries", 1), U32("trackId")});
  GetField("entryCount")->SetImplicit();
}

void MP4TrefTypeAtom::Read() {
  const uint64_t entries = m_size / 4;
  ForceIntegerField("entryCount", entries <= UINT32_MAX ? entries : UINT32_MAX);
  MP4Atom::Read();
}
