#include "atoms.h"

using namespace mp4field;

void MP4AddVisualSampleEntryFields(MP4Atom* pAtom, MP4VisualLayout layout) {
  pAtom->AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex"), Reserved("reserved2", 16),
                    U16("width"), U16("height")});
  switch (layout) {
    case MP4VisualLayout::Common:
      pAtom->AddFields({Reserved("reserved3", 14), FixedStr("compressorName", 32),
                        Reserved("reserved4", 4)});
      break;
    case MP4VisualLayout::Plain:
      pAtom->AddFields({Reserved("reserved3", 14), FixedStr("compressorName", 32), U16("depth"),
                        U16("colorTableId")});
      break;
    case MP4VisualLayout::Short:
      pAtom->AddFields({Reserved("reserved3", 50)});
      break;
  }
}

MP4VideoAtom::MP4VideoAtom(const char* type) : MP4Atom(type) {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Plain);
  ExpectChildAtom("smi ", false, true);
}
