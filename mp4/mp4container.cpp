#include "mp4container.h"

#include <cerrno>

#include "mp4util.h"

MP4Container::~MP4Container() {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) delete m_pProperties[i];
}

void MP4Container::AddProperty(MP4Property* pProperty) {
  MP4_ASSERT(pProperty);
  MP4AddOwned(m_pProperties, pProperty);
}

void MP4Container::AddFields(std::initializer_list<MP4FieldSpec> fields) {
  MP4MakeFields(fields, [this](MP4Property* p) { AddProperty(p); });
}

bool MP4Container::FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  if (pIndex) *pIndex = 0;
  for (uint32_t i = 0; i < m_pProperties.Size(); i++)
    if (m_pProperties[i]->FindProperty(name, ppProperty, pIndex)) return true;
  return false;
}

namespace {

// The finders differ only in the type codes they take and their name.
void FindTyped(MP4Container& c, const char* name, MP4Property** ppProperty, uint32_t* pIndex, int first, int last,
               const char* where) {
  MP4Property* p = nullptr;
  if (!c.FindProperty(name, &p, pIndex)) throw MP4Error("no such property", where);
  if (p->GetType() < first || p->GetType() > last) throw MP4Error("type mismatch", where);
  *ppProperty = p;
}

}  // namespace

void MP4Container::FindIntegerProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  FindTyped(*this, name, ppProperty, pIndex, Integer8Property, Integer64Property,
            "MP4Container::FindIntegerProperty");
}

void MP4Container::FindFloatProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  FindTyped(*this, name, ppProperty, pIndex, Float32Property, Float32Property, "MP4Container::FindFloatProperty");
}

void MP4Container::FindStringProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  FindTyped(*this, name, ppProperty, pIndex, StringProperty, StringProperty, "MP4Container::FindStringProperty");
}

void MP4Container::FindBytesProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  FindTyped(*this, name, ppProperty, pIndex, BytesProperty, BytesProperty, "MP4Container::FindBytesProperty");
}

uint64_t MP4Container::GetIntegerProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindIntegerProperty(name, &p, &index);
  return static_cast<MP4IntegerProperty*>(p)->GetValue(index);
}

void MP4Container::SetIntegerProperty(const char* name, uint64_t value) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindIntegerProperty(name, &p, &index);
  static_cast<MP4IntegerProperty*>(p)->SetValue(value, index);
}

float MP4Container::GetFloatProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindFloatProperty(name, &p, &index);
  return static_cast<MP4Float32Property*>(p)->GetValue(index);
}

void MP4Container::SetFloatProperty(const char* name, float value) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindFloatProperty(name, &p, &index);
  if (p->IsReadOnly()) throw MP4Error(EACCES, "property is read-only", p->GetName());
  static_cast<MP4Float32Property*>(p)->SetValue(value, index);
}

const char* MP4Container::GetStringProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindStringProperty(name, &p, &index);
  return static_cast<MP4StringProperty*>(p)->GetValue(index);
}

void MP4Container::SetStringProperty(const char* name, const char* value) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindStringProperty(name, &p, &index);
  static_cast<MP4StringProperty*>(p)->SetValue(value, index);
}

void MP4Container::GetBytesProperty(const char* name, uint8_t** ppValue, uint32_t* pValueSize) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindBytesProperty(name, &p, &index);
  static_cast<MP4BytesProperty*>(p)->GetValue(ppValue, pValueSize, index);
}

void MP4Container::SetBytesProperty(const char* name, const uint8_t* pValue, uint32_t valueSize) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindBytesProperty(name, &p, &index);
  static_cast<MP4BytesProperty*>(p)->SetValue(pValue, valueSize, index);
}

void MP4Container::Read(MP4File* pFile) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->Read(pFile, 0);
}

void MP4Container::Write(MP4File* pFile) {
  const uint32_t numProperties = m_pProperties.Size();
  if (numProperties == 0) MP4Warning("numProperties == 0", "mp4container", 210);
  for (uint32_t i = 0; i < numProperties; i++) m_pProperties[i]->Write(pFile, 0);
}

void MP4Container::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->Dump(pFile, indent, dumpImplicits, 0);
}
