#include "atoms.h"

using namespace mp4field;

MP4HdlrAtom::MP4HdlrAtom() : MP4Atom("hdlr") {
  AddFields({VF(), Reserved("reserved1", 4), FixedStr("handlerType", 4), Reserved("reserved2", 12),
             Str("name")});
}

void MP4HdlrAtom::Read() {
  ReadProperties(0, 5);
  // No name at all, a length byte whose count ends exactly at the atom's
  // end (QuickTime), or a NUL-terminated text (ISO); written back in the
  // last form.
  const uint64_t pos = m_pFile->GetPosition();
  if (pos < m_end) {
    uint8_t length;
    m_pFile->PeekBytes(&length, 1);
    MP4StringProperty* name = static_cast<MP4StringProperty*>(GetField("name"));
    const bool counted = pos + 1 + length == m_end;
    name->SetCountedFormat(counted);
    try {
      ReadProperties(5);
    } catch (...) {
      name->SetCountedFormat(false);
      throw;
    }
    name->SetCountedFormat(false);
  }
  Skip();
}
