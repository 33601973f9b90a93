#include "atoms.h"

using namespace mp4field;

const uint8_t MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT[14] = {0x00, 0x48, 0x00, 0x00, 0x00, 0x48, 0x00,
                                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

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

void MP4GenerateVisualSampleEntry(MP4Atom* pAtom, MP4VisualLayout layout) {
  pAtom->GetIntegerField("dataReferenceIndex")->SetValue(1);
  const uint32_t resolutionSize = sizeof MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT;
  switch (layout) {
    case MP4VisualLayout::Common: {
      static const uint8_t depthAndColorTable[4] = {0x00, 0x18, 0xFF, 0xFF};  // 24, -1
      pAtom->ForceBytesField("reserved3", MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT, resolutionSize);
      pAtom->ForceBytesField("reserved4", depthAndColorTable, sizeof depthAndColorTable);
      break;
    }
    case MP4VisualLayout::Plain:
      pAtom->ForceBytesField("reserved3", MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT, resolutionSize);
      pAtom->GetIntegerField("depth")->SetValue(24);
      pAtom->GetIntegerField("colorTableId")->SetValue(65535);
      break;
    case MP4VisualLayout::Short:  // the block stays zero unless the class fills it
      break;
  }
}

MP4VideoAtom::MP4VideoAtom(const char* type) : MP4Atom(type) {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Plain);
  ExpectChildAtom("smi ", false, true);
}

void MP4VideoAtom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Plain);
}
