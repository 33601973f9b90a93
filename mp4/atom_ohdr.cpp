#include <cstring>

#include "atoms.h"

using namespace mp4field;

namespace {

// A text of exactly its fixed length in bytes, with no terminator or count
// in the file; the stored value is those bytes and a zero byte.
class OhdrMP4StringProperty : public MP4StringProperty {
 public:
  explicit OhdrMP4StringProperty(const char* name) : MP4StringProperty(name) {}

  void Read(MP4File* pFile, uint32_t index = 0) override {
    const uint32_t length = GetFixedLength();
    char* value = static_cast<char*>(MP4Calloc(uint64_t(length) + 1));
    try {
      pFile->ReadBytes(reinterpret_cast<uint8_t*>(value), length);
    } catch (...) {
      MP4Free(value);
      throw;
    }
    MP4Free(m_values[index]);
    m_values[index] = value;
  }

  // A value always holds its fixed length: Read and SetValue allocate that
  // much. One without a buffer is that many zeros, so that the box keeps
  // the length its count field gives.
  void Write(MP4File* pFile, uint32_t index = 0) override {
    const char* value = m_values[index];
    const uint32_t length = GetFixedLength();
    if (value)
      pFile->WriteBytes(reinterpret_cast<const uint8_t*>(value), length);
    else
      pFile->WriteZeros(length);
  }
};

}  // namespace

MP4OhdrAtom::MP4OhdrAtom() : MP4Atom("ohdr") {
  AddFields({VF(), U8("EncryptionMethod"), U8("EncryptionPadding"), U64("PlaintextLength"),
             U16("ContentIDLength"), U16("RightsIssuerURLLength"), U16("TextualHeadersLength")});
  AddProperty(new OhdrMP4StringProperty("ContentID"));
  AddProperty(new OhdrMP4StringProperty("RightsIssuerURL"));
  AddFields({Bytes("TextualHeaders", 0)});
}

void MP4OhdrAtom::Read() {
  ReadProperties(0, 8);
  static_cast<MP4StringProperty*>(m_pProperties[8])->SetFixedLength(
      static_cast<uint32_t>(GetIntegerField("ContentIDLength")->GetValue()));
  static_cast<MP4StringProperty*>(m_pProperties[9])->SetFixedLength(
      static_cast<uint32_t>(GetIntegerField("RightsIssuerURLLength")->GetValue()));
  GetBytesField("TextualHeaders")->SetFixedSize(static_cast<uint32_t>(GetIntegerField("TextualHeadersLength")->GetValue()));
  ReadProperties(8, 3);
  // Bytes after the fields are this box's, not boxes beside it: kept and
  // written back with it.
  Skip();
}
