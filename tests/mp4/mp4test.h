// Helpers of the MP4 library's tests and fuzz entry: a caller-supplied
// Virtual_IO table over bytes in memory, reading a box tree from bytes,
// building boxes byte by byte, capturing what a call prints, and a bound
// on the size of the files a test writes.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "mp4.h"
#include "mp4atom.h"
#include "mp4file.h"
#include "virtual_io.h"

namespace mp4test {

// While it lives, no file of this process (or of a program it starts)
// grows beyond the bound: a write past it fails with EFBIG, the signal
// that the limit raises being ignored, instead of filling the disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes = rlim_t(64) << 20) {
    getrlimit(RLIMIT_FSIZE, &m_saved);
    m_savedAction = signal(SIGXFSZ, SIG_IGN);
    struct rlimit bound = m_saved;
    bound.rlim_cur = m_saved.rlim_max == RLIM_INFINITY || bytes < m_saved.rlim_max ? bytes : m_saved.rlim_max;
    setrlimit(RLIMIT_FSIZE, &bound);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_saved);
    signal(SIGXFSZ, m_savedAction);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit m_saved;
  sighandler_t m_savedAction;
};

// What the fuzz entries read of every buffer and text handed out: a size
// that overstates the bytes, or a text without its terminator, shows under
// ASan.
inline volatile size_t g_sink;

inline void Touch(const uint8_t* p, uint32_t size) {
  if (size) g_sink = g_sink + p[0] + p[size - 1];
}

inline void Text(const char* s) {
  if (s) g_sink = g_sink + strlen(s);
}

// A file held in a vector: reads stop at its end, writes grow it.
struct MemFile {
  std::vector<uint8_t> data;
  uint64_t pos = 0;
  bool closed = false;
  uint64_t largestRead = 0;  // the largest size a read asked for
  uint64_t writeCap = UINT64_MAX;  // a write that would end past this fails
};

inline Virtual_IO MemFileIO() {
  Virtual_IO io;
  io.GetFileLength = [](void* h) -> uint64_t { return static_cast<MemFile*>(h)->data.size(); };
  io.SetPosition = [](void* h, uint64_t p) -> int {
    MemFile* f = static_cast<MemFile*>(h);
    if (p > f->data.size()) return -1;
    f->pos = p;
    return 0;
  };
  io.GetPosition = [](void* h, uint64_t* p) -> int {
    *p = static_cast<MemFile*>(h)->pos;
    return 0;
  };
  io.Read = [](void* h, void* buf, uint64_t n) -> uint64_t {
    MemFile* f = static_cast<MemFile*>(h);
    f->largestRead = std::max(f->largestRead, n);
    const uint64_t k = f->pos >= f->data.size() ? 0 : std::min<uint64_t>(n, f->data.size() - f->pos);
    if (k) memcpy(buf, f->data.data() + f->pos, k);
    f->pos += k;
    return k;
  };
  io.Write = [](void* h, void* buf, uint64_t n) -> uint64_t {
    MemFile* f = static_cast<MemFile*>(h);
    if (n > f->writeCap || f->pos > f->writeCap - n) return 0;
    if (f->pos + n > f->data.size()) f->data.resize(f->pos + n);
    memcpy(f->data.data() + f->pos, buf, n);
    f->pos += n;
    return n;
  };
  io.EndOfFile = [](void* h) -> int {
    MemFile* f = static_cast<MemFile*>(h);
    return f->pos >= f->data.size();
  };
  io.Close = [](void* h) -> int {
    static_cast<MemFile*>(h)->closed = true;
    return 0;
  };
  return io;
}

// Appends bytes one by one (GCC 12 warns falsely about range inserts of
// short constant vectors).
template <typename C>
void Append(std::vector<uint8_t>& b, const C& more) {
  for (auto x : more) b.push_back(static_cast<uint8_t>(x));
}

// Runs f with a stream and returns what it wrote there.
template <typename F>
std::string Capture(F f) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* s = open_memstream(&buf, &size);
  if (!s) return "<open_memstream failed>";
  f(s);
  fclose(s);
  std::string out(buf, size);
  free(buf);
  return out;
}

using Bytes = std::vector<uint8_t>;

// A large file that holds only its first bytes: reads give them and then
// zeros up to the length; writes move the position and keep what lands in
// the head (a header written or patched there shows).
struct SparseFile {
  Bytes head;
  uint64_t length = 0;
  uint64_t pos = 0;
};

inline Virtual_IO SparseFileIO() {
  Virtual_IO io = MemFileIO();
  io.GetFileLength = [](void* h) -> uint64_t { return static_cast<SparseFile*>(h)->length; };
  io.SetPosition = [](void* h, uint64_t p) -> int {
    static_cast<SparseFile*>(h)->pos = p;
    return 0;
  };
  io.GetPosition = [](void* h, uint64_t* p) -> int {
    *p = static_cast<SparseFile*>(h)->pos;
    return 0;
  };
  io.Read = [](void* h, void* buf, uint64_t n) -> uint64_t {
    SparseFile* s = static_cast<SparseFile*>(h);
    for (uint64_t i = 0; i < n; i++, s->pos++)
      static_cast<uint8_t*>(buf)[i] = s->pos < s->head.size() ? s->head[s->pos] : 0;
    return n;
  };
  io.Write = [](void* h, void* buf, uint64_t n) -> uint64_t {
    SparseFile* s = static_cast<SparseFile*>(h);
    for (uint64_t i = 0; i < n && s->pos + i < s->head.size(); i++) s->head[s->pos + i] = static_cast<uint8_t*>(buf)[i];
    s->pos += n;
    s->length = std::max(s->length, s->pos);
    return n;
  };
  io.Close = [](void*) -> int { return 0; };
  return io;
}

// The MP4Error that f throws; one with the where-text "nothing thrown" when
// it throws none, which every expectation on it then reports.
template <typename F>
MP4Error Thrown(F f) {
  try {
    f();
  } catch (const MP4Error& e) {
    return e;
  }
  return MP4Error(0, "nothing thrown", "nothing thrown");
}

inline Bytes BE(uint64_t value, int bytes) {
  Bytes b(bytes);
  for (int i = bytes - 1; i >= 0; i--, value >>= 8) b[i] = static_cast<uint8_t>(value);
  return b;
}

// The n-byte big-endian value at pos.
inline uint64_t Be(const Bytes& d, uint64_t pos, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; i++) v = v << 8 | d.at(pos + i);
  return v;
}

// The characters of a literal, zero bytes inside it included.
template <size_t N>
Bytes Lit(const char (&s)[N]) {
  return Bytes(s, s + N - 1);
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) Append(b, p);
  return b;
}

// A box with a 32-bit size that covers its header and body.
inline Bytes Box(const char* type, const Bytes& body) {
  return Cat({BE(8 + body.size(), 4), Bytes(type, type + 4), body});
}

// A full box: version, flags, then the body.
inline Bytes FullBox(const char* type, uint8_t version, uint32_t flags, const Bytes& body) {
  return Box(type, Cat({BE(version, 1), BE(flags, 3), body}));
}

// A descriptor with the four-byte length form the library writes.
inline Bytes Descr(uint8_t tag, const Bytes& body) {
  return Cat({Bytes{tag, 0x80, 0x80, 0x80, static_cast<uint8_t>(body.size())}, body});
}

// An "esds" box: an ES descriptor with a decoder configuration of the
// object type (stream type of video for 0x20 and 0x61, else audio), the
// average bit rate and the specific configuration bytes.
inline Bytes Esds(uint8_t objectType, uint32_t avgBitrate, const Bytes& config) {
  const uint8_t streamType = objectType == 0x20 || objectType == 0x61 ? 0x11 : 0x15;
  const Bytes decConfig = Descr(0x04, Cat({Bytes{objectType, streamType, 0, 0, 0}, BE(avgBitrate, 4),
                                           BE(avgBitrate, 4), Descr(0x05, config)}));
  return FullBox("esds", 0, 0, Descr(0x03, Cat({BE(1, 2), Bytes{0}, decConfig, Descr(0x06, Bytes{0x02})})));
}

// A crafted movie: one trak per track, each with version-0 headers, a
// handler, a data reference and the sample tables given as boxes.
struct CraftedTrack {
  uint32_t id = 1;
  const char* handler = "vide";
  uint32_t timeScale = 1000;
  uint32_t duration = 0;
  // The sample entries of "stsd" (count, then the entries).
  Bytes entries;
  // The data references (count, then the "url " boxes).
  Bytes references;
  // "stts", "stsc", "stsz", "stco" and the others, in the order given.
  Bytes tables;
  // Boxes of the trak after "mdia" ("edts", "tref").
  Bytes extra;
};

// A visual sample entry of the common 78-byte layout with its children.
inline Bytes VisualEntry(const char* type, uint16_t dataReferenceIndex = 1, const Bytes& children = {}) {
  return Box(type, Cat({Bytes(6, 0), BE(dataReferenceIndex, 2), Bytes(16, 0), BE(160, 2), BE(120, 2),
                        Bytes(14, 0), Bytes(32, 0), Bytes(4, 0), children}));
}

// One self-contained data reference; one sample entry.
inline Bytes SelfContained() { return Cat({BE(1, 4), FullBox("url ", 0, 1, {})}); }
inline Bytes OneEntry(const Bytes& entry) { return Cat({BE(1, 4), entry}); }

// "stts", "stsc", "stsz" and "stco" of equal rows: samples of one delta and
// size, chunks of samplesPerChunk samples at the offsets given.
inline Bytes PlainTables(uint32_t samples, uint32_t delta, uint32_t size, uint32_t samplesPerChunk,
                         const std::vector<uint64_t>& chunkOffsets) {
  Bytes stco = BE(chunkOffsets.size(), 4);
  for (uint64_t o : chunkOffsets) Append(stco, BE(o, 4));
  return Cat({FullBox("stts", 0, 0, Cat({BE(1, 4), BE(samples, 4), BE(delta, 4)})),
              FullBox("stsc", 0, 0, Cat({BE(1, 4), BE(1, 4), BE(samplesPerChunk, 4), BE(1, 4)})),
              FullBox("stsz", 0, 0, Cat({BE(size, 4), BE(samples, 4)})), FullBox("stco", 0, 0, stco)});
}

inline Bytes Trak(const CraftedTrack& t) {
  const Bytes entries = t.entries.empty() ? OneEntry(VisualEntry("avc1")) : t.entries;
  const Bytes references = t.references.empty() ? SelfContained() : t.references;
  return Box(
      "trak",
      Cat({FullBox("tkhd", 0, 3, Cat({BE(0, 8), BE(t.id, 4), BE(0, 4), BE(t.duration, 4), Bytes(60, 0)})),
           Box("mdia",
               Cat({FullBox("mdhd", 0, 0, Cat({BE(0, 8), BE(t.timeScale, 4), BE(t.duration, 4), BE(0, 4)})),
                    FullBox("hdlr", 0, 0, Cat({BE(0, 4), Bytes(t.handler, t.handler + 4), Bytes(12, 0), BE(0, 1)})),
                    Box("minf", Cat({Box("dinf", FullBox("dref", 0, 0, references)),
                                     Box("stbl", Cat({FullBox("stsd", 0, 0, entries), t.tables}))}))})),
           t.extra}));
}

// "moov" with a movie header (time scale 1000) and the traks.
inline Bytes Moov(const std::vector<Bytes>& traks) {
  Bytes body = FullBox("mvhd", 0, 0, Cat({BE(0, 8), BE(1000, 4), BE(0, 4), Bytes(80, 0)}));
  for (const Bytes& t : traks) Append(body, t);
  return Box("moov", body);
}

// ftyp (16 bytes), then the media data from offset 24, then the movie.
inline const uint64_t kMedia = 24;
inline Bytes Movie(const Bytes& media, const std::vector<CraftedTrack>& tracks) {
  std::vector<Bytes> traks;
  for (const CraftedTrack& t : tracks) traks.push_back(Trak(t));
  return Cat({Box("ftyp", Cat({Lit("isom"), BE(0, 4)})), Box("mdat", media), Moov(traks)});
}

// A movie opened from memory; the handle goes before the bytes it reads.
struct Opened {
  explicit Opened(Bytes bytes) {
    mem.data = std::move(bytes);
    h.reset(MP4ReadEx("crafted.mp4", &mem, &io, 0));
  }
  MemFile mem;
  Virtual_IO io = MemFileIO();
  std::unique_ptr<void, decltype(&MP4Close)> h{nullptr, MP4Close};
};

// The bytes an atom writes, in the file's memory buffer (the atom's place
// then describes that buffer).
inline Bytes WriteBack(MP4File* f, MP4Atom* a) {
  f->EnableMemoryBuffer();
  uint8_t* buf = nullptr;
  uint64_t n = 0;
  try {
    a->Write();
  } catch (...) {
    f->DisableMemoryBuffer(&buf);
    free(buf);
    throw;
  }
  f->DisableMemoryBuffer(&buf, &n);
  Bytes out(buf, buf + n);
  free(buf);
  return out;
}

// Bytes read as a file through a caller's Virtual_IO table.
class TreeReader {
 public:
  explicit TreeReader(Bytes bytes) : io(MemFileIO()) { mem.data = std::move(bytes); }

  // Reads the whole tree: "" when it succeeds, else "where: message".
  std::string Read(uint32_t verbosity = 0) {
    file.reset(new MP4File(verbosity));
    try {
      file->Attach("memory", 'r', &mem, &io);
      file->ReadFromFile();
      return "";
    } catch (const MP4Error& e) {
      return std::string(e.where ? e.where : "") + ": " + (e.message ? e.message : "") +
             (e.errnoValue ? ": " + std::string(strerror(e.errnoValue)) : "");
    }
  }
  MP4Atom* Root() const { return file->GetRootAtom(); }

  MemFile mem;
  Virtual_IO io;
  std::unique_ptr<MP4File> file;  // closes the handle, so destroyed first
};

// Opens data for reading through mem and io, which must outlive the
// handle. The path names a folder that does not exist, so that data
// references find no file.
inline MP4FileHandle ReadInMemory(MemFile& mem, Virtual_IO& io, const uint8_t* data, size_t size,
                                  const char* path) {
  mem.data.assign(data, data + size);
  io = MemFileIO();
  return MP4ReadEx(path, &mem, &io, 0);
}

}  // namespace mp4test
