// The function interface: each function checks the handle, runs one
// operation of the open file inside the one catch that turns any failure
// into the function's neutral value, and prints the failure when bit 0 of
// the verbosity asks for it.
#include "mp4.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
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
    *retvalue = file.GetStringProperty(propName);
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
    *retvalue = file.GetTrackStringProperty(trackId, propName);
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
  return Call(hFile, static_cast<const char*>(nullptr), [&](MP4File& file) { return file.GetTrackType(trackId); });
}

const char* MP4GetTrackMediaDataName(MP4FileHandle hFile, uint32_t trackId) {
  return Call(hFile, static_cast<const char*>(nullptr),
              [&](MP4File& file) { return file.GetTrackMediaDataName(trackId); });
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
  return Do(hFile, [&](MP4File& file) {
    file.ProtectWriteOperation("SetTimeScale");
    file.SetTimeScale(value);
  });
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

bool MP4SetIntegerProperty(MP4FileHandle hFile, const char* propName, int64_t value) {
  return Do(hFile, [&](MP4File& file) { file.SetIntegerProperty(propName, static_cast<uint64_t>(value)); });
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
    return file.GetTrackStringProperty(trackId, "mdia.minf.stbl.stsd.href.burl.base_url");
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
