#include "atoms.h"

using namespace mp4field;

MP4DataAtom::MP4DataAtom() : MP4Atom("data") {
  AddFields({VF(), Reserved("reserved2", 4), Bytes("metadata", 0)});
}

void MP4DataAtom::Read() {
  // Version, flags and the 4 reserved bytes come before the value.
  GetBytesField("metadata")->SetValueSize(MP4ValueSizeAfter(this, 8));
  MP4Atom::Read();
}
