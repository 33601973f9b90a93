#include "atoms.h"

using namespace mp4field;

MP4ChplAtom::MP4ChplAtom() : MP4Atom("chpl") {
  AddFields({VF(), Reserved("reserved", 1), U32("chaptercount"), Table("chapters", 2), U64("starttime"),
             Counted("name")});
}

void MP4ChplAtom::Generate() {
  MP4Atom::Generate();
  SetVersion(1);
}
