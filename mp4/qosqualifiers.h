// The QoS descriptor (tag 0x0C, in the "qosDescr" list of an ES descriptor)
// and its qualifiers, which have a tag space of their own and therefore a
// list with its own factory.
#pragma once

#include "mp4descriptor.h"

// The QoS descriptor and the known qualifiers, their fields chosen by tag:
// 0x01 maxDelay, 0x02 prefMaxDelay, 0x03 lossProb (IEEE float), 0x04
// maxGapLoss, 0x41 maxAUSize, 0x42 avgAUSize, 0x43 maxAURate; 0x0C a
// predefined byte and the qualifiers.
class MP4QosDescriptorBase : public MP4Descriptor {
 public:
  explicit MP4QosDescriptorBase(uint8_t tag);
};

// A qualifier of any other tag: the body kept whole.
class MP4UnknownQosQualifier : public MP4Descriptor {
 public:
  MP4UnknownQosQualifier();
  void Read(MP4File* pFile) override;
};

// "qualifiers": tags 0x01 to 0xFF, neither mandatory nor limited to one; a
// zero tag byte ends it.
class MP4QosQualifierProperty : public MP4DescriptorProperty {
 public:
  MP4QosQualifierProperty() : MP4DescriptorProperty("qualifiers", 0x01, 0xFF, false, false) {}
  // Never NULL.
  MP4Descriptor* CreateDescriptor(uint8_t tag) override;
};
