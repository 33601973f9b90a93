// MPEG-4 systems descriptors: an 8-bit tag, a length in the variable-length
// MPEG form and a body of properties; and the descriptor property, the list
// of descriptors of one tag range that atoms and descriptors hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "mp4array.h"
#include "mp4property.h"

class MP4Atom;
class MP4File;

class MP4Descriptor {
 public:
  // Tag 0: the first Read takes the tag found in the file.
  explicit MP4Descriptor(uint8_t tag = 0);
  virtual ~MP4Descriptor();
  MP4Descriptor(const MP4Descriptor&) = delete;
  MP4Descriptor& operator=(const MP4Descriptor&) = delete;

  virtual void Generate();
  virtual void Read(MP4File* pFile);
  virtual void Write(MP4File* pFile);
  virtual void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits);
  // Marks the fields that the current flag values leave out implicit.
  virtual void Mutate() {}

  // Takes ownership of the property, also when it throws.
  void AddProperty(MP4Property* pProperty);
  void AddFields(std::initializer_list<MP4FieldSpec> fields);
  void SetParentAtom(MP4Atom* pParentAtom);
  MP4Atom* GetParentAtom() const { return m_pParentAtom; }
  uint8_t GetTag() const { return m_tag; }
  void SetTag(uint8_t tag) { m_tag = tag; }
  uint32_t GetSize() const { return m_size; }

  void ReadHeader(MP4File* pFile);
  void ReadProperties(MP4File* pFile, uint32_t startIndex = 0, uint32_t count = 0xFFFFFFFF);
  bool FindContainedProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex);
  // The whole descriptor (tag, length, body) in a new malloc'ed buffer.
  void WriteToMemory(MP4File* pFile, uint8_t** ppBytes, uint64_t* pNumBytes);
  uint8_t GetDepth();

  uint32_t GetNumberOfProperties() const { return m_pProperties.Size(); }
  MP4Property* GetProperty(uint32_t index) { return m_pProperties[index]; }
  // Puts pProperty at index and hands back the one that was there, which
  // the descriptor no longer owns (nor deletes): how a list of another
  // owner is lent for one write and taken back.
  MP4Property* SwapProperty(uint32_t index, MP4Property* pProperty);

 protected:
  // Typed access to the fixed property list of a subclass.
  MP4IntegerProperty* IntegerAt(uint32_t index);
  void SetImplicitAt(uint32_t index, bool implicit) { m_pProperties[index]->SetImplicit(implicit); }
  // After ReadHeader: the size of the byte string that fills the body after
  // a head of headSize bytes, cut to what the file (or buffer) and the
  // parent atom still hold. A body shorter than its head is an overrun.
  uint32_t BytesAfterHead(MP4File* pFile, uint32_t headSize);
  // The byte-string property at index sized to the rest of the body.
  void SizeBytesToBody(MP4File* pFile, uint32_t index, uint32_t headSize);
  // The whole read of a descriptor whose byte string at index fills the
  // body after a head of headSize bytes.
  void ReadWithBytesToBody(MP4File* pFile, uint32_t index, uint32_t headSize);

  MP4Atom* m_pParentAtom = nullptr;
  uint8_t m_tag;
  uint64_t m_start = 0;
  uint32_t m_size = 0;
  MP4PropertyArray m_pProperties;
  uint32_t m_preMutateCount = 0;
};

class MP4DescriptorProperty : public MP4Property {
 public:
  // tagsEnd 0 stands for tagsStart.
  MP4DescriptorProperty(const char* name = nullptr, uint8_t tagsStart = 0, uint8_t tagsEnd = 0,
                        bool mandatory = false, bool onlyOne = false);
  ~MP4DescriptorProperty() override;

  void SetParentAtom(MP4Atom* pParentAtom) override;
  MP4PropertyType GetType() override { return DescriptorProperty; }
  uint32_t GetCount() override { return m_pDescriptors.Size(); }
  // New slots hold no descriptor until one is stored; every operation
  // passes over empty slots.
  void SetCount(uint32_t count) override;
  void Generate() override;
  void Read(MP4File* pFile, uint32_t index = 0) override;
  void Write(MP4File* pFile, uint32_t index = 0) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;
  bool FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr) override;
  virtual MP4Descriptor* CreateDescriptor(uint8_t tag);

  void SetSizeLimit(uint64_t sizeLimit) { m_sizeLimit = sizeLimit; }
  // The range of tags the list reads and adds; tagsEnd 0 stands for
  // tagsStart.
  void SetTags(uint8_t tagsStart, uint8_t tagsEnd = 0) {
    m_tagsStart = tagsStart;
    m_tagsEnd = tagsEnd ? tagsEnd : tagsStart;
  }
  MP4Descriptor* AddDescriptor(uint8_t tag);
  void DeleteDescriptor(uint32_t index);
  MP4Descriptor* GetDescriptor(uint32_t index) { return m_pDescriptors[index]; }
  bool FindContainedProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex);

 protected:
  uint8_t m_tagsStart;
  uint8_t m_tagsEnd;
  uint64_t m_sizeLimit = 0;
  bool m_mandatory;
  bool m_onlyOne;
  MP4DescriptorArray m_pDescriptors;
};
