#include "atoms.h"

MP4FreeAtom::MP4FreeAtom() : MP4Atom("free") {}

void MP4FreeAtom::Read() { Skip(); }
