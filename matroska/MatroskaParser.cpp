// Matroska reader. Failures travel inside as a private exception thrown by
// one routine, errorjmp, which first keeps the message in the file; every
// public entry catches it (and anything else) and returns its neutral value.
// Records handed out are plain structs from the caller's memalloc; scratch
// memory of one parsing step is owned locally, so a failure leaks nothing.
#include "MatroskaParser.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using u8 = uint8_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i64 = int64_t;

constexpr u32 EOF_ID = 0xFFFFFFFF;  // readID at end of file
constexpr u32 MKVF_ERROR = 0x10000;  // error/end flag in MatroskaFile::flags
constexpr u64 UNKNOWN_END = ~0ULL;
constexpr unsigned MAX_TRACKS = 64;  // the skip mask has one bit per track
constexpr unsigned TEXT_MAX = 1023;
constexpr unsigned CODEC_PRIVATE_MAX = 0x40000;
// Codec private data of all tracks together, once expanded: the one budget
// of a file, so that a small file cannot hold memory without bound.
constexpr u64 INFLATED_MAX = 16u << 20;
constexpr unsigned STRIP_MAX = 256;
constexpr unsigned CHAPTER_DEPTH_MAX = 64;
constexpr unsigned SEEKHEADS_MAX = 10;
constexpr u64 SKIPPED_ELEMENT_MAX = 4194304;  // larger non-block elements between blocks are damage
constexpr u64 RESYNC_CLUSTER_MAX = 67108864;
constexpr unsigned POOL_CHUNK = 512;

// Element IDs, with their length-marker bits.
enum : u32 {
  ID_EBML = 0x1A45DFA3,
  ID_EBMLVERSION = 0x4286,
  ID_EBMLREADVERSION = 0x42F7,
  ID_EBMLMAXIDLENGTH = 0x42F2,
  ID_EBMLMAXSIZELENGTH = 0x42F3,
  ID_DOCTYPE = 0x4282,
  ID_DOCTYPEVERSION = 0x4287,
  ID_DOCTYPEREADVERSION = 0x4285,

  ID_SEGMENT = 0x18538067,
  ID_SEEKHEAD = 0x114D9B74,
  ID_SEEK = 0x4DBB,
  ID_SEEKID = 0x53AB,
  ID_SEEKPOSITION = 0x53AC,
  ID_INFO = 0x1549A966,
  ID_TRACKS = 0x1654AE6B,
  ID_CUES = 0x1C53BB6B,
  ID_CHAPTERS = 0x1043A770,
  ID_TAGS = 0x1254C367,
  ID_ATTACHMENTS = 0x1941A469,
  ID_CLUSTER = 0x1F43B675,

  ID_TIMECODESCALE = 0x2AD7B1,
  ID_DURATION = 0x4489,
  ID_DATEUTC = 0x4461,
  ID_SEGMENTUID = 0x73A4,
  ID_PREVUID = 0x3CB923,
  ID_NEXTUID = 0x3EB923,
  ID_SEGMENTFILENAME = 0x7384,
  ID_PREVFILENAME = 0x3C83AB,
  ID_NEXTFILENAME = 0x3E83BB,
  ID_TITLE = 0x7BA9,
  ID_MUXINGAPP = 0x4D80,
  ID_WRITINGAPP = 0x5741,

  ID_TRACKENTRY = 0xAE,
  ID_TRACKNUMBER = 0xD7,
  ID_TRACKTYPE = 0x83,
  ID_FLAGENABLED = 0xB9,
  ID_FLAGDEFAULT = 0x88,
  ID_FLAGLACING = 0x9C,
  ID_CODECDECODEALL = 0xAA,
  ID_MINCACHE = 0x6DE7,
  ID_MAXCACHE = 0x6DF8,
  ID_DEFAULTDURATION = 0x23E383,
  ID_TRACKTIMECODESCALE = 0x23314F,
  ID_TRACKOVERLAY = 0x6FAB,
  ID_MAXBLOCKADDITIONID = 0x55EE,
  ID_TRACKUID = 0x73C5,
  ID_NAME = 0x536E,
  ID_LANGUAGE = 0x22B59C,
  ID_CODECID = 0x86,
  ID_CODECPRIVATE = 0x63A2,
  ID_VIDEO = 0xE0,
  ID_AUDIO = 0xE1,
  ID_CONTENTENCODINGS = 0x6D80,
  ID_FLAGINTERLACED = 0x9A,
  ID_PIXELWIDTH = 0xB0,
  ID_PIXELHEIGHT = 0xBA,
  ID_DISPLAYWIDTH = 0x54B0,
  ID_DISPLAYHEIGHT = 0x54BA,
  ID_PIXELCROPBOTTOM = 0x54AA,
  ID_PIXELCROPTOP = 0x54BB,
  ID_PIXELCROPLEFT = 0x54CC,
  ID_PIXELCROPRIGHT = 0x54DD,
  ID_STEREOMODE = 0x53B8,
  ID_DISPLAYUNIT = 0x54B2,
  ID_ASPECTRATIOTYPE = 0x54B3,
  ID_COLOURSPACE = 0x2EB524,
  ID_GAMMAVALUE = 0x2FB523,
  ID_CHANNELS = 0x9F,
  ID_SAMPLINGFREQUENCY = 0xB5,
  ID_OUTPUTSAMPLINGFREQUENCY = 0x78B5,
  ID_BITDEPTH = 0x6264,
  ID_CONTENTENCODING = 0x6240,
  ID_CONTENTENCODINGORDER = 0x5031,
  ID_CONTENTENCODINGSCOPE = 0x5032,
  ID_CONTENTENCODINGTYPE = 0x5033,
  ID_CONTENTCOMPRESSION = 0x5034,
  ID_CONTENTCOMPALGO = 0x4254,
  ID_CONTENTCOMPSETTINGS = 0x4255,

  ID_CUEPOINT = 0xBB,
  ID_CUETIME = 0xB3,
  ID_CUETRACKPOSITIONS = 0xB7,
  ID_CUETRACK = 0xF7,
  ID_CUECLUSTERPOSITION = 0xF1,
  ID_CUEBLOCKNUMBER = 0x5378,
  ID_CUECODECSTATE = 0xEA,
  ID_CUEREFERENCE = 0xDB,
  ID_CUEREFTIME = 0x96,
  ID_CUEREFCLUSTER = 0x97,
  ID_CUEREFCODECSTATE = 0xEB,
  ID_CUEREFNUMBER = 0x535F,

  ID_CLUSTERTIMECODE = 0xE7,
  ID_CLUSTERPOSITION = 0xA7,
  ID_CLUSTERPREVSIZE = 0xAB,
  ID_SILENTTRACKS = 0x5854,
  ID_SILENTTRACKNUMBER = 0x58D7,
  ID_BLOCKGROUP = 0xA0,
  ID_BLOCK = 0xA1,
  ID_SIMPLEBLOCK = 0xA3,
  ID_BLOCKDURATION = 0x9B,
  ID_REFERENCEBLOCK = 0xFB,
  ID_BLOCKADDITIONS = 0x75A1,
  ID_BLOCKMORE = 0xA6,
  ID_BLOCKADDID = 0xEE,
  ID_BLOCKADDITIONAL = 0xA5,

  ID_EDITIONENTRY = 0x45B9,
  ID_EDITIONUID = 0x45BC,
  ID_EDITIONFLAGHIDDEN = 0x45BD,
  ID_EDITIONFLAGDEFAULT = 0x45DB,
  ID_EDITIONFLAGORDERED = 0x45DD,
  ID_CHAPTERATOM = 0xB6,
  ID_CHAPTERUID = 0x73C4,
  ID_CHAPTERTIMESTART = 0x91,
  ID_CHAPTERTIMEEND = 0x92,
  ID_CHAPTERFLAGHIDDEN = 0x98,
  ID_CHAPTERFLAGENABLED = 0x4598,
  ID_CHAPTERSEGMENTUID = 0x6E67,
  ID_CHAPTERTRACK = 0x8F,
  ID_CHAPTERTRACKNUMBER = 0x89,
  ID_CHAPTERDISPLAY = 0x80,
  ID_CHAPSTRING = 0x85,
  ID_CHAPLANGUAGE = 0x437C,
  ID_CHAPCOUNTRY = 0x437E,
  ID_CHAPPROCESS = 0x6944,
  ID_CHAPPROCESSCODECID = 0x6955,
  ID_CHAPPROCESSPRIVATE = 0x450D,
  ID_CHAPPROCESSCOMMAND = 0x6911,
  ID_CHAPPROCESSTIME = 0x6922,
  ID_CHAPPROCESSDATA = 0x6933,

  ID_TAG = 0x7373,
  ID_TARGETS = 0x63C0,
  ID_TAGTRACKUID = 0x63C5,
  ID_TAGCHAPTERUID = 0x63C4,
  ID_TAGATTACHMENTUID = 0x63C6,
  ID_TAGEDITIONUID = 0x63C9,
  ID_SIMPLETAG = 0x67C8,
  ID_TAGNAME = 0x45A3,
  ID_TAGSTRING = 0x4487,
  ID_TAGLANGUAGE = 0x447A,
  ID_TAGDEFAULT = 0x4484,

  ID_ATTACHEDFILE = 0x61A7,
  ID_FILEDATA = 0x465C,
  ID_FILEUID = 0x46AE,
  ID_FILENAME = 0x466E,
  ID_FILEDESCRIPTION = 0x467E,
  ID_FILEMIMETYPE = 0x4660,
};

// Bits of MatroskaFile::seen.
enum : u32 {
  SEEN_INFO = 1,
  SEEN_CLUSTER = 2,
  SEEN_TRACKS = 4,
  SEEN_CUES = 8,
  SEEN_ATTACHMENTS = 16,
  SEEN_CHAPTERS = 32,
  SEEN_TAGS = 64,
};

// The exception of the error exit; the message is already in the file.
struct Failure {};
// A failure that no tolerant stretch absorbs: the open fails with it.
struct Fatal : Failure {};

}  // namespace

struct FrameQueueEntry {
  FrameQueueEntry* next;
  u32 size;
  u64 start;
  u64 end;
  u64 file_pos;
  u32 frame_flags;
};

namespace {
struct Queue {
  FrameQueueEntry* head;
  FrameQueueEntry* tail;
};
}  // namespace

// Allocated through memalloc and zero-filled, so every field is plain data.
struct MatroskaFile {
  u32 flags;  // open flags; MKVF_ERROR
  StreamCallbacks* stream;

  // Read cache: the current position is cache_base + cache_pos.
  u8 read_cache[256];
  u64 cache_base;
  int cache_pos;
  int cache_len;

  char error_text[128];

  u64 segment_start;  // first data byte of the Segment; SeekHead and cue positions count from here
  u64 next_seekhead_pos;
  // Positions of the elements' IDs, 0 while unknown.
  u64 info_pos, first_cluster_pos, tracks_pos, cues_pos, attachments_pos, chapters_pos, tags_pos;
  u32 seen;            // SEEN_* elements already parsed
  u64 first_timecode;  // time of the first block, segment timecode units

  SegmentInfo segment_info;

  u32 track_count, track_capacity;
  TrackInfo** tracks;

  FrameQueueEntry* free_entries;
  u32 pool_chunk_count, pool_chunk_capacity;
  FrameQueueEntry** pool_chunks;
  Queue* queues;  // one per track index

  u64 read_position;  // where block reading continues
  u64 skip_mask;      // bit i: track index i is not queued
  u64 after_skip;     // bit i: the next frame of track index i follows a stretch passed over
  u64 segment_end;    // just past the Segment; UNKNOWN_END when unknown
  u64 cluster_timecode;
  u64 cluster_end;  // data end of the last cluster entered, 0 when none
  u64 top_level_at;  // last element of the top level (not a cluster) met among the clusters, 0 when none

  // What frame reading passed over since the last seek (MkvReadDamage).
  u32 skip_count;
  u64 skip_bytes, skip_first_pos, skip_first_bytes;
  u64 skip_end;  // where the last stretch ends
  // A cluster whose size field holds the unknown size, met in frame reading
  // (0 when none): reading stops there, as its end cannot be known.
  u64 unsized_cluster_at;

  u64 inflated_total;  // codec private bytes expanded so far (INFLATED_MAX)

  u32 cue_count, cue_capacity;
  CueEntry* cues;
  // The first kept cue point's cluster position, for the first-cluster row
  // that is added once the first cluster is known.
  u64 first_cue_position;
  bool cue_kept;

  u32 attachment_count, attachment_capacity;
  AttachmentRecord* attachments;
  u32 chapter_count, chapter_capacity;
  Chapter* chapters;
  u32 tag_count, tag_capacity;
  TagRecord* tags;
};

struct CompressedFrameReader {
  MatroskaFile* mf;
  z_stream zs;
  u64 frame_pos;    // file position of the next compressed byte
  u32 compressed_left;
  u8 in[2048];
  u8 out[2048];
  u32 out_pos;
  u32 out_len;
  bool stream_end;  // the frame's zlib stream is complete
  char error_text[128];
};

namespace {

// ---------------------------------------------------------------------------
// Messages

// Formats "%" ["-"] ["0"] [width] ["l" | "ll"] letter with d, u, x, X and s;
// anything else (and "%%") prints nothing and takes no argument. Writes at
// most 127 characters and a terminating zero.
void format_message(char* out, const char* fmt, va_list ap) {
  constexpr size_t cap = 127;
  size_t n = 0;
  auto put = [&](char c) {
    if (n < cap) out[n++] = c;
  };
  while (*fmt && n < cap) {
    if (*fmt != '%') {
      put(*fmt++);
      continue;
    }
    ++fmt;
    bool left = false, zero = false;
    int width = 0, longs = 0;
    if (*fmt == '-') left = true, ++fmt;
    if (*fmt == '0') zero = true, ++fmt;
    while (*fmt >= '0' && *fmt <= '9') {
      width = std::min(width * 10 + (*fmt - '0'), int(cap));
      ++fmt;
    }
    while (*fmt == 'l') ++longs, ++fmt;
    const char conv = *fmt;
    if (!conv) break;
    ++fmt;
    if (longs > 2) continue;

    char digits[24];
    int nd = 0;
    bool neg = false;
    u64 v = 0;
    unsigned radix = 10;
    const char* alphabet = "0123456789abcdef";
    switch (conv) {
      case 'd': {
        const i64 s = longs == 2 ? va_arg(ap, long long) : longs == 1 ? va_arg(ap, long) : va_arg(ap, int);
        neg = s < 0;
        v = neg ? 0 - u64(s) : u64(s);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
        v = longs == 2   ? va_arg(ap, unsigned long long)
            : longs == 1 ? va_arg(ap, unsigned long)
                         : va_arg(ap, unsigned);
        if (conv != 'u') radix = 16;
        if (conv == 'X') alphabet = "0123456789ABCDEF";
        break;
      case 's': {
        const char* s = va_arg(ap, const char*);
        while (s && *s) put(*s++);
        continue;
      }
      default:
        continue;
    }
    do {
      digits[nd++] = alphabet[v % radix];
      v /= radix;
    } while (v);
    const int pad = std::max(0, width - nd - (neg ? 1 : 0));
    if (neg) put('-');
    if (!left)
      for (int i = 0; i < pad; ++i) put(zero ? '0' : ' ');
    while (nd) put(digits[--nd]);
    if (left)
      for (int i = 0; i < pad; ++i) put(' ');
  }
  out[n] = 0;
}

[[noreturn]] __attribute__((format(printf, 2, 3))) void errorjmp(MatroskaFile* mf, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  format_message(mf->error_text, fmt, ap);
  va_end(ap);
  mf->flags |= MKVF_ERROR;
  throw Failure{};
}

// The same for a failure that no tolerant stretch absorbs.
[[noreturn]] __attribute__((format(printf, 2, 3))) void fataljmp(MatroskaFile* mf, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  format_message(mf->error_text, fmt, ap);
  va_end(ap);
  mf->flags |= MKVF_ERROR;
  throw Fatal{};
}

// Copies text into a caller's buffer: at most len - 1 characters and a zero.
void copy_error(char* buf, unsigned len, const char* text) {
  if (!buf || len == 0) return;
  size_t n = strlen(text);
  if (n > len - 1) n = len - 1;
  memcpy(buf, text, n);
  buf[n] = 0;
}

// Keeps the message of an exception other than Failure (allocation) in the
// file, as errorjmp would have.
void note_unexpected(MatroskaFile* mf, const char* what) {
  copy_error(mf->error_text, sizeof mf->error_text, what);
  mf->flags |= MKVF_ERROR;
}

// Runs body under the entry's error handler: Failure and anything else end
// in the neutral value.
template <class T, class F>
T guarded(MatroskaFile* mf, T neutral, F body) {
  try {
    return body();
  } catch (const Failure&) {
  } catch (const std::bad_alloc&) {
    note_unexpected(mf, "Out of memory");
  } catch (...) {
    note_unexpected(mf, "Internal error");
  }
  return neutral;
}

void clear_error(MatroskaFile* mf) { mf->flags &= ~MKVF_ERROR; }

// ---------------------------------------------------------------------------
// Memory through the caller's callbacks

void* mem_alloc(MatroskaFile* mf, size_t size) {
  return mf->stream->memalloc(mf->stream, size ? size : 1);
}
void mem_free(MatroskaFile* mf, void* p) {
  if (p) mf->stream->memfree(mf->stream, p);
}

// Appends one zeroed element to a memalloc'ed array that doubles as it
// grows. The pointer returned is valid until the next append to the array.
template <class T>
T* append(MatroskaFile* mf, T*& array, unsigned& count, unsigned& capacity) {
  if (count == capacity) {
    const u64 want = capacity ? u64(capacity) * 2 : 1;
    if (want > UINT_MAX || want * sizeof(T) > SIZE_MAX / 2) errorjmp(mf, "Out of memory in ArrayAlloc");
    void* p = mf->stream->memrealloc(mf->stream, array, size_t(want) * sizeof(T));
    if (!p) errorjmp(mf, "Out of memory in ArrayAlloc");
    array = static_cast<T*>(p);
    capacity = unsigned(want);
  }
  T* e = &array[count++];
  memset(static_cast<void*>(e), 0, sizeof *e);
  return e;
}

// Shrinks an array to its count when it has spare room.
template <class T>
void shrink(MatroskaFile* mf, T*& array, unsigned count, unsigned& capacity) {
  if (count == 0 || count >= capacity) return;
  void* p = mf->stream->memrealloc(mf->stream, array, count * sizeof(T));
  if (p) {
    array = static_cast<T*>(p);
    capacity = count;
  }
}

// ---------------------------------------------------------------------------
// EBML primitives on the read cache

u64 filepos(const MatroskaFile* mf) { return mf->cache_base + u64(mf->cache_pos); }

[[noreturn]] void io_error(MatroskaFile* mf) {
  const char* text = mf->stream->geterror(mf->stream);
  errorjmp(mf, "I/O Error: %s", text ? text : "");
}

// Next byte, or -1 at end of file.
int readch(MatroskaFile* mf) {
  if (mf->cache_pos < mf->cache_len) return mf->read_cache[mf->cache_pos++];
  mf->cache_base += u64(mf->cache_len);
  mf->cache_pos = mf->cache_len = 0;
  int r = mf->stream->read(mf->stream, mf->cache_base, mf->read_cache, int(sizeof mf->read_cache));
  if (r < 0) io_error(mf);
  if (r == 0) return -1;
  mf->cache_len = std::min(r, int(sizeof mf->read_cache));
  return mf->read_cache[mf->cache_pos++];
}

void seek(MatroskaFile* mf, u64 pos) {
  if (pos >= mf->cache_base && pos - mf->cache_base < u64(mf->cache_len)) {
    mf->cache_pos = int(pos - mf->cache_base);
  } else {
    mf->cache_base = pos;
    mf->cache_pos = mf->cache_len = 0;
  }
}

// A position that lies count bytes past pos; never wraps.
u64 advance(MatroskaFile* mf, u64 pos, u64 count) {
  if (count > UNKNOWN_END - pos) errorjmp(mf, "Element size %llu runs past the end of the file", (unsigned long long)count);
  return pos + count;
}

void skip(MatroskaFile* mf, u64 count) { seek(mf, advance(mf, filepos(mf), count)); }

u32 readID(MatroskaFile* mf) {
  const int c = readch(mf);
  if (c < 0) return EOF_ID;
  if (c >= 0x80) return u32(c);
  if (c < 0x10) errorjmp(mf, "Invalid first byte of EBML ID: %02X", unsigned(c));
  const int extra = c >= 0x40 ? 1 : c >= 0x20 ? 2 : 3;
  u32 id = u32(c);
  for (int i = 0; i < extra; ++i) {
    const int b = readch(mf);
    if (b < 0) errorjmp(mf, "Got EOF while reading EBML ID");
    id = (id << 8) | u32(b);
  }
  return id;
}

// Variable-length integer with its marker stripped; *len receives the number
// of bytes after the first. End of file before the first byte gives 0.
u64 readVLUIntImp(MatroskaFile* mf, int* len) {
  if (len) *len = 0;
  const int c = readch(mf);
  if (c < 0) return 0;
  if (c == 0) errorjmp(mf, "Invalid first byte of EBML integer: 0");
  int extra = 0;
  while (!(c & (0x80 >> extra))) ++extra;
  u64 v = u64(c) & ((0x80u >> extra) - 1);
  for (int i = 0; i < extra; ++i) {
    const int b = readch(mf);
    if (b < 0) errorjmp(mf, "Got EOF while reading EBML unsigned integer");
    v = (v << 8) | u64(b);
  }
  if (len) *len = extra;
  return v;
}

bool is_unknown_size(u64 v, int len) { return v == (u64(1) << (7 * (len + 1))) - 1; }

// The Segment's children other than Cluster.
bool is_top_level(u32 id) {
  return id == ID_SEEKHEAD || id == ID_INFO || id == ID_TRACKS || id == ID_CUES || id == ID_CHAPTERS || id == ID_TAGS ||
         id == ID_ATTACHMENTS;
}

u64 readSize(MatroskaFile* mf) {
  int len;
  const u64 v = readVLUIntImp(mf, &len);
  if (is_unknown_size(v, len)) errorjmp(mf, "Unspecified element size is not supported here.");
  return v;
}

// The size of the cluster whose ID was read at pos. A cluster of unknown
// size (as live writers leave it) is no damage, and no later cluster may be
// taken for its end: frame reading stops there for good.
u64 readClusterSize(MatroskaFile* mf, u64 pos) {
  int len;
  const u64 v = readVLUIntImp(mf, &len);
  if (is_unknown_size(v, len)) {
    mf->unsized_cluster_at = pos;
    errorjmp(mf, "The cluster at %llu has an unspecified size, which is not supported here.",
             (unsigned long long)pos);
  }
  return v;
}

u64 readUInt(MatroskaFile* mf, u64 size) {
  if (size == 0) return 0;
  if (size > 8) errorjmp(mf, "Unsupported integer size in readUInt: %u", unsigned(size));
  u64 v = 0;
  for (u64 i = 0; i < size; ++i) {
    const int b = readch(mf);
    if (b < 0) errorjmp(mf, "Got EOF while reading EBML unsigned integer");
    v = (v << 8) | u64(b);
  }
  return v;
}

FixedPoint64 readFloat(MatroskaFile* mf, u64 size) {
  if (size != 4 && size != 8) errorjmp(mf, "Invalid float size in readFloat: %u", unsigned(size));
  const u64 bits = readUInt(mf, size);
  const bool four = size == 4;
  const bool negative = (bits >> (four ? 31 : 63)) & 1;
  const int exponent = four ? int((bits >> 23) & 0xFF) : int((bits >> 52) & 0x7FF);
  const u64 mantissa = four ? (bits & 0x7FFFFF) | 0x800000 : (bits & 0xFFFFFFFFFFFFFULL) | (1ULL << 52);
  const i64 saturated = negative ? INT64_MIN : INT64_MAX;
  if (exponent == 0) return 0;
  if (exponent == (four ? 0xFF : 0x7FF)) return saturated;
  const int shift = four ? exponent - 118 : exponent - 1043;
  if (shift > (four ? 39 : 10)) return saturated;
  if (shift >= 0) {
    const u64 magnitude = mantissa << shift;  // below 2^63 by the bound above
    return negative ? -i64(magnitude) : i64(magnitude);
  }
  const i64 m = negative ? -i64(mantissa) : i64(mantissa);
  if (-shift >= 64) return negative ? -1 : 0;
  return m >> -shift;
}

void readbytes(MatroskaFile* mf, void* dst, u64 count) {
  if (count == 0) return;  // dst may be the null data() of an empty buffer
  u8* out = static_cast<u8*>(dst);
  const u64 avail = u64(mf->cache_len - mf->cache_pos);
  if (avail >= count) {
    memcpy(out, mf->read_cache + mf->cache_pos, size_t(count));
    mf->cache_pos += int(count);
    return;
  }
  memcpy(out, mf->read_cache + mf->cache_pos, size_t(avail));
  const u64 rest = count - avail;
  const u64 at = mf->cache_base + u64(mf->cache_len);
  mf->cache_base = at;
  mf->cache_pos = mf->cache_len = 0;
  if (rest > u64(INT_MAX)) errorjmp(mf, "Short read: got %d bytes of %d", 0, INT_MAX);
  const int r = mf->stream->read(mf->stream, at, out + avail, int(rest));
  if (r < 0) io_error(mf);
  mf->cache_base += u64(r);
  if (u64(r) != rest) errorjmp(mf, "Short read: got %d bytes of %d", r, int(rest));
}

// Reads min(size, bufsize - 1) bytes of a size-byte element as a text and
// skips the rest.
void readString(MatroskaFile* mf, u64 size, char* buf, int bufsize) {
  if (bufsize < 1) errorjmp(mf, "Invalid buffer size in readString: %d", bufsize);
  const u64 n = std::min(size, u64(bufsize - 1));
  readbytes(mf, buf, n);
  buf[n] = 0;
  skip(mf, size - n);
}

// Replaces *field by a memalloc'ed copy of the element's first 1023 bytes.
// The block is stored before it is filled, so a failure leaves it owned,
// and zeroed, so a read that fails half way leaves a terminated text.
void readText(MatroskaFile* mf, u64 size, char** field) {
  mem_free(mf, *field);
  *field = nullptr;
  const u64 n = std::min(size, u64(TEXT_MAX));
  char* p = static_cast<char*>(mem_alloc(mf, size_t(n + 1)));
  if (!p) errorjmp(mf, "Out of memory");
  memset(p, 0, size_t(n + 1));
  *field = p;
  readString(mf, size, p, int(n + 1));
}

// Reads the first 3 bytes of a language or country code.
void readCode3(MatroskaFile* mf, u64 size, char* code) { readString(mf, size, code, 4); }

// Walks the children of a master element whose data ends at end: f(id,
// size) is called with the position at the child's data, and the position
// then moves to the child's end whatever f consumed. A child that ends
// beyond its parent is refused.
template <class F>
void walk(MatroskaFile* mf, u64 end, F f) {
  while (filepos(mf) < end) {
    const u64 pos = filepos(mf);
    const u32 id = readID(mf);
    if (id == EOF_ID) errorjmp(mf, "Unexpected EOF while reading EBML container");
    const u64 size = readSize(mf);
    const u64 data = filepos(mf);
    if (data > end || size > end - data)
      errorjmp(mf, "Element %X at %llu runs past its parent", id, (unsigned long long)pos);
    f(id, size);
    seek(mf, data + size);
  }
}

// The 32.32 product of the magnitudes of a track's timecode scale and of v,
// mod 2^64: a negative v counts as its magnitude.
u64 scaled_time(FixedPoint64 scale, i64 v) {
  const u64 t = scale < 0 ? 0 - u64(scale) : u64(scale);
  const u64 m = v < 0 ? 0 - u64(v) : u64(v);
  const u64 t_hi = t >> 32, t_lo = t & 0xFFFFFFFF;
  const u64 v_hi = m >> 32, v_lo = m & 0xFFFFFFFF;
  return ((t_lo * v_lo) >> 32) + t_lo * v_hi + t_hi * v_lo + ((t_hi * v_hi) << 32);
}

u64 saturating_mul(u64 a, u64 b) {
  unsigned __int128 p = (unsigned __int128)a * b;
  return p > UINT64_MAX ? UINT64_MAX : u64(p);
}

// ---------------------------------------------------------------------------
// Tracks

TrackInfo* track_by_number(MatroskaFile* mf, u64 number, unsigned* index) {
  for (unsigned i = 0; i < mf->track_count; ++i)
    if (mf->tracks[i]->Number == number) {
      if (index) *index = i;
      return mf->tracks[i];
    }
  return nullptr;
}

// One TrackEntry while it is read: the record and its variable parts.
struct TrackWork {
  TrackInfo t{};
  std::string name, codec_id;
  std::vector<u8> codec_private, strip;
  bool has_name = false, has_codec_id = false, has_codec_private = false;
  bool leave_out = false;  // encrypted or unsupported encoding
  unsigned encodings = 0;
  u64 scope = 1;
};

u32 readU32Value(MatroskaFile* mf, u64 size, const char* too_large) {
  const u64 v = readUInt(mf, size);
  if (v > 0xFFFFFFFF) errorjmp(mf, "%s", too_large);
  return u32(v);
}

void readStdString(MatroskaFile* mf, u64 size, std::string& out) {
  const u64 n = std::min(size, u64(TEXT_MAX));
  out.assign(size_t(n), '\0');
  readbytes(mf, &out[0], n);
  out.resize(strnlen(out.c_str(), size_t(n)));
  skip(mf, size - n);
}

void parseVideo(MatroskaFile* mf, u64 end, TrackWork& w) {
  auto& v = w.t.AV.Video;
  bool display_width = false, display_height = false;
  walk(mf, end, [&](u32 id, u64 size) {
    switch (id) {
      case ID_FLAGINTERLACED:  // 1 interlaced, 2 progressive, 0 not known
        v.Interlaced = readUInt(mf, size) == 1;
        break;
      case ID_PIXELWIDTH: v.PixelWidth = readU32Value(mf, size, "PixelWidth is too large"); break;
      case ID_PIXELHEIGHT: v.PixelHeight = readU32Value(mf, size, "PixelHeight is too large"); break;
      case ID_DISPLAYWIDTH:
        v.DisplayWidth = readU32Value(mf, size, "DisplayWidth is too large");
        display_width = true;
        break;
      case ID_DISPLAYHEIGHT:
        v.DisplayHeight = readU32Value(mf, size, "DisplayHeight is too large");
        display_height = true;
        break;
      case ID_PIXELCROPBOTTOM: v.CropB = readU32Value(mf, size, "PixelCropBottom is too large"); break;
      case ID_PIXELCROPTOP: v.CropT = readU32Value(mf, size, "PixelCropTop is too large"); break;
      case ID_PIXELCROPLEFT: v.CropL = readU32Value(mf, size, "PixelCropLeft is too large"); break;
      case ID_PIXELCROPRIGHT: v.CropR = readU32Value(mf, size, "PixelCropRight is too large"); break;
      case ID_STEREOMODE: {
        const u64 m = readUInt(mf, size);
        if (m > 3) errorjmp(mf, "Invalid stereo mode");
        v.StereoMode = u8(m);
        break;
      }
      case ID_DISPLAYUNIT: v.DisplayUnit = u8(readUInt(mf, size)); break;
      case ID_ASPECTRATIOTYPE: {
        const u64 a = readUInt(mf, size);
        if (a > 2) errorjmp(mf, "Invalid AspectRatioType: %d", int(a));
        v.AspectRatioType = u8(a);
        break;
      }
      case ID_COLOURSPACE:
        // Four bytes by definition; other sizes read as their integer.
        v.ColourSpace = u32(readUInt(mf, size));
        break;
      case ID_GAMMAVALUE: v.GammaValue = readFloat(mf, size); break;
    }
  });
  if (!display_width) v.DisplayWidth = v.PixelWidth;
  if (!display_height) v.DisplayHeight = v.PixelHeight;
}

void parseAudio(MatroskaFile* mf, u64 end, TrackWork& w) {
  auto& a = w.t.AV.Audio;
  walk(mf, end, [&](u32 id, u64 size) {
    switch (id) {
      case ID_CHANNELS: {
        const u64 c = readUInt(mf, size);
        if (size == 0 || c == 0 || c > 255) errorjmp(mf, "Invalid Channels value");
        a.Channels = u8(c);
        break;
      }
      case ID_SAMPLINGFREQUENCY: a.SamplingFreq = readFloat(mf, size); break;
      case ID_OUTPUTSAMPLINGFREQUENCY: a.OutputSamplingFreq = readFloat(mf, size); break;
      case ID_BITDEPTH: a.BitDepth = u8(readUInt(mf, size)); break;
    }
  });
  if (a.Channels == 0) a.Channels = 1;
  if (mkv_TruncFloat(a.SamplingFreq) == 0) a.SamplingFreq = FixedPoint64(8000) << 32;
  if (mkv_TruncFloat(a.OutputSamplingFreq) == 0) a.OutputSamplingFreq = a.SamplingFreq;
}

void parseContentEncodings(MatroskaFile* mf, u64 end, TrackWork& w) {
  walk(mf, end, [&](u32 id, u64 size) {
    if (id != ID_CONTENTENCODING) return;
    if (++w.encodings > 1) {
      w.leave_out = true;  // chains of encodings are not supported
      return;
    }
    w.t.CompEnabled = 1;
    w.t.CompMethod = MKV_COMP_ZLIB;
    w.scope = 1;
    walk(mf, filepos(mf) + size, [&](u32 eid, u64 esize) {
      switch (eid) {
        case ID_CONTENTENCODINGORDER: readUInt(mf, esize); break;
        case ID_CONTENTENCODINGSCOPE: w.scope = readUInt(mf, esize); break;
        case ID_CONTENTENCODINGTYPE:
          if (readUInt(mf, esize) != 0) w.leave_out = true;  // encryption
          break;
        case ID_CONTENTCOMPRESSION:
          walk(mf, filepos(mf) + esize, [&](u32 cid, u64 csize) {
            if (cid == ID_CONTENTCOMPALGO) {
              const u64 algo = readUInt(mf, csize);
              if (algo == 0)
                w.t.CompMethod = MKV_COMP_ZLIB;
              else if (algo == 3)
                w.t.CompMethod = MKV_COMP_STRIP;
              else
                w.leave_out = true;
            } else if (cid == ID_CONTENTCOMPSETTINGS) {
              if (csize > STRIP_MAX) {
                w.leave_out = true;
                return;
              }
              w.strip.resize(size_t(csize));
              readbytes(mf, w.strip.data(), csize);
            }
          });
          break;
      }
    });
  });
}

// Expands zlib-compressed codec private data of track number `number`
// within what is left of the file's budget: a first pass counts the bytes
// without keeping them, so that only what is kept is ever held.
std::vector<u8> inflate_codec_private(MatroskaFile* mf, const std::vector<u8>& in, unsigned number) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  if (inflateInit(&zs) != Z_OK) errorjmp(mf, "inflateInit failed");
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&zs};
  const u64 left = INFLATED_MAX - std::min(mf->inflated_total, INFLATED_MAX);
  auto start = [&]() {
    inflateReset(&zs);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = uInt(in.size());
  };
  start();
  u8 scratch[16384];
  u64 total = 0;
  int ret;
  do {
    zs.next_out = scratch;
    zs.avail_out = sizeof scratch;
    ret = inflate(&zs, Z_NO_FLUSH);
    total += sizeof scratch - zs.avail_out;
    if (total > left)
      fataljmp(mf, "Expanded CodecPrivate of all tracks exceeds %u bytes (track %u)", unsigned(INFLATED_MAX), number);
  } while (ret == Z_OK);
  if (ret != Z_STREAM_END) errorjmp(mf, "invalid compressed data in CodecPrivate");
  std::vector<u8> out(static_cast<size_t>(total));
  if (total == 0) return out;
  start();
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  if (inflate(&zs, Z_FINISH) != Z_STREAM_END || zs.avail_out != 0) errorjmp(mf, "inflate failed");
  mf->inflated_total += total;
  return out;
}

void parseTrackEntry(MatroskaFile* mf, u64 end) {
  TrackWork w;
  TrackInfo& t = w.t;
  t.Enabled = t.Default = t.Lacing = t.DecodeAll = 1;
  t.TimecodeScale = FixedPoint64(1) << 32;
  walk(mf, end, [&](u32 id, u64 size) {
    switch (id) {
      case ID_TRACKNUMBER: {
        const u64 n = readUInt(mf, size);
        if (n > 255) errorjmp(mf, "Track number is >255 (%d)", int(std::min<u64>(n, INT_MAX)));
        t.Number = u8(n);
        break;
      }
      case ID_TRACKTYPE: {
        const u64 type = readUInt(mf, size);
        if (size == 0 || type == 0 || type > 254)
          errorjmp(mf, "Invalid track type: %d", int(std::min<u64>(type, INT_MAX)));
        t.Type = u8(type);
        break;
      }
      case ID_FLAGENABLED: t.Enabled = readUInt(mf, size) != 0; break;
      case ID_FLAGDEFAULT: t.Default = readUInt(mf, size) != 0; break;
      case ID_FLAGLACING: t.Lacing = readUInt(mf, size) != 0; break;
      case ID_CODECDECODEALL: t.DecodeAll = readUInt(mf, size) != 0; break;
      case ID_MINCACHE:
        t.MinCache = readUInt(mf, size);
        if (t.MinCache > 0xFFFFFFFF) errorjmp(mf, "MinCache is too large");
        break;
      case ID_MAXCACHE:
        t.MaxCache = readUInt(mf, size);
        if (t.MaxCache > 0xFFFFFFFF) errorjmp(mf, "MaxCache is too large");
        break;
      case ID_DEFAULTDURATION: t.DefaultDuration = readUInt(mf, size); break;
      case ID_TRACKTIMECODESCALE: t.TimecodeScale = readFloat(mf, size); break;
      case ID_TRACKOVERLAY: {
        const u64 o = readUInt(mf, size);
        if (o > 255) errorjmp(mf, "Track number in TrackOverlay is too large: %d", int(std::min<u64>(o, INT_MAX)));
        t.TrackOverlay = u8(o);
        break;
      }
      case ID_MAXBLOCKADDITIONID: t.MaxBlockAdditionID = u32(readUInt(mf, size)); break;
      case ID_TRACKUID: t.UID = readUInt(mf, size); break;
      case ID_NAME:
        if (w.has_name) errorjmp(mf, "Duplicate Track Name");
        w.has_name = true;
        readStdString(mf, size, w.name);
        break;
      case ID_LANGUAGE: readCode3(mf, size, t.Language); break;
      case ID_CODECID:
        if (w.has_codec_id) errorjmp(mf, "Duplicate CodecID");
        w.has_codec_id = true;
        readStdString(mf, size, w.codec_id);
        break;
      case ID_CODECPRIVATE:
        if (w.has_codec_private) errorjmp(mf, "Duplicate CodecPrivate");
        if (size > CODEC_PRIVATE_MAX) errorjmp(mf, "CodecPrivate is too large: %d", int(std::min<u64>(size, INT_MAX)));
        w.has_codec_private = true;
        w.codec_private.resize(size_t(size));
        readbytes(mf, w.codec_private.data(), size);
        break;
      case ID_VIDEO: parseVideo(mf, filepos(mf) + size, w); break;
      case ID_AUDIO: parseAudio(mf, filepos(mf) + size, w); break;
      case ID_CONTENTENCODINGS: parseContentEncodings(mf, filepos(mf) + size, w); break;
    }
  });


  if (w.leave_out) return;
  if (!w.has_codec_id) errorjmp(mf, "Track has no Codec ID");
  if (t.UID != 0)
    for (unsigned i = 0; i < mf->track_count; ++i)
      if (mf->tracks[i]->UID == t.UID) return;

  if (t.CompEnabled && t.CompMethod == MKV_COMP_ZLIB && (w.scope & 2) && !w.codec_private.empty())
    w.codec_private = inflate_codec_private(mf, w.codec_private, t.Number);
  if (t.CompEnabled && !(w.scope & 1)) {
    t.CompEnabled = 0;
    w.strip.clear();
  }

  if (mf->track_count == mf->track_capacity) {
    const unsigned want = mf->track_capacity ? mf->track_capacity * 2 : 1;
    void* p = mf->stream->memrealloc(mf->stream, mf->tracks, want * sizeof(TrackInfo*));
    if (!p) errorjmp(mf, "Out of memory in ArrayAlloc");
    mf->tracks = static_cast<TrackInfo**>(p);
    mf->track_capacity = want;
  }

  // One block: the record, codec private data, stripped header, name, codec ID.
  const size_t size = sizeof(TrackInfo) + w.codec_private.size() + w.strip.size() +
                      (w.has_name ? w.name.size() + 1 : 0) + w.codec_id.size() + 1;
  u8* block = static_cast<u8*>(mem_alloc(mf, size));
  if (!block) errorjmp(mf, "Out of memory");
  TrackInfo* out = reinterpret_cast<TrackInfo*>(block);
  *out = t;
  u8* p = block + sizeof(TrackInfo);
  out->CodecPrivate = nullptr;
  out->CodecPrivateSize = unsigned(w.codec_private.size());
  if (!w.codec_private.empty()) {
    out->CodecPrivate = p;
    memcpy(p, w.codec_private.data(), w.codec_private.size());
    p += w.codec_private.size();
  }
  out->CompMethodPrivate = nullptr;
  out->CompMethodPrivateSize = unsigned(w.strip.size());
  if (!w.strip.empty()) {
    out->CompMethodPrivate = p;
    memcpy(p, w.strip.data(), w.strip.size());
    p += w.strip.size();
  }
  out->Name = nullptr;
  if (w.has_name) {
    out->Name = reinterpret_cast<char*>(p);
    memcpy(p, w.name.c_str(), w.name.size() + 1);
    p += w.name.size() + 1;
  }
  out->CodecID = reinterpret_cast<char*>(p);
  memcpy(p, w.codec_id.c_str(), w.codec_id.size() + 1);
  if (!out->Language[0]) memcpy(out->Language, "eng", 4);
  mf->tracks[mf->track_count++] = out;
}

void parseTracks(MatroskaFile* mf, u64 size) {
  mf->seen |= SEEN_TRACKS;
  walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 esize) {
    if (id == ID_TRACKENTRY && mf->track_count < MAX_TRACKS) parseTrackEntry(mf, filepos(mf) + esize);
  });
}

// ---------------------------------------------------------------------------
// Segment information

// A child that cannot be read (a size its kind does not allow, a scale of
// 0) is passed over by its size, its message kept, and the rest read; a
// failure of the element's own structure (a child's ID or size, a child
// running past the element, the end of the file) ends the open: the times
// of the whole file hang on what Info holds, so it is never taken in part.
void parseSegmentInfo(MatroskaFile* mf, u64 size) {
  if (mf->seen & SEEN_INFO) return;
  mf->seen |= SEEN_INFO;
  SegmentInfo& si = mf->segment_info;
  si.TimecodeScale = 1000000;
  FixedPoint64 duration = 0;
  auto uid = [&](u64 esize, char* dst, const char* message) {
    if (esize != 16) errorjmp(mf, message, 16);
    readbytes(mf, dst, 16);
  };
  auto child = [&](u32 id, u64 esize) {
    switch (id) {
      case ID_TIMECODESCALE: {
        if (esize == 0) errorjmp(mf, "Segment timecode scale is zero");
        const u64 scale = readUInt(mf, esize);
        if (scale == 0) errorjmp(mf, "Segment timecode scale is zero");
        si.TimecodeScale = scale;
        break;
      }
      case ID_DURATION: duration = readFloat(mf, esize); break;
      case ID_DATEUTC:
        si.DateUTC = i64(readUInt(mf, esize));
        si.DateUTCValid = 1;
        break;
      case ID_SEGMENTUID: uid(esize, si.UID, "SegmentUID size is not %d bytes"); break;
      case ID_PREVUID: uid(esize, si.PrevUID, "PrevUID size is not %d bytes"); break;
      case ID_NEXTUID: uid(esize, si.NextUID, "NextUID size is not %d bytes"); break;
      case ID_SEGMENTFILENAME: readText(mf, esize, &si.Filename); break;
      case ID_PREVFILENAME: readText(mf, esize, &si.PrevFilename); break;
      case ID_NEXTFILENAME: readText(mf, esize, &si.NextFilename); break;
      case ID_TITLE: readText(mf, esize, &si.Title); break;
      case ID_MUXINGAPP: readText(mf, esize, &si.MuxingApp); break;
      case ID_WRITINGAPP: readText(mf, esize, &si.WritingApp); break;
    }
  };
  try {
    walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 esize) {
      try {
        child(id, esize);
      } catch (const Failure&) {
        clear_error(mf);
      }
    });
  } catch (const Failure&) {
    throw Fatal{};
  }
  const u64 magnitude = duration < 0 ? 0 - u64(duration) : u64(duration);
  const unsigned __int128 ns = ((unsigned __int128)magnitude * si.TimecodeScale) >> 32;
  si.Duration = ns > UINT64_MAX ? UINT64_MAX : u64(ns);
}

// Reads the start of the first cluster: its Timecode plus the relative
// timecode of its first block.
void parseFirstCluster(MatroskaFile* mf, u64 size) {
  mf->seen |= SEEN_CLUSTER;
  mf->first_timecode = 0;
  const u64 end = advance(mf, filepos(mf), size);
  bool found = false;
  auto block_time = [&]() {
    readVLUIntImp(mf, nullptr);  // track number
    const int hi = readch(mf), lo = readch(mf);
    if (hi < 0 || lo < 0) errorjmp(mf, "Got EOF while reading EBML unsigned integer");
    mf->first_timecode += u64(i64(int16_t(uint16_t((hi << 8) | lo))));
    found = true;
  };
  while (!found && filepos(mf) < end) {
    const u32 id = readID(mf);
    if (id == EOF_ID) errorjmp(mf, "Unexpected EOF while reading EBML container");
    const u64 csize = readSize(mf);
    const u64 data = filepos(mf);
    if (data > end || csize > end - data) errorjmp(mf, "Element %X at %llu runs past its parent", id, (unsigned long long)data);
    if (id == ID_CLUSTERTIMECODE) {
      mf->first_timecode += readUInt(mf, csize);
    } else if (id == ID_SIMPLEBLOCK) {
      block_time();
    } else if (id == ID_BLOCKGROUP) {
      walk(mf, data + csize, [&](u32 gid, u64) {
        if (gid == ID_BLOCK && !found) block_time();
      });
    }
    seek(mf, data + csize);
  }
}

// ---------------------------------------------------------------------------
// Cues

void parseCues(MatroskaFile* mf, u64 size) {
  mf->seen |= SEEN_CUES;
  mf->cue_count = 0;
  mf->cue_kept = false;
  try {
    u64 time = 0, position = 0, block = 0, track = 0;
    const u64 segment_size = mf->segment_end - mf->segment_start;
    walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 psize) {
      if (id != ID_CUEPOINT) return;
      walk(mf, filepos(mf) + psize, [&](u32 pid, u64 esize) {
        if (pid == ID_CUETIME) {
          time = readUInt(mf, esize);
        } else if (pid == ID_CUETRACKPOSITIONS) {
          walk(mf, filepos(mf) + esize, [&](u32 tid, u64 tsize) {
            switch (tid) {
              case ID_CUETRACK:
                track = readUInt(mf, tsize);
                if (track > 255) errorjmp(mf, "CueTrack points to an invalid track: %d", int(std::min<u64>(track, INT_MAX)));
                break;
              case ID_CUECLUSTERPOSITION: position = readUInt(mf, tsize); break;
              case ID_CUEBLOCKNUMBER: block = readUInt(mf, tsize); break;
              case ID_CUECODECSTATE: readUInt(mf, tsize); break;
              case ID_CUEREFERENCE:
                walk(mf, filepos(mf) + tsize, [&](u32 rid, u64 rsize) {
                  if (rid == ID_CUEREFTIME || rid == ID_CUEREFCLUSTER || rid == ID_CUEREFCODECSTATE ||
                      rid == ID_CUEREFNUMBER)
                    readUInt(mf, rsize);
                });
                break;
            }
          });
        }
      });
      // Only points of a listed video track, inside the segment, are kept.
      const TrackInfo* t = track_by_number(mf, track, nullptr);
      if (!t || t->Type != MKV_TRACK_VIDEO || position >= segment_size) return;
      if (!mf->cue_kept) {
        mf->cue_kept = true;
        mf->first_cue_position = position;
      }
      CueEntry* e = append(mf, mf->cues, mf->cue_count, mf->cue_capacity);
      *e = CueEntry{time, position, block, u8(track)};
    });
    shrink(mf, mf->cues, mf->cue_count, mf->cue_capacity);
  } catch (const Failure&) {
    mf->seen &= ~SEEN_CUES;
    mf->cue_count = 0;
    mf->cue_kept = false;
    clear_error(mf);
  }
}

// Turns the rows' raw timecodes into nanoseconds from the first block:
// a first-cluster row is put in front when the rows do not start there, the
// rows are sorted, and the time of base (raw) is subtracted. Raw times are
// taken as signed distances from the first block's timecode, which wraps
// like frame times do when the first block lies before a cluster timecode
// of 0; rows before the base become 0 and large products saturate.
void normalise_cues(MatroskaFile* mf, bool rows_start_at_first_cluster, bool base_is_first_row) {
  if (mf->cue_count == 0) return;
  if (!rows_start_at_first_cluster && (mf->seen & SEEN_CLUSTER)) {
    append(mf, mf->cues, mf->cue_count, mf->cue_capacity);
    memmove(mf->cues + 1, mf->cues, (mf->cue_count - 1) * sizeof(CueEntry));
    mf->cues[0] = CueEntry{mf->first_timecode, mf->first_cluster_pos - mf->segment_start, 0, 0};
  }
  const u64 first = mf->first_timecode;
  auto distance = [first](u64 t) { return i64(t - first); };
  // Muxers write the points in order: checked in one pass, sorted only when not.
  const auto earlier = [&](const CueEntry& a, const CueEntry& b) { return distance(a.Time) < distance(b.Time); };
  if (!std::is_sorted(mf->cues, mf->cues + mf->cue_count, earlier))
    std::stable_sort(mf->cues, mf->cues + mf->cue_count, earlier);
  const u64 scale = mf->segment_info.TimecodeScale;
  const i64 base = base_is_first_row ? distance(mf->cues[0].Time) : 0;
  for (unsigned i = 0; i < mf->cue_count; ++i) {
    const __int128 d = (__int128)distance(mf->cues[i].Time) - base;
    mf->cues[i].Time = d <= 0 ? 0 : saturating_mul(u64(d), scale);
  }
}

// ---------------------------------------------------------------------------
// Chapters, tags, attachments

// Stores the element's first 1023 bytes as a memalloc'ed block.
void readPayload(MatroskaFile* mf, u64 size, void** field, unsigned* length) {
  char* text = nullptr;
  readText(mf, size, &text);
  *field = text;
  *length = unsigned(std::min(size, u64(TEXT_MAX)));
}

void parseChapter(MatroskaFile* mf, u64 end, Chapter* parent, unsigned depth) {
  if (depth > CHAPTER_DEPTH_MAX) errorjmp(mf, "Chapters are nested too deeply");
  Chapter* ch = append(mf, parent->Children, parent->nChildren, parent->nChildrenSize);
  ch->Flags = MKV_CHAPTER_ENABLED;
  // ch stays valid: nothing appends to the parent's children while this
  // atom is read.
  walk(mf, end, [&](u32 id, u64 size) {
    switch (id) {
      case ID_CHAPTERUID: ch->UID = readUInt(mf, size); break;
      case ID_CHAPTERTIMESTART: ch->Start = readUInt(mf, size); break;
      case ID_CHAPTERTIMEEND: ch->End = readUInt(mf, size); break;
      case ID_CHAPTERFLAGHIDDEN:
        if (readUInt(mf, size)) ch->Flags |= MKV_CHAPTER_HIDDEN; else ch->Flags &= ~MKV_CHAPTER_HIDDEN;
        break;
      case ID_CHAPTERFLAGENABLED:
        if (readUInt(mf, size)) ch->Flags |= MKV_CHAPTER_ENABLED; else ch->Flags &= ~MKV_CHAPTER_ENABLED;
        break;
      case ID_CHAPTERSEGMENTUID:
        if (size == 16) readbytes(mf, ch->SegmentUID, 16);
        break;
      case ID_CHAPTERATOM: parseChapter(mf, filepos(mf) + size, ch, depth + 1); break;
      case ID_CHAPTERTRACK:
        walk(mf, filepos(mf) + size, [&](u32 tid, u64 tsize) {
          if (tid != ID_CHAPTERTRACKNUMBER) return;
          const u64 number = readUInt(mf, tsize);
          *append(mf, ch->Tracks, ch->nTracks, ch->nTracksSize) = number;
        });
        break;
      case ID_CHAPTERDISPLAY: {
        int display = -1;  // index, not pointer: the array may move
        auto get = [&]() -> ChapterDisplay& {
          if (display < 0) {
            append(mf, ch->Display, ch->nDisplay, ch->nDisplaySize);
            display = int(ch->nDisplay - 1);
          }
          return ch->Display[display];
        };
        // A display without its string is dropped, also where the element
        // fails before the string (the open goes on with what was read).
        auto drop_textless = [&]() {
          if (display >= 0 && !ch->Display[display].String) --ch->nDisplay;
        };
        try {
          walk(mf, filepos(mf) + size, [&](u32 did, u64 dsize) {
            if (did == ID_CHAPSTRING) {
              ChapterDisplay& d = get();
              if (!d.String) readText(mf, dsize, &d.String);
            } else if (did == ID_CHAPLANGUAGE) {
              readCode3(mf, dsize, get().Language);
            } else if (did == ID_CHAPCOUNTRY) {
              readCode3(mf, dsize, get().Country);
            }
          });
        } catch (const Failure&) {
          drop_textless();
          throw;
        }
        drop_textless();
        break;
      }
      case ID_CHAPPROCESS: {
        int process = -1;
        auto get = [&]() -> ChapterProcess& {
          if (process < 0) {
            append(mf, ch->Process, ch->nProcess, ch->nProcessSize);
            process = int(ch->nProcess - 1);
          }
          return ch->Process[process];
        };
        walk(mf, filepos(mf) + size, [&](u32 pid, u64 psize) {
          if (pid == ID_CHAPPROCESSCODECID) {
            get().CodecID = u32(readUInt(mf, psize));
          } else if (pid == ID_CHAPPROCESSPRIVATE) {
            ChapterProcess& p = get();
            if (!p.CodecPrivate) readPayload(mf, psize, &p.CodecPrivate, &p.CodecPrivateLength);
          } else if (pid == ID_CHAPPROCESSCOMMAND) {
            ChapterProcess& p0 = get();
            (void)p0;
            int command = -1;
            walk(mf, filepos(mf) + psize, [&](u32 cid, u64 csize) {
              if (cid != ID_CHAPPROCESSTIME && cid != ID_CHAPPROCESSDATA) return;
              ChapterProcess& p = ch->Process[process];
              if (command < 0) {
                append(mf, p.Commands, p.nCommands, p.nCommandsSize);
                command = int(p.nCommands - 1);
              }
              ChapterCommand& c = p.Commands[command];
              if (cid == ID_CHAPPROCESSTIME)
                c.Time = u32(readUInt(mf, csize));
              else if (!c.Command)
                readPayload(mf, csize, &c.Command, &c.CommandLength);
            });
          }
        });
        break;
      }
    }
  });
  shrink(mf, ch->Tracks, ch->nTracks, ch->nTracksSize);
  shrink(mf, ch->Display, ch->nDisplay, ch->nDisplaySize);
  shrink(mf, ch->Children, ch->nChildren, ch->nChildrenSize);
}

void parseChapters(MatroskaFile* mf, u64 size) {
  mf->seen |= SEEN_CHAPTERS;
  walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 esize) {
    if (id != ID_EDITIONENTRY) return;
    append(mf, mf->chapters, mf->chapter_count, mf->chapter_capacity);
    const unsigned index = mf->chapter_count - 1;
    walk(mf, filepos(mf) + esize, [&](u32 cid, u64 csize) {
      Chapter& e = mf->chapters[index];
      auto flag = [&](unsigned bit) {
        if (readUInt(mf, csize)) e.Flags |= bit; else e.Flags &= ~bit;
      };
      switch (cid) {
        case ID_EDITIONUID: e.UID = readUInt(mf, csize); break;
        case ID_EDITIONFLAGHIDDEN: flag(MKV_CHAPTER_HIDDEN); break;
        case ID_EDITIONFLAGDEFAULT: flag(MKV_CHAPTER_DEFAULT); break;
        case ID_EDITIONFLAGORDERED: flag(MKV_CHAPTER_ORDERED); break;
        case ID_CHAPTERATOM: parseChapter(mf, filepos(mf) + csize, &e, 1); break;
      }
    });
  });
}

// Counts a chapter tree's times from the first block, offset nanoseconds
// into the file: a time before it becomes 0 instead of wrapping, and 0
// (absent) stays 0.
void fixupChapter(__int128 offset, Chapter* ch) {
  for (u64* t : {&ch->Start, &ch->End}) {
    if (!*t) continue;
    const __int128 v = (__int128)*t - offset;
    *t = v <= 0 ? 0 : v > (__int128)UINT64_MAX ? UINT64_MAX : u64(v);
  }
  for (unsigned i = 0; i < ch->nChildren; ++i) fixupChapter(offset, &ch->Children[i]);
}

void DeleteChapter(MatroskaFile* mf, Chapter* ch) {
  for (unsigned i = 0; i < ch->nDisplay; ++i) mem_free(mf, ch->Display[i].String);
  mem_free(mf, ch->Display);
  mem_free(mf, ch->Tracks);
  for (unsigned i = 0; i < ch->nProcess; ++i) {
    ChapterProcess& p = ch->Process[i];
    for (unsigned j = 0; j < p.nCommands; ++j) mem_free(mf, p.Commands[j].Command);
    mem_free(mf, p.Commands);
    mem_free(mf, p.CodecPrivate);
  }
  mem_free(mf, ch->Process);
  for (unsigned i = 0; i < ch->nChildren; ++i) DeleteChapter(mf, &ch->Children[i]);
  mem_free(mf, ch->Children);
}

void parseTags(MatroskaFile* mf, u64 size) {
  mf->seen |= SEEN_TAGS;
  walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 tsize) {
    if (id != ID_TAG) return;
    append(mf, mf->tags, mf->tag_count, mf->tag_capacity);
    TagRecord& tag = mf->tags[mf->tag_count - 1];  // the tag array does not grow below
    walk(mf, filepos(mf) + tsize, [&](u32 cid, u64 csize) {
      if (cid == ID_TARGETS) {
        walk(mf, filepos(mf) + csize, [&](u32 gid, u64 gsize) {
          int kind = gid == ID_TAGTRACKUID        ? MKV_TARGET_TRACK
                     : gid == ID_TAGCHAPTERUID    ? MKV_TARGET_CHAPTER
                     : gid == ID_TAGATTACHMENTUID ? MKV_TARGET_ATTACHMENT
                     : gid == ID_TAGEDITIONUID    ? MKV_TARGET_EDITION
                                                  : -1;
          if (kind < 0) return;
          const u64 uid = readUInt(mf, gsize);
          *append(mf, tag.Targets, tag.nTargets, tag.nTargetsSize) = TagTarget{uid, unsigned(kind)};
        });
      } else if (cid == ID_SIMPLETAG) {
        append(mf, tag.SimpleTags, tag.nSimpleTags, tag.nSimpleTagsSize);
        SimpleTag& st = tag.SimpleTags[tag.nSimpleTags - 1];
        walk(mf, filepos(mf) + csize, [&](u32 sid, u64 ssize) {
          switch (sid) {
            case ID_TAGNAME:
              if (!st.Name) readText(mf, ssize, &st.Name);
              break;
            case ID_TAGSTRING:
              if (!st.Value) readText(mf, ssize, &st.Value);
              break;
            case ID_TAGLANGUAGE: readCode3(mf, ssize, st.Language); break;
            case ID_TAGDEFAULT: st.Default = readUInt(mf, ssize) != 0; break;
          }
        });
      }
    });
  });
}

char* copy_text(MatroskaFile* mf, const std::string& s) {
  char* p = static_cast<char*>(mem_alloc(mf, s.size() + 1));
  if (p) memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

void parseAttachments(MatroskaFile* mf, u64 size) {
  mf->seen |= SEEN_ATTACHMENTS;
  walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 asize) {
    if (id != ID_ATTACHEDFILE) return;
    AttachmentRecord a{};
    bool has_data = false, has_name = false, has_description = false, has_mime = false;
    std::string name, description, mime;
    walk(mf, filepos(mf) + asize, [&](u32 cid, u64 csize) {
      switch (cid) {
        case ID_FILEDATA:
          a.Position = filepos(mf);
          a.Length = csize;
          has_data = true;
          break;
        case ID_FILEUID: a.UID = readUInt(mf, csize); break;
        case ID_FILENAME: readStdString(mf, csize, name), has_name = true; break;
        case ID_FILEDESCRIPTION: readStdString(mf, csize, description), has_description = true; break;
        case ID_FILEMIMETYPE: readStdString(mf, csize, mime), has_mime = true; break;
      }
    });
    if (!has_data) return;
    AttachmentRecord* e = append(mf, mf->attachments, mf->attachment_count, mf->attachment_capacity);
    *e = a;
    if (has_name) e->Name = copy_text(mf, name);
    if (has_description) e->Description = copy_text(mf, description);
    if (has_mime) e->MimeType = copy_text(mf, mime);
  });
}

// ---------------------------------------------------------------------------
// Segment parsing at open

void parseSeekHead(MatroskaFile* mf, u64 size) {
  mf->next_seekhead_pos = 0;
  bool next = false;
  walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 esize) {
    if (id != ID_SEEK) return;
    u32 target = 0;
    u64 position = 0;
    bool has_position = false;
    walk(mf, filepos(mf) + esize, [&](u32 sid, u64 ssize) {
      if (sid == ID_SEEKID) {
        if (ssize > 4) errorjmp(mf, "Invalid ID size in parseSeekEntry: %d\n", int(ssize));
        target = u32(readUInt(mf, ssize));
      } else if (sid == ID_SEEKPOSITION) {
        position = readUInt(mf, ssize);
        has_position = true;
      }
    });
    if (!has_position || position > UNKNOWN_END - mf->segment_start)
      errorjmp(mf, "Invalid element position in parseSeekEntry");
    position += mf->segment_start;
    switch (target) {
      case ID_INFO: mf->info_pos = position; break;
      case ID_TRACKS: mf->tracks_pos = position; break;
      case ID_CUES: mf->cues_pos = position; break;
      case ID_CHAPTERS: mf->chapters_pos = position; break;
      case ID_TAGS: mf->tags_pos = position; break;
      case ID_ATTACHMENTS: mf->attachments_pos = position; break;
      case ID_CLUSTER:
        if (!mf->first_cluster_pos) mf->first_cluster_pos = position;
        break;
      case ID_SEEKHEAD:
        if (next) errorjmp(mf, "SeekHead contains more than one SeekHead pointer");
        next = true;
        mf->next_seekhead_pos = position;
        break;
    }
  });
}

// Parses the SeekHead met by the walk, then the chain it names.
void parseSeekHeadChain(MatroskaFile* mf, u64 size, unsigned* parsed) {
  ++*parsed;
  parseSeekHead(mf, size);
  while (mf->next_seekhead_pos && *parsed < SEEKHEADS_MAX) {
    seek(mf, mf->next_seekhead_pos);
    if (readID(mf) != ID_SEEKHEAD) break;
    const u64 next_size = readSize(mf);
    ++*parsed;
    parseSeekHead(mf, next_size);
  }
}

// Checks that an element whose data starts here fits in the segment.
void check_in_segment(MatroskaFile* mf, u32 id, u64 data, u64 size) {
  if (data > mf->segment_end || size > mf->segment_end - data)
    errorjmp(mf, "Element %X at %llu runs past the end of the segment", id, (unsigned long long)data);
}

// The size of the top-level element id at pos, read in the open. The first
// cluster may have the unknown size: it is then taken as the first cluster
// with time 0, unread, so that frame reading meets it and stops there with
// its reason, and the open goes on without it.
u64 readTopLevelSize(MatroskaFile* mf, u32 id, u64 pos) {
  int len;
  const u64 v = readVLUIntImp(mf, &len);
  if (!is_unknown_size(v, len)) return v;
  if (id == ID_CLUSTER && (!mf->first_cluster_pos || mf->first_cluster_pos == pos) && !(mf->seen & SEEN_CLUSTER)) {
    mf->first_cluster_pos = pos;
    mf->seen |= SEEN_CLUSTER;
  }
  errorjmp(mf, "Unspecified element size is not supported here.");
}

// Parses whichever of the seven top-level elements stands at pos.
void parseAt(MatroskaFile* mf, u64 pos) {
  seek(mf, pos);
  const u32 id = readID(mf);
  if (id == EOF_ID) errorjmp(mf, "Unexpected EOF in parseContainer");
  const u64 size = readTopLevelSize(mf, id, pos);
  check_in_segment(mf, id, filepos(mf), size);
  switch (id) {
    case ID_INFO: parseSegmentInfo(mf, size); break;
    case ID_CLUSTER:
      // A cluster where a SeekHead named something else becomes the first
      // one only while none is known, so first_cluster_pos always names the
      // cluster whose timecode was read.
      if (!mf->first_cluster_pos) mf->first_cluster_pos = pos;
      if (pos == mf->first_cluster_pos) parseFirstCluster(mf, size);
      break;
    case ID_TRACKS: parseTracks(mf, size); break;
    case ID_CUES: parseCues(mf, size); break;
    case ID_ATTACHMENTS: parseAttachments(mf, size); break;
    case ID_CHAPTERS: parseChapters(mf, size); break;
    case ID_TAGS: parseTags(mf, size); break;
  }
}

void parseEBMLHeader(MatroskaFile* mf, u64 size) {
  walk(mf, advance(mf, filepos(mf), size), [&](u32 id, u64 esize) {
    switch (id) {
      case ID_EBMLREADVERSION:
        if (esize) {
          const u64 v = readUInt(mf, esize);
          if (v >= 2) errorjmp(mf, "File requires version %d EBML parser", int(std::min<u64>(v, INT_MAX)));
        }
        break;
      case ID_EBMLMAXIDLENGTH:
        if (esize) {
          const u64 v = readUInt(mf, esize);
          if (v >= 5) errorjmp(mf, "File has identifiers longer than %d", int(std::min<u64>(v, INT_MAX)));
        }
        break;
      case ID_EBMLMAXSIZELENGTH:
        if (esize) {
          const u64 v = readUInt(mf, esize);
          if (v > 8) errorjmp(mf, "File has integers longer than %d", int(std::min<u64>(v, INT_MAX)));
        }
        break;
      case ID_DOCTYPE: {
        char doctype[32];
        readString(mf, esize, doctype, sizeof doctype);
        if (strcmp(doctype, "matroska") != 0) errorjmp(mf, "Unsupported DocType: %s", doctype);
        break;
      }
      case ID_DOCTYPEREADVERSION:
        if (esize) {
          const u64 v = readUInt(mf, esize);
          if (v > 2) errorjmp(mf, "File requires version %d Matroska parser", int(std::min<u64>(v, INT_MAX)));
        }
        break;
    }
  });
}

void emptyQueues(MatroskaFile* mf);
void forget_skips(MatroskaFile* mf);
int fillQueues(MatroskaFile* mf, u64 mask);
FrameQueueEntry* popFrame(MatroskaFile* mf, unsigned track);

// Reads the end of the file once to find the real duration: the largest
// end of the first video track's frames.
void readAheadDuration(MatroskaFile* mf) {
  unsigned video = mf->track_count;
  for (unsigned i = 0; i < mf->track_count; ++i)
    if (mf->tracks[i]->Type == MKV_TRACK_VIDEO) {
      video = i;
      break;
    }
  if (video == mf->track_count) return;
  if (mf->cue_count == 0 && mf->segment_end == UNKNOWN_END) return;  // would read the whole file

  // The look at the end is the reader's own: what fails there (a start in
  // the middle of a cluster, when there are no cues) is not the file's
  // error, and leaves the last error as it was.
  char kept_error[sizeof mf->error_text];
  memcpy(kept_error, mf->error_text, sizeof kept_error);
  emptyQueues(mf);
  if (mf->cue_count) {
    const CueEntry& last = mf->cues[mf->cue_count - 1];
    mf->read_position = mf->segment_start + last.Position;
    mf->cluster_timecode = last.Time / mf->segment_info.TimecodeScale;
  } else {
    mf->cluster_timecode = 0;
    mf->read_position = mf->first_cluster_pos;
    constexpr u64 tail = 13000000;  // bytes read at the end of a file without cues
    if (mf->segment_end >= mf->first_cluster_pos && mf->segment_end - mf->first_cluster_pos > 2 * tail)
      mf->read_position = mf->segment_end - tail;
  }
  mf->cluster_end = 0;
  mf->skip_mask = ~(u64(1) << video);
  u64 largest = 0;
  for (;;) {
    if (!mf->queues[video].head && fillQueues(mf, ~(u64(1) << video)) < 0) break;
    FrameQueueEntry* e = popFrame(mf, video);
    const u64 t = (e->frame_flags & FRAME_UNKNOWN_END) ? e->start : e->end;
    largest = std::max(largest, t);
  }
  mf->skip_mask = 0;
  emptyQueues(mf);
  clear_error(mf);
  forget_skips(mf);
  memcpy(mf->error_text, kept_error, sizeof kept_error);
  if (largest > 0) mf->segment_info.Duration = largest;
}

void parseFile(MatroskaFile* mf, u64 base) {
  // EBML header.
  seek(mf, base);
  u32 id = readID(mf);
  if (id == EOF_ID) errorjmp(mf, "Unexpected EOF at start of file");
  if (!(base != 0 && id == ID_SEGMENT)) {
    if (id != ID_EBML) errorjmp(mf, "First element in file is not EBML");
    parseEBMLHeader(mf, readSize(mf));
    // The Segment.
    for (;;) {
      id = readID(mf);
      if (id == EOF_ID) errorjmp(mf, "No segments found in the file");
      if (id == ID_SEGMENT) break;
      skip(mf, readSize(mf));
    }
  }

  int len;
  const u64 size = readVLUIntImp(mf, &len);
  mf->segment_start = filepos(mf);
  if (is_unknown_size(size, len) || size > UNKNOWN_END - mf->segment_start) {
    mf->segment_end = UNKNOWN_END;
    if (mf->stream->getfilesize) {
      const int64_t fs = mf->stream->getfilesize(mf->stream);
      if (fs > 0) mf->segment_end = u64(fs);
    }
  } else {
    mf->segment_end = mf->segment_start + size;
  }

  // Linear walk until Info, Tracks and the first cluster are located. A
  // failure ends the walk and keeps what it found.
  unsigned seekheads = 0;
  try {
    seek(mf, mf->segment_start);
    while (filepos(mf) < mf->segment_end) {
      const u64 pos = filepos(mf);
      const u32 eid = readID(mf);
      if (eid == EOF_ID) errorjmp(mf, "Unexpected EOF while reading EBML container");
      const u64 esize = readTopLevelSize(mf, eid, pos);
      const u64 data = filepos(mf);
      check_in_segment(mf, eid, data, esize);
      switch (eid) {
        case ID_INFO: mf->info_pos = pos; parseSegmentInfo(mf, esize); break;
        case ID_TRACKS: mf->tracks_pos = pos; parseTracks(mf, esize); break;
        case ID_CUES: mf->cues_pos = pos; parseCues(mf, esize); break;
        case ID_CHAPTERS: mf->chapters_pos = pos; parseChapters(mf, esize); break;
        case ID_TAGS: mf->tags_pos = pos; parseTags(mf, esize); break;
        case ID_ATTACHMENTS: mf->attachments_pos = pos; parseAttachments(mf, esize); break;
        case ID_CLUSTER:
          if (!mf->first_cluster_pos) mf->first_cluster_pos = pos;
          if (!(mf->seen & SEEN_CLUSTER)) parseFirstCluster(mf, esize);
          break;
        case ID_SEEKHEAD:
          if (!(mf->flags & MKVF_AVOID_SEEKS)) parseSeekHeadChain(mf, esize, &seekheads);
          break;
      }
      seek(mf, data + esize);
      if (mf->info_pos && mf->tracks_pos && mf->first_cluster_pos) break;
    }
  } catch (const Fatal&) {
    throw;
  } catch (const Failure&) {
    clear_error(mf);
  }

  // What the walk only located is parsed at its position.
  if (mf->info_pos && !(mf->seen & SEEN_INFO)) parseAt(mf, mf->info_pos);
  if (mf->first_cluster_pos && !(mf->seen & SEEN_CLUSTER)) {
    try {
      parseAt(mf, mf->first_cluster_pos);
    } catch (const Fatal&) {
      throw;
    } catch (const Failure&) {
      // A first cluster of unknown size is left to frame reading; any other
      // failure fails the open as before.
      if (!(mf->seen & SEEN_CLUSTER)) throw;
      clear_error(mf);
    }
  }
  if (mf->tracks_pos && !(mf->seen & SEEN_TRACKS)) parseAt(mf, mf->tracks_pos);
  try {
    if (mf->cues_pos && !(mf->seen & SEEN_CUES)) parseAt(mf, mf->cues_pos);
    if (mf->attachments_pos && !(mf->seen & SEEN_ATTACHMENTS)) parseAt(mf, mf->attachments_pos);
    if (mf->chapters_pos && !(mf->seen & SEEN_CHAPTERS)) parseAt(mf, mf->chapters_pos);
    if (mf->tags_pos && !(mf->seen & SEEN_TAGS)) parseAt(mf, mf->tags_pos);
  } catch (const Fatal&) {
    throw;
  } catch (const Failure&) {
    clear_error(mf);
  }

  if (!(mf->seen & SEEN_INFO)) errorjmp(mf, "Couldn't find SegmentInfo");
  if (!(mf->seen & SEEN_CLUSTER)) mf->first_cluster_pos = mf->segment_end;

  // The first block's time; its timecode wraps below 0 like frame times do.
  const __int128 offset = (__int128)i64(mf->first_timecode) * mf->segment_info.TimecodeScale;
  for (unsigned i = 0; i < mf->chapter_count; ++i) fixupChapter(offset, &mf->chapters[i]);
  normalise_cues(mf, !mf->cue_kept || mf->first_cue_position == mf->first_cluster_pos - mf->segment_start, true);

  shrink(mf, mf->tracks, mf->track_count, mf->track_capacity);
  mf->queues = static_cast<Queue*>(mem_alloc(mf, std::max(1u, mf->track_count) * sizeof(Queue)));
  if (!mf->queues) errorjmp(mf, "Ouf of memory");
  memset(mf->queues, 0, std::max(1u, mf->track_count) * sizeof(Queue));

  if (!(mf->flags & MKVF_AVOID_SEEKS) && mf->track_count) readAheadDuration(mf);

  mf->read_position = mf->first_cluster_pos;
  mf->cluster_timecode = mf->first_timecode;
  mf->cluster_end = 0;
}

// ---------------------------------------------------------------------------
// Frame queues

FrameQueueEntry* QAlloc(MatroskaFile* mf) {
  if (!mf->free_entries) {
    if (mf->pool_chunk_count == mf->pool_chunk_capacity) {
      const unsigned want = mf->pool_chunk_capacity ? mf->pool_chunk_capacity * 2 : 1;
      void* p = mf->stream->memrealloc(mf->stream, mf->pool_chunks, want * sizeof(FrameQueueEntry*));
      if (!p) errorjmp(mf, "Out of memory in ArrayAlloc");
      mf->pool_chunks = static_cast<FrameQueueEntry**>(p);
      mf->pool_chunk_capacity = want;
    }
    FrameQueueEntry* chunk = static_cast<FrameQueueEntry*>(mem_alloc(mf, POOL_CHUNK * sizeof(FrameQueueEntry)));
    if (!chunk) errorjmp(mf, "Ouf of memory");
    mf->pool_chunks[mf->pool_chunk_count++] = chunk;
    for (unsigned i = 0; i + 1 < POOL_CHUNK; ++i) chunk[i].next = &chunk[i + 1];
    chunk[POOL_CHUNK - 1].next = nullptr;
    mf->free_entries = chunk;
  }
  FrameQueueEntry* e = mf->free_entries;
  mf->free_entries = e->next;
  return e;
}

void release(MatroskaFile* mf, FrameQueueEntry* e) {
  e->next = mf->free_entries;
  mf->free_entries = e;
}

void enqueue(MatroskaFile* mf, unsigned track, FrameQueueEntry* e) {
  Queue& q = mf->queues[track];
  e->next = nullptr;
  if (q.tail)
    q.tail->next = e;
  else
    q.head = e;
  q.tail = e;
}

FrameQueueEntry* popFrame(MatroskaFile* mf, unsigned track) {
  Queue& q = mf->queues[track];
  FrameQueueEntry* e = q.head;
  q.head = e->next;
  if (!q.head) q.tail = nullptr;
  release(mf, e);
  return e;  // still readable until the next QAlloc
}

void emptyQueue(MatroskaFile* mf, unsigned track) {
  Queue& q = mf->queues[track];
  while (q.head) {
    FrameQueueEntry* e = q.head;
    q.head = e->next;
    release(mf, e);
  }
  q.tail = nullptr;
}

void emptyQueues(MatroskaFile* mf) {
  for (unsigned i = 0; i < mf->track_count; ++i) emptyQueue(mf, i);
}

bool masked(u64 mask, unsigned track) { return (mask >> track) & 1; }

// The unmasked track whose head starts first (lowest index on a tie), or -1.
int earliestQueue(MatroskaFile* mf, u64 mask) {
  int best = -1;
  for (unsigned i = 0; i < mf->track_count; ++i) {
    const FrameQueueEntry* h = mf->queues[i].head;
    if (!h || masked(mask, i)) continue;
    if (best < 0 || h->start < mf->queues[best].head->start) best = int(i);
  }
  return best;
}

// ---------------------------------------------------------------------------
// Blocks

// What one Block or SimpleBlock queued.
struct BlockResult {
  bool queued = false;
  unsigned track = 0;
  FrameQueueEntry* first = nullptr;
  unsigned frames = 0;
  u64 time = 0;
  bool key = false;
};

// Makes sure the byte before end exists, so no frame points past the file.
void require_byte(MatroskaFile* mf, u64 end) {
  const u64 last = end - 1;
  if (last >= mf->cache_base && last - mf->cache_base < u64(mf->cache_len)) return;
  u8 b;
  const int r = mf->stream->read(mf->stream, last, &b, 1);
  if (r < 0) io_error(mf);
  if (r == 0) errorjmp(mf, "Block at %llu runs past the end of the file", (unsigned long long)last);
}

// Block header, lacing and queuing of the block whose data is [data, end).
BlockResult parseBlock(MatroskaFile* mf, u64 data, u64 end, bool simple) {
  BlockResult r;
  // A header that ran past the block may have read into the next cluster:
  // the scan for it starts at the block's end.
  auto inside = [&]() {
    if (filepos(mf) <= end) return;
    seek(mf, end);
    errorjmp(mf, "Block header at %llu runs past the block", (unsigned long long)data);
  };
  int len;
  const u64 number = readVLUIntImp(mf, &len);
  inside();
  if (number > 255) errorjmp(mf, "Invalid track number in Block: %d", int(std::min<u64>(number, INT_MAX)));
  unsigned track;
  if (!track_by_number(mf, number, &track) || masked(mf->skip_mask, track)) return r;
  const int hi = readch(mf), lo = readch(mf);
  if (hi < 0 || lo < 0) errorjmp(mf, "Got EOF while reading EBML unsigned integer");
  const int flags = readch(mf);
  if (flags < 0) errorjmp(mf, "Unexpected EOF while reading Block flags");
  inside();

  u64 sizes[256];
  unsigned n = 1;
  const int lacing = (flags >> 1) & 3;
  auto invalid = [&]() { errorjmp(mf, "Invalid lace sizes in Block at %llu", (unsigned long long)data); };
  if (lacing) {
    const int count = readch(mf);
    if (count < 0) errorjmp(mf, "Unexpected EOF while reading lacing data");
    n = unsigned(count) + 1;
    inside();
  }
  u64 total = 0;
  switch (lacing) {
    case 0: sizes[0] = end - filepos(mf); break;
    case 1:  // Xiph: runs of 255 and a closing byte below 255
      for (unsigned i = 0; i + 1 < n; ++i) {
        u64 s = 0;
        int c;
        do {
          c = readch(mf);
          if (c < 0) errorjmp(mf, "Unexpected EOF while reading lacing data");
          inside();
          s += u64(c);
        } while (c == 255);
        sizes[i] = s;
        total += s;
      }
      if (total > end - filepos(mf)) invalid();
      sizes[n - 1] = end - filepos(mf) - total;
      break;
    case 2: {  // fixed: equal shares, the remainder belongs to no frame
      const u64 share = (end - filepos(mf)) / n;
      for (unsigned i = 0; i < n; ++i) sizes[i] = share;
      break;
    }
    case 3: {  // EBML: a first size, then signed differences
      i64 s = i64(readVLUIntImp(mf, nullptr));
      inside();
      sizes[0] = u64(s);
      total = u64(s);
      for (unsigned i = 1; i + 1 < n; ++i) {
        const u64 v = readVLUIntImp(mf, &len);
        inside();
        s += i64(v) - ((i64(1) << (7 * (len + 1) - 1)) - 1);
        if (s < 0) invalid();
        sizes[i] = u64(s);
        total += u64(s);
        if (total > end - data) invalid();
      }
      if (total > end - filepos(mf)) invalid();
      if (n > 1) sizes[n - 1] = end - filepos(mf) - total;
      break;
    }
  }

  if (end > data) require_byte(mf, end);

  const TrackInfo* t = mf->tracks[track];
  const u64 c = mf->cluster_timecode, f = mf->first_timecode;
  const u64 v = (u64(i64(int16_t(uint16_t((hi << 8) | lo)))) + c - f) * mf->segment_info.TimecodeScale;
  r.time = scaled_time(t->TimecodeScale, i64(v));
  r.track = track;
  r.frames = n;
  r.queued = true;
  r.key = simple && (flags & 0x80);
  u64 pos = filepos(mf);
  for (unsigned i = 0; i < n; ++i) {
    FrameQueueEntry* e = QAlloc(mf);
    e->file_pos = pos;
    e->size = u32(sizes[i]);
    e->start = e->end = r.time;
    e->frame_flags = FRAME_UNKNOWN_END | FRAME_KF | (i > 0 ? u32(FRAME_UNKNOWN_START) : 0u);
    if (i + 1 == n && (flags & 1)) e->frame_flags |= FRAME_GAP;
    if (i == 0 && masked(mf->after_skip, track)) {
      e->frame_flags |= FRAME_AFTER_SKIP;
      mf->after_skip &= ~(u64(1) << track);
    }
    enqueue(mf, track, e);
    if (i == 0) r.first = e;
    pos += sizes[i];
  }

  // Read-ahead hints for the payload, then on past it.
  for (u64 p = filepos(mf) & ~u64(16383); p < end; p += 16384) mf->stream->read(mf->stream, p, nullptr, 0);
  seek(mf, end);
  return r;
}

// End times and key flags of a queued block, once its group is read.
void finishBlock(MatroskaFile* mf, const BlockResult& r, bool has_duration, u64 duration, bool key) {
  const TrackInfo* t = mf->tracks[r.track];
  const u64 D = t->DefaultDuration;
  FrameQueueEntry* e = r.first;
  if (r.frames == 1) {
    if (has_duration) {
      e->end = e->start + scaled_time(t->TimecodeScale, i64(duration * mf->segment_info.TimecodeScale));
      e->frame_flags &= ~FRAME_UNKNOWN_END;
    } else if (D) {
      e->end = e->start + D;
      e->frame_flags &= ~FRAME_UNKNOWN_END;
    }
  } else if (has_duration || D) {
    const u64 t0 = r.time;
    for (unsigned i = 0; i < r.frames; ++i, e = e->next) {
      e->start = t0 + i * D;
      e->end = t0 + (i + 1) * D;
      if (!has_duration) {
        e->frame_flags &= ~(FRAME_UNKNOWN_START | FRAME_UNKNOWN_END);
      } else if (i + 1 == r.frames) {
        e->end = t0 + scaled_time(t->TimecodeScale, i64(duration * mf->segment_info.TimecodeScale));
        e->frame_flags &= ~FRAME_UNKNOWN_END;
      }
    }
  }
  if (!key)
    for (e = r.first; e; e = e->next) e->frame_flags &= ~FRAME_KF;
}

// One SimpleBlock or BlockGroup of length bytes at the current position.
void parseBlockGroup(MatroskaFile* mf, u64 length, bool simple) {
  const u64 data = filepos(mf), end = data + length;
  if (length >= u64(INT_MAX)) errorjmp(mf, "Block at %llu is too large", (unsigned long long)data);
  if (simple) {
    const BlockResult r = parseBlock(mf, data, end, true);
    if (r.queued) finishBlock(mf, r, false, 0, r.key);
    seek(mf, end);
    return;
  }

  BlockResult r;
  bool has_block = false, skipped = false, has_duration = false, reference = false;
  u64 duration = 0;
  while (!skipped && filepos(mf) < end) {
    const u32 id = readID(mf);
    if (id == EOF_ID) errorjmp(mf, "Unexpected EOF while reading EBML container");
    const u64 size = readSize(mf);
    const u64 cdata = filepos(mf);
    if (size > end - std::min(end, cdata) || cdata > end)
      errorjmp(mf, "Element %X at %llu runs past its parent", id, (unsigned long long)cdata);
    switch (id) {
      case ID_BLOCK:
        if (has_block) break;
        has_block = true;
        r = parseBlock(mf, cdata, cdata + size, false);
        skipped = !r.queued;
        break;
      case ID_BLOCKDURATION:
        duration = readUInt(mf, size);
        has_duration = true;
        break;
      case ID_REFERENCEBLOCK:
        readUInt(mf, size);
        reference = true;
        break;
      case ID_BLOCKADDITIONS: {
        if (!has_block) break;
        u64 last_id = 1;
        walk(mf, cdata + size, [&](u32 mid, u64 msize) {
          if (mid != ID_BLOCKMORE) return;
          u64 add_id = last_id, add_pos = 0, add_size = 0;
          unsigned additionals = 0;
          walk(mf, filepos(mf) + msize, [&](u32 aid, u64 asize) {
            if (aid == ID_BLOCKADDID) {
              add_id = last_id = readUInt(mf, asize);
            } else if (aid == ID_BLOCKADDITIONAL) {
              add_pos = filepos(mf);
              add_size = asize;
              ++additionals;
            }
          });
          if (additionals != 1 || add_size >= u64(INT_MAX)) return;
          if (add_size) require_byte(mf, add_pos + add_size);
          FrameQueueEntry* e = QAlloc(mf);
          e->file_pos = add_pos;
          e->size = u32(add_size);
          e->start = e->end = r.time;
          e->frame_flags = u32(add_id << FRAME_STREAM_SHIFT) | FRAME_UNKNOWN_START | FRAME_UNKNOWN_END;
          enqueue(mf, r.track, e);
        });
        break;
      }
    }
    seek(mf, cdata + size);
  }
  if (!has_block) errorjmp(mf, "Found a BlockGroup without Block");
  if (r.queued) finishBlock(mf, r, has_duration, duration, !reference);
  seek(mf, end);
}

// ---------------------------------------------------------------------------
// Reading clusters

// Reads elements from read_position until about limit: -1 at the end of the
// data, 0 otherwise.
int readClusters(MatroskaFile* mf, u64 limit) {
  seek(mf, mf->read_position);
  while (filepos(mf) < mf->segment_end) {
    const u64 pos = filepos(mf);
    const u32 id = readID(mf);
    if (id == EOF_ID) {
      mf->read_position = filepos(mf);
      return -1;
    }
    if (is_top_level(id)) mf->top_level_at = pos;
    const u64 size = id == ID_CLUSTER ? readClusterSize(mf, pos) : readSize(mf);
    const u64 data = filepos(mf);
    check_in_segment(mf, id, data, size);
    if (id == ID_CLUSTER) {
      mf->cluster_end = data + size;
      bool timecode = false, block = false;
      while (!block && filepos(mf) < mf->cluster_end) {
        const u32 cid = readID(mf);
        if (cid == EOF_ID) {
          mf->read_position = filepos(mf);
          return -1;
        }
        const u64 csize = readSize(mf);
        const u64 cdata = filepos(mf);
        if (cdata > mf->cluster_end || csize > mf->cluster_end - cdata)
          errorjmp(mf, "Element %X at %llu runs past its cluster", cid, (unsigned long long)cdata);
        switch (cid) {
          case ID_CLUSTERTIMECODE:
            mf->cluster_timecode = readUInt(mf, csize);
            timecode = true;
            break;
          case ID_CLUSTERPOSITION:
          case ID_CLUSTERPREVSIZE: readUInt(mf, csize); break;
          case ID_SILENTTRACKS:
            walk(mf, cdata + csize, [&](u32 sid, u64 ssize) {
              if (sid == ID_SILENTTRACKNUMBER) readUInt(mf, ssize);
            });
            break;
          case ID_BLOCKGROUP:
          case ID_SIMPLEBLOCK:
            if (!timecode) errorjmp(mf, "Found BlockGroup before cluster TimeCode");
            parseBlockGroup(mf, csize, cid == ID_SIMPLEBLOCK);
            block = true;
            break;
        }
        seek(mf, cdata + csize);
      }
      // After its first block the cluster's elements are read one by one,
      // as blocks of the cluster or as whatever follows it.
      mf->read_position = filepos(mf);
      if (mf->read_position > limit) return 0;
      continue;
    } else if (id == ID_BLOCKGROUP || id == ID_SIMPLEBLOCK) {
      // Blocks after a cluster's first one; a block of the current cluster
      // must end inside it.
      if (data < mf->cluster_end && size > mf->cluster_end - data)
        errorjmp(mf, "Block at %llu runs past its cluster", (unsigned long long)data);
      parseBlockGroup(mf, size, id == ID_SIMPLEBLOCK);
    } else if (size > SKIPPED_ELEMENT_MAX && !is_top_level(id)) {
      // An element of the top level is no part of a cluster: it ends the
      // one before it and is passed over whatever its size (a cover of
      // some megabytes in the attachments after the clusters).
      errorjmp(mf, "Element in a cluster is too large around %llu, %X [%u]", (unsigned long long)data, id,
               unsigned(std::min<u64>(size, UINT_MAX)));
    }
    seek(mf, data + size);
    mf->read_position = filepos(mf);
    if (mf->read_position > limit) return 0;
  }
  mf->read_position = filepos(mf);
  return 0;
}

// True when an element of the top level other than a cluster lies after
// the last cluster read and no later than pos: the clusters ended before
// pos, so damage from pos on, with no cluster after it, costs no frame.
bool clusters_ended_before(const MatroskaFile* mf, u64 pos) {
  const u64 after = std::max(mf->cluster_end, mf->first_cluster_pos + (mf->first_cluster_pos < UNKNOWN_END));
  for (u64 at : {mf->top_level_at, mf->info_pos, mf->tracks_pos, mf->cues_pos, mf->attachments_pos, mf->chapters_pos,
                 mf->tags_pos})
    if (at >= after && at <= pos) return true;
  return false;
}

// Notes the stretch [from, to) that reading passed over; a stretch that
// begins where the last one ended lengthens it.
void note_skip(MatroskaFile* mf, u64 from, u64 to) {
  const u64 bytes = to > from ? to - from : 0;
  if (mf->skip_count && from == mf->skip_end) {
    if (mf->skip_count == 1) mf->skip_first_bytes += bytes;
  } else {
    if (++mf->skip_count == 1) {
      mf->skip_first_pos = from;
      mf->skip_first_bytes = bytes;
    }
  }
  mf->skip_bytes += bytes;
  mf->skip_end = to;
  // The frames on either side of it. The last one queued before it is
  // still queued: mkv_ReadFrame hands a frame out only after the next one.
  for (unsigned i = 0; i < mf->track_count; ++i)
    if (mf->queues[i].tail) mf->queues[i].tail->frame_flags |= FRAME_BEFORE_SKIP;
  mf->after_skip = ~u64(0);
}

void forget_skips(MatroskaFile* mf) {
  mf->after_skip = 0;
  mf->skip_count = 0;
  mf->skip_bytes = mf->skip_first_pos = mf->skip_first_bytes = mf->skip_end = 0;
  mf->unsized_cluster_at = 0;
}

// After damage: finds the next Cluster from the current position and makes
// it the read position. False when there is none.
bool resync(MatroskaFile* mf) {
  u64 from = filepos(mf);
  for (;;) {
    const int64_t c = mf->stream->scan(mf->stream, from, ID_CLUSTER);
    if (c < 0 || u64(c) < from || u64(c) >= mf->segment_end) return false;
    seek(mf, u64(c));
    const u32 id = readID(mf);
    if (id == EOF_ID) return false;
    if (id != ID_CLUSTER) {
      from = filepos(mf);
      continue;
    }
    const u64 size = readSize(mf);  // the unknown size is a further failure
    if (size >= RESYNC_CLUSTER_MAX) {
      from = filepos(mf);
      continue;
    }
    mf->read_position = u64(c);
    mf->cluster_end = 0;
    return true;
  }
}

// 0 after reading, 1 after reading that needed a resynchronisation, -1
// when nothing more can be read. Every failure, in the blocks or in the scan
// for the next cluster, counts as one of at most three attempts, and the
// scan goes on from where it happened. What a resynchronisation passes over
// is noted from the end of the last element read whole. Damage with no
// cluster after it, where the clusters had ended already, is their end.
int readMoreBlocks(MatroskaFile* mf) {
  if (mf->read_position >= mf->segment_end) return -1;
  int attempts = 0, result = 0;
  for (;;) {
    try {
      const u64 limit =
          mf->read_position + std::min<u64>(mf->stream->getcachesize(mf->stream) / 2, 262144);
      if (readClusters(mf, limit) < 0) result = -1;
      return result;
    } catch (const Failure&) {
    }
    if (mf->unsized_cluster_at) return -1;
    const u64 from = mf->read_position;
    for (;;) {
      mf->read_position = filepos(mf);
      if (++attempts > 3) return -1;
      try {
        if (!resync(mf)) {
          if (clusters_ended_before(mf, from)) {
            mf->read_position = mf->segment_end;
            clear_error(mf);
          }
          return -1;
        }
        break;
      } catch (const Failure&) {
      }
    }
    note_skip(mf, from, mf->read_position);
    result = 1;
    clear_error(mf);
  }
}

int fillQueues(MatroskaFile* mf, u64 mask) {
  int r = 0;
  while (earliestQueue(mf, mask) < 0) {
    r = readMoreBlocks(mf);
    if (r < 0) return earliestQueue(mf, mask) < 0 ? -1 : 0;
  }
  return r;
}

// ---------------------------------------------------------------------------
// Seeking

void appendCue(MatroskaFile* mf, u64 time, u64 position) {
  *append(mf, mf->cues, mf->cue_count, mf->cue_capacity) = CueEntry{time, position, 0, 0};
}

// Scans the file for clusters and makes a cue table of them, about one row
// per step bytes.
void reindex(MatroskaFile* mf) {
  u64 pos = mf->first_cluster_pos;
  const u64 end = mf->segment_end;
  if (pos >= end) return;
  const u64 span = end - pos;
  const u64 step = span >= 52428800 ? 5242880 : span > 9 ? span / 10 : 1;
  mf->cue_count = 0;
  unsigned attempts = 0;
  bool has_first_cluster = false;
  StreamCallbacks* io = mf->stream;
  while (pos < end) {
    if (io->progress(io, pos, end) == 0) break;
    if (++attempts > 50) {
      pos += std::min(step, end - pos);
      attempts = 0;
      continue;
    }
    const int64_t c = io->scan(io, pos, ID_CLUSTER);
    if (c < 0 || u64(c) < pos || u64(c) >= end) break;
    pos = u64(c) + 4;
    bool stop = false;
    try {
      seek(mf, u64(c));
      const u32 id = readID(mf);
      if (id == EOF_ID) {
        stop = true;
      } else if (id == ID_CLUSTER) {
        const u64 z = readSize(mf);
        const u64 data = filepos(mf);
        if (z >= 1024 && z <= 67108863) {
          bool found = false;
          u64 timecode = 0;
          while (!found && filepos(mf) < u64(c) + 1024 && filepos(mf) < data + z) {
            const u32 cid = readID(mf);
            if (cid == EOF_ID) errorjmp(mf, "Unexpected EOF while reading EBML container");
            const u64 csize = readSize(mf);
            const u64 cdata = filepos(mf);
            if (cid == ID_CLUSTERTIMECODE) {
              timecode = readUInt(mf, csize);
              found = true;
            }
            seek(mf, advance(mf, cdata, csize));
          }
          if (found) {
            seek(mf, data + z);
            const u32 next = readID(mf);
            if (next == EOF_ID) {
              stop = true;
            } else if (next == ID_CLUSTER) {
              appendCue(mf, timecode, u64(c) - mf->segment_start);
              if (u64(c) == mf->first_cluster_pos) has_first_cluster = true;
              attempts = 0;
              pos = std::max(u64(c) + step, data + z);
            }
          }
        }
      }
    } catch (const Failure&) {
      clear_error(mf);
    }
    if (stop) break;
  }
  // Rows count from the first block, like frame times, so the row chosen for
  // a time never lies past the frame that starts there.
  if (mf->cue_count == 0)
    appendCue(mf, 0, mf->first_cluster_pos - mf->segment_start);
  else
    normalise_cues(mf, has_first_cluster, false);
  io->progress(io, 0, 0);
}

// The seek itself; runs under the caller's error handler.
void seekTo(MatroskaFile* mf, unsigned track, u64 t) {
  if (mf->flags & MKVF_AVOID_SEEKS) return;
  forget_skips(mf);
  if (t == 0) {
    emptyQueues(mf);
    clear_error(mf);
    mf->read_position = mf->first_cluster_pos;
    mf->cluster_timecode = mf->first_timecode;
    mf->cluster_end = 0;
    return;
  }
  if (mf->cue_count == 0) reindex(mf);
  if (mf->cue_count == 0) return;
  clear_error(mf);

  long lo = 0, hi = long(mf->cue_count) - 1;
  while (lo <= hi) {
    const long mid = (lo + hi) / 2;
    if (t >= mf->cues[mid].Time)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  const CueEntry& row = mf->cues[hi < 0 ? 0 : hi];

  emptyQueues(mf);
  mf->read_position = mf->segment_start + row.Position;
  mf->cluster_timecode = row.Time;
  mf->cluster_end = 0;

  const u64 mask = ~(u64(1) << track);
  Queue& q = mf->queues[track];
  for (;;) {
    const int r = fillQueues(mf, mask);
    if (r != 0) return;
    while (q.head && q.head->start < t) popFrame(mf, track);
    if (!q.head) {
      if (t == UNKNOWN_END) return;
      continue;
    }
    // A reordered successor that starts at or after the target but before
    // the head is shown first and becomes the head. A key frame stays the
    // head whatever follows it: decoding can start only there (its leading
    // pictures follow it, and a cluster's timecode may be that of one).
    FrameQueueEntry* h = q.head;
    if ((h->frame_flags & FRAME_KF) || !h->next || h->next->start >= h->start || h->next->start < t) return;
    popFrame(mf, track);
    if (t == UNKNOWN_END) return;
    if (q.head && q.head->start >= t) return;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Interface

extern "C" {

MatroskaFile* mkv_OpenEx(StreamCallbacks* io, uint64_t base, unsigned flags, char* errbuf, unsigned errlen) {
  if (!io) {
    copy_error(errbuf, errlen, "No input stream");
    return nullptr;
  }
  MatroskaFile* mf = static_cast<MatroskaFile*>(io->memalloc(io, sizeof(MatroskaFile)));
  if (!mf) {
    copy_error(errbuf, errlen, "Out of memory");
    return nullptr;
  }
  memset(static_cast<void*>(mf), 0, sizeof *mf);
  mf->stream = io;
  mf->flags = flags & ~MKVF_ERROR;
  io->progress(io, 0, 0);
  const bool ok = guarded(mf, false, [&] {
    parseFile(mf, base);
    return true;
  });
  if (!ok) {
    copy_error(errbuf, errlen, mf->error_text);
    mkv_Close(mf);
    return nullptr;
  }
  return mf;
}

MatroskaFile* mkv_Open(StreamCallbacks* io, char* errbuf, unsigned errlen) {
  return mkv_OpenEx(io, 0, 0, errbuf, errlen);
}

void mkv_Close(MatroskaFile* mf) {
  if (!mf) return;
  for (unsigned i = 0; i < mf->track_count; ++i) mem_free(mf, mf->tracks[i]);
  mem_free(mf, mf->tracks);
  for (unsigned i = 0; i < mf->pool_chunk_count; ++i) mem_free(mf, mf->pool_chunks[i]);
  mem_free(mf, mf->pool_chunks);
  mem_free(mf, mf->queues);
  SegmentInfo& si = mf->segment_info;
  for (char* text : {si.Filename, si.PrevFilename, si.NextFilename, si.Title, si.MuxingApp, si.WritingApp})
    mem_free(mf, text);
  mem_free(mf, mf->cues);
  for (unsigned i = 0; i < mf->attachment_count; ++i) {
    mem_free(mf, mf->attachments[i].Name);
    mem_free(mf, mf->attachments[i].Description);
    mem_free(mf, mf->attachments[i].MimeType);
  }
  mem_free(mf, mf->attachments);
  for (unsigned i = 0; i < mf->chapter_count; ++i) DeleteChapter(mf, &mf->chapters[i]);
  mem_free(mf, mf->chapters);
  for (unsigned i = 0; i < mf->tag_count; ++i) {
    TagRecord& tag = mf->tags[i];
    for (unsigned j = 0; j < tag.nSimpleTags; ++j) {
      mem_free(mf, tag.SimpleTags[j].Name);
      mem_free(mf, tag.SimpleTags[j].Value);
    }
    mem_free(mf, tag.SimpleTags);
    mem_free(mf, tag.Targets);
  }
  mem_free(mf, mf->tags);
  mf->stream->memfree(mf->stream, mf);
}

const char* mkv_GetLastError(MatroskaFile* mf) { return mf && mf->error_text[0] ? mf->error_text : nullptr; }

SegmentInfo* mkv_GetFileInfo(MatroskaFile* mf) { return mf ? &mf->segment_info : nullptr; }

unsigned mkv_GetNumTracks(MatroskaFile* mf) { return mf ? mf->track_count : 0; }

TrackInfo* mkv_GetTrackInfo(MatroskaFile* mf, unsigned track) {
  return mf && track < mf->track_count ? mf->tracks[track] : nullptr;
}

unsigned mkv_GetAttachments(MatroskaFile* mf, AttachmentRecord** at, unsigned* count) {
  *at = mf ? mf->attachments : nullptr;
  return *count = mf ? mf->attachment_count : 0;
}

unsigned mkv_GetChapters(MatroskaFile* mf, Chapter** ch, unsigned* count) {
  *ch = mf ? mf->chapters : nullptr;
  return *count = mf ? mf->chapter_count : 0;
}

unsigned mkv_GetTags(MatroskaFile* mf, TagRecord** tag, unsigned* count) {
  *tag = mf ? mf->tags : nullptr;
  return *count = mf ? mf->tag_count : 0;
}

unsigned mkv_GetCues(MatroskaFile* mf, CueEntry** cues, unsigned* count) {
  *cues = mf ? mf->cues : nullptr;
  return *count = mf ? mf->cue_count : 0;
}

uint64_t mkv_GetSegmentTop(MatroskaFile* mf) { return mf ? mf->segment_end : 0; }

int64_t mkv_TruncFloat(FixedPoint64 f) { return f >> 32; }

void mkv_SetTrackMask(MatroskaFile* mf, uint64_t mask) {
  if (!mf || (mf->flags & MKVF_ERROR)) return;
  mf->skip_mask = mask;
  for (unsigned i = 0; i < mf->track_count; ++i)
    if (masked(mask, i)) emptyQueue(mf, i);
}

int mkv_ReadFrame(MatroskaFile* mf, unsigned mask, unsigned* track, uint64_t* start, uint64_t* end,
                  uint64_t* file_pos, unsigned* size, unsigned* flags) {
  if (!mf) return -1;
  // Bit (i mod 32) of the caller's mask passes over track index i.
  const u64 wide = u64(mask) | (u64(mask) << 32);
  return guarded(mf, -1, [&] {
    for (;;) {
      const int i = earliestQueue(mf, wide);
      // The frame waits for the next one of its track, or the end: damage
      // passed over right after it marks it. (It is handed out whatever
      // the further reading queued before it, as without the wait.)
      while (i >= 0 && !mf->queues[i].head->next && !(mf->flags & MKVF_ERROR)) {
        const u64 before = mf->read_position;
        if (readMoreBlocks(mf) < 0 || mf->read_position == before) break;
      }
      if (i >= 0) {
        const FrameQueueEntry* e = popFrame(mf, unsigned(i));
        if (track) *track = unsigned(i);
        if (start) *start = e->start;
        if (end) *end = e->end;
        if (file_pos) *file_pos = e->file_pos;
        if (size) *size = e->size;
        if (flags) *flags = e->frame_flags;
        return 0;
      }
      if (mf->flags & MKVF_ERROR) return -1;
      if (readMoreBlocks(mf) < 0 && earliestQueue(mf, wide) < 0) return -1;
    }
  });
}

void mkv_GetReadDamage(MatroskaFile* mf, MkvReadDamage* damage) {
  if (!damage) return;
  *damage = MkvReadDamage{};
  if (!mf) return;
  damage->Skipped = mf->skip_count;
  damage->SkippedBytes = mf->skip_bytes;
  damage->FirstSkipPos = mf->skip_first_pos;
  damage->FirstSkipBytes = mf->skip_first_bytes;
  damage->Stopped = (mf->flags & MKVF_ERROR) ? 1 : 0;
  damage->UnsizedCluster = mf->unsized_cluster_at;
}

void mkv_SeekTrack(MatroskaFile* mf, unsigned track, uint64_t t, unsigned) {
  if (!mf || track >= mf->track_count) return;
  guarded(mf, 0, [&] {
    seekTo(mf, track, t);
    return 0;
  });
}

void mkv_Seek2Track(MatroskaFile* mf, unsigned track, uint64_t t, unsigned flags) {
  if (!mf || track >= mf->track_count || (mf->flags & MKVF_AVOID_SEEKS)) return;
  // Time 0 is the first row of any table, the first cluster: a file without
  // cues is not scanned for its clusters (reads every few megabytes through
  // the whole file) to find it.
  if (t == 0 && mf->cue_count == 0) {
    if (mf->first_cluster_pos < mf->segment_end) mkv_SeekTrack(mf, track, 0, flags);
    return;
  }
  const bool ready = guarded(mf, false, [&] {
    if (mf->cue_count == 0) reindex(mf);
    if (mf->cue_count >= 2 && mf->cues[0].Time > mf->cues[1].Time) reindex(mf);
    return mf->cue_count != 0;
  });
  if (!ready) return;
  const CueEntry* c = mf->cues;
  u64 target;
  if (t <= c[0].Time) {
    target = c[0].Time;
  } else {
    target = c[mf->cue_count - 1].Time;
    for (unsigned i = 1; i < mf->cue_count; ++i) {
      if (c[i].Time == t) {
        target = t;
        break;
      }
      if (c[i].Time > t) {
        target = c[i - 1].Time;
        break;
      }
    }
  }
  mkv_SeekTrack(mf, track, target, flags);
}

// ---------------------------------------------------------------------------
// Compressed frames

#ifdef MKV_PEMMICK_BUILD
#define CS_OUT_OF_MEMORY "Ouf of memory."
#else
#define CS_OUT_OF_MEMORY "Out of memory."
#endif

CompressedFrameReader* cs_Create(MatroskaFile* mf, unsigned track, char* errbuf, unsigned errlen) {
  const char* message = nullptr;
  const TrackInfo* t = mf ? mkv_GetTrackInfo(mf, track) : nullptr;
  if (!t)
    message = "No such track.";
  else if (!t->CompEnabled)
    message = "Track is not compressed.";
  else if (t->CompMethod != MKV_COMP_ZLIB)
    message = "Unsupported compression method.";
  CompressedFrameReader* cs = nullptr;
  if (!message) {
    cs = static_cast<CompressedFrameReader*>(mf->stream->memalloc(mf->stream, sizeof(CompressedFrameReader)));
    if (!cs) message = CS_OUT_OF_MEMORY;
  }
  if (cs) {
    memset(static_cast<void*>(cs), 0, sizeof *cs);
    if (inflateInit(&cs->zs) != Z_OK) {
      mf->stream->memfree(mf->stream, cs);
      cs = nullptr;
      message = "ZLib error.";
    }
  }
  if (!cs) {
    copy_error(errbuf, errlen, message);
    return nullptr;
  }
  cs->mf = mf;
  return cs;
}

void cs_Destroy(CompressedFrameReader* cs) {
  if (!cs) return;
  inflateEnd(&cs->zs);
  cs->mf->stream->memfree(cs->mf->stream, cs);
}

void cs_NextFrame(CompressedFrameReader* cs, uint64_t file_pos, unsigned size) {
  if (!cs) return;
  cs->zs.avail_in = 0;
  inflateReset(&cs->zs);
  cs->frame_pos = file_pos;
  cs->compressed_left = size;
  cs->out_pos = cs->out_len = 0;
  cs->stream_end = false;
}

int cs_ReadData(CompressedFrameReader* cs, char* buffer, unsigned size) {
  if (!cs) return -1;
  auto fail = [&](const char* text) {
    copy_error(cs->error_text, sizeof cs->error_text, text);
    return -1;
  };
  unsigned delivered = 0;
  for (;;) {
    if (cs->out_pos < cs->out_len) {
      const unsigned n = std::min(size - delivered, cs->out_len - cs->out_pos);
      memcpy(buffer + delivered, cs->out + cs->out_pos, n);
      cs->out_pos += n;
      delivered += n;
    }
    if (delivered == size) return int(delivered);
    if (cs->stream_end) return int(delivered);

    if (cs->zs.avail_in == 0 && cs->compressed_left > 0) {
      const unsigned n = std::min(cs->compressed_left, unsigned(sizeof cs->in));
      StreamCallbacks* io = cs->mf->stream;
      if (io->read(io, cs->frame_pos, cs->in, int(n)) != int(n)) return fail("File read failed");
      cs->compressed_left -= n;
      cs->frame_pos += n;
      cs->zs.next_in = cs->in;
      cs->zs.avail_in = n;
    }
    const bool input_left = cs->zs.avail_in > 0 || cs->compressed_left > 0;
    cs->zs.next_out = cs->out;
    cs->zs.avail_out = sizeof cs->out;
    const int ret = inflate(&cs->zs, Z_NO_FLUSH);
    const unsigned produced = unsigned(sizeof cs->out - cs->zs.avail_out);
    if (ret == Z_STREAM_END) {
      cs->stream_end = true;
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      return fail("ZLib error.");
    } else if (produced == 0 && !input_left) {
      // The compressed bytes are used up before the stream's end: the
      // frame is cut short, not complete. (A step that only consumed a
      // block header produces nothing while input is left.)
      return fail("ZLib error.");
    }
    cs->out_pos = 0;
    cs->out_len = produced;
  }
}

const char* cs_GetLastError(CompressedFrameReader* cs) { return cs && cs->error_text[0] ? cs->error_text : nullptr; }

// ---------------------------------------------------------------------------
// Standard I/O stream

void StdIoInit(StdIoStream* st, FILE* fp) {
  memset(st, 0, sizeof *st);
  st->base.read = StdIoRead;
  st->base.scan = StdIoScan;
  st->base.getcachesize = StdIoGetCacheSize;
  st->base.geterror = StdIoGetLastError;
  st->base.memalloc = StdIoMalloc;
  st->base.memrealloc = StdIoRealloc;
  st->base.memfree = StdIoFree;
  st->base.progress = StdIoProgress;
  st->base.getfilesize = nullptr;
  st->fp = fp;
  st->error = 0;
}

int StdIoRead(StreamCallbacks* cc, uint64_t pos, void* buffer, int count) {
  StdIoStream* st = reinterpret_cast<StdIoStream*>(cc);
  if (pos > uint64_t(INT64_MAX) || fseeko(st->fp, off_t(pos), SEEK_SET) != 0) {
    st->error = errno ? errno : EINVAL;
    return -1;
  }
  if (!buffer || count <= 0) return -1;  // a read-ahead hint: positioning is all it does
  const size_t r = fread(buffer, 1, size_t(count), st->fp);
  if (r > 0) return int(r);
  if (feof(st->fp)) return 0;
  st->error = errno ? errno : EIO;
  return -1;
}

int64_t StdIoScan(StreamCallbacks* cc, uint64_t start, unsigned signature) {
  StdIoStream* st = reinterpret_cast<StdIoStream*>(cc);
  if (start > uint64_t(INT64_MAX) || fseeko(st->fp, off_t(start), SEEK_SET) != 0) return -1;
  unsigned char block[65536];
  uint32_t window = 0;
  uint64_t pos = start;  // file position of block[0]
  for (;;) {
    const size_t n = fread(block, 1, sizeof block, st->fp);
    if (n == 0) return -1;
    for (size_t i = 0; i < n; ++i) {
      window = (window << 8) | block[i];
      if (window == signature && pos + i + 1 >= start + 4) return int64_t(pos + i + 1 - 4);
    }
    pos += n;
  }
}

unsigned StdIoGetCacheSize(StreamCallbacks*) { return 65536; }

const char* StdIoGetLastError(StreamCallbacks* cc) {
  return strerror(reinterpret_cast<StdIoStream*>(cc)->error);
}

void* StdIoMalloc(StreamCallbacks*, size_t size) { return malloc(size); }
void* StdIoRealloc(StreamCallbacks*, void* mem, size_t size) { return realloc(mem, size); }
void StdIoFree(StreamCallbacks*, void* mem) { free(mem); }
int StdIoProgress(StreamCallbacks*, uint64_t, uint64_t) { return 1; }

}  // extern "C"
