#include "atoms.h"

using namespace mp4field;

MP4Ac3Atom::MP4Ac3Atom() : MP4Atom("ac-3") {
  AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex"), Reserved("reserved2", 8),
             U16("channelCount"), U16("sampleSize"), U16("pre_defined"), Reserved("reserved3", 2),
             U16("samplingRatee"), Reserved("reserved4", 2)});
  ExpectChildAtom("dac3", true, true);
}

// Two channels of 16-bit samples at 48 kHz. The stream parameters of the
// configuration: fscod 0 (48 kHz), bsid 8, bsmod 0, acmod 7 with LFE, bit
// rate code 10.
void MP4Ac3Atom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("dataReferenceIndex")->SetValue(1);
  GetIntegerField("channelCount")->SetValue(2);
  GetIntegerField("sampleSize")->SetValue(16);
  GetIntegerField("samplingRatee")->SetValue(48000);
  static const uint8_t streamParameters[3] = {0x10, 0x3D, 0x40};
  FindChildAtom("dac3")->GetBytesField("data")->SetValue(streamParameters, sizeof streamParameters);
}
