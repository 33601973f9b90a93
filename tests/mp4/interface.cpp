// The function interface as a whole: every function given the invalid
// handle, the quirks that callers rely on, the texts it hands out (kept
// until the file is closed), and the copying and cloning
// functions against ffprobe's packets of ffmpeg's files, with and without
// edit lists, plain and encrypted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "contentinfo.h"
#include "mp4.h"
#include "mp4files.h"

namespace {

using namespace mp4test;

using Handle = std::unique_ptr<void, decltype(&MP4Close)>;
Handle Open(const std::string& path) { return Handle(MP4Read(path.c_str(), 0), MP4Close); }

// ---------------------------------------------------------------- the invalid handle

const MP4FileHandle none = nullptr;

// One function of the interface and the check of its neutral value and
// outputs when given the invalid handle (or, for the functions without a
// handle, the invalid arguments). Each family has its rows in a function of
// its own, which the table test walks.
struct Row {
  const char* name;
  std::function<void()> check;
};
#define ROW(fn, ...) \
  Row { #fn, [] { __VA_ARGS__; } }

// Outputs that a function must leave as they are.
struct Untouched {
  uint64_t u64 = 5, start = 6, duration = 7;
  float f = 5;
  const char* text = "untouched";
  uint8_t byte = 9;
  uint8_t* bytes = &byte;
  uint32_t size = 5;
  void Expect() const {
    EXPECT_EQ(u64, 5u);
    EXPECT_EQ(start, 6u);
    EXPECT_EQ(duration, 7u);
    EXPECT_EQ(f, 5);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(bytes, &byte);
    EXPECT_EQ(size, 5u);
  }
};

// A byte getter: false with both outputs cleared.
void ExpectClearedBytes(const std::function<bool(uint8_t**, uint32_t*)>& get) {
  uint8_t byte = 1;
  uint8_t* bytes = &byte;
  uint32_t size = 5;
  EXPECT_FALSE(get(&bytes, &size));
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(size, 0u);
}

// A sample reader: false with the size cleared and the caller's buffer and
// times left alone.
void ExpectNoSample(const std::function<bool(uint8_t**, uint32_t*, uint64_t*, uint64_t*)>& read) {
  Untouched o;
  o.size = 5;
  EXPECT_FALSE(read(&o.bytes, &o.size, &o.start, &o.duration));
  EXPECT_EQ(o.size, 0u);
  o.size = 5;
  o.Expect();
}

uint32_t Encrypt(uint32_t key, uint32_t size, uint8_t* in, uint32_t* outSize, uint8_t** out) {
  *out = static_cast<uint8_t*>(malloc(size ? size : 1));
  for (uint32_t i = 0; i < size; i++) (*out)[i] = in[i] ^ static_cast<uint8_t>(key);
  *outSize = size;
  return 0;
}

MP4IsmaCrypParams crypt = {0x69616563, 1, 4, 8, 0, "kms"};  // "iaec"

std::vector<Row> ReadingRows() {
  return {
      ROW(MP4Read, EXPECT_EQ(MP4Read(nullptr, 0), nullptr)),
      ROW(MP4ReadEx, EXPECT_EQ(MP4ReadEx(nullptr, nullptr, nullptr, 0), nullptr)),
      ROW(MP4Close, MP4Close(none)),
      ROW(MP4Dump, EXPECT_FALSE(MP4Dump(none, nullptr, false))),
      ROW(MP4GetVerbosity, EXPECT_EQ(MP4GetVerbosity(none), 0u)),
      ROW(MP4SetVerbosity, MP4SetVerbosity(none, 1)),
      ROW(MP4Free, MP4Free(nullptr)),
      // Without a handle: NULL prints to stderr again.
      ROW(MP4SetLibFunc, MP4SetLibFunc(nullptr)),
      ROW(MP4GetTimeScale, EXPECT_EQ(MP4GetTimeScale(none), 0u)),
      ROW(MP4GetDuration, EXPECT_EQ(MP4GetDuration(none), UINT64_MAX)),
      ROW(MP4GetODProfileLevel, EXPECT_EQ(MP4GetODProfileLevel(none), 0)),
      ROW(MP4GetSceneProfileLevel, EXPECT_EQ(MP4GetSceneProfileLevel(none), 0)),
      ROW(MP4GetAudioProfileLevel, EXPECT_EQ(MP4GetAudioProfileLevel(none), 0)),
      ROW(MP4GetGraphicsProfileLevel, EXPECT_EQ(MP4GetGraphicsProfileLevel(none), 0)),
      ROW(MP4GetVideoProfileLevel, EXPECT_EQ(MP4GetVideoProfileLevel(none, 1), 0)),
      ROW(MP4ConvertFromMovieDuration, EXPECT_EQ(MP4ConvertFromMovieDuration(none, 1, 1), UINT64_MAX)),
      ROW(MP4HaveAtom, EXPECT_FALSE(MP4HaveAtom(none, "moov"))),
      ROW(MP4GetIntegerProperty, Untouched o; EXPECT_FALSE(MP4GetIntegerProperty(none, "x", &o.u64)); o.Expect()),
      ROW(MP4GetFloatProperty, Untouched o; EXPECT_FALSE(MP4GetFloatProperty(none, "x", &o.f)); o.Expect()),
      ROW(MP4GetStringProperty, Untouched o; EXPECT_FALSE(MP4GetStringProperty(none, "x", &o.text)); o.Expect()),
      ROW(MP4GetBytesProperty,
          ExpectClearedBytes([](uint8_t** b, uint32_t* s) { return MP4GetBytesProperty(none, "x", b, s); })),
      ROW(MP4HaveTrackAtom, EXPECT_FALSE(MP4HaveTrackAtom(none, 1, "mdia"))),
      ROW(MP4GetTrackIntegerProperty, Untouched o;
          EXPECT_FALSE(MP4GetTrackIntegerProperty(none, 1, "x", &o.u64)); o.Expect()),
      ROW(MP4GetTrackFloatProperty, Untouched o; EXPECT_FALSE(MP4GetTrackFloatProperty(none, 1, "x", &o.f));
          o.Expect()),
      ROW(MP4GetTrackStringProperty, Untouched o;
          EXPECT_FALSE(MP4GetTrackStringProperty(none, 1, "x", &o.text)); o.Expect()),
      ROW(MP4GetTrackBytesProperty,
          ExpectClearedBytes([](uint8_t** b, uint32_t* s) { return MP4GetTrackBytesProperty(none, 1, "x", b, s); })),
      ROW(MP4GetNumberOfTracks, EXPECT_EQ(MP4GetNumberOfTracks(none, nullptr, 0), 0u)),
      ROW(MP4FindTrackId, EXPECT_EQ(MP4FindTrackId(none, 0, nullptr, 0), 0u)),
      ROW(MP4FindTrackIndex, EXPECT_EQ(MP4FindTrackIndex(none, 1), 0xFFFF)),
      ROW(MP4GetTrackType, EXPECT_EQ(MP4GetTrackType(none, 1), nullptr)),
      ROW(MP4GetTrackMediaDataName, EXPECT_EQ(MP4GetTrackMediaDataName(none, 1), nullptr)),
      ROW(MP4GetTrackMediaDataOriginalFormat, char format[8] = "keep";
          EXPECT_FALSE(MP4GetTrackMediaDataOriginalFormat(none, 1, format, sizeof format));
          EXPECT_STREQ(format, "keep")),
      ROW(MP4IsIsmaCrypMediaTrack, EXPECT_FALSE(MP4IsIsmaCrypMediaTrack(none, 1))),
      ROW(MP4GetTrackDuration, EXPECT_EQ(MP4GetTrackDuration(none, 1), UINT64_MAX)),
      ROW(MP4GetTrackTimeScale, EXPECT_EQ(MP4GetTrackTimeScale(none, 1), 0u)),
      ROW(MP4GetTrackFixedSampleDuration, EXPECT_EQ(MP4GetTrackFixedSampleDuration(none, 1), UINT64_MAX)),
      ROW(MP4GetTrackBitRate, EXPECT_EQ(MP4GetTrackBitRate(none, 1), 0u)),
      ROW(MP4ConvertFromTrackTimestamp, EXPECT_EQ(MP4ConvertFromTrackTimestamp(none, 1, 1, 1), UINT64_MAX)),
      ROW(MP4ConvertToTrackTimestamp, EXPECT_EQ(MP4ConvertToTrackTimestamp(none, 1, 1, 1), UINT64_MAX)),
      ROW(MP4ConvertFromTrackDuration, EXPECT_EQ(MP4ConvertFromTrackDuration(none, 1, 1, 1), UINT64_MAX)),
      ROW(MP4ConvertToTrackDuration, EXPECT_EQ(MP4ConvertToTrackDuration(none, 1, 1, 1), UINT64_MAX)),
      ROW(MP4GetTrackEsdsObjectTypeId, EXPECT_EQ(MP4GetTrackEsdsObjectTypeId(none, 1), 0)),
      ROW(MP4GetTrackESConfiguration,
          ExpectClearedBytes([](uint8_t** b, uint32_t* s) { return MP4GetTrackESConfiguration(none, 1, b, s); })),
      ROW(MP4GetTrackAudioMpeg4Type, EXPECT_EQ(MP4GetTrackAudioMpeg4Type(none, 1), 0)),
      ROW(MP4GetTrackVideoMetadata,
          ExpectClearedBytes([](uint8_t** b, uint32_t* s) { return MP4GetTrackVideoMetadata(none, 1, b, s); })),
      ROW(MP4GetTrackVideoWidth, EXPECT_EQ(MP4GetTrackVideoWidth(none, 1), 0)),
      ROW(MP4GetTrackVideoHeight, EXPECT_EQ(MP4GetTrackVideoHeight(none, 1), 0)),
      ROW(MP4GetTrackVideoFrameRate, EXPECT_EQ(MP4GetTrackVideoFrameRate(none, 1), 0.0)),
      ROW(MP4GetTrackAudioChannels, EXPECT_EQ(MP4GetTrackAudioChannels(none, 1), -1)),
      ROW(MP4GetTrackH264SeqPictHeaders, Untouched o; uint8_t** sets = &o.bytes; uint32_t* sizes = &o.size;
          MP4GetTrackH264SeqPictHeaders(none, 1, &sets, &sizes, &sets, &sizes);
          EXPECT_TRUE(sets == &o.bytes && sizes == &o.size)),
      ROW(MP4GetTrackH264LengthSize, Untouched o; EXPECT_FALSE(MP4GetTrackH264LengthSize(none, 1, &o.size));
          o.Expect()),
      ROW(MP4GetTrackH264ProfileLevel, Untouched o; uint8_t level = 9;
          EXPECT_FALSE(MP4GetTrackH264ProfileLevel(none, 1, &o.byte, &level)); EXPECT_EQ(o.byte + level, 18)),
      ROW(MP4GetTrackNumberOfSamples, EXPECT_EQ(MP4GetTrackNumberOfSamples(none, 1), 0u)),
      ROW(MP4GetTrackMaxSampleSize, EXPECT_EQ(MP4GetTrackMaxSampleSize(none, 1), 0u)),
      ROW(MP4GetSampleSize, EXPECT_EQ(MP4GetSampleSize(none, 1, 1), 0u)),
      ROW(MP4GetSampleTime, EXPECT_EQ(MP4GetSampleTime(none, 1, 1), UINT64_MAX)),
      ROW(MP4GetSampleDuration, EXPECT_EQ(MP4GetSampleDuration(none, 1, 1), UINT64_MAX)),
      ROW(MP4GetSampleRenderingOffset, EXPECT_EQ(MP4GetSampleRenderingOffset(none, 1, 1), UINT64_MAX)),
      ROW(MP4GetSampleSync, EXPECT_EQ(MP4GetSampleSync(none, 1, 1), -1)),
      ROW(MP4GetSampleIdFromTime, EXPECT_EQ(MP4GetSampleIdFromTime(none, 1, 0, false), 0u)),
      ROW(MP4ReadSample, ExpectNoSample([](uint8_t** b, uint32_t* s, uint64_t* start, uint64_t* duration) {
            return MP4ReadSample(none, 1, 1, b, s, start, duration, nullptr, nullptr);
          })),
      ROW(MP4ReadSampleFromTime, ExpectNoSample([](uint8_t** b, uint32_t* s, uint64_t* start, uint64_t* duration) {
            return MP4ReadSampleFromTime(none, 1, 0, b, s, start, duration, nullptr, nullptr);
          })),
  };
}

std::vector<Row> WritingRows() {
  return {
      ROW(MP4Create, EXPECT_EQ(MP4Create(nullptr, 0, 0), nullptr)),
      ROW(MP4CreateEx, EXPECT_EQ(MP4CreateEx(nullptr, 0, 0, 1, 1, nullptr, 0, nullptr, 0), nullptr)),
      ROW(MP4Modify, EXPECT_EQ(MP4Modify(nullptr, 0), nullptr)),
      ROW(MP4Optimize, EXPECT_FALSE(MP4Optimize(nullptr, nullptr, 0))),
      ROW(MP4SetTimeScale, EXPECT_FALSE(MP4SetTimeScale(none, 1000))),
      ROW(MP4SetODProfileLevel, EXPECT_FALSE(MP4SetODProfileLevel(none, 1))),
      ROW(MP4SetSceneProfileLevel, EXPECT_FALSE(MP4SetSceneProfileLevel(none, 1))),
      ROW(MP4SetGraphicsProfileLevel, EXPECT_FALSE(MP4SetGraphicsProfileLevel(none, 1))),
      ROW(MP4SetVideoProfileLevel, MP4SetVideoProfileLevel(none, 1)),
      ROW(MP4SetAudioProfileLevel, MP4SetAudioProfileLevel(none, 1)),
      ROW(MP4SetIntegerProperty, EXPECT_FALSE(MP4SetIntegerProperty(none, "x", 1))),
      ROW(MP4SetFloatProperty, EXPECT_FALSE(MP4SetFloatProperty(none, "x", 1))),
      ROW(MP4SetStringProperty, EXPECT_FALSE(MP4SetStringProperty(none, "x", "y"))),
      ROW(MP4SetBytesProperty, EXPECT_FALSE(MP4SetBytesProperty(none, "x", nullptr, 0))),
      ROW(MP4SetTrackIntegerProperty, EXPECT_FALSE(MP4SetTrackIntegerProperty(none, 1, "x", 1))),
      ROW(MP4SetTrackFloatProperty, EXPECT_FALSE(MP4SetTrackFloatProperty(none, 1, "x", 1))),
      ROW(MP4SetTrackStringProperty, EXPECT_FALSE(MP4SetTrackStringProperty(none, 1, "x", "y"))),
      ROW(MP4SetTrackBytesProperty, EXPECT_FALSE(MP4SetTrackBytesProperty(none, 1, "x", nullptr, 0))),
      ROW(MP4AddTrack, EXPECT_EQ(MP4AddTrack(none, "vide"), 0u)),
      ROW(MP4AddSystemsTrack, EXPECT_EQ(MP4AddSystemsTrack(none, "crsm"), 0u)),
      ROW(MP4AddODTrack, EXPECT_EQ(MP4AddODTrack(none), 0u)),
      ROW(MP4AddSceneTrack, EXPECT_EQ(MP4AddSceneTrack(none), 0u)),
      ROW(MP4AddAudioTrack, EXPECT_EQ(MP4AddAudioTrack(none, 48000, 1024, 0x40), 0u)),
      ROW(MP4AddAC3AudioTrack, EXPECT_EQ(MP4AddAC3AudioTrack(none, 48000, 1536, 0), 0u)),
      ROW(MP4AddAmrAudioTrack, EXPECT_EQ(MP4AddAmrAudioTrack(none, 8000, 0, 0, 1, false), 0u)),
      ROW(MP4AddHrefTrack, EXPECT_EQ(MP4AddHrefTrack(none, 1000, 1000, "http://x/"), 0u)),
      ROW(MP4AddVideoTrack, EXPECT_EQ(MP4AddVideoTrack(none, 90000, 3000, 320, 240, 0x20), 0u)),
      ROW(MP4AddH264VideoTrack, EXPECT_EQ(MP4AddH264VideoTrack(none, 90000, 3000, 320, 240, 100, 0, 30, 3), 0u)),
      ROW(MP4AddH263VideoTrack, EXPECT_EQ(MP4AddH263VideoTrack(none, 90000, 3000, 176, 144, 10, 0, 0, 0), 0u)),
      ROW(MP4AddTextTrack, EXPECT_EQ(MP4AddTextTrack(none, 1), 0u)),
      ROW(MP4AddChapterTextTrack, EXPECT_EQ(MP4AddChapterTextTrack(none, 1, 1000), 0u)),
      ROW(MP4AddEncAudioTrack, EXPECT_EQ(MP4AddEncAudioTrack(none, 48000, 1024, &crypt, 0x40), 0u)),
      ROW(MP4AddEncVideoTrack, EXPECT_EQ(MP4AddEncVideoTrack(none, 90000, 3000, 320, 240, &crypt, 0x20, "mp4v"), 0u)),
      ROW(MP4AddEncH264VideoTrack,
          EXPECT_EQ(MP4AddEncH264VideoTrack(none, 90000, 3000, 320, 240, none, 1, &crypt), 0u)),
      ROW(MP4DeleteTrack, MP4DeleteTrack(none, 1)),
      ROW(MP4SetTrackTimeScale, MP4SetTrackTimeScale(none, 1, 1000)),
      ROW(MP4SetTrackESConfiguration, const uint8_t c[2] = {1, 2};
          EXPECT_FALSE(MP4SetTrackESConfiguration(none, 1, c, 2))),
      ROW(MP4AddH264SequenceParameterSet, const uint8_t s[2] = {0x67, 0}; MP4AddH264SequenceParameterSet(none, 1, s, 2)),
      ROW(MP4AddH264PictureParameterSet, const uint8_t p[2] = {0x68, 0}; MP4AddH264PictureParameterSet(none, 1, p, 2)),
      ROW(MP4GetAmrModeSet, EXPECT_EQ(MP4GetAmrModeSet(none, 1), 0)),
      ROW(MP4SetAmrVendor, MP4SetAmrVendor(none, 1, 1)),
      ROW(MP4SetAmrDecoderVersion, MP4SetAmrDecoderVersion(none, 1, 1)),
      ROW(MP4SetAmrModeSet, MP4SetAmrModeSet(none, 1, 1)),
      ROW(MP4SetH263Vendor, MP4SetH263Vendor(none, 1, 1)),
      ROW(MP4SetH263DecoderVersion, MP4SetH263DecoderVersion(none, 1, 1)),
      ROW(MP4SetH263Bitrates, MP4SetH263Bitrates(none, 1, 1, 1)),
      ROW(MP4GetHrefTrackBaseUrl, EXPECT_EQ(MP4GetHrefTrackBaseUrl(none, 1), nullptr)),
      ROW(MP4WriteSample, const uint8_t b[1] = {1}; EXPECT_FALSE(MP4WriteSample(none, 1, b, 1, 1, 0, true))),
      ROW(MP4SetSampleRenderingOffset, EXPECT_FALSE(MP4SetSampleRenderingOffset(none, 1, 1, 0))),
      ROW(MP4ReferenceSample, EXPECT_FALSE(MP4ReferenceSample(none, 1, 1, none, 1, 1))),
  };
}

std::vector<Row> EditRows() {
  return {
      ROW(MP4AddTrackEdit, EXPECT_EQ(MP4AddTrackEdit(none, 1, 0, 0, 1, false), 0u)),
      ROW(MP4DeleteTrackEdit, EXPECT_FALSE(MP4DeleteTrackEdit(none, 1, 1))),
      ROW(MP4GetTrackNumberOfEdits, EXPECT_EQ(MP4GetTrackNumberOfEdits(none, 1), 0u)),
      ROW(MP4GetTrackEditMediaStart, EXPECT_EQ(MP4GetTrackEditMediaStart(none, 1, 1), UINT64_MAX)),
      ROW(MP4GetTrackEditDuration, EXPECT_EQ(MP4GetTrackEditDuration(none, 1, 1), UINT64_MAX)),
      ROW(MP4GetTrackEditTotalDuration, EXPECT_EQ(MP4GetTrackEditTotalDuration(none, 1, 0), UINT64_MAX)),
      ROW(MP4GetTrackEditDwell, EXPECT_EQ(MP4GetTrackEditDwell(none, 1, 1), -1)),
      ROW(MP4SetTrackEditMediaStart, EXPECT_FALSE(MP4SetTrackEditMediaStart(none, 1, 1, 0))),
      ROW(MP4SetTrackEditDuration, EXPECT_FALSE(MP4SetTrackEditDuration(none, 1, 1, 1))),
      ROW(MP4SetTrackEditDwell, EXPECT_FALSE(MP4SetTrackEditDwell(none, 1, 1, true))),
      ROW(MP4GetSampleIdFromEditTime, Untouched o;
          EXPECT_EQ(MP4GetSampleIdFromEditTime(none, 1, 0, &o.start, &o.duration), 0u); o.Expect()),
      ROW(MP4ReadSampleFromEditTime,
          ExpectNoSample([](uint8_t** b, uint32_t* s, uint64_t* start, uint64_t* duration) {
            return MP4ReadSampleFromEditTime(none, 1, 0, b, s, start, duration, nullptr, nullptr);
          })),
  };
}

std::vector<Row> CopyingRows() {
  return {
      ROW(MP4BinaryToBase16, EXPECT_EQ(MP4BinaryToBase16(nullptr, 3), nullptr)),
      ROW(MP4BinaryToBase64, EXPECT_EQ(MP4BinaryToBase64(nullptr, 3), nullptr)),
      // No neutral value: a record of its own, zeroed.
      ROW(MP4DefaultISMACrypParams, MP4IsmaCrypParams* p = MP4DefaultISMACrypParams(nullptr);
          ASSERT_NE(p, nullptr);
          EXPECT_TRUE(p->scheme_type == 0 && p->scheme_version == 0 && p->key_ind_len == 0 && p->iv_len == 0 &&
                      p->selective_enc == 0 && p->kms_uri == nullptr);
          free(p)),
      ROW(MP4CopySample, EXPECT_FALSE(MP4CopySample(none, 1, 1, none, 1, UINT64_MAX))),
      ROW(MP4EncAndCopySample, EXPECT_FALSE(MP4EncAndCopySample(none, 1, 1, Encrypt, 1, none, 1, UINT64_MAX))),
      ROW(MP4CloneTrack, EXPECT_EQ(MP4CloneTrack(none, 1, none, 0), 0u)),
      ROW(MP4EncAndCloneTrack, EXPECT_EQ(MP4EncAndCloneTrack(none, 1, &crypt, none, 0), 0u)),
      ROW(MP4CopyTrack, EXPECT_EQ(MP4CopyTrack(none, 1, none, true, 0), 0u)),
      ROW(MP4EncAndCopyTrack, EXPECT_EQ(MP4EncAndCopyTrack(none, 1, &crypt, Encrypt, 1, none, true, 0), 0u)),
  };
}

std::vector<Row> HintRows() {
  return {
      ROW(MP4AddHintTrack, EXPECT_EQ(MP4AddHintTrack(none, 1), 0u)),
      ROW(MP4GetHintTrackRtpPayload, Untouched o; char* name = const_cast<char*>(o.text);
          char* params = name; uint16_t maxSize = 5;
          EXPECT_FALSE(MP4GetHintTrackRtpPayload(none, 1, &name, &o.byte, &maxSize, &params));
          EXPECT_EQ(name, o.text); EXPECT_EQ(params, o.text); EXPECT_EQ(maxSize, 5); EXPECT_EQ(o.byte, 9)),
      ROW(MP4SetHintTrackRtpPayload, uint8_t number = 255;
          EXPECT_FALSE(MP4SetHintTrackRtpPayload(none, 1, "H264", &number, 0, nullptr, true, true))),
      ROW(MP4GetSessionSdp, EXPECT_EQ(MP4GetSessionSdp(none), nullptr)),
      ROW(MP4SetSessionSdp, EXPECT_FALSE(MP4SetSessionSdp(none, "v=0\r\n"))),
      ROW(MP4AppendSessionSdp, EXPECT_FALSE(MP4AppendSessionSdp(none, "v=0\r\n"))),
      ROW(MP4GetHintTrackSdp, EXPECT_EQ(MP4GetHintTrackSdp(none, 1), nullptr)),
      ROW(MP4SetHintTrackSdp, EXPECT_FALSE(MP4SetHintTrackSdp(none, 1, "a=x\r\n"))),
      ROW(MP4AppendHintTrackSdp, EXPECT_FALSE(MP4AppendHintTrackSdp(none, 1, "a=x\r\n"))),
      ROW(MP4GetHintTrackReferenceTrackId, EXPECT_EQ(MP4GetHintTrackReferenceTrackId(none, 1), 0u)),
      ROW(MP4ReadRtpHint, uint16_t packets = 5; EXPECT_FALSE(MP4ReadRtpHint(none, 1, 1, &packets));
          EXPECT_EQ(packets, 5)),
      ROW(MP4GetRtpHintNumberOfPackets, EXPECT_EQ(MP4GetRtpHintNumberOfPackets(none, 1), 0)),
      ROW(MP4GetRtpPacketBFrame, EXPECT_EQ(MP4GetRtpPacketBFrame(none, 1, 0), -1)),
      ROW(MP4GetRtpPacketTransmitOffset, EXPECT_EQ(MP4GetRtpPacketTransmitOffset(none, 1, 0), 0)),
      ROW(MP4ReadRtpPacket, Untouched o;
          EXPECT_FALSE(MP4ReadRtpPacket(none, 1, 0, &o.bytes, &o.size, 1, true, true)); o.Expect()),
      ROW(MP4GetRtpTimestampStart, EXPECT_EQ(MP4GetRtpTimestampStart(none, 1), UINT64_MAX)),
      ROW(MP4SetRtpTimestampStart, EXPECT_FALSE(MP4SetRtpTimestampStart(none, 1, 0))),
      ROW(MP4AddRtpVideoHint, EXPECT_FALSE(MP4AddRtpVideoHint(none, 1, true, 0))),
      ROW(MP4AddRtpHint, EXPECT_FALSE(MP4AddRtpHint(none, 1))),
      ROW(MP4AddRtpPacket, EXPECT_FALSE(MP4AddRtpPacket(none, 1, true, 0))),
      ROW(MP4AddRtpImmediateData, const uint8_t b[2] = {1, 2}; EXPECT_FALSE(MP4AddRtpImmediateData(none, 1, b, 2))),
      ROW(MP4AddRtpSampleData, EXPECT_FALSE(MP4AddRtpSampleData(none, 1, 1, 0, 1))),
      ROW(MP4AddRtpESConfigurationPacket, EXPECT_FALSE(MP4AddRtpESConfigurationPacket(none, 1))),
      ROW(MP4WriteRtpHint, EXPECT_FALSE(MP4WriteRtpHint(none, 1, 1, true))),
  };
}

std::vector<Row> ComplianceRows() {
  return {
      // Without a handle: a file that cannot be opened.
      ROW(MP4Make3GPCompliant, EXPECT_FALSE(MP4Make3GPCompliant(nullptr, 0, nullptr, 0, nullptr, 0, false))),
      ROW(MP4MakeIsmaCompliant, EXPECT_FALSE(MP4MakeIsmaCompliant(nullptr, 0, false))),
      // Without a handle: a configuration whose data URL cannot be written.
      ROW(MP4MakeIsmaSdpIod, std::vector<uint8_t> config(300);
          EXPECT_EQ(MP4MakeIsmaSdpIod(1, 1000, config.data(), 300, 0xFF, 0, nullptr, 0, 0), nullptr)),
  };
}

std::vector<Row> ChapterRows() {
  return {
      ROW(MP4AddQTChapter, MP4AddQTChapter(none, 1, 1000, 1, "One")),
      ROW(MP4AddChapter, MP4AddChapter(none, 0, "One")),
      ROW(MP4ConvertChapters, MP4ConvertChapters(none, true)),
      ROW(MP4DeleteChapters, MP4DeleteChapters(none, 0, true)),
      ROW(MP4GetChaptersList, MP4ChapterStruct one{};
          MP4ChapterStruct* list = &one; uint32_t count = 5; MP4GetChaptersList(none, &list, &count, true);
          EXPECT_EQ(list, nullptr); EXPECT_EQ(count, 0u)),
  };
}

std::vector<Row> MetadataRows() {
  return {
      ROW(MP4SetMetadataName, EXPECT_FALSE(MP4SetMetadataName(none, "x"))),
      ROW(MP4GetMetadataName, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataName(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataName, EXPECT_FALSE(MP4DeleteMetadataName(none))),
      ROW(MP4SetMetadataWriter, EXPECT_FALSE(MP4SetMetadataWriter(none, "x"))),
      ROW(MP4GetMetadataWriter, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataWriter(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataWriter, EXPECT_FALSE(MP4DeleteMetadataWriter(none))),
      ROW(MP4SetMetadataAlbum, EXPECT_FALSE(MP4SetMetadataAlbum(none, "x"))),
      ROW(MP4GetMetadataAlbum, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataAlbum(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataAlbum, EXPECT_FALSE(MP4DeleteMetadataAlbum(none))),
      ROW(MP4SetMetadataArtist, EXPECT_FALSE(MP4SetMetadataArtist(none, "x"))),
      ROW(MP4GetMetadataArtist, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataArtist(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataArtist, EXPECT_FALSE(MP4DeleteMetadataArtist(none))),
      ROW(MP4SetMetadataTool, EXPECT_FALSE(MP4SetMetadataTool(none, "x"))),
      ROW(MP4GetMetadataTool, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataTool(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataTool, EXPECT_FALSE(MP4DeleteMetadataTool(none))),
      ROW(MP4SetMetadataComment, EXPECT_FALSE(MP4SetMetadataComment(none, "x"))),
      ROW(MP4GetMetadataComment, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataComment(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataComment, EXPECT_FALSE(MP4DeleteMetadataComment(none))),
      ROW(MP4SetMetadataYear, EXPECT_FALSE(MP4SetMetadataYear(none, "x"))),
      ROW(MP4GetMetadataYear, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataYear(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataYear, EXPECT_FALSE(MP4DeleteMetadataYear(none))),
      ROW(MP4SetMetadataGrouping, EXPECT_FALSE(MP4SetMetadataGrouping(none, "x"))),
      ROW(MP4GetMetadataGrouping, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataGrouping(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataGrouping, EXPECT_FALSE(MP4DeleteMetadataGrouping(none))),
      ROW(MP4SetMetadataAlbumArtist, EXPECT_FALSE(MP4SetMetadataAlbumArtist(none, "x"))),
      ROW(MP4GetMetadataAlbumArtist, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataAlbumArtist(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataAlbumArtist, EXPECT_FALSE(MP4DeleteMetadataAlbumArtist(none))),
      ROW(MP4SetMetadataTrack, EXPECT_FALSE(MP4SetMetadataTrack(none, 1, 2))),
      ROW(MP4GetMetadataTrack, uint16_t a = 0, b = 0; EXPECT_FALSE(MP4GetMetadataTrack(none, &a, &b))),
      ROW(MP4DeleteMetadataTrack, EXPECT_FALSE(MP4DeleteMetadataTrack(none))),
      ROW(MP4SetMetadataDisk, EXPECT_FALSE(MP4SetMetadataDisk(none, 1, 2))),
      ROW(MP4GetMetadataDisk, uint16_t a = 0, b = 0; EXPECT_FALSE(MP4GetMetadataDisk(none, &a, &b))),
      ROW(MP4DeleteMetadataDisk, EXPECT_FALSE(MP4DeleteMetadataDisk(none))),
      ROW(MP4SetMetadataGenre, EXPECT_FALSE(MP4SetMetadataGenre(none, "Rock"))),
      ROW(MP4GetMetadataGenre, char* v = nullptr; EXPECT_FALSE(MP4GetMetadataGenre(none, &v)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataGenre, EXPECT_FALSE(MP4DeleteMetadataGenre(none))),
      ROW(MP4SetMetadataTempo, EXPECT_FALSE(MP4SetMetadataTempo(none, 120))),
      ROW(MP4GetMetadataTempo, uint16_t v = 0; EXPECT_FALSE(MP4GetMetadataTempo(none, &v))),
      ROW(MP4DeleteMetadataTempo, EXPECT_FALSE(MP4DeleteMetadataTempo(none))),
      ROW(MP4SetMetadataCompilation, EXPECT_FALSE(MP4SetMetadataCompilation(none, 1))),
      ROW(MP4GetMetadataCompilation, uint8_t v = 0; EXPECT_FALSE(MP4GetMetadataCompilation(none, &v))),
      ROW(MP4DeleteMetadataCompilation, EXPECT_FALSE(MP4DeleteMetadataCompilation(none))),
      ROW(MP4SetMetadataPartOfGaplessAlbum, EXPECT_FALSE(MP4SetMetadataPartOfGaplessAlbum(none, 1))),
      ROW(MP4GetMetadataPartOfGaplessAlbum, uint8_t v = 0; EXPECT_FALSE(MP4GetMetadataPartOfGaplessAlbum(none, &v))),
      ROW(MP4DeleteMetadataPartOfGaplessAlbum, EXPECT_FALSE(MP4DeleteMetadataPartOfGaplessAlbum(none))),
      ROW(MP4SetMetadataCoverArt, const uint8_t b[2] = {1, 2}; EXPECT_FALSE(MP4SetMetadataCoverArt(none, b, 2))),
      ROW(MP4GetMetadataCoverArt, uint8_t* v = nullptr; uint32_t n = 0;
          EXPECT_FALSE(MP4GetMetadataCoverArt(none, &v, &n, 0)); EXPECT_EQ(v, nullptr)),
      ROW(MP4GetMetadataCoverArtCount, EXPECT_EQ(MP4GetMetadataCoverArtCount(none), 0u)),
      ROW(MP4DeleteMetadataCoverArt, EXPECT_FALSE(MP4DeleteMetadataCoverArt(none))),
      ROW(MP4SetMetadataFreeForm, const uint8_t b[2] = {1, 2};
          EXPECT_FALSE(MP4SetMetadataFreeForm(none, "n", b, 2, nullptr))),
      ROW(MP4GetMetadataFreeForm, uint8_t* v = nullptr; uint32_t n = 0;
          EXPECT_FALSE(MP4GetMetadataFreeForm(none, "n", &v, &n, nullptr)); EXPECT_EQ(v, nullptr)),
      ROW(MP4DeleteMetadataFreeForm, EXPECT_FALSE(MP4DeleteMetadataFreeForm(none, "n", nullptr))),
      ROW(MP4GetMetadataByIndex, char* name = nullptr; uint8_t* v = nullptr; uint32_t n = 0;
          EXPECT_FALSE(MP4GetMetadataByIndex(none, 0, &name, &v, &n)); EXPECT_EQ(name, nullptr)),
      ROW(MP4MetadataDelete, EXPECT_FALSE(MP4MetadataDelete(none))),
  };
}


// The message callback, 66 functions of opening and reading, 98 of writing,
// edits, hints, copying and conversions, and 54 of metadata.
const size_t kInterfaceFunctions = 219;

std::vector<Row> AllRows() {
  std::vector<Row> rows;
  for (const auto& family : {ReadingRows(), WritingRows(), EditRows(), CopyingRows(), HintRows(), ComplianceRows(),
                             ChapterRows(), MetadataRows()})
    rows.insert(rows.end(), family.begin(), family.end());
  return rows;
}

TEST(MP4Interface, EveryFunctionGivesItsNeutralValueForTheInvalidHandle) {
  const std::vector<Row> rows = AllRows();
  std::set<std::string> names;
  std::string walked;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(names.insert(row.name).second) << "twice";
    row.check();
    walked += std::string(walked.empty() ? "" : " ") + row.name;
  }
  EXPECT_EQ(names.size(), kInterfaceFunctions);
  printf("%zu of the %zu interface functions walked: %s\n", rows.size(), kInterfaceFunctions, walked.c_str());
  RecordProperty("walked", static_cast<int>(rows.size()));
}

// Every function of the table is defined in the library under its C name:
// a caller in C links none with a C++ (mangled) name.
TEST(MP4Interface, EveryFunctionHasItsCName) {
  const tu::RunResult r = tu::run(std::string("nm -g --defined-only ") + tu::q(MP4_LIBRARY));
  ASSERT_EQ(r.status, 0) << r.out;
  std::set<std::string> text;
  for (const std::string& line : tu::lines(r.out)) {
    std::istringstream in(line);
    std::string address, type, name;
    if (in >> address >> type >> name && type == "T") text.insert(name);
  }
  for (const Row& row : AllRows()) EXPECT_EQ(text.count(row.name), 1u) << row.name;
}

// A caller in C99 (c_caller.c) reads an ffmpeg file as ffprobe sees it: its
// tracks, and the first samples with their checksums, times and sync flags.
// Failures go to the callback it installs, and without one to stderr.
TEST(MP4Interface, CallerInC) {
  const std::string path = tu::scratch("c.mp4");
  ASSERT_TRUE(tu::ffmpeg(std::string(kVideo) + " " + kAudio + " -c:v libx264 -bf 2 -c:a aac -shortest " +
                         tu::q(path)));
  const tu::RunResult probe = tu::run("ffprobe -v error -show_entries stream=codec_type,codec_tag_string,time_base,"
                                      "nb_frames -of compact=p=0 " + tu::q(path));
  std::string expected;
  int tracks = 0;
  for (const std::string& line : tu::lines(probe.out)) {
    std::map<std::string, std::string> f = CompactFields(line);
    expected += "track " + std::to_string(++tracks) + (f["codec_type"] == "video" ? " vide " : " soun ") +
                f["codec_tag_string"] + " samples " + f["nb_frames"] + " timescale " + f["time_base"].substr(2) + "\n";
  }
  ASSERT_EQ(tracks, 2) << probe.out;
  expected = "tracks 2\n" + expected;
  const std::vector<Packet> packets = FFprobePackets(path).at(0);
  const auto crcs = FrameCrcs(path, 0);
  ASSERT_GE(crcs.size(), 3u);
  for (size_t s = 0; s < 3; s++) {
    char line[200];
    snprintf(line, sizeof line, "sample %zu size %u adler32 0x%08x dts %lld pts %lld sync %d\n", s + 1,
             crcs[s].first, crcs[s].second, static_cast<long long>(packets.at(s).dts),
             static_cast<long long>(packets.at(s).pts), packets.at(s).key ? 1 : 0);
    expected += line;
  }
  expected +=
      "callback 3 MP4ERROR FindTrackIndex:Track id 99 doesn't exist:\n"
      "timescale 0\n"
      "MP4ERROR: FindTrackIndex: Track id 99 doesn't exist\n"
      "timescale 0\n";
  const tu::RunResult r = tu::run(tu::q(MP4_C_CALLER) + " " + tu::q(path));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
}

// ---------------------------------------------------------------- quirks

int messages = 0;
void CountMessage(int, const char*, const char*, ...) { messages++; }

// What callers rely on, odd as some of it looks.
TEST(MP4Interface, QuirksCallersRelyOn) {
  const std::string path = tu::scratch("quirks.mp4");
  MP4FileHandle h = MP4Create(path.c_str(), 0, 0);
  ASSERT_NE(h, nullptr);
  // The encryption record comes before the video type here, while every
  // other adder has the type last: callers pass them in this order.
  MP4IsmaCrypParams record = {0x12345678, 3, 4, 8, 0, "k"};
  const uint32_t video = MP4AddEncVideoTrack(h, 90000, 3000, 320, 240, &record, 0x20, "mp4v");
  ASSERT_NE(video, 0u);
  EXPECT_EQ(MP4GetTrackEsdsObjectTypeId(h, video), 0x20);
  uint64_t scheme = 0;
  EXPECT_TRUE(MP4GetTrackIntegerProperty(h, video, "mdia.minf.stbl.stsd.encv.sinf.schm.scheme_type", &scheme));
  EXPECT_EQ(scheme, 0x12345678u);
  // Without a record there is no encrypted video track.
  EXPECT_EQ(MP4AddEncVideoTrack(h, 90000, 3000, 320, 240, nullptr, 0x20, "mp4v"), 0u);
  // Any handler type makes a systems track with an "mp4s" entry, even
  // video; a clone of one is made the same way.
  const uint32_t any = MP4AddTrack(h, "vide"), other = MP4AddTrack(h, "abcd");
  EXPECT_STREQ(MP4GetTrackType(h, any), "vide");
  EXPECT_STREQ(MP4GetTrackMediaDataName(h, any), "mp4s");
  const uint32_t clone = MP4CloneTrack(h, other, nullptr, 0);
  ASSERT_NE(clone, 0u);
  EXPECT_STREQ(MP4GetTrackType(h, clone), "abcd");
  EXPECT_STREQ(MP4GetTrackMediaDataName(h, clone), "mp4s");
  EXPECT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), 4u);
  // Does nothing, whatever it is given.
  EXPECT_FALSE(MP4ReferenceSample(h, video, 1, h, video, 1000));
  MP4Close(h);
  // The movie time scale changes on a file opened for reading too: it is
  // what the open file converts movie times with.
  Handle r = Open(path);
  ASSERT_NE(r.get(), nullptr);
  EXPECT_TRUE(MP4SetTimeScale(r.get(), 90000));
  EXPECT_EQ(MP4GetTimeScale(r.get()), 90000u);
  EXPECT_EQ(MP4ConvertFromMovieDuration(r.get(), 90000, 1000), 1000u);
  EXPECT_FALSE(MP4SetTimeScale(r.get(), 0));
  // A caller's record is zeroed in place.
  EXPECT_EQ(MP4DefaultISMACrypParams(&record), &record);
  EXPECT_TRUE(record.scheme_type == 0 && record.scheme_version == 0 && record.key_ind_len == 0 &&
              record.iv_len == 0 && record.selective_enc == 0 && record.kms_uri == nullptr);
}

// The texts of bytes against coreutils'.
TEST(MP4Interface, ConversionsAgreeWithCoreutils) {
  const uint8_t data[] = {0x00, 0x01, 0xFE, 0xFF, 0x10, 0x7F};
  std::string escaped;
  for (size_t n = 1; n <= sizeof data; n++) {
    char octal[8];
    snprintf(octal, sizeof octal, "\\%03o", data[n - 1]);
    escaped += octal;
    const std::string printf = "printf '" + escaped + "' | ";
    char* hex = MP4BinaryToBase16(data, n);
    char* base64 = MP4BinaryToBase64(data, n);
    ASSERT_TRUE(hex && base64);
    EXPECT_EQ(hex, tu::run(printf + "od -An -v -tx1 | tr -d ' \\n'").out) << n;
    EXPECT_EQ(base64, tu::run(printf + "base64 -w0").out) << n;
    free(hex);
    free(base64);
  }
}

// ---------------------------------------------------------------- texts handed out

// A file made through the interface: a video track with a named handler, a
// URL track, a chapter, metadata and a hint track with session
// descriptions.
MP4FileHandle MadeWithTexts(const std::string& path) {
  MP4FileHandle h = MP4Create(path.c_str(), 0, 0);
  const uint32_t video = MP4AddVideoTrack(h, 90000, 3000, 320, 240, 0x20);
  const uint32_t href = MP4AddHrefTrack(h, 1000, 1000, "http://a/");
  const uint32_t hint = MP4AddHintTrack(h, video);
  const bool made = video == 1 && href == 2 && hint == 3 &&
                    MP4SetTrackStringProperty(h, video, "mdia.hdlr.name", "pictures") &&
                    MP4SetMetadataName(h, "song") && MP4SetStringProperty(h, "moov.udta.meta.hdlr.name", "tags") &&
                    MP4SetSessionSdp(h, "v=0\r\n") && MP4SetHintTrackSdp(h, hint, "m=video\r\n");
  MP4AddChapter(h, 0, "first");
  EXPECT_TRUE(made);
  return h;
}

// A crafted file whose initial object descriptor holds a keyword of 16-bit
// characters ("abc"), opened to be changed.
MP4FileHandle CraftedWithWideText(const std::string& path) {
  tu::write_file(path, Cat({Box("ftyp", Cat({Lit("isom"), BE(0, 4)})), Box("mdat", {}), Moov({OciIods()})}));
  return MP4Modify(path.c_str(), 0);
}

// Each text that the interface hands out, got, then a call on the same
// handle that changes or removes what it was taken from: the text got before
// still reads as it did (and ends as before) until the file is closed,
// while a new get gives the new text. The same text asked for twice while
// it is unchanged is the same copy.
TEST(MP4Interface, TextsStayValidUntilClose) {
  const std::string wide = {0, 'a', 0, 'b', 0, 'c'}, wider = {0, 'x', 0, 'y', 0, 'z', 0, 'w'};
  const struct {
    const char* what;
    std::function<MP4FileHandle(const std::string&)> open;
    std::function<const char*(MP4FileHandle)> get;
    std::function<bool(MP4FileHandle)> change;
    std::string before;
    std::optional<std::string> after;  // none: the get fails after the change
    uint32_t width = 1;
  } rows[] = {
      {"field set again", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetStringProperty(h, "moov.trak[0].mdia.hdlr.name", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) { return MP4SetStringProperty(h, "moov.trak[0].mdia.hdlr.name", "moving"); },
       "pictures", "moving"},
      {"track field set again", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetTrackStringProperty(h, 1, "mdia.hdlr.name", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) { return MP4SetTrackStringProperty(h, 1, "mdia.hdlr.name", "moving"); }, "pictures",
       "moving"},
      {"track field of a deleted track", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetTrackStringProperty(h, 1, "mdia.hdlr.name", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) { return MP4DeleteTrack(h, 1), MP4GetNumberOfTracks(h, nullptr, 0) == 2; }, "pictures",
       std::nullopt},
      {"track type, handler type set", MadeWithTexts, [](MP4FileHandle h) { return MP4GetTrackType(h, 1); },
       [](MP4FileHandle h) { return MP4SetTrackStringProperty(h, 1, "mdia.hdlr.handlerType", "soun"); }, "vide",
       "soun"},
      {"track type of a deleted track", MadeWithTexts, [](MP4FileHandle h) { return MP4GetTrackType(h, 1); },
       [](MP4FileHandle h) { return MP4DeleteTrack(h, 1), MP4GetNumberOfTracks(h, nullptr, 0) == 2; }, "vide",
       std::nullopt},
      {"sample entry of a deleted track", MadeWithTexts,
       [](MP4FileHandle h) { return MP4GetTrackMediaDataName(h, 1); },
       [](MP4FileHandle h) { return MP4DeleteTrack(h, 1), MP4GetNumberOfTracks(h, nullptr, 0) == 2; }, "mp4v",
       std::nullopt},
      {"base URL set again", MadeWithTexts, [](MP4FileHandle h) { return MP4GetHrefTrackBaseUrl(h, 2); },
       [](MP4FileHandle h) {
         return MP4SetTrackStringProperty(h, 2, "mdia.minf.stbl.stsd.href.burl.base_url", "http://b/");
       },
       "http://a/", "http://b/"},
      {"chapter title, chapters deleted", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetStringProperty(h, "moov.udta.chpl.chapters[0].name", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) { return MP4DeleteChapters(h, 0, false), !MP4HaveAtom(h, "moov.udta.chpl"); }, "first",
       std::nullopt},
      {"metadata handler, metadata deleted", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetStringProperty(h, "moov.udta.meta.hdlr.name", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) { return MP4MetadataDelete(h); }, "tags", std::nullopt},
      {"session description as a field", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetStringProperty(h, "moov.udta.hnti.rtp .sdpText", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) { return MP4AppendSessionSdp(h, "s=x\r\n"); }, "v=0\r\n", "v=0\r\ns=x\r\n"},
      {"hint track description as a field, payload set", MadeWithTexts,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetTrackStringProperty(h, 3, "udta.hnti.sdp .sdpText", &s) ? s : nullptr;
       },
       [](MP4FileHandle h) {
         uint8_t number = 96;
         return MP4SetHintTrackRtpPayload(h, 3, "MP4V-ES", &number, 0, nullptr, false, false);
       },
       "m=video\r\n", "m=video 0 RTP/AVP 96\r\na=control:trackID=3\r\n"},
      {"16-bit text set again", CraftedWithWideText,
       [](MP4FileHandle h) {
         const char* s = nullptr;
         return MP4GetStringProperty(h, "moov.iods.ociDescr[2].keywords[0].string", &s) ? s : nullptr;
       },
       [&](MP4FileHandle h) {
         const std::string terminated = wider + std::string(2, '\0');
         return MP4SetStringProperty(h, "moov.iods.ociDescr[2].keywords[0].string", terminated.c_str());
       },
       wide, wider, 2},
  };
  // The characters of a text up to its terminator, a zero character of its
  // width; read byte by byte here, where ASan sees every read.
  const auto read = [](const char* p, uint32_t width) {
    std::string chars;
    for (;; p += width) {
      std::string c;
      for (uint32_t i = 0; i < width; i++) c.push_back(p[i]);
      if (c == std::string(width, '\0')) return chars;
      chars += c;
    }
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    MP4FileHandle h = row.open(tu::scratch("texts.mp4"));
    ASSERT_NE(h, nullptr);
    const char* text = row.get(h);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(row.get(h), text);
    ASSERT_TRUE(row.change(h));
    const char* now = row.get(h);
    if (row.after) {
      ASSERT_NE(now, nullptr);
      EXPECT_EQ(read(now, row.width), *row.after);
    } else {
      EXPECT_EQ(now, nullptr);
    }
    EXPECT_EQ(read(text, row.width), row.before);
    MP4Close(h);
  }
}

// ---------------------------------------------------------------- copies of ffmpeg's files

// The inputs, each made when a test of this process first asks for it.
std::string Input(const std::string& name) {
  static const std::string dir = tu::process_scratch("interface");
  const std::string path = dir + name;
  if (tu::exists(path)) return path;
  const std::string video = "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 ";
  const std::string audio = "-f lavfi -i sine=duration=1 ";
  const std::string avc = "-pix_fmt yuv420p -c:v libx264 ";
  const std::string pyramids = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 ";
  if (name == "gop-cut.mp4") {
    const std::string whole = dir + "gop.mp4";
    EXPECT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=8 -f lavfi -i sine=duration=8 " +
                           avc + "-bf 2 -x264-params keyint=50:min-keyint=50:scenecut=0 -c:a aac -shortest " +
                           tu::q(whole)));
    EXPECT_TRUE(tu::ffmpeg("-ss 3.3 -i " + tu::q(whole) + " -t 4 -c copy " + tu::q(path)));
    return path;
  }
  if (name == "two-edits.mp4") {
    // The sound of gop-cut.mp4's source shown in two stretches, each from
    // inside a packet: its edit list written over by hand.
    Input("gop-cut.mp4");
    Bytes file = tu::read_file(dir + "gop.mp4");
    const std::vector<Walked> boxes = Walk(file);
    const Walked* elst = Find(boxes, "elst", 1);
    EXPECT_NE(elst, nullptr);
    if (!elst) return path;
    const Bytes edits = FullBox("elst", 0, 0, Cat({BE(2, 4), BE(2000, 4), BE(1024 + 30000, 4), BE(1, 2), BE(0, 2),
                                                   BE(3000, 4), BE(1024 + 200500, 4), BE(1, 2), BE(0, 2)}));
    const uint64_t delta = edits.size() - elst->size;
    // The boxes it lies in grow with it; the movie is last, so no chunk moves.
    for (const Walked& w : boxes)
      if (w.depth < elst->depth && w.offset < elst->offset && elst->offset < w.offset + w.size) {
        const Bytes size = BE(w.size + delta, 4);
        std::copy(size.begin(), size.end(), file.begin() + static_cast<long>(w.offset));
      }
    file.erase(file.begin() + static_cast<long>(elst->offset),
               file.begin() + static_cast<long>(elst->offset + elst->size));
    file.insert(file.begin() + static_cast<long>(elst->offset), edits.begin(), edits.end());
    tu::write_file(path, file);
    return path;
  }
  if (name == "cut.mp4") {
    // Cut out of a file with AAC: its audio edit starts inside a packet.
    EXPECT_TRUE(tu::ffmpeg("-ss 0.35 -i " + tu::q(Input("avc_aac.mp4")) + " -t 0.5 -c copy " + tu::q(path)));
    return path;
  }
  const std::map<std::string, std::string> make = {
      {"avc_aac.mp4", video + audio + avc + "-bf 2 -c:a aac -shortest "},
      {"mpeg4.mp4", video + "-c:v mpeg4 "},
      {"noedits.mp4", video + audio + avc + "-bf 0 -c:a aac -shortest -use_editlist 0 "},
      {"hvc1_ac3.mp4", video + audio + "-pix_fmt yuv420p -c:v libx265 -x265-params log-level=error -tag:v hvc1 "
                                       "-c:a ac3 -shortest "},
      {"rtphint.mp4", video + avc + "-movflags +rtphint "},
      // B pictures in pyramids over two groups, behind the composition
      // delay or with negative offsets and no delay.
      {"bframes.mp4", pyramids + avc + "-bf 3 -g 12 "},
      {"negative.mp4", pyramids + avc + "-bf 3 -g 12 -movflags +negative_cts_offsets "},
      // PCM sound in QuickTime files: little- and big-endian 16-bit, and
      // at a rate above 65535 Hz the version 2 entry.
      {"sowt.mov", video + audio + avc + "-c:a pcm_s16le -shortest "},
      {"twos.mov", video + audio + avc + "-c:a pcm_s16be -shortest "},
      {"lpcm.mov", video + "-f lavfi -i sine=duration=1:sample_rate=96000 " + avc + "-c:a pcm_s16le -shortest "},
  };
  EXPECT_TRUE(tu::ffmpeg(make.at(name) + tu::q(path)));
  return path;
}

// ffprobe's description of the streams: codec, entry, profile, level,
// sizes, rates and time base.
std::string Described(const std::string& path) {
  return tu::run("ffprobe -v error -show_entries stream=codec_name,codec_tag_string,profile,level,width,height,"
                 "pix_fmt,sample_rate,channels,time_base -of default=nw=1 " + tu::q(path))
      .out;
}

// Every track copied into a new file; for the file without edit lists also
// with edits applied, which then copies every sample. The packets, streams
// and packet checksums are the source's.
TEST(MP4Copying, CopiesHaveTheSourcesPackets) {
  for (const std::string name : {"avc_aac.mp4", "mpeg4.mp4", "noedits.mp4"}) {
    const std::string source = Input(name), target = tu::scratch("copy-" + name);
    Handle in = Open(source);
    ASSERT_NE(in.get(), nullptr) << name;
    MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
    const uint32_t tracks = MP4GetNumberOfTracks(in.get(), nullptr, 0);
    const bool applyEdits = name == "noedits.mp4";
    for (uint32_t t = 0; t < tracks; t++) {
      const uint32_t id = MP4FindTrackId(in.get(), t, nullptr, 0);
      if (applyEdits) { EXPECT_EQ(MP4GetTrackNumberOfEdits(in.get(), id), 0u) << name; }
      EXPECT_EQ(MP4CopyTrack(in.get(), id, out, applyEdits, 0), t + 1) << name;
    }
    MP4Close(out);
    EXPECT_EQ(PacketLines(target, false), PacketLines(source, false)) << name;
    EXPECT_EQ(Described(target), Described(source)) << name;
    for (uint32_t t = 0; t < tracks; t++) {
      EXPECT_EQ(FrameCrcs(target, t), FrameCrcs(source, t)) << name << t;
      // The decoder configuration up to the parameter sets: the four bytes
      // that follow them in a High profile "avcC" are not written.
      const Bytes config = FFprobeExtradata(target, t), original = FFprobeExtradata(source, t);
      EXPECT_GE(config.size() + 4, original.size()) << name << t;
      EXPECT_EQ(config, Bytes(original.begin(), original.begin() + std::min(config.size(), original.size())))
          << name << t;
    }
    EXPECT_EQ(tu::run("ffmpeg -v error -xerror -i " + tu::q(target) + " -f null -").status, 0) << name;
  }
}

// HEVC video, AC-3 sound and a hint track without the track it is to refer
// to are not cloned, and nothing of them is left.
TEST(MP4Copying, OtherEntriesAreNotCloned) {
  const std::string target = tu::scratch("refused.mp4");
  MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
  Handle in = Open(Input("hvc1_ac3.mp4"));
  ASSERT_EQ(MP4GetNumberOfTracks(in.get(), nullptr, 0), 2u);
  EXPECT_STREQ(MP4GetTrackMediaDataName(in.get(), 1), "hvc1");
  EXPECT_STREQ(MP4GetTrackMediaDataName(in.get(), 2), "ac-3");
  for (uint32_t id = 1; id <= 2; id++) {
    EXPECT_EQ(MP4CloneTrack(in.get(), id, out, 0), 0u) << id;
    EXPECT_EQ(MP4CopyTrack(in.get(), id, out, false, 0), 0u) << id;
  }
  Handle hinted = Open(Input("rtphint.mp4"));
  const uint32_t hint = MP4FindTrackId(hinted.get(), 0, "hint", 0);
  ASSERT_NE(hint, 0u);
  EXPECT_EQ(MP4CloneTrack(hinted.get(), hint, out, 0), 0u);
  EXPECT_EQ(MP4EncAndCloneTrack(hinted.get(), hint, &crypt, out, 0), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(out, nullptr, 0), 0u);
  MP4Close(out);
}

// A track whose sample entry cannot be cloned is refused with one error
// line that names the entry, under the function refusing it, by the
// source's verbosity: PCM sound ("sowt", "twos" and "lpcm", as ffprobe
// names them), HEVC video and AC-3 sound. The AVC track beside the sound
// is copied, and prints nothing.
// The lines the library's message function is given, one per call.
std::string g_messages;
void CollectMessage(int, const char*, const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  g_messages += std::string(line) + "\n";
}

TEST(MP4Copying, RefusedEntriesAreNamed) {
  for (const std::string name : {"sowt.mov", "twos.mov", "lpcm.mov", "hvc1_ac3.mp4"}) {
    const std::string source = Input(name);
    const tu::RunResult tags = tu::run("ffprobe -v error -show_entries stream=codec_tag_string -of default=nw=1 " +
                                       tu::q(source));
    std::vector<std::string> entries;
    for (const std::string& line : tu::lines(tags.out))
      if (line.rfind("codec_tag_string=", 0) == 0) entries.push_back(line.substr(17));
    ASSERT_EQ(entries.size(), 2u) << name;
    Handle in(MP4Read(source.c_str(), MP4_VERB_ERRORS), MP4Close);
    ASSERT_TRUE(in) << name;
    MP4FileHandle out = MP4Create(tu::scratch("refused-" + name + ".mp4").c_str(), MP4_VERB_ERRORS, 0);
    uint32_t copied = 0;
    for (uint32_t t = 0; t < 2; t++) {
      const uint32_t id = MP4FindTrackId(in.get(), static_cast<uint16_t>(t), nullptr, 0);
      const std::string entry = entries[t];
      ASSERT_STREQ(MP4GetTrackMediaDataName(in.get(), id), entry.c_str()) << name;
      const std::string said = "track " + std::to_string(id) + " has a sample entry \"" + entry +
                               "\" that cannot be copied";
      g_messages.clear();
      MP4SetLibFunc(CollectMessage);
      const uint32_t clone = MP4CloneTrack(in.get(), id, out, 0);
      const std::string cloneSaid = g_messages;
      g_messages.clear();
      const uint32_t copy = MP4CopyTrack(in.get(), id, out, false, 0);
      const std::string copySaid = g_messages;
      MP4SetLibFunc(nullptr);
      if (entry == "avc1") {
        EXPECT_NE(clone, 0u) << name;
        EXPECT_NE(copy, 0u) << name;
        EXPECT_EQ(cloneSaid + copySaid, "") << name;
        copied++;
        continue;
      }
      EXPECT_EQ(clone, 0u) << name << " " << entry;
      EXPECT_EQ(copy, 0u) << name << " " << entry;
      EXPECT_EQ(cloneSaid, "MP4CloneTrack:" + said + ":\n") << name;
      EXPECT_EQ(copySaid, "MP4CopyTrack:" + said + ":\n") << name;
      // The same line on the standard error stream, without the callback;
      // nothing with the source's verbosity cleared.
      testing::internal::CaptureStderr();
      EXPECT_EQ(MP4CopyTrack(in.get(), id, out, false, 0), 0u) << name;
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "MP4ERROR: MP4CopyTrack: " + said + "\n") << name;
      MP4SetVerbosity(in.get(), 0);
      testing::internal::CaptureStderr();
      EXPECT_EQ(MP4CloneTrack(in.get(), id, out, 0), 0u) << name;
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
      MP4SetVerbosity(in.get(), MP4_VERB_ERRORS);
    }
    EXPECT_EQ(MP4GetNumberOfTracks(out, nullptr, 0), 2 * copied) << name;
    MP4Close(out);
  }
}

// A hint track is cloned when it is given the track to refer to: the new
// one refers to it and has the payload the source hint track was given.
TEST(MP4Copying, HintTracksReferToTheTrackGiven) {
  Handle in = Open(Input("rtphint.mp4"));
  const uint32_t video = MP4FindTrackId(in.get(), 0, "vide", 0);
  MP4FileHandle first = MP4Create(tu::scratch("hint-source.mp4").c_str(), 0, 0);
  const uint32_t firstVideo = MP4CopyTrack(in.get(), video, first, false, 0);
  const uint32_t hint = MP4AddHintTrack(first, firstVideo);
  ASSERT_NE(hint, 0u);
  uint8_t number = 97;
  ASSERT_TRUE(MP4SetHintTrackRtpPayload(first, hint, "H264", &number, 1200, nullptr, true, false));
  MP4FileHandle out = MP4Create(tu::scratch("hint-clone.mp4").c_str(), 0, 0);
  const uint32_t newVideo = MP4CopyTrack(first, firstVideo, out, false, 0);
  ASSERT_NE(newVideo, 0u);
  const uint32_t newHint = MP4CloneTrack(first, hint, out, newVideo);
  ASSERT_NE(newHint, 0u);
  EXPECT_EQ(MP4GetHintTrackReferenceTrackId(out, newHint), newVideo);
  EXPECT_EQ(MP4GetTrackTimeScale(out, newHint), MP4GetTrackTimeScale(in.get(), video));
  char* name = nullptr;
  char* params = nullptr;
  uint8_t payloadNumber = 0;
  uint16_t maxSize = 0;
  ASSERT_TRUE(MP4GetHintTrackRtpPayload(out, newHint, &name, &payloadNumber, &maxSize, &params));
  EXPECT_STREQ(name, "H264");
  EXPECT_EQ(payloadNumber, 97);
  EXPECT_EQ(maxSize, 1200);
  free(name);
  free(params);
  MP4Close(out);
  MP4Close(first);
}

// With edits applied the copy of a sound track holds the packets that the
// edit list shows and the one before the first of them, which decoding
// that one needs (the encoder's priming packet of an uncut file), each
// with its own size and duration as stored; its edit starts where the
// source's does, inside the first packet shown, and is as long.
TEST(MP4Copying, CopiesWithEditsHoldWhatTheEditListShows) {
  for (const std::string name : {"avc_aac.mp4", "cut.mp4", "gop-cut.mp4"}) {
    const std::string source = Input(name), target = tu::scratch("edited-" + name);
    Handle in = Open(source);
    const uint32_t audio = MP4FindTrackId(in.get(), 0, "audio", 0);
    const int stream = MP4FindTrackIndex(in.get(), audio);
    ASSERT_EQ(MP4GetTrackNumberOfEdits(in.get(), audio), 1u) << name;
    MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
    ASSERT_EQ(MP4CopyTrack(in.get(), audio, out, true, 0), 1u) << name;
    MP4Close(out);
    // The packets as stored that the edit shows: from the one its media
    // time falls in to the last that starts before its end.
    const Bytes file = tu::read_file(source);
    const std::vector<uint64_t> edit = Fields(file, "elst", stream);
    ASSERT_EQ(edit.size(), 4u) << name;
    const uint64_t movieScale = Fields(file, "mvhd")[2], trackScale = MP4GetTrackTimeScale(in.get(), audio);
    const uint64_t m0 = edit[2], m1 = m0 + (edit[1] * trackScale + movieScale - 1) / movieScale;
    const std::vector<std::string> stored = PacketLines(source, false).at(stream);
    size_t first = stored.size(), last = 0;
    for (size_t i = 0; i < stored.size(); i++) {
      std::map<std::string, std::string> f = CompactFields("x=|" + stored[i]);
      const uint64_t dts = std::stoull(f["dts"]), end = dts + std::stoull(f["duration"]);
      if (end <= m0 || dts >= m1) continue;
      first = std::min(first, i);
      last = std::max(last, i);
    }
    ASSERT_LE(first, last) << name;
    const size_t from = first > 0 ? first - 1 : 0;
    if (name == "avc_aac.mp4") { EXPECT_EQ(first, 1u) << name; }
    const std::vector<std::string> copied = PacketLines(target, false).at(0);
    ASSERT_EQ(copied.size(), last + 1 - from) << name;
    for (size_t i = 0; i < copied.size(); i++) {
      std::map<std::string, std::string> f = CompactFields("x=|" + copied[i]),
                                         g = CompactFields("x=|" + stored[from + i]);
      EXPECT_EQ(f["size"], g["size"]) << name << " " << i;
      EXPECT_EQ(f["duration"], g["duration"]) << name << " " << i;
    }
    // Media times in the track's time scale, lengths in the movie's.
    const Bytes copy = tu::read_file(target);
    const std::vector<uint64_t> copiedEdit = Fields(copy, "elst");
    ASSERT_EQ(copiedEdit.size(), 4u) << name;
    EXPECT_EQ(copiedEdit[2], edit[2] - std::stoull(CompactFields("x=|" + stored[from])["dts"])) << name;
    EXPECT_EQ(copiedEdit[1] * Fields(file, "mvhd")[2], edit[1] * Fields(copy, "mvhd")[2]) << name;
  }
}

// A copy that applies the edit list of a video track with B pictures
// decodes from a key frame: it holds the source's packets in decode order
// with their own times, from the last key frame at or before the first
// packet shown (ffprobe's packets not marked "D" with edit lists applied)
// to the last one shown, and ffmpeg decodes it without complaint. The
// edits start at the composition delay, at 0 with negative offsets, and
// inside a group of pictures (cut.mp4).
TEST(MP4Copying, CopiesWithEditsStartAtAKeyFrame) {
  const FileSizeLimit limit;
  for (const std::string name : {"bframes.mp4", "negative.mp4", "cut.mp4", "avc_aac.mp4"}) {
    const std::string source = Input(name), target = tu::scratch("keyed-" + name);
    Handle in = Open(source);
    const uint32_t video = MP4FindTrackId(in.get(), 0, "video", 0);
    const int stream = MP4FindTrackIndex(in.get(), video);
    ASSERT_EQ(MP4GetTrackNumberOfEdits(in.get(), video), 1u) << name;
    MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
    ASSERT_EQ(MP4CopyTrack(in.get(), video, out, true, 0), 1u) << name;
    MP4Close(out);
    const auto edited = PacketLines(source, true), stored = PacketLines(source, false);
    const std::vector<std::string>& packets = stored.at(stream);
    ASSERT_EQ(edited.at(stream).size(), packets.size()) << name;
    size_t first = packets.size(), last = 0;
    for (size_t i = 0; i < packets.size(); i++) {
      if (CompactFields("x=|" + edited.at(stream)[i])["flags"].find('D') != std::string::npos) continue;
      first = std::min(first, i);
      last = std::max(last, i);
    }
    ASSERT_LE(first, last) << name;
    size_t key = first;
    while (key > 0 && CompactFields("x=|" + packets[key])["flags"].find('K') == std::string::npos) key--;
    // Every group here starts the file's decoding times at 0.
    ASSERT_EQ(key, 0u) << name;
    EXPECT_EQ(PacketLines(target, false).at(0),
              std::vector<std::string>(packets.begin() + key, packets.begin() + last + 1)) << name;
    const auto crcs = FrameCrcs(source, stream);
    EXPECT_EQ(FrameCrcs(target, 0), decltype(crcs)(crcs.begin() + key, crcs.begin() + last + 1)) << name;
    const tu::RunResult decoded = tu::run("ffmpeg -v error -xerror -i " + tu::q(target) + " -f null -");
    EXPECT_EQ(decoded.status, 0) << name;
    EXPECT_EQ(decoded.out, "") << name;
  }
}

// ffmpeg's decoded pictures of a file, edit lists applied: time and hash.
std::vector<std::string> VideoFrames(const std::string& path) {
  std::vector<std::string> frames;
  for (const std::string& line :
       tu::lines(tu::run("ffmpeg -v error -i " + tu::q(path) + " -map 0:v -f framemd5 -").out))
    if (!line.empty() && line[0] != '#') frames.push_back(line);
  return frames;
}

// ffmpeg's decoded sound of a file, edit lists applied: 16-bit samples.
std::vector<int16_t> DecodedSound(const std::string& path) {
  const std::string pcm = path + ".pcm";
  EXPECT_TRUE(tu::ffmpeg("-i " + tu::q(path) + " -map 0:a -f s16le " + tu::q(pcm)));
  const Bytes b = tu::read_file(pcm);
  std::vector<int16_t> out(b.size() / 2);
  for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
  return out;
}

// Sound presented alike: as many samples, each within a few steps of the
// source's (the decoder rounds a little differently after another history
// of packets), where sound moved by a packet or part of one differs by
// thousands, or is longer.
void ExpectSameSound(const std::vector<int16_t>& copy, const std::vector<int16_t>& source, const std::string& name) {
  ASSERT_EQ(copy.size(), source.size()) << name;
  int worst = 0;
  size_t at = 0;
  for (size_t i = 0; i < copy.size(); i++)
    if (std::abs(copy[i] - source[i]) > worst) {
      worst = std::abs(copy[i] - source[i]);
      at = i;
    }
  EXPECT_LE(worst, 16) << name << " at sample " << at;
}

// ffprobe's start time of each stream and the file's duration.
std::vector<std::string> Times(const std::string& path) {
  return tu::lines(
      tu::run("ffprobe -v error -show_entries stream=start_time:format=duration -of csv=p=0 " + tu::q(path)).out);
}

// Every track copied with its edits applied presents what the source
// presents: the pictures decoded only to reach the first one shown (a cut
// inside a group of pictures, B pictures behind the composition delay)
// stay hidden, ffmpeg decodes the same pictures at the same times, the
// streams start when the source's do and the file lasts as long. gop-cut.mp4 is cut at 3.3 s of
// a file with a key frame every 2 s.
TEST(MP4Copying, CopiesWithEditsPresentWhatTheSourcePresents) {
  for (const std::string name :
       {"gop-cut.mp4", "cut.mp4", "avc_aac.mp4", "two-edits.mp4", "bframes.mp4", "negative.mp4"}) {
    const std::string source = Input(name), target = tu::scratch("presented-" + name);
    Handle in = Open(source);
    MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
    const uint32_t tracks = MP4GetNumberOfTracks(in.get(), nullptr, 0);
    for (uint32_t t = 0; t < tracks; t++)
      ASSERT_EQ(MP4CopyTrack(in.get(), MP4FindTrackId(in.get(), t, nullptr, 0), out, true, 0), t + 1) << name;
    MP4Close(out);
    const std::vector<std::string> frames = VideoFrames(source);
    ASSERT_FALSE(frames.empty()) << name;
    EXPECT_EQ(VideoFrames(target), frames) << name;
    EXPECT_EQ(Times(target), Times(source)) << name;
    if (MP4GetNumberOfTracks(in.get(), "audio", 0) > 0) ExpectSameSound(DecodedSound(target), DecodedSound(source), name);
  }
}

// Copies that work print nothing: ffmpeg's files (no initial object
// descriptor) copied into new files (with one), with and without edits.

TEST(MP4Copying, CopiesThatWorkPrintNothing) {
  g_messages.clear();
  MP4SetLibFunc(CollectMessage);
  for (const std::string name : {"avc_aac.mp4", "mpeg4.mp4", "cut.mp4"}) {
    for (const bool applyEdits : {false, true}) {
      Handle in(MP4Read(Input(name).c_str(), MP4_VERB_ERRORS), MP4Close);
      ASSERT_TRUE(in) << name;
      MP4FileHandle out = MP4Create(tu::scratch("quiet-" + name).c_str(), MP4_VERB_ERRORS, 0);
      const uint32_t tracks = MP4GetNumberOfTracks(in.get(), nullptr, 0);
      for (uint32_t t = 0; t < tracks; t++)
        EXPECT_EQ(MP4CopyTrack(in.get(), MP4FindTrackId(in.get(), t, nullptr, 0), out, applyEdits, 0), t + 1)
            << name;
      MP4Close(out);
    }
  }
  MP4SetLibFunc(nullptr);
  EXPECT_EQ(g_messages, "");
}

// Into the source file itself: a sample appended to its own track, a whole
// track copied, and a copy that fails (an empty edit shows nothing at the
// start) leaves no track behind.
TEST(MP4Copying, CopiesIntoTheSourceFile) {
  const std::string source = Input("noedits.mp4"), path = tu::scratch("itself.mp4");
  tu::write_file(path, tu::read_file(source));
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(MP4CopySample(h, 1, 1, nullptr, 0, UINT64_MAX));
  EXPECT_TRUE(MP4CopySample(h, 1, 2, nullptr, 0, 77));
  EXPECT_EQ(MP4CopyTrack(h, 2, nullptr, false, 0), 3u);
  EXPECT_EQ(MP4AddTrackEdit(h, 2, 0, UINT64_MAX, 100, false), 1u);
  EXPECT_EQ(MP4CopyTrack(h, 2, nullptr, true, 0), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), 3u);
  MP4Close(h);
  const auto before = PacketLines(source, false), after = PacketLines(path, false);
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after.at(2), before.at(1));
  EXPECT_EQ(FrameCrcs(path, 2), FrameCrcs(source, 1));
  const auto& video = after.at(0);
  ASSERT_EQ(video.size(), before.at(0).size() + 2);
  std::map<std::string, std::string> first = CompactFields("x=|" + before.at(0)[0]),
                                     second = CompactFields("x=|" + before.at(0)[1]),
                                     again = CompactFields("x=|" + video[video.size() - 2]),
                                     last = CompactFields("x=|" + video.back());
  EXPECT_EQ(again["size"], first["size"]);
  EXPECT_EQ(again["duration"], first["duration"]);
  EXPECT_EQ(again["flags"], first["flags"]);
  EXPECT_EQ(last["size"], second["size"]);
  EXPECT_EQ(last["duration"], "77");
}

// Samples whose bytes the caller encrypts (here: XOR with the parameter):
// the encrypted entries hold the original formats and the scheme, and the
// bytes decrypted are ffmpeg's packets. A callback that fails leaves no
// sample and no track.
int encryptions = 0;
uint32_t FailingOnThird(uint32_t key, uint32_t size, uint8_t* in, uint32_t* outSize, uint8_t** out) {
  if (++encryptions < 3) return Encrypt(key, size, in, outSize, out);
  *out = static_cast<uint8_t*>(malloc(4));  // left behind by the failure
  *outSize = 4;
  return 1;
}

TEST(MP4Copying, EncryptedCopies) {
  const std::string source = Input("avc_aac.mp4"), target = tu::scratch("encrypted.mp4");
  Handle in = Open(source);
  MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
  const uint8_t keys[2] = {0x5A, 0xA5};
  EXPECT_EQ(MP4EncAndCopyTrack(in.get(), 1, &crypt, Encrypt, keys[0], out, false, 0), 1u);
  EXPECT_EQ(MP4EncAndCopyTrack(in.get(), 2, &crypt, Encrypt, keys[1], out, false, 0), 2u);
  encryptions = 0;
  EXPECT_EQ(MP4EncAndCopyTrack(in.get(), 2, &crypt, FailingOnThird, 1, out, false, 0), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(out, nullptr, 0), 2u);
  const uint32_t samples = MP4GetTrackNumberOfSamples(out, 2);
  encryptions = 2;
  EXPECT_FALSE(MP4EncAndCopySample(in.get(), 2, 1, FailingOnThird, 1, out, 2, UINT64_MAX));
  EXPECT_FALSE(MP4EncAndCopySample(in.get(), 2, 1, nullptr, 1, out, 2, UINT64_MAX));
  EXPECT_EQ(MP4GetTrackNumberOfSamples(out, 2), samples);
  MP4Close(out);
  EXPECT_EQ(PacketLines(target, false), PacketLines(source, false));
  Handle r = Open(target);
  // An encrypted AVC entry names its format "264b".
  const char* entries[2][2] = {{"encv", "264b"}, {"enca", "mp4a"}};
  for (uint32_t id = 1; id <= 2; id++) {
    EXPECT_STREQ(MP4GetTrackMediaDataName(r.get(), id), entries[id - 1][0]);
    char format[8] = "";
    EXPECT_TRUE(MP4GetTrackMediaDataOriginalFormat(r.get(), id, format, sizeof format));
    EXPECT_STREQ(format, entries[id - 1][1]);
    uint64_t scheme = 0;
    const std::string path = std::string("mdia.minf.stbl.stsd.") + entries[id - 1][0] + ".sinf.schm.scheme_type";
    EXPECT_TRUE(MP4GetTrackIntegerProperty(r.get(), id, path.c_str(), &scheme));
    EXPECT_EQ(scheme, crypt.scheme_type);
    const auto crcs = FrameCrcs(source, id - 1);
    ASSERT_EQ(MP4GetTrackNumberOfSamples(r.get(), id), crcs.size());
    for (uint32_t s = 1; s <= crcs.size(); s++) {
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      ASSERT_TRUE(MP4ReadSample(r.get(), id, s, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
      for (uint32_t i = 0; i < size; i++) bytes[i] ^= keys[id - 1];
      EXPECT_EQ(std::make_pair(size, Adler(bytes, size)), crcs[s - 1]) << id << " " << s;
      free(bytes);
    }
  }
}

// An AVC entry that also holds an ES descriptor: its configuration cannot
// be set on a plain AVC track, which has none, so the plain clone keeps no
// track; the encrypted entry has a descriptor and takes it. Without the
// descriptor the plain clone asks for the configuration without printing
// the failure, and gives the verbosity back.
TEST(MP4Copying, ClonesOfConfigurationsTheyCannotHold) {
  const Bytes avcC = Box("avcC", Bytes{1, 66, 0xC0, 30, 0xFF, 0xE1, 0, 2, 0x67, 0x42, 1, 0, 1, 0x68});
  const Bytes config = {1, 2, 3};
  CraftedTrack t;
  t.duration = 1000;
  t.tables = PlainTables(1, 1000, 4, 1, {kMedia});
  t.entries = OneEntry(VisualEntry("avc1", 1, Cat({avcC, Esds(0x20, 0, config)})));
  Opened withEsds(Movie(Lit("abcd"), {t}));
  t.entries = OneEntry(VisualEntry("avc1", 1, avcC));
  Opened plain(Movie(Lit("abcd"), {t}));
  ASSERT_TRUE(withEsds.h && plain.h);
  const std::string target = tu::scratch("configurations.mp4");
  MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
  EXPECT_EQ(MP4CloneTrack(withEsds.h.get(), 1, out, 0), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(out, nullptr, 0), 0u);
  const uint32_t encrypted = MP4EncAndCloneTrack(withEsds.h.get(), 1, &crypt, out, 0);
  ASSERT_NE(encrypted, 0u);
  uint8_t* got = nullptr;
  uint32_t size = 0;
  EXPECT_TRUE(MP4GetTrackESConfiguration(out, encrypted, &got, &size));
  EXPECT_EQ(Bytes(got, got + size), config);
  free(got);
  MP4SetVerbosity(plain.h.get(), 1);
  messages = 0;
  MP4SetLibFunc(CountMessage);
  EXPECT_NE(MP4CloneTrack(plain.h.get(), 1, out, 0), 0u);
  MP4SetLibFunc(nullptr);
  EXPECT_EQ(messages, 0);
  EXPECT_EQ(MP4GetVerbosity(plain.h.get()), 1u);
  const uint32_t copy = MP4CopyTrack(plain.h.get(), 1, out, false, 0);
  ASSERT_NE(copy, 0u);
  MP4Close(out);
  Handle r = Open(target);
  EXPECT_EQ(Sample(r.get(), 1, copy), "abcd");
}

}  // namespace
