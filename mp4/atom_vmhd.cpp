#include "atoms.h"

using namespace mp4field;

MP4VmhdAtom::MP4VmhdAtom() : MP4Atom("vmhd") { AddFields({VF(), Reserved("reserved", 8)}); }

void MP4VmhdAtom::Generate() {
  MP4Atom::Generate();
  SetFlags(1);
}
