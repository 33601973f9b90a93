// The open file's hint-track operations: creating a hint track, its
// session description and payload description with the choice of dynamic
// payload numbers, and the hint reading and writing handed to the track.
#include <cstring>
#include <string>

#include "atoms.h"
#include "mp4file.h"
#include "mp4rtphint.h"

MP4Track* MP4File::MakeTrack(MP4Atom& trak) {
  MP4Property* type = nullptr;
  if (trak.FindProperty("trak.mdia.hdlr.handlerType", &type) && type && type->GetType() == StringProperty) {
    const char* value = static_cast<MP4StringProperty*>(type)->GetValue();
    if (value && !strcmp(value, "hint")) return new MP4RtpHintTrack(*this, trak);
  }
  return new MP4Track(*this, trak);
}

MP4RtpHintTrack* MP4File::GetHintTrack(uint32_t hintTrackId, const char* where) {
  MP4Track* track = m_pTracks[FindTrackIndex(hintTrackId)];
  const char* type = track->GetType();
  if (!type || strcmp(type, "hint") != 0) throw MP4Error("track is not a hint track", where);
  return static_cast<MP4RtpHintTrack*>(track);
}

namespace {
const char kHintTrackSdpPath[] = "udta.hnti.sdp .sdpText";
}

const char* MP4File::GetHintTrackSdp(uint32_t hintTrackId) {
  return GetKeptTrackStringProperty(hintTrackId, kHintTrackSdpPath);
}

void MP4File::SetHintTrackSdp(uint32_t hintTrackId, const char* sdpString) {
  GetHintTrack(hintTrackId, "MP4SetHintTrackSdp");
  AddDescendantAtoms(MakeTrackName(hintTrackId, nullptr), "udta.hnti.sdp ");
  SetTrackStringProperty(hintTrackId, kHintTrackSdpPath, sdpString);
}

void MP4File::AppendHintTrackSdp(uint32_t hintTrackId, const char* sdpFragment) {
  const char* old = nullptr;
  try {
    old = GetTrackStringProperty(hintTrackId, kHintTrackSdpPath);
  } catch (const MP4Error&) {
    SetHintTrackSdp(hintTrackId, sdpFragment);
    return;
  }
  // A track without text yet counts as one with the empty text.
  SetHintTrackSdp(hintTrackId, (std::string(old ? old : "") + (sdpFragment ? sdpFragment : "")).c_str());
}

void MP4File::GetHintTrackRtpPayload(uint32_t hintTrackId, char** ppPayloadName, uint8_t* pPayloadNumber,
                                     uint16_t* pMaxPayloadSize, char** ppEncodingParams) {
  GetHintTrack(hintTrackId, "MP4GetHintTrackRtpPayload")
      ->GetPayload(ppPayloadName, pPayloadNumber, pMaxPayloadSize, ppEncodingParams);
}

void MP4File::SetHintTrackRtpPayload(uint32_t hintTrackId, const char* payloadName, uint8_t* pPayloadNumber,
                                     uint16_t maxPayloadSize, const char* encodingParams, bool includeRtpMap,
                                     bool includeMpeg4Esid) {
  MP4RtpHintTrack* track = GetHintTrack(hintTrackId, "MP4SetHintTrackRtpPayload");
  uint8_t number;
  if (pPayloadNumber && *pPayloadNumber < 255) {
    // RTP payload types have seven bits.
    if (*pPayloadNumber > 127)
      throw MP4Error("payload number %u is no RTP payload type", "MP4SetHintTrackRtpPayload", *pPayloadNumber);
    number = *pPayloadNumber;
  } else {
    number = AllocRtpPayloadNumber();
    if (pPayloadNumber) *pPayloadNumber = number;
  }
  track->SetPayload(payloadName, number, maxPayloadSize, encodingParams, includeRtpMap, includeMpeg4Esid);
}

uint32_t MP4File::GetHintTrackReferenceTrackId(uint32_t hintTrackId) {
  MP4Track* ref = GetHintTrack(hintTrackId, "MP4GetHintTrackReferenceTrackId")->GetRefTrack();
  return ref ? ref->GetId() : 0;
}

void MP4File::ReadRtpHint(uint32_t hintTrackId, uint32_t hintSampleId, uint16_t* pNumPackets) {
  GetHintTrack(hintTrackId, "MP4ReadRtpHint")->ReadHint(hintSampleId, pNumPackets);
}

uint16_t MP4File::GetRtpHintNumberOfPackets(uint32_t hintTrackId) {
  return GetHintTrack(hintTrackId, "MP4GetRtpHintNumberOfPackets")->GetHintNumberOfPackets();
}

bool MP4File::GetRtpPacketBFrame(uint32_t hintTrackId, uint16_t packetIndex) {
  return GetHintTrack(hintTrackId, "MP4GetRtpHintBFrame")->GetPacketBFrame(packetIndex);
}

uint16_t MP4File::GetRtpPacketTransmitOffset(uint32_t hintTrackId, uint16_t packetIndex) {
  return static_cast<uint16_t>(
      GetHintTrack(hintTrackId, "MP4GetRtpPacketTransmitOffset")->GetPacketTransmitOffset(packetIndex));
}

void MP4File::ReadRtpPacket(uint32_t hintTrackId, uint16_t packetIndex, uint8_t** ppBytes, uint32_t* pNumBytes,
                            uint32_t ssrc, bool includeHeader, bool includePayload) {
  GetHintTrack(hintTrackId, "MP4ReadPacket")
      ->ReadPacket(packetIndex, ppBytes, pNumBytes, ssrc, includeHeader, includePayload);
}

uint32_t MP4File::GetRtpTimestampStart(uint32_t hintTrackId) {
  return GetHintTrack(hintTrackId, "MP4GetRtpTimestampStart")->GetRtpTimestampStart();
}

void MP4File::SetRtpTimestampStart(uint32_t hintTrackId, uint64_t rtpStart) {
  GetHintTrack(hintTrackId, "MP4SetRtpTimestampStart")->SetRtpTimestampStart(rtpStart);
}

void MP4File::AddRtpHint(uint32_t hintTrackId, bool isBFrame, uint32_t timestampOffset) {
  ProtectWriteOperation("MP4AddRtpHint");
  GetHintTrack(hintTrackId, "MP4AddRtpHint")->AddHint(isBFrame, timestampOffset);
}

void MP4File::AddRtpPacket(uint32_t hintTrackId, bool setMbit, int32_t transmitOffset) {
  ProtectWriteOperation("MP4AddRtpPacket");
  GetHintTrack(hintTrackId, "MP4AddRtpPacket")->AddPacket(setMbit, transmitOffset);
}

void MP4File::AddRtpImmediateData(uint32_t hintTrackId, const uint8_t* pBytes, uint32_t numBytes) {
  ProtectWriteOperation("MP4AddRtpImmediateData");
  GetHintTrack(hintTrackId, "MP4AddRtpImmediateData")->AddImmediateData(pBytes, numBytes);
}

void MP4File::AddRtpSampleData(uint32_t hintTrackId, uint32_t sampleId, uint32_t dataOffset, uint32_t dataLength) {
  ProtectWriteOperation("MP4AddRtpSampleData");
  GetHintTrack(hintTrackId, "MP4AddRtpSampleData")->AddSampleData(sampleId, dataOffset, dataLength);
}

void MP4File::AddRtpESConfigurationPacket(uint32_t hintTrackId) {
  ProtectWriteOperation("MP4AddRtpESConfigurationPacket");
  GetHintTrack(hintTrackId, "MP4AddRtpESConfigurationPacket")->AddESConfigurationPacket();
}

void MP4File::WriteRtpHint(uint32_t hintTrackId, uint64_t duration, bool isSyncSample) {
  ProtectWriteOperation("MP4WriteRtpHint");
  GetHintTrack(hintTrackId, "MP4WriteRtpHint")->WriteHint(duration, isSyncSample);
}

uint8_t MP4File::AllocRtpPayloadNumber() {
  bool used[32] = {};
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) {
    MP4Property* p = nullptr;
    if (!m_pTracks[i]->GetTrakAtom().FindProperty("trak.udta.hinf.payt.payloadNumber", &p) || !p ||
        p->GetType() > Integer64Property || p->GetCount() == 0)
      continue;
    const uint64_t number = static_cast<MP4IntegerProperty*>(p)->GetValue(0);
    if (number >= 96 && number <= 127) used[number - 96] = true;
  }
  for (uint8_t n = 0; n < 32; n++)
    if (!used[n]) return static_cast<uint8_t>(96 + n);
  throw MP4Error("no more available rtp payload numbers", "AllocRtpPayloadNumber");
}
