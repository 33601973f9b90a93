// One track of an open MP4 file. At construction it binds itself to the
// fields of its "trak" subtree (headers, handler, sample tables); sample
// lookups then read those tables directly, never walking the tree again.
// Sample ids and chunk ids count from 1.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mp4property.h"

class MP4Atom;
class MP4File;

class MP4Track {
 public:
  // Throws "invalid track" when a required field is missing.
  MP4Track(MP4File& file, MP4Atom& trakAtom);
  // Frees the fragment cache and closes an external sample file; the bound
  // properties belong to the atoms.
  virtual ~MP4Track();
  MP4Track(const MP4Track&) = delete;
  MP4Track& operator=(const MP4Track&) = delete;

  MP4File& GetFile() const { return *m_pFile; }
  MP4Atom& GetTrakAtom() const { return *m_pTrakAtom; }
  uint32_t GetId() const { return m_trackId; }
  // The handler type ("vide", "soun", ...), owned by its property.
  const char* GetType();
  void SetType(const char* type);

  uint32_t GetNumberOfSamples();
  uint64_t GetDuration();
  uint32_t GetTimeScale();

  // Per-sample lookups throw "sample id out of range" for 0 and for ids
  // beyond the sample count, whatever the other tables would answer.
  uint32_t GetSampleSize(uint32_t sampleId);
  uint32_t GetSampleStscIndex(uint32_t sampleId);
  uint64_t GetSampleFileOffset(uint32_t sampleId);
  // NULL: the MP4 file itself; kInaccessibleFile: nowhere to read it;
  // otherwise a file of a data reference, owned by the track.
  FILE* GetSampleFile(uint32_t sampleId);
  static FILE* const kInaccessibleFile;
  // Either output may be NULL; media time-scale units.
  void GetSampleTimes(uint32_t sampleId, uint64_t* pStartTime, uint64_t* pDuration);
  // The composition offset as stored (a signed offset reads as its 32-bit
  // pattern); 0 without "ctts".
  uint64_t GetSampleRenderingOffset(uint32_t sampleId);
  uint32_t GetSampleCttsIndex(uint32_t sampleId, uint32_t* pFirstSampleId = nullptr);
  bool IsSyncSample(uint32_t sampleId);
  // The first sync sample at or after sampleId; 0 when there is none.
  uint32_t GetNextSyncSample(uint32_t sampleId);
  // The first sample whose time span holds the time; with wantSyncSample,
  // the next sync sample from there.
  uint32_t GetSampleIdFromTime(uint64_t when, bool wantSyncSample = false);

  // *ppBytes NULL: a buffer of the sample's size is malloc'ed (none for an
  // empty sample) and belongs to the caller; otherwise *pNumBytes is the
  // caller's buffer size. The optional outputs may be NULL. On failure a
  // buffer allocated here is freed and *ppBytes is NULL again.
  void ReadSample(uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes, uint64_t* pStartTime = nullptr,
                  uint64_t* pDuration = nullptr, uint64_t* pRenderingOffset = nullptr,
                  bool* pIsSyncSample = nullptr);
  // Copies length bytes from offset of the sample, which stays cached.
  void ReadSampleFragment(uint32_t sampleId, uint32_t offset, uint16_t length, uint8_t* pDest);

  // The delta of a one-run "stts", all ones with more runs, the stored
  // value without any.
  uint64_t GetFixedSampleDuration();
  uint32_t GetMaxSampleSize();
  uint64_t GetTotalOfSampleSizes();

 private:
  // "sample id out of range" unless 1 <= sampleId <= the sample count.
  void CheckSampleId(uint32_t sampleId, const char* where);
  // The size from the tables, before the range test.
  uint32_t SampleSize(uint32_t sampleId);
  void InitBytesPerSample();
  // Opens what a "file:" data reference names, inside the folder of the
  // MP4 file only; kInaccessibleFile for anything else.
  FILE* OpenDataReference(const char* location);

  MP4File* m_pFile;
  MP4Atom* m_pTrakAtom;
  uint32_t m_trackId = 0;
  MP4StringProperty* m_pTypeProperty = nullptr;

  // Sample-file cache: the sample description it belongs to (0: empty).
  uint32_t m_lastStsdIndex = 0;
  FILE* m_lastSampleFile = nullptr;

  // Fragment cache: one whole sample.
  uint32_t m_cachedReadSampleId = 0;
  uint8_t* m_pCachedReadSample = nullptr;
  uint32_t m_cachedReadSampleSize = 0;

  uint64_t m_fixedSampleDuration = 0;
  uint32_t m_bytesPerSample = 1;

  MP4IntegerProperty* m_pTimeScaleProperty = nullptr;
  MP4IntegerProperty* m_pTrackDurationProperty = nullptr;
  MP4IntegerProperty* m_pMediaDurationProperty = nullptr;
  MP4IntegerProperty* m_pTrackModificationProperty = nullptr;
  MP4IntegerProperty* m_pMediaModificationProperty = nullptr;

  // Sizes: the "stsz" form has the fixed size bound, the "stz2" form not.
  MP4IntegerProperty* m_pStszFixedSampleSizeProperty = nullptr;
  MP4IntegerProperty* m_pStszSampleCountProperty = nullptr;
  MP4IntegerProperty* m_pStszSampleSizeProperty = nullptr;
  MP4IntegerProperty* m_pStszFieldSizeProperty = nullptr;
  uint8_t m_stszSampleBits = 32;

  MP4IntegerProperty* m_pStscCountProperty = nullptr;
  MP4IntegerProperty* m_pStscFirstChunkProperty = nullptr;
  MP4IntegerProperty* m_pStscSamplesPerChunkProperty = nullptr;
  MP4IntegerProperty* m_pStscSampleDescrIndexProperty = nullptr;
  MP4IntegerProperty* m_pStscFirstSampleProperty = nullptr;

  MP4IntegerProperty* m_pChunkCountProperty = nullptr;
  MP4IntegerProperty* m_pChunkOffsetProperty = nullptr;

  MP4IntegerProperty* m_pSttsCountProperty = nullptr;
  MP4IntegerProperty* m_pSttsSampleCountProperty = nullptr;
  MP4IntegerProperty* m_pSttsSampleDeltaProperty = nullptr;

  MP4IntegerProperty* m_pCttsCountProperty = nullptr;
  MP4IntegerProperty* m_pCttsSampleCountProperty = nullptr;
  MP4IntegerProperty* m_pCttsSampleOffsetProperty = nullptr;

  MP4IntegerProperty* m_pStssCountProperty = nullptr;
  MP4IntegerProperty* m_pStssSampleProperty = nullptr;

  // Time-to-sample cache: the run, its first sample (0: empty) and the time
  // before it. Composition cache likewise. Both hold only what a successful
  // lookup found.
  uint32_t m_cachedSttsIndex = 0;
  uint64_t m_cachedSttsSid = 0;
  uint64_t m_cachedSttsElapsed = 0;
  uint32_t m_cachedCttsIndex = 0;
  uint64_t m_cachedCttsSid = 0;

  // In-chunk offset cache: a sample (0: empty), the first sample of its
  // chunk and the bytes before it in the chunk, so that reading a chunk's
  // samples in order sums each size once.
  uint32_t m_cachedOffsetSid = 0;
  uint32_t m_cachedOffsetChunkSid = 0;
  uint64_t m_cachedOffsetInChunk = 0;
};
