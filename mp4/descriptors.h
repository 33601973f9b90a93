// The systems descriptors of "iods" and "esds": initial object, object,
// ES, decoder configuration, SL configuration, content identification, and
// the fixed-layout and byte-string descriptors. The factory that turns a tag
// into one of them is MP4DescriptorProperty::CreateDescriptor.
#pragma once

#include "mp4descriptor.h"

class MP4IODescriptor : public MP4Descriptor {
 public:
  MP4IODescriptor();
  void Generate() override;
  void Mutate() override;
};

class MP4ODescriptor : public MP4Descriptor {
 public:
  MP4ODescriptor();
  void Generate() override;
  void Mutate() override;
};

class MP4ESDescriptor : public MP4Descriptor {
 public:
  MP4ESDescriptor();
  void Mutate() override;
};

class MP4DecConfigDescriptor : public MP4Descriptor {
 public:
  MP4DecConfigDescriptor();
  void Generate() override;
};

class MP4SLConfigDescriptor : public MP4Descriptor {
 public:
  MP4SLConfigDescriptor();
  void Generate() override;
  void Read(MP4File* pFile) override;
  void Mutate() override;
};

class MP4ContentIdDescriptor : public MP4Descriptor {
 public:
  MP4ContentIdDescriptor();
  void Read(MP4File* pFile) override;
  void Mutate() override;
};

// A fixed head of fields, then a byte string that fills the body.
class MP4BytesDescriptor : public MP4Descriptor {
 public:
  explicit MP4BytesDescriptor(uint8_t tag);
  void Read(MP4File* pFile) override;

 protected:
  uint32_t m_fixedHeadSize = 0;
  uint32_t m_bytesPropertyIndex = 0;
};

class MP4BaseDescriptor : public MP4Descriptor {
 public:
  explicit MP4BaseDescriptor(uint8_t tag);
};

// printf-style output to the standard output stream.
void MP4Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
