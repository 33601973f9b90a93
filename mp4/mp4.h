// The MP4 library's function interface: open an MP4 file, ask about its
// tracks and read their samples through an opaque handle.
//
// Conventions that every function follows:
// - Handles. A handle comes from MP4Read or MP4ReadEx and is released by
//   MP4Close; NULL is the invalid handle, and every function given NULL
//   returns its neutral value at once.
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
//   fields) belong to the open file: do not free them; they stay valid until
//   MP4Close. Buffers and arrays handed out through output arguments are
//   malloc'ed and belong to the caller, who frees them with free or MP4Free.
// - Threads. A handle and everything reached through it is used by one
//   thread at a time (even reads move the file position and the lookup
//   caches). Distinct handles are independent, apart from the process-wide
//   message callback, which is set once before files are opened.
#pragma once

#include <cstdint>
#include <cstdio>

#include "virtual_io.h"

typedef void* MP4FileHandle;

// The process-wide receiver of printed failures (level 3, tag "MP4ERROR",
// "%s:%s:%s" with the operation, the message and the system error text);
// NULL prints to stderr again.
typedef void (*MP4LibFunc)(int loglevel, const char* lib, const char* fmt, ...);
void MP4SetLibFunc(MP4LibFunc callback);

extern "C" {

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
// for reading.
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

}  // extern "C"
