#include <cerrno>
#include <cstring>

#include "atoms.h"

using namespace mp4field;

MP4SdpAtom::MP4SdpAtom() : MP4Atom("sdp ") { AddFields({Str("sdpText")}); }

void MP4SdpAtom::Read() {
  MP4ReadTextToEnd(this, static_cast<MP4StringProperty*>(GetField("sdpText")));
  Skip();
}

void MP4SdpAtom::Write() { MP4WriteTextToEnd(this, static_cast<MP4StringProperty*>(GetField("sdpText"))); }

void MP4ReadTextToEnd(MP4Atom* pAtom, MP4StringProperty* pText) {
  MP4File* file = pAtom->GetFile();
  const uint64_t pos = file->GetPosition();
  // A header that ran past the end (a box shorter than its fields) leaves
  // no text rather than a length that wrapped around.
  uint64_t size = pAtom->GetEnd() > pos ? pAtom->GetEnd() - pos : 0;
  const uint64_t remaining = file->GetRemainingBytes();
  if (size > remaining) size = remaining;
  if (size >= UINT32_MAX) throw MP4Error(ENOMEM, "MP4ReadTextToEnd");
  char* text = static_cast<char*>(MP4Calloc(size + 1));
  try {
    file->ReadBytes(reinterpret_cast<uint8_t*>(text), static_cast<uint32_t>(size));
    pText->SetValue(text);
  } catch (...) {
    MP4Free(text);
    throw;
  }
  MP4Free(text);
}

void MP4WriteTextToEnd(MP4Atom* pAtom, MP4StringProperty* pText) {
  const char* text = pText->GetValue();
  // A fixed length writes exactly the characters: no terminator, no count.
  if (text) pText->SetFixedLength(static_cast<uint32_t>(strlen(text)));
  try {
    pAtom->MP4Atom::Write();
  } catch (...) {
    pText->SetFixedLength(0);
    throw;
  }
  pText->SetFixedLength(0);
}
