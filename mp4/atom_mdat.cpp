#include "atoms.h"

MP4MdatAtom::MP4MdatAtom() : MP4Atom("mdat") {}

void MP4MdatAtom::Read() { Skip(); }
