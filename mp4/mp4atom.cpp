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
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) delete m_pProperties[i];
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) delete m_pChildAtomInfos[i];
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) delete m_pChildAtoms[i];
}

void MP4Atom::SetType(const char* type) {
  memset(m_type, 0, sizeof m_type);
  if (type && *type) strncpy(m_type, type, 4);
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
    {"SVQ3", MakeTyped<MP4VideoAtom>}, {"avc1", Make<MP4Avc1Atom>},
    {"encv", Make<MP4EncvAtom>},       {"free", Make<MP4FreeAtom>},
    {"h263", MakeTyped<MP4VideoAtom>}, {"hvc1", Make<MP4Hvc1Atom>},
    {"hev1", Make<MP4Hev1Atom>},       {"jpeg", MakeTyped<MP4VideoAtom>},
    {"mvhd", Make<MP4MvhdAtom>},       {"mdat", Make<MP4MdatAtom>},
    {"mp4v", Make<MP4Mp4vAtom>},       {"raw ", MakeTyped<MP4VideoAtom>},
    {"s263", Make<MP4S263Atom>},       {"stbl", Make<MP4StblAtom>},
    {"stsd", Make<MP4StsdAtom>},       {"skip", MakeSkip},
    {"vc-1", Make<MP4Vc1Atom>},        {"yuv2", MakeTyped<MP4VideoAtom>},
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
  if (m_type[0] && m_size > 1000000 && (GetVerbosity() & MP4_VERB_READ))
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
  if (verbosity & MP4_VERB_READ) zprintf("ReadChildAtoms: of %s\n", m_type[0] ? m_type : "root");
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
      const uint32_t terminator = m_pFile->ReadUInt32();
      if (terminator && (verbosity & MP4_VERB_WARNINGS))
        zprintf("Error: In udta atom, end value is not zero %x\n", terminator);
    } else {
      if (verbosity & MP4_VERB_WARNINGS)
        zprintf("Error: In %s atom, extra %lld bytes at end of atom\n", m_type,
                static_cast<long long>(remaining));
      uint8_t extra[8];
      m_pFile->ReadBytes(extra, static_cast<uint32_t>(remaining));
    }
  }
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) {
    const MP4AtomInfo* info = m_pChildAtomInfos[i];
    if (info->m_mandatory && info->m_count == 0 && (verbosity & MP4_VERB_READ))
      zprintf("Warning: In atom %s missing child atom %s\n", m_type, info->m_name);
  }
  if (verbosity & MP4_VERB_READ) zprintf("ReadChildAtoms: finished %s\n", m_type);
}

void MP4Atom::Skip() {
  const uint64_t pos = m_pFile->GetPosition();
  if (pos != m_end && (GetVerbosity() & MP4_VERB_READ))
    zprintf("Skip: %llu bytes\n", static_cast<unsigned long long>(m_end - pos));
  m_pFile->SetPosition(m_end);
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
  if (!m_type[0]) return true;  // the root
  return MP4NameFirstMatches(m_type, name);
}

MP4Atom* MP4Atom::FindAtom(const char* name) {
  if (!IsMe(name)) return nullptr;
  if (m_type[0]) {
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
    if (!MP4NameFirstMatches(child->GetType(), name)) continue;
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
  if (m_type[0]) {
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
