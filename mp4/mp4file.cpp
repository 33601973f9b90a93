#include "mp4file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "mp4array.h"
#include "mp4atom.h"
#include "mp4track.h"

MP4File::MP4File(uint32_t verbosity) : m_verbosity(verbosity) { m_trakName[0] = '\0'; }

MP4File::~MP4File() {
  MP4Free(m_fileName);
  if (m_pFile) {
    // A caller's callback may throw; a destructor must not.
    try {
      m_virtual_IO->Close(m_pFile);
    } catch (...) {
    }
    m_pFile = nullptr;
  }
  delete m_pRootAtom;
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) delete m_pTracks[i];
  if (m_memoryBufferOwned) MP4Free(m_memoryBuffer);
  MP4Free(m_editName);
}

// ---------------------------------------------------------------- opening and closing

void MP4File::Read(const char* fileName) {
  Attach(fileName, 'r');
  Open("rb");
  ReadFromFile();
  CacheProperties();
}

void MP4File::ReadEx(const char* fileName, void* handle, Virtual_IO* virtualIO) {
  MP4_ASSERT_AS(handle, "(m_pFile)");
  MP4_ASSERT_AS(virtualIO, "(m_virtual_IO)");
  Attach(fileName, 'r', handle, virtualIO);
  ReadFromFile();
  CacheProperties();
}

void MP4File::Close() {
  if (m_pFile) {
    void* handle = m_pFile;
    m_pFile = nullptr;
    m_virtual_IO->Close(handle);
  }
}

void MP4File::CacheProperties() {
  MP4Property* p = nullptr;
  FindIntegerProperty("moov.mvhd.modificationTime", &p);
  m_pModificationProperty = static_cast<MP4IntegerProperty*>(p);
  FindIntegerProperty("moov.mvhd.timeScale", &p);
  m_pTimeScaleProperty = static_cast<MP4IntegerProperty*>(p);
  FindIntegerProperty("moov.mvhd.duration", &p);
  m_pDurationProperty = static_cast<MP4IntegerProperty*>(p);
}

void MP4File::GenerateTracks() {
  // moov's children matched one by one as "moov.trak[i]" would match them,
  // without a lookup from the first child for every track.
  MP4Atom* moov = FindAtom("moov");
  for (uint32_t c = 0; moov && c < moov->GetNumberOfChildAtoms(); c++) {
    MP4Atom* trak = moov->GetChildAtom(c);
    if (!MP4NameFirstMatches(trak->GetType(), "trak")) continue;
    MP4Property* trackId = nullptr;
    MP4Property* handlerType = nullptr;
    if (!trak->FindProperty("trak.tkhd.trackId", &trackId) ||
        !trak->FindProperty("trak.mdia.hdlr.handlerType", &handlerType) || trackId->GetType() > Integer64Property) {
      m_trakIds.Add(0);
      continue;
    }
    const uint32_t id = static_cast<uint32_t>(static_cast<MP4IntegerProperty*>(trackId)->GetValue());
    m_trakIds.Add(id);
    MP4Track* track = nullptr;
    try {
      track = new MP4Track(*this, *trak);
    } catch (const MP4Error& e) {
      if (m_verbosity & MP4_VERB_ERRORS) e.Print(stderr);
      continue;
    }
    MP4AddOwned(m_pTracks, track);
    if (!strcmp(track->GetType() ? track->GetType() : "", MP4_OD_TRACK_TYPE)) {
      if (m_odTrackId == 0)
        m_odTrackId = id;
      else if (m_verbosity & MP4_VERB_READ)
        zprintf("Warning: multiple OD tracks present\n");
    }
  }
}

void MP4File::Dump(FILE* pDumpFile, bool dumpImplicits) {
  if (!pDumpFile) pDumpFile = stdout;
  fprintf(pDumpFile, "Dumping %s meta-information...\n", m_fileName ? m_fileName : "(null)");
  MP4_ASSERT(m_pRootAtom);
  m_pRootAtom->Dump(pDumpFile, 0, dumpImplicits);
}

void MP4File::ProtectWriteOperation(const char* where) {
  if (m_mode == 'r') throw MP4Error("operation not permitted in read mode", where);
}

void MP4File::Rename(const char* oldFileName, const char* newFileName) {
  if (rename(oldFileName, newFileName) != 0) throw MP4Error(errno, "can't overwrite existing file", "Rename");
}

void MP4File::Attach(const char* fileName, char mode, void* handle, Virtual_IO* virtualIO) {
  if (fileName) {
    char* name = static_cast<char*>(MP4Malloc(strlen(fileName) + 1));
    memcpy(name, fileName, strlen(fileName) + 1);
    MP4Free(m_fileName);
    m_fileName = name;
  }
  m_mode = mode;
  if (!handle) return;
  MP4_ASSERT_AS(virtualIO, "(m_virtual_IO)");
  m_pFile = handle;
  m_virtual_IO = virtualIO;
  m_orgFileSize = m_fileSize = mode == 'r' ? virtualIO->GetFileLength(handle) : 0;
}

void MP4File::Open(const char* mode) {
  MP4_ASSERT_AS(m_pFile == nullptr, "(m_pFile == __null)");
  MP4_ASSERT(m_fileName);
  FILE* f = fopen(m_fileName, mode);
  if (!f) throw MP4Error(errno, "failed", "MP4Open");
  m_pFile = f;
  m_virtual_IO = &FILE_virtual_IO;
  m_orgFileSize = m_fileSize = m_mode == 'r' ? FILE_virtual_IO.GetFileLength(f) : 0;
}

void MP4File::ReadFromFile() {
  SetPosition(0);
  MP4_ASSERT_AS(m_pRootAtom == nullptr, "(m_pRootAtom == __null)");
  m_pRootAtom = MP4Atom::CreateAtom(nullptr);
  m_pRootAtom->SetFile(this);
  m_pRootAtom->SetStart(0);
  m_pRootAtom->SetEnd(GetSize());
  m_pRootAtom->SetSize(GetSize());
  m_pRootAtom->Read();
  GenerateTracks();
}

namespace {

bool IsDataAtom(const char* type) { return !strcmp(type, "mdat") || !strcmp(type, "stbl"); }
bool IsTimeAtom(const char* type) {
  return !strcmp(type, "mvhd") || !strcmp(type, "tkhd") || !strcmp(type, "mdhd");
}

}  // namespace

bool MP4File::Use64Bits(const char* atomType) const {
  if (IsDataAtom(atomType)) return m_createFlags & 1;
  if (IsTimeAtom(atomType)) return m_createFlags & 2;
  return false;
}

void MP4File::Check64BitStatus(const char* atomType) {
  if (IsDataAtom(atomType)) m_createFlags |= 1;
  else if (IsTimeAtom(atomType)) m_createFlags |= 2;
}

// ---------------------------------------------------------------- fields by path

MP4Atom* MP4File::FindAtom(const char* name) {
  MP4_ASSERT(m_pRootAtom);
  if (!name || !*name) return m_pRootAtom;
  return m_pRootAtom->FindAtom(name);
}

bool MP4File::FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  MP4_ASSERT(m_pRootAtom);
  if (pIndex) *pIndex = 0;
  return m_pRootAtom->FindProperty(name, ppProperty, pIndex);
}

namespace {

// The type codes each typed find accepts, and its texts.
struct TypedFind {
  MP4PropertyType first, last;
  const char* notFound;
  const char* mismatch;
  const char* where;
};
const TypedFind kIntegerFind = {Integer8Property, Integer64Property, "no such property - %s",
                                "type mismatch - property %s type %d", "MP4File::FindIntegerProperty"};
const TypedFind kFloatFind = {Float32Property, Float32Property, "no such property - %s",
                              "type mismatch - property %s type %d", "MP4File::FindFloatProperty"};
const TypedFind kStringFind = {StringProperty, StringProperty, "no such property - %s",
                               "type mismatch - property %s type %d", "MP4File::FindStringProperty"};
const TypedFind kBytesFind = {BytesProperty, BytesProperty, "no such property %s",
                              "type mismatch - property %s - type %d", "MP4File::FindBytesProperty"};

void Find(MP4File& file, const TypedFind& kind, const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  if (!file.FindProperty(name, ppProperty, pIndex) || !*ppProperty)
    throw MP4Error(kind.notFound, kind.where, name ? name : "(null)");
  const MP4PropertyType type = (*ppProperty)->GetType();
  if (type < kind.first || type > kind.last) throw MP4Error(kind.mismatch, kind.where, name, static_cast<int>(type));
}

}  // namespace

void MP4File::FindIntegerProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  Find(*this, kIntegerFind, name, ppProperty, pIndex);
}
void MP4File::FindFloatProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  Find(*this, kFloatFind, name, ppProperty, pIndex);
}
void MP4File::FindStringProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  Find(*this, kStringFind, name, ppProperty, pIndex);
}
void MP4File::FindBytesProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex) {
  Find(*this, kBytesFind, name, ppProperty, pIndex);
}

uint64_t MP4File::GetIntegerProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindIntegerProperty(name, &p, &index);
  return static_cast<MP4IntegerProperty*>(p)->GetValue(index);
}

void MP4File::SetIntegerProperty(const char* name, uint64_t value) {
  ProtectWriteOperation("SetIntegerProperty");
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindIntegerProperty(name, &p, &index);
  static_cast<MP4IntegerProperty*>(p)->SetValue(value, index);
}

float MP4File::GetFloatProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindFloatProperty(name, &p, &index);
  return static_cast<MP4Float32Property*>(p)->GetValue(index);
}

void MP4File::SetFloatProperty(const char* name, float value) {
  ProtectWriteOperation("SetFloatProperty");
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindFloatProperty(name, &p, &index);
  static_cast<MP4Float32Property*>(p)->SetValue(value, index);
}

const char* MP4File::GetStringProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindStringProperty(name, &p, &index);
  return static_cast<MP4StringProperty*>(p)->GetValue(index);
}

void MP4File::SetStringProperty(const char* name, const char* value) {
  ProtectWriteOperation("SetStringProperty");
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindStringProperty(name, &p, &index);
  static_cast<MP4StringProperty*>(p)->SetValue(value, index);
}

void MP4File::GetBytesProperty(const char* name, uint8_t** ppValue, uint32_t* pValueSize) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindBytesProperty(name, &p, &index);
  static_cast<MP4BytesProperty*>(p)->GetValue(ppValue, pValueSize, index);
}

void MP4File::SetBytesProperty(const char* name, const uint8_t* pValue, uint32_t valueSize) {
  ProtectWriteOperation("SetBytesProperty");
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindBytesProperty(name, &p, &index);
  static_cast<MP4BytesProperty*>(p)->SetValue(pValue, valueSize, index);
}

// ---------------------------------------------------------------- adding atoms

MP4Atom* MP4File::InsertChildAtom(MP4Atom* pParentAtom, const char* childName, uint32_t index) {
  MP4Atom* child = MP4Atom::CreateAtom(childName);
  if (!pParentAtom) {
    delete child;
    throw MP4Error("assert failure", "(pParentAtom)");
  }
  child->SetParentAtom(pParentAtom);
  child->SetFile(pParentAtom->GetFile());
  pParentAtom->InsertChildAtom(child, index);
  child->Generate();
  return child;
}

MP4Atom* MP4File::InsertChildAtom(const char* parentName, const char* childName, uint32_t index) {
  return InsertChildAtom(FindAtom(parentName), childName, index);
}

MP4Atom* MP4File::AddChildAtom(MP4Atom* pParentAtom, const char* childName) {
  return InsertChildAtom(pParentAtom, childName, pParentAtom ? pParentAtom->GetNumberOfChildAtoms() : 0);
}

MP4Atom* MP4File::AddChildAtom(const char* parentName, const char* childName) {
  return AddChildAtom(FindAtom(parentName), childName);
}

MP4Atom* MP4File::AddDescendantAtoms(MP4Atom* pAncestorAtom, const char* descendantNames) {
  MP4_ASSERT_AS(pAncestorAtom, "(pAncestorAtom)");
  MP4Atom* parent = pAncestorAtom;
  MP4Atom* child = nullptr;
  for (const char* names = descendantNames; names && *names; names = MP4NameAfterFirst(names)) {
    char* first = MP4NameFirst(names);
    try {
      child = parent->FindChildAtom(first);
      if (!child) child = AddChildAtom(parent, first);
    } catch (...) {
      free(first);
      throw;
    }
    free(first);
    parent = child;
  }
  return child;
}

MP4Atom* MP4File::AddDescendantAtoms(const char* ancestorName, const char* descendantNames) {
  return AddDescendantAtoms(FindAtom(ancestorName), descendantNames);
}

// ---------------------------------------------------------------- track-relative paths

uint16_t MP4File::FindTrakAtomIndex(uint32_t trackId) {
  if (trackId) {
    for (uint32_t i = 0; i < m_trakIds.Size() && i <= UINT16_MAX; i++)
      if (m_trakIds[i] == trackId) return static_cast<uint16_t>(i);
  }
  throw MP4Error("Track id %d doesn't exist", "FindTrakAtomIndex", static_cast<int>(trackId));
}

const char* MP4File::MakeTrackName(uint32_t trackId, const char* name) {
  const unsigned index = FindTrakAtomIndex(trackId);
  if (!name || !*name)
    snprintf(m_trakName, sizeof m_trakName, "moov.trak[%u]", index);
  else
    snprintf(m_trakName, sizeof m_trakName, "moov.trak[%u].%s", index, name);
  return m_trakName;
}

const char* MP4File::MakeTrackEditName(uint32_t trackId, uint32_t editId, const char* name) {
  const char* trak = MakeTrackName(trackId, nullptr);
  if (!m_editName) m_editName = static_cast<char*>(MP4Malloc(1024));
  snprintf(m_editName, 1024, "%s.edts.elst.entries[%u].%s", trak, editId - 1, name ? name : "");
  return m_editName;
}

MP4Atom* MP4File::FindTrackAtom(uint32_t trackId, const char* name) {
  return FindAtom(MakeTrackName(trackId, name));
}

uint64_t MP4File::GetTrackIntegerProperty(uint32_t trackId, const char* name) {
  return GetIntegerProperty(MakeTrackName(trackId, name));
}
void MP4File::SetTrackIntegerProperty(uint32_t trackId, const char* name, int64_t value) {
  SetIntegerProperty(MakeTrackName(trackId, name), static_cast<uint64_t>(value));
}
float MP4File::GetTrackFloatProperty(uint32_t trackId, const char* name) {
  return GetFloatProperty(MakeTrackName(trackId, name));
}
void MP4File::SetTrackFloatProperty(uint32_t trackId, const char* name, float value) {
  SetFloatProperty(MakeTrackName(trackId, name), value);
}
const char* MP4File::GetTrackStringProperty(uint32_t trackId, const char* name) {
  return GetStringProperty(MakeTrackName(trackId, name));
}
void MP4File::SetTrackStringProperty(uint32_t trackId, const char* name, const char* value) {
  SetStringProperty(MakeTrackName(trackId, name), value);
}
void MP4File::GetTrackBytesProperty(uint32_t trackId, const char* name, uint8_t** ppValue, uint32_t* pValueSize) {
  GetBytesProperty(MakeTrackName(trackId, name), ppValue, pValueSize);
}
void MP4File::SetTrackBytesProperty(uint32_t trackId, const char* name, const uint8_t* pValue,
                                    uint32_t valueSize) {
  SetBytesProperty(MakeTrackName(trackId, name), pValue, valueSize);
}

// ---------------------------------------------------------------- fields on fixed paths

uint64_t MP4File::GetDuration() {
  MP4_ASSERT(m_pDurationProperty);
  return m_pDurationProperty->GetValue();
}

void MP4File::SetDuration(uint64_t value) {
  MP4_ASSERT(m_pDurationProperty);
  m_pDurationProperty->SetValue(value);
}

void MP4File::UpdateDuration(uint64_t duration) {
  if (duration > GetDuration()) SetDuration(duration);
}

uint32_t MP4File::GetTimeScale() {
  MP4_ASSERT(m_pTimeScaleProperty);
  return static_cast<uint32_t>(m_pTimeScaleProperty->GetValue(0));
}

void MP4File::SetTimeScale(uint32_t value) {
  if (value == 0) throw MP4Error("invalid value", "SetTimeScale");
  MP4_ASSERT(m_pTimeScaleProperty);
  m_pTimeScaleProperty->SetValue(value);
}

uint8_t MP4File::GetODProfileLevel() { return static_cast<uint8_t>(GetIntegerProperty("moov.iods.ODProfileLevelId")); }
void MP4File::SetODProfileLevel(uint8_t value) { SetIntegerProperty("moov.iods.ODProfileLevelId", value); }
uint8_t MP4File::GetSceneProfileLevel() {
  return static_cast<uint8_t>(GetIntegerProperty("moov.iods.sceneProfileLevelId"));
}
void MP4File::SetSceneProfileLevel(uint8_t value) { SetIntegerProperty("moov.iods.sceneProfileLevelId", value); }
uint8_t MP4File::GetVideoProfileLevel() {
  return static_cast<uint8_t>(GetIntegerProperty("moov.iods.visualProfileLevelId"));
}
void MP4File::SetVideoProfileLevel(uint8_t value) { SetIntegerProperty("moov.iods.visualProfileLevelId", value); }
uint8_t MP4File::GetAudioProfileLevel() {
  return static_cast<uint8_t>(GetIntegerProperty("moov.iods.audioProfileLevelId"));
}
void MP4File::SetAudioProfileLevel(uint8_t value) { SetIntegerProperty("moov.iods.audioProfileLevelId", value); }
uint8_t MP4File::GetGraphicsProfileLevel() {
  return static_cast<uint8_t>(GetIntegerProperty("moov.iods.graphicsProfileLevelId"));
}
void MP4File::SetGraphicsProfileLevel(uint8_t value) {
  SetIntegerProperty("moov.iods.graphicsProfileLevelId", value);
}

namespace {
const char kSdpPath[] = "moov.udta.hnti.rtp .sdpText";
}

const char* MP4File::GetSessionSdp() { return GetStringProperty(kSdpPath); }

void MP4File::SetSessionSdp(const char* sdpString) {
  // Refused before the atoms on the way are added.
  ProtectWriteOperation("SetStringProperty");
  AddDescendantAtoms("moov", "udta.hnti.rtp ");
  SetStringProperty(kSdpPath, sdpString);
}

void MP4File::AppendSessionSdp(const char* sdpString) {
  const char* old = nullptr;
  try {
    old = GetSessionSdp();
  } catch (const MP4Error&) {
    SetSessionSdp(sdpString);
    return;
  }
  const size_t oldLength = old ? strlen(old) : 0, addLength = sdpString ? strlen(sdpString) : 0;
  char* joined = static_cast<char*>(MP4Malloc(oldLength + addLength + 1));
  if (oldLength) memcpy(joined, old, oldLength);
  if (addLength) memcpy(joined + oldLength, sdpString, addLength);
  joined[oldLength + addLength] = '\0';
  try {
    SetSessionSdp(joined);
  } catch (...) {
    MP4Free(joined);
    throw;
  }
  MP4Free(joined);
}

uint16_t MP4File::GetAmrModeSet(uint32_t trackId) {
  return static_cast<uint16_t>(GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.damr.modeSet"));
}
void MP4File::SetAmrVendor(uint32_t trackId, uint32_t vendor) {
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.damr.vendor", vendor);
}
void MP4File::SetAmrDecoderVersion(uint32_t trackId, uint8_t decoderVersion) {
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.damr.decoderVersion", decoderVersion);
}
void MP4File::SetAmrModeSet(uint32_t trackId, uint16_t modeSet) {
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.damr.modeSet", modeSet);
}
void MP4File::SetH263Vendor(uint32_t trackId, uint32_t vendor) {
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.s263.d263.vendor", vendor);
}
void MP4File::SetH263DecoderVersion(uint32_t trackId, uint8_t decoderVersion) {
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.s263.d263.decoderVersion", decoderVersion);
}
void MP4File::SetH263Bitrates(uint32_t trackId, uint32_t avgBitrate, uint32_t maxBitrate) {
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.s263.d263.bitr.avgBitrate", avgBitrate);
  SetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.s263.d263.bitr.maxBitrate", maxBitrate);
}

bool MP4File::GetTrackMediaDataOriginalFormat(uint32_t trackId, char* originalFormat, uint32_t buflen) {
  if (!originalFormat || buflen < 5) return false;
  const uint64_t format = GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.sinf.frma.data-format");
  for (int i = 0; i < 4; i++) originalFormat[i] = static_cast<char>(format >> (24 - 8 * i));
  originalFormat[4] = '\0';
  return true;
}

uint32_t MP4File::GetTrackNumberOfEdits(uint32_t trackId) {
  return static_cast<uint32_t>(GetTrackIntegerProperty(trackId, "edts.elst.entryCount"));
}
uint64_t MP4File::GetTrackEditMediaStart(uint32_t trackId, uint32_t editId) {
  return GetIntegerProperty(MakeTrackEditName(trackId, editId, "mediaTime"));
}
void MP4File::SetTrackEditMediaStart(uint32_t trackId, uint32_t editId, uint64_t startTime) {
  SetIntegerProperty(MakeTrackEditName(trackId, editId, "mediaTime"), startTime);
}
uint64_t MP4File::GetTrackEditDuration(uint32_t trackId, uint32_t editId) {
  return GetIntegerProperty(MakeTrackEditName(trackId, editId, "segmentDuration"));
}
void MP4File::SetTrackEditDuration(uint32_t trackId, uint32_t editId, uint64_t duration) {
  SetIntegerProperty(MakeTrackEditName(trackId, editId, "segmentDuration"), duration);
}
bool MP4File::GetTrackEditDwell(uint32_t trackId, uint32_t editId) {
  return GetIntegerProperty(MakeTrackEditName(trackId, editId, "mediaRate")) == 0;
}
void MP4File::SetTrackEditDwell(uint32_t trackId, uint32_t editId, bool dwell) {
  SetIntegerProperty(MakeTrackEditName(trackId, editId, "mediaRate"), dwell ? 0 : 1);
}

// ---------------------------------------------------------------- finding tracks

uint16_t MP4File::FindTrackIndex(uint32_t trackId) {
  for (uint32_t i = 0; i < m_pTracks.Size() && i <= UINT16_MAX; i++)
    if (m_pTracks[i]->GetId() == trackId) return static_cast<uint16_t>(i);
  throw MP4Error("Track id %d doesn't exist", "FindTrackIndex", static_cast<int>(trackId));
}

MP4Track* MP4File::GetTrack(uint32_t trackId) { return m_pTracks[FindTrackIndex(trackId)]; }

// A track without an ES descriptor has no object type to compare: it is
// another kind of track, not a reason to fail the whole count.
bool MP4File::TrackMatches(MP4Track* pTrack, const char* normType, uint8_t subType) {
  const char* type = pTrack->GetType();
  if (!type || strcmp(type, normType) != 0) return false;
  if (subType == 0 || (normType != MP4_VIDEO_TRACK_TYPE && normType != MP4_AUDIO_TRACK_TYPE)) return true;
  try {
    return GetTrackEsdsObjectTypeId(pTrack->GetId()) == subType;
  } catch (const MP4Error&) {
    return false;
  }
}

uint32_t MP4File::GetNumberOfTracks(const char* type, uint8_t subType) {
  if (!type) return m_pTracks.Size();
  const char* normType = MP4NormalizeTrackType(type, m_verbosity);
  uint32_t count = 0;
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) count += TrackMatches(m_pTracks[i], normType, subType);
  return count;
}

uint32_t MP4File::FindTrackId(uint16_t trackIndex, const char* type, uint8_t subType) {
  if (!type) return m_pTracks[trackIndex]->GetId();
  const char* normType = MP4NormalizeTrackType(type, m_verbosity);
  uint32_t matches = 0;
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) {
    if (!TrackMatches(m_pTracks[i], normType, subType)) continue;
    if (matches++ == trackIndex) return m_pTracks[i]->GetId();
  }
  throw MP4Error("Track index doesn't exist - track %d type %s", "FindTrackId", trackIndex, type);
}

uint32_t MP4File::FindTrackReference(const char* trefName, uint32_t refTrackId) {
  char name[1024];
  MP4Property* count = nullptr;
  MP4Property* trackIds = nullptr;
  snprintf(name, sizeof name, "%s.%s", trefName, "entryCount");
  FindProperty(name, &count);
  MP4_ASSERT_AS(count && count->GetType() <= Integer64Property, "(*ppCountProperty)");
  snprintf(name, sizeof name, "%s.%s", trefName, "entries.trackId");
  FindProperty(name, &trackIds);
  MP4_ASSERT_AS(trackIds && trackIds->GetType() <= Integer64Property, "(*ppTrackIdProperty)");
  MP4IntegerProperty* ids = static_cast<MP4IntegerProperty*>(trackIds);
  const uint64_t n = static_cast<MP4IntegerProperty*>(count)->GetValue();
  for (uint32_t row = 0; row < ids->GetCount() && row < n; row++)
    if (ids->GetValue(row) == refTrackId) return row + 1;
  return 0;
}

// ---------------------------------------------------------------- per-track facts

const char* MP4File::GetTrackType(uint32_t trackId) { return GetTrack(trackId)->GetType(); }

const char* MP4File::GetTrackMediaDataName(uint32_t trackId) {
  MP4Atom* stsd = FindTrackAtom(trackId, "mdia.minf.stbl.stsd");
  if (!stsd) throw MP4Error(ERANGE, "index %u of %u", "MP4Array::[]", 0u, 0u);
  return stsd->GetChildAtom(0)->GetType();
}

uint8_t MP4File::GetTrackEsdsObjectTypeId(uint32_t trackId) {
  // The ES descriptor of the entry, or one level deeper (inside "wave").
  try {
    return static_cast<uint8_t>(
        GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.esds.decConfigDescr.objectTypeId"));
  } catch (const MP4Error&) {
  }
  return static_cast<uint8_t>(
      GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.*.esds.decConfigDescr.objectTypeId"));
}

void MP4File::GetTrackESConfiguration(uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize) {
  try {
    GetTrackBytesProperty(trackId, "mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.decSpecificInfo[0].info",
                          ppConfig, pConfigSize);
    return;
  } catch (const MP4Error&) {
  }
  GetTrackBytesProperty(trackId, "mdia.minf.stbl.stsd.*[0].*.esds.decConfigDescr.decSpecificInfo[0].info",
                        ppConfig, pConfigSize);
}

uint8_t MP4File::GetTrackAudioMpeg4Type(uint32_t trackId) {
  if (GetTrackEsdsObjectTypeId(trackId) != 0x40) return 0;
  uint8_t* config = nullptr;
  uint32_t size = 0;
  GetTrackESConfiguration(trackId, &config, &size);
  uint8_t type = 0;
  if (size > 0) {
    // The 5-bit audio object type; 31 escapes to 32 plus the next 6 bits.
    type = config[0] >> 3;
    if (type == 31) type = size < 2 ? 0 : static_cast<uint8_t>(32 + (((config[0] & 7) << 3) | (config[1] >> 5)));
  }
  MP4Free(config);
  return type;
}

void MP4File::GetTrackVideoMetadata(uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize) {
  GetTrackBytesProperty(trackId, "mdia.minf.stbl.stsd.*[0].*.metadata", ppConfig, pConfigSize);
}

int MP4File::GetTrackAudioChannels(uint32_t trackId) {
  return static_cast<int>(GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*[0].channels"));
}

bool MP4File::IsIsmaCrypMediaTrack(uint32_t trackId) {
  return GetTrackIntegerProperty(trackId, "mdia.minf.stbl.stsd.*.sinf.frma.data-format") != UINT64_MAX;
}

namespace {

// The parameter sets of one avcC table as malloc'ed copies, in arrays
// ending in NULL and 0. An empty set is left out: callers walk the sizes up
// to the first 0 and would lose (and leak) the sets after it. A failed
// allocation of an array leaves both NULL.
void CopyParameterSets(MP4IntegerProperty* count, MP4BytesProperty* units, uint8_t*** pppSets,
                       uint32_t** ppSizes) {
  const uint32_t n = static_cast<uint32_t>(count->GetValue());
  uint8_t** sets = static_cast<uint8_t**>(malloc((uint64_t(n) + 1) * sizeof(uint8_t*)));
  uint32_t* sizes = sets ? static_cast<uint32_t*>(malloc((uint64_t(n) + 1) * sizeof(uint32_t))) : nullptr;
  if (!sets || !sizes) {
    free(sets);
    return;
  }
  uint32_t kept = 0;
  try {
    for (uint32_t i = 0; i < n; i++) {
      if (units->GetValueSize(i) == 0) continue;
      units->GetValue(&sets[kept], &sizes[kept], i);
      kept++;
    }
  } catch (...) {
    for (uint32_t i = 0; i < kept; i++) free(sets[i]);
    free(sets);
    free(sizes);
    throw;
  }
  sets[kept] = nullptr;
  sizes[kept] = 0;
  *pppSets = sets;
  *ppSizes = sizes;
}

// A count and a parameter-set column of the avcC atom; false when either
// is missing or of another kind.
bool FindParameterSets(MP4Atom* avcC, const char* countName, const char* unitsName, MP4IntegerProperty** ppCount,
                       MP4BytesProperty** ppUnits) {
  MP4Property* count = nullptr;
  MP4Property* units = nullptr;
  if (!avcC->FindProperty(countName, &count) || !count || count->GetType() > Integer64Property) return false;
  if (!avcC->FindProperty(unitsName, &units) || !units || units->GetType() != BytesProperty) return false;
  *ppCount = static_cast<MP4IntegerProperty*>(count);
  *ppUnits = static_cast<MP4BytesProperty*>(units);
  return true;
}

}  // namespace

void MP4File::GetTrackH264SeqPictHeaders(uint32_t trackId, uint8_t*** pppSeqHeader, uint32_t** ppSeqHeaderSize,
                                         uint8_t*** pppPictHeader, uint32_t** ppPictHeaderSize) {
  *pppSeqHeader = nullptr;
  *ppSeqHeaderSize = nullptr;
  *pppPictHeader = nullptr;
  *ppPictHeaderSize = nullptr;
  const char* format = GetTrackMediaDataName(trackId);
  const char* path;
  if (!strcasecmp(format, "avc1"))
    path = "mdia.minf.stbl.stsd.avc1.avcC";
  else if (!strcasecmp(format, "encv"))
    path = "mdia.minf.stbl.stsd.encv.avcC";
  else
    return;
  MP4Atom* avcC = FindTrackAtom(trackId, path);
  MP4IntegerProperty* count = nullptr;
  MP4BytesProperty* units = nullptr;
  if (!avcC || !FindParameterSets(avcC, "avcC.numOfSequenceParameterSets",
                                  "avcC.sequenceEntries.sequenceParameterSetNALUnit", &count, &units)) {
    if (m_verbosity & MP4_VERB_ERRORS) MP4Warning("\"Could not find avcC properties\"", "mp4file", 3187);
    return;
  }
  CopyParameterSets(count, units, pppSeqHeader, ppSeqHeaderSize);
  if (!FindParameterSets(avcC, "avcC.numOfPictureParameterSets", "avcC.pictureEntries.pictureParameterSetNALUnit",
                         &count, &units)) {
    if (m_verbosity & MP4_VERB_ERRORS)
      MP4Warning("\"Could not find avcC picture table properties\"", "mp4file", 3215);
    return;
  }
  CopyParameterSets(count, units, pppPictHeader, ppPictHeaderSize);
}

// ---------------------------------------------------------------- durations and time scales

uint64_t MP4File::GetTrackDuration(uint32_t trackId) { return GetTrackIntegerProperty(trackId, "mdia.mdhd.duration"); }

uint32_t MP4File::GetTrackTimeScale(uint32_t trackId) { return GetTrack(trackId)->GetTimeScale(); }

uint64_t MP4File::GetTrackFixedSampleDuration(uint32_t trackId) {
  return GetTrack(trackId)->GetFixedSampleDuration();
}

double MP4File::GetTrackVideoFrameRate(uint32_t trackId) {
  const uint32_t samples = GetTrackNumberOfSamples(trackId);
  const uint64_t msDuration = ConvertFromTrackDuration(trackId, GetTrackDuration(trackId), 1000);
  if (msDuration == 0) return 0.0;
  return static_cast<double>(samples) / static_cast<double>(msDuration) * 1000.0;
}

uint64_t MP4File::ConvertFromMovieDuration(uint64_t duration, uint32_t timeScale) {
  return MP4ConvertTime(duration, GetTimeScale(), timeScale);
}
uint64_t MP4File::ConvertFromTrackTimestamp(uint32_t trackId, uint64_t timeStamp, uint32_t timeScale) {
  return MP4ConvertTime(timeStamp, GetTrackTimeScale(trackId), timeScale);
}
uint64_t MP4File::ConvertToTrackTimestamp(uint32_t trackId, uint64_t timeStamp, uint32_t timeScale) {
  return MP4ConvertTime(timeStamp, timeScale, GetTrackTimeScale(trackId));
}
uint64_t MP4File::ConvertFromTrackDuration(uint32_t trackId, uint64_t duration, uint32_t timeScale) {
  return MP4ConvertTime(duration, GetTrackTimeScale(trackId), timeScale);
}
uint64_t MP4File::ConvertToTrackDuration(uint32_t trackId, uint64_t duration, uint32_t timeScale) {
  return MP4ConvertTime(duration, timeScale, GetTrackTimeScale(trackId));
}

// ---------------------------------------------------------------- samples

uint32_t MP4File::GetTrackNumberOfSamples(uint32_t trackId) { return GetTrack(trackId)->GetNumberOfSamples(); }

uint32_t MP4File::GetSampleSize(uint32_t trackId, uint32_t sampleId) {
  return GetTrack(trackId)->GetSampleSize(sampleId);
}

uint32_t MP4File::GetTrackMaxSampleSize(uint32_t trackId) { return GetTrack(trackId)->GetMaxSampleSize(); }

uint32_t MP4File::GetSampleIdFromTime(uint32_t trackId, uint64_t when, bool wantSyncSample) {
  return GetTrack(trackId)->GetSampleIdFromTime(when, wantSyncSample);
}

uint64_t MP4File::GetSampleTime(uint32_t trackId, uint32_t sampleId) {
  uint64_t start = 0;
  GetTrack(trackId)->GetSampleTimes(sampleId, &start, nullptr);
  return start;
}

uint64_t MP4File::GetSampleDuration(uint32_t trackId, uint32_t sampleId) {
  uint64_t duration = 0;
  GetTrack(trackId)->GetSampleTimes(sampleId, nullptr, &duration);
  return duration;
}

uint64_t MP4File::GetSampleRenderingOffset(uint32_t trackId, uint32_t sampleId) {
  return GetTrack(trackId)->GetSampleRenderingOffset(sampleId);
}

bool MP4File::GetSampleSync(uint32_t trackId, uint32_t sampleId) { return GetTrack(trackId)->IsSyncSample(sampleId); }

void MP4File::ReadSample(uint32_t trackId, uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes,
                         uint64_t* pStartTime, uint64_t* pDuration, uint64_t* pRenderingOffset, bool* pIsSyncSample) {
  GetTrack(trackId)->ReadSample(sampleId, ppBytes, pNumBytes, pStartTime, pDuration, pRenderingOffset,
                                pIsSyncSample);
}
