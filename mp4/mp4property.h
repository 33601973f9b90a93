// Typed fields of atoms and descriptors. A property is a named array of
// values (one for a plain field, one per row in a table column) that reads
// itself from and writes itself to the file, dumps itself and answers to its
// name in a dotted-path lookup.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>

#include "mp4array.h"

class MP4Atom;
class MP4File;

// Bytes a read at the file's position may still take: up to the end of the
// atom when one is given and the file (not a memory buffer) is the source,
// and up to the end of the source.
uint64_t MP4GetBytesLeft(MP4File* pFile, MP4Atom* pAtom);

// Type codes; the path finders test them.
enum MP4PropertyType {
  Integer8Property = 0,
  Integer16Property = 1,
  Integer24Property = 2,
  Integer32Property = 3,
  Integer64Property = 4,
  Float32Property = 5,
  StringProperty = 6,
  BytesProperty = 7,
  TableProperty = 8,
  DescriptorProperty = 9,
};

class MP4Property {
 public:
  explicit MP4Property(const char* name = nullptr);
  virtual ~MP4Property() {}
  MP4Property(const MP4Property&) = delete;
  MP4Property& operator=(const MP4Property&) = delete;

  virtual void SetParentAtom(MP4Atom* pParentAtom) { m_pParentAtom = pParentAtom; }
  virtual MP4PropertyType GetType() = 0;
  virtual uint32_t GetCount() = 0;
  virtual void SetCount(uint32_t count) = 0;
  virtual void Generate() {}
  virtual void Read(MP4File* pFile, uint32_t index = 0) = 0;
  virtual void Write(MP4File* pFile, uint32_t index = 0) = 0;
  virtual void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) = 0;
  // Answers to the bare name, compared whole and ignoring case.
  virtual bool FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  // The fewest bits one value takes in the file (0 for an implicit one):
  // what a table multiplies its row count from the file by before it sizes
  // its columns.
  virtual uint64_t GetMinReadBits() { return 0; }

  MP4Atom* GetParentAtom() const { return m_pParentAtom; }
  const char* GetName() const { return m_name; }
  bool IsReadOnly() const { return m_readOnly; }
  void SetReadOnly(bool value = true) { m_readOnly = value; }
  bool IsImplicit() const { return m_implicit; }
  void SetImplicit(bool value = true) { m_implicit = value; }

 protected:
  // "property is read-only" (errno 13) where = the name, when read-only.
  void CheckWritable() const;
  // The verbosity of the file the parent atom belongs to; 0 without one.
  uint32_t GetVerbosity() const;
  // The dump's indentation: "%*c" with a blank (one blank for indent 0).
  static void DumpIndent(FILE* pFile, uint8_t indent);
  // Throws, before anything is allocated for them, the error that reading
  // numBytes here would end in: "atom is too small" past the parent atom's
  // end, else the end of the file or memory buffer.
  void CheckReadable(MP4File* pFile, uint64_t numBytes) const;
  // Bytes left to read inside the parent atom and the source.
  uint64_t GetBytesLeft(MP4File* pFile) const { return MP4GetBytesLeft(pFile, m_pParentAtom); }

  MP4Atom* m_pParentAtom = nullptr;
  const char* m_name;
  bool m_readOnly = false;
  bool m_implicit = false;
};

// ---------------------------------------------------------------- integers

class MP4IntegerProperty : public MP4Property {
 public:
  // Dispatch on GetType over the five widths.
  uint64_t GetValue(uint32_t index = 0);
  void SetValue(uint64_t value, uint32_t index = 0);
  void InsertValue(uint64_t value, uint32_t index = 0);
  void DeleteValue(uint32_t index = 0);
  void IncrementValue(int32_t increment = 1);
  // The sample-table writer's forms: no read-only test, so that the counts
  // a table marks read-only still rise with their rows.
  void AddValue(uint64_t value);
  void ForceValue(uint64_t value, uint32_t index = 0);
  // Bits one value holds in memory (8, 16, 32 or 64; 32 for 24-bit fields).
  uint8_t GetValueBits();

 protected:
  explicit MP4IntegerProperty(const char* name) : MP4Property(name) {}
};

template <typename T, MP4PropertyType kType>
class MP4IntegerPropertyT : public MP4IntegerProperty {
 public:
  explicit MP4IntegerPropertyT(const char* name) : MP4IntegerProperty(name) { m_values.Add(0); }

  MP4PropertyType GetType() override { return kType; }
  uint32_t GetCount() override { return m_values.Size(); }
  void SetCount(uint32_t count) override { m_values.Resize(count); }
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  uint64_t GetMinReadBits() override { return m_implicit ? 0 : kWidth * 8; }

  T GetValue(uint32_t index = 0) { return m_values[index]; }
  void SetValue(T value, uint32_t index = 0) {
    CheckWritable();
    m_values[index] = value;
  }
  // IncrementValue(increment) of the base goes through SetValue; the forms
  // below change the values without the read-only test: table writers
  // raise read-only counts with them.
  using MP4IntegerProperty::IncrementValue;
  void AddValue(T value) { m_values.Add(value); }
  void InsertValue(T value, uint32_t index) { m_values.Insert(value, index); }
  void DeleteValue(uint32_t index) { m_values.Delete(index); }
  void IncrementValue(int32_t increment, uint32_t index) {
    m_values[index] = static_cast<T>(m_values[index] + static_cast<T>(increment));
  }

 protected:
  static constexpr uint8_t kWidth =
      kType == Integer8Property ? 1 : kType == Integer16Property ? 2
      : kType == Integer24Property ? 3 : kType == Integer32Property ? 4 : 8;
  MP4Array<T> m_values;
};

typedef MP4IntegerPropertyT<uint8_t, Integer8Property> MP4Integer8Property;
typedef MP4IntegerPropertyT<uint16_t, Integer16Property> MP4Integer16Property;
typedef MP4IntegerPropertyT<uint32_t, Integer24Property> MP4Integer24Property;
typedef MP4IntegerPropertyT<uint32_t, Integer32Property> MP4Integer32Property;

class MP4Integer64Property : public MP4IntegerPropertyT<uint64_t, Integer64Property> {
 public:
  explicit MP4Integer64Property(const char* name) : MP4IntegerPropertyT(name) {}
};

// numBits (1 to 64) bits of the bit reader and writer, most significant
// first; stored as a 64-bit integer.
class MP4BitfieldProperty : public MP4Integer64Property {
 public:
  MP4BitfieldProperty(const char* name, uint8_t numBits);
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  uint64_t GetMinReadBits() override { return m_implicit ? 0 : m_numBits; }

  uint8_t GetNumBits() const { return m_numBits; }
  void SetNumBits(uint8_t numBits);

 private:
  uint8_t m_numBits;
};

// ---------------------------------------------------------------- float

class MP4Float32Property : public MP4Property {
 public:
  explicit MP4Float32Property(const char* name);
  MP4PropertyType GetType() override { return Float32Property; }
  uint32_t GetCount() override { return m_values.Size(); }
  void SetCount(uint32_t count) override { m_values.Resize(count); }
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  uint64_t GetMinReadBits() override { return m_implicit ? 0 : m_useFixed16Format ? 16 : 32; }

  float GetValue(uint32_t index = 0) { return m_values[index]; }
  void SetValue(float value, uint32_t index = 0) {
    CheckWritable();
    m_values[index] = value;
  }
  void SetFixed16Format(bool value = true) { m_useFixed16Format = value; }
  void SetFixed32Format(bool value = true) { m_useFixed32Format = value; }

 private:
  bool m_useFixed16Format = false;
  bool m_useFixed32Format = false;
  MP4Float32Array m_values;
};

// ---------------------------------------------------------------- string

// NUL-terminated, counted (a length byte or an expanded run of them), or of
// a fixed length. Values are owned copies or NULL.
class MP4StringProperty : public MP4Property {
 public:
  MP4StringProperty(const char* name, bool useCountedFormat = false, bool useUnicode = false);
  ~MP4StringProperty() override;
  MP4PropertyType GetType() override { return StringProperty; }
  uint32_t GetCount() override { return m_values.Size(); }
  void SetCount(uint32_t count) override;
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  uint64_t GetMinReadBits() override;

  const char* GetValue(uint32_t index = 0) { return m_values[index]; }
  void SetValue(const char* value, uint32_t index = 0);

  void SetCountedFormat(bool value = true) { m_useCountedFormat = value; }
  void SetExpandedCountFormat(bool value = true) { m_useExpandedCount = value; }
  void SetUnicode(bool value = true) { m_useUnicode = value; }
  bool IsUnicode() const { return m_useUnicode; }
  void SetFixedLength(uint32_t fixedLength) { m_fixedLength = fixedLength; }
  uint32_t GetFixedLength() const { return m_fixedLength; }

 protected:
  // Zero bytes after a value: a whole zero character at either alignment,
  // whatever the width. A counted text's width may change after its value
  // is stored (the flag of its descriptor, another row of a creator table),
  // and a scan of 8-bit text as 16-bit must still end inside it.
  static constexpr uint32_t TerminatorSize() { return 3; }

  bool m_useCountedFormat;
  bool m_useExpandedCount = false;
  bool m_useUnicode;
  uint32_t m_fixedLength = 0;
  MP4StringArray m_values;
};

// ---------------------------------------------------------------- bytes

// Byte strings with a size per value; a fixed size, when set, holds for
// every value. Values are owned buffers or NULL.
class MP4BytesProperty : public MP4Property {
 public:
  MP4BytesProperty(const char* name, uint32_t valueSize = 0, uint32_t defaultValueSize = 0);
  ~MP4BytesProperty() override;
  MP4PropertyType GetType() override { return BytesProperty; }
  uint32_t GetCount() override { return m_values.Size(); }
  void SetCount(uint32_t count) override;
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  uint64_t GetMinReadBits() override;

  // A malloc'ed copy (NULL for size 0) that the caller frees.
  void GetValue(uint8_t** ppValue, uint32_t* pValueSize, uint32_t index = 0);
  // The stored buffer itself, still owned by the property.
  const uint8_t* GetValuePointer(uint32_t index = 0) { return m_values[index]; }
  uint32_t GetValueSize(uint32_t index = 0) { return m_valueSizes[index]; }
  void SetValue(const uint8_t* pValue, uint32_t valueSize, uint32_t index = 0);
  void SetValueSize(uint32_t valueSize, uint32_t index = 0);
  void SetFixedSize(uint32_t fixedSize);
  uint32_t GetFixedSize() const { return m_fixedValueSize; }

 private:
  uint32_t m_fixedValueSize = 0;
  uint32_t m_defaultValueSize;
  MP4Integer32Array m_valueSizes;
  MP4BytesArray m_values;
};

// ---------------------------------------------------------------- tables

// Columns of one value per row; the row count lives in a count property of
// the same owner, earlier in the file, which the table makes read-only and
// never deletes. Rows are stored one after the other, each with all its
// columns.
class MP4TableProperty : public MP4Property {
 public:
  MP4TableProperty(const char* name, MP4IntegerProperty* pCountProperty);
  ~MP4TableProperty() override;
  void SetParentAtom(MP4Atom* pParentAtom) override;
  MP4PropertyType GetType() override { return TableProperty; }
  uint32_t GetCount() override;
  void SetCount(uint32_t count) override;
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  bool FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr) override;

  // Takes ownership, also when it throws.
  void AddProperty(MP4Property* pProperty);
  MP4Property* GetProperty(uint32_t index) { return m_pProperties[index]; }
  uint32_t GetNumProperties() const { return m_pProperties.Size(); }
  MP4IntegerProperty* GetCountProperty() const { return m_pCountProperty; }
  bool FindContainedProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex);
  // The named integer column made 64 bits wide, every row's value kept;
  // the old column is destroyed. NULL when there is no such column.
  MP4IntegerProperty* WidenColumn(const char* name);

 protected:
  virtual void ReadEntry(MP4File* pFile, uint32_t index);
  virtual void WriteEntry(MP4File* pFile, uint32_t index);

  MP4IntegerProperty* m_pCountProperty;
  MP4PropertyArray m_pProperties;
};

// Rows of a 16-bit length and a byte string of that length.
class SizeTableProperty : public MP4TableProperty {
 public:
  SizeTableProperty(const char* name, MP4IntegerProperty* pCountProperty)
      : MP4TableProperty(name, pCountProperty) {}

 protected:
  void ReadEntry(MP4File* pFile, uint32_t index) override;
};

// Two 4-bit entries a byte: (count + 1) / 2 rows for a count of entries.
class MP4HalfSizeTableProperty : public MP4TableProperty {
 public:
  MP4HalfSizeTableProperty(const char* name, MP4IntegerProperty* pCountProperty)
      : MP4TableProperty(name, pCountProperty) {}
  uint32_t GetCount() override;
  void SetCount(uint32_t count) override;
};

// ---------------------------------------------------------------- field lists

// One field of a layout table: atoms and descriptors describe their bodies
// as lists of these, and MP4MakeFields turns a list into properties.
struct MP4FieldSpec {
  enum Kind : uint8_t {
    VersionFlags,   // "version" u8 and "flags" u24
    Integer,        // size: bytes (1, 2, 3, 4 or 8)
    Bits,           // size: bit count
    Fixed16,        // 8.8
    Fixed32,        // 16.16
    String,         // NUL-terminated
    CountedString,  // a length byte, then the characters
    FixedString,    // size: bytes
    Bytes,          // size: bytes
    Reserved,       // size: bytes, zero and read-only
    Table,          // size: the number of column entries that follow; the
                    // integer made just before it is its count
    Descriptors,    // size..arg: tag range; mandatory, onlyOne
  };
  Kind kind;
  const char* name;
  uint32_t size;
  uint32_t arg;
  bool mandatory;
  bool onlyOne;
};

namespace mp4field {
constexpr MP4FieldSpec VF() { return {MP4FieldSpec::VersionFlags, nullptr, 0, 0, false, false}; }
constexpr MP4FieldSpec U8(const char* n) { return {MP4FieldSpec::Integer, n, 1, 0, false, false}; }
constexpr MP4FieldSpec U16(const char* n) { return {MP4FieldSpec::Integer, n, 2, 0, false, false}; }
constexpr MP4FieldSpec U24(const char* n) { return {MP4FieldSpec::Integer, n, 3, 0, false, false}; }
constexpr MP4FieldSpec U32(const char* n) { return {MP4FieldSpec::Integer, n, 4, 0, false, false}; }
constexpr MP4FieldSpec U64(const char* n) { return {MP4FieldSpec::Integer, n, 8, 0, false, false}; }
constexpr MP4FieldSpec Bits(const char* n, uint32_t bits) {
  return {MP4FieldSpec::Bits, n, bits, 0, false, false};
}
constexpr MP4FieldSpec Fixed16(const char* n) { return {MP4FieldSpec::Fixed16, n, 2, 0, false, false}; }
constexpr MP4FieldSpec Fixed32(const char* n) { return {MP4FieldSpec::Fixed32, n, 4, 0, false, false}; }
constexpr MP4FieldSpec Str(const char* n) { return {MP4FieldSpec::String, n, 0, 0, false, false}; }
constexpr MP4FieldSpec Counted(const char* n) {
  return {MP4FieldSpec::CountedString, n, 0, 0, false, false};
}
constexpr MP4FieldSpec FixedStr(const char* n, uint32_t bytes) {
  return {MP4FieldSpec::FixedString, n, bytes, 0, false, false};
}
constexpr MP4FieldSpec Bytes(const char* n, uint32_t bytes) {
  return {MP4FieldSpec::Bytes, n, bytes, 0, false, false};
}
constexpr MP4FieldSpec Reserved(const char* n, uint32_t bytes) {
  return {MP4FieldSpec::Reserved, n, bytes, 0, false, false};
}
constexpr MP4FieldSpec Table(const char* n, uint32_t columns) {
  return {MP4FieldSpec::Table, n, columns, 0, false, false};
}
constexpr MP4FieldSpec Descriptors(const char* n, uint8_t first, uint8_t last, bool mandatory,
                                   bool onlyOne) {
  return {MP4FieldSpec::Descriptors, n, first, last, mandatory, onlyOne};
}
}  // namespace mp4field

// Makes the properties of a field list in order and hands each to add,
// which takes ownership (also when it throws).
void MP4MakeFields(std::initializer_list<MP4FieldSpec> fields,
                   const std::function<void(MP4Property*)>& add);

