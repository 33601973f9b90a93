// RTP hint tracks: the records of one hint sample (a hint, its packets,
// their data entries), read from and written to the sample in memory, and
// the track class that reads hints into RTP packets and builds hints with
// their statistics.
//
// Hint sample: packetCount u16, reserved u16, the packet records, then
// bytes that entries of reference index 0xFF address. Packet record (12
// bytes): relativeXmitTime u32; 2 reserved, P, X, 4 reserved, M, 7-bit
// payload type; sequence number u16; 13 reserved, extra, B-frame, repeat;
// entryCount u16; an extra-information block when extra is set; then
// entryCount data entries of 16 bytes, the first byte their type (0 null,
// 1 immediate, 2 sample, 3 sample description).
#pragma once

#include <cstdint>
#include <cstdio>

#include "mp4container.h"
#include "mp4track.h"

class MP4RtpHintTrack;
class MP4RtpHint;
class MP4RtpPacket;

class MP4RtpData : public MP4Container {
 public:
  explicit MP4RtpData(MP4RtpPacket* pPacket);
  MP4RtpPacket* GetPacket() const { return m_pPacket; }
  // The payload bytes the entry stands for; GetData copies exactly that
  // many.
  virtual uint16_t GetDataSize() = 0;
  virtual void GetData(uint8_t* pDest) = 0;
  // Bytes of the entry kept in the hint sample itself, after the records.
  virtual void WriteEmbeddedData(MP4File*, uint64_t /*startPos*/) {}
  // The track sample whose bytes the entry stands for (from the offset
  // given, GetDataSize bytes); false where the entry holds its bytes or
  // finds them elsewhere.
  virtual bool GetSampleSource(MP4Track** /*ppTrack*/, uint32_t* /*pSampleId*/, uint32_t* /*pOffset*/) {
    return false;
  }
  // 0xFF: the hint track; 0: its reference track; n: row n - 1 of its
  // "tref.hint".
  MP4Track* FindTrackFromRefIndex(uint8_t refIndex);

 protected:
  MP4RtpPacket* m_pPacket;
};

class MP4RtpNullData : public MP4RtpData {
 public:
  explicit MP4RtpNullData(MP4RtpPacket* pPacket);
  uint16_t GetDataSize() override { return 0; }
  void GetData(uint8_t*) override {}
};

class MP4RtpImmediateData : public MP4RtpData {
 public:
  explicit MP4RtpImmediateData(MP4RtpPacket* pPacket);
  void Set(const uint8_t* pBytes, uint8_t numBytes);
  // The count, but no more than the 14 bytes the entry holds.
  uint16_t GetDataSize() override;
  void GetData(uint8_t* pDest) override;
};

class MP4RtpSampleData : public MP4RtpData {
 public:
  explicit MP4RtpSampleData(MP4RtpPacket* pPacket);
  ~MP4RtpSampleData() override;
  void SetReferenceSample(uint32_t refSampleId, uint32_t refSampleOffset, uint16_t length);
  // Bytes stored in the hint sample of sampleId; the entry takes pData
  // (malloc'ed) over.
  void SetEmbeddedImmediate(uint32_t sampleId, uint8_t* pData, uint16_t length);
  uint16_t GetDataSize() override;
  void GetData(uint8_t* pDest) override;
  void WriteEmbeddedData(MP4File* pFile, uint64_t startPos) override;
  bool GetSampleSource(MP4Track** ppTrack, uint32_t* pSampleId, uint32_t* pOffset) override;

 private:
  uint8_t* m_pEmbeddedData = nullptr;
};

class MP4RtpSampleDescriptionData : public MP4RtpData {
 public:
  explicit MP4RtpSampleDescriptionData(MP4RtpPacket* pPacket);
  void Set(uint32_t sampleDescrIndex, uint32_t offset, uint16_t length);
  uint16_t GetDataSize() override;
  void GetData(uint8_t* pDest) override;
};

class MP4RtpPacket : public MP4Container {
 public:
  explicit MP4RtpPacket(MP4RtpHint* pHint);
  ~MP4RtpPacket() override;
  MP4RtpHint* GetHint() const { return m_pHint; }

  void Set(uint8_t payloadNumber, uint32_t sequenceNumber, bool setMbit);
  int32_t GetTransmitOffset();
  void SetTransmitOffset(int32_t transmitOffset);
  bool GetPBit();
  bool GetXBit();
  bool GetMBit();
  uint8_t GetPayload();
  uint16_t GetSequenceNumber();
  bool IsBFrame();
  void SetBFrame(bool isBFrame);
  // 0 adds nothing; otherwise the packet gets the extra block with an
  // "rtpo" entry (once).
  void SetTimestampOffset(uint32_t timestampOffset);
  // The "rtpo" offset, signed, that the packet's RTP timestamp adds to the
  // hint's time; 0 without the extra block.
  int32_t GetTimestampOffset();
  // Takes ownership, also when it throws; a packet holds at most 65535
  // entries.
  void AddData(MP4RtpData* pData);
  uint32_t GetNumberOfData() const { return m_rtpData.Size(); }
  MP4RtpData* GetData(uint32_t index) { return m_rtpData[index]; }

  // The payload: the entries' sizes summed, and their bytes in order.
  uint32_t GetDataSize();
  void GetData(uint8_t* pDest);
  void WriteEmbeddedData(MP4File* pFile, uint64_t startPos);

  void Read(MP4File* pFile) override;
  void Write(MP4File* pFile) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) override;

 private:
  void AddExtraProperties();
  void ReadExtra(MP4File* pFile);

  MP4RtpHint* m_pHint;
  MP4Array<MP4RtpData*> m_rtpData;  // owned
};

class MP4RtpHint : public MP4Container {
 public:
  explicit MP4RtpHint(MP4RtpHintTrack* pTrack);
  ~MP4RtpHint() override;
  MP4RtpHintTrack* GetTrack() const { return m_pTrack; }

  uint16_t GetNumberOfPackets() const { return static_cast<uint16_t>(m_rtpPackets.Size()); }
  MP4RtpPacket* GetPacket(uint16_t index) { return m_rtpPackets[index]; }
  MP4RtpPacket* GetCurrentPacket() { return m_rtpPackets.Size() ? m_rtpPackets[m_rtpPackets.Size() - 1] : nullptr; }
  bool IsBFrame() const { return m_isBFrame; }
  void SetBFrame(bool isBFrame) { m_isBFrame = isBFrame; }
  uint32_t GetTimestampOffset() const { return m_timestampOffset; }
  void SetTimestampOffset(uint32_t timestampOffset) { m_timestampOffset = timestampOffset; }
  // At most 65535 packets; a refused one changes nothing.
  MP4RtpPacket* AddPacket();

  void Read(MP4File* pFile) override;
  // The records, then the embedded bytes, then the records again with the
  // offsets of those bytes filled in.
  void Write(MP4File* pFile) override;
  void Dump(FILE* pFile, uint8_t indent, bool dumpImplicits) override;

 private:
  MP4RtpHintTrack* m_pTrack;
  MP4RtpPacketArray m_rtpPackets;  // owned
  bool m_isBFrame = false;
  uint32_t m_timestampOffset = 0;
};

class MP4RtpHintTrack : public MP4Track {
 public:
  MP4RtpHintTrack(MP4File& file, MP4Atom& trakAtom);
  ~MP4RtpHintTrack() override;

  // Either string output is malloc'ed for the caller; any output may be
  // NULL.
  void GetPayload(char** ppPayloadName, uint8_t* pPayloadNumber, uint16_t* pMaxPayloadSize,
                  char** ppEncodingParams);
  void SetPayload(const char* payloadName, uint8_t payloadNumber, uint16_t maxPayloadSize,
                  const char* encodingParams, bool includeRtpMap, bool includeMpeg4Esid);

  // The reference track (its "tref.hint" first row), bound on first use.
  MP4Track* GetRefTrack();

  void ReadHint(uint32_t hintSampleId, uint16_t* pNumPackets = nullptr);
  uint16_t GetHintNumberOfPackets();
  bool GetPacketBFrame(uint16_t packetIndex);
  int32_t GetPacketTransmitOffset(uint16_t packetIndex);
  // *ppBytes NULL: a buffer is malloc'ed for the caller (none for size 0);
  // otherwise *pNumBytes is the caller's buffer size on entry, and a
  // packet that does not fit is refused before anything is copied.
  void ReadPacket(uint16_t packetIndex, uint8_t** ppBytes, uint32_t* pNumBytes, uint32_t ssrc,
                  bool includeHeader = true, bool includePayload = true);
  uint32_t GetRtpTimestampStart();
  void SetRtpTimestampStart(uint64_t start);

  void AddHint(bool isBFrame, uint32_t timestampOffset);
  void AddPacket(bool setMbit, int32_t transmitOffset = 0);
  void AddImmediateData(const uint8_t* pBytes, uint32_t numBytes);
  void AddSampleData(uint32_t sampleId, uint32_t dataOffset, uint32_t dataLength);
  void AddESConfigurationPacket();
  void WriteHint(uint64_t duration, bool isSyncSample);
  void FinishWrite() override;

 private:
  void InitRefTrack();
  void InitRtpStart();
  void InitPayload();
  void InitStats();
  // Reads a hint from the bytes of a hint sample.
  void ParseHint(MP4RtpHint& hint, uint8_t* pSample, uint32_t sampleSize);
  // The sequence number after the last packet of the track's hints, 0 for
  // a track without packets; a hint that cannot be read is refused.
  uint32_t NextSequenceNumber();
  // The pending hint's last packet; where names the operation.
  MP4RtpPacket* PendingPacket(const char* where);
  // The statistics that one packet's bytes raise.
  void AddPayloadBytes(uint32_t numBytes);

  MP4Track* m_pRefTrack = nullptr;
  MP4StringProperty* m_pRtpMapProperty = nullptr;
  MP4IntegerProperty* m_pPayloadNumberProperty = nullptr;
  MP4IntegerProperty* m_pMaxPacketSizeProperty = nullptr;
  MP4IntegerProperty* m_pSnroProperty = nullptr;
  MP4IntegerProperty* m_pTsroProperty = nullptr;
  bool m_rtpStartBound = false;
  uint32_t m_rtpSequenceStart = 0;
  uint32_t m_rtpTimestampStart = 0;

  MP4RtpHint* m_pReadHint = nullptr;
  uint8_t* m_pReadHintSample = nullptr;
  uint32_t m_readHintSampleSize = 0;
  uint64_t m_readHintTimestamp = 0;

  MP4RtpHint* m_pWriteHint = nullptr;
  uint32_t m_writeHintId = 0;
  uint32_t m_writePacketId = 0;

  // "hinf" statistics and "hmhd" fields; a statistic a file lacks stays
  // NULL and is not kept.
  enum Stat { kTrpy, kNump, kTpyl, kMaxr, kDmed, kDimm, kPmax, kDmax, kMaxPdu, kAvgPdu, kMaxBitRate, kAvgBitRate,
              kNumStats };
  MP4IntegerProperty* m_stats[kNumStats] = {};
  bool m_statsBound = false;
  uint64_t m_thisSec = 0;
  uint32_t m_bytesThisSec = 0;
  uint32_t m_bytesThisHint = 0;
  uint32_t m_bytesThisPacket = 0;
};
