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

namespace {

// The field a name selects, of the kind the finder accepts, and the value
// index the name selected.
template <class P>
P* Typed(MP4Container& c, void (MP4Container::*find)(const char*, MP4Property**, uint32_t*), const char* name,
         uint32_t* pIndex) {
  MP4Property* p = nullptr;
  (c.*find)(name, &p, pIndex);
  return static_cast<P*>(p);
}

}  // namespace

uint64_t MP4Container::GetIntegerProperty(const char* name) {
  uint32_t index = 0;
  return Typed<MP4IntegerProperty>(*this, &MP4Container::FindIntegerProperty, name, &index)->GetValue(index);
}

void MP4Container::SetIntegerProperty(const char* name, uint64_t value) {
  uint32_t index = 0;
  Typed<MP4IntegerProperty>(*this, &MP4Container::FindIntegerProperty, name, &index)->SetValue(value, index);
}

float MP4Container::GetFloatProperty(const char* name) {
  uint32_t index = 0;
  return Typed<MP4Float32Property>(*this, &MP4Container::FindFloatProperty, name, &index)->GetValue(index);
}

void MP4Container::SetFloatProperty(const char* name, float value) {
  uint32_t index = 0;
  MP4Float32Property* p = Typed<MP4Float32Property>(*this, &MP4Container::FindFloatProperty, name, &index);
  if (p->IsReadOnly()) throw MP4Error(EACCES, "property is read-only", p->GetName());
  p->SetValue(value, index);
}

const char* MP4Container::GetStringProperty(const char* name) {
  uint32_t index = 0;
  return Typed<MP4StringProperty>(*this, &MP4Container::FindStringProperty, name, &index)->GetValue(index);
}

void MP4Container::SetStringProperty(const char* name, const char* value) {
  uint32_t index = 0;
  Typed<MP4StringProperty>(*this, &MP4Container::FindStringProperty, name, &index)->SetValue(value, index);
}

void MP4Container::GetBytesProperty(const char* name, uint8_t** ppValue, uint32_t* pValueSize) {
  uint32_t index = 0;
  Typed<MP4BytesProperty>(*this, &MP4Container::FindBytesProperty, name, &index)->GetValue(ppValue, pValueSize, index);
}

void MP4Container::SetBytesProperty(const char* name, const uint8_t* pValue, uint32_t valueSize) {
  uint32_t index = 0;
  Typed<MP4BytesProperty>(*this, &MP4Container::FindBytesProperty, name, &index)->SetValue(pValue, valueSize, index);
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
