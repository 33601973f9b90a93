// The MP4 library's function interface: open an MP4 file, ask about its
// tracks and read their samples through an opaque handle; create, modify
// and optimise files, add tracks and write their samples and edit lists.
//
// Conventions that every function follows:
// - Handles. A handle comes from MP4Read, MP4ReadEx, MP4Create,
//   MP4CreateEx or MP4Modify and is released by MP4Close, which finishes a
//   file opened for writing; NULL is the invalid handle, and every function
//   given NULL returns its neutral value at once. A function that changes
//   the file fails on a handle opened for reading.
// - Ids and times. Track ids and sample ids are unsigned 32-bit, sample ids
//   count from 1, and 0 means none. Times and durations are unsigned 64-bit
//   counts in the units of a time scale (ticks per second); all 64 bits set
//   means an invalid time or duration.
// - Failures. No exception of any kind leaves a function. A failure returns
//   the function's neutral value: false, 0, NULL, all ones for times and
//   durations, and the values named beside the functions below. Outputs are
//   left untouched on failure unless the function says otherwise. With bit 0
//   of the verbosity set the failure is printed to stderr as one
//   "MP4ERROR: " line (or handed to the callback of MP4SetLibFunc).
// - Ownership. Texts returned (track types, sample-entry names, string
//   fields, URLs, session descriptions) belong to the open file: do not free
//   them; they stay valid until MP4Close, also after what they were taken
//   from is set again or removed (a field set, a track deleted, metadata or
//   chapters removed). Each is a copy that the file keeps until it is
//   closed; asking again for an unchanged text gives the same copy, so the
//   file holds each different text it handed out until MP4Close. Buffers
//   and arrays handed out through output arguments are malloc'ed and belong
//   to the caller, who frees them with free or MP4Free.
// - Threads. A handle and everything reached through it is used by one
//   thread at a time (even reads move the file position and the lookup
//   caches). Distinct handles are independent, apart from the process-wide
//   message callback, which is set once before files are opened.
// - Languages. The header is C99 as well as C++: every function has C
//   linkage (an unmangled name), and bool is C's _Bool, one byte like C++'s.
#pragma once

#ifdef __cplusplus
#include <cstdint>
#include <cstdio>
#else
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#endif

#include "virtual_io.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* MP4FileHandle;

// The encryption settings written into the "sinf" box of an encrypted
// track's sample entry: scheme type and version, the key indicator and IV
// lengths, selective encryption, and the key management URI.
typedef struct MP4IsmaCrypParams {
  uint32_t scheme_type;
  uint16_t scheme_version;
  uint8_t key_ind_len;
  uint8_t iv_len;
  uint8_t selective_enc;
  const char* kms_uri;
} MP4IsmaCrypParams;

// The process-wide receiver of printed failures (level 3, tag "MP4ERROR",
// "%s:%s:%s" with the operation, the message and the system error text);
// NULL prints to stderr again.
typedef void (*MP4LibFunc)(int loglevel, const char* lib, const char* fmt, ...);
void MP4SetLibFunc(MP4LibFunc callback);

// ---------------------------------------------------------------- opening and closing

// Opens the file read-only and reads its whole box tree and track list; a
// track whose tables are incomplete is left out. NULL when the file cannot
// be opened or has no movie header.
MP4FileHandle MP4Read(const char* fileName, uint32_t verbosity);
// The same through the caller's file-access table over userData; fileName
// names the file (data references are resolved in its folder). The table's
// Close is called with userData when the handle is released, also when the
// open fails.
MP4FileHandle MP4ReadEx(const char* fileName, void* userData, Virtual_IO* virtualIO, uint32_t verbosity);
// Releases the handle; NULL is ignored. Nothing is written to a file opened
// for reading. A file opened for writing gets its movie last, after its
// samples; a write that fails, or a close of the file that fails (what was
// written may not be on the disk), is printed with the system's text, as
// every failure is.
void MP4Close(MP4FileHandle hFile);
// The box tree as text ("Dumping <name> meta-information..." first); NULL
// stream: stdout.
bool MP4Dump(MP4FileHandle hFile, FILE* pDumpFile, bool dumpImplicits);
uint32_t MP4GetVerbosity(MP4FileHandle hFile);
void MP4SetVerbosity(MP4FileHandle hFile, uint32_t verbosity);
// free(); NULL is allowed.
void MP4Free(void* p);

// ---------------------------------------------------------------- the movie

// The movie time scale and duration (movie header). Neutral 0; all ones.
uint32_t MP4GetTimeScale(MP4FileHandle hFile);
uint64_t MP4GetDuration(MP4FileHandle hFile);
// Profile levels of the initial object descriptor. Neutral 0.
uint8_t MP4GetODProfileLevel(MP4FileHandle hFile);
uint8_t MP4GetSceneProfileLevel(MP4FileHandle hFile);
uint8_t MP4GetAudioProfileLevel(MP4FileHandle hFile);
uint8_t MP4GetGraphicsProfileLevel(MP4FileHandle hFile);
// The visual profile level; without one in the initial object descriptor,
// that of an MPEG-4 Visual track's configuration. Neutral 0.
uint8_t MP4GetVideoProfileLevel(MP4FileHandle hFile, uint32_t trackId);
uint64_t MP4ConvertFromMovieDuration(MP4FileHandle hFile, uint64_t duration, uint32_t timeScale);

// ---------------------------------------------------------------- fields by dotted path

// Paths such as "moov.mvhd.timeScale" or "moov.trak[1].tkhd.trackId": atom
// types (a common prefix matches, ignoring case; "*" matches any; [n] picks
// the n-th match from 0), then a field name, [row] for a table row.
bool MP4HaveAtom(MP4FileHandle hFile, const char* atomName);
bool MP4GetIntegerProperty(MP4FileHandle hFile, const char* propName, uint64_t* retvalue);
bool MP4GetFloatProperty(MP4FileHandle hFile, const char* propName, float* retvalue);
// The text as stored (see Ownership); a field of 16-bit characters (as in
// some content descriptors) ends in a 16-bit zero.
bool MP4GetStringProperty(MP4FileHandle hFile, const char* propName, const char** retvalue);
// Failure (and NULL handle): *ppValue NULL and *pValueSize 0.
bool MP4GetBytesProperty(MP4FileHandle hFile, const char* propName, uint8_t** ppValue, uint32_t* pValueSize);
// The same below a track's "trak" atom ("mdia.mdhd.timeScale").
bool MP4HaveTrackAtom(MP4FileHandle hFile, uint32_t trackId, const char* atomName);
bool MP4GetTrackIntegerProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, uint64_t* retvalue);
bool MP4GetTrackFloatProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, float* retvalue);
bool MP4GetTrackStringProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, const char** retvalue);
bool MP4GetTrackBytesProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, uint8_t** ppValue,
                              uint32_t* pValueSize);

// ---------------------------------------------------------------- tracks

// type NULL: all tracks; else a handler type or a word for one ("video",
// "vide", "avc1", "audio", "soun", ...). subType, for video and sound, keeps
// only the tracks of that ES object type (0: all).
uint32_t MP4GetNumberOfTracks(MP4FileHandle hFile, const char* type, uint8_t subType);
// The id of the index-th such track, counted from 0; 0 when there is none.
uint32_t MP4FindTrackId(MP4FileHandle hFile, uint16_t index, const char* type, uint8_t subType);
// The place of the track in the track list; neutral 0xFFFF.
uint16_t MP4FindTrackIndex(MP4FileHandle hFile, uint32_t trackId);
// The handler type: "vide", "soun", "hint", "odsm", "sdsm", "text", ...
const char* MP4GetTrackType(MP4FileHandle hFile, uint32_t trackId);
// The type of the first sample entry: "avc1", "hvc1", "hev1", "mp4v",
// "mp4a", ...
const char* MP4GetTrackMediaDataName(MP4FileHandle hFile, uint32_t trackId);
// The original format of an encrypted entry, four characters and a NUL
// into a buffer of at least 5 bytes.
bool MP4GetTrackMediaDataOriginalFormat(MP4FileHandle hFile, uint32_t trackId, char* originalFormat,
                                        uint32_t buflen);
bool MP4IsIsmaCrypMediaTrack(MP4FileHandle hFile, uint32_t trackId);

uint64_t MP4GetTrackDuration(MP4FileHandle hFile, uint32_t trackId);
uint32_t MP4GetTrackTimeScale(MP4FileHandle hFile, uint32_t trackId);
// The one sample duration of the track, all ones when they differ.
uint64_t MP4GetTrackFixedSampleDuration(MP4FileHandle hFile, uint32_t trackId);
// The ES descriptor's average bit rate, else total bytes over the duration.
uint32_t MP4GetTrackBitRate(MP4FileHandle hFile, uint32_t trackId);
uint64_t MP4ConvertFromTrackTimestamp(MP4FileHandle hFile, uint32_t trackId, uint64_t timeStamp, uint32_t timeScale);
uint64_t MP4ConvertToTrackTimestamp(MP4FileHandle hFile, uint32_t trackId, uint64_t timeStamp, uint32_t timeScale);
uint64_t MP4ConvertFromTrackDuration(MP4FileHandle hFile, uint32_t trackId, uint64_t duration, uint32_t timeScale);
uint64_t MP4ConvertToTrackDuration(MP4FileHandle hFile, uint32_t trackId, uint64_t duration, uint32_t timeScale);

// ---------------------------------------------------------------- decoder configuration

// The object type indication of the track's ES descriptor.
uint8_t MP4GetTrackEsdsObjectTypeId(MP4FileHandle hFile, uint32_t trackId);
// The decoder-specific configuration bytes of the ES descriptor. Failure
// (and NULL handle): *ppConfig NULL and *pConfigSize 0.
bool MP4GetTrackESConfiguration(MP4FileHandle hFile, uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize);
// The MPEG-4 audio object type of an MPEG-4 audio track, else 0.
uint8_t MP4GetTrackAudioMpeg4Type(MP4FileHandle hFile, uint32_t trackId);
// Failure (and NULL handle): both outputs zeroed.
bool MP4GetTrackVideoMetadata(MP4FileHandle hFile, uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize);
uint16_t MP4GetTrackVideoWidth(MP4FileHandle hFile, uint32_t trackId);
uint16_t MP4GetTrackVideoHeight(MP4FileHandle hFile, uint32_t trackId);
// Samples per second over the whole track. Neutral 0.0.
double MP4GetTrackVideoFrameRate(MP4FileHandle hFile, uint32_t trackId);
// Neutral -1.
int MP4GetTrackAudioChannels(MP4FileHandle hFile, uint32_t trackId);
// The AVC parameter sets (without start codes or lengths) of an "avc1" or
// "encv" track: four malloc'ed arrays, each one entry longer than its sets:
// the sequence sets and their sizes, the picture sets and their sizes; the
// pointer arrays end in NULL, the size arrays in 0. The caller frees every
// set and every array. Another sample entry, or none found: all four NULL.
void MP4GetTrackH264SeqPictHeaders(MP4FileHandle hFile, uint32_t trackId, uint8_t*** pSeqHeaders,
                                   uint32_t** pSeqHeaderSize, uint8_t*** pPictHeaders, uint32_t** pPictHeaderSize);
// The bytes of the length in front of each NAL unit (1, 2 or 4).
bool MP4GetTrackH264LengthSize(MP4FileHandle hFile, uint32_t trackId, uint32_t* pLength);
bool MP4GetTrackH264ProfileLevel(MP4FileHandle hFile, uint32_t trackId, uint8_t* pProfile, uint8_t* pLevel);

// ---------------------------------------------------------------- samples

uint32_t MP4GetTrackNumberOfSamples(MP4FileHandle hFile, uint32_t trackId);
uint32_t MP4GetTrackMaxSampleSize(MP4FileHandle hFile, uint32_t trackId);
uint32_t MP4GetSampleSize(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId);
// Decode time and duration in the track's time scale. Neutral all ones,
// also for a sample id beyond the track.
uint64_t MP4GetSampleTime(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId);
uint64_t MP4GetSampleDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId);
// The composition offset as stored (a negative offset reads as its 32-bit
// pattern); 0 for a track without one.
uint64_t MP4GetSampleRenderingOffset(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId);
// 1 sync, 0 not; neutral -1.
int8_t MP4GetSampleSync(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId);
// The first sample whose span holds the time (a time at the end of the
// track has none); with wantSyncSample, the next sync sample from there.
uint32_t MP4GetSampleIdFromTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, bool wantSyncSample);

// Reads one sample. *ppBytes NULL: a buffer of the sample's size is
// malloc'ed for the caller (none for an empty sample); otherwise it is the
// caller's buffer of *pNumBytes bytes. Then *pNumBytes is the sample's size
// and each non-NULL output gets the start time, duration, rendering offset
// and sync flag. Failure (sample id 0 or beyond the track, a sample outside
// the file, a short buffer, NULL handle): false, *pNumBytes 0, and no buffer
// left to the caller by the library.
bool MP4ReadSample(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes,
                   uint64_t* pStartTime, uint64_t* pDuration, uint64_t* pRenderingOffset, bool* pIsSyncSample);
// The same for the sample at a decode time.
bool MP4ReadSampleFromTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, uint8_t** ppBytes,
                           uint32_t* pNumBytes, uint64_t* pStartTime, uint64_t* pDuration, uint64_t* pRenderingOffset,
                           bool* pIsSyncSample);

// ---------------------------------------------------------------- creating and modifying

// MP4CreateEx flags: 64-bit media data and chunk offsets; 64-bit times.
#define MP4_CREATE_64BIT_DATA 0x01u
#define MP4_CREATE_64BIT_TIME 0x02u

// A new file with a movie header, a file-type box ("mp42" with "mp42" and
// "isom") and an initial object descriptor. Its writes go to the system at
// once, a chunk at a time: a sample is taken once its chunk is written or
// still buffered, and MP4WriteSample fails for the sample whose chunk
// could not be written, the samples before it still buffered. A cut of the
// file by another process is seen by the write under way or the next one,
// the movie's included, and after MP4Close's last write: that call and
// every later write fail, and no movie is left.
MP4FileHandle MP4Create(const char* fileName, uint32_t verbosity, uint32_t flags);
// The same with the file-type box and the initial object descriptor by
// choice; majorBrand NULL keeps the default brands.
MP4FileHandle MP4CreateEx(const char* fileName, uint32_t verbosity, uint32_t flags, int addFtyp, int addIods,
                          char* majorBrand, uint32_t minorVersion, char** supportedBrands,
                          uint32_t supportedBrandsCount);
// Opens a file to add tracks and samples to it. What it holds stays where
// and as it is, and readable, until MP4Close: new media data goes after its
// last box, and MP4Close writes the new movie into free space that it fits
// or at the end, and only then turns the old movie into free space; when
// that fails the file is put back as it was. A last box sized "to the end
// of the file" (or past it) is given its real size first, and bytes at the
// end that are no box become free space or are written over. NULL also for
// a file without a movie, one cut short (samples past its end), one whose
// last box cannot be given its size, and a fragmented file: one with movie
// fragments, or whose movie has a movie extends box and lists no sample (a
// movie that lists its samples is taken with the box, which stays).
MP4FileHandle MP4Modify(const char* fileName, uint32_t verbosity);
// Rewrites a file with its movie first, every other top-level box but free
// space after it (user data, other tools' metadata), and the chunks of its
// tracks interleaved by time; newFileName NULL (or the same file) replaces
// the original through a temporary file beside it (beside the file that a
// link names: the link stays). Fragmented files are refused as by
// MP4Modify. Any failure leaves the original as it was
// and no target; the copy's movie is written last, over zeros kept for it
// in free space, so a copy stopped before the end holds none.
bool MP4Optimize(const char* existingFileName, const char* newFileName, uint32_t verbosity);

// ---------------------------------------------------------------- setting fields

// The movie time scale; also on a file opened for reading, where it changes
// only how the open file converts movie times. 0 is refused.
bool MP4SetTimeScale(MP4FileHandle hFile, uint32_t value);
bool MP4SetODProfileLevel(MP4FileHandle hFile, uint8_t value);
bool MP4SetSceneProfileLevel(MP4FileHandle hFile, uint8_t value);
bool MP4SetGraphicsProfileLevel(MP4FileHandle hFile, uint8_t value);
void MP4SetVideoProfileLevel(MP4FileHandle hFile, uint8_t value);
void MP4SetAudioProfileLevel(MP4FileHandle hFile, uint8_t value);
bool MP4SetIntegerProperty(MP4FileHandle hFile, const char* propName, uint64_t value);
bool MP4SetFloatProperty(MP4FileHandle hFile, const char* propName, float value);
bool MP4SetStringProperty(MP4FileHandle hFile, const char* propName, const char* value);
bool MP4SetBytesProperty(MP4FileHandle hFile, const char* propName, const uint8_t* pValue, uint32_t valueSize);
bool MP4SetTrackIntegerProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, int64_t value);
bool MP4SetTrackFloatProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, float value);
bool MP4SetTrackStringProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, const char* value);
bool MP4SetTrackBytesProperty(MP4FileHandle hFile, uint32_t trackId, const char* propName, const uint8_t* pValue,
                              uint32_t valueSize);

// ---------------------------------------------------------------- adding and deleting tracks

// Each returns the new track id, 0 on failure (nothing of the track is
// left then). Time scales are ticks per second; sampleDuration is used for
// samples written without a duration.
uint32_t MP4AddTrack(MP4FileHandle hFile, const char* type);
uint32_t MP4AddSystemsTrack(MP4FileHandle hFile, const char* type);
uint32_t MP4AddODTrack(MP4FileHandle hFile);
uint32_t MP4AddSceneTrack(MP4FileHandle hFile);
uint32_t MP4AddAudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType);
uint32_t MP4AddAC3AudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType);
uint32_t MP4AddAmrAudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint16_t modeSet, uint8_t modeChangePeriod,
                             uint8_t framesPerSample, bool isAmrWB);
uint32_t MP4AddHrefTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, const char* base_url);
uint32_t MP4AddVideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                          uint16_t height, uint8_t videoType);
// sampleLenFieldSizeMinusOne: the NAL unit length size minus one (0, 1, 3).
uint32_t MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                              uint16_t height, uint8_t AVCProfileIndication, uint8_t profile_compat,
                              uint8_t AVCLevelIndication, uint8_t sampleLenFieldSizeMinusOne);
uint32_t MP4AddH263VideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                              uint16_t height, uint8_t h263Level, uint8_t h263Profile, uint32_t avgBitrate,
                              uint32_t maxBitrate);
// A text track, and a chapter track that refTrackId names in its
// "tref.chap" (timeScale 0: the reference track's).
uint32_t MP4AddTextTrack(MP4FileHandle hFile, uint32_t refTrackId);
uint32_t MP4AddChapterTextTrack(MP4FileHandle hFile, uint32_t refTrackId, uint32_t timescale);
// Encrypted tracks; icPp NULL: an audio entry without "sinf" settings, no
// video track.
uint32_t MP4AddEncAudioTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration,
                             MP4IsmaCrypParams* icPp, uint8_t audioType);
uint32_t MP4AddEncVideoTrack(MP4FileHandle hFile, uint32_t timeScale, uint64_t sampleDuration, uint16_t width,
                             uint16_t height, MP4IsmaCrypParams* icPp, uint8_t videoType, const char* oFormat);
// With a copy of the "avcC" of srcTrackId in srcFile.
uint32_t MP4AddEncH264VideoTrack(MP4FileHandle dstFile, uint32_t timeScale, uint64_t sampleDuration,
                                 uint16_t width, uint16_t height, MP4FileHandle srcFile, uint32_t srcTrackId,
                                 MP4IsmaCrypParams* icPp);
// The track leaves the file's tree; its bytes stay in the file.
void MP4DeleteTrack(MP4FileHandle hFile, uint32_t trackId);
void MP4SetTrackTimeScale(MP4FileHandle hFile, uint32_t trackId, uint32_t value);
// The decoder-specific configuration of the track's ES descriptor.
bool MP4SetTrackESConfiguration(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pConfig,
                                uint32_t configSize);
// Parameter sets without start codes or lengths, added to an "avc1" or
// "encv" track unless an equal one is there.
void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pSequence,
                                    uint16_t sequenceLen);
void MP4AddH264PictureParameterSet(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pPict, uint16_t pictLen);
uint16_t MP4GetAmrModeSet(MP4FileHandle hFile, uint32_t trackId);
void MP4SetAmrVendor(MP4FileHandle hFile, uint32_t trackId, uint32_t vendor);
void MP4SetAmrDecoderVersion(MP4FileHandle hFile, uint32_t trackId, uint8_t decoderVersion);
void MP4SetAmrModeSet(MP4FileHandle hFile, uint32_t trackId, uint16_t modeSet);
void MP4SetH263Vendor(MP4FileHandle hFile, uint32_t trackId, uint32_t vendor);
void MP4SetH263DecoderVersion(MP4FileHandle hFile, uint32_t trackId, uint8_t decoderVersion);
void MP4SetH263Bitrates(MP4FileHandle hFile, uint32_t trackId, uint32_t avgBitrate, uint32_t maxBitrate);
const char* MP4GetHrefTrackBaseUrl(MP4FileHandle hFile, uint32_t trackId);

// ---------------------------------------------------------------- writing samples

// Appends a sample to the track. duration all ones: the track's fixed
// sample duration. renderingOffset: the composition offset (a negative one
// sign-extended to 64 bits). Refused without change: bytes NULL with a
// size, a duration beyond 32 bits, a size the track's size table cannot
// hold.
bool MP4WriteSample(MP4FileHandle hFile, uint32_t trackId, const uint8_t* pBytes, uint32_t numBytes,
                    uint64_t duration, uint64_t renderingOffset, bool isSyncSample);
bool MP4SetSampleRenderingOffset(MP4FileHandle hFile, uint32_t trackId, uint32_t sampleId, uint64_t renderingOffset);
// Does nothing: false.
bool MP4ReferenceSample(MP4FileHandle srcFile, uint32_t srcTrackId, uint32_t srcSampleId, MP4FileHandle dstFile,
                        uint32_t dstTrackId, uint64_t dstSampleDuration);

// ---------------------------------------------------------------- edit lists

// Edit ids count from 1. Segment durations are in the movie time scale,
// media starts in the track's.
// A new edit at editId (0: after the last) with the values; 0 on failure.
uint32_t MP4AddTrackEdit(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, uint64_t startTime,
                         uint64_t duration, bool dwell);
bool MP4DeleteTrackEdit(MP4FileHandle hFile, uint32_t trackId, uint32_t editId);
uint32_t MP4GetTrackNumberOfEdits(MP4FileHandle hFile, uint32_t trackId);
uint64_t MP4GetTrackEditMediaStart(MP4FileHandle hFile, uint32_t trackId, uint32_t editId);
uint64_t MP4GetTrackEditDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t editId);
// The durations of the edits up to editId (0: all of them).
uint64_t MP4GetTrackEditTotalDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t editId);
// 1 for a dwell (rate 0), 0 for normal play; neutral -1.
int8_t MP4GetTrackEditDwell(MP4FileHandle hFile, uint32_t trackId, uint32_t editId);
bool MP4SetTrackEditMediaStart(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, uint64_t startTime);
bool MP4SetTrackEditDuration(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, uint64_t duration);
bool MP4SetTrackEditDwell(MP4FileHandle hFile, uint32_t trackId, uint32_t editId, bool dwell);
// The sample presented at a time of the track's time scale through the
// edit list, with its presentation start and duration (cut to its edit);
// either output may be NULL. Edits map presentation times to composition
// times (decode time plus composition offset), so a B-frame track's first
// presented sample is its first picture in display order; without an edit
// list the composition time is the presentation time. The presentation
// duration of a sample lasts until the next later composition time. A time
// in an empty edit, or before the media's first composition time, gives 0
// with that stretch's start and length; neutral 0.
uint32_t MP4GetSampleIdFromEditTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, uint64_t* pStartTime,
                                    uint64_t* pDuration);
// MP4ReadSample of that sample, with the edit's start and duration.
bool MP4ReadSampleFromEditTime(MP4FileHandle hFile, uint32_t trackId, uint64_t when, uint8_t** ppBytes,
                               uint32_t* pNumBytes, uint64_t* pStartTime, uint64_t* pDuration,
                               uint64_t* pRenderingOffset, bool* pIsSyncSample);

// ---------------------------------------------------------------- ISMA and 3GP compliance

// These open the named file for modification themselves and close it
// again; when they fail (false) the file is left as it was.
// The file type box gets the major brand, minor version and compatible
// brands (majorBrand NULL: "3gp5", 1 and "3gp5" alone; a major brand needs
// at least one compatible brand); deleteIodsAtom removes "moov.iods". It is
// written over the old one's place, which it must fit (exactly, or leaving
// 8 bytes or more, with the free space right after the old box and the old
// movie when it follows counted): false, the file unchanged, when it does
// not.
bool MP4Make3GPCompliant(const char* fileName, uint32_t verbosity, char* majorBrand, uint32_t minorVersion,
                         char** supportedBrands, uint32_t supportedBrandsCount, bool deleteIodsAtom);
// Adds the object descriptor and scene tracks and the initial object
// descriptor, and stores it in the session description as Base64 (after
// "a=isma-compliance:1,1.0,1" when asked). False, the file unchanged, when
// the first audio track is not MPEG-4 audio or the first video track not
// MPEG-4 visual, when there is neither, or when the tracks' descriptors are
// too large for the session's data URL.
bool MP4MakeIsmaCompliant(const char* fileName, uint32_t verbosity, bool addIsmaComplianceSdp);
// "a=mpeg4-iod: \"data:application/mpeg4-iod;base64,...\"" (no line end)
// for an initial object descriptor of MPEG-4 video and AAC streams of these
// profiles (0xFF: none), bit rates and configurations; malloc'ed, the
// caller's. NULL on failure.
char* MP4MakeIsmaSdpIod(uint8_t videoProfile, uint32_t videoBitrate, uint8_t* videoConfig, uint32_t videoConfigLength,
                        uint8_t audioProfile, uint32_t audioBitrate, uint8_t* audioConfig, uint32_t audioConfigLength,
                        uint32_t verbosity);

// ---------------------------------------------------------------- Copying, cloning, conversions, encryption parameters

// Hexadecimal (lower case) and Base64 texts of bytes, calloc'ed for the
// caller; NULL for data NULL with a size, for no bytes in Base64, and when
// the text cannot be made.
char* MP4BinaryToBase16(const uint8_t* pData, uint32_t dataSize);
char* MP4BinaryToBase64(const uint8_t* pData, uint32_t dataSize);

// A record with every field zero: the caller's (ptr) or, for NULL, a
// malloc'ed one that the caller frees; NULL when it cannot be allocated.
MP4IsmaCrypParams* MP4DefaultISMACrypParams(MP4IsmaCrypParams* ptr);

// Encrypts a sample of inSize bytes: stores a malloc'ed buffer of the
// encrypted bytes in *ppOutBytes and its size in *pOutSize; 0 for success.
typedef uint32_t (*MP4EncryptSampleFunc)(uint32_t param, uint32_t inSize, uint8_t* pInBytes, uint32_t* pOutSize,
                                         uint8_t** ppOutBytes);

// Appends a copy of a sample to dstTrackId of dstFile (dstFile NULL: the
// source file; dstTrackId 0: the source track) with its rendering offset
// and sync flag, and dstSampleDuration (all ones: the sample's own).
bool MP4CopySample(MP4FileHandle srcFile, uint32_t srcTrackId, uint32_t srcSampleId, MP4FileHandle dstFile,
                   uint32_t dstTrackId, uint64_t dstSampleDuration);
// The same with the bytes that encryptFunc makes of the sample. A failed
// encryption writes one line to stderr and nothing to the track: false.
bool MP4EncAndCopySample(MP4FileHandle srcFile, uint32_t srcTrackId, uint32_t srcSampleId,
                         MP4EncryptSampleFunc encryptFunc, uint32_t encryptFuncParam, MP4FileHandle dstFile,
                         uint32_t dstTrackId, uint64_t dstSampleDuration);

// A new empty track in dstFile (NULL: the source file) like the source
// track: its kind, time scale, sizes and decoder configuration. Video must
// be "mp4v" or "avc1" and sound "mp4a"; a hint track needs the track it is
// to refer to in dstHintTrackReferenceTrack. The new track id, 0 when the
// track cannot be cloned (nothing is left of it then).
uint32_t MP4CloneTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4FileHandle dstFile,
                       uint32_t dstHintTrackReferenceTrack);
// The same as an encrypted track with the settings of icPp: video of any
// sample entry ("avc1" with a copy of its "avcC"), sound of any.
uint32_t MP4EncAndCloneTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4IsmaCrypParams* icPp,
                             MP4FileHandle dstFile, uint32_t dstHintTrackReferenceTrack);
// A clone with every sample copied; with applyEdits and an edit list, the
// samples that each edit presents, in decode order and starting from the
// sync sample that decodes the first of them (samples decoded only for
// the ones after are copied too; for sound the packet before the first
// one shown, such as an encoder's priming packet), with their rendering
// offsets. Each sample keeps its duration; a dwell's sample lasts the
// dwell. The copy gets an edit per edit shown, which hides what is copied
// only to be decoded and starts inside the first sample shown where the
// source's edit does, so that it presents what the source presents, sound
// in step with its pictures; the track and movie durations follow them. A
// track with an edit that shows no sample (an empty edit) is not copied.
// 0 on failure, and nothing is left of the new track.
uint32_t MP4CopyTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4FileHandle dstFile, bool applyEdits,
                      uint32_t dstHintTrackReferenceTrack);
// The same through MP4EncAndCloneTrack and MP4EncAndCopySample.
uint32_t MP4EncAndCopyTrack(MP4FileHandle srcFile, uint32_t srcTrackId, MP4IsmaCrypParams* icPp,
                            MP4EncryptSampleFunc encryptFunc, uint32_t encryptFuncParam, MP4FileHandle dstFile,
                            bool applyEdits, uint32_t dstHintTrackReferenceTrack);

// Hint tracks, RTP and SDP
//
// A hint track tells a streaming server how to cut its reference track into
// RTP packets: one hint per sample, each a list of packets whose payload
// points at bytes of the reference track's samples or carries them inline.
// Reading: MP4ReadRtpHint, then the packet functions for indexes 0 to
// count - 1. Writing: MP4SetHintTrackRtpPayload once, then per hint
// MP4AddRtpHint, (MP4AddRtpPacket, its data)..., MP4WriteRtpHint. Packets
// added to a track that already holds hints (a file reopened with
// MP4Modify) are numbered on from the last packet of its last hint that
// has packets; where that hint cannot be read, MP4AddRtpHint fails.

// A new hint track for the reference track, in its time scale; 0 on
// failure.
uint32_t MP4AddHintTrack(MP4FileHandle hFile, uint32_t refTrackId);
// Payload name and encoding parameters are malloc'ed for the caller; any
// output may be NULL.
bool MP4GetHintTrackRtpPayload(MP4FileHandle hFile, uint32_t hintTrackId, char** ppPayloadName,
                               uint8_t* pPayloadNumber, uint16_t* pMaxPayloadSize, char** ppEncodingParams);
// *pPayloadNumber 0 to 127 is used as it is, 255 (or a NULL pointer) picks
// a free dynamic number (96 to 127) and returns it there; 128 to 254 fail.
// maxPayloadSize 0 stands for 1460. Writes the track's SDP text anew: its
// media, payload and control lines, and by choice the rtpmap and the
// MPEG-4 ES id lines.
bool MP4SetHintTrackRtpPayload(MP4FileHandle hFile, uint32_t hintTrackId, const char* pPayloadName,
                               uint8_t* pPayloadNumber, uint16_t maxPayloadSize, const char* encoding_params,
                               bool include_rtp_map, bool include_mpeg4_esid);
// The session description of the movie and of a hint track: texts owned by
// the file, NULL when there is none. A text returned stays valid until
// MP4Close, also after the description is set or appended to again (the
// next get then returns the new text, at another place).
const char* MP4GetSessionSdp(MP4FileHandle hFile);
bool MP4SetSessionSdp(MP4FileHandle hFile, const char* sdpString);
bool MP4AppendSessionSdp(MP4FileHandle hFile, const char* sdpString);
const char* MP4GetHintTrackSdp(MP4FileHandle hFile, uint32_t hintTrackId);
bool MP4SetHintTrackSdp(MP4FileHandle hFile, uint32_t hintTrackId, const char* sdpString);
bool MP4AppendHintTrackSdp(MP4FileHandle hFile, uint32_t hintTrackId, const char* sdpString);
uint32_t MP4GetHintTrackReferenceTrackId(MP4FileHandle hFile, uint32_t hintTrackId);
// Reads one hint sample; its packet count goes to pNumPackets (may be NULL).
bool MP4ReadRtpHint(MP4FileHandle hFile, uint32_t hintTrackId, uint32_t hintSampleId, uint16_t* pNumPackets);
uint16_t MP4GetRtpHintNumberOfPackets(MP4FileHandle hFile, uint32_t hintTrackId);
// 1 or 0; neutral -1.
int8_t MP4GetRtpPacketBFrame(MP4FileHandle hFile, uint32_t hintTrackId, uint16_t packetIndex);
// The low 16 bits of the packet's transmission offset (-1 gives 65535).
int32_t MP4GetRtpPacketTransmitOffset(MP4FileHandle hFile, uint32_t hintTrackId, uint16_t packetIndex);
// One RTP packet of the hint read last: the 12-byte header (version 2, the
// track's sequence start added to the packet's number, the SSRC given; the
// timestamp is the track's timestamp start plus the hint's time plus the
// packet's signed timestamp offset where it has one) and/or the payload.
// *ppBytes NULL: a buffer is malloc'ed for the caller; otherwise
// *pNumBytes is the size of the caller's buffer, and a packet that does
// not fit fails with nothing copied. *pNumBytes receives the packet size.
bool MP4ReadRtpPacket(MP4FileHandle hFile, uint32_t hintTrackId, uint16_t packetIndex, uint8_t** ppBytes,
                      uint32_t* pNumBytes, uint32_t ssrc, bool includeHeader, bool includePayload);
uint64_t MP4GetRtpTimestampStart(MP4FileHandle hFile, uint32_t hintTrackId);
bool MP4SetRtpTimestampStart(MP4FileHandle hFile, uint32_t hintTrackId, uint64_t rtpStart);
bool MP4AddRtpHint(MP4FileHandle hFile, uint32_t hintTrackId);
// timestampOffset (a signed value as its 32-bit pattern) is what the RTP
// timestamps of the hint's packets add to the hint's time: a hint placed
// at its send time carries the difference to its picture's presentation.
bool MP4AddRtpVideoHint(MP4FileHandle hFile, uint32_t hintTrackId, bool isBframe, uint32_t timestampOffset);
// A hint holds at most 65535 packets and a packet at most 65535 data
// entries (their counts have 16 bits): the add that would pass either
// fails and changes nothing.
bool MP4AddRtpPacket(MP4FileHandle hFile, uint32_t hintTrackId, bool setMbit, int32_t transmitOffset);
// At most 14 bytes inline.
bool MP4AddRtpImmediateData(MP4FileHandle hFile, uint32_t hintTrackId, const uint8_t* pBytes, uint32_t numBytes);
// dataLength bytes (at most 65535) of a reference-track sample.
bool MP4AddRtpSampleData(MP4FileHandle hFile, uint32_t hintTrackId, uint32_t sampleId, uint32_t dataOffset,
                         uint32_t dataLength);
// A packet carrying the reference track's decoder configuration, kept in
// the hint sample; nothing when the track has none.
bool MP4AddRtpESConfigurationPacket(MP4FileHandle hFile, uint32_t hintTrackId);
bool MP4WriteRtpHint(MP4FileHandle hFile, uint32_t hintTrackId, uint64_t duration, bool isSyncSample);

// ---------------------------------------------------------------- metadata and chapters
// Item-list metadata ("moov.udta.meta.ilst") and chapters. Changes reach
// the file when a handle opened for writing or modifying is closed; the
// getters change nothing. A getter that fails leaves its outputs NULL or 0.
// Texts and bytes handed out are malloc'ed and belong to the caller.

// One chapter of a list: its length in ms and its title (at most 1023
// bytes and a NUL).
typedef struct MP4ChapterStruct {
  uint64_t duration;
  char title[1024];
} MP4ChapterStruct;

// A chapter of the text-track form: a sample of chapterDuration (in the
// chapter track's time scale) on the chapter track; a missing title is
// "Chapter %03u" of chapterNumber.
void MP4AddQTChapter(MP4FileHandle hFile, uint32_t chapterTrackId, uint64_t chapterDuration, uint32_t chapterNumber,
                     const char* chapterTitle);
// A chapter of the "chpl" list (made when missing) starting at chapterStart
// in units of 100 ns; titles are cut to 255 bytes, at a whole UTF-8
// character. A list holds 255 chapters at the most (other readers take
// its count from one byte): one more is refused, the list unchanged.
void MP4AddChapter(MP4FileHandle hFile, uint64_t chapterStart, const char* chapterTitle);
// Rebuilds the chapters of one form from the other: the chapters already
// in the target form are removed first, and the source form stays (remove
// it with MP4DeleteChapters). The text-track form goes on a new text track
// (time scale 1000) named by the first sound track. More than 255 chapters
// for the list form are refused with nothing changed.
void MP4ConvertChapters(MP4FileHandle hFile, bool toQT);
// Removes the "chpl" list, or the chapter text track (chapterTrackId 0:
// the one a sound track names) with its reference.
void MP4DeleteChapters(MP4FileHandle hFile, uint32_t chapterTrackId, bool deleteQTChapters);
// The chapters of one form; *chapterList is freed by the caller. A list of
// more than 65535 chapters is refused.
void MP4GetChaptersList(MP4FileHandle hFile, MP4ChapterStruct** chapterList, uint32_t* chapterCount,
                        bool getQTChapters);

// Texts: the setters store the text's bytes (no NUL); the getters hand out
// a NUL-terminated copy; an empty value reads as false.
bool MP4SetMetadataName(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataName(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataName(MP4FileHandle hFile);
bool MP4SetMetadataWriter(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataWriter(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataWriter(MP4FileHandle hFile);
bool MP4SetMetadataAlbum(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataAlbum(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataAlbum(MP4FileHandle hFile);
bool MP4SetMetadataArtist(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataArtist(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataArtist(MP4FileHandle hFile);
bool MP4SetMetadataTool(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataTool(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataTool(MP4FileHandle hFile);
bool MP4SetMetadataComment(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataComment(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataComment(MP4FileHandle hFile);
bool MP4SetMetadataYear(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataYear(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataYear(MP4FileHandle hFile);
bool MP4SetMetadataGrouping(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataGrouping(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataGrouping(MP4FileHandle hFile);
bool MP4SetMetadataAlbumArtist(MP4FileHandle hFile, const char* value);
bool MP4GetMetadataAlbumArtist(MP4FileHandle hFile, char** value);
bool MP4DeleteMetadataAlbumArtist(MP4FileHandle hFile);
// Track and disc number with their totals. A disc value of another size
// than 6 or 8 bytes reads as true with both 0.
bool MP4SetMetadataTrack(MP4FileHandle hFile, uint16_t track, uint16_t totalTracks);
bool MP4GetMetadataTrack(MP4FileHandle hFile, uint16_t* track, uint16_t* totalTracks);
bool MP4DeleteMetadataTrack(MP4FileHandle hFile);
bool MP4SetMetadataDisk(MP4FileHandle hFile, uint16_t disk, uint16_t totalDisks);
bool MP4GetMetadataDisk(MP4FileHandle hFile, uint16_t* disk, uint16_t* totalDisks);
bool MP4DeleteMetadataDisk(MP4FileHandle hFile);
// A genre of the ID3v1 list (any case) is stored by number, any other as
// text; numbers outside the list read as an empty text.
bool MP4SetMetadataGenre(MP4FileHandle hFile, const char* genre);
bool MP4GetMetadataGenre(MP4FileHandle hFile, char** genre);
bool MP4DeleteMetadataGenre(MP4FileHandle hFile);
bool MP4SetMetadataTempo(MP4FileHandle hFile, uint16_t tempo);
bool MP4GetMetadataTempo(MP4FileHandle hFile, uint16_t* tempo);
bool MP4DeleteMetadataTempo(MP4FileHandle hFile);
// Flags: only bit 0 of the value is stored.
bool MP4SetMetadataCompilation(MP4FileHandle hFile, uint8_t compilation);
bool MP4GetMetadataCompilation(MP4FileHandle hFile, uint8_t* compilation);
bool MP4DeleteMetadataCompilation(MP4FileHandle hFile);
bool MP4SetMetadataPartOfGaplessAlbum(MP4FileHandle hFile, uint8_t partOfGaplessAlbum);
bool MP4GetMetadataPartOfGaplessAlbum(MP4FileHandle hFile, uint8_t* partOfGaplessAlbum);
bool MP4DeleteMetadataPartOfGaplessAlbum(MP4FileHandle hFile);
// Cover art: the setter replaces the first image; images count from 0.
bool MP4SetMetadataCoverArt(MP4FileHandle hFile, const uint8_t* coverArt, uint32_t size);
bool MP4GetMetadataCoverArt(MP4FileHandle hFile, uint8_t** coverArt, uint32_t* size, uint32_t index);
uint32_t MP4GetMetadataCoverArtCount(MP4FileHandle hFile);
bool MP4DeleteMetadataCoverArt(MP4FileHandle hFile);
// Free-form ("----") items by name and owner; owner NULL matches any owner
// and gives a new item the default one.
bool MP4SetMetadataFreeForm(MP4FileHandle hFile, const char* name, const uint8_t* pValue, uint32_t valueSize,
                            const char* owner);
bool MP4GetMetadataFreeForm(MP4FileHandle hFile, const char* name, uint8_t** pValue, uint32_t* valueSize,
                            const char* owner);
bool MP4DeleteMetadataFreeForm(MP4FileHandle hFile, const char* name, const char* owner);
// The index-th item (from 0) of any kind: its 4CC, or a free-form item's
// name, and its value.
bool MP4GetMetadataByIndex(MP4FileHandle hFile, uint32_t index, char** ppName, uint8_t** ppValue,
                           uint32_t* pValueSize);
// Removes all metadata, its handler included.
bool MP4MetadataDelete(MP4FileHandle hFile);

#ifdef __cplusplus
}  // extern "C"
#endif
