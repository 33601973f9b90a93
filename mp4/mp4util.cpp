#include "mp4util.h"

#include "mp4array.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/time.h>

#include <utility>

namespace {

MP4LibFunc g_libFunc = nullptr;

constexpr size_t kMessageSize = 512;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(unsigned char c) {
  const char* p = c ? strchr(kBase64, c) : nullptr;
  return p ? static_cast<int>(p - kBase64) : -1;
}

}  // namespace

// ---------------------------------------------------------------- MP4Error

void MP4Error::Format(const char* format, va_list ap) {
  message = static_cast<char*>(malloc(kMessageSize));
  if (!message) {
    message = const_cast<char*>(format);
    ownsMessage = 0;
    return;
  }
  ownsMessage = 1;
  vsnprintf(message, kMessageSize, format, ap);
}

MP4Error::MP4Error(const char* format, const char* where_, ...)
    : ownsMessage(0), errnoValue(0), message(nullptr), where(where_) {
  va_list ap;
  va_start(ap, where_);
  Format(format, ap);
  va_end(ap);
}

MP4Error::MP4Error(int err, const char* format, const char* where_, ...)
    : ownsMessage(0), errnoValue(err), message(nullptr), where(where_) {
  va_list ap;
  va_start(ap, where_);
  Format(format, ap);
  va_end(ap);
}

MP4Error::MP4Error(int err, const char* where_)
    : ownsMessage(0), errnoValue(err), message(nullptr), where(where_) {}

MP4Error::MP4Error(const MP4Error& other)
    : ownsMessage(0), errnoValue(other.errnoValue), message(other.message), where(other.where) {
  if (other.ownsMessage) {
    // The copy keeps its own buffer; without memory it keeps no message
    // rather than sharing one that the original frees.
    message = static_cast<char*>(malloc(kMessageSize));
    if (message) {
      memcpy(message, other.message, kMessageSize);
      ownsMessage = 1;
    }
  }
}

MP4Error& MP4Error::operator=(const MP4Error& other) {
  if (this != &other) {
    MP4Error copy(other);
    std::swap(ownsMessage, copy.ownsMessage);
    std::swap(errnoValue, copy.errnoValue);
    std::swap(message, copy.message);
    std::swap(where, copy.where);
  }
  return *this;
}

MP4Error::~MP4Error() {
  if (ownsMessage) free(message);
}

void MP4Error::Print(FILE* stream) const {
  const char* errText = errnoValue ? strerror(errnoValue) : nullptr;
  if (g_libFunc) {
    g_libFunc(3, "MP4ERROR", "%s:%s:%s", where ? where : "", message ? message : "",
              errText ? errText : "");
    return;
  }
  fputs("MP4ERROR: ", stream);
  bool written = false;
  if (where) {
    fputs(where, stream);
    written = true;
  }
  if (message) {
    if (written) fputs(": ", stream);
    fputs(message, stream);
    written = true;
  }
  if (errText) {
    if (written) fputs(": ", stream);
    fputs(errText, stream);
  }
  fputc('\n', stream);
}

void MP4SetLibFunc(MP4LibFunc callback) { g_libFunc = callback; }

int zprintf(const char*, ...) { return 0; }

void MP4Warning(const char* expr, const char* file, unsigned line) {
  fflush(stdout);
  fprintf(stderr, "Warning (%s) in %s at line %u\n", expr, file, line);
}

void MP4HexDump(const uint8_t* bytes, uint32_t numBytes, FILE* stream, uint8_t indent) {
  if (!stream) stream = stdout;
  fprintf(stream, "%*c", indent, ' ');
  fprintf(stream, "<%u bytes> ", numBytes);
  for (uint32_t i = 0; i < numBytes; i++) {
    if (numBytes > 16 && i % 16 == 0) {
      fputc('\n', stream);
      fprintf(stream, "%*c", indent, ' ');
    }
    fprintf(stream, "%02x ", bytes[i]);
  }
  fputc('\n', stream);
}

// ---------------------------------------------------------------- names

bool MP4NameFirstMatches(const char* name, const char* path) {
  if (!name || !*name || !path || !*path) return false;
  if (*path == '*') return true;
  while (*name && *path && *path != '[' && *path != '.') {
    if (tolower(static_cast<unsigned char>(*name)) != tolower(static_cast<unsigned char>(*path)))
      return false;
    name++;
    path++;
  }
  return true;
}

bool MP4NameFirstIndex(const char* path, uint32_t* pIndex) {
  if (!path || !*path || *path == '.') return false;
  const char* p = path;
  while (*p && *p != '.' && *p != '[') p++;
  if (*p != '[') return false;
  MP4_ASSERT(pIndex);
  return sscanf(p + 1, "%u", pIndex) == 1;
}

char* MP4NameFirst(const char* path) {
  if (!path) return nullptr;
  const char* dot = strchr(path, '.');
  size_t n = dot ? static_cast<size_t>(dot - path) : strlen(path);
  char* first = static_cast<char*>(calloc(n + 1, 1));
  if (!first) throw MP4Error(errno);
  memcpy(first, path, n);
  return first;
}

const char* MP4NameAfterFirst(const char* path) {
  if (!path) return nullptr;
  const char* dot = strchr(path, '.');
  if (!dot || dot[1] == '\0') return nullptr;
  return dot + 1;
}

// ---------------------------------------------------------------- texts

size_t MP4TextBytes(const char* text, uint8_t charSize) {
  if (!text) return 0;
  if (charSize < 2) return strlen(text);
  size_t n = 0;
  while (text[n] || text[n + 1]) n += 2;
  return n;
}

char* MP4ToBase16(const uint8_t* data, uint32_t size) {
  if (size) MP4_ASSERT(data);
  char* s = static_cast<char*>(calloc(2 * static_cast<size_t>(size) + 1, 1));
  if (!s) throw MP4Error(errno);
  static const char digits[] = "0123456789abcdef";
  for (uint32_t i = 0; i < size; i++) {
    s[2 * i] = digits[data[i] >> 4];
    s[2 * i + 1] = digits[data[i] & 15];
  }
  return s;
}

char* MP4ToBase64(const uint8_t* data, uint32_t size) {
  if (!data || !size) return nullptr;
  char* s = static_cast<char*>(calloc((4 * static_cast<size_t>(size) + 8) / 3 + 1, 1));
  if (!s) throw MP4Error(errno);
  char* o = s;
  uint32_t i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
    *o++ = kBase64[v >> 18];
    *o++ = kBase64[v >> 12 & 63];
    *o++ = kBase64[v >> 6 & 63];
    *o++ = kBase64[v & 63];
  }
  if (size - i == 1) {
    uint32_t v = data[i] << 16;
    *o++ = kBase64[v >> 18];
    *o++ = kBase64[v >> 12 & 63];
    *o++ = '=';
    *o++ = '=';
  } else if (size - i == 2) {
    uint32_t v = data[i] << 16 | data[i + 1] << 8;
    *o++ = kBase64[v >> 18];
    *o++ = kBase64[v >> 12 & 63];
    *o++ = kBase64[v >> 6 & 63];
    *o++ = '=';
  }
  return s;
}

uint8_t* Base64ToBinary(const char* text, uint32_t length, uint32_t* pOutLength) {
  if (!text || !length || !pOutLength || length % 4) return nullptr;
  const uint32_t full = length / 4 * 3;
  uint8_t* out = static_cast<uint8_t*>(calloc(full, 1));
  if (!out) throw MP4Error(errno);
  uint32_t pads = 0;
  for (uint32_t q = 0; q < length; q += 4) {
    const bool last = q + 4 == length;
    uint32_t v = 0;
    for (uint32_t k = 0; k < 4; k++) {
      const unsigned char c = static_cast<unsigned char>(text[q + k]);
      int sextet;
      if (c == '=' && last) {
        sextet = 0;
        pads++;
      } else if ((sextet = Base64Value(c)) < 0) {
        free(out);
        return nullptr;
      }
      v = v << 6 | static_cast<uint32_t>(sextet);
    }
    out[q / 4 * 3] = static_cast<uint8_t>(v >> 16);
    out[q / 4 * 3 + 1] = static_cast<uint8_t>(v >> 8);
    out[q / 4 * 3 + 2] = static_cast<uint8_t>(v);
  }
  // Four '=' in the last quartet remove more than it yields: that quartet
  // then contributes nothing, never a negative length.
  *pOutLength = full - (pads > 3 ? 3 : pads);
  return out;
}

// ---------------------------------------------------------------- times

uint64_t MP4ConvertTime(uint64_t t, uint32_t oldTimeScale, uint32_t newTimeScale) {
  if (oldTimeScale == 0) throw MP4Error("division by zero", "MP4ConvertTime");
  if (oldTimeScale == newTimeScale || t == UINT64_MAX) return t;
  // Exact in 128 bits: the product of a 64-bit time and a 32-bit scale
  // never overflows there.
  const unsigned __int128 r =
      static_cast<unsigned __int128>(t) * newTimeScale / oldTimeScale;
  return r > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(r);
}

// ---------------------------------------------------------------- track types

const char MP4_VIDEO_TRACK_TYPE[] = "vide";
const char MP4_AUDIO_TRACK_TYPE[] = "soun";
const char MP4_SCENE_TRACK_TYPE[] = "sdsm";
const char MP4_OD_TRACK_TYPE[] = "odsm";
const char MP4_CNTL_TRACK_TYPE[] = "cntl";

const char* MP4NormalizeTrackType(const char* type, uint32_t verbosity) {
  static const struct {
    const char* word;
    const char* type;
  } kWords[] = {
      {"vide", MP4_VIDEO_TRACK_TYPE},  {"video", MP4_VIDEO_TRACK_TYPE},
      {"mp4v", MP4_VIDEO_TRACK_TYPE},  {"avc1", MP4_VIDEO_TRACK_TYPE},
      {"s263", MP4_VIDEO_TRACK_TYPE},  {"encv", MP4_VIDEO_TRACK_TYPE},
      {"soun", MP4_AUDIO_TRACK_TYPE},  {"sound", MP4_AUDIO_TRACK_TYPE},
      {"audio", MP4_AUDIO_TRACK_TYPE}, {"enca", MP4_AUDIO_TRACK_TYPE},
      {"samr", MP4_AUDIO_TRACK_TYPE},  {"sawb", MP4_AUDIO_TRACK_TYPE},
      {"mp4a", MP4_AUDIO_TRACK_TYPE},  {"sdsm", MP4_SCENE_TRACK_TYPE},
      {"scene", MP4_SCENE_TRACK_TYPE}, {"bifs", MP4_SCENE_TRACK_TYPE},
      {"odsm", MP4_OD_TRACK_TYPE},     {"od", MP4_OD_TRACK_TYPE},
      {"cntl", MP4_CNTL_TRACK_TYPE},
  };
  if (!type) return type;
  for (const auto& w : kWords)
    if (strcasecmp(type, w.word) == 0) return w.type;
  if (verbosity & MP4_VERB_WARNINGS) zprintf("Attempt to normalize %s did not match\n", type);
  return type;
}

// ---------------------------------------------------------------- memory

void* MP4Malloc(uint64_t size) {
  if (size == 0) return nullptr;
  void* p = malloc(size);
  if (!p) throw MP4Error(errno);
  return p;
}

void* MP4Calloc(uint64_t size) {
  if (size == 0) return nullptr;
  void* p = calloc(size, 1);
  if (!p) throw MP4Error(errno);
  return p;
}

void* MP4Realloc(void* p, uint32_t newSize) {
  if (!p && newSize == 0) return nullptr;
  if (newSize == 0) {
    free(p);
    return nullptr;
  }
  void* q = realloc(p, newSize);
  if (!q) throw MP4Error(errno);
  return q;
}

void MP4Free(void* p) { free(p); }

uint64_t MP4GetAbsTimestamp() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) + 24107ull * 86400;  // the days from 1904 to 1970
}
