#include "mp4property.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <strings.h>

#include "mp4atom.h"
#include "mp4descriptor.h"
#include "mp4file.h"

// ---------------------------------------------------------------- base

MP4Property::MP4Property(const char* name) : m_name(name) {}

void MP4Property::CheckWritable() const {
  if (m_readOnly) throw MP4Error(EACCES, "property is read-only", m_name);
}

uint32_t MP4Property::GetVerbosity() const {
  return m_pParentAtom && m_pParentAtom->GetFile() ? m_pParentAtom->GetFile()->GetVerbosity() : 0;
}

void MP4Property::DumpIndent(FILE* pFile, uint8_t indent) { fprintf(pFile, "%*c", indent, ' '); }

uint64_t MP4GetBytesLeft(MP4File* pFile, MP4Atom* pAtom) {
  uint64_t left = pFile->GetRemainingBytes();
  // The atom's end bounds reads of the file, not of a memory buffer that
  // holds a descriptor or a hint sample.
  if (pAtom && pAtom->GetEnd() && !pFile->IsMemoryBufferEnabled()) {
    const uint64_t pos = pFile->GetPosition();
    const uint64_t end = pAtom->GetEnd();
    const uint64_t inAtom = end > pos ? end - pos : 0;
    if (inAtom < left) left = inAtom;
  }
  return left;
}

void MP4Property::CheckReadable(MP4File* pFile, uint64_t numBytes) const {
  if (numBytes == 0) return;
  const uint64_t source = pFile->GetRemainingBytes();
  if (numBytes > GetBytesLeft(pFile) && numBytes <= source)
    throw MP4Error("atom is too small", "Atom ReadProperties");
  if (numBytes > source) {
    throw MP4Error(pFile->IsMemoryBufferEnabled() ? "not enough bytes, reached end-of-memory"
                                                  : "not enough bytes, reached end-of-file",
                   "MP4ReadBytes");
  }
}

bool MP4Property::FindProperty(const char* name, MP4Property** ppProperty, uint32_t*) {
  if (!name || strcasecmp(m_name ? m_name : "", name) != 0) return false;
  if (m_pParentAtom && (GetVerbosity() & MP4_VERB_FIND)) zprintf("FindProperty: matched %s\n", name);
  *ppProperty = this;
  return true;
}

// ---------------------------------------------------------------- integers

namespace {

typedef MP4IntegerPropertyT<uint64_t, Integer64Property> Int64Base;

// Calls f with the property as its typed class, chosen by its type code.
template <typename F>
auto WithWidth(MP4IntegerProperty* p, F f) -> decltype(f(static_cast<Int64Base*>(p))) {
  switch (p->GetType()) {
    case Integer8Property: return f(static_cast<MP4Integer8Property*>(p));
    case Integer16Property: return f(static_cast<MP4Integer16Property*>(p));
    case Integer24Property: return f(static_cast<MP4Integer24Property*>(p));
    case Integer32Property: return f(static_cast<MP4Integer32Property*>(p));
    case Integer64Property: return f(static_cast<Int64Base*>(p));
    default: break;
  }
  throw MP4Error("assert failure", "(0)");
}

}  // namespace

uint64_t MP4IntegerProperty::GetValue(uint32_t index) {
  return WithWidth(this, [&](auto* t) -> uint64_t { return t->GetValue(index); });
}

void MP4IntegerProperty::SetValue(uint64_t value, uint32_t index) {
  WithWidth(this, [&](auto* t) { t->SetValue(static_cast<decltype(t->GetValue())>(value), index); });
}

void MP4IntegerProperty::InsertValue(uint64_t value, uint32_t index) {
  WithWidth(this, [&](auto* t) { t->InsertValue(static_cast<decltype(t->GetValue())>(value), index); });
}

void MP4IntegerProperty::DeleteValue(uint32_t index) {
  WithWidth(this, [&](auto* t) { t->DeleteValue(index); });
}

void MP4IntegerProperty::IncrementValue(int32_t increment) {
  SetValue(GetValue(0) + static_cast<uint64_t>(static_cast<int64_t>(increment)), 0);
}

void MP4IntegerProperty::AddValue(uint64_t value) {
  WithWidth(this, [&](auto* t) { t->AddValue(static_cast<decltype(t->GetValue())>(value)); });
}

void MP4IntegerProperty::ForceValue(uint64_t value, uint32_t index) {
  const bool readOnly = IsReadOnly();
  SetReadOnly(false);
  try {
    SetValue(value, index);
  } catch (...) {
    SetReadOnly(readOnly);
    throw;
  }
  SetReadOnly(readOnly);
}

uint8_t MP4IntegerProperty::GetValueBits() {
  return WithWidth(this, [](auto* t) { return static_cast<uint8_t>(sizeof(t->GetValue()) * 8); });
}

template <typename T, MP4PropertyType kType>
void MP4IntegerPropertyT<T, kType>::Read(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  m_values[index] = static_cast<T>(pFile->ReadUInt(kWidth));
}

template <typename T, MP4PropertyType kType>
void MP4IntegerPropertyT<T, kType>::Write(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  const T value = m_values[index];
  switch (kWidth) {
    case 1: pFile->WriteUInt8(static_cast<uint8_t>(value)); break;
    case 2: pFile->WriteUInt16(static_cast<uint16_t>(value)); break;
    case 3: pFile->WriteUInt24(static_cast<uint32_t>(value)); break;
    case 4: pFile->WriteUInt32(static_cast<uint32_t>(value)); break;
    default: pFile->WriteUInt64(value); break;
  }
}

template <typename T, MP4PropertyType kType>
void MP4IntegerPropertyT<T, kType>::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits,
                                         uint32_t index) {
  if (m_implicit && !dumpImplicits) return;
  const T value = m_values[index];
  // The 64-bit kind has a line only for rows of a table.
  if (kWidth == 8 && index == 0) return;
  DumpIndent(pFile, indent);
  if (kWidth == 8) {
    fprintf(pFile, "%s[%u] = %llu\n", m_name, index, static_cast<unsigned long long>(value));
  } else {
    static const char* const kShort[] = {"", "%s = %u (0x%02x)\n", "%s = %u (0x%04x)\n",
                                         "%s = %u (0x%06x)\n", "%s = %u (0x%08x)\n"};
    static const char* const kIndexed[] = {"", "%s[%u] = %u (0x%02x)\n",
                                           "%s[%u] = %u (0x%04x)\n", "%s[%u] = %u (0x%06x)\n",
                                           "%s[%u] = %u (0x%08x)\n"};
    const unsigned v = static_cast<unsigned>(value);
    if (index == 0)
      fprintf(pFile, kShort[kWidth], m_name, v, v);
    else
      fprintf(pFile, kIndexed[kWidth], m_name, index, v, v);
  }
  fflush(pFile);
}

template class MP4IntegerPropertyT<uint8_t, Integer8Property>;
template class MP4IntegerPropertyT<uint16_t, Integer16Property>;
template class MP4IntegerPropertyT<uint32_t, Integer24Property>;
template class MP4IntegerPropertyT<uint32_t, Integer32Property>;
template class MP4IntegerPropertyT<uint64_t, Integer64Property>;

MP4BitfieldProperty::MP4BitfieldProperty(const char* name, uint8_t numBits)
    : MP4Integer64Property(name), m_numBits(numBits) {
  MP4_ASSERT(numBits != 0);
  MP4_ASSERT(numBits <= 64);
}

void MP4BitfieldProperty::SetNumBits(uint8_t numBits) {
  MP4_ASSERT(numBits != 0);
  MP4_ASSERT(numBits <= 64);
  m_numBits = numBits;
}

void MP4BitfieldProperty::Read(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  m_values[index] = pFile->ReadBits(m_numBits);
}

void MP4BitfieldProperty::Write(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  pFile->WriteBits(m_values[index], m_numBits);
}

void MP4BitfieldProperty::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  if (m_implicit && !dumpImplicits) return;
  const uint64_t value = m_values[index];
  if (index == 0) return;  // a line only for rows of a table
  DumpIndent(pFile, indent);
  fprintf(pFile, "%s[%u] = %llu <%u bits>\n", m_name, index,
          static_cast<unsigned long long>(value), m_numBits);
  fflush(pFile);
}

// ---------------------------------------------------------------- float

MP4Float32Property::MP4Float32Property(const char* name) : MP4Property(name) { m_values.Add(0.0f); }

void MP4Float32Property::Read(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  if (m_useFixed16Format)
    m_values[index] = pFile->ReadFixed16();
  else if (m_useFixed32Format)
    m_values[index] = pFile->ReadFixed32();
  else
    m_values[index] = pFile->ReadFloat();
}

void MP4Float32Property::Write(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  if (m_useFixed16Format)
    pFile->WriteFixed16(m_values[index]);
  else if (m_useFixed32Format)
    pFile->WriteFixed32(m_values[index]);
  else
    pFile->WriteFloat(m_values[index]);
}

void MP4Float32Property::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  if (m_implicit && !dumpImplicits) return;
  const double value = m_values[index];
  DumpIndent(pFile, indent);
  if (index == 0)
    fprintf(pFile, "%s = %f\n", m_name, value);
  else
    fprintf(pFile, "%s[%u] = %f\n", m_name, index, value);
  fflush(pFile);
}

// ---------------------------------------------------------------- string

MP4StringProperty::MP4StringProperty(const char* name, bool useCountedFormat, bool useUnicode)
    : MP4Property(name), m_useCountedFormat(useCountedFormat), m_useUnicode(useUnicode) {
  m_values.Add(nullptr);
}

MP4StringProperty::~MP4StringProperty() {
  for (uint32_t i = 0; i < m_values.Size(); i++) MP4Free(m_values[i]);
}

void MP4StringProperty::SetCount(uint32_t count) {
  // Strings cut off by a shrink are freed, not lost.
  for (uint32_t i = count; i < m_values.Size(); i++) {
    MP4Free(m_values[i]);
    m_values[i] = nullptr;
  }
  m_values.Resize(count);
}

uint64_t MP4StringProperty::GetMinReadBits() {
  if (m_implicit) return 0;
  if (!m_useCountedFormat && m_fixedLength) return uint64_t(m_fixedLength) * 8;
  return 8;  // a length byte or a terminator
}

void MP4StringProperty::SetValue(const char* value, uint32_t index) {
  CheckWritable();
  char*& slot = m_values[index];
  char* copy = nullptr;
  if (m_fixedLength) {
    copy = static_cast<char*>(MP4Calloc(uint64_t(m_fixedLength) + TerminatorSize()));
    if (value) strncpy(copy, value, m_fixedLength);
  } else if (value) {
    const size_t n = MP4TextBytes(value, m_useUnicode ? 2 : 1);
    copy = static_cast<char*>(MP4Calloc(n + TerminatorSize()));
    memcpy(copy, value, n);
  }
  MP4Free(slot);
  slot = copy;
}

void MP4StringProperty::Read(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  char*& slot = m_values[index];
  char* value;
  if (m_useCountedFormat) {
    value = pFile->ReadCountedString(m_useUnicode ? 2 : 1, m_useExpandedCount);
  } else if (m_fixedLength == 0) {
    // The terminator must come before the end of the atom: a missing one
    // must not make the read scan the rest of the file.
    const uint64_t left = GetBytesLeft(pFile);
    value = pFile->ReadString(left < pFile->GetRemainingBytes() ? left : UINT64_MAX);
  } else {
    value = static_cast<char*>(MP4Calloc(uint64_t(m_fixedLength) + TerminatorSize()));
    try {
      pFile->ReadBytes(reinterpret_cast<uint8_t*>(value), m_fixedLength);
    } catch (...) {
      MP4Free(value);
      throw;
    }
  }
  MP4Free(slot);
  slot = value;
}

void MP4StringProperty::Write(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  const char* value = m_values[index];
  if (m_useCountedFormat) {
    pFile->WriteCountedString(value, m_useUnicode ? 2 : 1, m_useExpandedCount);
  } else if (m_fixedLength) {
    // Always the full length, zero-padded: a reader takes exactly that many
    // bytes whatever the value holds.
    const size_t n = value ? strnlen(value, m_fixedLength) : 0;
    pFile->WriteBytes(reinterpret_cast<const uint8_t*>(value), static_cast<uint32_t>(n));
    static const uint8_t zeros[64] = {};
    for (size_t left = m_fixedLength - n; left;) {
      const uint32_t k = static_cast<uint32_t>(left < sizeof zeros ? left : sizeof zeros);
      pFile->WriteBytes(zeros, k);
      left -= k;
    }
  } else {
    pFile->WriteString(value);
  }
}

void MP4StringProperty::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  if (m_implicit && !dumpImplicits) return;
  const char* value = m_values[index];
  char suffix[16] = "";
  if (index) snprintf(suffix, sizeof suffix, "[%u]", index);
  DumpIndent(pFile, indent);
  if (m_useUnicode && value) {
    // The value holds 16-bit big-endian characters and ends in a zero
    // character at every alignment (TerminatorSize); widen them rather than
    // let "%ls" read 32-bit characters past the buffer.
    std::wstring wide;
    for (size_t i = 0; value[i] || value[i + 1]; i += 2)
      wide += static_cast<wchar_t>(static_cast<uint8_t>(value[i]) << 8 |
                                   static_cast<uint8_t>(value[i + 1]));
    fprintf(pFile, "%s%s = %ls\n", m_name, suffix, wide.c_str());
  } else {
    fprintf(pFile, "%s%s = %s\n", m_name, suffix, value ? value : "(null)");
  }
  fflush(pFile);
}

// ---------------------------------------------------------------- bytes

MP4BytesProperty::MP4BytesProperty(const char* name, uint32_t valueSize, uint32_t defaultValueSize)
    : MP4Property(name), m_defaultValueSize(defaultValueSize) {
  m_values.Add(static_cast<uint8_t*>(MP4Calloc(valueSize)));
  m_valueSizes.Add(valueSize);
}

MP4BytesProperty::~MP4BytesProperty() {
  for (uint32_t i = 0; i < m_values.Size(); i++) MP4Free(m_values[i]);
}

void MP4BytesProperty::SetCount(uint32_t count) {
  for (uint32_t i = count; i < m_values.Size(); i++) {
    MP4Free(m_values[i]);
    m_values[i] = nullptr;
  }
  const uint32_t oldCount = m_values.Size();
  m_values.Resize(count);
  m_valueSizes.Resize(count);
  for (uint32_t i = oldCount; i < count; i++) m_valueSizes[i] = m_defaultValueSize;
}

uint64_t MP4BytesProperty::GetMinReadBits() {
  if (m_implicit) return 0;
  return uint64_t(m_fixedValueSize ? m_fixedValueSize : m_defaultValueSize) * 8;
}

void MP4BytesProperty::GetValue(uint8_t** ppValue, uint32_t* pValueSize, uint32_t index) {
  const uint32_t size = m_valueSizes[index];
  const uint8_t* value = m_values[index];
  uint8_t* copy = static_cast<uint8_t*>(MP4Malloc(size));
  if (size) {
    if (value)
      memcpy(copy, value, size);
    else
      memset(copy, 0, size);
  }
  *ppValue = copy;
  *pValueSize = size;
}

void MP4BytesProperty::SetValue(const uint8_t* pValue, uint32_t valueSize, uint32_t index) {
  CheckWritable();
  uint8_t*& slot = m_values[index];
  uint32_t& size = m_valueSizes[index];
  if (m_fixedValueSize) {
    if (valueSize > m_fixedValueSize) {
      throw MP4Error("%s.%s value size %d exceeds fixed value size %d", "MP4BytesProperty::SetValue",
                     m_pParentAtom ? m_pParentAtom->GetPrintableType() : "", m_name ? m_name : "",
                     static_cast<int>(valueSize), static_cast<int>(m_fixedValueSize));
    }
    if (!slot || size < m_fixedValueSize) {
      // The buffer always holds the fixed size, so the copy below fits.
      const uint32_t keep = slot ? size : 0;
      uint8_t* p = static_cast<uint8_t*>(MP4Realloc(slot, m_fixedValueSize));
      memset(p + keep, 0, m_fixedValueSize - keep);
      slot = p;
      size = m_fixedValueSize;
    }
    if (pValue && valueSize) memcpy(slot, pValue, valueSize);
    return;
  }
  uint8_t* copy = nullptr;
  if (pValue) {
    copy = static_cast<uint8_t*>(MP4Malloc(valueSize));
    if (valueSize) memcpy(copy, pValue, valueSize);
  }
  MP4Free(slot);
  slot = copy;
  size = pValue ? valueSize : 0;
}

void MP4BytesProperty::SetValueSize(uint32_t valueSize, uint32_t index) {
  if (m_fixedValueSize)
    throw MP4Error("can't change size of fixed sized property", "MP4BytesProperty::SetValueSize");
  uint8_t*& slot = m_values[index];
  uint32_t& size = m_valueSizes[index];
  if (slot) {
    uint8_t* p = static_cast<uint8_t*>(MP4Realloc(slot, valueSize));
    if (p && valueSize > size) memset(p + size, 0, valueSize - size);
    slot = p;
  }
  size = valueSize;
}

void MP4BytesProperty::SetFixedSize(uint32_t fixedSize) {
  m_fixedValueSize = 0;
  for (uint32_t i = 0; i < GetCount(); i++) SetValueSize(fixedSize, i);
  m_fixedValueSize = fixedSize;
}

void MP4BytesProperty::Read(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  uint8_t*& slot = m_values[index];
  const uint32_t size = m_valueSizes[index];
  // A size from the file is checked against what is there before it sizes
  // an allocation.
  CheckReadable(pFile, size);
  MP4Free(slot);
  slot = nullptr;
  slot = static_cast<uint8_t*>(MP4Malloc(size));
  pFile->ReadBytes(slot, size);
}

void MP4BytesProperty::Write(MP4File* pFile, uint32_t index) {
  if (m_implicit) return;
  const uint8_t* value = m_values[index];
  const uint32_t size = m_valueSizes[index];
  if (value) {
    pFile->WriteBytes(value, size);
    return;
  }
  // A value without a buffer is its size in zeros, so that reading the
  // property back takes the same bytes.
  pFile->WriteZeros(size);
}

void MP4BytesProperty::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  if (m_implicit && !dumpImplicits) return;
  const uint8_t* value = m_values[index];
  const uint32_t size = m_valueSizes[index];
  DumpIndent(pFile, indent);
  if (index == 0)
    fprintf(pFile, "%s = <%u bytes> ", m_name, size);
  else
    fprintf(pFile, "%s[%u] = <%u bytes> ", m_name, index, size);
  for (uint32_t i = 0; i < size; i++) {
    if (size > 16 && i % 16 == 0) {
      fputc('\n', pFile);
      DumpIndent(pFile, indent);
    }
    fprintf(pFile, "%02x ", value ? value[i] : 0);
  }
  fputc('\n', pFile);
  fflush(pFile);
}

// ---------------------------------------------------------------- tables

MP4TableProperty::MP4TableProperty(const char* name, MP4IntegerProperty* pCountProperty)
    : MP4Property(name), m_pCountProperty(pCountProperty) {
  MP4_ASSERT(pCountProperty);
  pCountProperty->SetReadOnly(true);
}

MP4TableProperty::~MP4TableProperty() {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) delete m_pProperties[i];
}

void MP4TableProperty::SetParentAtom(MP4Atom* pParentAtom) {
  m_pParentAtom = pParentAtom;
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->SetParentAtom(pParentAtom);
}

uint32_t MP4TableProperty::GetCount() { return static_cast<uint32_t>(m_pCountProperty->GetValue(0)); }

void MP4TableProperty::SetCount(uint32_t count) { m_pCountProperty->SetValue(count, 0); }

void MP4TableProperty::AddProperty(MP4Property* pProperty) {
  std::unique_ptr<MP4Property> owned(pProperty);
  MP4_ASSERT(pProperty);
  MP4_ASSERT(pProperty->GetType() != TableProperty);
  MP4_ASSERT(pProperty->GetType() != DescriptorProperty);
  MP4AddOwned(m_pProperties, owned.release());
  pProperty->SetParentAtom(m_pParentAtom);
  pProperty->SetCount(0);
}

MP4IntegerProperty* MP4TableProperty::WidenColumn(const char* name) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) {
    MP4Property* old = m_pProperties[i];
    if (!old->GetName() || strcmp(old->GetName(), name) != 0 || old->GetType() > Integer64Property) continue;
    MP4IntegerProperty* column = static_cast<MP4IntegerProperty*>(old);
    if (column->GetType() == Integer64Property) return column;
    std::unique_ptr<MP4Integer64Property> wide(new MP4Integer64Property(old->GetName()));
    wide->SetParentAtom(m_pParentAtom);
    wide->SetCount(0);
    for (uint32_t row = 0; row < column->GetCount(); row++) wide->AddValue(column->GetValue(row));
    wide->SetReadOnly(old->IsReadOnly());
    wide->SetImplicit(old->IsImplicit());
    m_pProperties[i] = wide.release();
    delete old;
    return static_cast<MP4IntegerProperty*>(m_pProperties[i]);
  }
  return nullptr;
}

void MP4TableProperty::Read(MP4File* pFile, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit) return;
  const uint32_t numProperties = m_pProperties.Size();
  if (numProperties == 0) {
    MP4Warning("numProperties == 0", "mp4property", 631);
    return;
  }
  const uint32_t numEntries = GetCount();
  // A count from the file must fit the bytes that hold the rows before the
  // columns are sized: a corrupt count must not allocate gigabytes.
  if (numEntries) {
    uint64_t rowBits = 0;
    for (uint32_t i = 0; i < numProperties; i++) rowBits += m_pProperties[i]->GetMinReadBits();
    if (rowBits == 0) rowBits = 1;
    const unsigned __int128 need = static_cast<unsigned __int128>(numEntries) * rowBits;
    const unsigned __int128 have = static_cast<unsigned __int128>(GetBytesLeft(pFile)) * 8;
    if (need > have) throw MP4Error("atom is too small", "Atom ReadProperties");
  }
  for (uint32_t i = 0; i < numProperties; i++) m_pProperties[i]->SetCount(numEntries);
  for (uint32_t row = 0; row < numEntries; row++) ReadEntry(pFile, row);
}

void MP4TableProperty::ReadEntry(MP4File* pFile, uint32_t index) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->Read(pFile, index);
}

void MP4TableProperty::Write(MP4File* pFile, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit) return;
  const uint32_t numProperties = m_pProperties.Size();
  if (numProperties == 0) {
    MP4Warning("numProperties == 0", "mp4property", 665);
    return;
  }
  const uint32_t numEntries = GetCount();
  if (m_pProperties[0]->GetCount() != numEntries) {
    fprintf(stderr, "%s %s \"%s\"table entries %u doesn't match count %u\n",
            m_pParentAtom ? m_pParentAtom->GetPrintableType() : "", m_name, m_pProperties[0]->GetName(),
            m_pProperties[0]->GetCount(), numEntries);
    MP4_ASSERT(m_pProperties[0]->GetCount() == numEntries);
  }
  for (uint32_t row = 0; row < numEntries; row++) WriteEntry(pFile, row);
}

void MP4TableProperty::WriteEntry(MP4File* pFile, uint32_t index) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->Write(pFile, index);
}

void MP4TableProperty::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index) {
  MP4_ASSERT(index == 0);
  if (m_implicit) return;
  const uint32_t numProperties = m_pProperties.Size();
  if (numProperties == 0) {
    MP4Warning("numProperties == 0", "mp4property", 705);
    return;
  }
  const uint32_t numEntries = GetCount();
  for (uint32_t row = 0; row < numEntries; row++)
    for (uint32_t i = 0; i < numProperties; i++)
      m_pProperties[i]->Dump(pFile, static_cast<uint8_t>(indent + 1), dumpImplicits, row);
}

bool MP4TableProperty::FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  MP4_ASSERT(m_name);
  if (!MP4NameFirstMatches(m_name, name)) return false;
  uint32_t row = 0;
  const bool haveIndex = MP4NameFirstIndex(name, &row);
  if (haveIndex) {
    if (row >= GetCount()) return false;
    if (pIndex) *pIndex = row;
  }
  if (GetVerbosity() & MP4_VERB_FIND) zprintf("FindProperty: matched %s\n", name);
  const char* rest = MP4NameAfterFirst(name);
  if (rest) return FindContainedProperty(rest, ppProperty, pIndex);
  if (haveIndex) return false;
  *ppProperty = this;
  return true;
}

bool MP4TableProperty::FindContainedProperty(const char* name, MP4Property** ppProperty,
                                             uint32_t* pIndex) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++)
    if (m_pProperties[i]->FindProperty(name, ppProperty, pIndex)) return true;
  return false;
}

void SizeTableProperty::ReadEntry(MP4File* pFile, uint32_t index) {
  MP4_ASSERT(m_pProperties.Size() >= 2);
  MP4Property* pLength = m_pProperties[0];
  MP4Property* pBytes = m_pProperties[1];
  MP4_ASSERT(pLength->GetType() <= Integer64Property && pBytes->GetType() == BytesProperty);
  pLength->Read(pFile, index);
  const uint64_t length = static_cast<MP4IntegerProperty*>(pLength)->GetValue(index);
  static_cast<MP4BytesProperty*>(pBytes)->SetValueSize(static_cast<uint32_t>(length), index);
  pBytes->Read(pFile, index);
}

uint32_t MP4HalfSizeTableProperty::GetCount() {
  return static_cast<uint32_t>((m_pCountProperty->GetValue(0) + 1) >> 1);
}

void MP4HalfSizeTableProperty::SetCount(uint32_t count) {
  m_pCountProperty->SetValue(static_cast<uint32_t>(count * 2), 0);
}

// ---------------------------------------------------------------- field lists

void MP4MakeFields(std::initializer_list<MP4FieldSpec> fields,
                   const std::function<void(MP4Property*)>& add) {
  MP4IntegerProperty* lastInteger = nullptr;
  std::unique_ptr<MP4TableProperty> table;  // until it has all its columns
  uint32_t columnsLeft = 0;
  for (const MP4FieldSpec& f : fields) {
    MP4Property* p = nullptr;
    switch (f.kind) {
      case MP4FieldSpec::VersionFlags:
        add(new MP4Integer8Property("version"));
        add(new MP4Integer24Property("flags"));
        continue;
      case MP4FieldSpec::Integer:
        switch (f.size) {
          case 1: p = new MP4Integer8Property(f.name); break;
          case 2: p = new MP4Integer16Property(f.name); break;
          case 3: p = new MP4Integer24Property(f.name); break;
          case 4: p = new MP4Integer32Property(f.name); break;
          default: p = new MP4Integer64Property(f.name); break;
        }
        break;
      case MP4FieldSpec::Bits:
        p = new MP4BitfieldProperty(f.name, static_cast<uint8_t>(f.size));
        break;
      case MP4FieldSpec::Fixed16:
      case MP4FieldSpec::Fixed32: {
        MP4Float32Property* fp = new MP4Float32Property(f.name);
        if (f.kind == MP4FieldSpec::Fixed16)
          fp->SetFixed16Format();
        else
          fp->SetFixed32Format();
        p = fp;
        break;
      }
      case MP4FieldSpec::String:
      case MP4FieldSpec::CountedString:
      case MP4FieldSpec::FixedString: {
        MP4StringProperty* sp =
            new MP4StringProperty(f.name, f.kind == MP4FieldSpec::CountedString);
        if (f.kind == MP4FieldSpec::FixedString) sp->SetFixedLength(f.size);
        p = sp;
        break;
      }
      case MP4FieldSpec::Bytes:
      case MP4FieldSpec::Reserved: {
        std::unique_ptr<MP4BytesProperty> bp(new MP4BytesProperty(f.name, f.size));
        if (f.kind == MP4FieldSpec::Reserved) {
          bp->SetFixedSize(f.size);
          bp->SetReadOnly();
        }
        p = bp.release();
        break;
      }
      case MP4FieldSpec::Table:
        MP4_ASSERT(lastInteger);
        MP4_ASSERT(!columnsLeft);
        table.reset(new MP4TableProperty(f.name, lastInteger));
        columnsLeft = f.size;
        if (!columnsLeft) add(table.release());
        continue;
      case MP4FieldSpec::Descriptors:
        p = new MP4DescriptorProperty(f.name, static_cast<uint8_t>(f.size),
                                      static_cast<uint8_t>(f.arg), f.mandatory, f.onlyOne);
        break;
    }
    if (columnsLeft) {
      // A column; the table joins its owner once it has all of them.
      table->AddProperty(p);
      if (--columnsLeft == 0) add(table.release());
      continue;
    }
    if (f.kind == MP4FieldSpec::Integer) lastInteger = static_cast<MP4IntegerProperty*>(p);
    add(p);
  }
  MP4_ASSERT(!columnsLeft);
}
