#include "qosqualifiers.h"

#include "mp4file.h"

using namespace mp4field;

MP4QosDescriptorBase::MP4QosDescriptorBase(uint8_t tag) : MP4Descriptor(tag) {
  switch (tag) {
    case 0x01: AddFields({U32("maxDelay")}); break;
    case 0x02: AddFields({U32("prefMaxDelay")}); break;
    case 0x03: AddProperty(new MP4Float32Property("lossProb")); break;
    case 0x04: AddFields({U32("maxGapLoss")}); break;
    case 0x0C:
      AddFields({U8("predefined")});
      AddProperty(new MP4QosQualifierProperty());
      break;
    case 0x41: AddFields({U32("maxAUSize")}); break;
    case 0x42: AddFields({U32("avgAUSize")}); break;
    case 0x43: AddFields({U32("maxAURate")}); break;
    default: break;
  }
}

MP4UnknownQosQualifier::MP4UnknownQosQualifier() : MP4Descriptor(0) { AddFields({Bytes("data", 0)}); }

void MP4UnknownQosQualifier::Read(MP4File* pFile) {
  ReadWithBytesToBody(pFile, 0, 0);
}

MP4Descriptor* MP4QosQualifierProperty::CreateDescriptor(uint8_t tag) {
  if ((tag >= 0x01 && tag <= 0x04) || (tag >= 0x41 && tag <= 0x43)) return new MP4QosDescriptorBase(tag);
  MP4Descriptor* d = new MP4UnknownQosQualifier();
  d->SetTag(tag);
  return d;
}
