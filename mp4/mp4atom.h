// The atom (box) base class: its place in the file, its fields (properties
// in file order), the children it expects and the children it holds, the
// reading of one header and of a whole subtree, and the atom half of the
// dotted-path lookup.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

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

// An expected child in a definition table: 4CC, mandatory, only one.
struct MP4ChildSpec {
  const char* name;
  bool mandatory;
  bool onlyOne;
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

  // The class for a 4CC (NULL: the root atom); a new atom with no file,
  // parent, offsets or size, owned by the caller. A type holding a zero
  // byte has no class: it gets an unknown standard atom.
  static MP4Atom* CreateAtom(const char* type);
  // Reads one atom at the current position with its whole subtree; the
  // caller owns the result. Leaves the position at the atom's end.
  static MP4Atom* ReadAtom(MP4File* pFile, MP4Atom* pParentAtom);
  static bool IsReasonableType(const char* type);

  // Fills in the default content of a new atom: each field's own default,
  // then each mandatory only-one child, made and generated in turn.
  virtual void Generate();
  // Reads the body of an atom whose header has been read (file, start,
  // end, size and parent set): fields, expected children, skip to the end.
  virtual void Read();
  // Records the start and writes the header with a size of 0 (32- or
  // 64-bit form).
  virtual void BeginWrite(bool use64 = false);
  // The whole atom at the current position, with a 32-bit header.
  virtual void Write();
  // The atom again over its old place, the position kept; nothing for an
  // atom never written.
  virtual void Rewrite();
  // Fixes the size field; afterwards start, end and body size describe the
  // atom's place in the new file.
  virtual void FinishWrite(bool use64 = false);
  virtual void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits);

  void ReadProperties(uint32_t startIndex = 0, uint32_t count = 0xFFFFFFFF);
  void ReadChildAtoms();
  // Moves to the end of the atom. Bytes before it that no field took are
  // kept (keepRest) and written back after the children.
  void Skip(bool keepRest = true);
  void WriteProperties(uint32_t startIndex = 0, uint32_t count = 0xFFFFFFFF);
  void WriteChildAtoms();

  // ---- building

  // Takes ownership of the property, also when it throws.
  void AddProperty(MP4Property* pProperty);
  void AddVersionAndFlags();
  // A read-only, zero-filled byte string of a fixed size.
  void AddReserved(const char* name, uint32_t size);
  void ExpectChildAtom(const char* name, bool mandatory, bool onlyOne = false);
  MP4AtomInfo* FindAtomInfo(const char* name);
  // Appends the properties of a field list (mp4property.h) in order.
  void AddFields(std::initializer_list<MP4FieldSpec> fields);
  // Declares expected children, in order.
  void ExpectChildAtoms(std::initializer_list<MP4ChildSpec> children);

  // An own field by its exact name; the assertion "(pProp)" when the atom
  // has none of that name or kind.
  MP4Property* GetField(const char* name);
  MP4IntegerProperty* GetIntegerField(const char* name);
  MP4BytesProperty* GetBytesField(const char* name);
  // Setters that pass a read-only mark and leave it as it was: defaults of
  // reserved fields and counts.
  void ForceIntegerField(const char* name, uint64_t value);
  void ForceBytesField(const char* name, const uint8_t* pBytes, uint32_t size);
  // Appends a table (its class chosen by the caller, its count an earlier
  // field) and then its columns.
  MP4TableProperty* AddTable(MP4TableProperty* pTable, std::initializer_list<MP4FieldSpec> columns);
  // A new child of this atom from the factory, in this file, appended and
  // generated.
  MP4Atom* GenerateChildAtom(const char* type);
  // Removes the child from the tree and deletes it.
  void DeleteChildAtom(MP4Atom* pChild);
  // Takes the child out of the tree without deleting it; false when it is
  // not a child of this atom.
  bool RemoveChildAtom(MP4Atom* pChild);
  // An own integer field becomes a 64-bit one of the same name, place and
  // value (the times of a header whose version turns to 1).
  MP4IntegerProperty* WidenIntegerField(const char* name);

  // Properties 0 and 1 when they are "version" and "flags".
  uint8_t GetVersion();
  void SetVersion(uint8_t version);
  uint32_t GetFlags();
  void SetFlags(uint32_t flags);

  // ---- lookup by dotted path

  bool IsMe(const char* name);
  // The type against the first component of a path: "*" matches every
  // type; a type holding a zero byte cannot be written in a path and
  // matches nothing else; any other is compared as MP4NameFirstMatches
  // compares names (without case, as a common prefix).
  bool TypeMatches(const char* path) const;
  MP4Atom* FindAtom(const char* name);
  MP4Atom* FindChildAtom(const char* name);
  bool FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  bool FindContainedProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex);

  // The child that the first component of name picks: the [n]-th (0 when
  // absent) whose type matches it, "*" matching every type.
  MP4Atom* FindMatchingChild(const char* name);

  // 0 for the root; computed once from the parent chain, at most 254.
  uint8_t GetDepth();
  uint32_t GetVerbosity();

  // ---- plain accessors

  // The four type bytes and a terminating zero: the 4CC as a text. A type
  // read from a file may hold zero bytes itself (the key indexes that type
  // keyed metadata items), so comparisons and copies take all four bytes.
  const char* GetType() const { return m_type; }
  // The first four characters of a text; NULL or "" is the root's empty
  // type.
  void SetType(const char* type);
  // Four bytes whole, zero bytes included.
  void SetTypeBytes(const uint8_t* pType);
  // False only for the root's empty type.
  bool HasType() const { return m_hasType; }
  // The type for messages and dumps: control and zero bytes as \xNN.
  const char* GetPrintableType();
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
  // Bytes after the fields and children that no field describes.
  uint32_t GetTrailerSize() const { return m_trailerSize; }
  // Takes ownership of the child, also when it throws.
  void InsertChildAtom(MP4Atom* pChild, uint32_t index);
  void AddChildAtom(MP4Atom* pChild) { InsertChildAtom(pChild, m_pChildAtoms.Size()); }

 protected:
  MP4File* m_pFile = nullptr;
  uint64_t m_start = 0;
  uint64_t m_end = 0;
  uint64_t m_size = 0;
  char m_type[5];
  bool m_hasType = false;
  bool m_unknownType = false;
  bool m_bodyUnloaded = false;
  uint8_t m_extendedType[16];
  MP4Atom* m_pParentAtom = nullptr;
  uint8_t m_depth = 0xFF;

  MP4PropertyArray m_pProperties;
  MP4Array<MP4AtomInfo*> m_pChildAtomInfos;
  MP4AtomArray m_pChildAtoms;

 private:
  // Appends size bytes at the file's position to the trailer.
  void KeepBytes(uint64_t size);
  // Writes the atom again where it was and fails when its size changed
  // (it would have run into what follows it); the position is kept.
  void WriteInPlace();
  friend class MP4RootAtom;

  uint8_t* m_pTrailer = nullptr;
  uint32_t m_trailerSize = 0;
  char m_printableType[4 * 4 + 1];
};
