#include <cstring>

#include "atoms.h"

using namespace mp4field;

const uint8_t MP4_UNITY_MATRIX[36] = {
    0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00, 0x00, 0x00,
};

MP4MvhdAtom::MP4MvhdAtom() : MP4Atom("mvhd") { AddVersionAndFlags(); }

void MP4AddHeaderTimes(MP4Atom* pAtom, uint8_t version) {
  if (version == 1)
    pAtom->AddFields({U64("creationTime"), U64("modificationTime"), U32("timeScale"), U64("duration")});
  else
    pAtom->AddFields({U32("creationTime"), U32("modificationTime"), U32("timeScale"), U32("duration")});
}

void MP4WidenHeader(MP4Atom* pHeader) {
  if (pHeader->GetVersion() == 1) return;
  for (const char* name : {"creationTime", "modificationTime", "duration"}) pHeader->WidenIntegerField(name);
  pHeader->SetVersion(1);
}

void MP4MvhdAtom::AddProperties(uint8_t version) {
  MP4AddHeaderTimes(this, version);
  AddFields({Fixed32("rate"), Fixed16("volume"), Reserved("reserved1", 70), U32("nextTrackId")});
}

void MP4MvhdAtom::Read() { MP4ReadVersioned(this); }

void MP4MvhdAtom::Generate() {
  MP4GenerateHeader(this);
  GetIntegerField("timeScale")->SetValue(1000);
  static_cast<MP4Float32Property*>(GetField("rate"))->SetValue(1.0f);
  static_cast<MP4Float32Property*>(GetField("volume"))->SetValue(1.0f);
  // Ten reserved bytes (rate and volume padding), the matrix, then the
  // preview, poster and selection times and the current time.
  uint8_t reserved[70] = {};
  memcpy(reserved + 10, MP4_UNITY_MATRIX, sizeof MP4_UNITY_MATRIX);
  ForceBytesField("reserved1", reserved, sizeof reserved);
  GetIntegerField("nextTrackId")->SetValue(1);
}
