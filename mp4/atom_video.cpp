#include <cstring>

#include "atoms.h"

using namespace mp4field;

namespace {

// "raw " names uncompressed video in a video track and 8-bit unsigned sound
// in a sound track, with a sound description for its body: the handler of
// the track the entry's "stsd" belongs to decides.
bool IsSoundEntry(MP4Atom* pEntry) {
  MP4Atom* mdia = pEntry->GetParentAtom();
  if (!mdia || strcmp(mdia->GetType(), "stsd") != 0) return false;
  for (int up = 0; mdia && up < 3; up++) mdia = mdia->GetParentAtom();  // stbl, minf, mdia
  MP4Property* type = nullptr;
  return mdia && strcmp(mdia->GetType(), "mdia") == 0 && mdia->FindProperty("mdia.hdlr.handlerType", &type) &&
         type->GetType() == StringProperty && strcmp(static_cast<MP4StringProperty*>(type)->GetValue(), "soun") == 0;
}

}  // namespace

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

void MP4VideoAtom::Read() {
  if (strcmp(m_type, "raw ") != 0 || !IsSoundEntry(this)) {
    MP4Atom::Read();
    return;
  }
  while (GetNumberOfProperties() > 0) {
    delete m_pProperties[GetNumberOfProperties() - 1];
    m_pProperties.Delete(GetNumberOfProperties() - 1);
  }
  while (m_pChildAtomInfos.Size() > 0) {
    delete m_pChildAtomInfos[m_pChildAtomInfos.Size() - 1];
    m_pChildAtomInfos.Delete(m_pChildAtomInfos.Size() - 1);
  }
  MP4AddSoundEntryFields(this);
  MP4ReadSoundEntryFields(this);
  Skip();
}

void MP4VideoAtom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Plain);
}
