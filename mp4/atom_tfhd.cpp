#include "atoms.h"

using namespace mp4field;

MP4TfhdAtom::MP4TfhdAtom() : MP4Atom("tfhd") { AddFields({VF(), U32("trackId")}); }

void MP4TfhdAtom::AddProperties(uint32_t flags) {
  if (flags & 0x000001) AddFields({U64("baseDataOffset")});
  if (flags & 0x000002) AddFields({U32("sampleDescriptionIndex")});
  if (flags & 0x000008) AddFields({U32("defaultSampleDuration")});
  if (flags & 0x000010) AddFields({U32("defaultSampleSize")});
  if (flags & 0x000020) AddFields({U32("defaultSampleFlags")});
}

void MP4TfhdAtom::Read() {
  ReadProperties(0, 3);
  AddProperties(GetFlags());
  ReadProperties(3);
  Skip();
}
