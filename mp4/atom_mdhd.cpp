#include "atoms.h"

using namespace mp4field;

MP4MdhdAtom::MP4MdhdAtom() : MP4Atom("mdhd") { AddVersionAndFlags(); }

void MP4MdhdAtom::AddProperties(uint8_t version) {
  MP4AddHeaderTimes(this, version);
  // The language stays the packed 16-bit value of the file.
  AddFields({U16("language"), Reserved("reserved", 2)});
}

void MP4MdhdAtom::Read() { MP4ReadVersioned(this); }

// Time scale, duration and language are the track writer's.
void MP4MdhdAtom::Generate() { MP4GenerateHeader(this); }
