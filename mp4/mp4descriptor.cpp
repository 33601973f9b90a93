#include "mp4descriptor.h"

#include <memory>

#include "mp4atom.h"
#include "mp4file.h"

// ---------------------------------------------------------------- descriptor

MP4Descriptor::MP4Descriptor(uint8_t tag) : m_tag(tag) {}

MP4Descriptor::~MP4Descriptor() {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) delete m_pProperties[i];
}

void MP4Descriptor::AddProperty(MP4Property* pProperty) {
  MP4_ASSERT(pProperty);
  MP4AddOwned(m_pProperties, pProperty);
  pProperty->SetParentAtom(m_pParentAtom);
}

void MP4Descriptor::AddFields(std::initializer_list<MP4FieldSpec> fields) {
  MP4MakeFields(fields, [this](MP4Property* p) { AddProperty(p); });
}

void MP4Descriptor::SetParentAtom(MP4Atom* pParentAtom) {
  m_pParentAtom = pParentAtom;
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->SetParentAtom(pParentAtom);
}

MP4IntegerProperty* MP4Descriptor::IntegerAt(uint32_t index) {
  MP4Property* p = m_pProperties[index];
  MP4_ASSERT(p->GetType() <= Integer64Property);
  return static_cast<MP4IntegerProperty*>(p);
}

MP4Property* MP4Descriptor::SwapProperty(uint32_t index, MP4Property* pProperty) {
  MP4Property* old = m_pProperties[index];
  m_pProperties[index] = pProperty;
  return old;
}

uint32_t MP4Descriptor::BytesAfterHead(MP4File* pFile, uint32_t headSize) {
  if (m_size < headSize) throw MP4Error("overran descriptor", "MP4Descriptor::ReadProperties");
  // Head bytes not read yet still come out of what is left.
  const uint64_t pos = pFile->GetPosition();
  const uint64_t headEnd = m_start + headSize;
  const uint64_t headLeft = headEnd > pos ? headEnd - pos : 0;
  const uint64_t left = MP4GetBytesLeft(pFile, m_pParentAtom);
  const uint64_t afterHead = left > headLeft ? left - headLeft : 0;
  const uint64_t size = m_size - headSize;
  return static_cast<uint32_t>(size < afterHead ? size : afterHead);
}

void MP4Descriptor::SizeBytesToBody(MP4File* pFile, uint32_t index, uint32_t headSize) {
  MP4Property* p = m_pProperties[index];
  MP4_ASSERT(p->GetType() == BytesProperty);
  static_cast<MP4BytesProperty*>(p)->SetValueSize(BytesAfterHead(pFile, headSize));
}

void MP4Descriptor::ReadWithBytesToBody(MP4File* pFile, uint32_t index, uint32_t headSize) {
  ReadHeader(pFile);
  SizeBytesToBody(pFile, index, headSize);
  ReadProperties(pFile);
}

uint8_t MP4Descriptor::GetDepth() { return m_pParentAtom ? m_pParentAtom->GetDepth() : 0; }

namespace {

uint32_t Verbosity(MP4File* pFile) { return pFile ? pFile->GetVerbosity() : 0; }

}  // namespace

void MP4Descriptor::ReadHeader(MP4File* pFile) {
  if (Verbosity(pFile) & MP4_VERB_READ)
    zprintf("ReadDescriptor: pos = 0x%llx\n", static_cast<unsigned long long>(pFile->GetPosition()));
  const uint8_t tag = pFile->ReadUInt8();
  if (m_tag == 0)
    m_tag = tag;
  else
    MP4_ASSERT(tag == m_tag);
  m_size = pFile->ReadMpegLength();
  m_start = pFile->GetPosition();
  if (Verbosity(pFile) & MP4_VERB_READ)
    zprintf("ReadDescriptor: tag 0x%02x data size %u (0x%x)\n", m_tag, m_size, m_size);
}

void MP4Descriptor::ReadProperties(MP4File* pFile, uint32_t startIndex, uint32_t count) {
  const uint32_t numProperties = m_pProperties.Size();
  if (startIndex >= numProperties) return;
  const uint32_t end = startIndex + (numProperties - startIndex < count ? numProperties - startIndex : count);
  for (uint32_t i = startIndex; i < end; i++) {
    MP4Property* p = m_pProperties[i];
    // Both ends fit 64 bits and differ by less than 2^32 + 2^28.
    const int64_t remaining =
        static_cast<int64_t>(m_start + m_size) - static_cast<int64_t>(pFile->GetPosition());
    if (p->GetType() == DescriptorProperty) {
      if (remaining > 0) {
        static_cast<MP4DescriptorProperty*>(p)->SetSizeLimit(static_cast<uint64_t>(remaining));
        p->Read(pFile, 0);
      }
      continue;
    }
    if (remaining < 0) {
      if (Verbosity(pFile) & MP4_VERB_ERRORS)
        zprintf("Overran descriptor, tag %u data size %u property %u\n", m_tag, m_size, i);
      throw MP4Error("overran descriptor", "MP4Descriptor::ReadProperties");
    }
    p->Read(pFile, 0);
    const uint32_t verbosity = Verbosity(pFile);
    const bool trace = p->GetType() == TableProperty
                           ? (verbosity & (MP4_VERB_READ | MP4_VERB_TABLE)) == (MP4_VERB_READ | MP4_VERB_TABLE)
                           : (verbosity & MP4_VERB_READ) != 0;
    if (trace) {
      zprintf("Read: ");
      p->Dump(stdout, 0, true, 0);
    }
  }
}

void MP4Descriptor::Read(MP4File* pFile) {
  ReadHeader(pFile);
  ReadProperties(pFile, 0, m_preMutateCount);
  Mutate();
  ReadProperties(pFile, m_preMutateCount);
  pFile->FlushReadBits();
}

void MP4Descriptor::Write(MP4File* pFile) {
  Mutate();
  const uint32_t numProperties = m_pProperties.Size();
  if (numProperties == 0) {
    MP4Warning("numProperties == 0", "mp4descriptor", 152);
    return;
  }
  pFile->WriteUInt8(m_tag);
  const uint64_t lengthPos = pFile->GetPosition();
  pFile->WriteMpegLength(0);
  const uint64_t start = pFile->GetPosition();
  for (uint32_t i = 0; i < numProperties; i++) m_pProperties[i]->Write(pFile, 0);
  pFile->PadWriteBits(0);
  const uint64_t end = pFile->GetPosition();
  pFile->SetPosition(lengthPos);
  if (end - start > 0x0FFFFFFF) throw MP4Error(ERANGE, "MP4WriteMpegLength");
  pFile->WriteMpegLength(static_cast<uint32_t>(end - start));
  pFile->SetPosition(end);
}

void MP4Descriptor::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) {
  Mutate();
  const uint32_t numProperties = m_pProperties.Size();
  if (numProperties == 0) {
    MP4Warning("numProperties == 0", "mp4descriptor", 197);
    return;
  }
  for (uint32_t i = 0; i < numProperties; i++) m_pProperties[i]->Dump(pFile, indent, dumpImplicits, 0);
}

void MP4Descriptor::Generate() {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->Generate();
}

bool MP4Descriptor::FindContainedProperty(const char* name, MP4Property** ppProperty,
                                          uint32_t* pIndex) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++)
    if (m_pProperties[i]->FindProperty(name, ppProperty, pIndex)) return true;
  return false;
}

void MP4Descriptor::WriteToMemory(MP4File* pFile, uint8_t** ppBytes, uint64_t* pNumBytes) {
  pFile->EnableMemoryBuffer();
  try {
    Write(pFile);
  } catch (...) {
    // The file leaves memory-buffer mode whatever happened.
    uint8_t* buffer = nullptr;
    pFile->DisableMemoryBuffer(&buffer);
    MP4Free(buffer);
    throw;
  }
  pFile->DisableMemoryBuffer(ppBytes, pNumBytes);
}

// ---------------------------------------------------------------- descriptor lists

MP4DescriptorProperty::MP4DescriptorProperty(const char* name, uint8_t tagsStart, uint8_t tagsEnd,
                                             bool mandatory, bool onlyOne)
    : MP4Property(name),
      m_tagsStart(tagsStart),
      m_tagsEnd(tagsEnd ? tagsEnd : tagsStart),
      m_mandatory(mandatory),
      m_onlyOne(onlyOne) {}

MP4DescriptorProperty::~MP4DescriptorProperty() {
  for (uint32_t i = 0; i < m_pDescriptors.Size(); i++) delete m_pDescriptors[i];
}

void MP4DescriptorProperty::SetParentAtom(MP4Atom* pParentAtom) {
  m_pParentAtom = pParentAtom;
  for (uint32_t i = 0; i < m_pDescriptors.Size(); i++)
    if (m_pDescriptors[i]) m_pDescriptors[i]->SetParentAtom(pParentAtom);
}

void MP4DescriptorProperty::SetCount(uint32_t count) {
  for (uint32_t i = count; i < m_pDescriptors.Size(); i++) {
    delete m_pDescriptors[i];
    m_pDescriptors[i] = nullptr;
  }
  m_pDescriptors.Resize(count);
}

MP4Descriptor* MP4DescriptorProperty::AddDescriptor(uint8_t tag) {
  MP4_ASSERT(tag >= m_tagsStart && tag <= m_tagsEnd);
  MP4Descriptor* p = CreateDescriptor(tag);
  MP4_ASSERT_AS(p, "(pDescriptor)");
  MP4AddOwned(m_pDescriptors, p);
  p->SetParentAtom(m_pParentAtom);
  return p;
}

void MP4DescriptorProperty::DeleteDescriptor(uint32_t index) {
  delete m_pDescriptors[index];
  m_pDescriptors.Delete(index);
}

void MP4DescriptorProperty::Generate() {
  if (m_mandatory && m_onlyOne) AddDescriptor(m_tagsStart)->Generate();
}

void MP4DescriptorProperty::Read(MP4File* pFile, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit) return;
  const uint64_t start = pFile->GetPosition();
  // A list ends at its size limit (the rest of the enclosing descriptor's
  // body) and never beyond its atom: a list directly in "esds" or "iods"
  // must not take the next sibling's bytes for descriptors.
  uint64_t end = m_sizeLimit ? start + m_sizeLimit : UINT64_MAX;
  const uint64_t left = MP4GetBytesLeft(pFile, m_pParentAtom);
  if (left < end - start) end = start + left;
  for (;;) {
    const uint64_t pos = pFile->GetPosition();
    if (pos >= end) break;
    uint8_t tag;
    pFile->PeekBytes(&tag, 1);
    if (tag < m_tagsStart || tag > m_tagsEnd) break;
    AddDescriptor(tag)->Read(pFile);
  }
  if (Verbosity(pFile) & MP4_VERB_READ) {
    if (m_mandatory && m_pDescriptors.Size() == 0)
      zprintf("Warning: Mandatory descriptor 0x%02x missing\n", m_tagsStart);
    else if (m_onlyOne && m_pDescriptors.Size() > 1)
      zprintf("Warning: Descriptor 0x%02x has more than one instance\n", m_tagsStart);
  }
}

void MP4DescriptorProperty::Write(MP4File* pFile, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit) return;
  for (uint32_t i = 0; i < m_pDescriptors.Size(); i++)
    if (m_pDescriptors[i]) m_pDescriptors[i]->Write(pFile);
}

void MP4DescriptorProperty::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit && !dumpImplicits) return;
  if (m_name) {
    DumpIndent(pFile, indent);
    fprintf(pFile, "%s\n", m_name);
    indent++;
  }
  for (uint32_t i = 0; i < m_pDescriptors.Size(); i++)
    if (m_pDescriptors[i]) m_pDescriptors[i]->Dump(pFile, indent, dumpImplicits);
}

bool MP4DescriptorProperty::FindProperty(const char* name, MP4Property** ppProperty,
                                         uint32_t* pIndex) {
  if (!m_name || !*m_name) return FindContainedProperty(name, ppProperty, pIndex);
  if (!MP4NameFirstMatches(m_name, name)) return false;
  uint32_t descrIndex = 0;
  const bool haveIndex = MP4NameFirstIndex(name, &descrIndex);
  if (haveIndex && descrIndex >= GetCount()) return false;
  if (m_pParentAtom && (GetVerbosity() & MP4_VERB_FIND)) zprintf("FindProperty: matched %s\n", name);
  const char* rest = MP4NameAfterFirst(name);
  if (!rest) {
    if (haveIndex) return false;
    *ppProperty = this;
    return true;
  }
  if (!haveIndex) return FindContainedProperty(rest, ppProperty, pIndex);
  MP4Descriptor* d = m_pDescriptors[descrIndex];
  return d && d->FindContainedProperty(rest, ppProperty, pIndex);
}

bool MP4DescriptorProperty::FindContainedProperty(const char* name, MP4Property** ppProperty,
                                                  uint32_t* pIndex) {
  for (uint32_t i = 0; i < m_pDescriptors.Size(); i++)
    if (m_pDescriptors[i] && m_pDescriptors[i]->FindContainedProperty(name, ppProperty, pIndex))
      return true;
  return false;
}
