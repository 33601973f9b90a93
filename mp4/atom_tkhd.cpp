#include "atoms.h"

using namespace mp4field;

MP4TkhdAtom::MP4TkhdAtom() : MP4Atom("tkhd") { AddVersionAndFlags(); }

void MP4TkhdAtom::AddProperties(uint8_t version) {
  if (version == 1)
    AddFields({U64("creationTime"), U64("modificationTime"), U32("trackId"), Reserved("reserved1", 4),
               U64("duration")});
  else
    AddFields({U32("creationTime"), U32("modificationTime"), U32("trackId"), Reserved("reserved1", 4),
               U32("duration")});
  AddFields({Reserved("reserved2", 12), Fixed16("volume"), Reserved("reserved3", 2), Bytes("matrix", 36),
             Fixed32("width"), Fixed32("height")});
}

void MP4TkhdAtom::Read() { MP4ReadVersioned(this); }

// Flags, track id, duration, volume and size are the track writer's.
void MP4TkhdAtom::Generate() {
  MP4GenerateHeader(this);
  GetBytesField("matrix")->SetValue(MP4_UNITY_MATRIX, sizeof MP4_UNITY_MATRIX);
}
