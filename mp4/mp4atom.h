// The atom (box) base class: its place in the file, its fields (properties
// in file order), the children it expects and the children it holds.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mp4array.h"
#include "mp4file.h"
#include "mp4property.h"

// One expected child: its 4CC, whether it must be there, whether it may
// repeat, and how many were read.
class MP4AtomInfo {
 public:
  MP4AtomInfo(const char* name, bool mandatory, bool onlyOne)
      : m_name(name), m_mandatory(mandatory), m_onlyOne(onlyOne) {}

  const char* m_name;
  bool m_mandatory;
  bool m_onlyOne;
  uint32_t m_count = 0;
};

class MP4Atom {
 public:
  // Takes the first four characters of type; NULL or "" is the root's
  // empty type.
  explicit MP4Atom(const char* type = nullptr);
  // Deletes the properties, the expected-child infos and the whole subtree.
  virtual ~MP4Atom();
  MP4Atom(const MP4Atom&) = delete;
  MP4Atom& operator=(const MP4Atom&) = delete;

  // ---- plain accessors

  const char* GetType() const { return m_type; }
  void SetType(const char* type);
  const uint8_t* GetExtendedType() const { return m_extendedType; }
  void SetExtendedType(const uint8_t* pExtendedType);
  bool IsUnknownType() const { return m_unknownType; }
  void SetUnknownType(bool unknownType = true) { m_unknownType = unknownType; }
  // The body was longer than a byte string can hold and was left in the
  // file unread; such an atom cannot be written back.
  bool IsBodyUnloaded() const { return m_bodyUnloaded; }

  MP4File* GetFile() const { return m_pFile; }
  void SetFile(MP4File* pFile) { m_pFile = pFile; }
  uint64_t GetStart() const { return m_start; }
  void SetStart(uint64_t pos) { m_start = pos; }
  uint64_t GetEnd() const { return m_end; }
  void SetEnd(uint64_t pos) { m_end = pos; }
  uint64_t GetSize() const { return m_size; }
  void SetSize(uint64_t size) { m_size = size; }
  MP4Atom* GetParentAtom() const { return m_pParentAtom; }
  void SetParentAtom(MP4Atom* pParentAtom) { m_pParentAtom = pParentAtom; }

  uint32_t GetNumberOfProperties() const { return m_pProperties.Size(); }
  MP4Property* GetProperty(uint32_t index) { return m_pProperties[index]; }
  uint32_t GetNumberOfChildAtoms() const { return m_pChildAtoms.Size(); }
  MP4Atom* GetChildAtom(uint32_t index) { return m_pChildAtoms[index]; }

 protected:
  MP4File* m_pFile = nullptr;
  uint64_t m_start = 0;
  uint64_t m_end = 0;
  uint64_t m_size = 0;
  char m_type[5];
  bool m_unknownType = false;
  bool m_bodyUnloaded = false;
  uint8_t m_extendedType[16];
  MP4Atom* m_pParentAtom = nullptr;
  uint8_t m_depth = 0xFF;

  MP4PropertyArray m_pProperties;
  MP4Array<MP4AtomInfo*> m_pChildAtomInfos;
  MP4AtomArray m_pChildAtoms;
};
