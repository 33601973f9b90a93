#include "atoms.h"

using namespace mp4field;

MP4TrunAtom::MP4TrunAtom() : MP4Atom("trun") { AddFields({VF(), U32("sampleCount")}); }

// The box fields, then the run's table with the columns the flags name, in
// the order each row holds them.
void MP4TrunAtom::AddProperties(uint32_t flags) {
  if (flags & 0x000001) AddFields({U32("dataOffset")});
  if (flags & 0x000004) AddFields({U32("firstSampleFlags")});
  MP4TableProperty* samples = AddTable(new MP4TableProperty("samples", GetIntegerField("sampleCount")), {});
  const auto add = [samples](MP4Property* p) { samples->AddProperty(p); };
  if (flags & 0x000100) MP4MakeFields({U32("sampleDuration")}, add);
  if (flags & 0x000200) MP4MakeFields({U32("sampleSize")}, add);
  if (flags & 0x000400) MP4MakeFields({U32("sampleFlags")}, add);
  if (flags & 0x000800) MP4MakeFields({U32("sampleCompositionTimeOffset")}, add);
}

void MP4TrunAtom::Read() {
  ReadProperties(0, 3);
  AddProperties(GetFlags());
  ReadProperties(3);
  Skip();
}
