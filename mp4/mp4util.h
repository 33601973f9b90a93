// The MP4 library's failure object and the small helpers every part of the
// library shares: diagnostics, dotted names, hexadecimal and Base64 texts,
// time-scale conversion and track-type words.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

// Every failure inside the library is an MP4Error, thrown by value and caught
// by reference; the function interface catches it (and std::bad_alloc) so
// that no exception leaves the library.
//
// `where` is always a static text (an operation name or an asserted
// expression in parentheses). `message` is a 512-byte buffer of this error
// when ownsMessage is 1, otherwise a static text or NULL.
class MP4Error {
 public:
  // Formatted message, errnoValue 0. Never fails: when the buffer cannot be
  // allocated, message is the unformatted format text.
  MP4Error(const char* format, const char* where, ...)
      __attribute__((format(printf, 2, 4)));
  MP4Error(int errnoValue, const char* format, const char* where, ...)
      __attribute__((format(printf, 3, 5)));
  // Plain form without a message: allocation failures and range limits.
  explicit MP4Error(int errnoValue, const char* where = nullptr);

  MP4Error(const MP4Error& other);
  MP4Error& operator=(const MP4Error& other);
  ~MP4Error();

  // "MP4ERROR: where: message: strerror(errno)\n" with the absent parts and
  // their separators left out; to the callback of MP4SetLibFunc instead when
  // one is installed.
  void Print(FILE* stream = stderr) const;

  uint32_t ownsMessage;
  int32_t errnoValue;
  char* message;
  const char* where;

 private:
  void Format(const char* format, va_list ap);
};

// Assertion failures carry "assert failure" and the expression as where-text;
// MP4_ASSERT_AS names the text where it differs from the code's spelling.
#define MP4_ASSERT(expr) MP4_ASSERT_AS(expr, "(" #expr ")")
#define MP4_ASSERT_AS(expr, text)                              \
  do {                                                         \
    if (!(expr)) throw MP4Error("assert failure", text);       \
  } while (0)

// The process-wide message callback (level, library tag, format, ...).
// C linkage, as declared in mp4.h.
extern "C" {
typedef void (*MP4LibFunc)(int loglevel, const char* lib, const char* fmt, ...);
void MP4SetLibFunc(MP4LibFunc callback);
}

// Verbosity flags of an open file; a combined detail is all of its bits.
enum : uint32_t {
  MP4_VERB_ERRORS = 0x01,
  MP4_VERB_WARNINGS = 0x02,
  MP4_VERB_READ = 0x04,
  MP4_VERB_WRITE = 0x08,
  MP4_VERB_FIND = 0x10,
  MP4_VERB_TABLE = 0x20,
  MP4_VERB_SAMPLE = 0x40,
  MP4_VERB_HINT = 0x80,
  MP4_VERB_ISMA = 0x100,
};

// Verbosity-gated diagnostics go here; it prints nothing and returns 0.
int zprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The internal warning line, written to stderr whatever the verbosity after
// stdout has been flushed: "Warning (expr) in file at line n".
void MP4Warning(const char* expr, const char* file, unsigned line);

// Writes indent blanks ("%*c": one blank for 0), then "<n bytes> " and the
// bytes as "%02x ", 16 a line when there are more than 16. NULL: stdout.
void MP4HexDump(const uint8_t* bytes, uint32_t numBytes, FILE* stream, uint8_t indent);

// Dotted names ("moov.trak[1].tkhd.trackId"): common-prefix match of the
// first component ignoring case, its [n] index, a calloc'ed copy of it, and
// the rest after the first dot.
bool MP4NameFirstMatches(const char* name, const char* path);
bool MP4NameFirstIndex(const char* path, uint32_t* pIndex);
char* MP4NameFirst(const char* path);
const char* MP4NameAfterFirst(const char* path);

// The bytes of a text before its terminator: a zero byte for 8-bit
// characters, a whole zero character (at an even offset) for 16-bit ones,
// whose high bytes are often zero.
size_t MP4TextBytes(const char* text, uint8_t charSize);

// Results are calloc'ed and belong to the caller.
char* MP4ToBase16(const uint8_t* data, uint32_t size);
char* MP4ToBase64(const uint8_t* data, uint32_t size);
uint8_t* Base64ToBinary(const char* text, uint32_t length, uint32_t* pOutLength);

// t in oldTimeScale converted to newTimeScale, truncated; all ones (the
// invalid time) comes back unchanged and a result beyond 64 bits saturates
// to all ones.
uint64_t MP4ConvertTime(uint64_t t, uint32_t oldTimeScale, uint32_t newTimeScale);

// Now, in seconds since 1904-01-01 00:00 UTC: the time base of the movie,
// track and media headers.
uint64_t MP4GetAbsTimestamp();

// "video", "avc1", ... -> the static text "vide" and so on; any other word
// comes back as the same pointer.
const char* MP4NormalizeTrackType(const char* type, uint32_t verbosity);
extern const char MP4_VIDEO_TRACK_TYPE[];
extern const char MP4_AUDIO_TRACK_TYPE[];
extern const char MP4_SCENE_TRACK_TYPE[];
extern const char MP4_OD_TRACK_TYPE[];
extern const char MP4_CNTL_TRACK_TYPE[];
