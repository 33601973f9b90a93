#include "atoms.h"

using namespace mp4field;

MP4DrefAtom::MP4DrefAtom() : MP4Atom("dref") {
  AddFields({VF(), U32("entryCount")});
  GetField("entryCount")->SetReadOnly();
  ExpectChildAtoms({{"url ", false, false}, {"urn ", false, false}, {"alis", false, false}});
}

void MP4DrefAtom::Read() {
  MP4Atom::Read();
  const uint32_t children = GetNumberOfChildAtoms();
  if (GetIntegerField("entryCount")->GetValue() == children) return;
  if (GetVerbosity() & MP4_VERB_READ) {
    fputs("Warning: dref inconsistency with number of entries", stdout);
    fflush(stdout);
  }
  ForceIntegerField("entryCount", children);
}
