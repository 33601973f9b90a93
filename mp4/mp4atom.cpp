#include "mp4atom.h"

#include <cctype>
#include <cstring>
#include <memory>

#include "atoms.h"

MP4Atom::MP4Atom(const char* type) {
  SetType(type);
  memset(m_extendedType, 0, sizeof m_extendedType);
}

MP4Atom::~MP4Atom() {
  MP4Free(m_pTrailer);
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) delete m_pProperties[i];
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) delete m_pChildAtomInfos[i];
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) delete m_pChildAtoms[i];
}

void MP4Atom::SetType(const char* type) {
  memset(m_type, 0, sizeof m_type);
  m_hasType = type && *type;
  if (m_hasType) memcpy(m_type, type, strnlen(type, 4));
}

void MP4Atom::SetTypeBytes(const uint8_t* pType) {
  memcpy(m_type, pType, 4);
  m_type[4] = 0;
  m_hasType = true;
}

const char* MP4Atom::GetPrintableType() {
  char* out = m_printableType;
  for (int i = 0; i < 4; i++) {
    const unsigned char c = static_cast<unsigned char>(m_type[i]);
    if (c < 0x20 || c == 0x7F)
      out += snprintf(out, 5, "\\x%02x", c);
    else
      *out++ = static_cast<char>(c);
  }
  *out = 0;
  return m_printableType;
}

void MP4Atom::SetExtendedType(const uint8_t* pExtendedType) {
  memcpy(m_extendedType, pExtendedType, sizeof m_extendedType);
}

// ---------------------------------------------------------------- factory

namespace {

template <class T>
MP4Atom* Make(const char*) {
  return new T();
}
template <class T>
MP4Atom* MakeTyped(const char* type) {
  return new T(type);
}
MP4Atom* MakeSkip(const char*) {
  MP4Atom* a = new MP4FreeAtom();
  a->SetType("skip");
  return a;
}

// 4CCs with a class of their own; every other one is a standard atom.
const struct {
  char type[5];
  MP4Atom* (*make)(const char* type);
} kClasses[] = {
    // Headers and references.
    {"mvhd", Make<MP4MvhdAtom>},          {"tkhd", Make<MP4TkhdAtom>},
    {"mdhd", Make<MP4MdhdAtom>},          {"elst", Make<MP4ElstAtom>},
    {"hdlr", Make<MP4HdlrAtom>},          {"ftyp", Make<MP4FtypAtom>},
    {"dref", Make<MP4DrefAtom>},          {"url ", MakeTyped<MP4UrlAtom>},
    {"alis", MakeTyped<MP4UrlAtom>},      {"urn ", Make<MP4UrnAtom>},
    {"free", Make<MP4FreeAtom>},          {"skip", MakeSkip},
    {"mdat", Make<MP4MdatAtom>},          {"udta", Make<MP4UdtaAtom>},
    {"stbl", Make<MP4StblAtom>},          {"vmhd", Make<MP4VmhdAtom>},
    {"SMI ", Make<MP4SmiAtom>},           {"chap", MakeTyped<MP4TrefTypeAtom>},
    {"dpnd", MakeTyped<MP4TrefTypeAtom>}, {"hint", MakeTyped<MP4TrefTypeAtom>},
    {"ipir", MakeTyped<MP4TrefTypeAtom>}, {"mpod", MakeTyped<MP4TrefTypeAtom>},
    {"sync", MakeTyped<MP4TrefTypeAtom>},
    // Sample tables.
    {"stsd", Make<MP4StsdAtom>},          {"stsz", Make<MP4StszAtom>},
    {"stz2", Make<MP4Stz2Atom>},          {"stsc", Make<MP4StscAtom>},
    {"stdp", Make<MP4StdpAtom>},
    // Visual sample entries and their configurations.
    {"avc1", Make<MP4Avc1Atom>},          {"encv", Make<MP4EncvAtom>},
    {"mp4v", Make<MP4Mp4vAtom>},          {"hvc1", Make<MP4Hvc1Atom>},
    {"hev1", Make<MP4Hev1Atom>},          {"SVQ3", MakeTyped<MP4VideoAtom>},
    {"h263", MakeTyped<MP4VideoAtom>},    {"jpeg", MakeTyped<MP4VideoAtom>},
    {"raw ", MakeTyped<MP4VideoAtom>},    {"yuv2", MakeTyped<MP4VideoAtom>},
    {"vc-1", Make<MP4Vc1Atom>},           {"s263", Make<MP4S263Atom>},
    {"d263", Make<MP4D263Atom>},          {"avcC", Make<MP4AvcCAtom>},
    // Other sample entries and their configurations.
    {"mp4a", MakeTyped<MP4SoundAtom>},    {"alac", MakeTyped<MP4SoundAtom>},
    {"twos", MakeTyped<MP4SoundAtom>},    {"sowt", MakeTyped<MP4SoundAtom>},
    {"ulaw", MakeTyped<MP4SoundAtom>},    {"alaw", MakeTyped<MP4SoundAtom>},
    {"ima4", MakeTyped<MP4SoundAtom>},    {"enca", Make<MP4EncaAtom>},
    {"samr", MakeTyped<MP4AmrAtom>},      {"sawb", MakeTyped<MP4AmrAtom>},
    {"damr", Make<MP4DamrAtom>},          {"mp4s", Make<MP4Mp4sAtom>},
    {"ac-3", Make<MP4Ac3Atom>},           {"dac3", Make<MP4Dac3Atom>},
    {"text", Make<MP4TextAtom>},          {"href", Make<MP4HrefAtom>},
    // Movie fragments.
    {"tfhd", Make<MP4TfhdAtom>},          {"trun", Make<MP4TrunAtom>},
    // Protection.
    {"ohdr", Make<MP4OhdrAtom>},
    // Hint tracks.
    {"rtp ", Make<MP4RtpAtom>},           {"hnti", Make<MP4HntiAtom>},
    {"sdp ", Make<MP4SdpAtom>},           {"hinf", Make<MP4HinfAtom>},
    {"gmin", Make<MP4GminAtom>},
    // Metadata items and the chapter list.
    {"meta", Make<MP4MetaAtom>},          {"data", Make<MP4DataAtom>},
    {"mean", MakeTyped<MP4Meta1Atom>},    {"name", MakeTyped<MP4Meta1Atom>},
    {"\xA9nam", MakeTyped<MP4Meta2Atom>}, {"\xA9" "cmt", MakeTyped<MP4Meta2Atom>},
    {"\xA9" "cpy", MakeTyped<MP4Meta2Atom>}, {"\xA9prd", MakeTyped<MP4Meta2Atom>},
    {"\xA9" "des", MakeTyped<MP4Meta2Atom>}, {"\xA9lyr", MakeTyped<MP4Meta2Atom>},
    {"chpl", Make<MP4ChplAtom>},
};

}  // namespace

MP4Atom* MP4Atom::CreateAtom(const char* type) {
  if (!type) return new MP4RootAtom();
  if (strlen(type) >= 4) {
    for (const auto& c : kClasses)
      if (memcmp(c.type, type, 4) == 0) return c.make(type);
  }
  return new MP4StandardAtom(type);
}

bool MP4Atom::IsReasonableType(const char* type) {
  for (int i = 0; i < 4; i++) {
    const unsigned char c = static_cast<unsigned char>(type[i]);
    if (isalnum(c) || c >= 0x80 || (i == 3 && c == ' ')) continue;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- reading

MP4Atom* MP4Atom::ReadAtom(MP4File* pFile, MP4Atom* pParentAtom) {
  const uint32_t verbosity = pFile->GetVerbosity();
  const uint64_t pos = pFile->GetPosition();
  if (verbosity & MP4_VERB_READ) zprintf("ReadAtom: pos = 0x%llx\n", static_cast<unsigned long long>(pos));

  uint64_t size = pFile->ReadUInt32();
  char type[5] = {};
  pFile->ReadBytes(reinterpret_cast<uint8_t*>(type), 4);
  uint8_t hdrSize = 8;
  if (size == 1) {
    size = pFile->ReadUInt64();
    hdrSize = 16;
    pFile->Check64BitStatus(type);
  }
  uint8_t extendedType[16];
  const bool uuid = memcmp(type, "uuid", 4) == 0;
  if (uuid) {
    pFile->ReadBytes(extendedType, sizeof extendedType);
    hdrSize += 16;
  }

  // Every atom ends after its start and inside its parent: sizes of 0 run
  // to the end of the file, sizes that run past the parent (or past 2^64)
  // stop at the parent's end, and a size that does not cover its own
  // header leaves an empty body.
  const uint64_t parentEnd = pParentAtom ? pParentAtom->GetEnd() : pFile->GetSize();
  uint64_t end;
  if (size == 0) {
    end = pFile->GetSize();
    if (end <= pos) end = parentEnd;
    size = end - pos;
  } else if (size > UINT64_MAX - pos) {
    end = parentEnd;
    size = end - pos;  // the body size follows the end it was clamped to
  } else {
    end = pos + size;
  }
  uint64_t dataSize = size > hdrSize ? size - hdrSize : 0;
  if (verbosity & MP4_VERB_READ)
    zprintf("ReadAtom: type = \"%s\" data-size = %llu (0x%llx) hdr %u\n", type,
            static_cast<unsigned long long>(dataSize), static_cast<unsigned long long>(dataSize),
            hdrSize);
  if (end > parentEnd) {
    if (verbosity & MP4_VERB_ERRORS)
      zprintf("ReadAtom: invalid atom size, extends outside parent atom - skipping to end of "
              "\"%s\" \"%s\" %llu vs %llu\n",
              pParentAtom ? pParentAtom->GetType() : "", type, static_cast<unsigned long long>(end),
              static_cast<unsigned long long>(parentEnd));
    end = parentEnd;
    dataSize = parentEnd > pos + hdrSize ? parentEnd - (pos + hdrSize) : 0;
  }

  std::unique_ptr<MP4Atom> atom(CreateAtom(type));
  // The factory takes a text: a type holding a zero byte gets its four
  // bytes back here, or it would be written back cut.
  atom->SetTypeBytes(reinterpret_cast<const uint8_t*>(type));
  atom->SetFile(pFile);
  atom->SetStart(pos);
  atom->SetEnd(end);
  atom->SetSize(dataSize);
  if (uuid) atom->SetExtendedType(extendedType);
  atom->SetParentAtom(pParentAtom);
  // Nesting is bounded before the subtree is read, not by the stack.
  atom->GetDepth();

  if (atom->IsUnknownType()) {
    if (verbosity & MP4_VERB_READ) {
      if (IsReasonableType(atom->GetType()))
        zprintf("Info: atom type %s is unknown\n", atom->GetType());
      else
        zprintf("Warning: atom type %s is suspect\n", atom->GetType());
    }
    if (dataSize > 0xFFFFFFFFull) {
      // Beyond what one byte string holds: left in the file rather than
      // cut, and marked so that it is never written back short.
      atom->m_bodyUnloaded = true;
    } else if (dataSize) {
      MP4BytesProperty* data = new MP4BytesProperty("data");
      atom->AddProperty(data);
      data->SetValueSize(static_cast<uint32_t>(dataSize));
    }
  }
  atom->Read();
  return atom.release();
}

void MP4Atom::Read() {
  MP4_ASSERT(m_pFile);
  if (m_hasType && m_size > 1000000 && (GetVerbosity() & MP4_VERB_READ))
    zprintf("Warning: %s atom size %llu is suspect\n", m_type, static_cast<unsigned long long>(m_size));
  ReadProperties();
  if (m_pChildAtomInfos.Size() > 0) ReadChildAtoms();
  Skip();
}

void MP4Atom::ReadProperties(uint32_t startIndex, uint32_t count) {
  const uint32_t numProperties = m_pProperties.Size();
  if (startIndex >= numProperties) return;
  const uint32_t n = numProperties - startIndex < count ? numProperties - startIndex : count;
  const uint32_t verbosity = GetVerbosity();
  for (uint32_t i = startIndex; i < startIndex + n; i++) {
    MP4Property* p = m_pProperties[i];
    p->Read(m_pFile, 0);
    const uint64_t pos = m_pFile->GetPosition();
    if (pos > m_end) {
      if (verbosity & MP4_VERB_READ)
        zprintf("ReadProperties: insufficient data for property: %s pos 0x%llx atom end 0x%llx\n",
                p->GetName() ? p->GetName() : "", static_cast<unsigned long long>(pos),
                static_cast<unsigned long long>(m_end));
      throw MP4Error("atom is too small", "Atom ReadProperties");
    }
    const MP4PropertyType t = p->GetType();
    const bool trace = t == TableProperty
                           ? (verbosity & (MP4_VERB_READ | MP4_VERB_TABLE)) == (MP4_VERB_READ | MP4_VERB_TABLE)
                           : t != DescriptorProperty && (verbosity & MP4_VERB_READ);
    if (trace) {
      zprintf("Read: ");
      p->Dump(stdout, 0, true, 0);
    }
  }
}

void MP4Atom::ReadChildAtoms() {
  const uint32_t verbosity = GetVerbosity();
  if (verbosity & MP4_VERB_READ) zprintf("ReadChildAtoms: of %s\n", m_hasType ? m_type : "root");
  const bool udta = strcmp(m_type, "udta") == 0;
  for (uint64_t pos = m_pFile->GetPosition(); pos < m_end; pos = m_pFile->GetPosition()) {
    const uint64_t remaining = m_end - pos;
    if (remaining >= 8) {
      MP4Atom* child = ReadAtom(m_pFile, this);
      AddChildAtom(child);
      MP4AtomInfo* info = FindAtomInfo(child->GetType());
      if (info) {
        info->m_count++;
        if (info->m_onlyOne && info->m_count >= 2 && (verbosity & MP4_VERB_READ))
          zprintf("Warning: In atom %s multiple child atoms %s\n", m_type, child->GetType());
      } else if (!child->IsUnknownType() && (verbosity & MP4_VERB_READ)) {
        zprintf("Warning: In atom %s unexpected child atom %s\n", m_type, child->GetType());
      }
    } else if (udta && remaining == 4) {
      // The terminator of a QuickTime user data list, kept as it was.
      KeepBytes(4);
      const uint8_t* t = m_bodyUnloaded ? nullptr : m_pTrailer + m_trailerSize - 4;
      const uint32_t terminator =
          t ? uint32_t(t[0]) << 24 | uint32_t(t[1]) << 16 | uint32_t(t[2]) << 8 | t[3] : 0;
      if (terminator && (verbosity & MP4_VERB_WARNINGS))
        zprintf("Error: In udta atom, end value is not zero %x\n", terminator);
    } else {
      if (verbosity & MP4_VERB_WARNINGS)
        zprintf("Error: In %s atom, extra %lld bytes at end of atom\n", m_type,
                static_cast<long long>(remaining));
      KeepBytes(remaining);
    }
  }
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) {
    const MP4AtomInfo* info = m_pChildAtomInfos[i];
    if (info->m_mandatory && info->m_count == 0 && (verbosity & MP4_VERB_READ))
      zprintf("Warning: In atom %s missing child atom %s\n", m_type, info->m_name);
  }
  if (verbosity & MP4_VERB_READ) zprintf("ReadChildAtoms: finished %s\n", m_type);
}

void MP4Atom::Skip(bool keepRest) {
  const uint64_t pos = m_pFile->GetPosition();
  if (pos != m_end && (GetVerbosity() & MP4_VERB_READ))
    zprintf("Skip: %llu bytes\n", static_cast<unsigned long long>(m_end - pos));
  if (keepRest && pos < m_end) KeepBytes(m_end - pos);
  m_pFile->SetPosition(m_end);
}

void MP4Atom::KeepBytes(uint64_t size) {
  if (size == 0) return;
  // Like an unknown body, a rest beyond what one buffer holds stays in the
  // file, and the atom can then not be written back.
  if (m_bodyUnloaded || size > UINT32_MAX - m_trailerSize) {
    m_bodyUnloaded = true;
    m_pFile->SetPosition(m_pFile->GetPosition() + size);
    return;
  }
  const uint32_t n = static_cast<uint32_t>(size);
  m_pTrailer = static_cast<uint8_t*>(MP4Realloc(m_pTrailer, m_trailerSize + n));
  m_pFile->ReadBytes(m_pTrailer + m_trailerSize, n);
  m_trailerSize += n;
}

// ---------------------------------------------------------------- generating

void MP4Atom::Generate() {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) m_pProperties[i]->Generate();
  // Only the children that must be there exactly once; a movie's tracks and
  // optional children are the writer's to add.
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) {
    const MP4AtomInfo* info = m_pChildAtomInfos[i];
    if (info->m_mandatory && info->m_onlyOne) GenerateChildAtom(info->m_name);
  }
}

MP4Atom* MP4Atom::GenerateChildAtom(const char* type) {
  MP4Atom* child = CreateAtom(type);
  child->SetParentAtom(this);
  child->SetFile(m_pFile);
  AddChildAtom(child);
  child->Generate();
  return child;
}

void MP4Atom::DeleteChildAtom(MP4Atom* pChild) {
  MP4_ASSERT(RemoveChildAtom(pChild));
  delete pChild;
}

bool MP4Atom::RemoveChildAtom(MP4Atom* pChild) {
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) {
    if (m_pChildAtoms[i] != pChild) continue;
    m_pChildAtoms.Delete(i);
    return true;
  }
  return false;
}

MP4IntegerProperty* MP4Atom::WidenIntegerField(const char* name) {
  MP4IntegerProperty* old = GetIntegerField(name);
  if (old->GetType() == Integer64Property) return old;
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) {
    if (m_pProperties[i] != old) continue;
    MP4Integer64Property* wide = new MP4Integer64Property(old->GetName());
    wide->SetParentAtom(this);
    wide->SetValue(old->GetValue());
    wide->SetReadOnly(old->IsReadOnly());
    m_pProperties[i] = wide;
    delete old;
    return wide;
  }
  return old;
}

// ---------------------------------------------------------------- writing

void MP4Atom::BeginWrite(bool use64) {
  m_start = m_pFile->GetPosition();
  const uint8_t* type = reinterpret_cast<const uint8_t*>(m_type);
  if (use64) {
    m_pFile->WriteUInt32(1);
    m_pFile->WriteBytes(type, 4);
    m_pFile->WriteUInt64(0);
  } else {
    m_pFile->WriteUInt32(0);
    m_pFile->WriteBytes(type, 4);
  }
  if (memcmp(m_type, "uuid", 4) == 0) m_pFile->WriteBytes(m_extendedType, sizeof m_extendedType);
}

void MP4Atom::Write() {
  MP4_ASSERT(m_pFile);
  // Written without the body it was read with, the atom would be cut short.
  if (m_bodyUnloaded)
    throw MP4Error("%s atom of %llu body bytes was read without its body", "MP4Atom::Write", GetPrintableType(),
                   static_cast<unsigned long long>(m_size));
  BeginWrite(false);
  WriteProperties();
  WriteChildAtoms();
  if (m_trailerSize) m_pFile->WriteBytes(m_pTrailer, m_trailerSize);
  FinishWrite(false);
}

void MP4Atom::WriteProperties(uint32_t startIndex, uint32_t count) {
  const uint32_t numProperties = m_pProperties.Size();
  const uint32_t verbosity = GetVerbosity();
  if (verbosity & MP4_VERB_WRITE) zprintf("Write: type %s\n", m_type);
  if (startIndex >= numProperties) return;
  const uint32_t n = numProperties - startIndex < count ? numProperties - startIndex : count;
  for (uint32_t i = startIndex; i < startIndex + n; i++) {
    MP4Property* p = m_pProperties[i];
    p->Write(m_pFile, 0);
    const bool trace = p->GetType() == TableProperty
                           ? (verbosity & (MP4_VERB_WRITE | MP4_VERB_TABLE)) == (MP4_VERB_WRITE | MP4_VERB_TABLE)
                           : (verbosity & MP4_VERB_WRITE) != 0;
    if (trace) {
      zprintf("Write: ");
      p->Dump(stdout, 0, false, 0);
    }
  }
}

void MP4Atom::WriteChildAtoms() {
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) m_pChildAtoms[i]->Write();
  if (GetVerbosity() & MP4_VERB_WRITE) zprintf("Write: finished %s\n", m_type);
}

void MP4Atom::FinishWrite(bool use64) {
  m_end = m_pFile->GetPosition();
  m_size = m_end - m_start;
  if (GetVerbosity() & MP4_VERB_WRITE)
    zprintf("end: type %s %llu %llu size %llu\n", m_type, static_cast<unsigned long long>(m_start),
            static_cast<unsigned long long>(m_end), static_cast<unsigned long long>(m_size));
  if (use64) {
    m_pFile->SetPosition(m_start + 8);
    m_pFile->WriteUInt64(m_size);
  } else {
    MP4_ASSERT_AS(m_size <= 0xFFFFFFFFull, "(m_size <= (u_int64_t)0xFFFFFFFF)");
    m_pFile->SetPosition(m_start);
    m_pFile->WriteUInt32(static_cast<uint32_t>(m_size));
  }
  m_pFile->SetPosition(m_end);
  m_size -= use64 ? 16 : 8;
  if (memcmp(m_type, "uuid", 4) == 0) m_size -= 16;
}

void MP4Atom::Rewrite() {
  MP4_ASSERT(m_pFile);
  if (m_end == 0) return;
  WriteInPlace();
}

void MP4Atom::WriteInPlace() {
  const uint64_t pos = m_pFile->GetPosition();
  const uint64_t oldSize = m_end - m_start;
  m_pFile->SetPosition(m_start);
  Write();
  const uint64_t newSize = m_end - m_start;
  m_pFile->SetPosition(pos);
  MP4_ASSERT(oldSize == newSize);
}

// ---------------------------------------------------------------- dumping

void MP4Atom::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) {
  if (m_hasType) {
    fprintf(pFile, "%*c", indent, ' ');
    fprintf(pFile, "type %s\n", GetPrintableType());
    fflush(pFile);
  }
  const uint8_t inner = static_cast<uint8_t>(indent + 1);
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) {
    MP4Property* p = m_pProperties[i];
    if (p->GetType() == TableProperty && !(GetVerbosity() & MP4_VERB_TABLE)) {
      fprintf(pFile, "%*c", inner, ' ');
      fprintf(pFile, "<table entries suppressed>\n");
      continue;
    }
    p->Dump(pFile, inner, dumpImplicits, 0);
  }
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) m_pChildAtoms[i]->Dump(pFile, inner, dumpImplicits);
}

// ---------------------------------------------------------------- building

void MP4Atom::AddProperty(MP4Property* pProperty) {
  MP4_ASSERT(pProperty);
  MP4AddOwned(m_pProperties, pProperty);
  pProperty->SetParentAtom(this);
}

void MP4Atom::AddFields(std::initializer_list<MP4FieldSpec> fields) {
  MP4MakeFields(fields, [this](MP4Property* p) { AddProperty(p); });
}

MP4TableProperty* MP4Atom::AddTable(MP4TableProperty* pTable,
                                    std::initializer_list<MP4FieldSpec> columns) {
  AddProperty(pTable);
  MP4MakeFields(columns, [pTable](MP4Property* p) { pTable->AddProperty(p); });
  return pTable;
}

MP4Property* MP4Atom::GetField(const char* name) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) {
    MP4Property* p = m_pProperties[i];
    if (p->GetName() && strcmp(p->GetName(), name) == 0) return p;
  }
  throw MP4Error("assert failure", "(pProp)");
}

MP4IntegerProperty* MP4Atom::GetIntegerField(const char* name) {
  MP4Property* p = GetField(name);
  MP4_ASSERT_AS(p->GetType() <= Integer64Property, "(pProp)");
  return static_cast<MP4IntegerProperty*>(p);
}

MP4BytesProperty* MP4Atom::GetBytesField(const char* name) {
  MP4Property* p = GetField(name);
  MP4_ASSERT_AS(p->GetType() == BytesProperty, "(pProp)");
  return static_cast<MP4BytesProperty*>(p);
}

void MP4Atom::ForceIntegerField(const char* name, uint64_t value) {
  MP4IntegerProperty* p = GetIntegerField(name);
  const bool readOnly = p->IsReadOnly();
  p->SetReadOnly(false);
  p->SetValue(value);
  p->SetReadOnly(readOnly);
}

void MP4Atom::ForceBytesField(const char* name, const uint8_t* pBytes, uint32_t size) {
  MP4BytesProperty* p = GetBytesField(name);
  const bool readOnly = p->IsReadOnly();
  p->SetReadOnly(false);
  p->SetValue(pBytes, size);
  p->SetReadOnly(readOnly);
}

void MP4Atom::AddVersionAndFlags() { AddFields({mp4field::VF()}); }

void MP4Atom::AddReserved(const char* name, uint32_t size) {
  AddFields({mp4field::Reserved(name, size)});
}

void MP4Atom::ExpectChildAtom(const char* name, bool mandatory, bool onlyOne) {
  MP4AddOwned(m_pChildAtomInfos, new MP4AtomInfo(name, mandatory, onlyOne));
}

void MP4Atom::ExpectChildAtoms(std::initializer_list<MP4ChildSpec> children) {
  for (const MP4ChildSpec& c : children) ExpectChildAtom(c.name, c.mandatory, c.onlyOne);
}

MP4AtomInfo* MP4Atom::FindAtomInfo(const char* name) {
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) {
    MP4AtomInfo* info = m_pChildAtomInfos[i];
    if (strncmp(info->m_name, name, 4) == 0) return info;
  }
  return nullptr;
}

void MP4Atom::InsertChildAtom(MP4Atom* pChild, uint32_t index) {
  MP4InsertOwned(m_pChildAtoms, pChild, index);
}

// ---------------------------------------------------------------- version and flags

namespace {

// The property when it is an integer of that name, else NULL.
MP4IntegerProperty* IntegerNamed(MP4Property* p, const char* name) {
  if (!p->GetName() || strcmp(p->GetName(), name) != 0 || p->GetType() > Integer64Property)
    return nullptr;
  return static_cast<MP4IntegerProperty*>(p);
}

}  // namespace

uint8_t MP4Atom::GetVersion() {
  MP4IntegerProperty* p = IntegerNamed(m_pProperties[0], "version");
  return p ? static_cast<uint8_t>(p->GetValue()) : 0;
}

void MP4Atom::SetVersion(uint8_t version) {
  if (MP4IntegerProperty* p = IntegerNamed(m_pProperties[0], "version")) p->SetValue(version);
}

uint32_t MP4Atom::GetFlags() {
  MP4IntegerProperty* p = IntegerNamed(m_pProperties[1], "flags");
  return p ? static_cast<uint32_t>(p->GetValue()) : 0;
}

void MP4Atom::SetFlags(uint32_t flags) {
  if (MP4IntegerProperty* p = IntegerNamed(m_pProperties[1], "flags")) p->SetValue(flags);
}

// ---------------------------------------------------------------- depth and lookup

uint8_t MP4Atom::GetDepth() {
  if (m_depth < 0xFF) return m_depth;
  const unsigned depth = m_pParentAtom ? m_pParentAtom->GetDepth() + 1u : 0u;
  MP4_ASSERT_AS(depth < 255, "(m_depth < 255)");
  m_depth = static_cast<uint8_t>(depth);
  return m_depth;
}

uint32_t MP4Atom::GetVerbosity() {
  MP4_ASSERT(m_pFile);
  return m_pFile->GetVerbosity();
}

bool MP4Atom::IsMe(const char* name) {
  if (!name) return false;
  if (!m_hasType) return true;  // the root
  return TypeMatches(name);
}

bool MP4Atom::TypeMatches(const char* path) const {
  if (path && *path == '*') return true;
  if (memchr(m_type, 0, 4)) return false;
  return MP4NameFirstMatches(m_type, path);
}

MP4Atom* MP4Atom::FindAtom(const char* name) {
  if (!IsMe(name)) return nullptr;
  if (m_hasType) {
    if (m_pFile && (m_pFile->GetVerbosity() & MP4_VERB_FIND)) zprintf("FindAtom: matched %s\n", name);
    name = MP4NameAfterFirst(name);
    if (!name) return this;
  }
  return FindChildAtom(name);
}

MP4Atom* MP4Atom::FindMatchingChild(const char* name) {
  uint32_t atomIndex = 0;
  MP4NameFirstIndex(name, &atomIndex);
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) {
    MP4Atom* child = m_pChildAtoms[i];
    if (!child->TypeMatches(name)) continue;
    if (atomIndex == 0) return child;
    atomIndex--;
  }
  return nullptr;
}

MP4Atom* MP4Atom::FindChildAtom(const char* name) {
  MP4Atom* child = FindMatchingChild(name);
  return child ? child->FindAtom(name) : nullptr;
}

bool MP4Atom::FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  if (!IsMe(name)) return false;
  if (m_hasType) {
    if (m_pFile && (m_pFile->GetVerbosity() & MP4_VERB_FIND))
      zprintf("FindProperty: matched %s\n", name);
    name = MP4NameAfterFirst(name);
    if (!name) return false;
  }
  return FindContainedProperty(name, ppProperty, pIndex);
}

bool MP4Atom::FindContainedProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++)
    if (m_pProperties[i]->FindProperty(name, ppProperty, pIndex)) return true;
  if (MP4Atom* child = FindMatchingChild(name)) return child->FindProperty(name, ppProperty, pIndex);
  if (m_pFile && (m_pFile->GetVerbosity() & MP4_VERB_FIND)) zprintf("FindProperty: no match for %s\n", name);
  return false;
}
