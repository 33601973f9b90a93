#include "mp4file.h"

#include <sys/stat.h>
#include <unistd.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "atoms.h"
#include "mp4.h"
#include "mp4array.h"
#include "mp4atom.h"
#include "mp4descriptor.h"
#include "mp4track.h"

MP4File::MP4File(uint32_t verbosity) : m_verbosity(verbosity) {
  m_trakName[0] = '\0';
  m_tempFileName[0] = '\0';
}

MP4File::~MP4File() {
  MP4Free(m_fileName);
  // A modification never closed (or whose close failed) leaves the file as
  // it was.
  Rollback();
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
  if (m_mode == 'w') {
    try {
      SetIntegerProperty("moov.mvhd.modificationTime", MP4GetAbsTimestamp());
      FinishWrite();
    } catch (...) {
      Rollback();
      throw;
    }
  }
  if (m_pFile) {
    void* handle = m_pFile;
    m_pFile = nullptr;
    errno = 0;
    // What was written may not have reached the file when closing fails.
    if (m_virtual_IO->Close(handle) != 0 && m_mode == 'w')
      throw MP4Error(errno, "closing the file failed", "MP4Close");
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
    if (!trak->TypeMatches("trak")) continue;
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
      track = MakeTrack(*trak);
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
  // Files read go through their own buffered table; files written (made
  // new or modified in place) through one whose every write goes to the
  // system at once, at its place: no buffer holds bytes of a sample that
  // was taken, to fail later under another call's name.
  const bool update = !strcmp(mode, "rb+");
  const bool create = mode[0] == 'w';
  void* h = create ? FILE_OpenForWriting(m_fileName)
                   : update ? FILE_OpenForUpdate(m_fileName) : FILE_OpenForReading(m_fileName);
  if (!h) throw MP4Error(errno, "failed", "MP4Open");
  m_pFile = h;
  m_virtual_IO = create || update ? &FILE_update_virtual_IO : &FILE_read_virtual_IO;
  m_orgFileSize = m_fileSize = create ? 0 : m_virtual_IO->GetFileLength(h);
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

const char* MP4File::GetKeptStringProperty(const char* name) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  FindStringProperty(name, &p, &index);
  MP4StringProperty* field = static_cast<MP4StringProperty*>(p);
  const char* value = field->GetValue(index);
  return KeepText(value, MP4TextBytes(value, field->IsUnicode() ? 2 : 1));
}

const char* MP4File::KeepText(const char* text, size_t size) {
  if (!text) return nullptr;
  // Two zero bytes here and the string's own terminator.
  std::string copy(text, size);
  copy.append(2, '\0');
  return m_keptTexts.insert(std::move(copy)).first->c_str();
}

const char* MP4File::KeepText(const char* text) { return KeepText(text, text ? strlen(text) : 0); }

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
  // A path longer than the buffer is cut; no property has such a name.
  if (snprintf(m_editName, 1024, "%s.edts.elst.entries[%u].%s", trak, editId - 1, name ? name : "") >= 1024)
    m_editName[1023] = 0;
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
const char* MP4File::GetKeptTrackStringProperty(uint32_t trackId, const char* name) {
  return GetKeptStringProperty(MakeTrackName(trackId, name));
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
  // A duration beyond 32 bits needs the header's 64-bit form.
  if (value > UINT32_MAX && m_pDurationProperty->GetValueBits() < 64) {
    MP4Atom* mvhd = FindAtom("moov.mvhd");
    MP4_ASSERT_AS(mvhd, "(pMvhdAtom)");
    MP4WidenHeader(mvhd);
    CacheProperties();
  }
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

// The field's own text goes with the next set: the caller gets a copy that
// stays.
const char* MP4File::GetSessionSdp() { return GetKeptStringProperty(kSdpPath); }

void MP4File::SetSessionSdp(const char* sdpString) {
  // Refused before the atoms on the way are added.
  ProtectWriteOperation("SetStringProperty");
  AddDescendantAtoms("moov", "udta.hnti.rtp ");
  SetStringProperty(kSdpPath, sdpString);
}

void MP4File::AppendSessionSdp(const char* sdpString) {
  const char* old = nullptr;
  try {
    old = GetStringProperty(kSdpPath);
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
void MP4File::WidenTrackEdits(uint32_t trackId, uint32_t editId, bool wide, const char* where) {
  ProtectWriteOperation(where);
  if (!wide) return;
  MP4ElstAtom* elst = dynamic_cast<MP4ElstAtom*>(FindTrackAtom(trackId, "edts.elst"));
  if (!elst || elst->GetVersion() == 1 || editId == 0 || editId > GetTrackNumberOfEdits(trackId)) return;
  elst->Widen();
  GetTrack(trackId)->InitEditListProperties();
}
void MP4File::SetTrackEditMediaStart(uint32_t trackId, uint32_t editId, uint64_t startTime) {
  WidenTrackEdits(trackId, editId, startTime > UINT32_MAX && startTime != UINT64_MAX, "SetTrackEditMediaStart");
  SetIntegerProperty(MakeTrackEditName(trackId, editId, "mediaTime"), startTime);
}
uint64_t MP4File::GetTrackEditDuration(uint32_t trackId, uint32_t editId) {
  return GetIntegerProperty(MakeTrackEditName(trackId, editId, "segmentDuration"));
}
void MP4File::SetTrackEditDuration(uint32_t trackId, uint32_t editId, uint64_t duration) {
  WidenTrackEdits(trackId, editId, duration > UINT32_MAX, "SetTrackEditDuration");
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

// The AVC configuration of the sample entries that carry one; NULL for
// every other entry.
const char* AvcCPath(const char* format) {
  if (!strcasecmp(format, "avc1")) return "mdia.minf.stbl.stsd.avc1.avcC";
  if (!strcasecmp(format, "encv")) return "mdia.minf.stbl.stsd.encv.avcC";
  return nullptr;
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
  const char* path = AvcCPath(GetTrackMediaDataName(trackId));
  if (!path) return;
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

// ---------------------------------------------------------------- creating, modifying, optimising

void MP4File::Create(const char* fileName, uint32_t flags, int addFtyp, int addIods, const char* majorBrand,
                     uint32_t minorVersion, char** compatibleBrands, uint32_t compatibleBrandsCount) {
  Attach(fileName, 'w');
  m_createFlags = flags;
  Open("wb+");
  MP4_ASSERT_AS(m_pRootAtom == nullptr, "(m_pRootAtom == __null)");
  m_pRootAtom = MP4Atom::CreateAtom(nullptr);
  m_pRootAtom->SetFile(this);
  m_pRootAtom->Generate();
  if (addFtyp) MakeFtypAtom(majorBrand, minorVersion, compatibleBrands, compatibleBrandsCount);
  CacheProperties();
  InsertChildAtom(m_pRootAtom, "mdat", addFtyp ? 1 : 0);
  // The file is empty: positions in memory are the file's.
  const std::vector<uint8_t> head = InMemory([&] { m_pRootAtom->BeginWrite(); });
  MP4_ASSERT(head.size() <= UINT32_MAX);
  m_watchCuts = m_virtual_IO == &FILE_update_virtual_IO;
  m_writeCall = "MP4Create";
  WriteAt(0, head.data(), static_cast<uint32_t>(head.size()));
  m_writeCall = "MP4WriteSample";
  if (addIods) AddChildAtom("moov", "iods");
}

bool MP4File::Modify(const char* fileName, void* handle, Virtual_IO* virtualIO) {
  Attach(fileName, 'r', handle, virtualIO);
  if (!handle) Open("rb+");
  ReadFromFile();
  m_mode = 'w';
  MP4Atom* moov = FindAtom("moov");
  if (!moov) return false;
  RefuseFragments("MP4Modify");
  // The movie is written again at close: one that cannot be written must be
  // refused before anything is.
  const std::function<bool(MP4Atom*)> writable = [&](MP4Atom* a) {
    if (a->IsBodyUnloaded()) return false;
    for (uint32_t c = 0; c < a->GetNumberOfChildAtoms(); c++)
      if (!writable(a->GetChildAtom(c))) return false;
    return true;
  };
  if (!writable(moov)) throw MP4Error("the movie atom holds a body too large to write back", "MP4Modify");
  // A movie atom whose size does not cover a box header (the atom after it
  // was read from inside that header) leaves no header to turn into free
  // space once the new movie is written.
  const uint64_t moovSize = moov->GetEnd() - moov->GetStart();
  if (moovSize < 8)
    throw MP4Error("the movie atom at %llu has a size of %llu bytes, less than its header", "MP4Modify",
                   static_cast<unsigned long long>(moov->GetStart()), static_cast<unsigned long long>(moovSize));
  // A later movie atom (one a close that was stopped had not turned into
  // free space yet) is not read, as other readers do not read it: it is
  // free space.
  m_staleMovies.clear();
  for (uint32_t i = 0; i < m_pRootAtom->GetNumberOfChildAtoms(); i++) {
    MP4Atom* child = m_pRootAtom->GetChildAtom(i);
    if (child != moov && !strcmp(child->GetType(), "moov")) m_staleMovies.push_back(child);
  }
  PrepareEnd(moov);
  CacheProperties();
  SetPosition(m_appendAt);
  return true;
}

namespace {

bool IsFreeSpace(const MP4Atom* a) { return !strcmp(a->GetType(), "free") || !strcmp(a->GetType(), "skip"); }

// A box header of the 32-bit form.
void PutHeader(uint8_t* out, uint32_t size, const char* type) {
  for (int i = 0; i < 4; i++) out[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  memcpy(out + 4, type, 4);
}

// Whether a chunk starts in [start, end).
bool HoldsChunk(const std::vector<uint64_t>& starts, uint64_t start, uint64_t end) {
  const auto it = std::lower_bound(starts.begin(), starts.end(), start);
  return it != starts.end() && *it < end;
}

// The samples of a track lie in this file when every data reference says
// so (flag 1); a track that names other files is left alone.
bool SelfContained(MP4Track& track) {
  MP4Atom* dref = track.GetTrakAtom().FindAtom("trak.mdia.minf.dinf.dref");
  if (!dref || dref->GetNumberOfChildAtoms() == 0) return false;
  for (uint32_t i = 0; i < dref->GetNumberOfChildAtoms(); i++) {
    try {
      if (!(dref->GetChildAtom(i)->GetFlags() & 1)) return false;
    } catch (const MP4Error&) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<uint64_t> MP4File::ChunkStarts() {
  std::vector<uint64_t> starts;
  for (uint32_t t = 0; t < m_pTracks.Size(); t++) {
    const size_t before = starts.size();
    try {
      const uint32_t chunks = m_pTracks[t]->GetNumberOfChunks();
      for (uint32_t c = 1; c <= chunks; c++) starts.push_back(m_pTracks[t]->GetChunkOffset(c));
    } catch (const MP4Error&) {
      starts.resize(before);
    }
  }
  std::sort(starts.begin(), starts.end());
  return starts;
}

void MP4File::PrepareEnd(MP4Atom* moov) {
  const uint64_t end = m_orgFileSize;
  // From the end: bytes that are no box (under 8 bytes, a size that does
  // not cover a header, a type of zero or control bytes) are written over.
  const std::vector<uint64_t> starts = ChunkStarts();
  uint64_t junk = end - m_pRootAtom->GetTrailerSize();
  uint32_t kept = m_pRootAtom->GetNumberOfChildAtoms();
  for (; kept > 0; kept--) {
    MP4Atom* child = m_pRootAtom->GetChildAtom(kept - 1);
    if (child == moov || child->GetEnd() != junk || !MP4RootAtom::IsNoBox(child)) break;
    junk = child->GetStart();
  }
  if (HoldsChunk(starts, junk, end))
    throw MP4Error("the %llu bytes at the end of the file are no box but hold samples", "MP4Modify",
                   static_cast<unsigned long long>(end - junk));

  // The last box, when nothing follows it, may say "to the end of the file"
  // (size 0) or more than the file holds: its real size goes into its
  // header, or anything appended would be read as part of it.
  MP4Atom* last = kept > 0 ? m_pRootAtom->GetChildAtom(kept - 1) : nullptr;
  uint64_t sizeAt = 0, realSize = 0;
  // The box may start the file: its size field at 0.
  bool resize = false, largeSize = false, cut = false;
  if (last && last->GetEnd() == end && junk == end) {
    const uint64_t start = last->GetStart();
    SetPosition(start);
    uint64_t declared = ReadUInt32();
    largeSize = declared == 1;
    if (largeSize) {
      SetPosition(start + 8);
      declared = ReadUInt64();
    }
    realSize = end - start;
    cut = declared > realSize;
    if (declared != realSize) {
      if (!largeSize && realSize > UINT32_MAX)
        throw MP4Error("the last box (%s at %llu) runs to the end of the file, and its size of %llu bytes does "
                       "not fit its header",
                       "MP4Modify", last->GetPrintableType(), static_cast<unsigned long long>(start),
                       static_cast<unsigned long long>(realSize));
      sizeAt = largeSize ? start + 8 : start;
      resize = true;
    }
  }

  // A file cut short (a download that stopped): samples that begin past
  // its end, or that run past it out of a last box cut short. Whatever is
  // appended would be read as them.
  for (uint32_t t = 0; t < m_pTracks.Size(); t++) {
    MP4Track* track = m_pTracks[t];
    if (!SelfContained(*track)) continue;
    uint32_t chunks = 0;
    try {
      chunks = track->GetNumberOfChunks();
    } catch (const MP4Error&) {
      continue;
    }
    for (uint32_t c = 1; c <= chunks; c++) {
      uint64_t offset = 0;
      uint32_t size = 0;
      try {
        offset = track->GetChunkOffset(c);
        size = offset < end && !cut ? 0 : track->GetChunkSize(c);
      } catch (const MP4Error&) {
        break;
      }
      if (offset > end || size > end - offset)
        throw MP4Error("the file is cut short: chunk %u of track %u (%u bytes at %llu) runs past its end at %llu",
                       "MP4Modify", c, track->GetId(), size, static_cast<unsigned long long>(offset),
                       static_cast<unsigned long long>(end));
    }
  }

  // Nothing has been written so far; from here on every write over the
  // file's bytes keeps them, and a failure puts them back.
  m_modifying = true;
  if (resize) {
    uint8_t size[8];
    for (int i = 0; i < 8; i++) size[i] = static_cast<uint8_t>(realSize >> (56 - 8 * i));
    WriteAt(sizeAt, largeSize ? size : size + 4, largeSize ? 8 : 4);
  }
  m_appendAt = end;
  if (end - junk < 8) {
    // Too short for a box header: the first thing written goes over it.
    m_appendAt = junk;
  } else if (junk < end) {
    // Marked as the free space it is, which a new movie may fill.
    const uint64_t length = end - junk;
    uint8_t header[16];
    if (length <= UINT32_MAX) {
      PutHeader(header, static_cast<uint32_t>(length), "free");
      WriteAt(junk, header, 8);
    } else {
      PutHeader(header, 1, "free");
      for (int i = 0; i < 8; i++) header[8 + i] = static_cast<uint8_t>(length >> (56 - 8 * i));
      WriteAt(junk, header, 16);
    }
    while (m_pRootAtom->GetNumberOfChildAtoms() > kept)
      m_pRootAtom->DeleteChildAtom(m_pRootAtom->GetChildAtom(m_pRootAtom->GetNumberOfChildAtoms() - 1));
    std::unique_ptr<MP4Atom> free(MP4Atom::CreateAtom("free"));
    free->SetFile(this);
    free->SetParentAtom(m_pRootAtom);
    free->SetStart(junk);
    free->SetEnd(end);
    m_pRootAtom->AddChildAtom(free.release());
  }
}

void MP4File::BeginMediaData() {
  if (!m_modifying) {
    // A new file: its samples are appended one chunk after another.
    if (m_mode == 'w' && !m_memoryBuffer) CheckNotCut("MP4WriteSample");
    return;
  }
  // Samples appended to a file cut meanwhile would leave a hole before them.
  if (m_mediaOpen) {
    CheckNotCut("MP4WriteSample");
    return;
  }
  CheckMediaHeld(0, "MP4WriteSample");
  // Size 0 ("to the end of the file") until Close writes the real one:
  // whatever is written after it meanwhile is inside it.
  m_mediaLarge = Use64Bits("mdat");
  uint8_t header[16] = {};
  PutHeader(header, m_mediaLarge ? 1 : 0, "mdat");
  WriteAt(m_appendAt, header, m_mediaLarge ? 16 : 8);
  m_mediaOpen = true;
}

void MP4File::CheckNotCut(const char* where) {
  if (m_cutSeen) ThrowCut(where);
  // Everything appended so far ends at the position: a file shorter than
  // that was cut meanwhile (by another process), and bytes written now
  // would leave a hole of zeros before them.
  const uint64_t at = GetPosition(), length = m_virtual_IO->GetFileLength(m_pFile);
  if (length < at)
    throw MP4Error("the file was cut to %llu bytes while it was open; its samples run to %llu", where,
                   static_cast<unsigned long long>(length), static_cast<unsigned long long>(at));
}

void MP4File::CheckWritten(uint64_t pos, const uint8_t* pBytes, uint32_t numBytes) {
  const uint64_t before = m_writtenNonZero;
  if (pos + numBytes > m_writtenEnd) m_writtenEnd = pos + numBytes;
  for (uint32_t i = numBytes; i > 0; i--)
    if (pBytes[i - 1]) {
      if (pos + i > m_writtenNonZero) m_writtenNonZero = pos + i;
      break;
    }
  const uint64_t length = m_virtual_IO->GetFileLength(m_pFile);
  if (length < m_writtenEnd) {
    m_cutSeen = true;
    m_cutLength = length;
    m_cutEnd = m_writtenEnd;
    ThrowCut(m_writeCall);
  }
  // This write itself may have put the byte back; it cannot have lost
  // more than the length shows (it appends, or goes over bytes before
  // the last non-zero one).
  if (before == 0 || (before - 1 >= pos && before - 1 < pos + numBytes)) return;
  uint8_t b = 0;
  const int64_t n = FILE_ReadBack(m_pFile, before - 1, &b, 1);
  if (n < 0) throw MP4Error(errno, "reading back what was written", m_writeCall);
  if (n == 1 && b != 0) return;
  m_cutSeen = true;
  m_cutLength = length;
  m_cutByte = before - 1;
  m_cutEnd = m_writtenEnd;
  ThrowCut(m_writeCall);
}

void MP4File::ThrowCut(const char* where) {
  const unsigned long long end = m_cutEnd;
  // What was written runs past the samples once the movie is.
  const char* what = m_cutEnd > m_samplesEnd ? "its samples and movie" : "its samples";
  if (m_cutByte == UINT64_MAX)
    throw MP4Error("the file was cut to %llu bytes while it was open; %s run to %llu", where,
                   static_cast<unsigned long long>(m_cutLength), what, end);
  throw MP4Error("the file was cut while a write to it was under way: byte %llu of what was written before "
                 "reads as zero; %s run to %llu",
                 where, static_cast<unsigned long long>(m_cutByte), what, end);
}

void MP4File::WriteAt(uint64_t pos, const uint8_t* pBytes, uint32_t numBytes) {
  SetPosition(pos);
  WriteBytes(pBytes, numBytes);
}

void MP4File::FlushWrites() {
  // A seek hands a stream's buffered writes to the system and reports
  // their failure.
  SetPosition(GetPosition());
}

void MP4File::KeepOverwritten(uint32_t numBytes) {
  const uint64_t pos = GetPosition();
  if (pos >= m_orgFileSize || numBytes == 0) return;
  const uint64_t n = numBytes < m_orgFileSize - pos ? numBytes : m_orgFileSize - pos;
  std::vector<uint8_t> old(n);
  SetPosition(pos);
  ReadBytes(old.data(), static_cast<uint32_t>(n));
  SetPosition(pos);
  m_overwritten.emplace_back(pos, std::move(old));
}

void MP4File::Rollback() {
  if (!m_modifying) return;
  m_modifying = false;
  // A movie or box half made in memory when the failure came: the file's
  // own bytes are written again below, not into that buffer.
  if (m_memoryBuffer) {
    const bool owned = m_memoryBufferOwned;
    uint8_t* buffer = nullptr;
    DisableMemoryBuffer(&buffer);
    if (owned) MP4Free(buffer);
  }
  if (!m_pFile) return;
  // Buffered writes of the failed attempt go; the file is cut back to its
  // length, then what was written over is put back, last write first.
  // A file cut shorter meanwhile (by another process) is not made long
  // again: only what lies within it is put back.
  uint64_t length = m_orgFileSize;
  try {
    length = std::min(length, m_virtual_IO->GetFileLength(m_pFile));
  } catch (...) {
  }
  if (m_virtual_IO == &FILE_virtual_IO) FILE_Truncate(m_pFile, length);
  if (m_virtual_IO == &FILE_update_virtual_IO) FILE_TruncateUpdated(m_pFile, length);
  for (auto it = m_overwritten.rbegin(); it != m_overwritten.rend(); ++it) {
    if (it->first >= length) continue;
    const uint64_t n = std::min<uint64_t>(it->second.size(), length - it->first);
    try {
      WriteAt(it->first, it->second.data(), static_cast<uint32_t>(n));
    } catch (...) {
    }
  }
  m_overwritten.clear();
  try {
    FlushWrites();
  } catch (...) {
  }
}

std::vector<uint8_t> MP4File::AtomInMemory(MP4Atom* atom) {
  const uint64_t start = atom->GetStart(), end = atom->GetEnd(), size = atom->GetSize();
  const auto restore = [&] {
    atom->SetStart(start);
    atom->SetEnd(end);
    atom->SetSize(size);
  };
  std::vector<uint8_t> out;
  try {
    out = InMemory([&] { atom->Write(); });
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return out;
}

void MP4File::CheckMediaHeld(uint64_t mediaEnd, const char* where) {
  uint64_t end = 0;
  for (uint32_t t = 0; t < m_pTracks.Size(); t++) {
    MP4Track* track = m_pTracks[t];
    if (!SelfContained(*track)) continue;
    try {
      const uint32_t chunks = track->GetNumberOfChunks();
      uint32_t last = 0;
      uint64_t lastOffset = 0;
      for (uint32_t c = 1; c <= chunks; c++) {
        const uint64_t offset = track->GetChunkOffset(c);
        if (last == 0 || offset >= lastOffset) {
          last = c;
          lastOffset = offset;
        }
      }
      if (last) {
        const uint64_t size = track->GetChunkSize(last);
        end = std::max(end, lastOffset > UINT64_MAX - size ? UINT64_MAX : lastOffset + size);
      }
    } catch (const MP4Error&) {
    }
  }
  // Samples past the end of the file as opened were never held: only what
  // it held, and what was appended since, must still be there.
  end = std::max(std::min(end, m_orgFileSize), m_mediaOpen ? mediaEnd : 0);
  FlushWrites();
  const uint64_t length = m_virtual_IO->GetFileLength(m_pFile);
  if (length < end)
    throw MP4Error("the file was cut to %llu bytes while it was open; its samples run to %llu", where,
                   static_cast<unsigned long long>(length), static_cast<unsigned long long>(end));
}

void MP4File::FinishModify() {
  MP4Atom* moov = FindAtom("moov");
  MP4_ASSERT_AS(moov, "(pMoovAtom)");
  const uint64_t oldStart = moov->GetStart();
  const uint64_t mediaEnd = m_mediaOpen ? GetPosition() : m_appendAt;

  // The new movie, made in memory: its size decides where it goes, and it
  // is written there as free space, its type changed only at the end.
  // The tree keeps describing the file: the old movie's place.
  std::vector<uint8_t> movie = AtomInMemory(moov);
  MP4_ASSERT(movie.size() >= 8 && movie.size() <= UINT32_MAX);
  CheckMediaHeld(mediaEnd, "MP4Close");
  // Later movies become the free space they are taken for, before anything
  // else is written: the file never holds more movies than it did.
  for (MP4Atom* stale : m_staleMovies) WriteAt(stale->GetStart() + 4, reinterpret_cast<const uint8_t*>("free"), 4);
  memcpy(movie.data() + 4, "free", 4);
  const uint32_t n = static_cast<uint32_t>(movie.size());

  // Free space that the movie fits exactly, or with room for the header of
  // free space after it: runs of whole free boxes before the new data,
  // holding no chunk, outside the place the file type box may fill. The
  // run that ends where the new data starts may grow past the end of the
  // file when no media data was written.
  uint64_t ftypEnd = 0;
  if (m_rewriteFtyp) {
    uint64_t ftypStart = 0;
    FindFtypRoom(m_pRootAtom->FindChildAtom("ftyp"), true, &ftypStart, &ftypEnd);
  }
  const std::vector<uint64_t> starts = ChunkStarts();
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  for (uint32_t i = 0; i < m_pRootAtom->GetNumberOfChildAtoms(); i++) {
    MP4Atom* a = m_pRootAtom->GetChildAtom(i);
    const uint64_t start = a->GetStart(), end = a->GetEnd();
    const bool stale = std::find(m_staleMovies.begin(), m_staleMovies.end(), a) != m_staleMovies.end();
    if (!(IsFreeSpace(a) || stale) || end <= start || end > m_appendAt || start < ftypEnd || end - start > UINT32_MAX - 16) {
      runs.emplace_back(0, 0);
      continue;
    }
    if (!runs.empty() && runs.back().second == start && end - runs.back().first <= UINT32_MAX - 16)
      runs.back().second = end;
    else
      runs.emplace_back(start, end);
  }
  uint64_t place = mediaEnd;
  for (const auto& run : runs) {
    const uint64_t a = run.first, b = run.second;
    if (b - a < 8 || HoldsChunk(starts, a, b)) continue;
    uint8_t header[8];
    if (!m_mediaOpen && b == m_appendAt) {
      // To the end of the file while it is written: all of it free space.
      const uint64_t room = m_orgFileSize - a;
      PutHeader(header, 0, "free");
      WriteAt(a, header, 8);
      if (n < room && room - n < 8) {
        place = m_orgFileSize;
        WriteAt(place, movie.data(), n);
        PutHeader(header, static_cast<uint32_t>(room), "free");
        WriteAt(a, header, 8);
        break;
      }
      if (n < room) {
        PutHeader(header, static_cast<uint32_t>(room - n), "free");
        WriteAt(a + n, header, 8);
      }
    } else {
      if (n != b - a && n + 8 > b - a) continue;
      // One free box over the run first; the movie and the rest inside it.
      PutHeader(header, static_cast<uint32_t>(b - a), "free");
      WriteAt(a, header, 8);
      if (n < b - a) {
        PutHeader(header, static_cast<uint32_t>(b - a - n), "free");
        WriteAt(a + n, header, 8);
      }
    }
    WriteAt(a + 8, movie.data() + 8, n - 8);
    WriteAt(a, movie.data(), 8);
    place = a;
    break;
  }
  if (place == mediaEnd) WriteAt(place, movie.data(), n);

  // The media data closed over the samples: the new movie is no longer
  // inside it.
  if (m_mediaOpen) {
    const uint64_t size = mediaEnd - m_appendAt;
    uint8_t field[8];
    for (int i = 0; i < 8; i++) field[i] = static_cast<uint8_t>(size >> (56 - 8 * i));
    if (m_mediaLarge) {
      WriteAt(m_appendAt + 8, field, 8);
    } else {
      MP4_ASSERT_AS(size <= 0xFFFFFFFFull, "(m_size <= (u_int64_t)0xFFFFFFFF)");
      WriteAt(m_appendAt, field + 4, 4);
    }
  }
  FlushWrites();

  // Whole and in place: the new movie becomes the movie (for a moment the
  // file holds two whole ones, and readers take the first), then the old
  // one becomes free space.
  WriteAt(place + 4, reinterpret_cast<const uint8_t*>("moov"), 4);
  WriteAt(oldStart + 4, reinterpret_cast<const uint8_t*>("free"), 4);
  if (m_rewriteFtyp) {
    MP4Atom* ftyp = m_pRootAtom->FindChildAtom("ftyp");
    uint64_t start = 0, end = 0;
    FindFtypRoom(ftyp, true, &start, &end);
    WriteFtypOver(ftyp, start, end);
  }
  FlushWrites();
  m_modifying = false;
  m_overwritten.clear();
}

// The samples of a fragmented file are described in its movie fragments,
// which are neither updated nor copied: a new movie would describe none of
// them, or sit after fragments that name its tracks.
void MP4File::RefuseFragments(const char* where) {
  bool fragmented = FindAtom("moof") != nullptr;
  // A movie extends box alone only announces fragments: a movie that lists
  // its samples is whole without them. One that lists none has them
  // elsewhere.
  if (!fragmented && FindAtom("moov.mvex")) {
    fragmented = true;
    for (uint32_t t = 0; t < m_pTracks.Size() && fragmented; t++) fragmented = m_pTracks[t]->GetNumberOfSamples() == 0;
  }
  if (fragmented) throw MP4Error("fragmented files cannot be rewritten", where);
}

const char* MP4File::TempFileName() {
  const char* name = m_fileName ? m_fileName : "";
  const char* slash = strrchr(name, '/');
  const std::string folder = slash ? std::string(name, slash - name + 1) : std::string();
  const std::string pattern = folder + ".mp4-optimize-XXXXXX";
  if (pattern.size() >= sizeof m_tempFileName) throw MP4Error(ENAMETOOLONG, "TempFileName");
  memcpy(m_tempFileName, pattern.c_str(), pattern.size() + 1);
  const int fd = mkstemp(m_tempFileName);
  if (fd < 0) throw MP4Error(errno, "failed", "TempFileName");
  close(fd);
  return m_tempFileName;
}

namespace {

// Two names of one file (a link, "./a" and "a") are one file.
bool SameFile(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

void MP4File::Optimize(const char* sourceName, const char* targetName) {
  Attach(sourceName, 'r');
  Open("rb");
  ReadFromFile();
  CacheProperties();
  RefuseFragments("MP4Optimize");

  // Writing over the source would lose the chunks still to be copied.
  const bool replace = !targetName || SameFile(sourceName, targetName);
  // Replaced in place, a name that is a link stays one: the file it names
  // is the one replaced, through a temporary file in that file's folder.
  if (replace) {
    char* real = realpath(sourceName, nullptr);
    if (real) {
      try {
        Attach(real, 'r');
      } catch (...) {
        free(real);
        throw;
      }
      free(real);
    }
  }
  const std::string source = m_fileName;
  const std::string target = replace ? TempFileName() : targetName;
  // The file that takes the source's place keeps its permissions.
  struct stat st;
  if (replace && stat(source.c_str(), &st) == 0) chmod(target.c_str(), st.st_mode & 07777);
  void* sourceHandle = m_pFile;
  Virtual_IO* sourceIO = m_virtual_IO;
  m_pFile = nullptr;
  try {
    Attach(target.c_str(), 'w');
    Open("wb");
    WriteOptimized(sourceHandle, sourceIO);
    void* handle = m_pFile;
    m_pFile = nullptr;
    errno = 0;
    if (m_virtual_IO->Close(handle) != 0) throw MP4Error(errno, "closing the file failed", "MP4Optimize");
  } catch (...) {
    if (m_pFile) {
      m_virtual_IO->Close(m_pFile);
      m_pFile = nullptr;
    }
    sourceIO->Close(sourceHandle);
    // A target that holds no whole file is no output.
    remove(target.c_str());
    throw;
  }
  sourceIO->Close(sourceHandle);
  if (replace) {
    try {
      Rename(target.c_str(), source.c_str());
    } catch (...) {
      remove(target.c_str());
      throw;
    }
  }
}

void MP4File::WriteOptimized(void* sourceHandle, Virtual_IO* sourceIO) {
  SetIntegerProperty("moov.mvhd.modificationTime", MP4GetAbsTimestamp());
  // The movie is written first with the old offsets and again in place
  // with the new ones: when the copy may reach past 4 GiB, the offsets are
  // made 64-bit before its size is fixed, and the media data gets the
  // 64-bit header.
  uint64_t bound = 16;
  for (uint32_t i = 0; i < m_pRootAtom->GetNumberOfChildAtoms(); i++) {
    MP4Atom* a = m_pRootAtom->GetChildAtom(i);
    if (!strcmp(a->GetType(), "ftyp") || !strcmp(a->GetType(), "moov") || MP4RootAtom::IsCopiedByOptimize(a))
      bound += a->GetEnd() - a->GetStart();
  }
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) {
    const uint64_t total = m_pTracks[i]->GetTotalOfSampleSizes();
    bound += total + 4ull * m_pTracks[i]->GetNumberOfChunks();
  }
  if (bound > UINT32_MAX) {
    for (uint32_t i = 0; i < m_pTracks.Size(); i++) m_pTracks[i]->UseCo64ChunkOffsets();
    m_createFlags |= 1;
  }
  MP4RootAtom* root = static_cast<MP4RootAtom*>(m_pRootAtom);
  // Made in memory and written in one write; the target is empty, so
  // positions in memory are its own. The movie's place is free space of
  // zeros until the movie is written there with the places of the chunks:
  // a copy stopped before then holds no movie that points at bytes not
  // copied, not even one inside free space, where some readers look.
  std::vector<uint8_t> head = InMemory([&] { root->BeginOptimalWrite(); });
  MP4Atom* moov = root->FindChildAtom("moov");
  MP4_ASSERT(moov && moov->GetStart() + 8 <= moov->GetEnd() && moov->GetEnd() <= head.size() &&
             head.size() <= UINT32_MAX);
  memcpy(head.data() + moov->GetStart() + 4, "free", 4);
  memset(head.data() + moov->GetStart() + 8, 0, moov->GetEnd() - moov->GetStart() - 8);
  WriteAt(0, head.data(), static_cast<uint32_t>(head.size()));
  RewriteMdat(sourceHandle, sourceIO);
  root->FinishOptimalWrite();
}

namespace {

// The bytes of chunks an optimised copy writes at once: a few hundred
// writes for a file of a gigabyte.
constexpr uint32_t kCopyBatch = 4u << 20;

}  // namespace

void MP4File::RewriteMdat(void* sourceHandle, Virtual_IO* sourceIO) {
  const uint32_t n = m_pTracks.Size();
  std::vector<uint32_t> nextChunk(n, 1), chunks(n);
  std::vector<uint64_t> nextTime(n, UINT64_MAX);
  for (uint32_t i = 0; i < n; i++) chunks[i] = m_pTracks[i]->GetNumberOfChunks();
  void* targetHandle = m_pFile;
  Virtual_IO* targetIO = m_virtual_IO;
  const uint64_t sourceSize = sourceIO->GetFileLength(sourceHandle);
  // Chunks lie apart in the source, so the copy holds at most its bytes:
  // tables that give the same bytes again and again are refused before
  // the copy grows past that. Never above sourceSize.
  uint64_t copied = 0;
  // Every way out leaves the target as the file's handle.
  struct Target {
    MP4File* file;
    void* handle;
    Virtual_IO* io;
    ~Target() {
      file->m_mode = 'w';
      file->m_pFile = handle;
      file->m_virtual_IO = io;
    }
  } restore{this, targetHandle, targetIO};
  // Chunks follow one another in the target: they are gathered and written
  // a batch at a time, each chunk's offset set to its place in the batch.
  // A failure fails the whole copy, which leaves no target.
  std::vector<uint8_t> batch;
  uint64_t batchAt = GetPosition();
  const auto flush = [&] {
    if (batch.empty()) return;
    WriteAt(batchAt, batch.data(), static_cast<uint32_t>(batch.size()));
    batchAt += batch.size();
    batch.clear();
  };
  for (;;) {
    uint32_t chosen = n;
    uint64_t chosenTime = UINT64_MAX;
    for (uint32_t i = 0; i < n; i++) {
      if (nextChunk[i] > chunks[i]) continue;
      if (nextTime[i] == UINT64_MAX)
        nextTime[i] = MP4ConvertTime(m_pTracks[i]->GetChunkTime(nextChunk[i]), m_pTracks[i]->GetTimeScale(),
                                     GetTimeScale());
      // Equal times: a hint track goes after what it describes.
      if (chosen == n || nextTime[i] < chosenTime ||
          (nextTime[i] == chosenTime && !strcmp(m_pTracks[i]->GetType(), "hint"))) {
        chosen = i;
        chosenTime = nextTime[i];
      }
    }
    if (chosen == n) {
      flush();
      return;
    }
    m_mode = 'r';
    m_pFile = sourceHandle;
    m_virtual_IO = sourceIO;
    m_fileSize = sourceSize;
    uint8_t* chunk = nullptr;
    uint32_t size = 0;
    m_pTracks[chosen]->ReadChunk(nextChunk[chosen], &chunk, &size);
    m_mode = 'w';
    m_pFile = targetHandle;
    m_virtual_IO = targetIO;
    if (size > sourceSize - copied) {
      MP4Free(chunk);
      throw MP4Error("the chunks hold more bytes than the file's %llu", "MP4Optimize",
                     static_cast<unsigned long long>(sourceSize));
    }
    copied += size;
    try {
      if (batch.size() + size > kCopyBatch) flush();
      m_pTracks[chosen]->MoveChunk(nextChunk[chosen], batchAt + batch.size());
      if (size >= kCopyBatch) {
        WriteAt(batchAt, chunk, size);
        batchAt += size;
      } else {
        batch.insert(batch.end(), chunk, chunk + size);
      }
    } catch (...) {
      MP4Free(chunk);
      throw;
    }
    MP4Free(chunk);
    nextChunk[chosen]++;
    nextTime[chosen] = UINT64_MAX;
  }
}

void MP4File::FinishWrite() {
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) {
    MP4_ASSERT_AS(m_pTracks[i], "(m_pTracks[i])");
    m_pTracks[i]->FinishWrite();
  }
  if (m_modifying) {
    FinishModify();
    return;
  }
  // A new file: nothing but its header and samples is written yet. A movie
  // written after a file cut meanwhile would list the lost bytes.
  CheckNotCut("MP4Close");
  const uint64_t mediaEnd = GetPosition();
  m_samplesEnd = mediaEnd;
  m_writeCall = "MP4Close";
  try {
    m_pRootAtom->FinishWrite(false);
    // A write that failed part of the way may have left bytes past the
    // end of what the file holds now.
    if (m_virtual_IO == &FILE_update_virtual_IO) {
      const uint64_t end = GetPosition();
      if (m_virtual_IO->GetFileLength(m_pFile) > end && FILE_TruncateUpdated(m_pFile, end) != 0)
        throw MP4Error(errno, "failed to cut the file to its end", "MP4Close");
    }
    // A cut after the movie's last write: nothing is written after it to
    // show it, so the file is looked at once more.
    if (m_watchCuts) CheckWritten(GetPosition(), nullptr, 0);
  } catch (...) {
    // A movie written in part (the disk full inside it), or over a file
    // cut meanwhile, is no movie: the file is cut back to the end of its
    // samples, which needs no space.
    if (m_virtual_IO == &FILE_update_virtual_IO) {
      try {
        if (m_virtual_IO->GetFileLength(m_pFile) > mediaEnd) FILE_TruncateUpdated(m_pFile, mediaEnd);
      } catch (...) {
      }
    }
    throw;
  }
}

void MP4File::MakeFtypAtom(const char* majorBrand, uint32_t minorVersion, char** compatibleBrands,
                           uint32_t compatibleBrandsCount) {
  MP4Atom* ftyp = m_pRootAtom->FindChildAtom("ftyp");
  if (!ftyp) ftyp = InsertChildAtom(m_pRootAtom, "ftyp", 0);
  if (!majorBrand) return;
  MP4Property* major = nullptr;
  MP4Property* minor = nullptr;
  MP4Property* count = nullptr;
  MP4Property* brand = nullptr;
  if (!ftyp->FindProperty("ftyp.majorBrand", &major) || major->GetType() != StringProperty) return;
  static_cast<MP4StringProperty*>(major)->SetValue(majorBrand);
  if (!ftyp->FindProperty("ftyp.minorVersion", &minor) || minor->GetType() > Integer64Property) return;
  static_cast<MP4IntegerProperty*>(minor)->SetValue(minorVersion);
  if (!ftyp->FindProperty("ftyp.compatibleBrandsCount", &count) || count->GetType() > Integer64Property) return;
  MP4_ASSERT_AS(ftyp->FindProperty("ftyp.compatibleBrands.brand", &brand) && brand->GetType() == StringProperty,
                "(pBrandProperty)");
  MP4StringProperty* brands = static_cast<MP4StringProperty*>(brand);
  if (compatibleBrandsCount && !compatibleBrands) throw MP4Error("Invalid parameters", "MakeFtypAtom");
  brands->SetCount(compatibleBrandsCount);
  for (uint32_t i = 0; i < compatibleBrandsCount; i++) brands->SetValue(compatibleBrands[i], i);
  static_cast<MP4IntegerProperty*>(count)->ForceValue(compatibleBrandsCount);
}

// ---------------------------------------------------------------- adding tracks

uint32_t MP4File::AllocTrackId() {
  const uint64_t next = GetIntegerProperty("moov.mvhd.nextTrackId");
  bool used = false;
  for (uint32_t i = 0; i < m_trakIds.Size(); i++) used = used || m_trakIds[i] == next;
  if (next >= 1 && next <= 0xFFFF && !used) {
    SetIntegerProperty("moov.mvhd.nextTrackId", next + 1);
    return static_cast<uint32_t>(next);
  }
  for (uint32_t id = 1; id <= 0xFFFF; id++) {
    bool taken = false;
    for (uint32_t i = 0; i < m_trakIds.Size() && !taken; i++) taken = m_trakIds[i] == id;
    if (!taken) return id;
  }
  throw MP4Error("too many existing tracks", "AddTrack");
}

template <typename F>
uint32_t MP4File::AddTrackOrNothing(F add) {
  ProtectWriteOperation("AddTrack");
  MP4Atom* moov = FindAtom("moov");
  MP4_ASSERT_AS(moov, "(pMoovAtom)");
  const uint32_t children = moov->GetNumberOfChildAtoms();
  const uint32_t trakIds = m_trakIds.Size(), tracks = m_pTracks.Size();
  const uint64_t nextTrackId = GetIntegerProperty("moov.mvhd.nextTrackId");
  const uint32_t odTrackId = m_odTrackId;
  uint32_t id = 0;
  try {
    return add(id);
  } catch (...) {
    // Undone in reverse; the undoing itself must not hide the first error.
    try {
      if (id) {
        RemoveTrackFromIod(id);
        RemoveTrackFromOd(id);
      }
    } catch (...) {
    }
    m_odTrackId = odTrackId;
    while (m_pTracks.Size() > tracks) {
      delete m_pTracks[m_pTracks.Size() - 1];
      m_pTracks.Delete(m_pTracks.Size() - 1);
    }
    while (m_trakIds.Size() > trakIds) m_trakIds.Delete(m_trakIds.Size() - 1);
    while (moov->GetNumberOfChildAtoms() > children)
      moov->DeleteChildAtom(moov->GetChildAtom(moov->GetNumberOfChildAtoms() - 1));
    try {
      SetIntegerProperty("moov.mvhd.nextTrackId", nextTrackId);
    } catch (...) {
    }
    throw;
  }
}

namespace {

// An integer field below an atom; the assertion text names it when absent.
MP4IntegerProperty* IntegerBelow(MP4Atom* pAtom, const char* path, const char* assertText) {
  MP4Property* p = nullptr;
  if (!pAtom->FindProperty(path, &p) || !p || p->GetType() > Integer64Property)
    throw MP4Error("assert failure", assertText);
  return static_cast<MP4IntegerProperty*>(p);
}

}  // namespace

uint32_t MP4File::AddTrack(const char* type, uint32_t timeScale) {
  return AddTrackOrNothing([&](uint32_t& id) {
    MP4Atom* trak = AddChildAtom("moov", "trak");
    id = AllocTrackId();
    m_trakIds.Add(id);
    IntegerBelow(trak, "trak.tkhd.trackId", "(pInteger32Property)")->SetValue(id);
    const char* normalized = MP4NormalizeTrackType(type, m_verbosity);
    if (normalized && strlen(normalized) > 4 && (m_verbosity & MP4_VERB_WARNINGS))
      zprintf("AddTrack: type truncated to four characters\n");
    MP4Property* handler = nullptr;
    MP4_ASSERT_AS(trak->FindProperty("trak.mdia.hdlr.handlerType", &handler) && handler->GetType() == StringProperty,
                  "(pStringProperty)");
    static_cast<MP4StringProperty*>(handler)->SetValue(normalized);
    IntegerBelow(trak, "trak.mdia.mdhd.timeScale", "(pInteger32Property)")->SetValue(timeScale ? timeScale : 1000);
    MP4AddOwned(m_pTracks, MakeTrack(*trak));
    if (!normalized || strcmp(normalized, "hint") != 0) SetTrackIntegerProperty(id, "tkhd.flags", 1);
    AddDataReference(id, nullptr);
    return id;
  });
}

MP4Atom* MP4File::AddSampleEntry(uint32_t trackId, const char* mediaHeader, const char* entryType) {
  if (mediaHeader) InsertChildAtom(MakeTrackName(trackId, "mdia.minf"), mediaHeader, 0);
  MP4Atom* entry = AddChildAtom(MakeTrackName(trackId, "mdia.minf.stbl.stsd"), entryType);
  MP4Atom* stsd = entry->GetParentAtom();
  stsd->GetIntegerField("entryCount")->ForceValue(stsd->GetIntegerField("entryCount")->GetValue() + 1);
  return entry;
}

// A sound track's common part: the OD track's reference, full volume, the
// sound media header and the entry.
uint32_t MP4File::AddSoundTrack(uint32_t timeScale, const char* entryType) {
  const uint32_t id = AddTrack(MP4_AUDIO_TRACK_TYPE, timeScale);
  AddTrackToOd(id);
  SetTrackFloatProperty(id, "tkhd.volume", 1.0f);
  AddSampleEntry(id, "smhd", entryType);
  return id;
}

void MP4File::SetESDescriptor(uint32_t trackId, const char* entryType, uint8_t objectTypeId, uint8_t streamType) {
  char path[96];
  const struct {
    const char* field;
    uint8_t value;
  } kFields[] = {{"ESID", 0}, {"decConfigDescr.objectTypeId", objectTypeId}, {"decConfigDescr.streamType", streamType}};
  for (const auto& f : kFields) {
    snprintf(path, sizeof path, "mdia.minf.stbl.stsd.%s.esds.%s", entryType, f.field);
    SetTrackIntegerProperty(trackId, path, f.value);
  }
}

namespace {

// ISO/IEC 14496-1 stream types of the systems tracks.
uint8_t ConvertTrackTypeToStreamType(const char* type) {
  static const struct {
    const char* type;
    uint8_t streamType;
  } kTypes[] = {{"odsm", 1}, {"crsm", 2}, {"sdsm", 3}, {"m7sm", 6}, {"ipsm", 7}, {"ocsm", 8}, {"mjsm", 9}};
  for (const auto& t : kTypes)
    if (type && !strcmp(type, t.type)) return t.streamType;
  return 0x20;
}

uint32_t FourCC(const char* s) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = v << 8 | static_cast<uint8_t>(s && strlen(s) > size_t(i) ? s[i] : ' ');
  return v;
}

}  // namespace

uint32_t MP4File::AddSystemsTrack(const char* type) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddTrack(type, 1000);
    AddSampleEntry(id, "nmhd", "mp4s");
    SetESDescriptor(id, "mp4s", 1, ConvertTrackTypeToStreamType(MP4NormalizeTrackType(type, m_verbosity)));
    return id;
  });
}

uint32_t MP4File::AddODTrack() {
  return AddTrackOrNothing([&](uint32_t& id) {
    if (m_odTrackId) throw MP4Error("object description track already exists", "AddObjectDescriptionTrack");
    id = AddSystemsTrack(MP4_OD_TRACK_TYPE);
    m_odTrackId = id;
    AddTrackToIod(id);
    AddDescendantAtoms(MakeTrackName(id, nullptr), "tref.mpod");
    return id;
  });
}

uint32_t MP4File::AddSceneTrack() {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddSystemsTrack(MP4_SCENE_TRACK_TYPE);
    AddTrackToIod(id);
    AddTrackToOd(id);
    return id;
  });
}

uint32_t MP4File::AddAudioTrack(uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddSoundTrack(timeScale, "mp4a");
    AddDescendantAtoms(MakeTrackName(id, nullptr), "udta.name");
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.mp4a.timeScale", timeScale);
    SetESDescriptor(id, "mp4a", audioType, 5);
    GetTrack(id)->SetFixedSampleDuration(sampleDuration);
    return id;
  });
}

uint32_t MP4File::AddAC3AudioTrack(uint32_t timeScale, uint64_t sampleDuration, uint8_t) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddSoundTrack(timeScale, "ac-3");
    AddDescendantAtoms(MakeTrackName(id, nullptr), "udta.name");
    GetTrack(id)->SetFixedSampleDuration(sampleDuration);
    return id;
  });
}

uint32_t MP4File::AddAmrAudioTrack(uint32_t timeScale, uint16_t modeSet, uint8_t modeChangePeriod,
                                   uint8_t framesPerSample, bool isAmrWB) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddSoundTrack(timeScale, isAmrWB ? "sawb" : "samr");
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.*.timeScale", timeScale);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.*.damr.modeSet", modeSet);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.*.damr.modeChangePeriod", modeChangePeriod);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.*.damr.framesPerSample", framesPerSample);
    // 20 ms frames.
    GetTrack(id)->SetFixedSampleDuration(uint64_t(timeScale) * 20 / 1000);
    return id;
  });
}

void MP4File::AddIsmaCrypAtoms(uint32_t trackId, const char* entryType, uint32_t dataFormat,
                               const MP4IsmaCrypParams& params) {
  char sinf[64];
  snprintf(sinf, sizeof sinf, "mdia.minf.stbl.stsd.%s.sinf", entryType);
  MP4Atom* sinfAtom = FindTrackAtom(trackId, sinf);
  MP4_ASSERT_AS(sinfAtom, "(pSinfAtom)");
  AddDescendantAtoms(sinfAtom, "schm");
  AddDescendantAtoms(sinfAtom, "schi.iKMS");
  AddDescendantAtoms(sinfAtom, "schi.iSFM");
  const struct {
    const char* field;
    uint64_t value;
  } kValues[] = {
      {"frma.data-format", dataFormat},
      {"schm.scheme_type", params.scheme_type},
      {"schm.scheme_version", params.scheme_version},
      {"schi.iSFM.selective-encryption", params.selective_enc},
      {"schi.iSFM.key-indicator-length", params.key_ind_len},
      {"schi.iSFM.IV-length", params.iv_len},
  };
  char path[128];
  for (const auto& v : kValues) {
    snprintf(path, sizeof path, "%s.%s", sinf, v.field);
    SetTrackIntegerProperty(trackId, path, static_cast<int64_t>(v.value));
  }
  snprintf(path, sizeof path, "%s.schi.iKMS.kms_URI", sinf);
  SetTrackStringProperty(trackId, path, params.kms_uri);
}

uint32_t MP4File::AddEncAudioTrack(uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType,
                                   uint32_t schemeType, uint16_t schemeVersion, uint8_t keyIndicatorLength,
                                   uint8_t ivLength, bool selectiveEncryption, const char* kmsUri,
                                   bool useIsmaCryp) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddSoundTrack(timeScale, "enca");
    if (useIsmaCryp) {
      const MP4IsmaCrypParams params = {schemeType, schemeVersion, keyIndicatorLength, ivLength,
                                        static_cast<uint8_t>(selectiveEncryption), kmsUri};
      AddIsmaCrypAtoms(id, "enca", FourCC("mp4a"), params);
    }
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.enca.timeScale", timeScale);
    SetESDescriptor(id, "enca", audioType, 5);
    GetTrack(id)->SetFixedSampleDuration(sampleDuration);
    return id;
  });
}

// The size goes to the track header and the entry; the fixed size of the
// sample-size table is the first sample's, not the duration's.
uint32_t MP4File::AddVideoTrackDefault(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                       const char* entryType) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddTrack(MP4_VIDEO_TRACK_TYPE, timeScale);
    AddTrackToOd(id);
    AddSampleEntry(id, "vmhd", entryType);
    SetTrackFloatProperty(id, "tkhd.width", width);
    SetTrackFloatProperty(id, "tkhd.height", height);
    GetTrack(id)->SetFixedSampleDuration(sampleDuration);
    char path[64];
    snprintf(path, sizeof path, "mdia.minf.stbl.stsd.%s.width", entryType);
    SetTrackIntegerProperty(id, path, width);
    snprintf(path, sizeof path, "mdia.minf.stbl.stsd.%s.height", entryType);
    SetTrackIntegerProperty(id, path, height);
    return id;
  });
}

uint32_t MP4File::AddMP4VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                   uint8_t videoType) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddVideoTrackDefault(timeScale, sampleDuration, width, height, "mp4v");
    SetESDescriptor(id, "mp4v", videoType, 4);
    return id;
  });
}

uint32_t MP4File::AddH264VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                    uint8_t AVCProfileIndication, uint8_t profile_compat, uint8_t AVCLevelIndication,
                                    uint8_t sampleLenFieldSizeMinusOne) {
  // Two bits hold it: 0, 1 and 3 are the lengths of 1, 2 and 4 bytes.
  if (sampleLenFieldSizeMinusOne > 3) throw MP4Error("invalid value", "AddH264VideoTrack");
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddVideoTrackDefault(timeScale, sampleDuration, width, height, "avc1");
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.avc1.avcC.AVCProfileIndication", AVCProfileIndication);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.avc1.avcC.profile_compatibility", profile_compat);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.avc1.avcC.AVCLevelIndication", AVCLevelIndication);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.avc1.avcC.lengthSizeMinusOne", sampleLenFieldSizeMinusOne);
    return id;
  });
}

uint32_t MP4File::AddH263VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                    uint8_t h263Level, uint8_t h263Profile, uint32_t avgBitrate, uint32_t maxBitrate) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddVideoTrackDefault(timeScale, sampleDuration, width, height, "s263");
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.s263.d263.h263Level", h263Level);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.s263.d263.h263Profile", h263Profile);
    AddChildAtom(MakeTrackName(id, "mdia.minf.stbl.stsd.s263.d263"), "bitr");
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.s263.d263.bitr.avgBitrate", avgBitrate);
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.s263.d263.bitr.maxBitrate", maxBitrate);
    return id;
  });
}

uint32_t MP4File::AddEncVideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                   uint8_t videoType, const MP4IsmaCrypParams* cryptParams, const char* dataFormat) {
  MP4_ASSERT(cryptParams);
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddVideoTrackDefault(timeScale, sampleDuration, width, height, "encv");
    AddIsmaCrypAtoms(id, "encv", FourCC(dataFormat), *cryptParams);
    SetESDescriptor(id, "encv", videoType, 4);
    return id;
  });
}

uint32_t MP4File::AddEncH264VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                                       uint16_t height, MP4Atom* sourceAvcC, const MP4IsmaCrypParams* cryptParams) {
  MP4_ASSERT(cryptParams);
  MP4_ASSERT_AS(sourceAvcC && !strcmp(sourceAvcC->GetType(), "avcC"), "(srcAtom)");
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddVideoTrackDefault(timeScale, sampleDuration, width, height, "encv");
    MP4Atom* avcC = AddChildAtom(MakeTrackName(id, "mdia.minf.stbl.stsd.encv"), "avcC");
    static_cast<MP4AvcCAtom*>(sourceAvcC)->Clone(static_cast<MP4AvcCAtom*>(avcC));
    AddIsmaCrypAtoms(id, "encv", FourCC("264b"), *cryptParams);
    return id;
  });
}

uint32_t MP4File::AddCntlTrackDefault(uint32_t timeScale, uint64_t sampleDuration, const char* entryType) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddTrack(MP4_CNTL_TRACK_TYPE, timeScale);
    AddSampleEntry(id, "nmhd", entryType);
    GetTrack(id)->SetFixedSampleDuration(sampleDuration);
    return id;
  });
}

uint32_t MP4File::AddHrefTrack(uint32_t timeScale, uint64_t sampleDuration, const char* baseUrl) {
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddCntlTrackDefault(timeScale, sampleDuration, "href");
    if (baseUrl) {
      AddDescendantAtoms(MakeTrackName(id, "mdia.minf.stbl.stsd.href"), "burl");
      SetTrackStringProperty(id, "mdia.minf.stbl.stsd.href.burl.base_url", baseUrl);
    }
    return id;
  });
}

uint32_t MP4File::AddTextTrack(uint32_t refTrackId) {
  const uint32_t timeScale = GetTrack(refTrackId)->GetTimeScale();
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddTrack("text", timeScale);
    AddSampleEntry(id, "gmhd", "text");
    return id;
  });
}

uint32_t MP4File::AddHintTrack(uint32_t refTrackId) {
  FindTrackIndex(refTrackId);
  const uint32_t timeScale = GetTrackTimeScale(refTrackId);
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddTrack("hint", timeScale);
    AddSampleEntry(id, "hmhd", "rtp ");
    SetTrackIntegerProperty(id, "mdia.minf.stbl.stsd.rtp .tims.timeScale", timeScale);
    AddDescendantAtoms(MakeTrackName(id, nullptr), "tref.hint");
    AddTrackReference(MakeTrackName(id, "tref.hint"), refTrackId);
    AddDescendantAtoms(MakeTrackName(id, nullptr), "udta.hnti.sdp ");
    AddDescendantAtoms(MakeTrackName(id, nullptr), "udta.hinf");
    return id;
  });
}

uint32_t MP4File::AddChapterTextTrack(uint32_t refTrackId, uint32_t timeScale) {
  if (timeScale == 0) timeScale = GetTrack(refTrackId)->GetTimeScale();
  return AddTrackOrNothing([&](uint32_t& id) {
    id = AddTrack("text", timeScale);
    AddSampleEntry(id, "gmhd", "text");
    AddChildAtom(MakeTrackName(id, "mdia.minf.gmhd"), "text");
    SetTrackIntegerProperty(id, "tkhd.flags", 0x0E);
    // Last: nothing after it can fail and leave the reference behind.
    AddDescendantAtoms(MakeTrackName(refTrackId, nullptr), "tref.chap");
    AddTrackReference(MakeTrackName(refTrackId, "tref.chap"), id);
    return id;
  });
}

void MP4File::DeleteTrack(uint32_t trackId) {
  ProtectWriteOperation("MP4DeleteTrack");
  const uint16_t trakIndex = FindTrakAtomIndex(trackId);
  const uint16_t trackIndex = FindTrackIndex(trackId);
  MP4Track* track = m_pTracks[trackIndex];
  MP4Atom* trak = &track->GetTrakAtom();
  MP4Atom* moov = FindAtom("moov");
  MP4_ASSERT_AS(moov, "(pMoovAtom)");
  RemoveTrackFromIod(trackId, ShallHaveIods());
  RemoveTrackFromOd(trackId);
  if (m_odTrackId == trackId) m_odTrackId = 0;
  // References to it from other tracks stay as they are: a reader passes
  // over a reference to a track that the file does not hold.
  moov->RemoveChildAtom(trak);
  m_trakIds.Delete(trakIndex);
  m_pTracks.Delete(trackIndex);
  delete track;
  delete trak;
}

// ---------------------------------------------------------------- object descriptors and references

void MP4File::AddTrackToIod(uint32_t trackId) {
  MP4Property* p = nullptr;
  MP4_ASSERT_AS(FindProperty("moov.iods.esIds", &p) && p && p->GetType() == DescriptorProperty,
                "(pDescriptorProperty)");
  MP4Descriptor* descriptor = static_cast<MP4DescriptorProperty*>(p)->AddDescriptor(0x0E);
  MP4_ASSERT_AS(descriptor, "(pDescriptor)");
  MP4Property* id = nullptr;
  uint32_t index = 0;
  MP4_ASSERT_AS(descriptor->FindContainedProperty("id", &id, &index) && id && id->GetType() <= Integer64Property,
                "(pIdProperty)");
  static_cast<MP4IntegerProperty*>(id)->SetValue(trackId);
}

void MP4File::RemoveTrackFromIod(uint32_t trackId, bool) {
  MP4Property* p = nullptr;
  if (!FindProperty("moov.iods.esIds", &p) || !p || p->GetType() != DescriptorProperty) return;
  MP4DescriptorProperty* ids = static_cast<MP4DescriptorProperty*>(p);
  for (uint32_t i = 0; i < ids->GetCount(); i++) {
    MP4Descriptor* d = ids->GetDescriptor(i);
    MP4Property* id = nullptr;
    uint32_t index = 0;
    if (!d || !d->FindContainedProperty("id", &id, &index) || !id || id->GetType() > Integer64Property) continue;
    if (static_cast<MP4IntegerProperty*>(id)->GetValue() != trackId) continue;
    ids->DeleteDescriptor(i);
    return;
  }
}

bool MP4File::ShallHaveIods() {
  static const char* const kBrandsWithIods[] = {"mp42", "isom"};
  MP4Atom* ftyp = m_pRootAtom->FindChildAtom("ftyp");
  if (!ftyp) return false;
  const auto withIods = [](const char* brand) {
    for (const char* b : kBrandsWithIods)
      if (brand && !strcasecmp(brand, b)) return true;
    return false;
  };
  MP4Property* major = nullptr;
  MP4_ASSERT_AS(ftyp->FindProperty("ftyp.majorBrand", &major) && major->GetType() == StringProperty,
                "(pMajorBrandProperty)");
  if (withIods(static_cast<MP4StringProperty*>(major)->GetValue())) return true;
  MP4Property* count = nullptr;
  MP4Property* brand = nullptr;
  MP4_ASSERT_AS(ftyp->FindProperty("ftyp.compatibleBrandsCount", &count) && count->GetType() <= Integer64Property,
                "(pCompatibleBrandsCountProperty)");
  MP4_ASSERT_AS(ftyp->FindProperty("ftyp.compatibleBrands.brand", &brand) && brand->GetType() == StringProperty,
                "(pBrandProperty)");
  const uint64_t n = static_cast<MP4IntegerProperty*>(count)->GetValue();
  MP4StringProperty* brands = static_cast<MP4StringProperty*>(brand);
  for (uint32_t i = 0; i < n && i < brands->GetCount(); i++)
    if (withIods(brands->GetValue(i))) return true;
  return false;
}

void MP4File::AddTrackToOd(uint32_t trackId) {
  if (m_odTrackId) AddTrackReference(MakeTrackName(m_odTrackId, "tref.mpod"), trackId);
}

void MP4File::RemoveTrackFromOd(uint32_t trackId) {
  if (m_odTrackId) RemoveTrackReference(MakeTrackName(m_odTrackId, "tref.mpod"), trackId);
}

void MP4File::GetTrackReferenceProperties(const char* trefName, MP4IntegerProperty** ppCountProperty,
                                          MP4IntegerProperty** ppTrackIdProperty) {
  char name[1024];
  MP4Property* count = nullptr;
  MP4Property* ids = nullptr;
  snprintf(name, sizeof name, "%s.%s", trefName, "entryCount");
  MP4_ASSERT_AS(FindProperty(name, &count) && count && count->GetType() <= Integer64Property, "(*ppCountProperty)");
  snprintf(name, sizeof name, "%s.%s", trefName, "entries.trackId");
  MP4_ASSERT_AS(FindProperty(name, &ids) && ids && ids->GetType() <= Integer64Property, "(*ppTrackIdProperty)");
  *ppCountProperty = static_cast<MP4IntegerProperty*>(count);
  *ppTrackIdProperty = static_cast<MP4IntegerProperty*>(ids);
}

void MP4File::AddTrackReference(const char* trefName, uint32_t refTrackId) {
  MP4IntegerProperty* count = nullptr;
  MP4IntegerProperty* ids = nullptr;
  GetTrackReferenceProperties(trefName, &count, &ids);
  ids->AddValue(refTrackId);
  count->ForceValue(count->GetValue() + 1);
}

void MP4File::RemoveTrackReference(const char* trefName, uint32_t refTrackId) {
  MP4IntegerProperty* count = nullptr;
  MP4IntegerProperty* ids = nullptr;
  GetTrackReferenceProperties(trefName, &count, &ids);
  // The row after a deleted one moves into its place and is looked at too.
  for (uint32_t i = 0; i < count->GetValue() && i < ids->GetCount();) {
    if (ids->GetValue(i) == refTrackId) {
      ids->DeleteValue(i);
      count->ForceValue(count->GetValue() - 1);
    } else {
      i++;
    }
  }
}

void MP4File::AddDataReference(uint32_t trackId, const char* url) {
  MP4Atom* dref = FindTrackAtom(trackId, "mdia.minf.dinf.dref");
  MP4_ASSERT_AS(dref, "(pDrefAtom)");
  MP4Property* count = nullptr;
  MP4_ASSERT_AS(dref->FindProperty("dref.entryCount", &count) && count->GetType() <= Integer64Property,
                "(pCountProperty)");
  MP4Atom* entry = AddChildAtom(dref, "url ");
  static_cast<MP4IntegerProperty*>(count)->ForceValue(static_cast<MP4IntegerProperty*>(count)->GetValue() + 1);
  if (url && *url) {
    entry->SetFlags(entry->GetFlags() & 0xFFFFFE);
    MP4Property* location = nullptr;
    MP4_ASSERT_AS(entry->FindProperty("*.location", &location) && location->GetType() == StringProperty,
                  "(pUrlProperty)");
    static_cast<MP4StringProperty*>(location)->SetValue(url);
  } else {
    entry->SetFlags(entry->GetFlags() | 1);
  }
}

// ---------------------------------------------------------------- decoder configurations

void MP4File::AddH264ParameterSet(uint32_t trackId, const uint8_t* pSet, uint16_t length, bool picture) {
  ProtectWriteOperation(picture ? "AddH264PictureParameterSet" : "AddH264SequenceParameterSet");
  MP4_ASSERT(pSet || length == 0);
  const char* path = AvcCPath(GetTrackMediaDataName(trackId));
  if (!path) return;
  MP4Atom* avcC = FindTrackAtom(trackId, path);
  MP4IntegerProperty* n = nullptr;
  MP4BytesProperty* sets = nullptr;
  MP4Property* lengths = nullptr;
  if (!avcC ||
      !FindParameterSets(avcC, picture ? "avcC.numOfPictureParameterSets" : "avcC.numOfSequenceParameterSets",
                         picture ? "avcC.pictureEntries.pictureParameterSetNALUnit"
                                 : "avcC.sequenceEntries.sequenceParameterSetNALUnit",
                         &n, &sets) ||
      !avcC->FindProperty(picture ? "avcC.pictureEntries.pictureParameterSetLength"
                                  : "avcC.sequenceEntries.sequenceParameterSetLength",
                          &lengths) ||
      lengths->GetType() > Integer64Property) {
    if (m_verbosity & MP4_VERB_ERRORS)
      MP4Warning(picture ? "\"Could not find avcC picture table properties\"" : "\"Could not find avcC properties\"",
                 "mp4file", picture ? 1948 : 1905);
    return;
  }
  MP4IntegerProperty* sizes = static_cast<MP4IntegerProperty*>(lengths);
  const uint64_t existing = n->GetValue();
  for (uint32_t i = 0; i < existing && i < sets->GetCount(); i++) {
    if (sets->GetValueSize(i) != length || (length && memcmp(sets->GetValuePointer(i), pSet, length) != 0))
      continue;
    if (picture && (m_verbosity & MP4_VERB_WRITE)) fprintf(stderr, "picture matches %d\n", static_cast<int>(i));
    return;
  }
  // The count field has 5 bits for sequence sets and 8 for picture sets.
  if (existing >= (picture ? 255u : 31u))
    throw MP4Error("avcC holds the most %s parameter sets there can be", "AddH264ParameterSet",
                   picture ? "picture" : "sequence");
  sizes->AddValue(length);
  sets->SetCount(static_cast<uint32_t>(existing) + 1);
  sets->SetValue(pSet, length, static_cast<uint32_t>(existing));
  n->ForceValue(existing + 1);
  if (picture && (m_verbosity & MP4_VERB_WRITE))
    fprintf(stderr, "new picture added %d\n", static_cast<int>(existing + 1));
}

void MP4File::AddH264SequenceParameterSet(uint32_t trackId, const uint8_t* pSequence, uint16_t sequenceLen) {
  AddH264ParameterSet(trackId, pSequence, sequenceLen, false);
}

// "encv" entries carry their picture sets where they carry the sequence
// sets.
void MP4File::AddH264PictureParameterSet(uint32_t trackId, const uint8_t* pPict, uint16_t pictLen) {
  AddH264ParameterSet(trackId, pPict, pictLen, true);
}

void MP4File::SetTrackESConfiguration(uint32_t trackId, const uint8_t* pConfig, uint32_t configSize) {
  ProtectWriteOperation("MP4SetTrackESConfiguration");
  MP4Property* p = nullptr;
  if (!FindProperty(MakeTrackName(trackId, "mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.decSpecificInfo"), &p) ||
      !p || p->GetType() != DescriptorProperty)
    throw MP4Error("no such property", "MP4SetTrackESConfiguration");
  MP4DescriptorProperty* info = static_cast<MP4DescriptorProperty*>(p);
  MP4Property* bytes = nullptr;
  uint32_t index = 0;
  if (!info->FindProperty("decSpecificInfo[0].info", &bytes, &index)) {
    info->AddDescriptor(0x05)->Generate();
    MP4_ASSERT_AS(info->FindProperty("decSpecificInfo[0].info", &bytes, &index), "(pInfoProperty)");
  }
  MP4_ASSERT_AS(bytes && bytes->GetType() == BytesProperty, "(pInfoProperty)");
  static_cast<MP4BytesProperty*>(bytes)->SetValue(pConfig, configSize);
}

void MP4File::SetTrackTimeScale(uint32_t trackId, uint32_t value) {
  if (value == 0) throw MP4Error("invalid value", "SetTrackTimeScale");
  SetTrackIntegerProperty(trackId, "mdia.mdhd.timeScale", value);
  // A chunk still holds one second of media.
  GetTrack(trackId)->SetDurationPerChunk(value);
}

// ---------------------------------------------------------------- samples and edits

void MP4File::WriteSample(uint32_t trackId, const uint8_t* pBytes, uint32_t numBytes, uint64_t duration,
                          uint64_t renderingOffset, bool isSyncSample) {
  ProtectWriteOperation("MP4WriteSample");
  GetTrack(trackId)->WriteSample(pBytes, numBytes, duration, renderingOffset, isSyncSample);
  m_pModificationProperty->SetValue(MP4GetAbsTimestamp());
}

void MP4File::SetSampleRenderingOffset(uint32_t trackId, uint32_t sampleId, uint64_t renderingOffset) {
  ProtectWriteOperation("MP4SetSampleRenderingOffset");
  GetTrack(trackId)->SetSampleRenderingOffset(sampleId, renderingOffset);
  m_pModificationProperty->SetValue(MP4GetAbsTimestamp());
}

uint32_t MP4File::AddTrackEdit(uint32_t trackId, uint32_t editId) {
  ProtectWriteOperation("AddTrackEdit");
  return GetTrack(trackId)->AddEdit(editId);
}

void MP4File::DeleteTrackEdit(uint32_t trackId, uint32_t editId) {
  ProtectWriteOperation("DeleteTrackEdit");
  GetTrack(trackId)->DeleteEdit(editId);
}

uint64_t MP4File::GetTrackEditTotalDuration(uint32_t trackId, uint32_t editId) {
  return GetTrack(trackId)->GetEditTotalDuration(editId);
}

uint64_t MP4File::GetTrackEditStart(uint32_t trackId, uint32_t editId) {
  return GetTrack(trackId)->GetEditStart(editId);
}

uint32_t MP4File::GetSampleIdFromEditTime(uint32_t trackId, uint64_t when, uint64_t* pStartTime,
                                          uint64_t* pDuration) {
  return GetTrack(trackId)->GetSampleIdFromEditTime(when, pStartTime, pDuration);
}
