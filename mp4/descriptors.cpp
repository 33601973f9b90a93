#include "descriptors.h"

#include <cstdarg>
#include <cstdio>

#include "mp4atom.h"
#include "mp4file.h"
#include "ocidescriptors.h"
#include "qosqualifiers.h"

using namespace mp4field;

void MP4Printf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vfprintf(stdout, format, ap);
  va_end(ap);
}

namespace {

// The tag ranges of the lists inside descriptors.
constexpr uint8_t kESIDIncTag = 0x0E;
constexpr uint8_t kESIDRefTag = 0x0F;
constexpr uint8_t kOCIFirstTag = 0x40, kOCILastTag = 0x5F;
constexpr uint8_t kIPMPPtrTag = 0x0A;
constexpr uint8_t kExtFirstTag = 0x80, kExtLastTag = 0xFE;

}  // namespace

// ---------------------------------------------------------------- object descriptors

MP4IODescriptor::MP4IODescriptor() : MP4Descriptor(0x10) {
  AddFields({Bits("objectDescriptorId", 10), Bits("URLFlag", 1),
             Bits("includeInlineProfileLevelFlag", 1), Bits("reserved", 4), Counted("URL"),
             U8("ODProfileLevelId"), U8("sceneProfileLevelId"), U8("audioProfileLevelId"),
             U8("visualProfileLevelId"), U8("graphicsProfileLevelId"),
             Descriptors("esIds", kESIDIncTag, 0, true, false),
             Descriptors("ociDescr", kOCIFirstTag, kOCILastTag, false, false),
             Descriptors("ipmpDescrPtr", kIPMPPtrTag, 0, false, false),
             Descriptors("extDescr", kExtFirstTag, kExtLastTag, false, false)});
  m_preMutateCount = 2;
}

void MP4IODescriptor::Generate() {
  IntegerAt(0)->SetValue(1);
  IntegerAt(3)->SetValue(0xF);
  for (uint32_t i = 5; i <= 9; i++) IntegerAt(i)->SetValue(0xFF);
}

void MP4IODescriptor::Mutate() {
  const bool url = IntegerAt(1)->GetValue() != 0;
  SetImplicitAt(4, !url);
  for (uint32_t i = 5; i <= 12; i++) SetImplicitAt(i, url);
}

MP4ODescriptor::MP4ODescriptor() : MP4Descriptor(0x11) {
  AddFields({Bits("objectDescriptorId", 10), Bits("URLFlag", 1), Bits("reserved", 5),
             Counted("URL"), Descriptors("esIds", kESIDRefTag, 0, true, false),
             Descriptors("ociDescr", kOCIFirstTag, kOCILastTag, false, false),
             Descriptors("ipmpDescrPtr", kIPMPPtrTag, 0, false, false),
             Descriptors("extDescr", kExtFirstTag, kExtLastTag, false, false)});
  m_preMutateCount = 2;
}

void MP4ODescriptor::Generate() { IntegerAt(2)->SetValue(0x1F); }

void MP4ODescriptor::Mutate() {
  const bool url = IntegerAt(1)->GetValue() != 0;
  SetImplicitAt(3, !url);
  for (uint32_t i = 4; i <= 6; i++) SetImplicitAt(i, url);
}

// ---------------------------------------------------------------- ES descriptor

MP4ESDescriptor::MP4ESDescriptor() : MP4Descriptor(0x03) {
  AddFields({U16("ESID"), Bits("streamDependenceFlag", 1), Bits("URLFlag", 1),
             Bits("OCRstreamFlag", 1), Bits("streamPriority", 5), U16("dependsOnESID"),
             Counted("URL"), U16("OCRESID"), Descriptors("decConfigDescr", 0x04, 0, true, true),
             Descriptors("slConfigDescr", 0x06, 0, true, true),
             Descriptors("ipiPtr", 0x09, 0, false, true),
             Descriptors("ipIds", 0x07, 0x08, false, false),
             Descriptors("ipmpDescrPtr", kIPMPPtrTag, 0, false, false),
             Descriptors("langDescr", 0x43, 0, false, false),
             Descriptors("qosDescr", 0x0C, 0, false, true),
             Descriptors("regDescr", 0x0D, 0, false, true),
             Descriptors("extDescr", kExtFirstTag, kExtLastTag, false, false)});
  m_preMutateCount = 5;
}

void MP4ESDescriptor::Mutate() {
  SetImplicitAt(5, IntegerAt(1)->GetValue() == 0);
  SetImplicitAt(6, IntegerAt(2)->GetValue() == 0);
  SetImplicitAt(7, IntegerAt(3)->GetValue() == 0);
}

MP4DecConfigDescriptor::MP4DecConfigDescriptor() : MP4Descriptor(0x04) {
  AddFields({U8("objectTypeId"), Bits("streamType", 6), Bits("upStream", 1), Bits("reserved", 1),
             Bits("bufferSizeDB", 24), U32("maxBitrate"), U32("avgBitrate"),
             Descriptors("decSpecificInfo", 0x05, 0, false, true),
             Descriptors("profileLevelIndicationIndexDescr", 0x13, 0, false, false)});
}

void MP4DecConfigDescriptor::Generate() { IntegerAt(3)->SetValue(1); }

// ---------------------------------------------------------------- SL configuration

namespace {

// Positions in the SL configuration's property list.
enum SLField : uint32_t {
  kPredefined = 0,
  kUseTimeStampsFlag = 6,
  kDurationFlag = 8,
  kTimeStampResolution = 9,
  kTimeStampLength = 11,
  kReserved = 18,
  kTimeScale = 19,
  kCompositionUnitDuration = 21,
  kStartDecodingTimeStamp = 22,
  kStartCompositionTimeStamp = 23,
};

}  // namespace

MP4SLConfigDescriptor::MP4SLConfigDescriptor() : MP4Descriptor(0x06) {
  AddFields({U8("predefined"), Bits("useAccessUnitStartFlag", 1), Bits("useAccessUnitEndFlag", 1),
             Bits("useRandomAccessPointFlag", 1), Bits("hasRandomAccessUnitsOnlyFlag", 1),
             Bits("usePaddingFlag", 1), Bits("useTimeStampsFlag", 1), Bits("useIdleFlag", 1),
             Bits("durationFlag", 1), U32("timeStampResolution"), U32("OCRResolution"),
             U8("timeStampLength"), U8("OCRLength"), U8("AULength"), U8("instantBitrateLength"),
             Bits("degradationPriortyLength", 4), Bits("AUSeqNumLength", 5),
             Bits("packetSeqNumLength", 5), Bits("reserved", 2), U32("timeScale"),
             U16("accessUnitDuration"), U16("compositionUnitDuration"),
             Bits("startDecodingTimeStamp", 64), Bits("startCompositionTimeStamp", 64)});
}

void MP4SLConfigDescriptor::Generate() {
  IntegerAt(kPredefined)->SetValue(2);
  IntegerAt(kUseTimeStampsFlag)->SetValue(1);
  IntegerAt(kReserved)->SetValue(3);
}

void MP4SLConfigDescriptor::Read(MP4File* pFile) {
  ReadHeader(pFile);
  ReadProperties(pFile, kPredefined, 1);
  if (IntegerAt(kPredefined)->GetValue() == 0) ReadProperties(pFile, 1, kReserved);
  Mutate();
  ReadProperties(pFile, kTimeScale);
  // Time stamps of an odd length end inside a byte. Its other bits belong
  // to nothing: dropped here, they cannot leak into the bit fields of the
  // descriptor that follows.
  pFile->FlushReadBits();
}

void MP4SLConfigDescriptor::Mutate() {
  const uint64_t predefined = IntegerAt(kPredefined)->GetValue();
  if (predefined != 0) {
    for (uint32_t i = 1; i <= kStartCompositionTimeStamp; i++) SetImplicitAt(i, true);
    if (predefined == 1) {
      IntegerAt(kUseTimeStampsFlag)->SetValue(0);
      IntegerAt(kTimeStampResolution)->SetValue(1000);
      IntegerAt(kTimeStampLength)->SetValue(32);
    } else if (predefined == 2) {
      IntegerAt(kUseTimeStampsFlag)->SetValue(1);
    }
  } else {
    for (uint32_t i = 1; i <= kReserved; i++) SetImplicitAt(i, false);
    IntegerAt(kReserved)->SetValue(3);
  }
  const bool duration = IntegerAt(kDurationFlag)->GetValue() != 0;
  for (uint32_t i = kTimeScale; i <= kCompositionUnitDuration; i++) SetImplicitAt(i, !duration);
  const bool timeStamps = IntegerAt(kUseTimeStampsFlag)->GetValue() != 0;
  const uint64_t length = IntegerAt(kTimeStampLength)->GetValue();
  for (uint32_t i = kStartDecodingTimeStamp; i <= kStartCompositionTimeStamp; i++) {
    MP4BitfieldProperty* ts = static_cast<MP4BitfieldProperty*>(m_pProperties[i]);
    if (length) ts->SetNumBits(static_cast<uint8_t>(length > 64 ? 64 : length));
    ts->SetImplicit(timeStamps || length == 0);
  }
}

// ---------------------------------------------------------------- content identification

MP4ContentIdDescriptor::MP4ContentIdDescriptor() : MP4Descriptor(0x07) {
  AddFields({Bits("compatibility", 2), Bits("contentTypeFlag", 1), Bits("contentIdFlag", 1),
             Bits("protectedContent", 1), Bits("reserved", 3), U8("contentType"),
             U8("contentIdType"), Bytes("contentId", 0)});
}

namespace {

// The body's bytes between the position and its end, within what the file
// and the atom still hold.
uint64_t BodyLeft(MP4File* pFile, MP4Atom* pAtom, uint64_t bodyEnd) {
  const uint64_t pos = pFile->GetPosition();
  const uint64_t inBody = bodyEnd > pos ? bodyEnd - pos : 0;
  const uint64_t left = MP4GetBytesLeft(pFile, pAtom);
  return inBody < left ? inBody : left;
}

}  // namespace

void MP4ContentIdDescriptor::Read(MP4File* pFile) {
  ReadHeader(pFile);
  ReadProperties(pFile, 0, 1);
  if (IntegerAt(0)->GetValue() != 0) {
    if (pFile->GetVerbosity() & MP4_VERB_READ) zprintf("incompatible content id descriptor\n");
    // Nothing of this body is understood: the list goes on after it.
    pFile->FlushReadBits();
    pFile->SetPosition(pFile->GetPosition() + BodyLeft(pFile, m_pParentAtom, m_start + m_size));
    return;
  }
  ReadProperties(pFile, 1, 4);
  Mutate();
  if (IntegerAt(2)->GetValue() != 0) SizeBytesToBody(pFile, 7, IntegerAt(1)->GetValue() ? 3 : 2);
  ReadProperties(pFile, 5);
}

void MP4ContentIdDescriptor::Mutate() {
  SetImplicitAt(5, IntegerAt(1)->GetValue() == 0);
  const bool id = IntegerAt(2)->GetValue() != 0;
  SetImplicitAt(6, !id);
  SetImplicitAt(7, !id);
}

// ---------------------------------------------------------------- byte strings and small ones

MP4BytesDescriptor::MP4BytesDescriptor(uint8_t tag) : MP4Descriptor(tag) {
  if (tag == 0x05) {
    AddFields({Bytes("info", 0)});
  } else if (tag == 0x0B) {
    AddFields({U8("IPMPDescriptorId"), U16("IPMPSType"), Bytes("IPMPData", 0)});
    m_fixedHeadSize = 3;
    m_bytesPropertyIndex = 2;
  } else if (tag == 0x0D) {
    AddFields({U32("formatIdentifier"), Bytes("additionalIdentificationInfo", 0)});
    m_fixedHeadSize = 4;
    m_bytesPropertyIndex = 1;
  } else if (tag >= 0x80 && tag <= 0xFE) {
    AddFields({Bytes("data", 0)});
  } else {
    MP4Printf("error in bytes descriptor - tag %u", tag);
  }
}

void MP4BytesDescriptor::Read(MP4File* pFile) {
  if (m_pProperties.Size() == 0) {
    ReadHeader(pFile);
    return;
  }
  ReadWithBytesToBody(pFile, m_bytesPropertyIndex, m_fixedHeadSize);
}

MP4BaseDescriptor::MP4BaseDescriptor(uint8_t tag) : MP4Descriptor(tag) {
  switch (tag) {
    case 0x08:
      AddFields({Bytes("languageCode", 3), Counted("title"), Counted("value")});
      break;
    case 0x09: AddFields({U16("IPIESId")}); break;
    case 0x0A: AddFields({U8("IPMPDescriptorId")}); break;
    case 0x0E: AddFields({U32("id")}); break;
    case 0x0F: AddFields({U16("refIndex")}); break;
    case 0x13:
      AddFields({U8("profileLevelIndicationIndex"), U8("ODProfileLevelIndication"),
                 U8("sceneProfileLevelIndication"), U8("audioProfileLevelIndication"),
                 U8("visualProfileLevelIndication"), U8("graphicsProfileLevelIndication"),
                 U8("MPEGJProfileLevelIndication")});
      break;
    default: MP4Printf("error in base descriptor - tag %u", tag); break;
  }
}

// ---------------------------------------------------------------- factory

MP4Descriptor* MP4DescriptorProperty::CreateDescriptor(uint8_t tag) {
  MP4Descriptor* d = nullptr;
  switch (tag) {
    case 0x01:
    case 0x11:
      d = new MP4ODescriptor();
      d->SetTag(tag);
      return d;
    case 0x02:
    case 0x10:
      d = new MP4IODescriptor();
      d->SetTag(tag);
      return d;
    case 0x03: return new MP4ESDescriptor();
    case 0x04: return new MP4DecConfigDescriptor();
    case 0x05:
    case 0x0B:
    case 0x0D: return new MP4BytesDescriptor(tag);
    case 0x0C: return new MP4QosDescriptorBase(0x0C);
    case 0x06: return new MP4SLConfigDescriptor();
    case 0x07: return new MP4ContentIdDescriptor();
    case 0x08:
    case 0x09:
    case 0x0A:
    case 0x0E:
    case 0x0F:
    case 0x13: return new MP4BaseDescriptor(tag);
  }
  if (tag >= 0x40 && tag <= 0x5F) return CreateOCIDescriptor(tag);
  if (tag >= 0x80 && tag <= 0xFE) return new MP4BytesDescriptor(tag);
  return nullptr;
}
