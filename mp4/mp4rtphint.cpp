#include "mp4rtphint.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mp4atom.h"
#include "mp4file.h"

using namespace mp4field;

namespace {

// A bytes field of exactly size bytes, zero-filled.
void AddFixedBytes(MP4Container& c, const char* name, uint32_t size) {
  std::unique_ptr<MP4BytesProperty> p(new MP4BytesProperty(name, size));
  p->SetFixedSize(size);
  c.AddProperty(p.release());
}

MP4IntegerProperty* FindInteger(MP4Atom& atom, const char* path) {
  MP4Property* p = nullptr;
  if (!atom.FindProperty(path, &p) || !p || p->GetType() > Integer64Property) return nullptr;
  return static_cast<MP4IntegerProperty*>(p);
}

void Increase(MP4IntegerProperty* p, uint64_t value) {
  if (p) p->SetValue(p->GetValue() + value);
}

void Raise(MP4IntegerProperty* p, uint64_t value) {
  if (p && value > p->GetValue()) p->SetValue(value);
}

// The records below a hint or packet, each headed by its kind and number
// and indented one further.
template <class T>
void DumpRecords(FILE* pFile, uint8_t indent, bool dumpImplicits, const char* kind, MP4Array<T*>& records) {
  for (uint32_t i = 0; i < records.Size(); i++) {
    fprintf(pFile, "%*c", indent, ' ');
    fprintf(pFile, "%s: %u\n", kind, i);
    records[i]->Dump(pFile, static_cast<uint8_t>(indent + 1), dumpImplicits);
  }
}

char* CopyText(const char* begin, size_t length) {
  char* s = static_cast<char*>(MP4Calloc(length + 1));
  memcpy(s, begin, length);
  return s;
}

}  // namespace

// ---------------------------------------------------------------- data entries

MP4RtpData::MP4RtpData(MP4RtpPacket* pPacket) : m_pPacket(pPacket) { AddFields({U8("type")}); }

MP4Track* MP4RtpData::FindTrackFromRefIndex(uint8_t refIndex) {
  MP4RtpHintTrack* hintTrack = m_pPacket->GetHint()->GetTrack();
  if (refIndex == 0xFF) return hintTrack;
  if (refIndex == 0) return hintTrack->GetRefTrack();
  MP4Property* p = nullptr;
  MP4_ASSERT_AS(hintTrack->GetTrakAtom().FindProperty("trak.tref.hint.entries.trackId", &p) && p &&
                    p->GetType() <= Integer64Property,
                "(pTrackIdProperty)");
  const uint64_t id = static_cast<MP4IntegerProperty*>(p)->GetValue(refIndex - 1u);
  return hintTrack->GetFile().GetTrack(static_cast<uint32_t>(id));
}

MP4RtpNullData::MP4RtpNullData(MP4RtpPacket* pPacket) : MP4RtpData(pPacket) {
  SetIntegerProperty("type", 0);
  AddFixedBytes(*this, "pad", 15);
}

MP4RtpImmediateData::MP4RtpImmediateData(MP4RtpPacket* pPacket) : MP4RtpData(pPacket) {
  SetIntegerProperty("type", 1);
  AddFields({U8("count")});
  AddFixedBytes(*this, "data", 14);
}

void MP4RtpImmediateData::Set(const uint8_t* pBytes, uint8_t numBytes) {
  SetIntegerProperty("count", numBytes);
  SetBytesProperty("data", pBytes, numBytes);
}

uint16_t MP4RtpImmediateData::GetDataSize() {
  // A count read from a file may claim more than the entry's 14 bytes.
  const uint64_t count = GetIntegerProperty("count");
  return static_cast<uint16_t>(count < 14 ? count : 14);
}

void MP4RtpImmediateData::GetData(uint8_t* pDest) {
  const uint16_t size = GetDataSize();
  MP4BytesProperty* data = static_cast<MP4BytesProperty*>(m_pProperties[2]);
  if (size && data->GetValuePointer()) memcpy(pDest, data->GetValuePointer(), size);
}

MP4RtpSampleData::MP4RtpSampleData(MP4RtpPacket* pPacket) : MP4RtpData(pPacket) {
  SetIntegerProperty("type", 2);
  AddFields({U8("trackRefIndex"), U16("length"), U32("sampleNumber"), U32("sampleOffset"), U16("bytesPerBlock"),
             U16("samplesPerBlock")});
  SetIntegerProperty("bytesPerBlock", 1);
  SetIntegerProperty("samplesPerBlock", 1);
}

MP4RtpSampleData::~MP4RtpSampleData() { MP4Free(m_pEmbeddedData); }

void MP4RtpSampleData::SetReferenceSample(uint32_t refSampleId, uint32_t refSampleOffset, uint16_t length) {
  SetIntegerProperty("trackRefIndex", 0);
  SetIntegerProperty("length", length);
  SetIntegerProperty("sampleNumber", refSampleId);
  SetIntegerProperty("sampleOffset", refSampleOffset);
}

void MP4RtpSampleData::SetEmbeddedImmediate(uint32_t sampleId, uint8_t* pData, uint16_t length) {
  MP4Free(m_pEmbeddedData);
  m_pEmbeddedData = pData;
  SetIntegerProperty("trackRefIndex", 0xFF);
  SetIntegerProperty("length", length);
  SetIntegerProperty("sampleNumber", sampleId);
  SetIntegerProperty("sampleOffset", 0);
}

uint16_t MP4RtpSampleData::GetDataSize() { return static_cast<uint16_t>(GetIntegerProperty("length")); }

bool MP4RtpSampleData::GetSampleSource(MP4Track** ppTrack, uint32_t* pSampleId, uint32_t* pOffset) {
  const uint8_t refIndex = static_cast<uint8_t>(GetIntegerProperty("trackRefIndex"));
  // A hint still being built holds its embedded bytes itself.
  if (refIndex == 0xFF && m_pEmbeddedData) return false;
  *ppTrack = FindTrackFromRefIndex(refIndex);
  *pSampleId = static_cast<uint32_t>(GetIntegerProperty("sampleNumber"));
  *pOffset = static_cast<uint32_t>(GetIntegerProperty("sampleOffset"));
  return true;
}

void MP4RtpSampleData::GetData(uint8_t* pDest) {
  const uint16_t length = GetDataSize();
  MP4Track* track = nullptr;
  uint32_t sampleId = 0, offset = 0;
  if (GetSampleSource(&track, &sampleId, &offset))
    track->ReadSampleFragment(sampleId, offset, length, pDest);
  else if (length)
    memcpy(pDest, m_pEmbeddedData, length);
}

void MP4RtpSampleData::WriteEmbeddedData(MP4File* pFile, uint64_t startPos) {
  if (GetIntegerProperty("trackRefIndex") != 0xFF) return;
  const uint64_t offset = pFile->GetPosition() - startPos;
  MP4_ASSERT(offset <= 0xFFFFFFFF);
  SetIntegerProperty("sampleOffset", offset);
  if (m_pEmbeddedData) pFile->WriteBytes(m_pEmbeddedData, GetDataSize());
}

MP4RtpSampleDescriptionData::MP4RtpSampleDescriptionData(MP4RtpPacket* pPacket) : MP4RtpData(pPacket) {
  SetIntegerProperty("type", 3);
  AddFields({U8("trackRefIndex"), U16("length"), U32("sampleDescriptionIndex"), U32("sampleDescriptionOffset"),
             U32("reserved")});
}

void MP4RtpSampleDescriptionData::Set(uint32_t sampleDescrIndex, uint32_t offset, uint16_t length) {
  SetIntegerProperty("length", length);
  SetIntegerProperty("sampleDescriptionIndex", sampleDescrIndex);
  SetIntegerProperty("sampleDescriptionOffset", offset);
}

uint16_t MP4RtpSampleDescriptionData::GetDataSize() {
  return static_cast<uint16_t>(GetIntegerProperty("length"));
}

void MP4RtpSampleDescriptionData::GetData(uint8_t* pDest) {
  MP4Track* track = FindTrackFromRefIndex(static_cast<uint8_t>(GetIntegerProperty("trackRefIndex")));
  char path[64];
  snprintf(path, sizeof path, "trak.mdia.minf.stbl.stsd.*[%u]",
           static_cast<unsigned>(GetIntegerProperty("sampleDescriptionIndex")));
  MP4Atom* entry = track->GetTrakAtom().FindAtom(path);
  if (!entry) throw MP4Error("invalid sample description index", "MP4RtpSampleDescriptionData::GetData");
  const uint16_t length = GetDataSize();
  const uint64_t offset = GetIntegerProperty("sampleDescriptionOffset");
  if (offset + length > entry->GetSize())
    throw MP4Error("offset and/or length are too large", "MP4RtpSampleDescriptionData::GetData");
  MP4File& file = track->GetFile();
  const uint64_t oldPosition = file.GetPosition();
  try {
    file.SetPosition(entry->GetStart() + offset);
    file.ReadBytes(pDest, length);
  } catch (...) {
    file.SetPosition(oldPosition);
    throw;
  }
  file.SetPosition(oldPosition);
}

// ---------------------------------------------------------------- packets

namespace {
// Places in the packet's field list.
enum : uint32_t { kExtraFlag = 9, kFixedFields = 13 };
}  // namespace

MP4RtpPacket::MP4RtpPacket(MP4RtpHint* pHint) : m_pHint(pHint) {
  AddFields({U32("relativeXmitTime"), Bits("reserved1", 2), Bits("Pbit", 1), Bits("Xbit", 1), Bits("reserved2", 4),
             Bits("Mbit", 1), Bits("payloadType", 7), U16("sequenceNumber"), Bits("reserved3", 13),
             Bits("extraFlag", 1), Bits("bFrameFlag", 1), Bits("repeatFlag", 1), U16("entryCount")});
}

MP4RtpPacket::~MP4RtpPacket() {
  for (uint32_t i = 0; i < m_rtpData.Size(); i++) delete m_rtpData[i];
}

void MP4RtpPacket::AddExtraProperties() {
  AddFields({U32("extraInformationLength"), U32("tlvLength"), FixedStr("tlvType", 4), U32("timestampOffset")});
  SetIntegerProperty("extraInformationLength", 16);
  SetIntegerProperty("tlvLength", 12);
  SetStringProperty("tlvType", "rtpo");
}

void MP4RtpPacket::Set(uint8_t payloadNumber, uint32_t sequenceNumber, bool setMbit) {
  SetIntegerProperty("Mbit", setMbit);
  SetIntegerProperty("payloadType", payloadNumber & 0x7F);
  SetIntegerProperty("sequenceNumber", sequenceNumber & 0xFFFF);
}

int32_t MP4RtpPacket::GetTransmitOffset() {
  return static_cast<int32_t>(static_cast<uint32_t>(GetIntegerProperty("relativeXmitTime")));
}

void MP4RtpPacket::SetTransmitOffset(int32_t transmitOffset) {
  SetIntegerProperty("relativeXmitTime", static_cast<uint32_t>(transmitOffset));
}

bool MP4RtpPacket::GetPBit() { return GetIntegerProperty("Pbit") != 0; }
bool MP4RtpPacket::GetXBit() { return GetIntegerProperty("Xbit") != 0; }
bool MP4RtpPacket::GetMBit() { return GetIntegerProperty("Mbit") != 0; }
uint8_t MP4RtpPacket::GetPayload() { return static_cast<uint8_t>(GetIntegerProperty("payloadType")); }
uint16_t MP4RtpPacket::GetSequenceNumber() { return static_cast<uint16_t>(GetIntegerProperty("sequenceNumber")); }
bool MP4RtpPacket::IsBFrame() { return GetIntegerProperty("bFrameFlag") != 0; }
void MP4RtpPacket::SetBFrame(bool isBFrame) { SetIntegerProperty("bFrameFlag", isBFrame); }

void MP4RtpPacket::SetTimestampOffset(uint32_t timestampOffset) {
  if (timestampOffset == 0) return;
  MP4_ASSERT_AS(static_cast<MP4BitfieldProperty*>(m_pProperties[kExtraFlag])->GetValue() == 0,
                "(((MP4BitfieldProperty*)m_pProperties[9])->GetValue() == 0)");
  SetIntegerProperty("extraFlag", 1);
  AddExtraProperties();
  SetIntegerProperty("timestampOffset", timestampOffset);
}

int32_t MP4RtpPacket::GetTimestampOffset() {
  // The field exists only with the extra block; a block without an "rtpo"
  // entry keeps its default of 0.
  if (!GetIntegerProperty("extraFlag")) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(GetIntegerProperty("timestampOffset")));
}

void MP4RtpPacket::AddData(MP4RtpData* pData) {
  // The entry count has 16 bits: one more entry would be written as none.
  if (m_rtpData.Size() >= 0xFFFF) {
    delete pData;
    throw MP4Error("packet already holds 65535 data entries", "MP4RtpPacket::AddData");
  }
  MP4AddOwned(m_rtpData, pData);
  SetIntegerProperty("entryCount", GetIntegerProperty("entryCount") + 1);
}

uint32_t MP4RtpPacket::GetDataSize() {
  // At most 65535 entries of at most 65535 bytes: the sum fits 32 bits.
  uint32_t size = 0;
  for (uint32_t i = 0; i < m_rtpData.Size(); i++) size += m_rtpData[i]->GetDataSize();
  return size;
}

void MP4RtpPacket::GetData(uint8_t* pDest) {
  // Bytes of track samples are read in the order of track, sample and
  // offset, each entry's bytes only: however the entries alternate between
  // samples, the reads go forward through each sample and the file's read
  // buffer serves the neighbours of each.
  struct SampleRead {
    MP4Track* track;
    uint32_t sampleId, offset;
    uint16_t length;
    uint32_t at;  // in pDest
  };
  std::vector<SampleRead> reads;
  uint32_t at = 0;
  for (uint32_t i = 0; i < m_rtpData.Size(); i++) {
    MP4RtpData* data = m_rtpData[i];
    const uint16_t length = data->GetDataSize();
    SampleRead r{nullptr, 0, 0, length, at};
    if (data->GetSampleSource(&r.track, &r.sampleId, &r.offset))
      reads.push_back(r);
    else
      data->GetData(pDest + at);
    at += length;
  }
  std::stable_sort(reads.begin(), reads.end(), [](const SampleRead& a, const SampleRead& b) {
    if (a.track != b.track) return std::less<MP4Track*>()(a.track, b.track);
    return a.sampleId != b.sampleId ? a.sampleId < b.sampleId : a.offset < b.offset;
  });
  for (const SampleRead& r : reads) r.track->ReadSampleFragment(r.sampleId, r.offset, r.length, pDest + r.at);
}

void MP4RtpPacket::WriteEmbeddedData(MP4File* pFile, uint64_t startPos) {
  for (uint32_t i = 0; i < m_rtpData.Size(); i++) m_rtpData[i]->WriteEmbeddedData(pFile, startPos);
}

void MP4RtpPacket::Read(MP4File* pFile) {
  for (uint32_t i = 0; i < kFixedFields; i++) m_pProperties[i]->Read(pFile, 0);
  if (GetIntegerProperty("extraFlag")) ReadExtra(pFile);
  const uint32_t entryCount = static_cast<uint32_t>(GetIntegerProperty("entryCount"));
  for (uint32_t i = 0; i < entryCount; i++) {
    uint8_t type = 0;
    pFile->PeekBytes(&type, 1);
    MP4RtpData* data;
    switch (type) {
      case 0: data = new MP4RtpNullData(this); break;
      case 1: data = new MP4RtpImmediateData(this); break;
      case 2: data = new MP4RtpSampleData(this); break;
      case 3: data = new MP4RtpSampleDescriptionData(this); break;
      default: throw MP4Error("unknown packet data entry type", "MP4ReadHint");
    }
    MP4AddOwned(m_rtpData, data);
    data->Read(pFile);
  }
}

void MP4RtpPacket::ReadExtra(MP4File* pFile) {
  AddExtraProperties();
  const int32_t length = static_cast<int32_t>(pFile->ReadUInt32());
  if (length <= 3) throw MP4Error("bad packet extra info length", "MP4RtpPacket::ReadExtra");
  int64_t remaining = int64_t(length) - 4;
  while (remaining > 0) {
    const uint32_t tlvLength = pFile->ReadUInt32();
    char tlvType[5] = {};
    pFile->ReadBytes(reinterpret_cast<uint8_t*>(tlvType), 4);
    if (tlvLength < 8) throw MP4Error("bad packet extra info entry length", "MP4RtpPacket::ReadExtra");
    // An entry longer than its block is refused before the skip over it.
    if (tlvLength > remaining) throw MP4Error("invalid packet extra info length", "MP4RtpPacket::ReadExtra");
    if (tlvLength == 12 && memcmp(tlvType, "rtpo", 4) == 0)
      SetIntegerProperty("timestampOffset", pFile->ReadUInt32());
    else
      pFile->SetPosition(pFile->GetPosition() + (tlvLength - 8));
    remaining -= tlvLength;
  }
  if (remaining != 0) throw MP4Error("invalid packet extra info length", "MP4RtpPacket::ReadExtra");
}

void MP4RtpPacket::Write(MP4File* pFile) {
  MP4Container::Write(pFile);
  for (uint32_t i = 0; i < m_rtpData.Size(); i++) m_rtpData[i]->Write(pFile);
}

void MP4RtpPacket::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) {
  MP4Container::Dump(pFile, indent, dumpImplicits);
  DumpRecords(pFile, indent, dumpImplicits, "RtpData", m_rtpData);
}

// ---------------------------------------------------------------- hints

MP4RtpHint::MP4RtpHint(MP4RtpHintTrack* pTrack) : m_pTrack(pTrack) {
  AddFields({U16("packetCount"), U16("reserved")});
}

MP4RtpHint::~MP4RtpHint() {
  for (uint32_t i = 0; i < m_rtpPackets.Size(); i++) delete m_rtpPackets[i];
}

MP4RtpPacket* MP4RtpHint::AddPacket() {
  // The packet count has 16 bits: one more packet would be written as none.
  if (m_rtpPackets.Size() >= 0xFFFF) throw MP4Error("hint already holds 65535 packets", "MP4RtpHint::AddPacket");
  MP4RtpPacket* packet = new MP4RtpPacket(this);
  MP4AddOwned(m_rtpPackets, packet);
  SetIntegerProperty("packetCount", GetIntegerProperty("packetCount") + 1);
  packet->SetBFrame(m_isBFrame);
  packet->SetTimestampOffset(m_timestampOffset);
  return packet;
}

void MP4RtpHint::Read(MP4File* pFile) {
  MP4Container::Read(pFile);
  const uint32_t packetCount = static_cast<uint32_t>(GetIntegerProperty("packetCount"));
  for (uint32_t i = 0; i < packetCount; i++) {
    MP4RtpPacket* packet = new MP4RtpPacket(this);
    MP4AddOwned(m_rtpPackets, packet);
    packet->Read(pFile);
  }
  if ((pFile->GetVerbosity() & (MP4_VERB_READ | MP4_VERB_HINT)) == (MP4_VERB_READ | MP4_VERB_HINT)) {
    zprintf("ReadHint:\n");
    Dump(stdout, 10, false);
  }
}

void MP4RtpHint::Write(MP4File* pFile) {
  const uint64_t hintStart = pFile->GetPosition();
  MP4Container::Write(pFile);
  const uint64_t packetStart = pFile->GetPosition();
  for (uint32_t i = 0; i < m_rtpPackets.Size(); i++) m_rtpPackets[i]->Write(pFile);
  for (uint32_t i = 0; i < m_rtpPackets.Size(); i++) m_rtpPackets[i]->WriteEmbeddedData(pFile, hintStart);
  const uint64_t end = pFile->GetPosition();
  pFile->SetPosition(packetStart);
  for (uint32_t i = 0; i < m_rtpPackets.Size(); i++) m_rtpPackets[i]->Write(pFile);
  pFile->SetPosition(end);
  if ((pFile->GetVerbosity() & (MP4_VERB_WRITE | MP4_VERB_HINT)) == (MP4_VERB_WRITE | MP4_VERB_HINT)) {
    zprintf("WriteRtpHint:\n");
    Dump(stdout, 14, false);
  }
}

void MP4RtpHint::Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) {
  MP4Container::Dump(pFile, indent, dumpImplicits);
  DumpRecords(pFile, indent, dumpImplicits, "RtpPacket", m_rtpPackets);
}

// ---------------------------------------------------------------- the hint track

MP4RtpHintTrack::MP4RtpHintTrack(MP4File& file, MP4Atom& trakAtom) : MP4Track(file, trakAtom) {}

MP4RtpHintTrack::~MP4RtpHintTrack() {
  delete m_pReadHint;
  MP4Free(m_pReadHintSample);
  delete m_pWriteHint;
}

MP4Track* MP4RtpHintTrack::GetRefTrack() {
  InitRefTrack();
  return m_pRefTrack;
}

void MP4RtpHintTrack::InitRefTrack() {
  if (m_pRefTrack) return;
  MP4IntegerProperty* refTrackId = FindInteger(GetTrakAtom(), "trak.tref.hint.entries.trackId");
  MP4_ASSERT_AS(refTrackId, "(pRefTrackIdProperty)");
  m_pRefTrack = GetFile().GetTrack(static_cast<uint32_t>(refTrackId->GetValue(0)));
}

void MP4RtpHintTrack::InitRtpStart() {
  // Bound once, whichever operation bound the reference track first: a
  // track whose payload was asked for before its first hint still gets its
  // start values.
  if (m_rtpStartBound) return;
  m_rtpStartBound = true;
  // The same start values on every open of a file without stored ones.
  srand(0);
  // The offsets stand in the hint sample entry; older files of this
  // library kept them under the track's "hnti".
  MP4Atom& trak = GetTrakAtom();
  m_pSnroProperty = FindInteger(trak, "trak.udta.hnti.rtp .snro.offset");
  if (!m_pSnroProperty) m_pSnroProperty = FindInteger(trak, "trak.mdia.minf.stbl.stsd.rtp .snro.offset");
  m_rtpSequenceStart = m_pSnroProperty ? static_cast<uint32_t>(m_pSnroProperty->GetValue(0))
                                       : static_cast<uint32_t>(rand());
  if (!m_pTsroProperty) m_pTsroProperty = FindInteger(trak, "trak.udta.hnti.rtp .tsro.offset");
  if (!m_pTsroProperty) m_pTsroProperty = FindInteger(trak, "trak.mdia.minf.stbl.stsd.rtp .tsro.offset");
  m_rtpTimestampStart = m_pTsroProperty ? static_cast<uint32_t>(m_pTsroProperty->GetValue(0))
                                        : static_cast<uint32_t>(rand());
}

void MP4RtpHintTrack::InitPayload() {
  MP4Atom& trak = GetTrakAtom();
  if (!m_pRtpMapProperty) {
    MP4Property* p = nullptr;
    if (trak.FindProperty("trak.udta.hinf.payt.rtpMap", &p) && p && p->GetType() == StringProperty)
      m_pRtpMapProperty = static_cast<MP4StringProperty*>(p);
  }
  if (!m_pPayloadNumberProperty) m_pPayloadNumberProperty = FindInteger(trak, "trak.udta.hinf.payt.payloadNumber");
  if (!m_pMaxPacketSizeProperty)
    m_pMaxPacketSizeProperty = FindInteger(trak, "trak.mdia.minf.stbl.stsd.rtp .maxPacketSize");
}

void MP4RtpHintTrack::InitStats() {
  if (m_statsBound) return;
  MP4Atom* hinf = GetTrakAtom().FindAtom("trak.udta.hinf");
  MP4_ASSERT_AS(hinf, "(pHinfAtom)");
  static const char* const kHinf[] = {"hinf.trpy.bytes", "hinf.nump.packets", "hinf.tpyl.bytes",
                                      "hinf.maxr.bytes", "hinf.dmed.bytes",   "hinf.dimm.bytes",
                                      "hinf.pmax.bytes", "hinf.dmax.milliSecs"};
  for (int i = 0; i < 8; i++) m_stats[i] = FindInteger(*hinf, kHinf[i]);
  MP4Atom* hmhd = GetTrakAtom().FindAtom("trak.mdia.minf.hmhd");
  MP4_ASSERT_AS(hmhd, "(pHmhdAtom)");
  static const char* const kHmhd[] = {"hmhd.maxPduSize", "hmhd.avgPduSize", "hmhd.maxBitRate", "hmhd.avgBitRate"};
  for (int i = 0; i < 4; i++) m_stats[kMaxPdu + i] = FindInteger(*hmhd, kHmhd[i]);
  if (MP4IntegerProperty* granularity = FindInteger(*hinf, "hinf.maxr.granularity")) granularity->SetValue(1000);
  m_statsBound = true;
}

// ---- payload description

void MP4RtpHintTrack::GetPayload(char** ppPayloadName, uint8_t* pPayloadNumber, uint16_t* pMaxPayloadSize,
                                 char** ppEncodingParams) {
  InitPayload();
  if (ppPayloadName || ppEncodingParams) {
    if (ppPayloadName) *ppPayloadName = nullptr;
    if (ppEncodingParams) *ppEncodingParams = nullptr;
    const char* rtpMap = m_pRtpMapProperty ? m_pRtpMapProperty->GetValue() : nullptr;
    if (rtpMap) {
      const char* slash = strchr(rtpMap, '/');
      const size_t nameLength = slash ? size_t(slash - rtpMap) : strlen(rtpMap);
      if (ppPayloadName) *ppPayloadName = CopyText(rtpMap, nameLength);
      const char* second = slash ? strchr(slash + 1, '/') : nullptr;
      if (second && ppEncodingParams) {
        try {
          *ppEncodingParams = CopyText(second + 1, strlen(second + 1));
        } catch (...) {
          if (ppPayloadName) {
            MP4Free(*ppPayloadName);
            *ppPayloadName = nullptr;
          }
          throw;
        }
      }
    }
  }
  if (pPayloadNumber)
    *pPayloadNumber = m_pPayloadNumberProperty ? static_cast<uint8_t>(m_pPayloadNumberProperty->GetValue()) : 0;
  if (pMaxPayloadSize)
    *pMaxPayloadSize = m_pMaxPacketSizeProperty ? static_cast<uint16_t>(m_pMaxPacketSizeProperty->GetValue()) : 0;
}

void MP4RtpHintTrack::SetPayload(const char* payloadName, uint8_t payloadNumber, uint16_t maxPayloadSize,
                                 const char* encodingParams, bool includeRtpMap, bool includeMpeg4Esid) {
  InitRefTrack();
  InitPayload();
  MP4_ASSERT(m_pRtpMapProperty);
  MP4_ASSERT(m_pPayloadNumberProperty);
  MP4_ASSERT(m_pMaxPacketSizeProperty);
  if (!payloadName) payloadName = "";
  const bool withParams = encodingParams && *encodingParams;
  std::string rtpMap = payloadName;
  rtpMap += "/" + std::to_string(GetTimeScale());
  if (withParams) rtpMap += std::string("/") + encodingParams;
  m_pRtpMapProperty->SetValue(rtpMap.c_str());
  m_pPayloadNumberProperty->SetValue(payloadNumber);
  m_pMaxPacketSizeProperty->SetValue(maxPayloadSize ? maxPayloadSize : 1460);

  const char* type = m_pRefTrack->GetType();
  if (!type) type = "";
  const char* media = !strcmp(type, "soun")   ? "audio"
                      : !strcmp(type, "vide") ? "video"
                      : !strcmp(type, "cntl") ? "control"
                                              : "application";
  char line[128];
  snprintf(line, sizeof line, "m=%s 0 RTP/AVP %u\r\na=control:trackID=%u\r\n", media, payloadNumber, GetId());
  std::string sdp = line;
  if (includeRtpMap) sdp += "a=rtpmap:" + std::to_string(payloadNumber) + " " + rtpMap + "\r\n";
  if (includeMpeg4Esid) sdp += "a=mpeg4-esid:" + std::to_string(m_pRefTrack->GetId()) + "\r\n";
  MP4Property* p = nullptr;
  MP4_ASSERT_AS(GetTrakAtom().FindProperty("trak.udta.hnti.sdp .sdpText", &p) && p && p->GetType() == StringProperty,
                "(pSdpProperty)");
  static_cast<MP4StringProperty*>(p)->SetValue(sdp.c_str());
}

// ---- reading

void MP4RtpHintTrack::ReadHint(uint32_t hintSampleId, uint16_t* pNumPackets) {
  InitRefTrack();
  InitRtpStart();
  delete m_pReadHint;
  m_pReadHint = nullptr;
  MP4Free(m_pReadHintSample);
  m_pReadHintSample = nullptr;
  m_readHintSampleSize = 0;

  ReadSample(hintSampleId, &m_pReadHintSample, &m_readHintSampleSize, &m_readHintTimestamp);
  m_pReadHint = new MP4RtpHint(this);
  ParseHint(*m_pReadHint, m_pReadHintSample, m_readHintSampleSize);
  if (pNumPackets) *pNumPackets = GetHintNumberOfPackets();
}

void MP4RtpHintTrack::ParseHint(MP4RtpHint& hint, uint8_t* pSample, uint32_t sampleSize) {
  // An empty sample reads from an empty buffer (a NULL one would make the
  // file lend itself a fresh one): its first field is already past the end.
  static uint8_t empty;
  MP4File& file = GetFile();
  file.EnableMemoryBuffer(pSample ? pSample : &empty, sampleSize);
  try {
    hint.Read(&file);
  } catch (...) {
    file.DisableMemoryBuffer();
    throw;
  }
  file.DisableMemoryBuffer();
}

uint32_t MP4RtpHintTrack::NextSequenceNumber() {
  // Walked back over hints without packets to the last packet written.
  for (uint32_t id = GetNumberOfSamples(); id > 0; id--) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    MP4RtpHint hint(this);
    try {
      ReadSample(id, &bytes, &size);
      std::unique_ptr<uint8_t, void (*)(void*)> owned(bytes, MP4Free);
      ParseHint(hint, bytes, size);
    } catch (const MP4Error&) {
      // Numbers guessed past an unreadable hint could repeat its own.
      throw MP4Error("hint %u cannot be read to go on after its sequence numbers", "MP4AddRtpHint", id);
    }
    if (const uint16_t packets = hint.GetNumberOfPackets())
      return hint.GetPacket(static_cast<uint16_t>(packets - 1))->GetSequenceNumber() + 1u;
  }
  return 0;
}

uint16_t MP4RtpHintTrack::GetHintNumberOfPackets() {
  if (!m_pReadHint) throw MP4Error("no hint has been read", "MP4GetRtpHintNumberOfPackets");
  return m_pReadHint->GetNumberOfPackets();
}

bool MP4RtpHintTrack::GetPacketBFrame(uint16_t packetIndex) {
  if (!m_pReadHint) throw MP4Error("no hint has been read", "MP4GetRtpPacketBFrame");
  return m_pReadHint->GetPacket(packetIndex)->IsBFrame();
}

int32_t MP4RtpHintTrack::GetPacketTransmitOffset(uint16_t packetIndex) {
  if (!m_pReadHint) throw MP4Error("no hint has been read", "MP4GetRtpPacketTransmitOffset");
  return m_pReadHint->GetPacket(packetIndex)->GetTransmitOffset();
}

void MP4RtpHintTrack::ReadPacket(uint16_t packetIndex, uint8_t** ppBytes, uint32_t* pNumBytes, uint32_t ssrc,
                                 bool includeHeader, bool includePayload) {
  if (!m_pReadHint) throw MP4Error("no hint has been read", "MP4ReadRtpPacket");
  if (!includeHeader && !includePayload) throw MP4Error("no data requested", "MP4ReadRtpPacket");
  MP4_ASSERT(ppBytes);
  MP4_ASSERT(pNumBytes);
  MP4RtpPacket* packet = m_pReadHint->GetPacket(packetIndex);
  const uint32_t payloadSize = includePayload ? packet->GetDataSize() : 0;
  // No RTP packet is larger than a datagram; a hint that adds up to more
  // (thousands of references to one sample) is damaged, and must not size
  // an allocation of gigabytes.
  if (payloadSize > 0xFFFF)
    throw MP4Error("packet payload of %u bytes is larger than RTP allows", "MP4ReadRtpPacket", payloadSize);
  const uint32_t size = (includeHeader ? 12 : 0) + payloadSize;
  if (*ppBytes && *pNumBytes < size)
    throw MP4Error("packet of %u bytes does not fit a buffer of %u", "MP4ReadRtpPacket", size, *pNumBytes);
  *pNumBytes = size;
  std::unique_ptr<uint8_t, void (*)(void*)> allocated(nullptr, MP4Free);
  if (!*ppBytes) {
    allocated.reset(static_cast<uint8_t*>(MP4Malloc(size)));
    *ppBytes = allocated.get();
  }
  try {
    uint8_t* p = *ppBytes;
    if (includeHeader) {
      const uint16_t sequence = static_cast<uint16_t>(m_rtpSequenceStart + packet->GetSequenceNumber());
      // A packet sent before its picture is presented (a B picture placed at
      // its send time) carries the difference in its offset, which may be
      // negative: added modulo 2^32 either way.
      const uint32_t timestamp = static_cast<uint32_t>(m_rtpTimestampStart + m_readHintTimestamp +
                                                       static_cast<uint32_t>(packet->GetTimestampOffset()));
      p[0] = static_cast<uint8_t>(0x80 | (packet->GetPBit() << 5) | (packet->GetXBit() << 4));
      p[1] = static_cast<uint8_t>((packet->GetMBit() << 7) | (packet->GetPayload() & 0x7F));
      p[2] = static_cast<uint8_t>(sequence >> 8);
      p[3] = static_cast<uint8_t>(sequence);
      for (int i = 0; i < 4; i++) {
        p[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        p[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
      }
      p += 12;
    }
    if (includePayload) packet->GetData(p);
  } catch (...) {
    if (allocated) *ppBytes = nullptr;
    throw;
  }
  allocated.release();
  if ((GetFile().GetVerbosity() & (MP4_VERB_READ | MP4_VERB_HINT)) == (MP4_VERB_READ | MP4_VERB_HINT)) {
    zprintf("ReadPacket: %u ", packetIndex);
    MP4HexDump(*ppBytes, size, stdout, 0);
  }
}

uint32_t MP4RtpHintTrack::GetRtpTimestampStart() {
  InitRefTrack();
  InitRtpStart();
  return m_rtpTimestampStart;
}

void MP4RtpHintTrack::SetRtpTimestampStart(uint64_t start) {
  if (!m_pTsroProperty) {
    // In the hint sample entry, where it is read back: under "hnti" the
    // "rtp " box holds text to its end, and a box after the text would
    // become part of it.
    MP4Atom* entry = GetTrakAtom().FindAtom("trak.mdia.minf.stbl.stsd.rtp ");
    MP4Atom* tsro = entry && entry->GetNumberOfProperties() > 0
                        ? GetFile().AddDescendantAtoms(entry, "tsro")
                        : GetFile().AddDescendantAtoms(&GetTrakAtom(), "udta.hnti.rtp .tsro");
    MP4_ASSERT_AS(tsro, "(pTsroAtom)");
    m_pTsroProperty = FindInteger(*tsro, "tsro.offset");
    MP4_ASSERT(m_pTsroProperty);
  }
  m_pTsroProperty->SetValue(static_cast<uint32_t>(start));
  InitRtpStart();
  m_rtpTimestampStart = static_cast<uint32_t>(start);
}

// ---- writing

void MP4RtpHintTrack::AddHint(bool isBFrame, uint32_t timestampOffset) {
  if (m_writeHintId == 0) {
    InitRefTrack();
    // A track reopened with hints goes on with its packets' numbers: a
    // number given again is a duplicate that receivers drop.
    m_writePacketId = NextSequenceNumber();
    InitStats();
  }
  if (m_pWriteHint) throw MP4Error("unwritten hint is still pending", "MP4AddRtpHint");
  m_pWriteHint = new MP4RtpHint(this);
  m_pWriteHint->SetBFrame(isBFrame);
  m_pWriteHint->SetTimestampOffset(timestampOffset);
  m_bytesThisHint = 0;
  m_writeHintId++;
}

MP4RtpPacket* MP4RtpHintTrack::PendingPacket(const char* where) {
  if (!m_pWriteHint) throw MP4Error("no hint pending", where);
  MP4RtpPacket* packet = m_pWriteHint->GetCurrentPacket();
  if (!packet) throw MP4Error("no packet pending", where);
  return packet;
}

void MP4RtpHintTrack::AddPayloadBytes(uint32_t numBytes) {
  m_bytesThisHint += numBytes;
  m_bytesThisPacket += numBytes;
  Increase(m_stats[kTpyl], numBytes);
  Increase(m_stats[kTrpy], numBytes);
}

void MP4RtpHintTrack::AddPacket(bool setMbit, int32_t transmitOffset) {
  if (!m_pWriteHint) throw MP4Error("no hint pending", "MP4RtpAddPacket");
  // A track reopened for more hints has its payload in the file already.
  InitPayload();
  MP4_ASSERT(m_pPayloadNumberProperty);
  MP4RtpPacket* packet = m_pWriteHint->AddPacket();
  packet->Set(static_cast<uint8_t>(m_pPayloadNumberProperty->GetValue()), m_writePacketId++, setMbit);
  packet->SetTransmitOffset(transmitOffset);
  m_bytesThisHint += 12;
  Raise(m_stats[kPmax], m_bytesThisPacket);
  m_bytesThisPacket = 12;
  Increase(m_stats[kNump], 1);
  Increase(m_stats[kTrpy], 12);
}

void MP4RtpHintTrack::AddImmediateData(const uint8_t* pBytes, uint32_t numBytes) {
  MP4RtpPacket* packet = PendingPacket("MP4RtpAddImmediateData");
  if (!pBytes || numBytes == 0) throw MP4Error("no data", "AddImmediateData");
  if (numBytes > 14) throw MP4Error("data size is larger than 14 bytes", "AddImmediateData");
  MP4RtpImmediateData* data = new MP4RtpImmediateData(packet);
  std::unique_ptr<MP4RtpImmediateData> owned(data);
  data->Set(pBytes, static_cast<uint8_t>(numBytes));
  packet->AddData(owned.release());
  AddPayloadBytes(numBytes);
  Increase(m_stats[kDimm], numBytes);
}

void MP4RtpHintTrack::AddSampleData(uint32_t sampleId, uint32_t dataOffset, uint32_t dataLength) {
  MP4RtpPacket* packet = PendingPacket("MP4RtpAddSampleData");
  // The entry's length field has 16 bits.
  if (dataLength > 0xFFFF) throw MP4Error("data length %u is larger than 65535 bytes", "MP4RtpAddSampleData", dataLength);
  std::unique_ptr<MP4RtpSampleData> data(new MP4RtpSampleData(packet));
  data->SetReferenceSample(sampleId, dataOffset, static_cast<uint16_t>(dataLength));
  packet->AddData(data.release());
  AddPayloadBytes(dataLength);
  Increase(m_stats[kDmed], dataLength);
}

void MP4RtpHintTrack::AddESConfigurationPacket() {
  if (!m_pWriteHint) throw MP4Error("no hint pending", "MP4RtpAddESConfigurationPacket");
  InitRefTrack();
  uint8_t* config = nullptr;
  uint32_t configSize = 0;
  try {
    GetFile().GetTrackESConfiguration(m_pRefTrack->GetId(), &config, &configSize);
  } catch (const MP4Error&) {
    return;  // the reference track has no decoder configuration
  }
  std::unique_ptr<uint8_t, void (*)(void*)> owned(config, MP4Free);
  if (!config) return;
  InitPayload();
  MP4_ASSERT(m_pMaxPacketSizeProperty);
  if (configSize > m_pMaxPacketSizeProperty->GetValue() || configSize > 0xFFFF)
    throw MP4Error("ES configuration is too large for RTP payload", "MP4RtpAddESConfigurationPacket");
  AddPacket(false, 0);
  MP4RtpPacket* packet = m_pWriteHint->GetCurrentPacket();
  MP4_ASSERT(packet);
  std::unique_ptr<MP4RtpSampleData> data(new MP4RtpSampleData(packet));
  data->SetEmbeddedImmediate(GetNumberOfSamples() + 1, owned.release(), static_cast<uint16_t>(configSize));
  packet->AddData(data.release());
  AddPayloadBytes(configSize);
}

void MP4RtpHintTrack::WriteHint(uint64_t duration, bool isSyncSample) {
  if (!m_pWriteHint) throw MP4Error("no hint pending", "MP4WriteRtpHint");
  MP4File& file = GetFile();
  file.EnableMemoryBuffer();
  uint8_t* bytes = nullptr;
  uint64_t numBytes = 0;
  try {
    m_pWriteHint->Write(&file);
  } catch (...) {
    file.DisableMemoryBuffer(&bytes);
    MP4Free(bytes);
    throw;
  }
  file.DisableMemoryBuffer(&bytes, &numBytes);
  std::unique_ptr<uint8_t, void (*)(void*)> owned(bytes, MP4Free);
  WriteSample(bytes, static_cast<uint32_t>(numBytes), duration, 0, isSyncSample);
  owned.reset();

  Raise(m_stats[kPmax], m_bytesThisPacket);
  Raise(m_stats[kDmax], duration);
  uint64_t startTime = 0;
  GetSampleTimes(GetNumberOfSamples(), &startTime, nullptr);
  const uint32_t timeScale = GetTimeScale();
  if (startTime >= m_thisSec + timeScale) {
    Raise(m_stats[kMaxr], m_bytesThisSec);
    m_thisSec = timeScale ? startTime - startTime % timeScale : startTime;
    m_bytesThisSec = m_bytesThisHint;
  } else {
    m_bytesThisSec += m_bytesThisHint;
  }
  delete m_pWriteHint;
  m_pWriteHint = nullptr;
}

void MP4RtpHintTrack::FinishWrite() {
  if (m_writeHintId > 0 && m_statsBound) {
    const uint64_t pmax = m_stats[kPmax] ? m_stats[kPmax]->GetValue() : 0;
    const uint64_t nump = m_stats[kNump] ? m_stats[kNump]->GetValue() : 0;
    const uint64_t trpy = m_stats[kTrpy] ? m_stats[kTrpy]->GetValue() : 0;
    const uint64_t maxr = m_stats[kMaxr] ? m_stats[kMaxr]->GetValue() : 0;
    if (m_stats[kMaxPdu]) m_stats[kMaxPdu]->SetValue(pmax & 0xFFFF);
    if (m_stats[kAvgPdu] && nump) m_stats[kAvgPdu]->SetValue((trpy / nump) & 0xFFFF);
    if (m_stats[kMaxBitRate]) m_stats[kMaxBitRate]->SetValue((maxr * 8) & 0xFFFFFFFF);
    const uint64_t duration = GetDuration();
    if (m_stats[kAvgBitRate] && duration)
      m_stats[kAvgBitRate]->SetValue((trpy * 8 * GetTimeScale() / duration) & 0xFFFFFFFF);
  }
  MP4Track::FinishWrite();
}
