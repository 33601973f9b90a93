#include "ocidescriptors.h"

#include <memory>

#include "mp4file.h"

using namespace mp4field;

namespace {

// The string column (or property) p uses 16-bit characters exactly when the
// text flag is 0.
void SetWidth(MP4Property* p, bool utf8) {
  MP4_ASSERT(p->GetType() == StringProperty);
  static_cast<MP4StringProperty*>(p)->SetUnicode(!utf8);
}

MP4Property* Column(MP4Property* table, uint32_t index) {
  MP4_ASSERT(table->GetType() == TableProperty);
  return static_cast<MP4TableProperty*>(table)->GetProperty(index);
}

}  // namespace

// ---------------------------------------------------------------- classification and rating

// A 4-byte entity, a 2-byte table or criteria, then the rest of the body.
MP4ContentClassDescriptor::MP4ContentClassDescriptor() : MP4Descriptor(0) {
  AddFields({U32("classificationEntity"), U16("classificationTable"), Bytes("contentClassificationData", 0)});
}

void MP4ContentClassDescriptor::Read(MP4File* pFile) {
  ReadWithBytesToBody(pFile, 2, 6);
}

MP4RatingDescriptor::MP4RatingDescriptor() : MP4Descriptor(0) {
  AddFields({U32("ratingEntity"), U16("ratingCriteria"), Bytes("ratingInfo", 0)});
}

void MP4RatingDescriptor::Read(MP4File* pFile) {
  ReadWithBytesToBody(pFile, 2, 6);
}

// ---------------------------------------------------------------- texts

MP4KeywordDescriptor::MP4KeywordDescriptor() : MP4Descriptor(0) {
  AddFields({Bytes("languageCode", 3), Bits("isUTF8String", 1), Bits("reserved", 7), U8("keywordCount"),
             Table("keywords", 1), Counted("string")});
  m_preMutateCount = 2;
}

void MP4KeywordDescriptor::Mutate() { SetWidth(Column(m_pProperties[4], 0), IntegerAt(1)->GetValue() != 0); }

MP4LanguageDescriptor::MP4LanguageDescriptor() : MP4Descriptor(0) { AddFields({Bytes("languageCode", 3)}); }

MP4ShortTextDescriptor::MP4ShortTextDescriptor() : MP4Descriptor(0) {
  AddFields({Bytes("languageCode", 3), Bits("isUTF8String", 1), Bits("reserved", 7), Counted("eventName"),
             Counted("eventText")});
  m_preMutateCount = 2;
}

void MP4ShortTextDescriptor::Mutate() {
  const bool utf8 = IntegerAt(1)->GetValue() != 0;
  SetWidth(m_pProperties[3], utf8);
  SetWidth(m_pProperties[4], utf8);
}

MP4ExpandedTextDescriptor::MP4ExpandedTextDescriptor() : MP4Descriptor(0) {
  AddFields({Bytes("languageCode", 3), Bits("isUTF8String", 1), Bits("reserved", 7), U8("itemCount"),
             Table("items", 2), Counted("itemDescription"), Counted("itemText"), Counted("nonItemText")});
  m_preMutateCount = 2;
  // A length byte of 255 is followed by more that add to it.
  static_cast<MP4StringProperty*>(m_pProperties[5])->SetExpandedCountFormat();
}

void MP4ExpandedTextDescriptor::Mutate() {
  const bool utf8 = IntegerAt(1)->GetValue() != 0;
  SetWidth(Column(m_pProperties[4], 0), utf8);
  SetWidth(Column(m_pProperties[4], 1), utf8);
  SetWidth(m_pProperties[5], utf8);
}

// ---------------------------------------------------------------- creators, dates, camera

MP4CreatorDescriptor::MP4CreatorDescriptor(uint8_t tag) : MP4Descriptor(tag) {
  MP4IntegerProperty* count = new MP4Integer8Property("creatorCount");
  AddProperty(count);
  MP4CreatorTableProperty* table = new MP4CreatorTableProperty("creators", count);
  AddProperty(table);
  // Rows added later get a language code of 3 bytes too.
  table->AddProperty(new MP4BytesProperty("languageCode", 3, 3));
  table->AddProperty(new MP4BitfieldProperty("isUTF8String", 1));
  table->AddProperty(new MP4BitfieldProperty("reserved", 7));
  table->AddProperty(new MP4StringProperty("name", true));
}

void MP4CreatorTableProperty::ReadEntry(MP4File* pFile, uint32_t index) {
  m_pProperties[0]->Read(pFile, index);
  m_pProperties[1]->Read(pFile, index);
  SetWidth(m_pProperties[3], static_cast<MP4IntegerProperty*>(m_pProperties[1])->GetValue(index) != 0);
  m_pProperties[2]->Read(pFile, index);
  m_pProperties[3]->Read(pFile, index);
}

void MP4CreatorTableProperty::WriteEntry(MP4File* pFile, uint32_t index) {
  SetWidth(m_pProperties[3], static_cast<MP4IntegerProperty*>(m_pProperties[1])->GetValue(index) != 0);
  MP4TableProperty::WriteEntry(pFile, index);
}

void MP4CreatorTableProperty::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit) return;
  const uint32_t numEntries = GetCount();
  for (uint32_t row = 0; row < numEntries && row < m_pProperties[1]->GetCount(); row++) {
    SetWidth(m_pProperties[3], static_cast<MP4IntegerProperty*>(m_pProperties[1])->GetValue(row) != 0);
    for (uint32_t i = 0; i < m_pProperties.Size(); i++)
      m_pProperties[i]->Dump(pFile, static_cast<uint8_t>(indent + 1), dumpImplicits, row);
  }
}

MP4CreationDescriptor::MP4CreationDescriptor(uint8_t tag) : MP4Descriptor(tag) {
  AddFields({Bits("contentCreationDate", 40)});
}

MP4SmpteCameraDescriptor::MP4SmpteCameraDescriptor() : MP4Descriptor(0) {
  AddFields({U8("parameterCount"), Table("parameters", 2), U8("id"), U32("value")});
}

MP4UnknownOCIDescriptor::MP4UnknownOCIDescriptor() : MP4Descriptor(0) { AddFields({Bytes("data", 0)}); }

void MP4UnknownOCIDescriptor::Read(MP4File* pFile) {
  ReadWithBytesToBody(pFile, 0, 0);
}

// ---------------------------------------------------------------- factory

MP4Descriptor* CreateOCIDescriptor(uint8_t tag) {
  switch (tag) {
    case 0x40: return new MP4ContentClassDescriptor();
    case 0x41: return new MP4KeywordDescriptor();
    case 0x42: return new MP4RatingDescriptor();
    case 0x43: return new MP4LanguageDescriptor();
    case 0x44: return new MP4ShortTextDescriptor();
    case 0x45: return new MP4ExpandedTextDescriptor();
    case 0x46:
    case 0x48: return new MP4CreatorDescriptor(tag);
    case 0x47:
    case 0x49: return new MP4CreationDescriptor(tag);
    case 0x4A: return new MP4SmpteCameraDescriptor();
  }
  if (tag < 0x4B || tag > 0x5F) return nullptr;
  MP4Descriptor* d = new MP4UnknownOCIDescriptor();
  d->SetTag(tag);
  return d;
}
