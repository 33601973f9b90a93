// The object content information descriptors (tags 0x40 to 0x5F) of the
// "ociDescr" lists of object descriptors and the "langDescr" list of ES
// descriptors: classification, keywords, rating, language, event texts,
// creators, creation dates and camera parameters. Texts are 8-bit or 16-bit
// characters as each descriptor's (or creator row's) "isUTF8String" says.
#pragma once

#include "mp4descriptor.h"

// The class for an OCI tag, owned by the caller; NULL outside 0x40-0x5F.
MP4Descriptor* CreateOCIDescriptor(uint8_t tag);

class MP4ContentClassDescriptor : public MP4Descriptor {
 public:
  MP4ContentClassDescriptor();
  void Read(MP4File* pFile) override;
};

class MP4KeywordDescriptor : public MP4Descriptor {
 public:
  MP4KeywordDescriptor();
  void Mutate() override;
};

class MP4RatingDescriptor : public MP4Descriptor {
 public:
  MP4RatingDescriptor();
  void Read(MP4File* pFile) override;
};

class MP4LanguageDescriptor : public MP4Descriptor {
 public:
  MP4LanguageDescriptor();
};

class MP4ShortTextDescriptor : public MP4Descriptor {
 public:
  MP4ShortTextDescriptor();
  void Mutate() override;
};

class MP4ExpandedTextDescriptor : public MP4Descriptor {
 public:
  MP4ExpandedTextDescriptor();
  void Mutate() override;
};

// Tags 0x46 and 0x48.
class MP4CreatorDescriptor : public MP4Descriptor {
 public:
  explicit MP4CreatorDescriptor(uint8_t tag);
};

// Tags 0x47 and 0x49.
class MP4CreationDescriptor : public MP4Descriptor {
 public:
  explicit MP4CreationDescriptor(uint8_t tag);
};

class MP4SmpteCameraDescriptor : public MP4Descriptor {
 public:
  MP4SmpteCameraDescriptor();
};

// Tags 0x4B to 0x5F: the body kept whole.
class MP4UnknownOCIDescriptor : public MP4Descriptor {
 public:
  MP4UnknownOCIDescriptor();
  void Read(MP4File* pFile) override;
};

// The creators' table: each row's name takes the character width of that
// row's own flag, when read, written and dumped.
class MP4CreatorTableProperty : public MP4TableProperty {
 public:
  MP4CreatorTableProperty(const char* name, MP4IntegerProperty* pCountProperty)
      : MP4TableProperty(name, pCountProperty) {}
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits, uint32_t index = 0) override;

 protected:
  void ReadEntry(MP4File* pFile, uint32_t index) override;
  void WriteEntry(MP4File* pFile, uint32_t index) override;
};
