#include "atoms.h"

using namespace mp4field;

MP4ElstAtom::MP4ElstAtom() : MP4Atom("elst") {
  AddFields({VF(), U32("entryCount"), Table("entries", 0)});
}

// The columns of the version.
void MP4ElstAtom::AddProperties(uint8_t version) {
  MP4TableProperty* entries = static_cast<MP4TableProperty*>(GetField("entries"));
  const auto add = [entries](MP4Property* p) { entries->AddProperty(p); };
  if (version == 1)
    MP4MakeFields({U64("segmentDuration"), U64("mediaTime")}, add);
  else
    MP4MakeFields({U32("segmentDuration"), U32("mediaTime")}, add);
  MP4MakeFields({U16("mediaRate"), U16("reserved")}, add);
}

void MP4ElstAtom::Read() { MP4ReadVersioned(this); }

void MP4ElstAtom::Generate() {
  SetVersion(0);
  AddProperties(0);
  MP4Atom::Generate();
}

void MP4ElstAtom::Widen() {
  if (GetVersion() == 1) return;
  MP4TableProperty* entries = static_cast<MP4TableProperty*>(GetField("entries"));
  entries->WidenColumn("segmentDuration");
  MP4IntegerProperty* mediaTime = entries->WidenColumn("mediaTime");
  for (uint32_t row = 0; mediaTime && row < mediaTime->GetCount(); row++)
    if (mediaTime->GetValue(row) == UINT32_MAX) mediaTime->ForceValue(UINT64_MAX, row);
  SetVersion(1);
}
