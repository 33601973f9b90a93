#include "atoms.h"

using namespace mp4field;

MP4Stz2Atom::MP4Stz2Atom() : MP4Atom("stz2") {
  AddFields({VF(), Reserved("reserved", 3), U8("fieldSize"), U32("sampleCount")});
}

// The entry table's form follows the field size: two 4-bit sizes a byte,
// or one 8- or 16-bit size a row. Any other width would misread every size
// after the first, so it is refused.
void MP4Stz2Atom::Read() {
  ReadProperties(0, 4);
  const uint64_t fieldSize = GetIntegerField("fieldSize")->GetValue();
  MP4IntegerProperty* count = GetIntegerField("sampleCount");
  switch (fieldSize) {
    case 4: AddTable(new MP4HalfSizeTableProperty("entries", count), {U8("entrySize")}); break;
    case 8: AddTable(new MP4TableProperty("entries", count), {U8("entrySize")}); break;
    case 16: AddTable(new MP4TableProperty("entries", count), {U16("entrySize")}); break;
    default:
      throw MP4Error("stz2 field size %u is none of 4, 8 and 16", "MP4Stz2Atom::Read",
                     static_cast<unsigned>(fieldSize));
  }
  ReadProperties(4);
  Skip();
}
