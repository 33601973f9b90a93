// Matroska reader: opens a file through the caller's stream callbacks,
// parses the segment's metadata once, and hands out the frames of selected
// tracks in time order as (track, start, end, file position, size, flags).
// The library never reads frame payloads; the caller reads them itself.
//
// Conventions of the whole interface:
// - Every record the library hands out (the open file, segment information,
//   track records, texts, cue, chapter, tag and attachment arrays) comes
//   from the stream's memalloc/memrealloc and belongs to the open file: it
//   stays valid until mkv_Close, which releases it through memfree.
// - Failures never leave the library as exceptions or jumps. An entry that
//   fails returns its neutral value (null, -1, 0, or nothing), sets the
//   file's error flag and keeps a message of at most 127 characters, which
//   mkv_GetLastError returns (mkv_OpenEx copies it into the caller's buffer
//   instead). After a read failure mkv_ReadFrame still hands out the frames
//   already queued and then returns -1 until the next seek.
// - One MatroskaFile is used by one thread at a time; independent files
//   share nothing, so each thread may open its own.
// - Times are unsigned nanoseconds counted from the first cluster's first
//   block. Tracks are named by their index in the track list (0-based),
//   not by their Matroska track number.
#ifndef MATROSKA_PARSER_H
#define MATROSKA_PARSER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Signed 32.32 fixed point, the library's form of every Matroska float.
typedef int64_t FixedPoint64;

// The head of the caller's stream record. Every callback receives the record
// itself; callers put their own fields behind this head.
typedef struct StreamCallbacks StreamCallbacks;
struct StreamCallbacks {
  // Reads up to count bytes at pos: bytes read, 0 at end of file, negative
  // on error. Called with a null buffer and a count of 0 as a read-ahead
  // hint whose result is ignored.
  int (*read)(StreamCallbacks* cc, uint64_t pos, void* buffer, int count);
  // Position of the next occurrence of the 4-byte big-endian signature at or
  // after start, or -1.
  int64_t (*scan)(StreamCallbacks* cc, uint64_t start, unsigned signature);
  // Size of the caller's own read-ahead in bytes.
  unsigned (*getcachesize)(StreamCallbacks* cc);
  // Text of the caller's last error.
  const char* (*geterror)(StreamCallbacks* cc);
  void* (*memalloc)(StreamCallbacks* cc, size_t size);
  void* (*memrealloc)(StreamCallbacks* cc, void* mem, size_t newsize);
  void (*memfree)(StreamCallbacks* cc, void* mem);
  // Progress of long work; returning 0 asks the library to stop it.
  int (*progress)(StreamCallbacks* cc, uint64_t cur, uint64_t max);
  // File size, or 0 or less when unknown. May be null.
  int64_t (*getfilesize)(StreamCallbacks* cc);
};

// The stream record both programs use: buffered standard I/O on one open
// file, heap memory, and a progress callback that never stops the work.
typedef struct StdIoStream {
  StreamCallbacks base;
  FILE* fp;
  int error;  // errno of the last failed read
} StdIoStream;

// Fills the callbacks (getfilesize stays null) and takes fp, already open
// for reading; the caller keeps ownership of fp.
void StdIoInit(StdIoStream* st, FILE* fp);
int StdIoRead(StreamCallbacks* cc, uint64_t pos, void* buffer, int count);
int64_t StdIoScan(StreamCallbacks* cc, uint64_t start, unsigned signature);
unsigned StdIoGetCacheSize(StreamCallbacks* cc);
const char* StdIoGetLastError(StreamCallbacks* cc);
void* StdIoMalloc(StreamCallbacks* cc, size_t size);
void* StdIoRealloc(StreamCallbacks* cc, void* mem, size_t size);
void StdIoFree(StreamCallbacks* cc, void* mem);
int StdIoProgress(StreamCallbacks* cc, uint64_t cur, uint64_t max);

typedef struct SegmentInfo {
  char UID[16];
  char PrevUID[16];
  char NextUID[16];
  char* Filename;
  char* PrevFilename;
  char* NextFilename;
  char* Title;
  char* MuxingApp;
  char* WritingApp;
  uint64_t TimecodeScale;  // nanoseconds per timecode unit
  uint64_t Duration;       // nanoseconds; the last video frame's end when it could be read
  int64_t DateUTC;         // the element's raw value
  unsigned DateUTCValid;   // 1 when DateUTC was present
} SegmentInfo;

enum {
  MKV_TRACK_VIDEO = 1,
  MKV_TRACK_AUDIO = 2,
  MKV_COMP_ZLIB = 0,
  MKV_COMP_STRIP = 3,  // header stripping: CompMethodPrivate precedes every frame
};

typedef struct TrackInfo {
  unsigned char Number;  // Matroska track number
  unsigned char Type;    // 1 video, 2 audio, up to 254
  unsigned char TrackOverlay;
  uint64_t UID;
  uint64_t MinCache;
  uint64_t MaxCache;
  uint64_t DefaultDuration;  // nanoseconds, 0 when absent
  FixedPoint64 TimecodeScale;
  void* CodecPrivate;  // expanded when stored zlib-compressed
  unsigned CodecPrivateSize;
  unsigned CompMethod;  // MKV_COMP_ZLIB or MKV_COMP_STRIP, meaningful with CompEnabled
  void* CompMethodPrivate;
  unsigned CompMethodPrivateSize;
  unsigned MaxBlockAdditionID;
  unsigned int Enabled : 1;
  unsigned int Default : 1;
  unsigned int Lacing : 1;
  unsigned int DecodeAll : 1;
  unsigned int CompEnabled : 1;  // frames are compressed with CompMethod
  union {
    struct {
      unsigned char StereoMode;
      unsigned char DisplayUnit;
      unsigned char AspectRatioType;
      unsigned int PixelWidth;
      unsigned int PixelHeight;
      unsigned int DisplayWidth;
      unsigned int DisplayHeight;
      unsigned int CropL, CropT, CropR, CropB;
      unsigned int ColourSpace;
      FixedPoint64 GammaValue;
      unsigned int Interlaced : 1;
    } Video;
    struct {
      FixedPoint64 SamplingFreq;
      FixedPoint64 OutputSamplingFreq;
      unsigned char Channels;
      unsigned char BitDepth;
    } Audio;
  } AV;
  char* Name;
  char Language[4];  // at most 3 characters; "eng" when absent
  char* CodecID;     // never null
} TrackInfo;

// One row of the cue table: time in nanoseconds from the first row (which
// is 0), cluster position relative to the Segment's data.
typedef struct CueEntry {
  uint64_t Time;
  uint64_t Position;
  uint64_t Block;
  unsigned char Track;
} CueEntry;

typedef struct ChapterDisplay {
  char* String;
  char Language[4];
  char Country[4];
} ChapterDisplay;

typedef struct ChapterCommand {
  unsigned Time;
  unsigned CommandLength;
  void* Command;
} ChapterCommand;

typedef struct ChapterProcess {
  unsigned CodecID;
  unsigned CodecPrivateLength;
  void* CodecPrivate;
  unsigned nCommands, nCommandsSize;
  ChapterCommand* Commands;
} ChapterProcess;

enum {
  MKV_CHAPTER_HIDDEN = 1,
  MKV_CHAPTER_ENABLED = 2,
  MKV_CHAPTER_DEFAULT = 4,  // default edition
  MKV_CHAPTER_ORDERED = 8,  // ordered edition
};

// An edition (top level) or a chapter atom (below it).
typedef struct Chapter {
  uint64_t UID;
  uint64_t Start;  // nanoseconds from the first cluster; 0 when absent
  uint64_t End;
  unsigned nTracks, nTracksSize;
  uint64_t* Tracks;
  unsigned nDisplay, nDisplaySize;
  ChapterDisplay* Display;
  unsigned nChildren, nChildrenSize;
  struct Chapter* Children;
  unsigned nProcess, nProcessSize;
  ChapterProcess* Process;
  char SegmentUID[16];
  unsigned char Flags;  // MKV_CHAPTER_*
} Chapter;

enum { MKV_TARGET_TRACK = 0, MKV_TARGET_CHAPTER = 1, MKV_TARGET_ATTACHMENT = 2, MKV_TARGET_EDITION = 3 };

typedef struct TagTarget {
  uint64_t UID;
  unsigned Type;  // MKV_TARGET_*
} TagTarget;

typedef struct SimpleTag {
  char* Name;
  char* Value;
  char Language[4];
  unsigned char Default;
} SimpleTag;

typedef struct TagRecord {
  unsigned nTargets, nTargetsSize;
  TagTarget* Targets;
  unsigned nSimpleTags, nSimpleTagsSize;
  SimpleTag* SimpleTags;
} TagRecord;

typedef struct AttachmentRecord {
  uint64_t Position;  // absolute file position of the file data
  uint64_t Length;
  uint64_t UID;
  char* Name;
  char* Description;
  char* MimeType;
} AttachmentRecord;

typedef struct MatroskaFile MatroskaFile;

// Open flags.
enum { MKVF_AVOID_SEEKS = 1 };  // ignore SeekHeads, no duration read-ahead, seeks do nothing

// Frame flags of mkv_ReadFrame.
enum {
  FRAME_UNKNOWN_START = 0x00000001,  // laced frame after the first, or a BlockAdditional
  FRAME_UNKNOWN_END = 0x00000002,
  FRAME_KF = 0x00000004,
  FRAME_GAP = 0x00800000,
  // Damage that reading passed over (mkv_GetReadDamage) lies right after
  // the frame, or right before it: the last frame of its track read before
  // the stretch, and the first one read after it. A frame before a stretch
  // may have lost its own last bytes to the damage.
  FRAME_BEFORE_SKIP = 0x00200000,
  FRAME_AFTER_SKIP = 0x00400000,
  FRAME_STREAM_MASK = 0xff000000,  // BlockAddID of a BlockAdditional, 0 otherwise
  FRAME_STREAM_SHIFT = 24,
};

// Opens the file: checks the EBML header, walks the Segment and reads its
// metadata. Null on failure, with the message copied into errbuf (at most
// errlen - 1 characters and a terminating zero; nothing when errlen is 0).
MatroskaFile* mkv_OpenEx(StreamCallbacks* io, uint64_t base, unsigned flags, char* errbuf,
                         unsigned errlen);
MatroskaFile* mkv_Open(StreamCallbacks* io, char* errbuf, unsigned errlen);
void mkv_Close(MatroskaFile* mf);  // null is ignored
const char* mkv_GetLastError(MatroskaFile* mf);  // null when no error happened

SegmentInfo* mkv_GetFileInfo(MatroskaFile* mf);
unsigned mkv_GetNumTracks(MatroskaFile* mf);
TrackInfo* mkv_GetTrackInfo(MatroskaFile* mf, unsigned track);  // null when out of range
unsigned mkv_GetAttachments(MatroskaFile* mf, AttachmentRecord** at, unsigned* count);
unsigned mkv_GetChapters(MatroskaFile* mf, Chapter** ch, unsigned* count);
unsigned mkv_GetTags(MatroskaFile* mf, TagRecord** tag, unsigned* count);
// Each sets both outs and returns the count. The cue table is sorted by
// time; it is there for inspection tools.
unsigned mkv_GetCues(MatroskaFile* mf, CueEntry** cues, unsigned* count);
uint64_t mkv_GetSegmentTop(MatroskaFile* mf);  // file position just past the Segment
int64_t mkv_TruncFloat(FixedPoint64 f);        // integer part, rounded toward minus infinity

// Bit i of mask set: frames of track index i are no longer queued, and
// those queued are dropped.
void mkv_SetTrackMask(MatroskaFile* mf, uint64_t mask);
// The queued frame with the earliest start (lowest track index on a tie),
// reading more of the file as needed: 0, or -1 at the end or after a
// failure. A frame is handed out once the next frame of its track is queued
// (or reading has ended), so that its FRAME_BEFORE_SKIP is known. Bit (i mod 32) of mask passes over track index i for this call.
int mkv_ReadFrame(MatroskaFile* mf, unsigned mask, unsigned* track, uint64_t* start,
                  uint64_t* end, uint64_t* file_pos, unsigned* size, unsigned* flags);

// What frame reading met since the last seek (the open counts as one):
// damaged stretches that it passed over by going on at the next cluster, and
// whether it stopped at damage before the end of the clusters, or at a
// cluster of unknown size, which it does not read. A top-level element after
// the clusters (cues, tags, attachments ...) ends them, and damage there or
// in it is none of the frames'.
typedef struct MkvReadDamage {
  unsigned Skipped;         // stretches passed over
  uint64_t SkippedBytes;    // their bytes together
  uint64_t FirstSkipPos;    // file position where the first one begins
  uint64_t FirstSkipBytes;  // its bytes
  unsigned Stopped;         // 1: reading stopped at a failure (mkv_GetLastError tells which)
  uint64_t UnsizedCluster;  // file position of a cluster of unknown size, where reading stopped; 0: none
} MkvReadDamage;
void mkv_GetReadDamage(MatroskaFile* mf, MkvReadDamage* damage);

// Moves frame reading to time t: the queue of track index `track` then
// starts with its first frame at or after t (reordered frames aside).
// Without usable cues, the file is first scanned for clusters. A track index
// beyond the track count, or a file opened with MKVF_AVOID_SEEKS, does
// nothing. flags are unused.
void mkv_SeekTrack(MatroskaFile* mf, unsigned track, uint64_t t, unsigned flags);
// As mkv_SeekTrack, to the time of the last cue point not after t.
void mkv_Seek2Track(MatroskaFile* mf, unsigned track, uint64_t t, unsigned flags);

// Reader of zlib-compressed frames of one track.
typedef struct CompressedFrameReader CompressedFrameReader;
CompressedFrameReader* cs_Create(MatroskaFile* mf, unsigned track, char* errbuf, unsigned errlen);
void cs_Destroy(CompressedFrameReader* cs);  // null is ignored
void cs_NextFrame(CompressedFrameReader* cs, uint64_t file_pos, unsigned size);
// Up to size expanded bytes of the current frame: fewer only at its end;
// -1 on failure (cs_GetLastError tells why).
int cs_ReadData(CompressedFrameReader* cs, char* buffer, unsigned size);
const char* cs_GetLastError(CompressedFrameReader* cs);

#ifdef __cplusplus
}
#endif

#endif
