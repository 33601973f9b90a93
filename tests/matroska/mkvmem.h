// Test side of the Matroska reader, shared by the unit tests and the fuzz
// entry: an in-memory stream that counts what the reader does with it
// (allocations still held, read calls, scans, progress), and a small EBML
// writer for crafted files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "MatroskaParser.h"

namespace mkvt {

// Bytes of a crafted file (std::string: binary-safe and easy to join).
using Bytes = std::string;

// The reader's stream over a byte string. The callbacks head the record, so
// the reader's StreamCallbacks* is this object.
struct MemStream {
  StreamCallbacks cb;
  Bytes data;
  std::unordered_set<void*> live;  // blocks handed out and not yet freed
  long allocations = 0;            // memalloc and memrealloc calls that succeeded
  long fail_after = -1;            // allocations that succeed before all fail; -1: never fail
  bool bad_free = false;           // a block freed that was not handed out
  long reads = 0, hints = 0, scans = 0, progress_calls = 0;
  long stop_progress_after = -1;   // progress returns 0 after this many calls
  uint64_t fail_from = UINT64_MAX; // reads from here on fail; reads before it stop here
  unsigned cache_size = 65536;
  std::string error = "stream error";

  explicit MemStream(Bytes bytes) : data(std::move(bytes)) {
    cb.read = Read;
    cb.scan = Scan;
    cb.getcachesize = [](StreamCallbacks* c) { return self(c)->cache_size; };
    cb.geterror = [](StreamCallbacks* c) { return self(c)->error.c_str(); };
    cb.memalloc = [](StreamCallbacks* c, size_t n) { return self(c)->grant(nullptr, n); };
    cb.memrealloc = [](StreamCallbacks* c, void* p, size_t n) { return self(c)->grant(p, n); };
    cb.memfree = [](StreamCallbacks* c, void* p) { self(c)->release(p); };
    cb.progress = [](StreamCallbacks* c, uint64_t, uint64_t) {
      MemStream* m = self(c);
      ++m->progress_calls;
      return m->stop_progress_after >= 0 && m->progress_calls > m->stop_progress_after ? 0 : 1;
    };
    cb.getfilesize = nullptr;
  }
  MemStream(const MemStream&) = delete;
  MemStream& operator=(const MemStream&) = delete;
  ~MemStream() {
    for (void* p : live) free(p);
  }
  StreamCallbacks* io() { return &cb; }

 private:
  static MemStream* self(StreamCallbacks* c) { return reinterpret_cast<MemStream*>(c); }

  static int Read(StreamCallbacks* c, uint64_t pos, void* buffer, int count) {
    MemStream* m = self(c);
    if (!buffer || count <= 0) {
      ++m->hints;
      return -1;
    }
    ++m->reads;
    if (pos >= m->fail_from) return -1;
    const uint64_t end = std::min<uint64_t>(m->data.size(), m->fail_from);
    if (pos >= end) return 0;
    const size_t n = size_t(std::min<uint64_t>(uint64_t(count), end - pos));
    memcpy(buffer, m->data.data() + pos, n);
    return int(n);
  }

  static int64_t Scan(StreamCallbacks* c, uint64_t start, unsigned signature) {
    MemStream* m = self(c);
    ++m->scans;
    const unsigned char sig[4] = {uint8_t(signature >> 24), uint8_t(signature >> 16), uint8_t(signature >> 8),
                                  uint8_t(signature)};
    if (start >= m->data.size()) return -1;
    const size_t at = m->data.find(reinterpret_cast<const char*>(sig), size_t(start), 4);
    return at == Bytes::npos ? -1 : int64_t(at);
  }

  void* grant(void* old, size_t n) {
    if (fail_after >= 0 && allocations >= fail_after) return nullptr;
    if (old && !live.count(old)) bad_free = true;
    void* p = realloc(old, n ? n : 1);
    if (!p) return nullptr;
    ++allocations;
    live.erase(old);
    live.insert(p);
    return p;
  }

  void release(void* p) {
    if (!p) return;
    if (!live.erase(p)) {
      bad_free = true;
      return;
    }
    free(p);
  }
};

// ---------------------------------------------------------------------------
// EBML writer

// An element ID with its marker bits, as written in the file.
inline Bytes id(uint32_t v) {
  Bytes b;
  for (int shift = v > 0xFFFFFF ? 24 : v > 0xFFFF ? 16 : v > 0xFF ? 8 : 0; shift >= 0; shift -= 8)
    b += char(v >> shift);
  return b;
}

// An EBML variable-length integer of len bytes (0: the shortest that is
// not all ones).
inline Bytes vint(uint64_t v, int len = 0) {
  if (len == 0) {
    len = 1;
    while (len < 8 && v >= (uint64_t(1) << (7 * len)) - 1) ++len;
  }
  Bytes b(size_t(len), '\0');
  for (int i = len - 1; i >= 0; --i, v >>= 8) b[size_t(i)] = char(v & 0xFF);
  b[0] = char(uint8_t(b[0]) | (0x80 >> (len - 1)));
  return b;
}

// The all-ones size of len bytes: the unknown size.
inline Bytes unknown_size(int len = 8) { return vint((uint64_t(1) << (7 * len)) - 1, len); }

inline Bytes el(uint32_t i, const Bytes& payload) { return id(i) + vint(payload.size()) + payload; }
// An element whose size field says size, whatever payload follows.
inline Bytes el_sized(uint32_t i, uint64_t size, const Bytes& payload, int len = 8) {
  return id(i) + vint(size, len) + payload;
}

inline Bytes be(uint64_t v, int bytes) {
  Bytes b;
  for (int i = bytes - 1; i >= 0; --i) b += char((v >> (8 * i)) & 0xFF);
  return b;
}
inline Bytes uint_el(uint32_t i, uint64_t v) {
  int n = 1;
  while (n < 8 && (v >> (8 * n))) ++n;
  return el(i, be(v, n));
}
inline Bytes float_el(uint32_t i, double v) {
  uint64_t bits;
  memcpy(&bits, &v, 8);
  return el(i, be(bits, 8));
}
inline Bytes float32_el(uint32_t i, float v) {
  uint32_t bits;
  memcpy(&bits, &v, 4);
  return el(i, be(bits, 4));
}

// The element IDs the tests write.
enum : uint32_t {
  EBML = 0x1A45DFA3, EBMLReadVersion = 0x42F7, EBMLMaxIDLength = 0x42F2, EBMLMaxSizeLength = 0x42F3,
  DocType = 0x4282, DocTypeReadVersion = 0x4285,
  Segment = 0x18538067, SeekHead = 0x114D9B74, Seek = 0x4DBB, SeekID = 0x53AB, SeekPosition = 0x53AC,
  Info = 0x1549A966, TimecodeScale = 0x2AD7B1, Duration = 0x4489, SegmentUID = 0x73A4, Title = 0x7BA9,
  Tracks = 0x1654AE6B, TrackEntry = 0xAE, TrackNumber = 0xD7, TrackType = 0x83, TrackUID = 0x73C5,
  CodecID = 0x86, CodecPrivate = 0x63A2, DefaultDuration = 0x23E383, TrackTimecodeScale = 0x23314F,
  Language = 0x22B59C, Name = 0x536E, Video = 0xE0, PixelWidth = 0xB0, PixelHeight = 0xBA,
  DisplayWidth = 0x54B0, Audio = 0xE1, SamplingFrequency = 0xB5, Channels = 0x9F,
  ContentEncodings = 0x6D80, ContentEncoding = 0x6240, ContentEncodingScope = 0x5032,
  ContentEncodingType = 0x5033, ContentCompression = 0x5034, ContentCompAlgo = 0x4254,
  ContentCompSettings = 0x4255,
  Cues = 0x1C53BB6B, CuePoint = 0xBB, CueTime = 0xB3, CueTrackPositions = 0xB7, CueTrack = 0xF7,
  CueClusterPosition = 0xF1,
  Cluster = 0x1F43B675, Timecode = 0xE7, SimpleBlock = 0xA3, BlockGroup = 0xA0, Block = 0xA1,
  BlockDuration = 0x9B, ReferenceBlock = 0xFB, BlockAdditions = 0x75A1, BlockMore = 0xA6, BlockAddID = 0xEE,
  BlockAdditional = 0xA5, Void = 0xEC,
  Chapters = 0x1043A770, EditionEntry = 0x45B9, ChapterAtom = 0xB6, ChapterUID = 0x73C4,
  ChapterTimeStart = 0x91, ChapDisplay = 0x80, ChapString = 0x85, ChapLanguage = 0x437C,
  Tags = 0x1254C367, Attachments = 0x1941A469,
};

inline Bytes ebml_header(const Bytes& doctype = "matroska", const Bytes& extra = "") {
  return el(EBML, uint_el(0x4286, 1) + uint_el(EBMLReadVersion, 1) + uint_el(EBMLMaxIDLength, 4) +
                      uint_el(EBMLMaxSizeLength, 8) + el(DocType, doctype) + uint_el(0x4287, 4) +
                      uint_el(DocTypeReadVersion, 2) + extra);
}
inline Bytes info(uint64_t scale = 1000000, const Bytes& extra = "") {
  return el(Info, uint_el(TimecodeScale, scale) + extra);
}
// A TrackEntry: number, type (1 video, 2 audio), codec ID, more children.
inline Bytes track(unsigned number, unsigned type, const Bytes& codec, const Bytes& extra = "") {
  return el(TrackEntry, uint_el(TrackNumber, number) + uint_el(TrackUID, 1000 + number) + uint_el(TrackType, type) +
                            el(CodecID, codec) + extra);
}
// Block data: track number, signed 16-bit relative timecode, flags, then
// the lacing head and payload as given.
inline Bytes block(unsigned track, int16_t rel, uint8_t flags, const Bytes& rest) {
  return vint(track) + be(uint16_t(rel), 2) + char(flags) + rest;
}
inline Bytes simple(unsigned track, int16_t rel, const Bytes& payload, bool key = true) {
  return el(SimpleBlock, block(track, rel, key ? 0x80 : 0x00, payload));
}
inline Bytes cluster(uint64_t timecode, const Bytes& blocks) { return el(Cluster, uint_el(Timecode, timecode) + blocks); }
inline Bytes file(const Bytes& segment_payload, const Bytes& header = ebml_header()) {
  return header + el(Segment, segment_payload);
}
// A payload of n pseudo-random bytes: payloads of different seeds do not
// contain each other, so a frame's bytes tell where it lies in the file.
inline Bytes payload(size_t n, int seed) {
  Bytes b(n, '\0');
  uint32_t x = 2654435761u * uint32_t(seed + 1);
  for (size_t i = 0; i < n; ++i) b[i] = char((x = x * 1103515245u + 12345u) >> 23);
  return b;
}

}  // namespace mkvt
