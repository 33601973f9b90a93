// The function interface: each function checks the handle, runs one
// operation of the open file inside the one catch that turns any failure
// into the function's neutral value, and prints the failure when bit 0 of
// the verbosity asks for it.
#include "mp4.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>

#include "mp4file.h"
#include "mp4track.h"

namespace {

// Called inside a catch block: prints what was caught, of whatever type,
// when the verbosity asks for errors. A message callback that throws in
// turn is not let through either.
void Report(uint32_t verbosity) {
  if (!(verbosity & MP4_VERB_ERRORS)) return;
  try {
    try {
      throw;
    } catch (const MP4Error& e) {
      e.Print(stderr);
    } catch (const std::bad_alloc&) {
      MP4Error(ENOMEM).Print(stderr);
    } catch (const std::exception& e) {
      MP4Error("%s", nullptr, e.what()).Print(stderr);
    } catch (...) {
      MP4Error("unknown failure", nullptr).Print(stderr);
    }
  } catch (...) {
  }
}

// The operation's result, or neutral for a NULL handle and any failure.
template <typename R, typename F>
R Call(MP4FileHandle hFile, R neutral, F operation) {
  if (!hFile) return neutral;
  MP4File& file = *static_cast<MP4File*>(hFile);
  try {
    return operation(file);
  } catch (...) {
    Report(file.GetVerbosity());
  }
  return neutral;
}

// Operations that return nothing report success as true.
template <typename F>
bool Do(MP4FileHandle hFile, F operation) {
  return Call(hFile, false, [&](MP4File& file) {
    operation(file);
    return true;
  });
}

// An open file, or NULL with the object destroyed (which closes the handle).
template <typename F>
MP4FileHandle Open(uint32_t verbosity, F open) {
  MP4File* file = nullptr;
  try {
    file = new MP4File(verbosity);
    open(*file);
    return file;
  } catch (...) {
    Report(verbosity);
  }
  delete file;
  return nullptr;
}

// Byte getters leave no stale output behind: both zeroed when they fail.
template <typename F>
bool GetBytes(MP4FileHandle hFile, uint8_t** ppValue, uint32_t* pValueSize, F get) {
  const bool ok = pValueSize && ppValue && Do(hFile, get);
  if (!ok) {
    if (ppValue) *ppValue = nullptr;
    if (pValueSize) *pValueSize = 0;
  }
  return ok;
}

const uint64_t kInvalidTime = UINT64_MAX;

// Adders give the new track id, 0 when they fail.
template <typename F>
uint32_t AddOne(MP4FileHandle hFile, F add) {
  return Call(hFile, 0u, [&](MP4File& file) -> uint32_t { return add(file); });
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- opening and closing

MP4FileHandle MP4Read(const char* fileName, uint32_t verbosity) {
  return Open(verbosity, [&](MP4File& file) { file.Read(fileName); });
}

MP4FileHandle MP4ReadEx(const char* fileName, void* userData, Virtual_IO* virtualIO, uint32_t verbosity) {
  return Open(verbosity, [&](MP4File& file) { file.ReadEx(fileName, userData, virtualIO); });
}

void MP4Close(MP4FileHandle hFile) {
  if (!hFile) return;
  Do(hFile, [](MP4File& file) { file.Close(); });
  // Destroyed also when closing failed: the handle is gone either way.
  delete static_cast<MP4File*>(hFile);
}

bool MP4Dump(MP4FileHandle hFile, FILE* pDumpFile, bool dumpImplicits) {
  return Do(hFile, [&](MP4File& file) { file.Dump(pDumpFile, dumpImplicits); });
}

uint32_t MP4GetVerbosity(MP4FileHandle hFile) {
  return hFile ? static_cast<MP4File*>(hFile)->GetVerbosity() : 0;
}

void MP4SetVerbosity(MP4FileHandle hFile, uint32_t verbosity) {
  if (hFile) static_cast<MP4File*>(hFile)->SetVerbosity(verbosity);
}

// ---------------------------------------------------------------- the movie

uint32_t MP4GetTimeScale(MP4FileHandle hFile) {
  return Call(hFile, 0u, [](MP4File& file) { return file.GetTimeScale(); });
}

uint64_t MP4GetDuration(MP4FileHandle hFile) {
  return Call(hFile, kInvalidTime, [](MP4File& file) { return file.GetDuration(); });
}

uint8_t MP4GetODProfileLevel(MP4FileHandle hFile) {
  return Call(hFile, uint8_t(0), [](MP4File& file) { return file.GetODProfileLevel(); });
}

uint8_t MP4GetSceneProfileLevel(MP4FileHandle hFile) {
  return Call(hFile, uint8_t(0), [](MP4File& file) { return file.GetSceneProfileLevel(); });
}

uint8_t MP4GetAudioProfileLevel(MP4FileHandle hFile) {
  return Call(hFile, uint8_t(0), [](MP4File& file) { return file.GetAudioProfileLevel(); });
}

uint8_t MP4GetGraphicsProfileLevel(MP4FileHandle hFile) {
  return Call(hFile, uint8_t(0), [](MP4File& file) { return file.GetGraphicsProfileLevel(); });
}

uint8_t MP4GetVideoProfileLevel(MP4FileHandle hFile, uint32_t trackId) {
  if (!hFile) return 0;
  MP4File& file = *static_cast<MP4File*>(hFile);
  try {
    return file.GetVideoProfileLevel();
  } catch (...) {
    Report(file.GetVerbosity());
  }
  // An MPEG-4 Visual configuration starts with its profile: the byte after
  // the visual object sequence start code 00 00 01 B0.
  if (trackId == 0 || MP4GetTrackEsdsObjectTypeId(hFile, trackId) != 0x20) return 0;
  uint8_t* config = nullptr;
  uint32_t size = 0;
  uint8_t level = 0;
  if (MP4GetTrackESConfiguration(hFile, trackId, &config, &size)) {
    for (uint32_t i = 0; size >= 5 && i <= size - 5; i++) {
      if (config[i] == 0 && config[i + 1] == 0 && config[i + 2] == 1 && config[i + 3] == 0xB0) {
        level = config[i + 4];
        break;
      }
    }
  }
  MP4Free(config);
  return level;
}

uint64_t MP4ConvertFromMovieDuration(MP4FileHandle hFile, uint64_t duration, uint32_t timeScale) {
  return Call(hFile, kInvalidTime,
              [&](MP4File& file) { return file.ConvertFromMovieDuration(duration, timeScale); });
}

// ---------------------------------------------------------------- fields by dotted path

bool MP4HaveAtom(MP4FileHandle hFile, const char* atomName) {
  return Call(hFile, false, [&](MP4File& file) { return file.FindAtom(atomName) != nullptr; });
}

bool MP4GetIntegerProperty(MP4FileHandle hFile, const char* propName, uint64_t* retvalue) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(retvalue);
    *retvalue = file.GetIntegerProperty(propName);
  });
}

bool MP4GetFloatProperty(MP4FileHandle hFile, const char* propName, float* retvalue) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(retvalue);
    *retvalue = file.GetFloatProperty(propName);
  });
}

bool MP4GetStringProperty(MP4FileHandle hFile, const char* propName, const char** retvalue) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(retvalue);
    *retvalue = file.GetKeptStringProperty(propName);
  });
}

bool MP4GetBytesProperty(MP4FileHandle hFile, const char* propName, uint8_t** ppValue, uint32_t* pValueSize) {
  return GetBytes(hFile, ppValue, pValueSize,
                  [&](MP4File& file) { file.GetBytesProperty(propName, ppValue, pValueSize); });
}

bool MP4HaveTrackAtom(MP4FileHandle hFile, uint32_t trackId, const char* atomName) {
  return Call(hFile, false, [&](MP4File& file) { return file.FindTrackAtom(trackId, atomName) != nullptr; });
}

bool MP4GetTrackIntegerProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, uint64_t* retvalue) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(retvalue);
    *retvalue = file.GetTrackIntegerProperty(trackId, propName);
  });
}

bool MP4GetTrackFloatProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, float* retvalue) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(retvalue);
    *retvalue = file.GetTrackFloatProperty(trackId, propName);
  });
}

bool MP4GetTrackStringProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, const char** retvalue) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(retvalue);
    *retvalue = file.GetKeptTrackStringProperty(trackId, propName);
  });
}

bool MP4GetTrackBytesProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, uint8_t** ppValue,
                              uint32_t* pValueSize) {
  return GetBytes(hFile, ppValue, pValueSize,
                  [&](MP4File& file) { file.GetTrackBytesProperty(trackId, propName, ppValue, pValueSize); });
}

// ---------------------------------------------------------------- tracks

uint32_t MP4GetNumberOfTracks(MP4FileHandle hFile, const char* type, uint8_t subType) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetNumberOfTracks(type, subType); });
}

uint32_t MP4FindTrackId(MP4FileHandle hFile, uint16_t index, const char* type, uint8_t subType) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.FindTrackId(index, type, subType); });
}

uint16_t MP4FindTrackIndex(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, uint16_t(0xFFFF), [&](MP4File& file) { return file.FindTrackIndex(trackId); });
}

const char* MP4GetTrackType(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, static_cast<const char*>(nullptr),
              [&](MP4File& file) { return file.KeepText(file.GetTrackType(trackId)); });
}

const char* MP4GetTrackMediaDataName(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, static_cast<const char*>(nullptr),
              [&](MP4File& file) { return file.KeepText(file.GetTrackMediaDataName(trackId)); });
}

bool MP4GetTrackMediaDataOriginalFormat(MP4FileHandle hFile, uint32_t trackId, char* originalFormat,
                                        uint32_t buflen) {
  return Call(hFile, false, [&](MP4File& file) {
    return file.GetTrackMediaDataOriginalFormat(trackId, originalFormat, buflen);
  });
}

bool MP4IsIsmaCrypMediaTrack(MP4FileHandle hFile, uint32_t trackId) {
  if (!hFile) return false;
  // Asked of every track, most of which are not encrypted: never printed.
  MP4File& file = *static_cast<MP4File*>(hFile);
  const uint32_t verbosity = file.GetVerbosity();
  file.SetVerbosity(verbosity & ~MP4_VERB_ERRORS);
  const bool result = Call(hFile, false, [&](MP4File& f) { return f.IsIsmaCrypMediaTrack(trackId); });
  file.SetVerbosity(verbosity);
  return result;
}

uint64_t MP4GetTrackDuration(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetTrackDuration(trackId); });
}

uint32_t MP4GetTrackTimeScale(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetTrackTimeScale(trackId); });
}

uint64_t MP4GetTrackFixedSampleDuration(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetTrackFixedSampleDuration(trackId); });
}

uint32_t MP4GetTrackBitRate(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, 0u, [&](MP4File& file) -> uint32_t {
    try {
      return static_cast<uint32_t>(
          file.GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.esds.decConfigDescr.avgBitrate"));
    } catch (const MP4Error&) {
    }
    const uint64_t milliseconds = file.ConvertFromTrackDuration(trackId, file.GetTrackDuration(trackId), 1000);
    if (milliseconds == 0) return 0;
    return static_cast<uint32_t>(file.GetTrack(trackId)->GetTotalOfSampleSizes() * 8000 / milliseconds);
  });
}

uint64_t MP4ConvertFromTrackTimestamp(MP4FileHandle hFile, uint32_t trackId, uint64_t timeStamp,
                                      uint32_t timeScale) {
  return Call(hFile, kInvalidTime,
              [&](MP4File& file) { return file.ConvertFromTrackTimestamp(trackId, timeStamp, timeScale); });
}

uint64_t MP4ConvertToTrackTimestamp(MP4FileHandle hFile, uint32_t trackId, uint64_t timeStamp, uint32_t timeScale) {
  return Call(hFile, kInvalidTime,
              [&](MP4File& file) { return file.ConvertToTrackTimestamp(trackId, timeStamp, timeScale); });
}

uint64_t MP4ConvertFromTrackDuration(MP4FileHandle hFile, uint32_t trackId, uint64_t duration, uint32_t timeScale) {
  return Call(hFile, kInvalidTime,
              [&](MP4File& file) { return file.ConvertFromTrackDuration(trackId, duration, timeScale); });
}

uint64_t MP4ConvertToTrackDuration(MP4FileHandle hFile, uint32_t trackId, uint64_t duration, uint32_t timeScale) {
  return Call(hFile, kInvalidTime,
              [&](MP4File& file) { return file.ConvertToTrackDuration(trackId, duration, timeScale); });
}

// ---------------------------------------------------------------- decoder configuration

uint8_t MP4GetTrackEsdsObjectTypeId(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, uint8_t(0), [&](MP4File& file) { return file.GetTrackEsdsObjectTypeId(trackId); });
}

bool MP4GetTrackESConfiguration(MP4FileHandle hFile, uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize) {
  return GetBytes(hFile, ppConfig, pConfigSize,
                  [&](MP4File& file) { file.GetTrackESConfiguration(trackId, ppConfig, pConfigSize); });
}

uint8_t MP4GetTrackAudioMpeg4Type(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, uint8_t(0), [&](MP4File& file) { return file.GetTrackAudioMpeg4Type(trackId); });
}

bool MP4GetTrackVideoMetadata(MP4FileHandle hFile, uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize) {
  return GetBytes(hFile, ppConfig, pConfigSize,
                  [&](MP4File& file) { file.GetTrackVideoMetadata(trackId, ppConfig, pConfigSize); });
}

uint16_t MP4GetTrackVideoWidth(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, uint16_t(0), [&](MP4File& file) {
    return static_cast<uint16_t>(file.GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.width"));
  });
}

uint16_t MP4GetTrackVideoHeight(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, uint16_t(0), [&](MP4File& file) {
    return static_cast<uint16_t>(file.GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.height"));
  });
}

double MP4GetTrackVideoFrameRate(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, 0.0, [&](MP4File& file) { return file.GetTrackVideoFrameRate(trackId); });
}

int MP4GetTrackAudioChannels(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, -1, [&](MP4File& file) { return file.GetTrackAudioChannels(trackId); });
}

void MP4GetTrackH264SeqPictHeaders(MP4FileHandle hFile, uint32_t trackId, uint8_t*** pSeqHeaders,
                                   uint32_t** pSeqHeaderSize, uint8_t*** pPictHeaders, uint32_t** pPictHeaderSize) {
  Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(pSeqHeaders && pSeqHeaderSize && pPictHeaders && pPictHeaderSize);
    file.GetTrackH264SeqPictHeaders(trackId, pSeqHeaders, pSeqHeaderSize, pPictHeaders, pPictHeaderSize);
  });
}

bool MP4GetTrackH264LengthSize(MP4FileHandle hFile, uint32_t trackId, uint32_t* pLength) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(pLength);
    const uint64_t minusOne = file.GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*[0].avcC.lengthSizeMinusOne");
    *pLength = static_cast<uint32_t>(minusOne + 1);
  });
}

bool MP4GetTrackH264ProfileLevel(MP4FileHandle hFile, uint32_t trackId, uint8_t* pProfile, uint8_t* pLevel) {
  return Do(hFile, [&](MP4File& file) {
    MP4_ASSERT(pProfile && pLevel);
    *pProfile = static_cast<uint8_t>(
        file.GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*[0].avcC.AVCProfileIndication"));
    *pLevel = static_cast<uint8_t>(
        file.GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*[0].avcC.AVCLevelIndication"));
  });
}

// ---------------------------------------------------------------- samples

uint32_t MP4GetTrackNumberOfSamples(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetTrackNumberOfSamples(trackId); });
}

uint32_t MP4GetTrackMaxSampleSize(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetTrackMaxSampleSize(trackId); });
}

uint32_t MP4GetSampleSize(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetSampleSize(trackId, sampleId); });
}

uint64_t MP4GetSampleTime(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetSampleTime(trackId, sampleId); });
}

uint64_t MP4GetSampleDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetSampleDuration(trackId, sampleId); });
}

uint64_t MP4GetSampleRenderingOffset(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetSampleRenderingOffset(trackId, sampleId); });
}

int8_t MP4GetSampleSync(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId) {
  return Call(hFile, int8_t(-1), [&](MP4File& file) { return int8_t(file.GetSampleSync(trackId, sampleId)); });
}

uint32_t MP4GetSampleIdFromTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, bool wantSyncSample) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetSampleIdFromTime(trackId, when, wantSyncSample); });
}

bool MP4ReadSample(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes,
                   uint64_t* pStartTime, uint64_t* pDuration, uint64_t* pRenderingOffset, bool* pIsSyncSample) {
  if (!pNumBytes) return false;
  const bool ok = Do(hFile, [&](MP4File& file) {
    file.ReadSample(trackId, sampleId, ppBytes, pNumBytes, pStartTime, pDuration, pRenderingOffset, pIsSyncSample);
  });
  if (!ok) *pNumBytes = 0;
  return ok;
}

bool MP4ReadSampleFromTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, uint8_t** ppBytes,
                           uint32_t* pNumBytes, uint64_t* pStartTime, uint64_t* pDuration, uint64_t* pRenderingOffset,
                           bool* pIsSyncSample) {
  if (!pNumBytes) return false;
  const bool ok = Do(hFile, [&](MP4File& file) {
    const uint32_t sampleId = file.GetSampleIdFromTime(trackId, when, false);
    file.ReadSample(trackId, sampleId, ppBytes, pNumBytes, pStartTime, pDuration, pRenderingOffset, pIsSyncSample);
  });
  if (!ok) *pNumBytes = 0;
  return ok;
}

// ---------------------------------------------------------------- creating and modifying

MP4FileHandle MP4Create(const char* fileName, uint32_t verbosity, uint32_t flags) {
  return MP4CreateEx(fileName, verbosity, flags, 1, 1, nullptr, 0, nullptr, 0);
}

MP4FileHandle MP4CreateEx(const char* fileName, uint32_t verbosity, uint32_t flags, int addFtyp, int addIods,
                          char* majorBrand, uint32_t minorVersion, char** supportedBrands,
                          uint32_t supportedBrandsCount) {
  return Open(verbosity, [&](MP4File& file) {
    file.Create(fileName, flags, addFtyp, addIods, majorBrand, minorVersion, supportedBrands, supportedBrandsCount);
  });
}

MP4FileHandle MP4Modify(const char* fileName, uint32_t verbosity) {
  bool modified = false;
  MP4FileHandle h = Open(verbosity, [&](MP4File& file) { modified = file.Modify(fileName); });
  if (h && !modified) {
    delete static_cast<MP4File*>(h);
    return nullptr;
  }
  return h;
}

bool MP4Optimize(const char* existingFileName, const char* newFileName, uint32_t verbosity) {
  MP4FileHandle h = Open(verbosity, [&](MP4File& file) { file.Optimize(existingFileName, newFileName); });
  delete static_cast<MP4File*>(h);
  return h != nullptr;
}

// ---------------------------------------------------------------- setting fields

bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetTimeScale(value); });
}

bool MP4SetODProfileLevel(MP4FileHandle hFile, uint8_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetODProfileLevel(value); });
}

bool MP4SetSceneProfileLevel(MP4FileHandle hFile, uint8_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetSceneProfileLevel(value); });
}

bool MP4SetGraphicsProfileLevel(MP4FileHandle hFile, uint8_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetGraphicsProfileLevel(value); });
}

void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value) {
  Do(hFile, [&](MP4File& file) { file.SetVideoProfileLevel(value); });
}

void MP4SetAudioProfileLevel(MP4FileHandle hFile, uint8_t value) {
  Do(hFile, [&](MP4File& file) { file.SetAudioProfileLevel(value); });
}

bool MP4SetIntegerProperty(MP4FileHandle hFile, const char* propName, uint64_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetIntegerProperty(propName, value); });
}

bool MP4SetFloatProperty(MP4FileHandle hFile, const char* propName, float value) {
  return Do(hFile, [&](MP4File& file) { file.SetFloatProperty(propName, value); });
}

bool MP4SetStringProperty(MP4FileHandle hFile, const char* propName, const char* value) {
  return Do(hFile, [&](MP4File& file) { file.SetStringProperty(propName, value); });
}

bool MP4SetBytesProperty(MP4FileHandle hFile, const char* propName, const uint8_t* pValue, uint32_t valueSize) {
  return Do(hFile, [&](MP4File& file) { file.SetBytesProperty(propName, pValue, valueSize); });
}

bool MP4SetTrackIntegerProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, int64_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackIntegerProperty(trackId, propName, value); });
}

bool MP4SetTrackFloatProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, float value) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackFloatProperty(trackId, propName, value); });
}

bool MP4SetTrackStringProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, const char* value) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackStringProperty(trackId, propName, value); });
}

bool MP4SetTrackBytesProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, const uint8_t* pValue,
                              uint32_t valueSize) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackBytesProperty(trackId, propName, pValue, valueSize); });
}

// ---------------------------------------------------------------- adding and deleting tracks

// A track of any type is a systems track, with its "mp4s" entry.
uint32_t MP4AddTrack(MP4FileHandle hFile, const char* type) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddSystemsTrack(type); });
}

uint32_t MP4AddSystemsTrack(MP4FileHandle hFile, const char* type) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddSystemsTrack(type); });
}

uint32_t MP4AddODTrack(MP4FileHandle hFile) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddODTrack(); });
}

uint32_t MP4AddSceneTrack(MP4FileHandle hFile) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddSceneTrack(); });
}

uint32_t MP4AddAudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddAudioTrack(timeScale, sampleDuration, audioType); });
}

uint32_t MP4AddAC3AudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddAC3AudioTrack(timeScale, sampleDuration, audioType); });
}

uint32_t MP4AddAmrAudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint16_t modeSet, uint8_t modeChangePeriod,
                             uint8_t framesPerSample, bool isAmrWB) {
  return AddOne(hFile, [&](MP4File& file) {
    return file.AddAmrAudioTrack(timeScale, modeSet, modeChangePeriod, framesPerSample, isAmrWB);
  });
}

uint32_t MP4AddHrefTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, const char* base_url) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddHrefTrack(timeScale, sampleDuration, base_url); });
}

uint32_t MP4AddVideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                          uint16_t height, uint8_t videoType) {
  return AddOne(hFile, [&](MP4File& file) {
    return file.AddMP4VideoTrack(timeScale, sampleDuration, width, height, videoType);
  });
}

uint32_t MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                              uint16_t height, uint8_t AVCProfileIndication, uint8_t profile_compat,
                              uint8_t AVCLevelIndication, uint8_t sampleLenFieldSizeMinusOne) {
  return AddOne(hFile, [&](MP4File& file) {
    return file.AddH264VideoTrack(timeScale, sampleDuration, width, height, AVCProfileIndication, profile_compat,
                                  AVCLevelIndication, sampleLenFieldSizeMinusOne);
  });
}

uint32_t MP4AddH263VideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                              uint16_t height, uint8_t h263Level, uint8_t h263Profile, uint32_t avgBitrate,
                              uint32_t maxBitrate) {
  return AddOne(hFile, [&](MP4File& file) {
    return file.AddH263VideoTrack(timeScale, sampleDuration, width, height, h263Level, h263Profile, avgBitrate,
                                  maxBitrate);
  });
}

uint32_t MP4AddTextTrack(MP4FileHandle hFile, uint32_t refTrackId) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddTextTrack(refTrackId); });
}

uint32_t MP4AddChapterTextTrack(MP4FileHandle hFile, uint32_t refTrackId, uint32_t timescale) {
  return AddOne(hFile, [&](MP4File& file) { return file.AddChapterTextTrack(refTrackId, timescale); });
}

uint32_t MP4AddEncAudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration,
                             MP4IsmaCrypParams* icPp, uint8_t audioType) {
  return AddOne(hFile, [&](MP4File& file) {
    if (!icPp)
      return file.AddEncAudioTrack(timeScale, sampleDuration, audioType, 0, 0, 0, 0, false, nullptr, false);
    return file.AddEncAudioTrack(timeScale, sampleDuration, audioType, icPp->scheme_type, icPp->scheme_version,
                                 icPp->key_ind_len, icPp->iv_len, icPp->selective_enc, icPp->kms_uri, true);
  });
}

uint32_t MP4AddEncVideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                             uint16_t height, MP4IsmaCrypParams* icPp, uint8_t videoType, const char* oFormat) {
  if (!icPp) return 0;
  return AddOne(hFile, [&](MP4File& file) {
    return file.AddEncVideoTrack(timeScale, sampleDuration, width, height, videoType, icPp, oFormat);
  });
}

uint32_t MP4AddEncH264VideoTrack(MP4FileHandle dstFile, uint32_t timeScale, uint64_t sampleDuration,
                                 uint16_t width, uint16_t height, MP4FileHandle srcFile, uint32_t srcTrackId,
                                 MP4IsmaCrypParams* icPp) {
  if (!srcFile) return 0;
  return AddOne(dstFile, [&](MP4File& file) -> uint32_t {
    MP4File& source = *static_cast<MP4File*>(srcFile);
    MP4Atom* avcC = source.FindTrackAtom(srcTrackId, "mdia.minf.stbl.stsd.avc1.avcC");
    if (!avcC) return 0;
    return file.AddEncH264VideoTrack(timeScale, sampleDuration, width, height, avcC, icPp);
  });
}

void MP4DeleteTrack(MP4FileHandle hFile, uint32_t trackId) {
  Do(hFile, [&](MP4File& file) { file.DeleteTrack(trackId); });
}

void MP4SetTrackTimeScale(MP4FileHandle hFile, uint32_t trackId, uint32_t value) {
  Do(hFile, [&](MP4File& file) { file.SetTrackTimeScale(trackId, value); });
}

bool MP4SetTrackESConfiguration(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pConfig, uint32_t configSize) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackESConfiguration(trackId, pConfig, configSize); });
}

void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pSequence,
                                    uint16_t sequenceLen) {
  Do(hFile, [&](MP4File& file) { file.AddH264SequenceParameterSet(trackId, pSequence, sequenceLen); });
}

void MP4AddH264PictureParameterSet(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pPict, uint16_t pictLen) {
  Do(hFile, [&](MP4File& file) { file.AddH264PictureParameterSet(trackId, pPict, pictLen); });
}

uint16_t MP4GetAmrModeSet(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, uint16_t(0), [&](MP4File& file) { return file.GetAmrModeSet(trackId); });
}

void MP4SetAmrVendor(MP4FileHandle hFile, uint32_t trackId, uint32_t vendor) {
  Do(hFile, [&](MP4File& file) { file.SetAmrVendor(trackId, vendor); });
}

void MP4SetAmrDecoderVersion(MP4FileHandle hFile, uint32_t trackId, uint8_t decoderVersion) {
  Do(hFile, [&](MP4File& file) { file.SetAmrDecoderVersion(trackId, decoderVersion); });
}

void MP4SetAmrModeSet(MP4FileHandle hFile, uint32_t trackId, uint16_t modeSet) {
  Do(hFile, [&](MP4File& file) { file.SetAmrModeSet(trackId, modeSet); });
}

void MP4SetH263Vendor(MP4FileHandle hFile, uint32_t trackId, uint32_t vendor) {
  Do(hFile, [&](MP4File& file) { file.SetH263Vendor(trackId, vendor); });
}

void MP4SetH263DecoderVersion(MP4FileHandle hFile, uint32_t trackId, uint8_t decoderVersion) {
  Do(hFile, [&](MP4File& file) { file.SetH263DecoderVersion(trackId, decoderVersion); });
}

void MP4SetH263Bitrates(MP4FileHandle hFile, uint32_t trackId, uint32_t avgBitrate, uint32_t maxBitrate) {
  Do(hFile, [&](MP4File& file) { file.SetH263Bitrates(trackId, avgBitrate, maxBitrate); });
}

const char* MP4GetHrefTrackBaseUrl(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, static_cast<const char*>(nullptr), [&](MP4File& file) {
    return file.GetKeptTrackStringProperty(trackId, "mdia.minf.stbl.stsd.href.burl.base_url");
  });
}

// ---------------------------------------------------------------- writing samples

bool MP4WriteSample(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pBytes, uint32_t numBytes,
                    uint64_t duration, uint64_t renderingOffset, bool isSyncSample) {
  return Do(hFile, [&](MP4File& file) {
    file.WriteSample(trackId, pBytes, numBytes, duration, renderingOffset, isSyncSample);
  });
}

bool MP4SetSampleRenderingOffset(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId, uint64_t renderingOffset) {
  return Do(hFile, [&](MP4File& file) { file.SetSampleRenderingOffset(trackId, sampleId, renderingOffset); });
}

bool MP4ReferenceSample(MP4FileHandle, uint32_t, uint32_t, MP4FileHandle, uint32_t, uint64_t) { return false; }

// ---------------------------------------------------------------- edit lists

uint32_t MP4AddTrackEdit(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, uint64_t startTime,
                         uint64_t duration, bool dwell) {
  return Call(hFile, 0u, [&](MP4File& file) -> uint32_t {
    const uint32_t id = file.AddTrackEdit(trackId, editId);
    if (id == 0) return 0;
    file.SetTrackEditMediaStart(trackId, id, startTime);
    file.SetTrackEditDuration(trackId, id, duration);
    file.SetTrackEditDwell(trackId, id, dwell);
    return id;
  });
}

bool MP4DeleteTrackEdit(MP4FileHandle hFile, uint32_t trackId, uint32_t editId) {
  return Do(hFile, [&](MP4File& file) { file.DeleteTrackEdit(trackId, editId); });
}

uint32_t MP4GetTrackNumberOfEdits(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetTrackNumberOfEdits(trackId); });
}

uint64_t MP4GetTrackEditMediaStart(MP4FileHandle hFile, uint32_t trackId, uint32_t editId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetTrackEditMediaStart(trackId, editId); });
}

uint64_t MP4GetTrackEditDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t editId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetTrackEditDuration(trackId, editId); });
}

uint64_t MP4GetTrackEditTotalDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t editId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return file.GetTrackEditTotalDuration(trackId, editId); });
}

int8_t MP4GetTrackEditDwell(MP4FileHandle hFile, uint32_t trackId, uint32_t editId) {
  return Call(hFile, int8_t(-1), [&](MP4File& file) { return int8_t(file.GetTrackEditDwell(trackId, editId)); });
}

bool MP4SetTrackEditMediaStart(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, uint64_t startTime) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackEditMediaStart(trackId, editId, startTime); });
}

bool MP4SetTrackEditDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, uint64_t duration) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackEditDuration(trackId, editId, duration); });
}

bool MP4SetTrackEditDwell(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, bool dwell) {
  return Do(hFile, [&](MP4File& file) { file.SetTrackEditDwell(trackId, editId, dwell); });
}

uint32_t MP4GetSampleIdFromEditTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, uint64_t* pStartTime,
                                    uint64_t* pDuration) {
  return Call(hFile, 0u,
              [&](MP4File& file) { return file.GetSampleIdFromEditTime(trackId, when, pStartTime, pDuration); });
}

bool MP4ReadSampleFromEditTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, uint8_t** ppBytes,
                               uint32_t* pNumBytes, uint64_t* pStartTime, uint64_t* pDuration,
                               uint64_t* pRenderingOffset, bool* pIsSyncSample) {
  const uint32_t sampleId = MP4GetSampleIdFromEditTime(hFile, trackId, when, pStartTime, pDuration);
  return MP4ReadSample(hFile, trackId, sampleId, ppBytes, pNumBytes, nullptr, nullptr, pRenderingOffset,
                       pIsSyncSample);
}

// ---------------------------------------------------------------- ISMA and 3GP compliance

}  // extern "C"

namespace {

// Modify, the operation, close. The file holds what it held until Close
// has put the new movie in place: when the operation fails the file is not
// closed but dropped, which leaves it as it was.
template <typename F>
bool ModifyAndClose(const char* fileName, uint32_t verbosity, F operation) {
  std::unique_ptr<MP4File> file;
  try {
    file.reset(new MP4File(verbosity));
    if (!file->Modify(fileName)) return false;
  } catch (...) {
    Report(verbosity);
    return false;
  }
  bool ok = false;
  try {
    ok = operation(*file);
  } catch (...) {
    Report(verbosity);
  }
  if (!ok) return false;
  try {
    file->Close();
  } catch (...) {
    Report(verbosity);
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

bool MP4Make3GPCompliant(const char* fileName, uint32_t verbosity, char* majorBrand, uint32_t minorVersion,
                         char** supportedBrands, uint32_t supportedBrandsCount, bool deleteIodsAtom) {
  return ModifyAndClose(fileName, verbosity, [&](MP4File& file) {
    file.Make3GPCompliant(fileName, majorBrand, minorVersion, supportedBrands, supportedBrandsCount, deleteIodsAtom);
    return true;
  });
}

bool MP4MakeIsmaCompliant(const char* fileName, uint32_t verbosity, bool addIsmaComplianceSdp) {
  return ModifyAndClose(fileName, verbosity,
                        [&](MP4File& file) { return file.MakeIsmaCompliant(addIsmaComplianceSdp); });
}

char* MP4MakeIsmaSdpIod(uint8_t videoProfile, uint32_t videoBitrate, uint8_t* videoConfig, uint32_t videoConfigLength,
                        uint8_t audioProfile, uint32_t audioBitrate, uint8_t* audioConfig, uint32_t audioConfigLength,
                        uint32_t verbosity) {
  uint8_t* iod = nullptr;
  char* base64 = nullptr;
  try {
    MP4File file(verbosity);
    uint64_t numBytes = 0;
    file.CreateIsmaIodFromParams(videoProfile, videoBitrate, videoConfig, videoConfigLength, audioProfile,
                                 audioBitrate, audioConfig, audioConfigLength, &iod, &numBytes);
    if (numBytes > UINT32_MAX) throw MP4Error(ERANGE, "MP4MakeIsmaSdpIod");
    base64 = MP4ToBase64(iod, static_cast<uint32_t>(numBytes));
    MP4_ASSERT(base64);
    MP4Free(iod);
    iod = nullptr;
    static const char kLine[] = "a=mpeg4-iod: \"data:application/mpeg4-iod;base64,%s\"";
    const size_t size = strlen(base64) + 64;
    char* sdp = static_cast<char*>(malloc(size));
    if (!sdp) throw MP4Error(ENOMEM, "MP4MakeIsmaSdpIod");
    snprintf(sdp, size, kLine, base64);
    MP4Free(base64);
    return sdp;
  } catch (...) {
    Report(verbosity);
  }
  MP4Free(iod);
  MP4Free(base64);
  return nullptr;
}

// ---------------------------------------------------------------- Copying, cloning, conversions, encryption parameters

// The text of bytes, or NULL for data NULL with a size and any failure.
static char* ToText(char* (*convert)(const uint8_t*, uint32_t), const uint8_t* pData, uint32_t dataSize) {
  if (!pData && dataSize) return nullptr;
  try {
    return convert(pData, dataSize);
  } catch (...) {
  }
  return nullptr;
}

char* MP4BinaryToBase16(const uint8_t* pData, uint32_t dataSize) { return ToText(MP4ToBase16, pData, dataSize); }

char* MP4BinaryToBase64(const uint8_t* pData, uint32_t dataSize) { return ToText(MP4ToBase64, pData, dataSize); }

MP4IsmaCrypParams* MP4DefaultISMACrypParams(MP4IsmaCrypParams* ptr) {
  if (!ptr) ptr = static_cast<MP4IsmaCrypParams*>(malloc(sizeof *ptr));
  if (ptr) memset(ptr, 0, sizeof *ptr);
  return ptr;
}

// Reads a sample, lets encrypt replace its bytes when the copy is an
// encrypted one, and appends it to the destination track. A failed
// encryption writes nothing, so that no track gets a sample of bytes the
// callback may have left half made.
static bool CopyOneSample(MP4FileHandle srcFile, uint32_t srcTrackId, uint32_t srcSampleId, bool encrypted,
                          MP4EncryptSampleFunc encrypt, uint32_t encryptParam, MP4FileHandle dstFile,
                          uint32_t dstTrackId, uint64_t dstSampleDuration) {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  uint64_t duration = 0, renderingOffset = 0;
  bool sync = false;
  if (!MP4ReadSample(srcFile, srcTrackId, srcSampleId, &bytes, &size, nullptr, &duration, &renderingOffset, &sync))
    return false;
  const std::unique_ptr<uint8_t, void (*)(void*)> plain(bytes, free);
  if (dstSampleDuration != kInvalidTime) duration = dstSampleDuration;
  if (!dstFile) dstFile = srcFile;
  if (!dstTrackId) dstTrackId = srcTrackId;
  if (!encrypted) return MP4WriteSample(dstFile, dstTrackId, bytes, size, duration, renderingOffset, sync);
  uint8_t* encryptedBytes = nullptr;
  uint32_t encryptedSize = 0;
  uint32_t failed = 1;
  try {
    if (encrypt) failed = encrypt(encryptParam, size, bytes, &encryptedSize, &encryptedBytes);
  } catch (...) {
  }
  const std::unique_ptr<uint8_t, void (*)(void*)> made(encryptedBytes, free);
  if (failed) {
    fprintf(stderr, "Can't encrypt the sample and add its header %u\n", srcSampleId);
    return false;
  }
  return MP4WriteSample(dstFile, dstTrackId, encryptedBytes, encryptedSize, duration, renderingOffset, sync);
}

bool MP4CopySample(MP4FileHandle srcFile, uint32_t srcTrackId, uint32_t srcSampleId, MP4FileHandle dstFile,
                   uint32_t dstTrackId, uint64_t dstSampleDuration) {
  return CopyOneSample(srcFile, srcTrackId, srcSampleId, false, nullptr, 0, dstFile, dstTrackId, dstSampleDuration);
}

bool MP4EncAndCopySample(MP4FileHandle srcFile, uint32_t srcTrackId, uint32_t srcSampleId,
                         MP4EncryptSampleFunc encryptFunc, uint32_t encryptFuncParam, MP4FileHandle dstFile,
                         uint32_t dstTrackId, uint64_t dstSampleDuration) {
  return CopyOneSample(srcFile, srcTrackId, srcSampleId, true, encryptFunc, encryptFuncParam, dstFile, dstTrackId,
                       dstSampleDuration);
}

// Keeps the failures of a file's calls from being printed while it lives.
struct QuietErrors {
  explicit QuietErrors(MP4FileHandle h) : file(h), saved(MP4GetVerbosity(h)) {
    MP4SetVerbosity(file, saved & ~MP4_VERB_ERRORS);
  }
  ~QuietErrors() { MP4SetVerbosity(file, saved); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;
  MP4FileHandle file;
  uint32_t saved;
};

// The AVC parameter sets of the source track added to the new one; every
// set and array is freed, also those of a fetch that failed half way.
static void CopyParameterSets(MP4FileHandle srcFile, uint32_t srcTrackId, MP4FileHandle dstFile, uint32_t dstTrackId) {
  uint8_t** sets[2] = {nullptr, nullptr};
  uint32_t* sizes[2] = {nullptr, nullptr};
  MP4GetTrackH264SeqPictHeaders(srcFile, srcTrackId, &sets[0], &sizes[0], &sets[1], &sizes[1]);
  for (int k = 0; k < 2; k++) {
    for (uint32_t i = 0; sets[k] && sizes[k] && sizes[k][i]; i++) {
      const uint16_t length = static_cast<uint16_t>(sizes[k][i]);
      if (k == 0)
        MP4AddH264SequenceParameterSet(dstFile, dstTrackId, sets[k][i], length);
      else
        MP4AddH264PictureParameterSet(dstFile, dstTrackId, sets[k][i], length);
    }
    for (uint32_t i = 0; sets[k] && sets[k][i]; i++) free(sets[k][i]);
    free(sets[k]);
    free(sizes[k]);
  }
}

// A hint track refers to a track of the destination, which only the caller
// knows: none given, nothing is cloned. The encrypted clone refers to the
// source hint track's own reference instead, and keeps a track whose
// payload could not be set.
static uint32_t CloneHintTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4FileHandle dstFile,
                               uint32_t dstHintTrackReferenceTrack, bool encrypted) {
  if (dstHintTrackReferenceTrack == 0) return 0;
  const uint32_t ref =
      encrypted ? MP4GetHintTrackReferenceTrackId(srcFile, srcTrackId) : dstHintTrackReferenceTrack;
  const uint32_t id = MP4AddHintTrack(dstFile, ref);
  if (id == 0) return 0;
  MP4SetTrackTimeScale(dstFile, id, MP4GetTrackTimeScale(srcFile, srcTrackId));
  char* name = nullptr;
  char* params = nullptr;
  uint8_t number = 0;
  uint16_t maxSize = 0;
  if (!MP4GetHintTrackRtpPayload(srcFile, srcTrackId, &name, &number, &maxSize, &params)) return id;
  const std::unique_ptr<char, void (*)(void*)> nameHeld(name, free), paramsHeld(params, free);
  if (MP4SetHintTrackRtpPayload(dstFile, id, name, &number, maxSize, params, true, true) || encrypted) return id;
  MP4DeleteTrack(dstFile, id);
  return 0;
}

// A profile level of the initial object descriptor, where both files have
// one: a file without it (ffmpeg's) has none to give, and is no failure.
static void CopyProfileLevel(MP4FileHandle srcFile, MP4FileHandle dstFile, const char* name) {
  const auto has = [name](MP4File& file) {
    MP4Property* p = nullptr;
    return file.FindProperty(name, &p, nullptr) && p;
  };
  if (!Call(srcFile, false, has) || !Call(dstFile, false, has)) return;
  uint64_t level = 0;
  if (MP4GetIntegerProperty(srcFile, name, &level)) MP4SetIntegerProperty(dstFile, name, level);
}

// A track whose sample entry a clone cannot make (PCM sound, HEVC video):
// refused, and said as every failure is, by the source's verbosity.
static uint32_t RefuseEntry(MP4FileHandle srcFile, uint32_t srcTrackId, const char* entry, const char* where) {
  return Call(srcFile, 0u, [&](MP4File&) -> uint32_t {
    throw MP4Error("track %u has a sample entry \"%s\" that cannot be copied", where, srcTrackId, entry);
  });
}

// The video track of a clone: MPEG-4 Visual entries and AVC ones, any
// entry when encrypted.
static uint32_t CloneVideoTrack(MP4FileHandle srcFile, uint32_t srcTrackId, const char* entry, bool encrypted,
                                MP4IsmaCrypParams* icPp, MP4FileHandle dstFile, const char* where) {
  const bool avc = strcmp(entry, "avc1") == 0;
  if (!encrypted && !avc && strcmp(entry, "mp4v") != 0) return RefuseEntry(srcFile, srcTrackId, entry, where);
  const uint32_t timeScale = MP4GetTrackTimeScale(srcFile, srcTrackId);
  const uint64_t sampleDuration = MP4GetTrackFixedSampleDuration(srcFile, srcTrackId);
  const uint16_t width = MP4GetTrackVideoWidth(srcFile, srcTrackId);
  const uint16_t height = MP4GetTrackVideoHeight(srcFile, srcTrackId);
  if (avc && encrypted)
    return MP4AddEncH264VideoTrack(dstFile, timeScale, sampleDuration, width, height, srcFile, srcTrackId, icPp);
  if (avc) {
    uint8_t profile = 0, level = 0;
    uint32_t lengthSize = 0;
    uint64_t compatibility = 0;
    if (!MP4GetTrackH264ProfileLevel(srcFile, srcTrackId, &profile, &level) ||
        !MP4GetTrackH264LengthSize(srcFile, srcTrackId, &lengthSize) ||
        !MP4GetTrackIntegerProperty(srcFile, srcTrackId, "mdia.minf.stbl.stsd.*[0].avcC.profile_compatibility",
                                    &compatibility))
      return 0;
    const uint32_t id =
        MP4AddH264VideoTrack(dstFile, timeScale, sampleDuration, width, height, profile,
                             static_cast<uint8_t>(compatibility), level, static_cast<uint8_t>(lengthSize - 1));
    if (id) CopyParameterSets(srcFile, srcTrackId, dstFile, id);
    return id;
  }
  CopyProfileLevel(srcFile, dstFile, "moov.iods.visualProfileLevelId");
  const uint8_t objectType = MP4GetTrackEsdsObjectTypeId(srcFile, srcTrackId);
  if (encrypted)
    return MP4AddEncVideoTrack(dstFile, timeScale, sampleDuration, width, height, icPp, objectType, entry);
  return MP4AddVideoTrack(dstFile, timeScale, sampleDuration, width, height, objectType);
}

// What both clones share. The encrypted clone keeps the source's printed
// failures, and its hint track refers to the source hint track's reference.
// where: the function a refusal is printed under.
static uint32_t CloneTrack(MP4FileHandle srcFile, uint32_t srcTrackId, bool encrypted, MP4IsmaCrypParams* icPp,
                           MP4FileHandle dstFile, uint32_t dstHintTrackReferenceTrack, const char* where) {
  if (!dstFile) dstFile = srcFile;
  const char* type = MP4GetTrackType(srcFile, srcTrackId);
  const char* entry = MP4GetTrackMediaDataName(srcFile, srcTrackId);
  if (!type || !entry) return 0;
  const bool video = strcasecmp(type, "vide") == 0;
  const bool sound = strcasecmp(type, "soun") == 0;
  if (strcasecmp(type, "hint") == 0)
    return CloneHintTrack(srcFile, srcTrackId, dstFile, dstHintTrackReferenceTrack, encrypted);
  uint32_t id = 0;
  if (video) {
    id = CloneVideoTrack(srcFile, srcTrackId, entry, encrypted, icPp, dstFile, where);
  } else if (sound) {
    if (!encrypted && strcmp(entry, "mp4a") != 0) return RefuseEntry(srcFile, srcTrackId, entry, where);
    CopyProfileLevel(srcFile, dstFile, "moov.iods.audioProfileLevelId");
    const uint32_t timeScale = MP4GetTrackTimeScale(srcFile, srcTrackId);
    const uint64_t sampleDuration = MP4GetTrackFixedSampleDuration(srcFile, srcTrackId);
    const uint8_t objectType = MP4GetTrackEsdsObjectTypeId(srcFile, srcTrackId);
    id = encrypted ? MP4AddEncAudioTrack(dstFile, timeScale, sampleDuration, icPp, objectType)
                   : MP4AddAudioTrack(dstFile, timeScale, sampleDuration, objectType);
  } else if (strcasecmp(type, "odsm") == 0) {
    id = MP4AddODTrack(dstFile);
  } else if (strcasecmp(type, "sdsm") == 0) {
    id = MP4AddSceneTrack(dstFile);
  } else {
    static const char* const kSystems[] = {"crsm", "m7sm", "ocsm", "ipsm", "mjsm"};
    bool systems = false;
    for (const char* s : kSystems) systems = systems || strcasecmp(type, s) == 0;
    // Both make a systems track of the handler type.
    id = systems ? MP4AddSystemsTrack(dstFile, type) : MP4AddTrack(dstFile, type);
  }
  if (id == 0) return 0;
  MP4SetTrackTimeScale(dstFile, id, MP4GetTrackTimeScale(srcFile, srcTrackId));
  if (!video && !sound) return id;
  // Most tracks (AVC among them) have no decoder configuration to copy: the
  // plain clone asks for it without printing the failure.
  uint8_t* config = nullptr;
  uint32_t configSize = 0;
  bool got = false;
  if (encrypted) {
    got = MP4GetTrackESConfiguration(srcFile, srcTrackId, &config, &configSize);
  } else {
    const QuietErrors quiet(srcFile);
    got = MP4GetTrackESConfiguration(srcFile, srcTrackId, &config, &configSize);
  }
  const bool ok = !got || !config || configSize == 0 || MP4SetTrackESConfiguration(dstFile, id, config, configSize);
  free(config);
  if (ok) return id;
  MP4DeleteTrack(dstFile, id);
  return 0;
}

uint32_t MP4CloneTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4FileHandle dstFile,
                       uint32_t dstHintTrackReferenceTrack) {
  return CloneTrack(srcFile, srcTrackId, false, nullptr, dstFile, dstHintTrackReferenceTrack, "MP4CloneTrack");
}

uint32_t MP4EncAndCloneTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4IsmaCrypParams* icPp,
                             MP4FileHandle dstFile, uint32_t dstHintTrackReferenceTrack) {
  return CloneTrack(srcFile, srcTrackId, true, icPp, dstFile, dstHintTrackReferenceTrack, "MP4EncAndCloneTrack");
}

// The edit list of a copy that applied its source's edits: the pictures
// copied only to be decoded stay hidden, and the copy is shown as long as
// its source was. The lengths go from the source's movie time scale to the
// destination's through their running sum, so that rounding does not add
// up; the track lasts what its edits show.
static bool AddCopiedEdits(MP4FileHandle srcFile, MP4FileHandle dstFile, uint32_t dstTrackId,
                           const std::vector<MP4Track::CopiedEdit>& edits) {
  const uint32_t from = MP4GetTimeScale(srcFile), to = MP4GetTimeScale(dstFile);
  if (from == 0 || to == 0) return false;
  uint64_t sourceEnd = 0, end = 0;
  for (const MP4Track::CopiedEdit& e : edits) {
    sourceEnd = e.segmentDuration > UINT64_MAX - sourceEnd ? UINT64_MAX - 1 : sourceEnd + e.segmentDuration;
    const uint64_t start = end;
    end = MP4ConvertTime(sourceEnd, from, to);
    if (MP4AddTrackEdit(dstFile, dstTrackId, 0, e.mediaTime, end - start, e.dwell) == 0) return false;
  }
  if (!Do(dstFile, [&](MP4File& file) { file.GetTrack(dstTrackId)->SetPresentedDuration(end); })) return false;
  // The movie lasts as long as its longest track, which may now be shorter.
  uint64_t longest = 0;
  const uint32_t tracks = MP4GetNumberOfTracks(dstFile, nullptr, 0);
  for (uint32_t t = 0; t < tracks; t++) {
    uint64_t duration = 0;
    if (MP4GetTrackIntegerProperty(dstFile, MP4FindTrackId(dstFile, static_cast<uint16_t>(t), nullptr, 0),
                                   "tkhd.duration", &duration))
      longest = std::max(longest, duration);
  }
  return Do(dstFile, [&](MP4File& file) { file.SetDuration(longest); });
}

// What both copies share. The destination is settled here, so that a
// failed copy into the source file deletes its half-copied track too.
static uint32_t CopyTrack(MP4FileHandle srcFile, uint32_t srcTrackId, bool encrypted, MP4IsmaCrypParams* icPp,
                          MP4EncryptSampleFunc encrypt, uint32_t encryptParam, MP4FileHandle dstFile,
                          bool applyEdits, uint32_t dstHintTrackReferenceTrack) {
  if (!dstFile) dstFile = srcFile;
  const uint32_t id = CloneTrack(srcFile, srcTrackId, encrypted, icPp, dstFile, dstHintTrackReferenceTrack,
                                 encrypted ? "MP4EncAndCopyTrack" : "MP4CopyTrack");
  if (id == 0) return 0;
  const auto copy = [&](uint32_t sampleId, uint64_t duration) {
    return CopyOneSample(srcFile, srcTrackId, sampleId, encrypted, encrypt, encryptParam, dstFile, id, duration);
  };
  bool ok = true;
  if (applyEdits && MP4GetTrackNumberOfEdits(srcFile, srcTrackId) > 0) {
    std::vector<MP4Track::CopiedEdit> edits;
    ok = Call(srcFile, false,
              [&](MP4File& file) { return file.GetTrack(srcTrackId)->ForEachEditedSample(copy, &edits); });
    if (ok) ok = AddCopiedEdits(srcFile, dstFile, id, edits);
  } else {
    const uint32_t samples = MP4GetTrackNumberOfSamples(srcFile, srcTrackId);
    for (uint32_t s = 1; ok && s <= samples; s++) ok = copy(s, kInvalidTime);
  }
  if (ok) return id;
  MP4DeleteTrack(dstFile, id);
  return 0;
}

uint32_t MP4CopyTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4FileHandle dstFile, bool applyEdits,
                      uint32_t dstHintTrackReferenceTrack) {
  return CopyTrack(srcFile, srcTrackId, false, nullptr, nullptr, 0, dstFile, applyEdits, dstHintTrackReferenceTrack);
}

uint32_t MP4EncAndCopyTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4IsmaCrypParams* icPp,
                            MP4EncryptSampleFunc encryptFunc, uint32_t encryptFuncParam, MP4FileHandle dstFile,
                            bool applyEdits, uint32_t dstHintTrackReferenceTrack) {
  return CopyTrack(srcFile, srcTrackId, true, icPp, encryptFunc, encryptFuncParam, dstFile, applyEdits,
                   dstHintTrackReferenceTrack);
}

// Hint tracks, RTP and SDP

uint32_t MP4AddHintTrack(MP4FileHandle hFile, uint32_t refTrackId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.AddHintTrack(refTrackId); });
}

bool MP4GetHintTrackRtpPayload(MP4FileHandle hFile, uint32_t hintTrackId, char** ppPayloadName,
                               uint8_t* pPayloadNumber, uint16_t* pMaxPayloadSize, char** ppEncodingParams) {
  return Do(hFile, [&](MP4File& file) {
    file.GetHintTrackRtpPayload(hintTrackId, ppPayloadName, pPayloadNumber, pMaxPayloadSize, ppEncodingParams);
  });
}

bool MP4SetHintTrackRtpPayload(MP4FileHandle hFile, uint32_t hintTrackId, const char* pPayloadName,
                               uint8_t* pPayloadNumber, uint16_t maxPayloadSize, const char* encoding_params,
                               bool include_rtp_map, bool include_mpeg4_esid) {
  return Do(hFile, [&](MP4File& file) {
    file.SetHintTrackRtpPayload(hintTrackId, pPayloadName, pPayloadNumber, maxPayloadSize, encoding_params,
                                include_rtp_map, include_mpeg4_esid);
  });
}

const char* MP4GetSessionSdp(MP4FileHandle hFile) {
  return Call(hFile, static_cast<const char*>(nullptr), [&](MP4File& file) { return file.GetSessionSdp(); });
}

bool MP4SetSessionSdp(MP4FileHandle hFile, const char* sdpString) {
  return Do(hFile, [&](MP4File& file) { file.SetSessionSdp(sdpString); });
}

bool MP4AppendSessionSdp(MP4FileHandle hFile, const char* sdpString) {
  return Do(hFile, [&](MP4File& file) { file.AppendSessionSdp(sdpString); });
}

const char* MP4GetHintTrackSdp(MP4FileHandle hFile, uint32_t hintTrackId) {
  return Call(hFile, static_cast<const char*>(nullptr),
              [&](MP4File& file) { return file.GetHintTrackSdp(hintTrackId); });
}

bool MP4SetHintTrackSdp(MP4FileHandle hFile, uint32_t hintTrackId, const char* sdpString) {
  return Do(hFile, [&](MP4File& file) { file.SetHintTrackSdp(hintTrackId, sdpString); });
}

bool MP4AppendHintTrackSdp(MP4FileHandle hFile, uint32_t hintTrackId, const char* sdpString) {
  return Do(hFile, [&](MP4File& file) { file.AppendHintTrackSdp(hintTrackId, sdpString); });
}

uint32_t MP4GetHintTrackReferenceTrackId(MP4FileHandle hFile, uint32_t hintTrackId) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetHintTrackReferenceTrackId(hintTrackId); });
}

bool MP4ReadRtpHint(MP4FileHandle hFile, uint32_t hintTrackId, uint32_t hintSampleId, uint16_t* pNumPackets) {
  return Do(hFile, [&](MP4File& file) { file.ReadRtpHint(hintTrackId, hintSampleId, pNumPackets); });
}

uint16_t MP4GetRtpHintNumberOfPackets(MP4FileHandle hFile, uint32_t hintTrackId) {
  return Call(hFile, uint16_t(0), [&](MP4File& file) { return file.GetRtpHintNumberOfPackets(hintTrackId); });
}

int8_t MP4GetRtpPacketBFrame(MP4FileHandle hFile, uint32_t hintTrackId, uint16_t packetIndex) {
  return Call(hFile, int8_t(-1),
              [&](MP4File& file) { return int8_t(file.GetRtpPacketBFrame(hintTrackId, packetIndex)); });
}

int32_t MP4GetRtpPacketTransmitOffset(MP4FileHandle hFile, uint32_t hintTrackId, uint16_t packetIndex) {
  return Call(hFile, int32_t(0),
              [&](MP4File& file) { return int32_t(file.GetRtpPacketTransmitOffset(hintTrackId, packetIndex)); });
}

bool MP4ReadRtpPacket(MP4FileHandle hFile, uint32_t hintTrackId, uint16_t packetIndex, uint8_t** ppBytes,
                      uint32_t* pNumBytes, uint32_t ssrc, bool includeHeader, bool includePayload) {
  return Do(hFile, [&](MP4File& file) {
    file.ReadRtpPacket(hintTrackId, packetIndex, ppBytes, pNumBytes, ssrc, includeHeader, includePayload);
  });
}

uint64_t MP4GetRtpTimestampStart(MP4FileHandle hFile, uint32_t hintTrackId) {
  return Call(hFile, kInvalidTime, [&](MP4File& file) { return uint64_t(file.GetRtpTimestampStart(hintTrackId)); });
}

bool MP4SetRtpTimestampStart(MP4FileHandle hFile, uint32_t hintTrackId, uint64_t rtpStart) {
  return Do(hFile, [&](MP4File& file) { file.SetRtpTimestampStart(hintTrackId, rtpStart); });
}

bool MP4AddRtpHint(MP4FileHandle hFile, uint32_t hintTrackId) {
  return MP4AddRtpVideoHint(hFile, hintTrackId, false, 0);
}

bool MP4AddRtpVideoHint(MP4FileHandle hFile, uint32_t hintTrackId, bool isBframe, uint32_t timestampOffset) {
  return Do(hFile, [&](MP4File& file) { file.AddRtpHint(hintTrackId, isBframe, timestampOffset); });
}

bool MP4AddRtpPacket(MP4FileHandle hFile, uint32_t hintTrackId, bool setMbit, int32_t transmitOffset) {
  return Do(hFile, [&](MP4File& file) { file.AddRtpPacket(hintTrackId, setMbit, transmitOffset); });
}

bool MP4AddRtpImmediateData(MP4FileHandle hFile, uint32_t hintTrackId, const uint8_t* pBytes, uint32_t numBytes) {
  return Do(hFile, [&](MP4File& file) { file.AddRtpImmediateData(hintTrackId, pBytes, numBytes); });
}

bool MP4AddRtpSampleData(MP4FileHandle hFile, uint32_t hintTrackId, uint32_t sampleId, uint32_t dataOffset,
                         uint32_t dataLength) {
  return Do(hFile, [&](MP4File& file) { file.AddRtpSampleData(hintTrackId, sampleId, dataOffset, dataLength); });
}

bool MP4AddRtpESConfigurationPacket(MP4FileHandle hFile, uint32_t hintTrackId) {
  return Do(hFile, [&](MP4File& file) { file.AddRtpESConfigurationPacket(hintTrackId); });
}

bool MP4WriteRtpHint(MP4FileHandle hFile, uint32_t hintTrackId, uint64_t duration, bool isSyncSample) {
  return Do(hFile, [&](MP4File& file) { file.WriteRtpHint(hintTrackId, duration, isSyncSample); });
}

// ---------------------------------------------------------------- metadata and chapters

void MP4AddQTChapter(MP4FileHandle hFile, uint32_t chapterTrackId, uint64_t chapterDuration, uint32_t chapterNumber,
                     const char* chapterTitle) {
  Do(hFile, [&](MP4File& file) { file.AddChapter(chapterTrackId, chapterDuration, chapterNumber, chapterTitle); });
}

void MP4AddChapter(MP4FileHandle hFile, uint64_t chapterStart, const char* chapterTitle) {
  Do(hFile, [&](MP4File& file) { file.AddChapter(chapterStart, chapterTitle); });
}

void MP4ConvertChapters(MP4FileHandle hFile, bool toQT) {
  Do(hFile, [&](MP4File& file) { file.ConvertChapters(toQT); });
}

void MP4DeleteChapters(MP4FileHandle hFile, uint32_t chapterTrackId, bool deleteQTChapters) {
  Do(hFile, [&](MP4File& file) { file.DeleteChapters(chapterTrackId, deleteQTChapters); });
}

void MP4GetChaptersList(MP4FileHandle hFile, MP4ChapterStruct** chapterList, uint32_t* chapterCount,
                        bool getQTChapters) {
  if (!chapterList || !chapterCount) return;
  *chapterList = nullptr;
  *chapterCount = 0;
  Do(hFile, [&](MP4File& file) { file.GetChaptersList(chapterList, chapterCount, getQTChapters); });
}

// Each text item's setter, getter and deleter.
#define MP4_METADATA_TEXT(Word, code)                                                             \
  bool MP4SetMetadata##Word(MP4FileHandle hFile, const char* value) {                             \
    return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataString(code, value); }); \
  }                                                                                               \
  bool MP4GetMetadata##Word(MP4FileHandle hFile, char** value) {                                  \
    return value && Call(hFile, false, [&](MP4File& file) { return file.GetMetadataString(code, value, false); }); \
  }                                                                                               \
  bool MP4DeleteMetadata##Word(MP4FileHandle hFile) {                                             \
    return Call(hFile, false, [&](MP4File& file) { return file.DeleteMetadataAtom(code, false); }); \
  }
MP4_METADATA_TEXT(Name, "\xA9nam")
MP4_METADATA_TEXT(Writer, "\xA9wrt")
MP4_METADATA_TEXT(Album, "\xA9" "alb")
MP4_METADATA_TEXT(Artist, "\xA9" "ART")
MP4_METADATA_TEXT(Tool, "\xA9too")
MP4_METADATA_TEXT(Comment, "\xA9" "cmt")
MP4_METADATA_TEXT(Year, "\xA9" "day")
MP4_METADATA_TEXT(Grouping, "\xA9grp")
MP4_METADATA_TEXT(AlbumArtist, "aART")
#undef MP4_METADATA_TEXT

static bool DeleteItem(MP4FileHandle hFile, const char* code) {
  return Call(hFile, false, [&](MP4File& file) { return file.DeleteMetadataAtom(code, false); });
}

bool MP4SetMetadataTrack(MP4FileHandle hFile, uint16_t track, uint16_t totalTracks) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataTrack(track, totalTracks); });
}

bool MP4GetMetadataTrack(MP4FileHandle hFile, uint16_t* track, uint16_t* totalTracks) {
  return track != nullptr && totalTracks != nullptr &&
         Call(hFile, false, [&](MP4File& file) { return file.GetMetadataTrack(track, totalTracks); });
}

bool MP4DeleteMetadataTrack(MP4FileHandle hFile) { return DeleteItem(hFile, "trkn"); }

bool MP4SetMetadataDisk(MP4FileHandle hFile, uint16_t disk, uint16_t totalDisks) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataDisk(disk, totalDisks); });
}

bool MP4GetMetadataDisk(MP4FileHandle hFile, uint16_t* disk, uint16_t* totalDisks) {
  return disk != nullptr && totalDisks != nullptr &&
         Call(hFile, false, [&](MP4File& file) { return file.GetMetadataDisk(disk, totalDisks); });
}

bool MP4DeleteMetadataDisk(MP4FileHandle hFile) { return DeleteItem(hFile, "disk"); }

bool MP4SetMetadataGenre(MP4FileHandle hFile, const char* genre) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataGenre(genre); });
}

bool MP4GetMetadataGenre(MP4FileHandle hFile, char** genre) {
  return genre != nullptr &&
         Call(hFile, false, [&](MP4File& file) { return file.GetMetadataGenre(genre); });
}

bool MP4DeleteMetadataGenre(MP4FileHandle hFile) {
  return Call(hFile, false, [&](MP4File& file) { return file.DeleteMetadataGenre(); });
}

bool MP4SetMetadataTempo(MP4FileHandle hFile, uint16_t tempo) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataTempo(tempo); });
}

bool MP4GetMetadataTempo(MP4FileHandle hFile, uint16_t* tempo) {
  return tempo != nullptr &&
         Call(hFile, false, [&](MP4File& file) { return file.GetMetadataTempo(tempo); });
}

bool MP4DeleteMetadataTempo(MP4FileHandle hFile) { return DeleteItem(hFile, "tmpo"); }

bool MP4SetMetadataCompilation(MP4FileHandle hFile, uint8_t compilation) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataUint8("cpil", compilation & 1); });
}

bool MP4GetMetadataCompilation(MP4FileHandle hFile, uint8_t* compilation) {
  return compilation != nullptr &&
         Call(hFile, false, [&](MP4File& file) { return file.GetMetadataUint8("cpil", compilation); });
}

bool MP4DeleteMetadataCompilation(MP4FileHandle hFile) { return DeleteItem(hFile, "cpil"); }

bool MP4SetMetadataPartOfGaplessAlbum(MP4FileHandle hFile, uint8_t partOfGaplessAlbum) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataUint8("pgap", partOfGaplessAlbum & 1); });
}

bool MP4GetMetadataPartOfGaplessAlbum(MP4FileHandle hFile, uint8_t* partOfGaplessAlbum) {
  return partOfGaplessAlbum != nullptr &&
         Call(hFile, false, [&](MP4File& file) { return file.GetMetadataUint8("pgap", partOfGaplessAlbum); });
}

bool MP4DeleteMetadataPartOfGaplessAlbum(MP4FileHandle hFile) { return DeleteItem(hFile, "pgap"); }

bool MP4SetMetadataCoverArt(MP4FileHandle hFile, const uint8_t* coverArt, uint32_t size) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataCoverArt(coverArt, size); });
}

bool MP4GetMetadataCoverArt(MP4FileHandle hFile, uint8_t** coverArt, uint32_t* size, uint32_t index) {
  return GetBytes(hFile, coverArt, size, [&](MP4File& file) {
    if (!file.GetMetadataCoverArt(coverArt, size, index)) throw MP4Error("no cover art %u", "MP4GetMetadataCoverArt", index);
  });
}

uint32_t MP4GetMetadataCoverArtCount(MP4FileHandle hFile) {
  return Call(hFile, 0u, [&](MP4File& file) { return file.GetMetadataCoverArtCount(); });
}

bool MP4DeleteMetadataCoverArt(MP4FileHandle hFile) { return DeleteItem(hFile, "covr"); }

bool MP4SetMetadataFreeForm(MP4FileHandle hFile, const char* name, const uint8_t* pValue, uint32_t valueSize,
                            const char* owner) {
  return Call(hFile, false, [&](MP4File& file) { return file.SetMetadataFreeForm(name, pValue, valueSize, owner); });
}

bool MP4GetMetadataFreeForm(MP4FileHandle hFile, const char* name, uint8_t** pValue, uint32_t* valueSize,
                            const char* owner) {
  return GetBytes(hFile, pValue, valueSize, [&](MP4File& file) {
    if (!file.GetMetadataFreeForm(name, pValue, valueSize, owner))
      throw MP4Error("no free-form item %s", "MP4GetMetadataFreeForm", name ? name : "(null)");
  });
}

bool MP4DeleteMetadataFreeForm(MP4FileHandle hFile, const char* name, const char* owner) {
  return Call(hFile, false, [&](MP4File& file) { return file.DeleteMetadataFreeForm(name, owner); });
}

bool MP4GetMetadataByIndex(MP4FileHandle hFile, uint32_t index, char** ppName, uint8_t** ppValue,
                           uint32_t* pValueSize) {
  if (!ppName) return false;
  *ppName = nullptr;
  return GetBytes(hFile, ppValue, pValueSize, [&](MP4File& file) {
    if (!file.GetMetadataByIndex(index, ppName, ppValue, pValueSize)) {
      free(*ppValue);
      throw MP4Error("no item %u", "MP4GetMetadataByIndex", index);
    }
  });
}

bool MP4MetadataDelete(MP4FileHandle hFile) {
  return Call(hFile, false, [&](MP4File& file) { return file.MetadataDelete(); });
}

}  // extern "C"
