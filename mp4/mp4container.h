// A free-standing list of typed fields read, written and dumped as one unit,
// with no box header of its own: the records of an RTP hint sample. Fields
// are found and set by name; the first field added that answers to a name
// wins.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "mp4array.h"
#include "mp4property.h"

class MP4File;

class MP4Container {
 public:
  MP4Container() = default;
  // Deletes every field.
  virtual ~MP4Container();
  MP4Container(const MP4Container&) = delete;
  MP4Container& operator=(const MP4Container&) = delete;

  // Takes ownership, also when it throws.
  void AddProperty(MP4Property* pProperty);
  void AddFields(std::initializer_list<MP4FieldSpec> fields);
  uint32_t GetNumberOfProperties() const { return m_pProperties.Size(); }
  MP4Property* GetProperty(uint32_t index) { return m_pProperties[index]; }

  // The index output, when given, is 0 unless a table row was named.
  bool FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  // "no such property" or "type mismatch" with the finder's name as
  // where-text.
  void FindIntegerProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  void FindFloatProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  void FindStringProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  void FindBytesProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);

  uint64_t GetIntegerProperty(const char* name);
  void SetIntegerProperty(const char* name, uint64_t value);
  float GetFloatProperty(const char* name);
  void SetFloatProperty(const char* name, float value);
  // The stored text itself, owned by the field.
  const char* GetStringProperty(const char* name);
  void SetStringProperty(const char* name, const char* value);
  // A malloc'ed copy (NULL for size 0) that the caller frees.
  void GetBytesProperty(const char* name, uint8_t** ppValue, uint32_t* pValueSize);
  void SetBytesProperty(const char* name, const uint8_t* pValue, uint32_t valueSize);

  // Every field in order, value 0 (tables take all their rows).
  virtual void Read(MP4File* pFile);
  virtual void Write(MP4File* pFile);
  virtual void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits);

 protected:
  MP4PropertyArray m_pProperties;
};
