#include <cstring>

#include "atoms.h"

using namespace mp4field;

namespace {

// "mp4a" and "alac" hold the fraction of the sample rate as a field of its
// own; the other sound types do not, and their version fields start two
// bytes earlier.
bool HasRateFraction(const char* type) { return !strcmp(type, "mp4a") || !strcmp(type, "alac"); }

}  // namespace

void MP4AddSoundEntryFields(MP4Atom* pAtom) {
  pAtom->AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex"), U16("soundVersion"),
                    Reserved("reserved2", 6), U16("channels"), U16("sampleSize"), U16("packetSize"),
                    U32("timeScale")});
  if (HasRateFraction(pAtom->GetType())) pAtom->AddFields({Reserved("reserved3", 2)});
}

void MP4ReadSoundEntryFields(MP4Atom* pAtom) {
  pAtom->ReadProperties(0, 3);
  const uint8_t version = static_cast<uint8_t>(pAtom->GetIntegerField("soundVersion")->GetValue());
  if (version >= 1)
    pAtom->AddFields({U32("samplesPerPacket"), U32("bytesPerPacket"), U32("bytesPerFrame"), U32("bytesPerSample")});
  if (version == 2) pAtom->AddFields({Reserved("reserved4", 20)});
  pAtom->ReadProperties(3);
}

MP4SoundAtom::MP4SoundAtom(const char* type) : MP4Atom(type) {
  MP4AddSoundEntryFields(this);
  if (!strcmp(type, "mp4a"))
    ExpectChildAtoms({{"esds", true, true}, {"wave", false, true}});
  else if (!strcmp(type, "alac"))
    ExpectChildAtom("alac", false, false);
}

void MP4SoundAtom::Read() {
  if (m_pParentAtom && strcmp(m_pParentAtom->GetType(), "stsd") == 0) {
    MP4ReadSoundEntryFields(this);
  } else {
    // Not a sample entry: inside "wave", or the configuration box of an
    // "alac" entry, which is its whole body. Whatever fields this type has
    // go, so that every sound type opens here.
    while (GetNumberOfProperties() > 0) {
      delete m_pProperties[GetNumberOfProperties() - 1];
      m_pProperties.Delete(GetNumberOfProperties() - 1);
    }
    if (!strcmp(m_type, "alac")) {
      // Like an unknown body, a configuration beyond one byte string stays
      // in the file.
      MP4BytesProperty* config = new MP4BytesProperty("decoderConfig");
      AddProperty(config);
      if (m_size <= UINT32_MAX) config->SetValueSize(static_cast<uint32_t>(m_size));
      ReadProperties();
    }
  }
  if (m_pChildAtomInfos.Size() > 0) ReadChildAtoms();
  Skip();
}

void MP4SoundAtom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("dataReferenceIndex")->SetValue(1);
  GetIntegerField("soundVersion")->SetValue(0);
  static const uint8_t zeros[6] = {};
  ForceBytesField("reserved2", zeros, sizeof zeros);
  GetIntegerField("channels")->SetValue(2);
  GetIntegerField("sampleSize")->SetValue(16);
  GetIntegerField("packetSize")->SetValue(0);
}
