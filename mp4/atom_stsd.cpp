#include "atoms.h"

using namespace mp4field;

MP4StsdAtom::MP4StsdAtom() : MP4Atom("stsd") {
  AddFields({VF(), U32("entryCount")});
  ExpectChildAtoms({{"mp4a", false, false},
                    {"enca", false, false},
                    {"mp4s", false, false},
                    {"mp4v", false, false},
                    {"encv", false, false},
                    {"rtp ", false, false},
                    {"samr", false, false},
                    {"sawb", false, false},
                    {"s263", false, false},
                    {"avc1", false, false},
                    {"alac", false, false},
                    {"text", false, false},
                    {"pasp", false, false},
                    {"ac-3", false, false}});
}

void MP4StsdAtom::Read() {
  MP4Atom::Read();
  // The children read are the entries, whatever the count said.
  MP4IntegerProperty* count = static_cast<MP4IntegerProperty*>(GetProperty(2));
  const uint32_t children = GetNumberOfChildAtoms();
  if (count->GetValue() == children) return;
  if (GetVerbosity() & MP4_VERB_READ) zprintf("Warning: stsd inconsistency with number of entries");
  count->SetReadOnly(false);
  count->SetValue(children);
  count->SetReadOnly(true);
}
