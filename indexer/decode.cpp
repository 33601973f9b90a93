// Input files as one byte stream, the shared read buffer, and container
// detection.
#include "decode.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Matroska.h"
#include "mp4.h"
#include "mpls.h"
#include "pat.h"
#include "ts.h"

// Reads up to n bytes; a short count means the file has ended. A read error
// is fatal: carrying on would silently drop the rest of the input.
static u32 read_block(int fd, unsigned char* dst, u32 n) {
  u32 got = 0;
  while (got < n) {
    ssize_t r = read(fd, dst + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      printf("I/O error while reading the input: %s\n", strerror(errno));
      ostrel_exit(1);
    }
    if (r == 0) break;
    got += static_cast<u32>(r);
  }
  return got;
}

// ------------------------------------------------------------------ input access

namespace {

const char* memory_name;                             // name that stands for the memory input
const unsigned char* memory_data;
u64 memory_size;
constexpr int kMemorySlots = 8;                      // memory descriptors open at once
constexpr int kFirstMemoryFd = -2;                   // slot s is descriptor -2 - s
bool memory_open[kMemorySlots];
u64 memory_pos[kMemorySlots];                        // read position of each slot

int memory_slot(int fd) {
  if (fd > kFirstMemoryFd) return -1;
  const int s = kFirstMemoryFd - fd;
  return s < kMemorySlots && memory_open[s] ? s : -1;
}

bool is_memory_name(const char* name) { return memory_name && name && strcmp(name, memory_name) == 0; }

}  // namespace

void SetMemoryInput(const char* name, const unsigned char* data, size_t size) {
  memory_name = name;
  memory_data = name ? data : nullptr;
  memory_size = name ? size : 0;
}

int InputOpen(const char* name) {
  if (!is_memory_name(name)) return open(name, O_RDONLY);
  for (int s = 0; s < kMemorySlots; s++) {
    if (memory_open[s]) continue;
    memory_open[s] = true;
    memory_pos[s] = 0;
    return kFirstMemoryFd - s;
  }
  return -1;
}

namespace {

// stdio over the input stream: the cookie is the read position.
ssize_t stream_read(void* cookie, char* buf, size_t n) {
  u64* pos = static_cast<u64*>(cookie);
  const u32 got = ReadStreamAt(*pos, reinterpret_cast<unsigned char*>(buf), n < (1u << 30) ? static_cast<u32>(n) : 1u << 30);
  *pos += got;
  return static_cast<ssize_t>(got);
}

int stream_seek(void* cookie, off64_t* offset, int whence) {
  u64* pos = static_cast<u64*>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<off64_t>(*pos);
  else if (whence == SEEK_END) base = static_cast<off64_t>(Infiletotal);
  else if (whence != SEEK_SET) return -1;
  if (*offset < -base) return -1;
  *pos = static_cast<u64>(base + *offset);
  *offset = static_cast<off64_t>(*pos);
  return 0;
}

int stream_close(void* cookie) {
  delete static_cast<u64*>(cookie);
  return 0;
}

}  // namespace

u32 ReadStreamAt(u64 position, unsigned char* dst, u32 n) {
  u32 got = 0;
  for (int i = 0; i < NumLoadedFiles && got < n; i++) {
    // The last file is read to its end, whatever its measured length.
    const bool last = i + 1 == NumLoadedFiles;
    if (!last && position >= Infilelength[i]) {
      position -= Infilelength[i];
      continue;
    }
    u32 want = n - got;
    if (!last && Infilelength[i] - position < want) want = static_cast<u32>(Infilelength[i] - position);
    const int fd = InputOpen(Infilename[i]);
    if (fd == -1) break;
    InputSeek(fd, position);
    got += InputRead(fd, dst + got, want);
    InputClose(fd);
    position = 0;
  }
  return got;
}

FILE* InputFopen(const char* name) {
  if (name && strcmp(name, kInputStreamName) == 0) {
    static const cookie_io_functions_t functions = {stream_read, nullptr, stream_seek, stream_close};
    u64* pos = new u64(0);
    FILE* f = fopencookie(pos, "rb", functions);
    if (!f) delete pos;
    return f;
  }
  if (!is_memory_name(name)) return fopen(name, "rb");
  // fmemopen refuses an empty buffer; an empty input reads as at its end.
  if (memory_size == 0) return fopen("/dev/null", "rb");
  return fmemopen(const_cast<unsigned char*>(memory_data), memory_size, "rb");
}

u32 InputRead(int fd, unsigned char* dst, u32 n) {
  const int s = memory_slot(fd);
  if (s < 0) return read_block(fd, dst, n);
  const u64 left = memory_pos[s] < memory_size ? memory_size - memory_pos[s] : 0;
  const u32 got = left < n ? static_cast<u32>(left) : n;
  if (got) memcpy(dst, memory_data + memory_pos[s], got);
  memory_pos[s] += got;
  return got;
}

long InputReadAt(int fd, u64 offset, unsigned char* dst, size_t n) {
  const int s = memory_slot(fd);
  if (s >= 0) {
    const u64 left = offset < memory_size ? memory_size - offset : 0;
    const size_t got = left < n ? static_cast<size_t>(left) : n;
    if (got) memcpy(dst, memory_data + offset, got);
    return static_cast<long>(got);
  }
  if (offset > static_cast<u64>(INT64_MAX)) {
    errno = EINVAL;
    return -1;
  }
  size_t got = 0;
  while (got < n && offset + got <= static_cast<u64>(INT64_MAX)) {
    const ssize_t r = pread(fd, dst + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      if (!errno) errno = EIO;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<long>(got);
}

namespace {

// The mapped stretch of the viewed file. It moves along with the views, so
// that the resident memory stays that of one stretch whatever the file's
// size; its pages come from the page cache without a copy.
constexpr u64 kMapSpan = u64(16) << 20;
constexpr u64 kMapAlign = u64(1) << 20;
struct FileMap {
  int fd = -1;
  unsigned char* base = nullptr;  // file bytes [from, from + len)
  u64 from = 0;
  size_t len = 0;
};
FileMap file_map;
volatile sig_atomic_t view_failed;
bool view_by_reading_only;
// File bytes [from, from + len) of descriptor fd, read for views that are
// not mapped. Six are kept, the least recently used one read again: the
// Matroska library's reads run ahead of the adapter's by a whole frame of
// the track (it hands a frame out once the next one is queued, having
// looked at that frame's block, its last byte and the blocks of other
// tracks between them), so the head and tail of the frame the adapter
// looks at must outlast the reads of what follows it.
struct ReadBlock {
  int fd = -1;
  unsigned char* bytes = nullptr;  // kInputViewMax bytes and an alignment's lead, allocated once
  u64 from = 0;
  size_t len = 0;
  bool at_end = false;  // the file ends with the block
  u64 used = 0;         // when it last gave a view (a count of views)
};
constexpr int kReadBlocks = 6;
static_assert(kReadBlocks <= int(kInputViewHeldMax), "every read block fits InputViewHeldStretches' list");
ReadBlock read_blocks[kReadBlocks];
u64 view_count = 0;
// How far apart the views of the read file lie: a running mean of the
// distance from one stretch of kInputViewPiece bytes looked at to the next.
// Views back a little (the adapter behind the library) say nothing of it;
// a jump far back (a seek) moves the stretch there and keeps the mean.
struct ViewSpacing {
  int fd = -1;
  u64 region = 0;   // where the last stretch looked at begins
  u64 mean = 0;
};
ViewSpacing view_spacing;

void note_view(int fd, u64 offset) {
  ViewSpacing& v = view_spacing;
  if (v.fd != fd) {
    v = ViewSpacing{fd, offset, kInputViewBlock};
  } else if (offset >= v.region + kInputViewPiece) {
    // A jump far ahead counts as a block's distance, so that a few views
    // close together after it make them count as close again.
    const u64 d = offset - v.region < kInputViewBlock ? offset - v.region : kInputViewBlock;
    v.mean = v.mean - v.mean / 4 + d / 4;
    v.region = offset;
  } else if (offset + kInputViewBlock < v.region) {
    v.region = offset;
  }
}

// The read block that holds the most file bytes from offset on, or null
// where none holds the byte at offset (or, with end, none ends there).
ReadBlock* block_at(int fd, u64 offset, bool end = false) {
  ReadBlock* best = nullptr;
  for (ReadBlock& b : read_blocks)
    if (b.fd == fd && offset >= b.from && (offset - b.from < b.len || (end && offset - b.from == b.len)) &&
        (!best || b.from + b.len > best->from + best->len))
      best = &b;
  return best;
}
struct sigaction bus_before;

// A touch of the mapping past the file's end (it shrank) or of a page that
// cannot be read: zeros take the mapping's place, and the view is marked
// failed. A bus error elsewhere is the program's own.
void on_bus_error(int sig, siginfo_t* info, void* context) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t b = reinterpret_cast<uintptr_t>(file_map.base);
  if (b && a >= b && a - b < file_map.len &&
      mmap(file_map.base, file_map.len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
    view_failed = 1;
    return;
  }
  sigaction(SIGBUS, &bus_before, nullptr);
  if (bus_before.sa_flags & SA_SIGINFO) {
    if (bus_before.sa_sigaction) bus_before.sa_sigaction(sig, info, context);
  } else if (bus_before.sa_handler != SIG_DFL && bus_before.sa_handler != SIG_IGN) {
    bus_before.sa_handler(sig);
  }
  // The default action follows when the faulting access is made again.
}

void watch_bus_errors() {
  static bool watching = false;
  if (watching) return;
  struct sigaction sa = {};
  sa.sa_sigaction = on_bus_error;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  watching = sigaction(SIGBUS, &sa, &bus_before) == 0;
}

const unsigned char* view_by_reading(int fd, u64 offset, size_t n, size_t* got) {
  note_view(fd, offset);
  ++view_count;
  if (ReadBlock* h = block_at(fd, offset, true)) {
    const size_t left = h->len - static_cast<size_t>(offset - h->from);
    if (n <= left || h->at_end) {
      h->used = view_count;
      *got = n < left ? n : left;
      return h->bytes + (offset - h->from);
    }
  }
  // Where views lie close together (frames of a few tens of KB, each looked
  // at in a few places), a block read at once costs less than a read for
  // each; where they lie far apart, only a piece from where this one begins
  // is read.
  const bool dense = view_spacing.mean <= kInputViewNear;
  const size_t size = dense ? kInputViewBlock : kInputViewPiece;
  // b: the block used least recently, read again; other: the one used
  // last, which a block of views close together goes on from. Blocks of
  // views close together take turns in two slots only: the parse reads
  // what was just read, and more buffers of that size would only push it
  // out of the processor's caches.
  const int slots = dense ? 2 : kReadBlocks;
  ReadBlock* lru = &read_blocks[0];
  for (int i = 0; i < slots; ++i)
    if (read_blocks[i].used < lru->used) lru = &read_blocks[i];
  const ReadBlock* newest = lru == &read_blocks[0] ? &read_blocks[1] : &read_blocks[0];
  for (const ReadBlock& x : read_blocks)
    if (&x != lru && x.used > newest->used) newest = &x;
  ReadBlock& b = *lru;
  const ReadBlock& other = *newest;
  // The kernel copies from the page cache fastest where the file position
  // and the memory address lie alike within a cache line: blocks begin at a
  // boundary of kAlign in the file, read to memory aligned alike.
  constexpr size_t kAlign = 64;
  if (!b.bytes) b.bytes = static_cast<unsigned char*>(aligned_alloc(4096, kInputViewMax + 4096));
  if (!b.bytes) {
    errno = ENOMEM;
    return nullptr;
  }
  b.fd = -1;
  // What is read begins a little before the view: the Matroska library looks
  // at a block's last byte and the next block's header before the adapter
  // looks at the frame. A block of views close together goes on from a
  // piece's length before the end of the other one where the view lies
  // within a block behind that end, so that the file is read once, and the
  // views across the end (a frame's first or last bytes) lie in one block.
  u64 back = offset < kInputViewBack ? offset : kInputViewBack;
  const u64 end = other.from + other.len;
  if (dense && other.fd == fd && !other.at_end && offset >= end && offset - end < kInputViewBlock &&
      n <= kInputViewBlock && other.len >= kInputViewPiece)
    back = offset - end + kInputViewPiece;
  const size_t lead = static_cast<size_t>(back + (offset - back) % kAlign);
  const size_t want = lead + (n > size ? n : size);
  const long r = InputReadAt(fd, offset - lead, b.bytes, want);
  if (r < 0) return nullptr;
  b.fd = fd;
  b.from = offset - lead;
  b.len = static_cast<size_t>(r);
  b.at_end = b.len < want;
  b.used = view_count;
  const size_t left = b.len > lead ? b.len - lead : 0;
  *got = n < left ? n : left;
  return b.bytes + lead;
}

}  // namespace

const unsigned char* InputView(int fd, u64 offset, size_t n, size_t* got) {
  *got = 0;
  if (n > kInputViewMax) {
    errno = EINVAL;
    return nullptr;
  }
  const int s = memory_slot(fd);
  if (s >= 0) {
    const u64 left = offset < memory_size ? memory_size - offset : 0;
    *got = left < n ? static_cast<size_t>(left) : n;
    return *got ? memory_data + offset : reinterpret_cast<const unsigned char*>("");
  }
  if (view_by_reading_only) return view_by_reading(fd, offset, n, got);
  if (const unsigned char* q = InputViewHeld(fd, offset, n)) {
    *got = n;
    return q;
  }
  FileMap& m = file_map;
  // Map the stretch that holds the view, as far as the file holds it now.
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) return view_by_reading(fd, offset, n, got);
  const u64 size = static_cast<u64>(st.st_size);
  if (offset >= size) return reinterpret_cast<const unsigned char*>("");
  InputViewRelease();
  const u64 from = offset / kMapAlign * kMapAlign;
  const size_t len = static_cast<size_t>(size - from < kMapSpan ? size - from : kMapSpan);
  watch_bus_errors();
  void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(from));
  if (p == MAP_FAILED) return view_by_reading(fd, offset, n, got);
  m.fd = fd;
  m.base = static_cast<unsigned char*>(p);
  m.from = from;
  m.len = len;
  const size_t left = len - static_cast<size_t>(offset - from);
  *got = left < n ? left : n;
  return m.base + (offset - from);
}

const unsigned char* InputViewHeld(int fd, u64 offset, size_t n, size_t* part) {
  const FileMap& m = file_map;
  ReadBlock* b = nullptr;
  const unsigned char* bytes = nullptr;
  u64 from = 0;
  size_t len = 0;
  if (m.fd == fd && m.base) {
    bytes = m.base, from = m.from, len = m.len;
  } else if ((b = block_at(fd, offset))) {
    bytes = b->bytes, from = b->from, len = b->len;
  }
  if (!bytes || offset < from || offset - from >= len) return nullptr;
  const size_t avail = len - static_cast<size_t>(offset - from);
  if (avail < n && !part) return nullptr;
  if (part) *part = avail < n ? avail : n;
  if (b) {
    note_view(fd, offset);
    b->used = ++view_count;
  }
  return bytes + (offset - from);
}

size_t InputViewHeldStretches(int fd, u64 offset, size_t n, HeldStretch* out) {
  const u64 to = n > UINT64_MAX - offset ? UINT64_MAX : offset + n;
  size_t count = 0;
  auto add = [&](const unsigned char* bytes, u64 from, size_t len) {
    const u64 begin = from > offset ? from : offset, end = from + len < to ? from + len : to;
    if (begin >= end) return;
    // In the order of their first bytes (insertion into at most a few).
    size_t k = count++;
    for (; k > 0 && out[k - 1].at > begin; --k) out[k] = out[k - 1];
    out[k] = HeldStretch{bytes + (begin - from), begin, static_cast<size_t>(end - begin)};
  };
  if (memory_slot(fd) >= 0) {
    add(memory_data, 0, static_cast<size_t>(memory_size));
    return count;
  }
  for (const ReadBlock& b : read_blocks)
    if (b.fd == fd) add(b.bytes, b.from, b.len);
  return count;
}

bool InputViewFailed() {
  const bool failed = view_failed != 0;
  view_failed = 0;
  return failed;
}

void InputViewRelease() {
  if (file_map.base) munmap(file_map.base, file_map.len);
  file_map = FileMap();
  for (ReadBlock& b : read_blocks) b.fd = -1;
  view_spacing.fd = -1;
}

void InputViewByReading(bool on) {
  InputViewRelease();
  view_by_reading_only = on;
}

void InputSeek(int fd, u64 offset) {
  const int s = memory_slot(fd);
  if (s >= 0) memory_pos[s] = offset;
  else lseek(fd, static_cast<off_t>(offset), SEEK_SET);
}

u64 InputTell(int fd) {
  const int s = memory_slot(fd);
  if (s >= 0) return memory_pos[s];
  off_t o = lseek(fd, 0, SEEK_CUR);
  return o < 0 ? 0 : static_cast<u64>(o);
}

void InputClose(int fd) {
  const int s = memory_slot(fd);
  if (s >= 0) memory_open[s] = false;
  else if (fd >= 0) close(fd);
}

int InputMeasure(const char* name, u64* length) {
  if (is_memory_name(name)) {
    *length = memory_size;
    return 0;
  }
  // stat, not open: opening a pipe without a writer would wait for one.
  struct stat st;
  if (stat(name, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return 1;
  *length = static_cast<u64>(st.st_size);
  return 0;
}

void reset_input_state() {
  for (bool& used : memory_open) used = false;
  files_before_file = -1;
  files_before_sum = 0;
}

int files_before_file = -1;
u64 files_before_sum;

u64 FilesBeforeCompute(int file) {
  u64 sum = 0;
  for (int i = 0; i < file && i < NumLoadedFiles; i++) sum += Infilelength[i];
  files_before_file = file;
  files_before_sum = sum;
  return sum;
}

void Recovery() {
  files_before_file = -1;
  if (NumLoadedFiles != 0) {
    Infiletotal = 0;
    for (int i = 0; i < NumLoadedFiles; i++) {
      if (InputMeasure(Infilename[i], &Infilelength[i]) > 0) {
        printf("ERROR: %s is not a regular file.\n", Infilename[i]);
        ostrel_exit(1);
      }
      Infiletotal += Infilelength[i];
    }
    CurrentFile = 0;
  }
  process.start_byte = 0;
  process.end_byte = Infiletotal - 1;
  process.start_time = 0;
  process.end_time = ~0ULL;
  SystemStream_Flag = 0;
}

void PosToFileAndOffset(u64 position, int* file, u64* offset) {
  if (NumLoadedFiles <= 0 || position <= Infilelength[0]) {
    *file = 0;
    *offset = position;
    return;
  }
  u64 before = Infilelength[0];
  for (int i = 1; i < NumLoadedFiles; i++) {
    u64 through = before + Infilelength[i];
    if (through >= position) {
      *file = i;
      *offset = position - before;
      return;
    }
    before = through;
  }
  // Past the end of the input: the end of the last file.
  *file = NumLoadedFiles - 1;
  *offset = Infilelength[NumLoadedFiles - 1];
}

void InitializeBuffer(int descriptor, u64 offset) {
  InputSeek(descriptor, offset);
  Read = InputRead(descriptor, Buffer, READ_BLOCK);
  Rdptr = Buffer;
  payload_bytes = 0;
  Buffer_Physical = InputTell(Infile[CurrentFile]) - Read;
}

void SeekStream(u64 position) {
  int file;
  u64 offset;
  PosToFileAndOffset(position, &file, &offset);
  CurrentFile = file;
  InitializeBuffer(Infile[file], offset);
  Rdmax = Buffer;
  first_payload = Buffer;
  ts_video_counter.Forget();
}


int NextFile() {
  // Empty files in the middle of the list carry no bytes; they are passed
  // over rather than taken for the end of the input.
  // Files are joined where they were cut, or are clips of their own: the
  // continuity of the video packets is not followed across.
  ts_video_counter.Forget();
  while (CurrentFile + 1 < NumLoadedFiles) {
    CurrentFile++;
    InputSeek(Infile[CurrentFile], 0);
    Read = InputRead(Infile[CurrentFile], Buffer, READ_BLOCK);
    if (Read != 0) return 0;
  }
  return -1;
}

int RefillBuffer() {
  if (SystemStream_Flag == 2) return NextMKVBuffer();
  if (SystemStream_Flag == 4) return NextMP4Buffer();
  // The bytes consumed from the old buffer; pointers into it move back by as
  // much so that they keep naming the same stream bytes, also after a short
  // read at the end of a file.
  const u32 consumed = Read;
  if (SystemStream_Flag == 1) TsKeepLastVideoPacket();
  if (Read < READ_BLOCK) {
    if (NextFile() < 0) return -1;
  } else {
    Read = InputRead(Infile[CurrentFile], Buffer, READ_BLOCK);
    if (Read == 0 && NextFile() < 0) return -1;
  }
  Rdptr = Buffer;
  first_payload -= consumed;
  Buffer_Physical = InputTell(Infile[CurrentFile]) - Read;
  if (SystemStream_Flag == 3 && Rdmax >= Buffer + consumed) Rdmax -= consumed;
  return 0;
}

// ------------------------------------------------------------------ detection

static unsigned char open_buf[204800];

static bool ends_with_nocase(const char* s, const char* tail) {
  size_t n = strlen(s), m = strlen(tail);
  return n >= m && strncasecmp(s + n - m, tail, m) == 0;
}

// `count` sync bytes n apart from some k inside the data (five are the
// transport-stream test of the detection).
static bool ts_chain(const unsigned char* b, u32 got, u32 n, u32 count = 5) {
  for (u32 k = 0; k + (count - 1) * n < got; k++) {
    bool ok = true;
    for (u32 j = 0; j < count && ok; j++) ok = b[k + j * n] == 0x47;
    if (ok) return true;
  }
  return false;
}

// Transport stream: five sync bytes at a fixed spacing in the first block
// that holds data.
static bool detect_ts() {
  u32 got = 0;
  // Inputs are regular files (Recovery refuses others), so the skip of
  // zero-filled blocks ends at the end of the stream.
  for (u64 at = 0;; at += got) {
    got = ReadStreamAt(at, open_buf, 4096);
    if (got == 0) break;
    bool data = false;
    for (u32 i = 0; i < got && !data; i++) data = open_buf[i] != 0;
    if (data) break;
  }
  if (got == 0) return false;
  u32 sizes[3] = {188, 192, 204};
  if (got > 4 && open_buf[4] == 0x47) {
    sizes[0] = 192;
    sizes[1] = 188;
  }
  for (u32 n : sizes) {
    if (!ts_chain(open_buf, got, n)) continue;
    SystemStream_Flag = 1;
    TransportPacketSize = static_cast<int>(n);
    pat_parser.DoInitialPids(kInputStreamName);
    CurrentFile = 0;
    InitializeBuffer(Infile[0], 0);
    return true;
  }
  return false;
}

static int pack_type_of_version(unsigned char b) {
  if ((b & 0xF0) == 0x20) return 5;
  if ((b & 0xC0) == 0x40) return 6;
  return 0;
}

// The pack header at h (00 00 01 BA and at least 9 more bytes): 5 for an
// MPEG-1 pack, 6 for an MPEG-2 pack, 0 for neither version, each with its
// marker bits set; -1 when the markers do not check out.
static int pack_kind(const unsigned char* h) {
  const unsigned char b = h[4];
  if ((b & 0xF0) == 0x20)
    return (b & 1) && (h[6] & 1) && (h[8] & 1) && (h[9] & 0x80) && (h[11] & 1) ? 5 : -1;
  if ((b & 0xC0) != 0x40) return 0;
  return (b & 4) && (h[6] & 4) && (h[8] & 4) && (h[9] & 1) && (h[12] & 3) ? 6 : -1;
}

static bool is_pack_start(const unsigned char* h) { return h[0] == 0 && h[1] == 0 && h[2] == 1 && h[3] == 0xBA; }

// Program stream: a pack start with its marker bits in the first 8 KiB
// after any leading zeros.
static void detect_ps() {
  u32 got = ReadStreamAt(0, open_buf, sizeof open_buf);
  u32 p = 0;
  if (got >= 4 && open_buf[0] == 0 && open_buf[1] == 0 && open_buf[2] == 0 && open_buf[3] == 0) {
    u32 nz = 0;
    while (nz < got && open_buf[nz] == 0) nz++;
    p = nz >= 3 ? nz - 3 : 0;
  }
  u32 end = p + 8192 < got ? p + 8192 : got;
  bool candidate = false;
  int candidate_type = 0;
  for (u32 i = p; i + 13 <= end; i++) {
    if (!is_pack_start(open_buf + i)) continue;
    const int found = pack_kind(open_buf + i);
    if (found >= 0) {
      SystemStream_Flag = 3;
      program_stream_type = found;
      CurrentFile = 0;
      InitializeBuffer(Infile[0], 0);
      return;
    }
    if (!candidate) {
      candidate = true;
      // The pack's version bits still tell its header layout; the readers
      // of both programs take the packet form from this value.
      candidate_type = pack_type_of_version(open_buf[i + 4]);
    }
  }
  if (candidate) {
    SystemStream_Flag = 3;
    program_stream_type = candidate_type;
  }
}

// ------------------------------------------------------------------ later input files
//
// The files after the first are read back to back with it as one recording,
// which may have been cut anywhere, even inside a packet. They cannot be of
// another container kind or packet size: the first file's reader would take
// their bytes for garbage or for video. Each is judged by its first bytes,
// and refused only on clear evidence (a short piece shows too little).

constexpr u32 kLaterProbe = 72 * 1024;                // bytes of a later file looked at
// A program stream holds a system start code (pack, system header or PES
// packet, codes B9 to FF) at least once per PES packet, whose length field
// allows 65535 bytes after its 6-byte head; a video elementary stream never
// holds one.
constexpr u32 kPesSpan = 6 + 65535 + 4;
static_assert(kPesSpan < kLaterProbe && kLaterProbe <= sizeof open_buf, "a later file's probe holds a PES span");

// The transport packet size that the bytes show, 0 when none. Ten sync bytes
// in a row, not five: a chain is looked for in far more data than the
// detection reads, and other data must not pass for one by chance.
static u32 ts_size_shown(const unsigned char* b, u32 got) {
  for (u32 n : {188u, 192u, 204u})
    if (ts_chain(b, got, n, 10)) return n;
  return 0;
}

// What a later file's first bytes show, as a container kind (-1: nothing
// decisive) and for program streams the pack type (5, 6, or 0 unknown).
static int kind_shown(const unsigned char* b, u32 got, int* pack_type) {
  *pack_type = 0;
  if (got >= 64) {
    char text[64];
    for (int i = 0; i < 63; i++) text[i] = b[i] ? static_cast<char>(b[i]) : 1;
    text[63] = 0;
    if (strstr(text, "ftyp")) return 4;
    if (strstr(text, "matroska")) return 2;
  }
  if (ts_size_shown(b, got)) return 1;
  bool system_code = false;
  for (u32 i = 0; i + 13 <= got; i++) {
    if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
    if (b[i + 3] < 0xB9) continue;
    system_code = true;
    if (b[i + 3] == 0xBA && pack_kind(b + i) > 0) {
      *pack_type = pack_kind(b + i);
      return 3;
    }
  }
  if (system_code) return 3;
  return got >= kPesSpan ? 0 : -1;
}

static const char* const kKindNames[] = {"an elementary stream", "a transport stream", "a Matroska file",
                                         "a program stream", "an MP4 file"};

// A Matroska or MP4 file is read through its own tables, which a piece of
// a cut file lacks or holds only in part: such a file is one run's only input.
static int refuse_more_timed_files(const char* name, int kind) {
  printf("ERROR: %s is %s; one Matroska or MP4 file is read per run, alone (the pieces of a cut Matroska or MP4 "
         "file cannot be joined).\n",
         name, kKindNames[kind]);
  return 1;
}

// 0 when every later file may continue the first one; otherwise prints why
// the named file cannot and returns 1.
static int check_later_inputs() {
  for (int i = 1; i < NumLoadedFiles; i++) {
    int fd = InputOpen(Infilename[i]);
    if (fd == -1) continue;  // the command line opened it; reading will tell
    const u32 got = InputRead(fd, open_buf, kLaterProbe);
    InputClose(fd);
    int pack_type = 0;
    const int kind = kind_shown(open_buf, got, &pack_type);
    const char* name = Infilename[i];
    if (SystemStream_Flag == 1) {
      const u32 n = static_cast<u32>(TransportPacketSize);
      if (ts_chain(open_buf, got, n) || got < 6 * n) continue;
      if (kind == 2 || kind == 4) return refuse_more_timed_files(name, kind);
      const u32 other = ts_size_shown(open_buf, got);
      if (other)
        printf("ERROR: %s has %u-byte transport packets; the first input file has %u-byte packets.\n", name,
               other, n);
      else
        printf("ERROR: %s is not a transport stream like the first input file.\n", name);
      return 1;
    }
    if (kind == 2 || kind == 4) return refuse_more_timed_files(name, kind);
    bool refuse = false;
    if (SystemStream_Flag == 3) {
      refuse = kind == 0 || kind == 1 || kind == 2 || kind == 4 ||
               (kind == 3 && pack_type != 0 && program_stream_type != 0 && pack_type != program_stream_type);
      if (kind == 3 && refuse) {
        printf("ERROR: %s is %s; the first input file is %s.\n", name,
               pack_type == 5 ? "an MPEG-1 system stream" : "an MPEG-2 program stream",
               program_stream_type == 5 ? "an MPEG-1 system stream" : "an MPEG-2 program stream");
        return 1;
      }
    } else {
      // An elementary stream continues with no container, and no pack
      // header with its markers set.
      refuse = kind == 1 || kind == 2 || kind == 4 || (kind == 3 && pack_type != 0);
    }
    if (refuse) {
      printf("ERROR: %s is %s; the first input file is %s.\n", name, kKindNames[kind],
             kKindNames[SystemStream_Flag]);
      return 1;
    }
  }
  return 0;
}

// The result of the Matroska or MP4 adapter's set-up (0 ready, 1 not
// parsed, 2 no supported video track, 3 reported by the adapter).
static int adapter_opened(int result, const char* kind, const char* codecs) {
  if (result == 1) printf("Could not parse the %s file.\n", kind);
  if (result == 2) printf("Could not find a supported video track (need %s).\n", codecs);
  return result != 0 ? 1 : 0;
}

// A QuickTime movie need not begin with a file type box: older files and
// those of some cameras begin with the movie box, the media data or a
// free-space box. The first file is one when its top-level boxes, from the
// first, which is of one of those types, each have a type of four printable
// characters and a size that fits in the file (at least 8; 1 with a 64-bit
// size of at least 16; 0 for a box to the end), and lead to a movie box.
static bool quicktime_without_file_type(const unsigned char* head) {
  static const char kFirst[][5] = {"moov", "mdat", "wide", "free", "skip"};
  bool first = false;
  for (const char* t : kFirst) first = first || memcmp(head + 4, t, 4) == 0;
  const u64 length = Infilelength[0];
  if (!first || length < 8) return false;
  const int fd = InputOpen(Infilename[0]);
  if (fd == -1) return false;
  bool found = false;
  u64 pos = 0;
  for (int boxes = 0; boxes < 64 && !found && length - pos >= 8; boxes++) {
    unsigned char b[16];
    const long got = InputReadAt(fd, pos, b, sizeof b);
    if (got < 8) break;
    u64 size = u64(b[0]) << 24 | u64(b[1]) << 16 | u64(b[2]) << 8 | b[3];
    bool printable = true;
    for (int i = 4; i < 8; i++) printable = printable && b[i] >= 0x20 && b[i] < 0x7F;
    if (!printable) break;
    if (size == 1) {
      if (got < 16) break;
      size = 0;
      for (int i = 8; i < 16; i++) size = size << 8 | b[i];
      if (size < 16) break;
    } else if (size == 0) {
      size = length - pos;
    } else if (size < 8) {
      break;
    }
    if (size > length - pos) break;
    found = memcmp(b + 4, "moov", 4) == 0;
    pos += size;
  }
  InputClose(fd);
  return found;
}

int Open() {
  Frame_Rate = 0;
  sample_aspect_ratio = 0;
  coded_matrix_coefficients = coded_transfer_characteristics = coded_colour_primaries = 2;
  IsFirstByteStreamNALU = 1;
  program_stream_type = 0;

  if (ends_with_nocase(Infilename[0], "mpls")) {
    if (strlen(Infilename[0]) >= sizeof MPLS_Name) {
      printf("ERROR: file name too long (at most %zu bytes): %s\n", sizeof MPLS_Name - 1, Infilename[0]);
      return 1;
    }
    open_via_mpls = 1;
    desired_angle = -1;
    strcpy(MPLS_Name, Infilename[0]);
    return ProcessMPLS(MPLS_Name, 0);
  }

  int fd = InputOpen(Infilename[0]);
  if (fd == -1) {
    printf("Could not open: %s. File name problem? Illegal characters in name?\n", Infilename[0]);
    return 1;
  }
  InputClose(fd);
  unsigned char head[64];
  u32 got = ReadStreamAt(0, head, 64);
  if (got < 64) {
    printf("Not a video file (length < 64 bytes).\n");
    return 1;
  }
  char text[64];
  for (int i = 0; i < 63; i++) text[i] = head[i] ? static_cast<char>(head[i]) : 1;
  text[63] = 0;

  const bool mp4 = strstr(text, "ftyp") != nullptr || quicktime_without_file_type(head);
  // Matroska by its DocType text, or by the EBML magic (a WebM file is then
  // refused by the Matroska reader with a reason rather than taken for an
  // elementary stream).
  const bool ebml = head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3;
  const bool matroska = !mp4 && (strstr(text, "matroska") || ebml);
  if ((mp4 || matroska) && NumLoadedFiles > 1) return refuse_more_timed_files(Infilename[0], mp4 ? 4 : 2);
  if (mp4) {
    SystemStream_Flag = 4;
    return adapter_opened(InitMP4(), "MP4", "AVC/MPEG2/VC1/HEVC");
  }
  if (matroska) {
    SystemStream_Flag = 2;
    return adapter_opened(InitMatroska(), "Matroska", "AVC/HEVC/MPEG2/VC1");
  }
  if (!detect_ts()) detect_ps();
  return check_later_inputs();
}
