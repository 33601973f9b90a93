// One track of an open MP4 file. At construction it binds itself to the
// fields of its "trak" subtree (headers, handler, sample tables); sample
// lookups then read those tables directly, never walking the tree again.
// Sample ids and chunk ids count from 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "mp4property.h"

class MP4Atom;
class MP4File;
struct MP4TrackBinding;

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
  // Copies length bytes from offset of the sample; only those bytes are
  // read.
  void ReadSampleFragment(uint32_t sampleId, uint32_t offset, uint16_t length, uint8_t* pDest);

  // The delta of a one-run "stts", all ones with more runs, the stored
  // value without any.
  uint64_t GetFixedSampleDuration();
  // Stored only while "stts" is empty.
  void SetFixedSampleDuration(uint64_t duration);
  uint32_t GetMaxSampleSize();
  uint64_t GetTotalOfSampleSizes();
  // Bits per second over the media duration (rounded up), and the most
  // bytes that start in any one second (from a sample's start), times 8.
  uint32_t GetAvgBitrate();
  uint32_t GetMaxBitrate();

  // ---- writing, while the file is open for writing or modification

  // Appends a sample after the last one (a track read from a file goes on
  // after its samples). duration all ones: the fixed sample duration. The
  // tables take the sample at once; its bytes wait in the chunk buffer
  // until the chunk is full (samples per chunk, else one second of media).
  // Nothing changes when the sample is refused: no bytes with a size, a
  // duration or size beyond what the tables hold, a rendering offset that
  // is no 32-bit value.
  void WriteSample(const uint8_t* pBytes, uint32_t numBytes, uint64_t duration, uint64_t renderingOffset,
                   bool isSyncSample);
  // Changes the composition offset of a sample written before.
  void SetSampleRenderingOffset(uint32_t sampleId, uint64_t renderingOffset);
  // Writes the chunk buffer out and sets the decoder configuration's
  // buffer size and bit rates; once per track when the file is closed.
  virtual void FinishWrite();
  // A chunk closes after samplesPerChunk samples; with 0, once it holds
  // durationPerChunk of media time.
  void SetSamplesPerChunk(uint32_t samplesPerChunk) { m_samplesPerChunk = samplesPerChunk; }
  void SetDurationPerChunk(uint64_t durationPerChunk) { m_durationPerChunk = durationPerChunk; }

  // ---- chunks, which the optimising rewrite copies one by one

  uint32_t GetNumberOfChunks();
  // Where the chunk starts in its file.
  uint64_t GetChunkOffset(uint32_t chunkId);
  // The start time of the chunk's first sample.
  uint64_t GetChunkTime(uint32_t chunkId);
  uint32_t GetChunkSize(uint32_t chunkId);
  // A malloc'ed buffer (none for an empty chunk) that the caller frees.
  void ReadChunk(uint32_t chunkId, uint8_t** ppChunk, uint32_t* pChunkSize);
  // Writes the chunk's bytes at the file's position and moves its offset
  // there; the chunk holds the same samples as before.
  void RewriteChunk(uint32_t chunkId, const uint8_t* pChunk, uint32_t chunkSize);
  // Moves the chunk's offset to where its bytes are (or are to be) written.
  void MoveChunk(uint32_t chunkId, uint64_t offset);
  // "stco" becomes "co64", offsets kept.
  void UseCo64ChunkOffsets();
  bool HasCo64ChunkOffsets();

  // ---- edit lists: segment durations in the movie time scale, media
  // times in the track's; edit ids count from 1

  // Binds the five columns of "edts.elst"; false when the track has none.
  bool InitEditListProperties();
  // A new edit (media time 0, duration 0, normal rate) at editId, or after
  // the last for 0; "edts" and "elst" are made for the first.
  uint32_t AddEdit(uint32_t editId);
  // Removing the last edit removes "edts".
  void DeleteEdit(uint32_t editId);
  // Segment durations summed up to editId (0: all); all ones without such
  // an edit.
  uint64_t GetEditTotalDuration(uint32_t editId);
  uint64_t GetEditStart(uint32_t editId);
  // The sample presented at a time of the track's time scale, and its
  // start and duration on that timeline, cut to the edit that shows it.
  // Edits map presentation times to composition times (decode time plus
  // composition offset); without an edit list the presentation time is the
  // composition time. A time that shows no sample (inside an empty edit,
  // media time -1, or before the media's first composition time) gives 0
  // with the start and length of that stretch. Either output may be NULL.
  uint32_t GetSampleIdFromEditTime(uint64_t editWhen, uint64_t* pStartTime, uint64_t* pDuration);
  // The sample shown at a composition time of the track's time scale, with
  // the span it is shown for: from its composition time to the next later
  // composition time of the track (the last one: its own duration). 0 for
  // a time before the first sample is shown, *pEnd then being that first
  // composition time; "time out of range" from the end of the last span on.
  uint32_t GetSampleIdFromCompositionTime(uint64_t when, int64_t* pStart, int64_t* pEnd);
  // The samples of a copy that applies the edit list, in decode order, each
  // with the duration it is to be written with. For each edit: from the
  // sync sample that decoding its first shown sample (in decode order)
  // starts at (sound: the packet before the first one shown, which its
  // decoding needs), or from where the copy of the edit before it ends when
  // decoding can go on from there, to the last sample it shows. A sample
  // that a dwell shows lasts the dwell; every other sample keeps its own
  // duration. An edit of some length that shows no sample throws. visit
  // returns false to stop; the result is then false. With pEdits, the
  // edits that make the copy present what this track presents: each
  // edit's media time on the copy's timeline (its first sample at 0), inside
  // the first sample shown where the edit starts inside it, so that what
  // is decoded only to reach the first one shown stays hidden, with the
  // edit's length in the
  // movie time scale and whether it dwells.
  struct CopiedEdit {
    uint64_t mediaTime;
    uint64_t segmentDuration;
    bool dwell;
  };
  bool ForEachEditedSample(const std::function<bool(uint32_t sampleId, uint64_t duration)>& visit,
                           std::vector<CopiedEdit>* pEdits = nullptr);
  // The track header's duration, in the movie time scale: how long its
  // edits show it.
  void SetPresentedDuration(uint64_t duration);

 private:
  // "sample id out of range" unless 1 <= sampleId <= the sample count.
  void CheckSampleId(uint32_t sampleId, const char* where);
  // The size from the tables, before the range test.
  uint32_t SampleSize(uint32_t sampleId);
  // The file (as GetSampleFile), position and size of a sample that lies
  // whole inside its file; a sample still buffered for writing is written
  // first.
  FILE* LocateSample(uint32_t sampleId, uint64_t* pOffset, uint32_t* pSize);
  // numBytes at a position of that file; a file being written keeps its
  // position.
  void ReadAt(FILE* file, uint64_t position, uint8_t* pBytes, uint32_t numBytes);
  void InitBytesPerSample();
  // The track is uncompressed sound whose one size for all is the bytes of
  // a frame, the form that counts sizes in bytes (it has samples).
  bool IsSoundFramesAsBytes();
  // Opens what a "file:" data reference names, inside the folder of the
  // MP4 file only; kInaccessibleFile for anything else.
  FILE* OpenDataReference(const char* location);
  // Binds a group of fields below the trak; false when one is missing.
  template <size_t N>
  bool Bind(const MP4TrackBinding (&bindings)[N]);
  // The groups bound again after a table or header is made or replaced.
  static const MP4TrackBinding kHeaderBindings[5];
  static const MP4TrackBinding kStcoBindings[2];
  static const MP4TrackBinding kCo64Bindings[2];
  static const MP4TrackBinding kCttsBindings[3];
  static const MP4TrackBinding kStssBindings[2];
  static const MP4TrackBinding kElstBindings[5];
  void ResetCaches();
  // Orders the samples by composition time once a lookup needs it; a
  // track whose composition offsets are all 0 (or that has none) keeps
  // decode order and no list.
  void BuildCompositionOrder();
  void DropCompositionOrder();
  // The first and last sample in decode order of those shown from media
  // time m0 up to m1 (composition times); false when none is.
  bool GetShownSamples(uint64_t m0, uint64_t m1, uint32_t* pFirst, uint32_t* pLast);
  // The last sync sample at or before the sample; the sample itself when
  // every sample is one or none comes before it.
  uint32_t GetPreviousSyncSample(uint32_t sampleId);
  // The start and end of edit i in the track's time scale, from the end of
  // the edit before it (*pMovieEnd, the durations summed in the movie's).
  void GetEditSpan(uint32_t i, uint64_t* pMovieEnd, uint64_t* pStart, uint64_t* pEnd);

  // Throws when samples of one size for all claim more bytes than the file
  // has held, before anything walks them one by one.
  void CheckSamplesFitFile(const char* where);
  // Writing one sample: the steps, each keeping one table current.
  void CheckSampleFits(uint32_t numBytes, uint64_t duration, uint64_t renderingOffset);
  void WriteChunkBuffer();
  // The two halves of WriteChunkBuffer: the buffered samples written (the
  // position of their first byte returned; on a failure nothing is
  // changed), then the chunk entered in the tables and the buffer emptied.
  uint64_t WriteChunkBytes();
  void EnterChunk(uint64_t offset);
  bool IsChunkFull();
  void UpdateSampleSizes(uint32_t numBytes);
  void SampleSizePropertyAddValue(uint32_t size);
  void UpdateSampleToChunk(uint32_t sampleId, uint32_t chunkId, uint32_t samplesPerChunk);
  void UpdateChunkOffsets(uint64_t chunkOffset);
  void UpdateSampleTimes(uint64_t duration);
  void UpdateRenderingOffsets(uint32_t sampleId, uint64_t renderingOffset);
  void AppendCompositionRun(uint32_t count, uint64_t renderingOffset);
  void UpdateSyncSamples(uint32_t sampleId, bool isSyncSample);
  MP4Atom* AddAtom(const char* parentPath, const char* type);
  void UpdateDurations(uint64_t duration);
  void UpdateModificationTimes();
  // A header field that must hold a value beyond 32 bits turns its header
  // to version 1 first.
  void SetHeaderValue(MP4IntegerProperty*& pProperty, const char* headerPath, uint64_t value);
  uint32_t GetChunkStscIndex(uint32_t chunkId);
  uint64_t ChunkFirstSample(uint32_t chunkId, uint32_t* pStscIndex);

  MP4File* m_pFile;
  MP4Atom* m_pTrakAtom;
  uint32_t m_trackId = 0;
  MP4StringProperty* m_pTypeProperty = nullptr;

  // Sample-file cache: the sample description it belongs to (0: empty).
  uint32_t m_lastStsdIndex = 0;
  FILE* m_lastSampleFile = nullptr;

  uint64_t m_fixedSampleDuration = 0;
  uint32_t m_bytesPerSample = 1;
  // Bytes of one frame of all channels of uncompressed sound; 0 for any
  // other track.
  uint32_t m_soundFrameBytes = 0;

  // Write state. Samples are appended after the last one of the tables.
  uint32_t m_writeSampleId = 1;
  uint8_t* m_pChunkBuffer = nullptr;
  uint32_t m_chunkBufferSize = 0;
  uint32_t m_chunkBufferCapacity = 0;
  uint32_t m_chunkSamples = 0;
  uint64_t m_chunkDuration = 0;
  uint32_t m_samplesPerChunk = 0;
  uint64_t m_durationPerChunk = 0;
  // -1 not known yet, 0 an AMR track ("samr", "sawb"), 1 any other; a chunk
  // holds frames of one AMR mode.
  int32_t m_isAmr = -1;
  uint8_t m_curMode = 0;
  // The durations when the track was bound: the track header grows by the
  // media added since, converted to the movie time scale as one sum.
  uint64_t m_mediaDurationAtOpen = 0;
  uint64_t m_trackDurationAtOpen = 0;
  // Samples the composition table covers; UINT64_MAX until counted.
  uint64_t m_cttsSamples = UINT64_MAX;

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

  // The edit list: all bound or none.
  MP4IntegerProperty* m_pElstCountProperty = nullptr;
  MP4IntegerProperty* m_pElstMediaTimeProperty = nullptr;
  MP4IntegerProperty* m_pElstDurationProperty = nullptr;
  MP4IntegerProperty* m_pElstRateProperty = nullptr;
  MP4IntegerProperty* m_pElstReservedProperty = nullptr;

  // Time-to-sample cache: the run, its first sample (0: empty) and the time
  // before it. Composition cache likewise. Both hold only what a successful
  // lookup found.
  uint32_t m_cachedSttsIndex = 0;
  uint64_t m_cachedSttsSid = 0;
  uint64_t m_cachedSttsElapsed = 0;
  uint32_t m_cachedCttsIndex = 0;
  uint64_t m_cachedCttsSid = 0;

  // Composition order: built on the first lookup that needs it, dropped
  // whenever the tables change. Times are decode times plus signed 32-bit
  // offsets, as every reader takes them.
  struct CompositionEntry {
    int64_t time;
    uint32_t sampleId;
    uint32_t duration;
  };
  enum CompositionState : uint8_t { kCompositionUnknown, kDecodeOrder, kCompositionOrdered };
  CompositionState m_compositionState = kCompositionUnknown;
  std::vector<CompositionEntry> m_compositionOrder;

  // The sample-to-chunk run of the last lookup (a hint, checked before use).
  uint32_t m_cachedStscIndex = 0;

  // In-chunk offset cache: a sample (0: empty), the first sample of its
  // chunk and the bytes before it in the chunk, so that reading a chunk's
  // samples in order sums each size once.
  uint32_t m_cachedOffsetSid = 0;
  uint32_t m_cachedOffsetChunkSid = 0;
  uint64_t m_cachedOffsetInChunk = 0;
};
