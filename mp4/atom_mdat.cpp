#include "atoms.h"

MP4MdatAtom::MP4MdatAtom() : MP4Atom("mdat") {}

void MP4MdatAtom::Read() { Skip(false); }

// Opened and closed by the root atom around the samples, never written whole.
void MP4MdatAtom::Write() { MP4_ASSERT(false); }
