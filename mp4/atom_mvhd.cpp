#include "atoms.h"

using namespace mp4field;

MP4MvhdAtom::MP4MvhdAtom() : MP4Atom("mvhd") { AddVersionAndFlags(); }

void MP4MvhdAtom::AddProperties(uint8_t version) {
  if (version == 1)
    AddFields({U64("creationTime"), U64("modificationTime"), U32("timeScale"), U64("duration")});
  else
    AddFields({U32("creationTime"), U32("modificationTime"), U32("timeScale"), U32("duration")});
  AddFields({Fixed32("rate"), Fixed16("volume"), Reserved("reserved1", 70), U32("nextTrackId")});
}

void MP4MvhdAtom::Read() {
  ReadProperties(0, 1);
  AddProperties(GetVersion());
  ReadProperties(1);
  Skip();
}
