#include "atoms.h"

using namespace mp4field;

MP4UrlAtom::MP4UrlAtom(const char* type) : MP4Atom(type) { AddFields({VF(), Str("location")}); }

void MP4UrlAtom::Read() {
  ReadProperties(0, 2);
  if (!(GetFlags() & 1)) ReadProperties(2);
  Skip();
}

// The flag follows the location: none means self-contained, and a text
// (even an empty one) is written with the flag clear.
void MP4UrlAtom::Write() {
  MP4StringProperty* location = static_cast<MP4StringProperty*>(GetField("location"));
  if (!location->GetValue()) {
    SetFlags(GetFlags() | 1);
    location->SetImplicit(true);
  } else {
    SetFlags(GetFlags() & 0xFFFFFE);
    location->SetImplicit(false);
  }
  MP4Atom::Write();
}
