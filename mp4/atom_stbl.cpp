#include "atoms.h"

MP4StblAtom::MP4StblAtom() : MP4Atom("stbl") {
  ExpectChildAtoms({{"stsd", true, true},
                    {"stts", true, true},
                    {"ctts", false, true},
                    {"stsz", true, true},
                    {"stz2", false, true},
                    {"stsc", true, true},
                    {"stco", false, true},
                    {"co64", false, true},
                    {"stss", false, true},
                    {"stsh", false, true},
                    {"stdp", false, true}});
}

// The chunk offsets in the width of the file's data atoms.
void MP4StblAtom::Generate() {
  MP4Atom::Generate();
  GenerateChildAtom(m_pFile->Use64Bits("stbl") ? "co64" : "stco");
}
