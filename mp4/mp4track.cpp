#include "mp4track.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

// Members bound from a path, all required.
struct Binding {
  const char* path;
  MP4IntegerProperty* MP4Track::*member;
};

}  // namespace

FILE* const MP4Track::kInaccessibleFile = reinterpret_cast<FILE*>(&g_inaccessible);

// ---------------------------------------------------------------- construction

MP4Track::MP4Track(MP4File& file, MP4Atom& trakAtom) : m_pFile(&file), m_pTrakAtom(&trakAtom) {
  static const Binding kRequired[] = {
      {"trak.mdia.mdhd.timeScale", &MP4Track::m_pTimeScaleProperty},
      {"trak.tkhd.duration", &MP4Track::m_pTrackDurationProperty},
      {"trak.mdia.mdhd.duration", &MP4Track::m_pMediaDurationProperty},
      {"trak.tkhd.modificationTime", &MP4Track::m_pTrackModificationProperty},
      {"trak.mdia.mdhd.modificationTime", &MP4Track::m_pMediaModificationProperty},
      {"trak.mdia.minf.stbl.stsc.entryCount", &MP4Track::m_pStscCountProperty},
      {"trak.mdia.minf.stbl.stsc.entries.firstChunk", &MP4Track::m_pStscFirstChunkProperty},
      {"trak.mdia.minf.stbl.stsc.entries.samplesPerChunk", &MP4Track::m_pStscSamplesPerChunkProperty},
      {"trak.mdia.minf.stbl.stsc.entries.sampleDescriptionIndex", &MP4Track::m_pStscSampleDescrIndexProperty},
      {"trak.mdia.minf.stbl.stsc.entries.firstSample", &MP4Track::m_pStscFirstSampleProperty},
      {"trak.mdia.minf.stbl.stts.entryCount", &MP4Track::m_pSttsCountProperty},
      {"trak.mdia.minf.stbl.stts.entries.sampleCount", &MP4Track::m_pSttsSampleCountProperty},
      {"trak.mdia.minf.stbl.stts.entries.sampleDelta", &MP4Track::m_pSttsSampleDeltaProperty},
  };
  static const Binding kStsz[] = {
      {"trak.mdia.minf.stbl.stsz.sampleCount", &MP4Track::m_pStszSampleCountProperty},
      {"trak.mdia.minf.stbl.stsz.entries.entrySize", &MP4Track::m_pStszSampleSizeProperty},
  };
  static const Binding kStz2[] = {
      {"trak.mdia.minf.stbl.stz2.sampleCount", &MP4Track::m_pStszSampleCountProperty},
      {"trak.mdia.minf.stbl.stz2.entries.entrySize", &MP4Track::m_pStszSampleSizeProperty},
      {"trak.mdia.minf.stbl.stz2.fieldSize", &MP4Track::m_pStszFieldSizeProperty},
  };
  static const Binding kStco[] = {
      {"trak.mdia.minf.stbl.stco.entryCount", &MP4Track::m_pChunkCountProperty},
      {"trak.mdia.minf.stbl.stco.entries.chunkOffset", &MP4Track::m_pChunkOffsetProperty},
  };
  static const Binding kCo64[] = {
      {"trak.mdia.minf.stbl.co64.entryCount", &MP4Track::m_pChunkCountProperty},
      {"trak.mdia.minf.stbl.co64.entries.chunkOffset", &MP4Track::m_pChunkOffsetProperty},
  };
  static const Binding kCtts[] = {
      {"trak.mdia.minf.stbl.ctts.entryCount", &MP4Track::m_pCttsCountProperty},
      {"trak.mdia.minf.stbl.ctts.entries.sampleCount", &MP4Track::m_pCttsSampleCountProperty},
      {"trak.mdia.minf.stbl.ctts.entries.sampleOffset", &MP4Track::m_pCttsSampleOffsetProperty},
  };
  static const Binding kStss[] = {
      {"trak.mdia.minf.stbl.stss.entryCount", &MP4Track::m_pStssCountProperty},
      {"trak.mdia.minf.stbl.stss.entries.sampleNumber", &MP4Track::m_pStssSampleProperty},
  };

  bool success = true;
  auto bind = [&](const Binding* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
      this->*b[i].member = FindInteger(trakAtom, b[i].path);
      success = success && this->*b[i].member != nullptr;
    }
  };
  // A group whose first (count) field is absent is left unbound, no fault.
  auto bindOptional = [&](const Binding* b, size_t n) {
    if (!FindInteger(trakAtom, b[0].path)) return false;
    bind(b, n);
    return true;
  };

  MP4IntegerProperty* trackId = FindInteger(trakAtom, "trak.tkhd.trackId");
  if (trackId) m_trackId = static_cast<uint32_t>(trackId->GetValue());
  success = trackId != nullptr;
  bind(kRequired, sizeof kRequired / sizeof *kRequired);
  MP4Property* type = nullptr;
  if (trakAtom.FindProperty("trak.mdia.hdlr.handlerType", &type) && type && type->GetType() == StringProperty)
    m_pTypeProperty = static_cast<MP4StringProperty*>(type);
  success = success && m_pTypeProperty;

  m_pStszFixedSampleSizeProperty = FindInteger(trakAtom, "trak.mdia.minf.stbl.stsz.sampleSize");
  if (m_pStszFixedSampleSizeProperty) {
    bind(kStsz, sizeof kStsz / sizeof *kStsz);
    m_stszSampleBits = 32;
  } else {
    bind(kStz2, sizeof kStz2 / sizeof *kStz2);
    if (m_pStszFieldSizeProperty) m_stszSampleBits = static_cast<uint8_t>(m_pStszFieldSizeProperty->GetValue());
  }
  if (!bindOptional(kStco, 2)) bind(kCo64, 2);
  bindOptional(kCtts, 3);
  bindOptional(kStss, 2);

  if (!success) throw MP4Error("invalid track", "MP4Track::MP4Track");
  InitBytesPerSample();
}

MP4Track::~MP4Track() {
  MP4Free(m_pCachedReadSample);
  if (m_lastSampleFile && m_lastSampleFile != kInaccessibleFile) fclose(m_lastSampleFile);
}

// Uncompressed sound ("twos", "sowt") keeps one table entry per sample
// frame: every size the track reports is multiplied by the bytes of one
// frame of all channels.
void MP4Track::InitBytesPerSample() {
  MP4Atom* stsd = m_pTrakAtom->FindAtom("trak.mdia.minf.stbl.stsd");
  if (!stsd || stsd->GetNumberOfChildAtoms() != 1) return;
  MP4Atom* entry = stsd->GetChildAtom(0);
  if (strcmp(entry->GetType(), "twos") && strcmp(entry->GetType(), "sowt")) return;
  m_bytesPerSample = static_cast<uint32_t>(entry->GetIntegerField("channels")->GetValue() *
                                           (entry->GetIntegerField("sampleSize")->GetValue() / 8));
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
  uint32_t low = 0, high = n - 1;
  while (low < high) {
    const uint32_t mid = low + (high - low + 1) / 2;
    if (m_pStscFirstSampleProperty->GetValue(mid) > sampleId)
      high = mid - 1;
    else
      low = mid;
  }
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

// ---------------------------------------------------------------- reading

void MP4Track::ReadSample(uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes, uint64_t* pStartTime,
                          uint64_t* pDuration, uint64_t* pRenderingOffset, bool* pIsSyncSample) {
  if (sampleId == 0) throw MP4Error("sample id can't be zero", "MP4Track::ReadSample");
  CheckSampleId(sampleId, "MP4Track::ReadSample");
  MP4_ASSERT(ppBytes);
  MP4_ASSERT(pNumBytes);
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

  std::unique_ptr<uint8_t, FreeDeleter> allocated;
  if (*ppBytes) {
    if (*pNumBytes < size) throw MP4Error("sample buffer is too small", "MP4Track::ReadSample");
    *pNumBytes = size;
  } else {
    *pNumBytes = size;
    allocated.reset(static_cast<uint8_t*>(MP4Malloc(size)));
    *ppBytes = allocated.get();
  }
  const bool writing = m_pFile->GetMode() == 'w';
  uint64_t oldPosition = 0;
  try {
    if (writing) oldPosition = m_pFile->GetPosition(file);
    m_pFile->SetPosition(offset, file);
    m_pFile->ReadBytes(*ppBytes, *pNumBytes, file);
    if (pStartTime || pDuration) GetSampleTimes(sampleId, pStartTime, pDuration);
    if (pRenderingOffset) *pRenderingOffset = GetSampleRenderingOffset(sampleId);
    if (pIsSyncSample) *pIsSyncSample = IsSyncSample(sampleId);
    if (writing) m_pFile->SetPosition(oldPosition, file);
  } catch (...) {
    if (allocated) *ppBytes = nullptr;
    if (writing) {
      try {
        m_pFile->SetPosition(oldPosition, file);
      } catch (...) {
      }
    }
    throw;
  }
  allocated.release();
}

void MP4Track::ReadSampleFragment(uint32_t sampleId, uint32_t offset, uint16_t length, uint8_t* pDest) {
  if (sampleId == 0) throw MP4Error("invalid sample id", "MP4Track::ReadSampleFragment");
  if (sampleId != m_cachedReadSampleId) {
    MP4Free(m_pCachedReadSample);
    m_pCachedReadSample = nullptr;
    m_cachedReadSampleSize = 0;
    m_cachedReadSampleId = 0;
    ReadSample(sampleId, &m_pCachedReadSample, &m_cachedReadSampleSize);
    m_cachedReadSampleId = sampleId;
  }
  if (uint64_t(offset) + length > m_cachedReadSampleSize)
    throw MP4Error("offset and/or length are too large", "MP4Track::ReadSampleFragment");
  if (length) memcpy(pDest, m_pCachedReadSample + offset, length);
}
