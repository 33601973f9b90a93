#include "odcommands.h"

#include "mp4file.h"

using namespace mp4field;

MP4ODUpdateDescriptor::MP4ODUpdateDescriptor() : MP4Descriptor(0x01) {
  AddFields({Descriptors(nullptr, 0x11, 0, true, false)});
}

MP4ODRemoveDescriptor::MP4ODRemoveDescriptor() : MP4Descriptor(0x02) {
  AddFields({U32("entryCount"), Table("entries", 1), Bits("objectDescriptorId", 10)});
  m_pProperties[0]->SetImplicit();
}

void MP4ODRemoveDescriptor::Read(MP4File* pFile) {
  ReadHeader(pFile);
  // Whole 10-bit ids only; at most 0x0FFFFFFF * 8 / 10, and the table
  // checks that many rows against the bytes there before it sizes them.
  IntegerAt(0)->ForceValue(static_cast<uint64_t>(m_size) * 8 / 10);
  ReadProperties(pFile);
  pFile->FlushReadBits();
}

namespace {

const std::initializer_list<MP4FieldSpec> kESCommandFields = {
    Bits("objectDescriptorId", 10), Bits("pad", 6), Descriptors("esIdRefs", 0x0F, 0, true, false)};

}  // namespace

MP4ESUpdateDescriptor::MP4ESUpdateDescriptor() : MP4Descriptor(0x03) { AddFields(kESCommandFields); }

MP4ESRemoveDescriptor::MP4ESRemoveDescriptor() : MP4Descriptor(0x04) { AddFields(kESCommandFields); }

MP4Descriptor* CreateODCommand(uint8_t tag) {
  switch (tag) {
    case 0x01: return new MP4ODUpdateDescriptor();
    case 0x02: return new MP4ODRemoveDescriptor();
    case 0x03: return new MP4ESUpdateDescriptor();
    case 0x04: return new MP4ESRemoveDescriptor();
  }
  return nullptr;
}
