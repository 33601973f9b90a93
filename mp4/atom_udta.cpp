#include <cstring>

#include "atoms.h"

MP4UdtaAtom::MP4UdtaAtom() : MP4Atom("udta") {
  ExpectChildAtoms({{"chpl", false, true},
                    {"cprt", false, false},
                    {"hnti", false, true},
                    {"meta", false, true},
                    {"\xA9" "cpy", false, true},
                    {"\xA9" "des", false, true},
                    {"\xA9nam", false, true},
                    {"\xA9" "cmt", false, true},
                    {"\xA9prd", false, true}});
}

void MP4UdtaAtom::Read() {
  if (m_pParentAtom && strcmp(m_pParentAtom->GetType(), "trak") == 0)
    ExpectChildAtoms({{"hinf", false, true}, {"name", false, true}});
  MP4Atom::Read();
}
