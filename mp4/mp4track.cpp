#include "mp4track.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "atoms.h"
#include "mp4array.h"
#include "mp4atom.h"
#include "mp4file.h"

namespace {

// Only its address matters: the marker can never be an opened stream.
char g_inaccessible;

struct FreeDeleter {
  void operator()(void* p) const { MP4Free(p); }
};

// The integer field at a path below the trak atom; NULL when the path
// finds nothing or a field of another kind.
MP4IntegerProperty* FindInteger(MP4Atom& trak, const char* path) {
  MP4Property* p = nullptr;
  if (!trak.FindProperty(path, &p) || !p || p->GetType() > Integer64Property) return nullptr;
  return static_cast<MP4IntegerProperty*>(p);
}

}  // namespace

// A field bound from a path below the trak atom.
struct MP4TrackBinding {
  const char* path;
  MP4IntegerProperty* MP4Track::*member;
};

const MP4TrackBinding MP4Track::kHeaderBindings[5] = {
    {"trak.mdia.mdhd.timeScale", &MP4Track::m_pTimeScaleProperty},
    {"trak.tkhd.duration", &MP4Track::m_pTrackDurationProperty},
    {"trak.mdia.mdhd.duration", &MP4Track::m_pMediaDurationProperty},
    {"trak.tkhd.modificationTime", &MP4Track::m_pTrackModificationProperty},
    {"trak.mdia.mdhd.modificationTime", &MP4Track::m_pMediaModificationProperty},
};
const MP4TrackBinding MP4Track::kStcoBindings[2] = {
    {"trak.mdia.minf.stbl.stco.entryCount", &MP4Track::m_pChunkCountProperty},
    {"trak.mdia.minf.stbl.stco.entries.chunkOffset", &MP4Track::m_pChunkOffsetProperty},
};
const MP4TrackBinding MP4Track::kCo64Bindings[2] = {
    {"trak.mdia.minf.stbl.co64.entryCount", &MP4Track::m_pChunkCountProperty},
    {"trak.mdia.minf.stbl.co64.entries.chunkOffset", &MP4Track::m_pChunkOffsetProperty},
};
const MP4TrackBinding MP4Track::kCttsBindings[3] = {
    {"trak.mdia.minf.stbl.ctts.entryCount", &MP4Track::m_pCttsCountProperty},
    {"trak.mdia.minf.stbl.ctts.entries.sampleCount", &MP4Track::m_pCttsSampleCountProperty},
    {"trak.mdia.minf.stbl.ctts.entries.sampleOffset", &MP4Track::m_pCttsSampleOffsetProperty},
};
const MP4TrackBinding MP4Track::kStssBindings[2] = {
    {"trak.mdia.minf.stbl.stss.entryCount", &MP4Track::m_pStssCountProperty},
    {"trak.mdia.minf.stbl.stss.entries.sampleNumber", &MP4Track::m_pStssSampleProperty},
};
const MP4TrackBinding MP4Track::kElstBindings[5] = {
    {"trak.edts.elst.entryCount", &MP4Track::m_pElstCountProperty},
    {"trak.edts.elst.entries.mediaTime", &MP4Track::m_pElstMediaTimeProperty},
    {"trak.edts.elst.entries.segmentDuration", &MP4Track::m_pElstDurationProperty},
    {"trak.edts.elst.entries.mediaRate", &MP4Track::m_pElstRateProperty},
    {"trak.edts.elst.entries.reserved", &MP4Track::m_pElstReservedProperty},
};

template <size_t N>
bool MP4Track::Bind(const MP4TrackBinding (&bindings)[N]) {
  bool all = true;
  for (const MP4TrackBinding& b : bindings) {
    this->*b.member = FindInteger(*m_pTrakAtom, b.path);
    all = all && this->*b.member != nullptr;
  }
  return all;
}

FILE* const MP4Track::kInaccessibleFile = reinterpret_cast<FILE*>(&g_inaccessible);

// ---------------------------------------------------------------- construction

MP4Track::MP4Track(MP4File& file, MP4Atom& trakAtom) : m_pFile(&file), m_pTrakAtom(&trakAtom) {
  static const MP4TrackBinding kTables[] = {
      {"trak.mdia.minf.stbl.stsc.entryCount", &MP4Track::m_pStscCountProperty},
      {"trak.mdia.minf.stbl.stsc.entries.firstChunk", &MP4Track::m_pStscFirstChunkProperty},
      {"trak.mdia.minf.stbl.stsc.entries.samplesPerChunk", &MP4Track::m_pStscSamplesPerChunkProperty},
      {"trak.mdia.minf.stbl.stsc.entries.sampleDescriptionIndex", &MP4Track::m_pStscSampleDescrIndexProperty},
      {"trak.mdia.minf.stbl.stsc.entries.firstSample", &MP4Track::m_pStscFirstSampleProperty},
      {"trak.mdia.minf.stbl.stts.entryCount", &MP4Track::m_pSttsCountProperty},
      {"trak.mdia.minf.stbl.stts.entries.sampleCount", &MP4Track::m_pSttsSampleCountProperty},
      {"trak.mdia.minf.stbl.stts.entries.sampleDelta", &MP4Track::m_pSttsSampleDeltaProperty},
  };
  static const MP4TrackBinding kStsz[] = {
      {"trak.mdia.minf.stbl.stsz.sampleCount", &MP4Track::m_pStszSampleCountProperty},
      {"trak.mdia.minf.stbl.stsz.entries.entrySize", &MP4Track::m_pStszSampleSizeProperty},
  };
  static const MP4TrackBinding kStz2[] = {
      {"trak.mdia.minf.stbl.stz2.sampleCount", &MP4Track::m_pStszSampleCountProperty},
      {"trak.mdia.minf.stbl.stz2.entries.entrySize", &MP4Track::m_pStszSampleSizeProperty},
      {"trak.mdia.minf.stbl.stz2.fieldSize", &MP4Track::m_pStszFieldSizeProperty},
  };

  MP4IntegerProperty* trackId = FindInteger(trakAtom, "trak.tkhd.trackId");
  if (trackId) m_trackId = static_cast<uint32_t>(trackId->GetValue());
  bool success = trackId != nullptr;
  success = Bind(kHeaderBindings) && success;
  success = Bind(kTables) && success;
  MP4Property* type = nullptr;
  if (trakAtom.FindProperty("trak.mdia.hdlr.handlerType", &type) && type && type->GetType() == StringProperty)
    m_pTypeProperty = static_cast<MP4StringProperty*>(type);
  success = success && m_pTypeProperty;

  m_pStszFixedSampleSizeProperty = FindInteger(trakAtom, "trak.mdia.minf.stbl.stsz.sampleSize");
  if (m_pStszFixedSampleSizeProperty) {
    success = Bind(kStsz) && success;
    m_stszSampleBits = 32;
  } else {
    success = Bind(kStz2) && success;
    if (m_pStszFieldSizeProperty) m_stszSampleBits = static_cast<uint8_t>(m_pStszFieldSizeProperty->GetValue());
  }
  // A group whose first (count) field is absent is left unbound, no fault.
  if (FindInteger(trakAtom, kStcoBindings[0].path))
    success = Bind(kStcoBindings) && success;
  else
    success = Bind(kCo64Bindings) && success;
  if (FindInteger(trakAtom, kCttsBindings[0].path)) success = Bind(kCttsBindings) && success;
  if (FindInteger(trakAtom, kStssBindings[0].path)) success = Bind(kStssBindings) && success;

  if (!success) throw MP4Error("invalid track", "MP4Track::MP4Track");
  InitBytesPerSample();
  InitEditListProperties();

  // Samples written to a track read from a file follow its own.
  m_writeSampleId = GetNumberOfSamples() + 1;
  m_durationPerChunk = m_pTimeScaleProperty->GetValue();
  m_mediaDurationAtOpen = m_pMediaDurationProperty->GetValue();
  m_trackDurationAtOpen = m_pTrackDurationProperty->GetValue();
}

MP4Track::~MP4Track() {
  MP4Free(m_pChunkBuffer);
  if (m_lastSampleFile && m_lastSampleFile != kInaccessibleFile) fclose(m_lastSampleFile);
}

// Uncompressed sound ("twos", "sowt", and "raw " in a sound track) may
// keep one size table entry per sample frame counted in frames, the classic
// form with sizes of 1: every size the track reports is then the table
// value times the bytes of one frame of all channels. Other writers store
// each frame's byte count itself, a constant size equal to those bytes;
// such a table is read as it stands, or every chunk would be reckoned too
// large. Mono 8-bit sound is the same either way.
void MP4Track::InitBytesPerSample() {
  MP4Atom* stsd = m_pTrakAtom->FindAtom("trak.mdia.minf.stbl.stsd");
  if (!stsd || stsd->GetNumberOfChildAtoms() != 1) return;
  MP4Atom* entry = stsd->GetChildAtom(0);
  const char* type = entry->GetType();
  if (strcmp(type, "twos") && strcmp(type, "sowt") && strcmp(type, "raw ")) return;
  auto field = [entry](const char* name) -> uint64_t {
    for (uint32_t i = 0; i < entry->GetNumberOfProperties(); i++) {
      MP4Property* p = entry->GetProperty(i);
      if (p->GetName() && !strcmp(p->GetName(), name) && p->GetType() <= Integer64Property)
        return static_cast<MP4IntegerProperty*>(p)->GetValue();
    }
    return 0;  // a "raw " video entry: no sound fields
  };
  const uint64_t frameBytes = field("channels") * (field("sampleSize") / 8);
  if (frameBytes == 0 && strcmp(type, "raw ") == 0) return;
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  m_soundFrameBytes = static_cast<uint32_t>(frameBytes);
  m_bytesPerSample = fixed != 0 && fixed == frameBytes ? 1 : static_cast<uint32_t>(frameBytes);
}

// Sizes that the next open takes for what they were written as: a table of
// frames (the classic form) must never hold a constant equal to the frame's
// bytes, which is read as a byte count; a constant that is such a byte
// count takes no sample of another size, since sizes one each would then
// be read as frames (and other readers take them as bytes); an empty table
// takes the classic form.
bool MP4Track::IsSoundFramesAsBytes() {
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  return m_soundFrameBytes > 1 && m_bytesPerSample == 1 && fixed == m_soundFrameBytes && GetNumberOfSamples() > 0;
}

// ---------------------------------------------------------------- plain facts

const char* MP4Track::GetType() { return m_pTypeProperty->GetValue(); }

void MP4Track::SetType(const char* type) {
  m_pTypeProperty->SetValue(MP4NormalizeTrackType(type, m_pFile->GetVerbosity()));
}

uint32_t MP4Track::GetNumberOfSamples() { return static_cast<uint32_t>(m_pStszSampleCountProperty->GetValue()); }

uint64_t MP4Track::GetDuration() { return m_pMediaDurationProperty->GetValue(); }

uint32_t MP4Track::GetTimeScale() { return static_cast<uint32_t>(m_pTimeScaleProperty->GetValue()); }

void MP4Track::CheckSampleId(uint32_t sampleId, const char* where) {
  if (sampleId == 0 || sampleId > GetNumberOfSamples()) throw MP4Error("sample id out of range", where);
}

// ---------------------------------------------------------------- sizes

uint32_t MP4Track::SampleSize(uint32_t sampleId) {
  uint64_t size;
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  if (fixed != 0) {
    size = fixed;
  } else if (m_stszSampleBits == 4) {
    // Two sizes a byte, the first sample of the pair in the upper half.
    const uint64_t pair = m_pStszSampleSizeProperty->GetValue((sampleId - 1) / 2);
    size = sampleId & 1 ? pair >> 4 : pair & 0xF;
  } else {
    size = m_pStszSampleSizeProperty->GetValue(sampleId - 1);
  }
  // A frame size times a table value can pass 32 bits: refused rather than
  // cut to a size that would read the wrong bytes.
  size *= m_bytesPerSample;
  if (size > UINT32_MAX) throw MP4Error("sample %u is larger than 4 GiB", "MP4Track::GetSampleSize", sampleId);
  return static_cast<uint32_t>(size);
}

uint32_t MP4Track::GetSampleSize(uint32_t sampleId) {
  CheckSampleId(sampleId, "MP4Track::GetSampleSize");
  return SampleSize(sampleId);
}

uint32_t MP4Track::GetMaxSampleSize() {
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  if (fixed != 0) return SampleSize(1);
  uint32_t max = 0;
  for (uint32_t sid = 1, n = GetNumberOfSamples(); sid <= n && sid != 0; sid++) {
    const uint32_t size = SampleSize(sid);
    if (size > max) max = size;
  }
  return max;
}

uint64_t MP4Track::GetTotalOfSampleSizes() {
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  if (fixed != 0) return uint64_t(m_bytesPerSample) * fixed * GetNumberOfSamples();
  uint64_t total = 0;
  for (uint32_t sid = 1, n = GetNumberOfSamples(); sid <= n && sid != 0; sid++) total += SampleSize(sid);
  return total;
}

// ---------------------------------------------------------------- chunks

uint32_t MP4Track::GetSampleStscIndex(uint32_t sampleId) {
  const uint32_t n = static_cast<uint32_t>(m_pStscCountProperty->GetValue());
  if (n == 0) throw MP4Error("No data chunks exist", "GetSampleStscIndex");
  if (sampleId < m_pStscFirstSampleProperty->GetValue(0)) throw MP4Error("assert failure", "(stscIndex != 0)");
  // The first samples never decrease (they are summed from the runs when
  // the table is read): the last run that starts at or before the sample.
  // Reading in order asks for the run of the last answer or the next one.
  for (uint32_t i = m_cachedStscIndex; i < n && i <= m_cachedStscIndex + 1; i++) {
    if (m_pStscFirstSampleProperty->GetValue(i) > sampleId) break;
    if (i + 1 == n || m_pStscFirstSampleProperty->GetValue(i + 1) > sampleId) {
      m_cachedStscIndex = i;
      return i;
    }
  }
  uint32_t low = 0, high = n - 1;
  while (low < high) {
    const uint32_t mid = low + (high - low + 1) / 2;
    if (m_pStscFirstSampleProperty->GetValue(mid) > sampleId)
      high = mid - 1;
    else
      low = mid;
  }
  m_cachedStscIndex = low;
  return low;
}

uint64_t MP4Track::GetSampleFileOffset(uint32_t sampleId) {
  CheckSampleId(sampleId, "MP4Track::GetSampleFileOffset");
  const uint32_t i = GetSampleStscIndex(sampleId);
  const uint64_t firstChunk = m_pStscFirstChunkProperty->GetValue(i);
  const uint32_t firstSample = static_cast<uint32_t>(m_pStscFirstSampleProperty->GetValue(i));
  const uint64_t samplesPerChunk = m_pStscSamplesPerChunkProperty->GetValue(i);
  if (samplesPerChunk == 0)
    throw MP4Error("sample-to-chunk entry %u has no samples per chunk", "MP4Track::GetSampleFileOffset", i + 1);

  const uint32_t k = sampleId - firstSample;
  const uint64_t chunkId = firstChunk + k / samplesPerChunk;
  const uint32_t chunkCount = static_cast<uint32_t>(m_pChunkCountProperty->GetValue());
  if (chunkId == 0 || chunkId > chunkCount)
    throw MP4Error("sample %u lies in chunk %llu of %u", "MP4Track::GetSampleFileOffset", sampleId,
                   static_cast<unsigned long long>(chunkId), chunkCount);
  const uint64_t chunkOffset = m_pChunkOffsetProperty->GetValue(static_cast<uint32_t>(chunkId - 1));

  // The samples of the chunk before this one, summed in 64 bits.
  const uint32_t chunkFirstSample = sampleId - static_cast<uint32_t>(k % samplesPerChunk);
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  uint64_t inChunk = 0;
  if (fixed != 0) {
    inChunk = uint64_t(sampleId - chunkFirstSample) * SampleSize(sampleId);
  } else {
    uint32_t sid = chunkFirstSample;
    if (m_cachedOffsetSid && m_cachedOffsetChunkSid == chunkFirstSample && m_cachedOffsetSid <= sampleId) {
      sid = m_cachedOffsetSid;
      inChunk = m_cachedOffsetInChunk;
    }
    for (; sid < sampleId; sid++) inChunk += SampleSize(sid);
    m_cachedOffsetSid = sampleId;
    m_cachedOffsetChunkSid = chunkFirstSample;
    m_cachedOffsetInChunk = inChunk;
  }
  return chunkOffset + inChunk;
}

// ---------------------------------------------------------------- sample files

namespace {

// The data reference of a sample entry. Every entry starts with 6 reserved
// bytes and the 16-bit index, so an entry of a type the library has no
// fields for ("tx3g", ...) has it in the first bytes of its body.
uint64_t DataReferenceIndex(MP4Atom* entry) {
  MP4Property* reference = nullptr;
  if (entry->FindProperty("*.dataReferenceIndex", &reference) && reference &&
      reference->GetType() <= Integer64Property)
    return static_cast<MP4IntegerProperty*>(reference)->GetValue();
  if (entry->IsUnknownType() && entry->GetNumberOfProperties() == 1) {
    MP4Property* body = entry->GetProperty(0);
    if (body->GetType() == BytesProperty) {
      MP4BytesProperty* bytes = static_cast<MP4BytesProperty*>(body);
      if (bytes->GetValueSize() >= 8) return uint64_t(bytes->GetValuePointer()[6]) << 8 | bytes->GetValuePointer()[7];
    }
  }
  throw MP4Error("invalid stsd entry", "GetSampleFile");
}

}  // namespace

FILE* MP4Track::GetSampleFile(uint32_t sampleId) {
  const uint32_t stsdIndex =
      static_cast<uint32_t>(m_pStscSampleDescrIndexProperty->GetValue(GetSampleStscIndex(sampleId)));
  if (m_lastStsdIndex && stsdIndex == m_lastStsdIndex) return m_lastSampleFile;

  MP4Atom* stsd = m_pTrakAtom->FindAtom("trak.mdia.minf.stbl.stsd");
  MP4_ASSERT_AS(stsd, "(pStsdAtom)");
  MP4Atom* entry = stsd->GetChildAtom(stsdIndex - 1);
  MP4_ASSERT_AS(entry, "(pStsdEntryAtom)");
  const uint64_t referenceIndex = DataReferenceIndex(entry);

  MP4Atom* dref = m_pTrakAtom->FindAtom("trak.mdia.minf.dinf.dref");
  MP4_ASSERT_AS(dref, "(pDrefAtom)");
  MP4Atom* url = dref->GetChildAtom(static_cast<uint32_t>(referenceIndex - 1));
  MP4_ASSERT_AS(url, "(pUrlAtom)");

  FILE* file = nullptr;
  if (!(url->GetFlags() & 1)) {
    MP4Property* location = nullptr;
    MP4_ASSERT_AS(url->FindProperty("*.location", &location),
                  "(pUrlAtom->FindProperty( \"*.location\", (MP4Property**)&pLocationProperty))");
    MP4_ASSERT_AS(location, "(pLocationProperty)");
    if (location->GetType() != StringProperty) throw MP4Error("invalid data reference", "GetSampleFile");
    file = OpenDataReference(static_cast<MP4StringProperty*>(location)->GetValue());
  }
  if (m_lastSampleFile && m_lastSampleFile != kInaccessibleFile) fclose(m_lastSampleFile);
  m_lastStsdIndex = stsdIndex;
  m_lastSampleFile = file;
  return file;
}

// A data reference may name a file, but reading must stay inside the folder
// of the MP4 file: the name is taken relative to that folder, and the real
// path (links resolved) must lie below it. Anything else, and every other
// kind of location, is unreachable.
FILE* MP4Track::OpenDataReference(const char* location) {
  if (!location || strncmp(location, "file:", 5) != 0) return kInaccessibleFile;
  const char* path = location + 5;
  if (strncmp(path, "//", 2) == 0) {
    path = strchr(path + 2, '/');
    if (!path) return kInaccessibleFile;
  }
  if (!*path) return kInaccessibleFile;

  const char* name = m_pFile->GetFilename();
  std::string folder = ".";
  if (const char* slash = name ? strrchr(name, '/') : nullptr) folder.assign(name, slash == name ? 1 : slash - name);
  const std::string candidate = path[0] == '/' ? std::string(path) : folder + "/" + path;

  std::unique_ptr<char, FreeDeleter> realFolder(realpath(folder.c_str(), nullptr));
  std::unique_ptr<char, FreeDeleter> realFile(realpath(candidate.c_str(), nullptr));
  if (!realFolder || !realFile) return kInaccessibleFile;
  std::string inside = realFolder.get();
  if (inside.back() != '/') inside += '/';
  if (strncmp(realFile.get(), inside.c_str(), inside.size()) != 0) return kInaccessibleFile;

  struct stat st;
  if (stat(realFile.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kInaccessibleFile;
  FILE* f = fopen(realFile.get(), "rb");
  return f ? f : kInaccessibleFile;
}

// ---------------------------------------------------------------- times

void MP4Track::GetSampleTimes(uint32_t sampleId, uint64_t* pStartTime, uint64_t* pDuration) {
  CheckSampleId(sampleId, "MP4Track::GetSampleTimes");
  const uint32_t n = static_cast<uint32_t>(m_pSttsCountProperty->GetValue());
  // 64 bits throughout: run lengths times deltas pass 32 bits within
  // minutes at fine time scales.
  uint32_t index = 0;
  uint64_t sid = 1, elapsed = 0;
  if (m_cachedSttsSid != 0 && m_cachedSttsSid <= sampleId) {
    index = m_cachedSttsIndex;
    sid = m_cachedSttsSid;
    elapsed = m_cachedSttsElapsed;
  }
  for (; index < n; index++) {
    const uint64_t count = m_pSttsSampleCountProperty->GetValue(index);
    const uint64_t delta = m_pSttsSampleDeltaProperty->GetValue(index);
    if (sampleId < sid + count) {
      if (pStartTime) *pStartTime = (sampleId - sid) * delta + elapsed;
      if (pDuration) *pDuration = delta;
      m_cachedSttsIndex = index;
      m_cachedSttsSid = sid;
      m_cachedSttsElapsed = elapsed;
      return;
    }
    sid += count;
    elapsed += count * delta;
  }
  throw MP4Error("sample id out of range", "MP4Track::GetSampleTimes");
}

uint32_t MP4Track::GetSampleIdFromTime(uint64_t when, bool wantSyncSample) {
  const uint32_t n = static_cast<uint32_t>(m_pSttsCountProperty->GetValue());
  if (n == 0) throw MP4Error("time out of range", "MP4Track::GetSampleIdFromTime");
  uint64_t sid = 1, elapsed = 0;
  for (uint32_t i = 0; i < n; i++) {
    const uint64_t count = m_pSttsSampleCountProperty->GetValue(i);
    const uint64_t delta = m_pSttsSampleDeltaProperty->GetValue(i);
    const uint64_t span = count * delta;
    // A run covers [elapsed, elapsed + span): its end belongs to the next
    // run, and the end of the last run to no sample. Samples of no duration
    // sit at elapsed.
    if (when - elapsed < span || (delta == 0 && count != 0 && when == elapsed)) {
      const uint64_t found = delta == 0 ? sid : sid + (when - elapsed) / delta;
      if (found > GetNumberOfSamples()) break;
      const uint32_t sampleId = static_cast<uint32_t>(found);
      return wantSyncSample ? GetNextSyncSample(sampleId) : sampleId;
    }
    elapsed += span;
    sid += count;
  }
  throw MP4Error("time out of range", "MP4Track::GetSampleIdFromTime");
}

uint64_t MP4Track::GetSampleRenderingOffset(uint32_t sampleId) {
  CheckSampleId(sampleId, "MP4Track::GetSampleRenderingOffset");
  if (!m_pCttsCountProperty || m_pCttsCountProperty->GetValue() == 0) return 0;
  return m_pCttsSampleOffsetProperty->GetValue(GetSampleCttsIndex(sampleId));
}

uint32_t MP4Track::GetSampleCttsIndex(uint32_t sampleId, uint32_t* pFirstSampleId) {
  const uint32_t n = m_pCttsCountProperty ? static_cast<uint32_t>(m_pCttsCountProperty->GetValue()) : 0;
  // Sequential reads resume at the run of the last lookup.
  uint32_t index = 0;
  uint64_t sid = 1;
  if (m_cachedCttsSid != 0 && m_cachedCttsSid <= sampleId) {
    index = m_cachedCttsIndex;
    sid = m_cachedCttsSid;
  }
  for (; index < n; index++) {
    const uint64_t count = m_pCttsSampleCountProperty->GetValue(index);
    if (sampleId < sid + count) {
      if (pFirstSampleId) *pFirstSampleId = static_cast<uint32_t>(sid);
      m_cachedCttsIndex = index;
      m_cachedCttsSid = sid;
      return index;
    }
    sid += count;
  }
  throw MP4Error("sample id out of range", "MP4Track::GetSampleCttsIndex");
}

// ---------------------------------------------------------------- sync samples

bool MP4Track::IsSyncSample(uint32_t sampleId) {
  CheckSampleId(sampleId, "MP4Track::IsSyncSample");
  if (!m_pStssCountProperty) return true;
  int64_t low = 0, high = static_cast<int64_t>(m_pStssCountProperty->GetValue()) - 1;
  while (low <= high) {
    const int64_t mid = (low + high) / 2;
    const uint64_t number = m_pStssSampleProperty->GetValue(static_cast<uint32_t>(mid));
    if (number == sampleId) return true;
    if (sampleId > number)
      low = mid + 1;
    else
      high = mid - 1;
  }
  return false;
}

uint32_t MP4Track::GetNextSyncSample(uint32_t sampleId) {
  if (!m_pStssCountProperty) return sampleId;
  const uint32_t n = static_cast<uint32_t>(m_pStssCountProperty->GetValue());
  for (uint32_t i = 0; i < n; i++) {
    const uint64_t number = m_pStssSampleProperty->GetValue(i);
    if (number >= sampleId) return static_cast<uint32_t>(number);
  }
  return 0;
}

uint64_t MP4Track::GetFixedSampleDuration() {
  const uint32_t n = static_cast<uint32_t>(m_pSttsCountProperty->GetValue());
  if (n == 0) return m_fixedSampleDuration;
  if (n == 1) return m_pSttsSampleDeltaProperty->GetValue(0);
  return UINT64_MAX;
}

void MP4Track::SetFixedSampleDuration(uint64_t duration) {
  if (m_pSttsCountProperty->GetValue() == 0) m_fixedSampleDuration = duration;
}

void MP4Track::ResetCaches() {
  DropCompositionOrder();
  m_cachedSttsSid = 0;
  m_cachedCttsSid = 0;
  m_cachedOffsetSid = 0;
  m_cttsSamples = UINT64_MAX;
}

// ---------------------------------------------------------------- reading

FILE* MP4Track::LocateSample(uint32_t sampleId, uint64_t* pOffset, uint32_t* pSize) {
  CheckSampleId(sampleId, "MP4Track::ReadSample");
  // A sample still in the chunk buffer has no place in the file yet.
  if (m_chunkSamples && sampleId >= m_writeSampleId - m_chunkSamples) WriteChunkBuffer();
  FILE* file = GetSampleFile(sampleId);
  if (file == kInaccessibleFile)
    throw MP4Error("sample is located in an inaccessible file", "MP4Track::ReadSample");
  const uint64_t offset = GetSampleFileOffset(sampleId);
  const uint32_t size = GetSampleSize(sampleId);

  // The sample must lie in the file before a buffer is sized by it: a
  // corrupt size or offset must not allocate gigabytes.
  uint64_t fileSize = m_pFile->GetSize();
  struct stat st;
  if (file) fileSize = fstat(fileno(file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (offset > fileSize || size > fileSize - offset)
    throw MP4Error("sample %u (%u bytes at %llu) runs past the end of the file", "MP4Track::ReadSample", sampleId,
                   size, static_cast<unsigned long long>(offset));
  *pOffset = offset;
  *pSize = size;
  return file;
}

void MP4Track::ReadAt(FILE* file, uint64_t position, uint8_t* pBytes, uint32_t numBytes) {
  // While writing, the position is where the next write goes: kept.
  const bool writing = m_pFile->GetMode() == 'w';
  const uint64_t oldPosition = writing ? m_pFile->GetPosition(file) : 0;
  try {
    m_pFile->SetPosition(position, file);
    m_pFile->ReadBytes(pBytes, numBytes, file);
  } catch (...) {
    if (writing) {
      try {
        m_pFile->SetPosition(oldPosition, file);
      } catch (...) {
      }
    }
    throw;
  }
  if (writing) m_pFile->SetPosition(oldPosition, file);
}

void MP4Track::ReadSample(uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes, uint64_t* pStartTime,
                          uint64_t* pDuration, uint64_t* pRenderingOffset, bool* pIsSyncSample) {
  if (sampleId == 0) throw MP4Error("sample id can't be zero", "MP4Track::ReadSample");
  MP4_ASSERT(ppBytes);
  MP4_ASSERT(pNumBytes);
  uint64_t offset = 0;
  uint32_t size = 0;
  FILE* file = LocateSample(sampleId, &offset, &size);

  std::unique_ptr<uint8_t, FreeDeleter> allocated;
  if (*ppBytes) {
    if (*pNumBytes < size) throw MP4Error("sample buffer is too small", "MP4Track::ReadSample");
    *pNumBytes = size;
  } else {
    *pNumBytes = size;
    allocated.reset(static_cast<uint8_t*>(MP4Malloc(size)));
    *ppBytes = allocated.get();
  }
  try {
    ReadAt(file, offset, *ppBytes, *pNumBytes);
    if (pStartTime || pDuration) GetSampleTimes(sampleId, pStartTime, pDuration);
    if (pRenderingOffset) *pRenderingOffset = GetSampleRenderingOffset(sampleId);
    if (pIsSyncSample) *pIsSyncSample = IsSyncSample(sampleId);
  } catch (...) {
    if (allocated) *ppBytes = nullptr;
    throw;
  }
  allocated.release();
}

void MP4Track::ReadSampleFragment(uint32_t sampleId, uint32_t offset, uint16_t length, uint8_t* pDest) {
  if (sampleId == 0) throw MP4Error("invalid sample id", "MP4Track::ReadSampleFragment");
  uint64_t position = 0;
  uint32_t size = 0;
  FILE* file = LocateSample(sampleId, &position, &size);
  if (uint64_t(offset) + length > size)
    throw MP4Error("offset and/or length are too large", "MP4Track::ReadSampleFragment");
  // Only the bytes asked for: a hint's entries may alternate between large
  // samples, and the work of a packet must follow its own size.
  if (length) ReadAt(file, position + offset, pDest, length);
}

// ---------------------------------------------------------------- bit rates

namespace {

// x * multiplier / divisor rounded up, in 128 bits; saturates at all ones.
uint64_t MulDivUp(uint64_t x, uint64_t multiplier, uint64_t divisor) {
  const unsigned __int128 q = (static_cast<unsigned __int128>(x) * multiplier + divisor - 1) / divisor;
  return q > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(q);
}

}  // namespace

uint32_t MP4Track::GetAvgBitrate() {
  const uint64_t duration = GetDuration();
  if (duration == 0) return 0;
  const double rate = std::ceil(double(GetTimeScale()) * (double(GetTotalOfSampleSizes()) * 8.0) / double(duration));
  return rate >= double(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(rate);
}

namespace {

// Walks the start times of a track's samples through its time-to-sample
// runs, one sample a step.
class SampleClock {
 public:
  SampleClock(MP4IntegerProperty* counts, MP4IntegerProperty* deltas, uint32_t runs)
      : m_counts(counts), m_deltas(deltas), m_runs(runs) {
    Settle();
  }
  // The start of the current sample; false past the last run.
  bool Valid() const { return m_run < m_runs; }
  uint64_t Time() const { return m_time; }
  void Next() {
    m_time += m_deltas->GetValue(m_run);
    m_left--;
    Settle();
  }

 private:
  // Moves past runs that have no samples left.
  void Settle() {
    while (m_left == 0 && m_run < m_runs) {
      if (m_started) m_run++;
      m_started = true;
      if (m_run < m_runs) m_left = m_counts->GetValue(m_run);
    }
  }
  MP4IntegerProperty* m_counts;
  MP4IntegerProperty* m_deltas;
  uint32_t m_runs;
  uint32_t m_run = 0;
  uint64_t m_left = 0;
  uint64_t m_time = 0;
  bool m_started = false;
};

}  // namespace

// Samples of one size for all are claimed by a count alone, with no table
// entry each: a damaged count would make a walk over them, or a table of
// an entry each, as long as it says. They must lie in the bytes the file
// has held (as opened, as grown since, and still in the chunk buffer);
// samples with an entry each are bounded by the table the file held.
void MP4Track::CheckSamplesFitFile(const char* where) {
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  if (fixed == 0) return;
  const uint64_t n = GetNumberOfSamples();
  // Below 2^64: a 32-bit table value times a frame of two 16-bit factors.
  const uint64_t size = fixed * m_bytesPerSample;
  const uint64_t room = m_pFile->GetLargestSize() + m_chunkBufferSize;
  if (n > room / (size ? size : 1))
    throw MP4Error("track %u claims %llu samples of %llu bytes, more than the file's %llu bytes", where, m_trackId,
                   static_cast<unsigned long long>(n), static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(room));
}

// The window is one second of media from the start of each sample in
// turn; it holds the samples that start before it ends.
uint32_t MP4Track::GetMaxBitrate() {
  const uint32_t n = GetNumberOfSamples();
  const uint64_t second = GetTimeScale();
  if (n == 0 || second == 0) return 0;
  CheckSamplesFitFile("MP4Track::GetMaxBitrate");
  const uint32_t runs = static_cast<uint32_t>(m_pSttsCountProperty->GetValue());
  SampleClock first(m_pSttsSampleCountProperty, m_pSttsSampleDeltaProperty, runs);
  SampleClock last = first;
  uint64_t bytes = 0, max = 0;
  uint32_t lastId = 0;  // samples firstId .. lastId are in the window
  for (uint32_t firstId = 1; firstId <= n; firstId++) {
    if (!first.Valid()) throw MP4Error("sample id out of range", "MP4Track::GetMaxBitrate");
    while (lastId < n && last.Valid() && last.Time() - first.Time() < second) {
      bytes += SampleSize(++lastId);
      last.Next();
    }
    if (bytes > max) max = bytes;
    bytes -= SampleSize(firstId);
    first.Next();
  }
  return max > UINT32_MAX / 8 ? UINT32_MAX : static_cast<uint32_t>(max * 8);
}

// ---------------------------------------------------------------- writing samples

void MP4Track::CheckSampleFits(uint32_t numBytes, uint64_t duration, uint64_t renderingOffset) {
  if (GetNumberOfSamples() == UINT32_MAX)
    throw MP4Error("the track holds the most samples there can be", "MP4WriteSample");
  // A new sample may give every sample before it a size or sync entry.
  CheckSamplesFitFile("MP4WriteSample");
  if (duration > UINT32_MAX)
    throw MP4Error("sample duration %llu does not fit 32 bits", "MP4WriteSample",
                   static_cast<unsigned long long>(duration));
  // A 32-bit value, or a negative one sign-extended to 64 bits.
  if (renderingOffset > UINT32_MAX && renderingOffset < 0xFFFFFFFF80000000ull)
    throw MP4Error("rendering offset %llu does not fit 32 bits", "MP4WriteSample",
                   static_cast<unsigned long long>(renderingOffset));
  // A track whose media time scale is 0 has no durations to add up, and
  // one that closes chunks by time needs a time to close them at: refused
  // before the tables take the sample.
  if (GetTimeScale() == 0) throw MP4Error("track %u has a time scale of 0", "MP4WriteSample", m_trackId);
  if (m_samplesPerChunk == 0 && m_durationPerChunk == 0)
    throw MP4Error("track %u has no rule to close its chunks", "MP4WriteSample", m_trackId);
  // Uncompressed sound whose frame has no bytes (no channels, samples of
  // under 8 bits) counts no frames at all.
  const uint32_t bytesPerSample = GetNumberOfSamples() == 0 && m_soundFrameBytes > 1 ? m_soundFrameBytes : m_bytesPerSample;
  if (bytesPerSample == 0)
    throw MP4Error("sound frames of 0 bytes cannot be counted", "MP4WriteSample");
  if (bytesPerSample > 1 && numBytes % bytesPerSample)
    throw MP4Error("sample of %u bytes is no whole number of %u-byte frames", "MP4WriteSample", numBytes,
                   bytesPerSample);
  if (IsSoundFramesAsBytes() && numBytes != m_pStszFixedSampleSizeProperty->GetValue())
    throw MP4Error("sample of %u bytes cannot join track %u, whose samples are sound frames of %u bytes each",
                   "MP4WriteSample", numBytes, m_trackId, m_soundFrameBytes);
  const uint32_t stored = numBytes / bytesPerSample;
  const uint8_t bits = m_pStszFixedSampleSizeProperty ? 32 : m_stszSampleBits;
  if (bits < 32 && stored >> bits)
    throw MP4Error("sample size %u does not fit the %u-bit size table", "MP4WriteSample", stored,
                   static_cast<unsigned>(bits));
}

void MP4Track::WriteSample(const uint8_t* pBytes, uint32_t numBytes, uint64_t duration, uint64_t renderingOffset,
                           bool isSyncSample) {
  if (!pBytes && numBytes > 0) throw MP4Error("no sample data", "MP4WriteSample");
  if (m_isAmr < 0) {
    m_isAmr = m_pTrakAtom->FindAtom("trak.mdia.minf.stbl.stsd.samr") ||
                      m_pTrakAtom->FindAtom("trak.mdia.minf.stbl.stsd.sawb")
                  ? 0
                  : 1;
    if (m_isAmr == 0 && numBytes > 0) m_curMode = (pBytes[0] >> 3) & 0x0F;
  }
  // The frame type of an AMR sample is in its first byte; an empty sample
  // has none and keeps the mode of the chunk.
  const uint8_t mode = m_isAmr == 0 ? (numBytes > 0 ? (pBytes[0] >> 3) & 0x0F : m_curMode) : 0;
  if (duration == UINT64_MAX) duration = GetFixedSampleDuration();
  CheckSampleFits(numBytes, duration, renderingOffset);

  if (m_isAmr == 0 && m_curMode != mode) {
    WriteChunkBuffer();
    m_curMode = mode;
  }
  // A chunk's size is a 32-bit sum of its samples' sizes.
  if (numBytes > UINT32_MAX - m_chunkBufferSize) WriteChunkBuffer();
  if (m_chunkBufferSize + numBytes > m_chunkBufferCapacity) {
    uint64_t capacity = m_chunkBufferCapacity ? uint64_t(m_chunkBufferCapacity) * 2 : 4096;
    if (capacity < uint64_t(m_chunkBufferSize) + numBytes) capacity = uint64_t(m_chunkBufferSize) + numBytes;
    if (capacity > UINT32_MAX) capacity = UINT32_MAX;
    m_pChunkBuffer = static_cast<uint8_t*>(MP4Realloc(m_pChunkBuffer, static_cast<uint32_t>(capacity)));
    m_chunkBufferCapacity = static_cast<uint32_t>(capacity);
  }
  if (numBytes) memcpy(m_pChunkBuffer + m_chunkBufferSize, pBytes, numBytes);
  m_chunkBufferSize += numBytes;
  m_chunkSamples++;
  m_chunkDuration += duration;
  // The chunk that this sample fills is written before the tables take the
  // sample: a write that fails leaves the track as it was, the samples
  // before it still buffered, and the sample refused.
  const bool full = IsChunkFull();
  uint64_t chunkOffset = 0;
  if (full) {
    try {
      chunkOffset = WriteChunkBytes();
    } catch (...) {
      m_chunkBufferSize -= numBytes;
      m_chunkSamples--;
      m_chunkDuration -= duration;
      throw;
    }
  }

  const uint32_t sampleId = m_writeSampleId = GetNumberOfSamples() + 1;
  DropCompositionOrder();
  // The first sample of uncompressed sound is counted in frames.
  if (sampleId == 1 && m_soundFrameBytes > 1 && m_bytesPerSample != m_soundFrameBytes) {
    m_bytesPerSample = m_soundFrameBytes;
    ResetCaches();
  }
  UpdateSampleSizes(numBytes);
  UpdateSampleTimes(duration);
  UpdateRenderingOffsets(sampleId, renderingOffset);
  UpdateSyncSamples(sampleId, isSyncSample);
  if (full) {
    EnterChunk(chunkOffset);
    m_curMode = mode;
  }
  UpdateDurations(duration);
  UpdateModificationTimes();
  m_writeSampleId++;
}

bool MP4Track::IsChunkFull() {
  if (m_samplesPerChunk) return m_chunkSamples >= m_samplesPerChunk;
  MP4_ASSERT(m_durationPerChunk);
  return m_chunkDuration >= m_durationPerChunk;
}

// Called between samples: the buffered ones are the last written.
void MP4Track::WriteChunkBuffer() {
  // A chunk of empty samples is a chunk all the same: without it the
  // chunks after it would be counted from the wrong sample.
  if (m_chunkSamples == 0) return;
  EnterChunk(WriteChunkBytes());
}

uint64_t MP4Track::WriteChunkBytes() {
  m_pFile->BeginMediaData();
  const uint64_t offset = m_pFile->GetPosition();
  m_pFile->WriteBytes(m_pChunkBuffer, m_chunkBufferSize);
  return offset;
}

void MP4Track::EnterChunk(uint64_t offset) {
  const uint32_t lastSample = GetNumberOfSamples();
  UpdateSampleToChunk(lastSample, GetNumberOfChunks() + 1, m_chunkSamples);
  UpdateChunkOffsets(offset);
  MP4Free(m_pChunkBuffer);
  m_pChunkBuffer = nullptr;
  m_chunkBufferSize = m_chunkBufferCapacity = 0;
  m_chunkSamples = 0;
  m_chunkDuration = 0;
}

void MP4Track::UpdateSampleToChunk(uint32_t sampleId, uint32_t chunkId, uint32_t samplesPerChunk) {
  const uint32_t n = static_cast<uint32_t>(m_pStscCountProperty->GetValue());
  // The run goes on: its chunks are counted from its first one.
  if (n > 0 && m_pStscSamplesPerChunkProperty->GetValue(n - 1) == samplesPerChunk) return;
  // New chunks hold the samples of the description the last run used.
  const uint64_t description = n > 0 ? m_pStscSampleDescrIndexProperty->GetValue(n - 1) : 1;
  m_pStscFirstChunkProperty->AddValue(chunkId);
  m_pStscSamplesPerChunkProperty->AddValue(samplesPerChunk);
  m_pStscSampleDescrIndexProperty->AddValue(description);
  m_pStscFirstSampleProperty->AddValue(sampleId - samplesPerChunk + 1);
  m_pStscCountProperty->ForceValue(n + 1);
}

uint32_t MP4Track::GetNumberOfChunks() { return static_cast<uint32_t>(m_pChunkCountProperty->GetValue()); }

uint64_t MP4Track::GetChunkOffset(uint32_t chunkId) {
  MP4_ASSERT(chunkId);
  return m_pChunkOffsetProperty->GetValue(chunkId - 1);
}

void MP4Track::UpdateChunkOffsets(uint64_t chunkOffset) {
  // Never cut to 32 bits: the offsets turn 64-bit first.
  if (chunkOffset > UINT32_MAX && !HasCo64ChunkOffsets()) UseCo64ChunkOffsets();
  const uint32_t n = GetNumberOfChunks();
  m_pChunkOffsetProperty->AddValue(chunkOffset);
  m_pChunkCountProperty->ForceValue(uint64_t(n) + 1);
}

bool MP4Track::HasCo64ChunkOffsets() { return m_pChunkOffsetProperty->GetType() == Integer64Property; }

void MP4Track::UseCo64ChunkOffsets() {
  if (HasCo64ChunkOffsets()) return;
  MP4Atom* stco = m_pTrakAtom->FindAtom("trak.mdia.minf.stbl.stco");
  MP4_ASSERT_AS(stco, "(pStcoAtom)");
  MP4Atom* stbl = stco->GetParentAtom();
  std::unique_ptr<MP4Atom> co64(MP4Atom::CreateAtom("co64"));
  co64->SetParentAtom(stbl);
  co64->SetFile(m_pFile);
  co64->Generate();
  MP4Property* column = nullptr;
  MP4_ASSERT(co64->FindProperty("co64.entries.chunkOffset", &column) && column);
  const uint32_t n = GetNumberOfChunks();
  for (uint32_t i = 0; i < n; i++) static_cast<MP4IntegerProperty*>(column)->AddValue(m_pChunkOffsetProperty->GetValue(i));
  co64->GetIntegerField("entryCount")->ForceValue(n);
  uint32_t index = 0;
  while (stbl->GetChildAtom(index) != stco) index++;
  stbl->InsertChildAtom(co64.release(), index);
  stbl->DeleteChildAtom(stco);
  Bind(kCo64Bindings);
}

void MP4Track::UpdateSampleSizes(uint32_t numBytes) {
  const uint32_t size = numBytes / m_bytesPerSample;
  const uint32_t count = GetNumberOfSamples();
  if (m_pStszFixedSampleSizeProperty) {
    const uint64_t fixed = m_pStszFixedSampleSizeProperty->GetValue();
    if (count == 0) {
      // A frame count equal to the frame's bytes would read as bytes.
      if (size != 0 && !(m_bytesPerSample > 1 && size == m_bytesPerSample)) {
        m_pStszFixedSampleSizeProperty->SetValue(size);
      } else {
        m_pStszFixedSampleSizeProperty->SetValue(0);
        SampleSizePropertyAddValue(size);
      }
    } else if (fixed != 0) {
      if (size != fixed) {
        // From one size for all to a size per sample.
        for (uint32_t i = 0; i < count; i++) SampleSizePropertyAddValue(static_cast<uint32_t>(fixed));
        m_pStszFixedSampleSizeProperty->SetValue(0);
        SampleSizePropertyAddValue(size);
      }
    } else {
      SampleSizePropertyAddValue(size);
    }
  } else {
    SampleSizePropertyAddValue(size);
  }
  m_pStszSampleCountProperty->ForceValue(uint64_t(count) + 1);
}

// The size fits the column (CheckSampleFits). Two 4-bit sizes share a
// byte, the earlier in the upper half: an odd count means the last byte
// has its lower half free.
void MP4Track::SampleSizePropertyAddValue(uint32_t size) {
  if (m_stszSampleBits == 4 && !m_pStszFixedSampleSizeProperty) {
    const uint32_t count = GetNumberOfSamples();
    if (count % 2 == 0) {
      m_pStszSampleSizeProperty->AddValue(uint64_t(size) << 4);
    } else {
      const uint32_t row = count / 2;
      m_pStszSampleSizeProperty->SetValue((m_pStszSampleSizeProperty->GetValue(row) & 0xF0) | (size & 0x0F), row);
    }
    return;
  }
  m_pStszSampleSizeProperty->AddValue(size);
}

void MP4Track::UpdateSampleTimes(uint64_t duration) {
  const uint32_t n = static_cast<uint32_t>(m_pSttsCountProperty->GetValue());
  if (n > 0 && m_pSttsSampleDeltaProperty->GetValue(n - 1) == duration) {
    m_pSttsSampleCountProperty->SetValue(m_pSttsSampleCountProperty->GetValue(n - 1) + 1, n - 1);
    return;
  }
  m_pSttsSampleCountProperty->AddValue(1);
  m_pSttsSampleDeltaProperty->AddValue(duration);
  m_pSttsCountProperty->ForceValue(uint64_t(n) + 1);
}

MP4Atom* MP4Track::AddAtom(const char* parentPath, const char* type) {
  return m_pFile->AddChildAtom(m_pTrakAtom->FindAtom(parentPath), type);
}

void MP4Track::AppendCompositionRun(uint32_t count, uint64_t renderingOffset) {
  const uint32_t n = static_cast<uint32_t>(m_pCttsCountProperty->GetValue());
  m_pCttsSampleCountProperty->AddValue(count);
  m_pCttsSampleOffsetProperty->AddValue(static_cast<uint32_t>(renderingOffset));
  m_pCttsCountProperty->ForceValue(uint64_t(n) + 1);
  m_cttsSamples += count;
}

void MP4Track::UpdateRenderingOffsets(uint32_t sampleId, uint64_t renderingOffset) {
  if (!m_pCttsCountProperty) {
    if (renderingOffset == 0) return;
    AddAtom("trak.mdia.minf.stbl", "ctts");
    MP4_ASSERT_AS(Bind(kCttsBindings),
                  "(pCttsAtom->FindProperty( \"ctts.entryCount\", (MP4Property**)&m_pCttsCountProperty))");
    m_cttsSamples = 0;
  }
  // Negative offsets are stored as their 32-bit pattern in a version-1 box.
  if (renderingOffset > UINT32_MAX) m_pCttsCountProperty->GetParentAtom()->SetVersion(1);
  const uint32_t n = static_cast<uint32_t>(m_pCttsCountProperty->GetValue());
  if (m_cttsSamples == UINT64_MAX) {
    m_cttsSamples = 0;
    for (uint32_t i = 0; i < n; i++) m_cttsSamples += m_pCttsSampleCountProperty->GetValue(i);
  }
  // The samples before this one that the table does not cover yet had no
  // offset.
  if (m_cttsSamples < sampleId - 1u) AppendCompositionRun(static_cast<uint32_t>(sampleId - 1u - m_cttsSamples), 0);
  const uint32_t runs = static_cast<uint32_t>(m_pCttsCountProperty->GetValue());
  if (runs > 0 && m_pCttsSampleOffsetProperty->GetValue(runs - 1) == static_cast<uint32_t>(renderingOffset)) {
    m_pCttsSampleCountProperty->SetValue(m_pCttsSampleCountProperty->GetValue(runs - 1) + 1, runs - 1);
    m_cttsSamples++;
    return;
  }
  AppendCompositionRun(1, renderingOffset);
}

void MP4Track::SetSampleRenderingOffset(uint32_t sampleId, uint64_t renderingOffset) {
  CheckSampleId(sampleId, "MP4Track::SetSampleRenderingOffset");
  if (renderingOffset > UINT32_MAX && renderingOffset < 0xFFFFFFFF80000000ull)
    throw MP4Error("rendering offset %llu does not fit 32 bits", "MP4SetSampleRenderingOffset",
                   static_cast<unsigned long long>(renderingOffset));
  ResetCaches();
  const uint32_t samples = GetNumberOfSamples();
  if (!m_pCttsCountProperty || m_pCttsCountProperty->GetValue() == 0) {
    // No table and no offset to set: every sample keeps its offset 0.
    if (renderingOffset == 0) return;
    UpdateRenderingOffsets(sampleId, renderingOffset);
    if (samples > sampleId) AppendCompositionRun(samples - sampleId, 0);
    return;
  }
  uint32_t first = 0;
  const uint32_t i = GetSampleCttsIndex(sampleId, &first);
  const uint32_t count = static_cast<uint32_t>(m_pCttsSampleCountProperty->GetValue(i));
  const uint64_t old = m_pCttsSampleOffsetProperty->GetValue(i);
  ResetCaches();
  if (old == static_cast<uint32_t>(renderingOffset)) return;
  if (renderingOffset > UINT32_MAX) m_pCttsCountProperty->GetParentAtom()->SetVersion(1);
  const uint32_t value = static_cast<uint32_t>(renderingOffset);
  if (count == 1) {
    m_pCttsSampleOffsetProperty->SetValue(value, i);
    return;
  }
  const uint32_t last = first + count - 1;
  const uint64_t runs = m_pCttsCountProperty->GetValue();
  if (sampleId == first) {
    m_pCttsSampleCountProperty->InsertValue(1, i);
    m_pCttsSampleOffsetProperty->InsertValue(value, i);
    m_pCttsSampleCountProperty->SetValue(count - 1, i + 1);
    m_pCttsCountProperty->ForceValue(runs + 1);
  } else if (sampleId == last) {
    m_pCttsSampleCountProperty->InsertValue(1, i + 1);
    m_pCttsSampleOffsetProperty->InsertValue(value, i + 1);
    m_pCttsSampleCountProperty->SetValue(count - 1, i);
    m_pCttsCountProperty->ForceValue(runs + 1);
  } else {
    m_pCttsSampleCountProperty->InsertValue(1, i + 1);
    m_pCttsSampleOffsetProperty->InsertValue(value, i + 1);
    m_pCttsSampleCountProperty->SetValue(sampleId - first, i);
    m_pCttsSampleCountProperty->InsertValue(last - sampleId, i + 2);
    m_pCttsSampleOffsetProperty->InsertValue(old, i + 2);
    m_pCttsCountProperty->ForceValue(runs + 2);
  }
}

void MP4Track::UpdateSyncSamples(uint32_t sampleId, bool isSyncSample) {
  if (isSyncSample) {
    if (!m_pStssCountProperty) return;  // without the table every sample is one
    const uint64_t n = m_pStssCountProperty->GetValue();
    m_pStssSampleProperty->AddValue(sampleId);
    m_pStssCountProperty->ForceValue(n + 1);
    return;
  }
  if (m_pStssCountProperty) return;
  // The first sample that is not a sync sample: the ones before it were.
  AddAtom("trak.mdia.minf.stbl", "stss");
  MP4_ASSERT_AS(Bind(kStssBindings),
                "(pStssAtom->FindProperty( \"stss.entryCount\", (MP4Property**)&m_pStssCountProperty))");
  for (uint32_t sid = 1; sid < sampleId; sid++) m_pStssSampleProperty->AddValue(sid);
  m_pStssCountProperty->ForceValue(sampleId - 1u);
}

// ---------------------------------------------------------------- durations

void MP4Track::SetHeaderValue(MP4IntegerProperty*& pProperty, const char* headerPath, uint64_t value) {
  if (value > UINT32_MAX && pProperty->GetValueBits() < 64) {
    MP4Atom* header = m_pTrakAtom->FindAtom(headerPath);
    MP4_ASSERT_AS(header, "(pHeaderAtom)");
    MP4WidenHeader(header);
    Bind(kHeaderBindings);
  }
  pProperty->SetValue(value);
}

// The track header follows the media added as one sum converted to the
// movie time scale and rounded up: summing rounded samples would run short.
void MP4Track::UpdateDurations(uint64_t duration) {
  const uint32_t mediaScale = GetTimeScale();
  if (mediaScale == 0) throw MP4Error("track %u has a time scale of 0", "MP4Track::UpdateDurations", m_trackId);
  const uint64_t media = GetDuration() + duration;
  SetHeaderValue(m_pMediaDurationProperty, "trak.mdia.mdhd", media);
  const uint64_t added = media > m_mediaDurationAtOpen ? media - m_mediaDurationAtOpen : 0;
  const uint64_t track = m_trackDurationAtOpen + MulDivUp(added, m_pFile->GetTimeScale(), mediaScale);
  SetHeaderValue(m_pTrackDurationProperty, "trak.tkhd", track);
  m_pFile->UpdateDuration(track);
}

void MP4Track::SetPresentedDuration(uint64_t duration) {
  SetHeaderValue(m_pTrackDurationProperty, "trak.tkhd", duration);
}

void MP4Track::UpdateModificationTimes() {
  const uint64_t now = MP4GetAbsTimestamp();
  m_pMediaModificationProperty->SetValue(now);
  m_pTrackModificationProperty->SetValue(now);
}

// ---------------------------------------------------------------- finishing

void MP4Track::FinishWrite() {
  WriteChunkBuffer();
  const struct {
    const char* path;
    uint32_t (MP4Track::*value)();
  } kConfiguration[] = {
      {"trak.mdia.minf.stbl.stsd.*.esds.decConfigDescr.bufferSizeDB", &MP4Track::GetMaxSampleSize},
      {"trak.mdia.minf.stbl.stsd.*.esds.decConfigDescr.maxBitrate", &MP4Track::GetMaxBitrate},
      {"trak.mdia.minf.stbl.stsd.*.esds.decConfigDescr.avgBitrate", &MP4Track::GetAvgBitrate},
  };
  for (const auto& c : kConfiguration) {
    MP4IntegerProperty* p = FindInteger(*m_pTrakAtom, c.path);
    if (!p) continue;
    // Tables read from a damaged file may not answer: the field keeps what
    // it said, and the file is still finished.
    uint64_t value = 0;
    try {
      value = (this->*c.value)();
    } catch (const MP4Error&) {
      continue;
    }
    // The buffer size field has 24 bits: a larger sample reads as the most
    // it can say rather than as its low bits.
    const MP4BitfieldProperty* bits = dynamic_cast<MP4BitfieldProperty*>(p);
    const uint64_t most = bits && bits->GetNumBits() < 64 ? (uint64_t(1) << bits->GetNumBits()) - 1 : UINT64_MAX;
    p->SetValue(value < most ? value : most);
  }
}

// ---------------------------------------------------------------- chunks

uint32_t MP4Track::GetChunkStscIndex(uint32_t chunkId) {
  MP4_ASSERT(chunkId);
  const uint32_t n = static_cast<uint32_t>(m_pStscCountProperty->GetValue());
  MP4_ASSERT_AS(n > 0, "(numStscs > 0)");
  if (chunkId < m_pStscFirstChunkProperty->GetValue(0)) throw MP4Error("assert failure", "(stscIndex != 0)");
  // The runs start at increasing chunks (checked when read, kept when
  // written): the last one that starts at or before the chunk.
  uint32_t low = 0, high = n - 1;
  while (low < high) {
    const uint32_t mid = low + (high - low + 1) / 2;
    if (m_pStscFirstChunkProperty->GetValue(mid) > chunkId)
      high = mid - 1;
    else
      low = mid;
  }
  m_cachedStscIndex = low;
  return low;
}

// The chunk's first sample, checked to be one of the track's.
uint64_t MP4Track::ChunkFirstSample(uint32_t chunkId, uint32_t* pStscIndex) {
  const uint32_t i = GetChunkStscIndex(chunkId);
  *pStscIndex = i;
  const uint64_t first = m_pStscFirstSampleProperty->GetValue(i) +
                         (chunkId - m_pStscFirstChunkProperty->GetValue(i)) * m_pStscSamplesPerChunkProperty->GetValue(i);
  if (first == 0 || first > GetNumberOfSamples())
    throw MP4Error("chunk %u starts at sample %llu of %u", "MP4Track::GetChunkTime", chunkId,
                   static_cast<unsigned long long>(first), GetNumberOfSamples());
  return first;
}

uint64_t MP4Track::GetChunkTime(uint32_t chunkId) {
  uint32_t i = 0;
  uint64_t start = 0;
  GetSampleTimes(static_cast<uint32_t>(ChunkFirstSample(chunkId, &i)), &start, nullptr);
  return start;
}

uint32_t MP4Track::GetChunkSize(uint32_t chunkId) {
  uint32_t i = 0;
  const uint64_t first = ChunkFirstSample(chunkId, &i);
  const uint64_t samples = m_pStscSamplesPerChunkProperty->GetValue(i);
  if (samples == 0) return 0;
  if (first + samples - 1 > GetNumberOfSamples())
    throw MP4Error("chunk %u runs past the last sample", "MP4Track::GetChunkSize", chunkId);
  uint64_t size = 0;
  const uint64_t fixed = m_pStszFixedSampleSizeProperty ? m_pStszFixedSampleSizeProperty->GetValue() : 0;
  if (fixed != 0) {
    size = samples * SampleSize(static_cast<uint32_t>(first));
  } else {
    for (uint64_t sid = first; sid < first + samples && size <= UINT32_MAX; sid++)
      size += SampleSize(static_cast<uint32_t>(sid));
  }
  if (size > UINT32_MAX) throw MP4Error("chunk %u is larger than 4 GiB", "MP4Track::GetChunkSize", chunkId);
  return static_cast<uint32_t>(size);
}

void MP4Track::ReadChunk(uint32_t chunkId, uint8_t** ppChunk, uint32_t* pChunkSize) {
  MP4_ASSERT(chunkId);
  MP4_ASSERT(ppChunk);
  MP4_ASSERT(pChunkSize);
  const uint64_t offset = m_pChunkOffsetProperty->GetValue(chunkId - 1);
  const uint32_t size = GetChunkSize(chunkId);
  const bool writing = m_pFile->GetMode() == 'w';
  // Read from a file that is not growing, the chunk must lie in it before a
  // buffer is sized by it.
  if (!writing) {
    const uint64_t fileSize = m_pFile->GetSize();
    if (offset > fileSize || size > fileSize - offset)
      throw MP4Error("chunk %u (%u bytes at %llu) runs past the end of the file", "MP4Track::ReadChunk", chunkId,
                     size, static_cast<unsigned long long>(offset));
  }
  std::unique_ptr<uint8_t, FreeDeleter> chunk(static_cast<uint8_t*>(MP4Malloc(size)));
  const uint64_t position = writing ? m_pFile->GetPosition() : 0;
  try {
    m_pFile->SetPosition(offset);
    m_pFile->ReadBytes(chunk.get(), size);
  } catch (...) {
    if (writing) {
      try {
        m_pFile->SetPosition(position);
      } catch (...) {
      }
    }
    throw;
  }
  if (writing) m_pFile->SetPosition(position);
  *ppChunk = chunk.release();
  *pChunkSize = size;
}

void MP4Track::RewriteChunk(uint32_t chunkId, const uint8_t* pChunk, uint32_t chunkSize) {
  MP4_ASSERT(chunkId);
  m_pChunkOffsetProperty->GetValue(chunkId - 1);  // a chunk the table has
  const uint64_t offset = m_pFile->GetPosition();
  m_pFile->WriteBytes(pChunk, chunkSize);
  MoveChunk(chunkId, offset);
}

void MP4Track::MoveChunk(uint32_t chunkId, uint64_t offset) {
  MP4_ASSERT(chunkId);
  m_pChunkOffsetProperty->GetValue(chunkId - 1);  // a chunk the table has
  if (offset > UINT32_MAX && !HasCo64ChunkOffsets()) UseCo64ChunkOffsets();
  m_pChunkOffsetProperty->SetValue(offset, chunkId - 1);
}

// ---------------------------------------------------------------- edit lists

bool MP4Track::InitEditListProperties() {
  if (Bind(kElstBindings)) return true;
  for (const MP4TrackBinding& b : kElstBindings) this->*b.member = nullptr;
  return false;
}

uint32_t MP4Track::AddEdit(uint32_t editId) {
  if (!m_pElstCountProperty) {
    m_pFile->AddDescendantAtoms(m_pTrakAtom, "edts.elst");
    if (!InitEditListProperties()) return 0;
  }
  const uint32_t n = static_cast<uint32_t>(m_pElstCountProperty->GetValue());
  if (editId == 0) editId = n + 1;
  // Checked once for all four columns, which must stay of one length.
  if (editId > n + 1u || editId == 0) throw MP4Error(ERANGE, "MP4Array::Insert");
  m_pElstMediaTimeProperty->InsertValue(0, editId - 1);
  m_pElstDurationProperty->InsertValue(0, editId - 1);
  m_pElstRateProperty->InsertValue(1, editId - 1);
  m_pElstReservedProperty->InsertValue(0, editId - 1);
  m_pElstCountProperty->ForceValue(uint64_t(n) + 1);
  return editId;
}

void MP4Track::DeleteEdit(uint32_t editId) {
  if (editId == 0) throw MP4Error("edit id can't be zero", "MP4Track::DeleteEdit");
  if (!m_pElstCountProperty || m_pElstCountProperty->GetValue() == 0)
    throw MP4Error("no edits exist", "MP4Track::DeleteEdit");
  const uint64_t n = m_pElstCountProperty->GetValue();
  if (editId > n || editId > m_pElstMediaTimeProperty->GetCount()) throw MP4Error(ERANGE, "MP4Array::Delete");
  m_pElstMediaTimeProperty->DeleteValue(editId - 1);
  m_pElstDurationProperty->DeleteValue(editId - 1);
  m_pElstRateProperty->DeleteValue(editId - 1);
  m_pElstReservedProperty->DeleteValue(editId - 1);
  m_pElstCountProperty->ForceValue(n - 1);
  if (n - 1 > 0) return;
  for (const MP4TrackBinding& b : kElstBindings) this->*b.member = nullptr;
  if (MP4Atom* edts = m_pTrakAtom->FindChildAtom("edts")) m_pTrakAtom->DeleteChildAtom(edts);
}

uint64_t MP4Track::GetEditTotalDuration(uint32_t editId) {
  if (!m_pElstCountProperty) return UINT64_MAX;
  const uint64_t n = m_pElstCountProperty->GetValue();
  if (editId == 0) {
    if (n == 0) return UINT64_MAX;
    editId = static_cast<uint32_t>(n);
  }
  if (editId > n) return UINT64_MAX;
  uint64_t total = 0;
  for (uint32_t i = 0; i < editId; i++) {
    const uint64_t segment = m_pElstDurationProperty->GetValue(i);
    total = segment > UINT64_MAX - total ? UINT64_MAX : total + segment;
  }
  return total;
}

uint64_t MP4Track::GetEditStart(uint32_t editId) {
  if (editId == 0) return UINT64_MAX;
  if (editId == 1) return 0;
  return GetEditTotalDuration(editId - 1);
}

// ---------------------------------------------------------------- composition order

namespace {

// Composition times stay far from the ends of 64 bits: a decode time plus
// a 32-bit offset, and a span's end after it, never wrap.
const int64_t kLatestTime = INT64_MAX / 4;

// A media time from the edit list as a composition time; all times beyond
// are as late as any can be.
int64_t AsCompositionTime(uint64_t when) { return when > uint64_t(kLatestTime) ? kLatestTime : int64_t(when); }

}  // namespace

void MP4Track::DropCompositionOrder() {
  m_compositionState = kCompositionUnknown;
  std::vector<CompositionEntry>().swap(m_compositionOrder);
}

void MP4Track::BuildCompositionOrder() {
  if (m_compositionState != kCompositionUnknown) return;
  const uint32_t runs = m_pCttsCountProperty ? static_cast<uint32_t>(m_pCttsCountProperty->GetValue()) : 0;
  bool reordered = false;
  for (uint32_t i = 0; i < runs && !reordered; i++)
    reordered = static_cast<uint32_t>(m_pCttsSampleOffsetProperty->GetValue(i)) != 0;
  if (!reordered) {
    m_compositionState = kDecodeOrder;
    return;
  }
  // One entry a sample: a count that the file's bytes cannot back is
  // refused before the list is sized by it.
  CheckSamplesFitFile("MP4Track::GetSampleIdFromEditTime");
  const uint32_t n = GetNumberOfSamples();
  std::vector<CompositionEntry> order;
  order.reserve(n);
  // The composition runs alongside the samples; samples after the last
  // run have no offset.
  uint32_t run = 0;
  uint64_t left = runs ? m_pCttsSampleCountProperty->GetValue(0) : 0;
  for (uint32_t sid = 1; sid <= n; sid++) {
    uint64_t start = 0, duration = 0;
    GetSampleTimes(sid, &start, &duration);
    if (start > uint64_t(kLatestTime) || duration > UINT32_MAX)
      throw MP4Error("sample %u starts too late to be ordered", "MP4Track::GetSampleIdFromEditTime", sid);
    while (left == 0 && run < runs && ++run < runs) left = m_pCttsSampleCountProperty->GetValue(run);
    int32_t offset = 0;
    if (run < runs) {
      offset = static_cast<int32_t>(static_cast<uint32_t>(m_pCttsSampleOffsetProperty->GetValue(run)));
      left--;
    }
    order.push_back({int64_t(start) + offset, sid, static_cast<uint32_t>(duration)});
  }
  std::sort(order.begin(), order.end(), [](const CompositionEntry& a, const CompositionEntry& b) {
    return a.time < b.time || (a.time == b.time && a.sampleId < b.sampleId);
  });
  m_compositionOrder.swap(order);
  m_compositionState = kCompositionOrdered;
}

uint32_t MP4Track::GetSampleIdFromCompositionTime(uint64_t when, int64_t* pStart, int64_t* pEnd) {
  BuildCompositionOrder();
  if (m_compositionState == kDecodeOrder) {
    const uint32_t sampleId = GetSampleIdFromTime(when, false);
    uint64_t start = 0, duration = 0;
    GetSampleTimes(sampleId, &start, &duration);
    if (start > uint64_t(kLatestTime) || duration > uint64_t(kLatestTime))
      throw MP4Error("time out of range", "MP4Track::GetSampleIdFromTime");
    *pStart = int64_t(start);
    *pEnd = int64_t(start + duration);
    return sampleId;
  }
  const std::vector<CompositionEntry>& order = m_compositionOrder;
  const int64_t t = AsCompositionTime(when);
  // The last sample shown from t or before (of equal times the last
  // decoded, the earlier ones being shown for no time).
  const auto after = std::upper_bound(order.begin(), order.end(), t,
                                      [](int64_t x, const CompositionEntry& e) { return x < e.time; });
  if (after == order.begin()) {
    if (order.empty()) throw MP4Error("time out of range", "MP4Track::GetSampleIdFromTime");
    *pStart = t;
    *pEnd = order.front().time;
    return 0;
  }
  const CompositionEntry& shown = *(after - 1);
  const int64_t end = after != order.end() ? after->time : shown.time + shown.duration;
  if (when > uint64_t(kLatestTime) || t >= end) throw MP4Error("time out of range", "MP4Track::GetSampleIdFromTime");
  *pStart = shown.time;
  *pEnd = end;
  return shown.sampleId;
}

bool MP4Track::GetShownSamples(uint64_t m0, uint64_t m1, uint32_t* pFirst, uint32_t* pLast) {
  BuildCompositionOrder();
  if (m0 >= m1) return false;
  if (m_compositionState == kCompositionOrdered) {
    const std::vector<CompositionEntry>& order = m_compositionOrder;
    const int64_t t0 = AsCompositionTime(m0), t1 = AsCompositionTime(m1);
    if (m0 > uint64_t(kLatestTime)) return false;
    // From the sample shown at m0 (or the first one, shown later) to the
    // last that is shown before m1.
    auto lo = std::upper_bound(order.begin(), order.end(), t0,
                               [](int64_t x, const CompositionEntry& e) { return x < e.time; });
    if (lo != order.begin()) {
      --lo;
      const int64_t end = lo + 1 != order.end() ? (lo + 1)->time : lo->time + lo->duration;
      if (end <= t0) return false;
    }
    const auto hi = std::lower_bound(order.begin(), order.end(), t1,
                                     [](const CompositionEntry& e, int64_t x) { return e.time < x; });
    if (hi <= lo) return false;
    uint32_t first = UINT32_MAX, last = 0;
    for (auto e = lo; e != hi; ++e) {
      first = std::min(first, e->sampleId);
      last = std::max(last, e->sampleId);
    }
    *pFirst = first;
    *pLast = last;
    return true;
  }
  // In decode order: the first sample that ends after m0 (or, lasting no
  // time, starts there) up to the last that starts before m1.
  const uint64_t n = GetNumberOfSamples();
  const uint32_t runs = static_cast<uint32_t>(m_pSttsCountProperty->GetValue());
  uint64_t sid = 1, elapsed = 0, first = 0, last = 0;
  for (uint32_t i = 0; i < runs && sid <= n && elapsed < m1; i++) {
    const uint64_t count = std::min<uint64_t>(m_pSttsSampleCountProperty->GetValue(i), n - sid + 1);
    const uint64_t delta = m_pSttsSampleDeltaProperty->GetValue(i);
    if (count == 0) continue;
    if (first == 0) {
      const uint64_t k = delta == 0 ? (elapsed >= m0 ? 0 : count) : (elapsed >= m0 ? 0 : (m0 - elapsed) / delta);
      if (k < count) first = sid + k;
    }
    const uint64_t span = m1 - elapsed;
    const uint64_t before = delta == 0 ? count : std::min(count, span / delta + (span % delta != 0));
    if (before) last = sid + before - 1;
    if (delta && count > (UINT64_MAX - elapsed) / delta) break;
    elapsed += count * delta;
    sid += count;
  }
  if (first == 0 || last < first) return false;
  *pFirst = static_cast<uint32_t>(first);
  *pLast = static_cast<uint32_t>(last);
  return true;
}

uint32_t MP4Track::GetPreviousSyncSample(uint32_t sampleId) {
  if (!m_pStssCountProperty) return sampleId;
  // The sample numbers rise: the last one at or before the sample.
  uint32_t low = 0, high = static_cast<uint32_t>(m_pStssCountProperty->GetValue());
  while (low < high) {
    const uint32_t mid = low + (high - low) / 2;
    if (m_pStssSampleProperty->GetValue(mid) <= sampleId)
      low = mid + 1;
    else
      high = mid;
  }
  if (low == 0) return sampleId;
  const uint64_t sync = m_pStssSampleProperty->GetValue(low - 1);
  return sync >= 1 ? static_cast<uint32_t>(sync) : sampleId;
}

// Segment durations are in the movie time scale and media times in the
// track's: the edit bounds are converted to the track's time scale (from
// the running sum, so that rounding does not add up) before they meet a
// media time.
void MP4Track::GetEditSpan(uint32_t i, uint64_t* pMovieEnd, uint64_t* pStart, uint64_t* pEnd) {
  const uint32_t movieScale = m_pFile->GetTimeScale();
  const uint32_t mediaScale = GetTimeScale();
  if (movieScale == 0 || mediaScale == 0) throw MP4Error("time scale of 0", "MP4Track::GetSampleIdFromEditTime");
  const uint64_t segment = m_pElstDurationProperty->GetValue(i);
  *pStart = MulDivUp(*pMovieEnd, mediaScale, movieScale);
  *pMovieEnd = segment > UINT64_MAX - *pMovieEnd ? UINT64_MAX : *pMovieEnd + segment;
  *pEnd = MulDivUp(*pMovieEnd, mediaScale, movieScale);
}

uint32_t MP4Track::GetSampleIdFromEditTime(uint64_t editWhen, uint64_t* pStartTime, uint64_t* pDuration) {
  const uint32_t n = m_pElstCountProperty ? static_cast<uint32_t>(m_pElstCountProperty->GetValue()) : 0;
  int64_t sampleStart = 0, sampleEnd = 0;
  if (n == 0) {
    const uint32_t sampleId = GetSampleIdFromCompositionTime(editWhen, &sampleStart, &sampleEnd);
    // Shown from its composition time, or from 0 when composed before; no
    // sample is shown from 0 up to the first composition time.
    const uint64_t start = sampleId && sampleStart > 0 ? uint64_t(sampleStart) : 0;
    if (pStartTime) *pStartTime = start;
    if (pDuration) *pDuration = uint64_t(sampleEnd) - start;
    return sampleId;
  }
  const bool wide = m_pElstMediaTimeProperty->GetValueBits() == 64;
  uint64_t movieEnd = 0, editStart = 0, editEnd = 0;
  for (uint32_t i = 0; i < n; i++) {
    GetEditSpan(i, &movieEnd, &editStart, &editEnd);
    if (editEnd <= editWhen) continue;
    const uint64_t editOffset = editWhen - editStart;
    const uint64_t mediaTime = m_pElstMediaTimeProperty->GetValue(i);
    if (mediaTime == (wide ? UINT64_MAX : UINT32_MAX)) {
      // An empty edit shows nothing.
      if (pStartTime) *pStartTime = editStart;
      if (pDuration) *pDuration = editEnd - editStart;
      return 0;
    }
    // A dwell shows its one media instant for the whole edit.
    if (m_pElstRateProperty->GetValue(i) == 0) {
      const uint32_t sampleId = GetSampleIdFromCompositionTime(mediaTime, &sampleStart, &sampleEnd);
      if (pStartTime) *pStartTime = editStart;
      if (pDuration) *pDuration = editEnd - editStart;
      return sampleId;
    }
    if (mediaTime > UINT64_MAX - editOffset) break;
    const uint64_t mediaWhen = mediaTime + editOffset;
    const uint32_t sampleId = GetSampleIdFromCompositionTime(mediaWhen, &sampleStart, &sampleEnd);
    if (sampleId == 0) {
      // The media shows nothing before its first composition time: from
      // the edit's start up to there, within the edit.
      const uint64_t gap = uint64_t(sampleEnd) - mediaTime;
      if (pStartTime) *pStartTime = editStart;
      if (pDuration) *pDuration = (gap < editEnd - editStart ? gap : editEnd - editStart);
      return 0;
    }
    // mediaWhen - sampleStart, with a composition time that may be below 0.
    const uint64_t sampleStartOffset = mediaWhen - uint64_t(sampleStart);
    // Never before the edit's start.
    const uint64_t editSampleStart = editWhen - (editOffset < sampleStartOffset ? editOffset : sampleStartOffset);
    // The sample's end on this timeline, cut at the edit's end.
    const uint64_t rest = uint64_t(sampleEnd) - mediaWhen;
    const uint64_t shownEnd = rest > UINT64_MAX - editWhen ? UINT64_MAX : editWhen + rest;
    const uint64_t duration = (shownEnd < editEnd ? shownEnd : editEnd) - editSampleStart;
    if (pStartTime) *pStartTime = editSampleStart;
    if (pDuration) *pDuration = duration;
    return sampleId;
  }
  throw MP4Error("time out of range", "MP4Track::GetSampleIdFromEditTime");
}

bool MP4Track::ForEachEditedSample(const std::function<bool(uint32_t, uint64_t)>& visit,
                                   std::vector<CopiedEdit>* pEdits) {
  const uint32_t n = m_pElstCountProperty ? static_cast<uint32_t>(m_pElstCountProperty->GetValue()) : 0;
  // Sound decodes a packet from the one before it (the overlap of its
  // transform): the packet before the first one shown goes along, hidden,
  // as the priming packet before an encoder's first does.
  const bool primed = GetType() && !strcmp(GetType(), "soun");
  const bool wide = n && m_pElstMediaTimeProperty->GetValueBits() == 64;
  uint64_t movieEnd = 0, editStart = 0, editEnd = 0;
  uint32_t copiedTo = 0;  // the last sample of the copy so far
  uint64_t copyEnd = 0;   // the copy's decoding time after it
  for (uint32_t i = 0; i < n; i++) {
    GetEditSpan(i, &movieEnd, &editStart, &editEnd);
    const uint64_t length = editEnd - editStart;
    if (length == 0) continue;
    const uint64_t mediaTime = m_pElstMediaTimeProperty->GetValue(i);
    const bool dwell = m_pElstRateProperty->GetValue(i) == 0;
    const uint64_t m0 = mediaTime, m1 = mediaTime > UINT64_MAX - length ? UINT64_MAX : mediaTime + length;
    uint32_t first = 0, last = 0;
    int64_t start = 0, end = 0;
    bool shows = mediaTime != (wide ? UINT64_MAX : UINT32_MAX);
    if (shows && dwell) {
      first = last = GetSampleIdFromCompositionTime(mediaTime, &start, &end);
      shows = first != 0;
    } else if (shows) {
      shows = GetShownSamples(m0, m1, &first, &last);
    }
    if (!shows) throw MP4Error("edit %u shows no sample", "MP4Track::ForEachEditedSample", i + 1);
    uint32_t sid = GetPreviousSyncSample(first);
    if (primed && sid == first && first > 1) sid = first - 1;
    // Decoding goes on from the copy of the edit before.
    if (copiedTo && copiedTo < first && sid <= copiedTo) sid = copiedTo + 1;
    // Where the edit starts on the copy's timeline: every sample keeps its
    // duration, so the copy's times are the source's moved by one amount,
    // and the first one shown starts inside it where the edit does.
    uint64_t copyMediaTime = 0;
    bool placed = false;
    for (; sid <= last && sid != 0; sid++) {
      uint64_t dts = 0, duration = 0;
      GetSampleTimes(sid, &dts, &duration);
      if (!placed) {
        placed = true;
        if (m0 >= dts)
          copyMediaTime = m0 - dts > UINT64_MAX - copyEnd ? UINT64_MAX - 1 : copyEnd + (m0 - dts);
        else
          copyMediaTime = dts - m0 < copyEnd ? copyEnd - (dts - m0) : 0;
      }
      if (dwell && sid == last) duration = length;
      if (!visit(sid, duration)) return false;
      copyEnd = duration > UINT64_MAX - copyEnd ? UINT64_MAX : copyEnd + duration;
    }
    if (pEdits) pEdits->push_back({copyMediaTime, m_pElstDurationProperty->GetValue(i), dwell});
    copiedTo = last;
  }
  return true;
}
