#include "atoms.h"

MP4RootAtom::MP4RootAtom() : MP4Atom(nullptr) {
  ExpectChildAtoms({{"moov", true, true},
                    {"ftyp", false, true},
                    {"mdat", false, false},
                    {"free", false, false},
                    {"skip", false, false},
                    {"udta", false, false},
                    {"moof", false, false}});
}
