// Matroska input of the indexer. The library locates the chosen track's
// frames; this adapter reads each payload through its own descriptor and
// writes it into Buffer in start-code form, followed by 00 00 01, which ends
// the frame's last unit and serves as the start code of the next frame's
// first.
//
// The library reads through views of the file (decode.h) on the same
// descriptor: block headers in small reads, payloads never, and read-ahead
// hints (null buffers) cost nothing. The views read the file in blocks
// where frames lie close together and in pieces where they lie far apart,
// not mapped: the faults of a mapping cost more than reading the whole file
// where the page cache holds it in small pages. A frame is copied once, from
// the view straight to its place in Buffer, and turned into start-code form
// there where that needs no more room than it has (4-byte length prefixes,
// stored start codes). AVC and HEVC frames are read unit by unit, each
// slice only as far as the head the analysis reads (nalu.h): their units are
// known from the length prefixes, and a slice's other bytes are left where
// they are. Of MPEG-2 and VC-1 frames, only the first bytes are read where
// those hold all the analysis takes from the frame and the frame's last
// bytes show that nothing behind its slices counts (nalu.h).
#include "Matroska.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "MatroskaVideo.h"
#include "avc.h"
#include "decode.h"
#include "hevc.h"
#include "index.h"
#include "mpg.h"
#include "nalu.h"

MatroskaFile* mf = nullptr;
u32 track = 0;

namespace {

struct MkvInput {
  StreamCallbacks base;
  int fd;
  int error;  // errno of the last failed read
};

// Up to count bytes at pos, fewer only at the end of the file; -1 with
// in->error set on a failure.
long read_at(MkvInput* in, u64 pos, uint8_t* dst, size_t count) {
  const long r = InputReadAt(in->fd, pos, dst, count);
  if (r < 0) in->error = errno;
  return r;
}

// The same through a view of the file, for counts up to kInputViewBlock.
long copy_from_view(MkvInput* in, u64 pos, uint8_t* dst, size_t count) {
  size_t got = 0;
  const uint8_t* q = InputView(in->fd, pos, count, &got);
  if (!q) {
    in->error = errno;
    return -1;
  }
  memcpy(dst, q, got);
  return long(got);
}

// The adapter's reads of frames: from the view where it holds them, else
// straight to their place; what the view holds of a frame's first bytes is
// taken from there.
long read_frame_bytes(MkvInput* in, u64 pos, uint8_t* dst, size_t count) {
  size_t part = 0;
  const uint8_t* q = InputViewHeld(in->fd, pos, count, &part);
  if (q) memcpy(dst, q, part);
  const long r = part < count ? read_at(in, pos + part, dst + part, count - part) : 0;
  return r < 0 ? r : long(part) + r;
}

// The library's reads (block headers, and the last byte of each block,
// which must be in the file) come from the view.
int input_read(StreamCallbacks* cc, uint64_t pos, void* buffer, int count) {
  MkvInput* in = reinterpret_cast<MkvInput*>(cc);
  if (!buffer || count <= 0) return -1;  // a read-ahead hint: the page cache reads ahead itself
  uint8_t* dst = static_cast<uint8_t*>(buffer);
  long r;
  if (size_t(count) > kInputViewBlock) {
    r = read_at(in, pos, dst, size_t(count));
  } else if (const uint8_t* q = InputViewHeld(in->fd, pos, size_t(count))) {
    memcpy(dst, q, size_t(count));
    r = count;
  } else {
    r = copy_from_view(in, pos, dst, size_t(count));
  }
  if (r >= 0 && InputViewFailed()) {
    in->error = EIO;
    return -1;
  }
  return r < 0 ? -1 : int(r);
}

// Position of the next 4-byte big-endian signature at or after start, or -1.
int64_t input_scan(StreamCallbacks* cc, uint64_t start, unsigned signature) {
  MkvInput* in = reinterpret_cast<MkvInput*>(cc);
  const uint8_t sig[4] = {uint8_t(signature >> 24), uint8_t(signature >> 16), uint8_t(signature >> 8),
                          uint8_t(signature)};
  static uint8_t block[3 + 262144];
  size_t kept = 0;      // bytes carried over from the previous block, at block[0]
  u64 base = start;     // file position of block[0]
  // The signature is mostly near (a cluster follows the one just passed):
  // reads begin small and grow.
  size_t want = 4096;
  for (;;) {
    const long n = read_at(in, base + kept, block + kept, want);
    if (want < sizeof block - 3) want *= 2;
    if (n <= 0) return -1;
    const size_t have = kept + size_t(n);
    const uint8_t* p = block;
    const uint8_t* const last = block + have;  // a match begins before last - 3
    while (last - p >= 4) {
      p = static_cast<const uint8_t*>(memchr(p, sig[0], size_t(last - p) - 3));
      if (!p) break;
      if (p[1] == sig[1] && p[2] == sig[2] && p[3] == sig[3]) return int64_t(base + u64(p - block));
      ++p;
    }
    // The last three bytes may begin a signature that the next block completes.
    kept = have < 3 ? have : 3;
    memmove(block, block + have - kept, kept);
    base += have - kept;
  }
}

unsigned input_cache_size(StreamCallbacks*) { return 65536; }

const char* input_error(StreamCallbacks* cc) { return strerror(reinterpret_cast<MkvInput*>(cc)->error); }

MkvInput input;
MkvVideoTrack video;
std::vector<uint8_t> raw;  // one frame as stored, behind its stripped header

const uint8_t kNextStartCode[] = {0, 0, 1};
constexpr size_t PARAMETER_STORE = 999999;  // in-band parameter sets gathered before a range start

}  // namespace

int InitMatroska() {
  InputViewByReading(true);
  if (input.base.read) close(input.fd);
  input = MkvInput();
  input.fd = open(Infilename[0], O_RDONLY);
  if (input.fd < 0) {
    printf("Couldn't open the Matroska source file.\n");
    return 1;
  }
  input.base.read = input_read;
  input.base.scan = input_scan;
  input.base.getcachesize = input_cache_size;
  input.base.geterror = input_error;
  input.base.memalloc = StdIoMalloc;
  input.base.memrealloc = StdIoRealloc;
  input.base.memfree = StdIoFree;
  input.base.progress = StdIoProgress;
  char err[256];
  mf = mkv_OpenEx(&input.base, 0, 0, err, sizeof err);
  if (!mf) {
    // The reader's reason, before Open's own line.
    const size_t n = strlen(err);
    if (n && err[n - 1] == '\n') err[n - 1] = 0;
    printf("The Matroska file cannot be opened: %s\n", err);
    return 1;
  }

  // The first video track of a codec that is read; the video tracks before
  // it are named when there is none (as MP4 sample entries are).
  const unsigned n = mkv_GetNumTracks(mf);
  unsigned chosen = n;
  std::vector<std::string> passed_over;
  for (unsigned i = 0; i < n && chosen == n; ++i) {
    const TrackInfo* t = mkv_GetTrackInfo(mf, i);
    if (MkvVideoCodecOf(t) != MKV_VIDEO_NONE) {
      chosen = i;
      break;
    }
    if (!t || t->Type != MKV_TRACK_VIDEO) continue;
    const char* id = t->CodecID ? t->CodecID : "";
    char line[200];
    const auto* cp = static_cast<const unsigned char*>(t->CodecPrivate);
    if (!strcmp(id, "V_MS/VFW/FOURCC") && cp && t->CodecPrivateSize >= 20) {
      // BITMAPINFOHEADER biCompression, bytes 16 to 19; unprintable bytes as dots.
      char fourcc[5] = {};
      for (int k = 0; k < 4; ++k) fourcc[k] = cp[16 + k] >= 0x20 && cp[16 + k] < 0x7F ? char(cp[16 + k]) : '.';
      snprintf(line, sizeof line,
               "The Matroska video track %u has the codec ID 'V_MS/VFW/FOURCC' with the four-character code '%s', "
               "which is not supported.",
               t->Number, fourcc);
    } else {
      snprintf(line, sizeof line, "The Matroska video track %u has the codec ID '%.100s', which is not supported.",
               t->Number, id);
    }
    passed_over.push_back(line);
  }
  if (chosen == n) {
    for (const std::string& l : passed_over) printf("%s\n", l.c_str());
    return 2;
  }
  const TrackInfo* t = mkv_GetTrackInfo(mf, chosen);
  if (const char* why = MkvSetUpVideoTrack(t, &video)) {
    printf("The Matroska video track %u (%s) cannot be read: %s.\n", t->Number, t->CodecID, why);
    return 3;
  }
  VideoStream_Flag = video.codec;
  track = chosen;
  // The chosen track's own frame duration, when it has one, is its rate.
  mkv_Frame_Rate = t->DefaultDuration ? 1e9 / static_cast<double>(t->DefaultDuration) : 0;
  mkv_SetTrackMask(mf, ~(u64(1) << track));
  return 0;
}

void mkv_Seek(MatroskaFile* file, u64 t, unsigned flags) { mkv_SeekTrack(file, track, t, flags); }

void mkv_Seek2(MatroskaFile* file, u64 t, unsigned flags) { mkv_Seek2Track(file, track, t, flags); }

int MKVGetFrameByTime(MatroskaFile* file, u64 t, u32* track_index, u64* start, u64* end, u64* file_pos,
                      u32* size, u32* flags) {
  mkv_Seek2(file, t, 0);
  for (;;) {
    if (mkv_ReadFrame(file, 0, track_index, start, end, file_pos, size, flags) != 0) return -1;
    if (*start >= t) return 0;
  }
}

// A frame that cannot fit into Buffer ends the run.
static void check_frame_size(u32 size, u64 start) {
  if (size > BUFFER_SIZE) {
    abandon_index("The Matroska frame at %llu ns has %u bytes, more than the read buffer holds.",
                  static_cast<unsigned long long>(start), size);
  }
}

// Reads a frame's payload into raw, behind the header-stripping bytes; false
// on a short read.
static bool load_raw(u64 pos, u32 size, u64 start) {
  check_frame_size(size, start);
  raw.clear();
  if (video.strip.size() > BUFFER_SIZE - size) return false;
  raw.resize(video.strip.size() + size);
  std::copy(video.strip.begin(), video.strip.end(), raw.begin());
  if (size && read_frame_bytes(&input, pos, raw.data() + video.strip.size(), size) != long(size)) {
    raw.clear();
    return false;
  }
  return true;
}

// Writes the loaded frame at Buffer + at; returns the new end.
static u32 put_frame(u32 at, bool key, u64 start) {
  const long n = MkvFrameToStartCodes(video, raw.data(), raw.size(), key, Buffer + at,
                                      BUFFER_SIZE - sizeof kNextStartCode - at);
  if (n < 0) {
    abandon_index("The Matroska frame at %llu ns does not fit into the read buffer.", static_cast<unsigned long long>(start));
  }
  return at + static_cast<u32>(n);
}

// While indexing, a frame whose bytes show damage (nalu.h: AVC and HEVC
// bytes that emulation prevention keeps out, a unit length past the frame,
// MPEG-2 zeros that no start code follows) is listed as damage at its time.
// Its bytes are looked at in its first kScanHead and its last kScanTail
// bytes as stored (a frame of both or fewer whole), and only as far as
// reading the frame brings them in anyway: all of a frame read whole, and of
// one read in part what the views hold (its head, the bytes before its last
// one that the library looked at, and where frames lie close together, the
// blocks that hold them). So the look costs at most that of 3 KB a
// frame, and nothing is read for it; damage inside a large frame's body
// goes unseen. The unit lengths of AVC and HEVC frames are all read.
constexpr u64 kScanHead = 2048;
constexpr u64 kScanTail = 1024;
static bool scan_frames = false;  // set for each frame loaded while indexing
static bool frame_damaged = false;

// Whether look(b, e) holds for a part of stored frame bytes [b, e) that lies
// in the stretches looked at of a frame of n bytes.
template <class Look>
static bool in_scanned(u64 n, u64 b, u64 e, Look look) {
  if (n <= kScanHead + kScanTail) return b < e && look(b, e);
  if (b < kScanHead && look(b, std::min(e, kScanHead))) return true;
  const u64 from = std::max(b, n - kScanTail);
  return from < e && look(from, e);
}

// Whether test(bytes, count, reaches to) holds for a stretch of what the
// views hold of file bytes [from, to). A stretch that goes on from one
// looked at before begins three bytes back where it holds them, so that a
// run across the seam is seen.
template <class Test>
static bool held_bytes_show(u64 from, u64 to, Test test) {
  HeldStretch held[kInputViewHeldMax];
  const size_t count = InputViewHeldStretches(input.fd, from, size_t(to - from), held);
  u64 done = from;  // the bytes before it are looked at
  for (size_t k = 0; k < count; ++k) {
    const HeldStretch& h = held[k];
    if (h.at + h.len <= done) continue;
    const u64 begin = done - from >= 3 && done - 3 >= h.at ? done - 3 : h.at;
    if (test(h.bytes + (begin - h.at), size_t(h.at + h.len - begin), h.at + h.len == to)) return true;
    done = h.at + h.len;
  }
  return false;
}

// Whether the n bytes of a stored AVC or HEVC frame (its units behind their
// lengths), all read, show damage.
static bool units_show_damage(const uint8_t* q, size_t n) {
  const unsigned ls = video.length_size;
  size_t p = 0;
  while (n - p >= ls) {
    u64 len = 0;
    for (unsigned i = 0; i < ls; ++i) len = (len << 8) | q[p + i];
    p += ls;
    if (len > n - p) return true;
    const u64 end = p + len;
    if (in_scanned(n, p, end, [&](u64 b, u64 e) { return UnitBytesDamaged(q + b, size_t(e - b), e == end); }))
      return true;
    p += size_t(len);
  }
  return false;
}

// Whether the n bytes of a frame as stored (its stripped header in front),
// all read, show damage.
static bool stored_frame_shows_damage(const uint8_t* q, size_t n) {
  if (video.codec == MKV_VIDEO_MPEG2)
    return in_scanned(n, 0, n, [&](u64 b, u64 e) { return Mpeg2FrameBytesDamaged(q + b, size_t(e - b)); });
  if (video.codec == MKV_VIDEO_AVC || video.codec == MKV_VIDEO_HEVC) return units_show_damage(q, n);
  return false;
}

// Whether the rest of the frame of size bytes at pos, behind its first head
// bytes, may be left unread: its last FrameTailBytes() and the bytes around
// the cut hold nothing but slices (nalu.h). False also where the view
// cannot give them; the frame is then read whole, which reports a short
// read.
static bool rest_suffices(u64 pos, u32 size, u32 head) {
  auto suffices = [&](u32 from, u32 to) {  // frame bytes [from - 3, to)
    size_t got = 0;
    const uint8_t* q = InputView(input.fd, pos + from - 3, to - from + 3, &got);
    return q && got == to - from + 3 && FrameTailSuffices(q, u32(got));
  };
  const u32 tail = FrameTailBytes();
  const u32 from = size - head > tail ? size - tail : head;
  return (from == head || suffices(head, std::min(head + 3, size))) && suffices(from, size);
}

// The frame's size bytes at pos to dst, where the frame's stream in Buffer
// begins at begin: only their first FrameHeadBytes() where those hold all
// the analysis takes from the frame and nothing that counts lies in the rest
// (nalu.h), the rest cut. The bytes written, or -1 on a short read.
static long read_frame_or_head(const uint8_t* begin, uint8_t* dst, u64 pos, u32 size) {
  const u32 head = FrameHeadBytes();
  if (head == 0 || size <= head) return read_frame_bytes(&input, pos, dst, size) == long(size) ? long(size) : -1;
  size_t got = 0;
  const uint8_t* q = InputView(input.fd, pos, head, &got);
  if (!q) input.error = errno;
  if (!q || got != head) return -1;
  memcpy(dst, q, head);
  if (FrameHeadSuffices(begin, u32(dst + head - begin)) && rest_suffices(pos, size, head)) {
    unit_cuts.push_back(UnitCut{u32(dst + head - Buffer), size - head, pos + head});
    return long(head);
  }
  const long r = read_frame_bytes(&input, pos + head, dst + head, size - head);
  return r == long(size - head) ? long(size) : -1;
}

// The frame of size bytes at pos, read straight to Buffer + at and written
// there as put_frame writes it: 1 with *end set, -1 on a short read, 0 when
// it takes load_raw and put_frame (length prefixes other than 4 bytes, a
// frame that might not fit, a VC-1 frame whose first bytes cannot be read).
static int read_in_place(u32 at, u64 pos, u32 size, bool key, u32* end) {
  const size_t strip = video.strip.size();
  const size_t cap = BUFFER_SIZE - sizeof kNextStartCode - at;
  if (size > cap || strip > cap - size) return 0;
  const size_t n = strip + size;
  uint8_t* dst = Buffer + at;
  switch (video.codec) {
    case MKV_VIDEO_AVC:
    case MKV_VIDEO_HEVC: {
      if (video.length_size != 4) return 0;
      if (strip) memcpy(dst, video.strip.data(), strip);
      if (read_frame_bytes(&input, pos, dst + strip, size) != long(size)) return -1;
      if (scan_frames) frame_damaged = units_show_damage(dst, n);
      *end = at + u32(MkvLengthPrefixesToStartCodes(dst, n));
      return 1;
    }
    case MKV_VIDEO_VC1: {
      // The frame's first bytes tell what goes in front of it.
      uint8_t head[4];
      const size_t h = n < 4 ? n : 4;
      const size_t from_strip = strip < h ? strip : h;
      if (from_strip) memcpy(head, video.strip.data(), from_strip);
      if (h > from_strip && read_frame_bytes(&input, pos, head + from_strip, h - from_strip) != long(h - from_strip)) return 0;
      const uint8_t* lead = nullptr;
      size_t lead_len = 0;
      static const uint8_t frame_start[] = {0, 0, 1, 0x0D};
      const bool has_start = h >= 3 && head[0] == 0 && head[1] == 0 && head[2] == 1;
      uint8_t* out = dst;
      if (key && !(has_start && h >= 4 && head[3] == 0x0F)) {
        lead = video.config.data();
        lead_len = video.config.size();
      }
      const size_t extra = lead_len + (has_start ? 0 : 4);
      if (extra > cap - n) return 0;
      if (lead_len) memcpy(out, lead, lead_len);
      out += lead_len;
      if (!has_start) {
        memcpy(out, frame_start, 4);
        out += 4;
      }
      if (strip) memcpy(out, video.strip.data(), strip);
      const long r = read_frame_or_head(dst, out + strip, pos, size);
      if (r < 0) return -1;
      *end = at + u32(extra + strip + size_t(r));
      return 1;
    }
    default: {
      if (strip) memcpy(dst, video.strip.data(), strip);
      const long r = read_frame_or_head(dst, dst + strip, pos, size);
      if (r < 0) return -1;
      if (scan_frames && video.codec == MKV_VIDEO_MPEG2) {
        // The frame's bytes read to dst, and of a frame cut behind its head
        // what the views hold of the rest (from three bytes before it on,
        // for a run across the cut).
        frame_damaged = in_scanned(n, 0, strip + u64(r), [&](u64 b, u64 e) {
          return Mpeg2FrameBytesDamaged(dst + b, size_t(e - b));
        });
        if (!frame_damaged && u32(r) < size) {
          frame_damaged = in_scanned(n, strip + u64(r) - 3, n, [&](u64 b, u64 e) {
            return held_bytes_show(pos + b - strip, pos + e - strip, [](const uint8_t* h, size_t m, bool) {
              return Mpeg2FrameBytesDamaged(h, m);
            });
          });
        }
      }
      *end = at + u32(strip + size_t(r));
      return 1;
    }
  }
}

// AVC and HEVC frames: put_frame's units, each slice longer than
// CONTAINER_SLICE_HEAD cut to that head (its cut in unit_cuts), read unit by
// unit in windows of the frame. 1 with *end set, -1 on a short read, 0 when the
// frame takes the other roads (header stripping, or a whole that might not
// fit, which put_frame refuses as it always has). The library has read the
// frame's last byte, so a frame read in part lies in the file as a whole.
static int read_heads(u32 at, u64 pos, u32 size, u32* end) {
  const size_t cap = BUFFER_SIZE - sizeof kNextStartCode - at;
  if (!video.strip.empty() || size > cap) return 0;
  // Frame bytes [off, off + n) in place, n <= its size, n <= size - off.
  auto fetch = [&](u64 off, size_t n) -> const uint8_t* {
    size_t got = 0;
    const uint8_t* q = InputView(input.fd, pos + off, n, &got);
    if (!q) input.error = errno;
    return q && got == n ? q : nullptr;
  };
  const unsigned ls = video.length_size;
  uint8_t* out = Buffer + at;
  size_t w = 0, whole = 0;  // bytes written, and what put_frame would write
  u64 p = 0;
  while (size - p >= ls) {
    const uint8_t* q = fetch(p, ls);
    if (!q) return -1;
    u64 len = 0;
    for (unsigned i = 0; i < ls; ++i) len = (len << 8) | q[i];
    p += ls;
    if (len > size - p) {
      frame_damaged = scan_frames;
      break;
    }
    if (len) {
      whole += 4 + len;
      if (whole > cap) return 0;
      q = fetch(p, 1);
      if (!q) return -1;
      const size_t take = len > CONTAINER_SLICE_HEAD && IsSliceUnit(video.codec, q[0]) ? CONTAINER_SLICE_HEAD : size_t(len);
      out[w] = out[w + 1] = out[w + 2] = 0;
      out[w + 3] = 1;
      if (take <= kInputViewMax) {
        q = fetch(p, take);
        if (!q) return -1;
        memcpy(out + w + 4, q, take);
      } else if (read_frame_bytes(&input, pos + p, out + w + 4, take) != long(take)) {
        return -1;
      }
      if (scan_frames && !frame_damaged) {
        // A unit read whole is looked at where it was written.
        const uint8_t* unit = out + w + 4;
        const u64 unit_end = p + len;
        frame_damaged = in_scanned(size, p, unit_end, [&](u64 b, u64 e) {
          if (take == len) return UnitBytesDamaged(unit + (b - p), size_t(e - b), e == unit_end);
          return held_bytes_show(pos + b, pos + e, [&](const uint8_t* h, size_t m, bool reaches) {
            return UnitBytesDamaged(h, m, reaches && e == unit_end);
          });
        });
      }
      w += 4 + take;
      if (take < len) unit_cuts.push_back(UnitCut{at + u32(w), u32(len - take), pos + p + take});
    }
    p += len;
  }
  *end = at + u32(w);
  return 1;
}

// The frame read and written at Buffer + at as put_frame writes it (slices
// of AVC and HEVC frames cut): true with *end set, false on a short read.
static bool load_frame_bytes(u32 at, u64 pos, u32 size, bool key, u64 start, u32* end) {
  check_frame_size(size, start);
  unit_cuts.clear();
  frame_damaged = false;
  if (video.codec == MKV_VIDEO_AVC || video.codec == MKV_VIDEO_HEVC) {
    const int r = read_heads(at, pos, size, end);
    if (r != 0) return r > 0;
    unit_cuts.clear();
    frame_damaged = false;
  }
  const int r = read_in_place(at, pos, size, key, end);
  if (r != 0) return r > 0;
  if (!load_raw(pos, size, start)) return false;
  if (scan_frames) frame_damaged = stored_frame_shows_damage(raw.data(), raw.size());
  *end = put_frame(at, key, start);
  return true;
}

// The same, false also where the file's bytes were lost under the view.
// While indexing, a frame whose bytes show damage is listed as damage at
// its time.
static bool load_frame(u32 at, u64 pos, u32 size, bool key, u64 start, u32* end) {
  scan_frames = Operation == 0 && (video.codec == MKV_VIDEO_AVC || video.codec == MKV_VIDEO_HEVC ||
                                   video.codec == MKV_VIDEO_MPEG2);
  const bool read = load_frame_bytes(at, pos, size, key, start, end);
  scan_frames = false;
  if (!read || InputViewFailed()) return false;
  if (frame_damaged) NoteDamage(start);
  return true;
}

static void finish_buffer(u32 end, u64 pos, u64 start) {
  memcpy(Buffer + end, kNextStartCode, sizeof kNextStartCode);
  Read = end + sizeof kNextStartCode;
  Buffer_Physical = pos;
  mkv_current_tc = start;
}

bool MkvReadCut(const UnitCut& cut, unsigned char* dst) { return read_at(&input, cut.tail, dst, cut.bytes) == long(cut.bytes); }

// AVC, HEVC and MPEG-2: damage passed over next to the frame. The frames
// from the first one after it on are not all there; the frame before it
// lost its own last bytes where they are zeros (MkvZerosOfDamagedEnd). True
// when the frame itself is lost to it and must not be read. The plugin's
// Matroska input follows the same rule.
static bool frame_lost_to_damage(u64 pos, u32 size, u32 flags, u64 start) {
  // Every codec: the stretch is listed in the index at the time of the
  // first frame after it, and the times of the frames it took are lost slots.
  if (flags & FRAME_AFTER_SKIP) NoteDamage(start);
  if (video.codec != MKV_VIDEO_AVC && video.codec != MKV_VIDEO_HEVC && video.codec != MKV_VIDEO_MPEG2) return false;
  if (flags & FRAME_AFTER_SKIP) pictures_lost = true;
  if (!(flags & FRAME_BEFORE_SKIP) || size == 0) return false;
  const unsigned n = MkvZerosOfDamagedEnd(video.codec);
  uint8_t last[2] = {1, 1};
  if (size < n || read_at(&input, pos + size - n, last, n) != long(n) || last[0] != 0 || last[n - 1] != 0) return false;
  pictures_lost = true;
  ++pictures_left_out;
  NoteDamage(start);
  return true;
}

// The frame loaded last, while indexing AVC, HEVC or MPEG-2: its time and the
// pictures begun before it. All its units have been analysed when the next
// frame is loaded (its last ends at the 00 00 01 behind it) or the track
// ends. A frame that began no picture was read, so its picture was
// recorded: its header is unreadable (zeroed, overwritten). It keeps its
// place among the frames by its time (avc.h, hevc.h, mpg.h). Until a first
// picture was begun (or where none ever is, as in MPEG-1) no frame is one.
static struct {
  bool held = false;
  u64 time = 0, begun = 0;
} loaded;

static void frame_loaded(u64 start) {
  loaded.held = Operation == 0 && pictures_begun > 0 &&
                (video.codec == MKV_VIDEO_AVC || video.codec == MKV_VIDEO_HEVC || video.codec == MKV_VIDEO_MPEG2);
  loaded.time = start;
  loaded.begun = pictures_begun;
}

static void frame_analysed() {
  if (!loaded.held) return;
  loaded.held = false;
  if (pictures_begun != loaded.begun) return;
  NoteDamage(loaded.time);
  if (video.codec == MKV_VIDEO_AVC) AvcFrameWithoutPicture(loaded.time);
  else if (video.codec == MKV_VIDEO_HEVC) HevcFrameWithoutPicture(loaded.time);
  else MpgFrameWithoutPicture(loaded.time);
}

void InitializeMKVBuffer(u64 t) {
  loaded.held = false;
  u32 at = 0;
  const bool avc_like = video.codec == MKV_VIDEO_AVC || video.codec == MKV_VIDEO_HEVC;
  u32 tr, size, flags;
  u64 start, end, pos;
  Rdptr = Buffer;
  Read = 0;
  unit_cuts.clear();
  if (avc_like) {
    // Parameter sets carried by the frames of the two seconds before t.
    std::vector<uint8_t> in_band;
    u64 w = t > 2000000000ULL ? t - 2000000000ULL : 0;
    while (w < t) {
      if (MKVGetFrameByTime(mf, w, &tr, &start, &end, &pos, &size, &flags) != 0) return;
      if (start >= t || !load_raw(pos, size, start)) break;
      MkvForEachUnit(video, raw.data(), raw.size(), [&](const uint8_t* unit, size_t len) {
        if (!MkvIsParameterSet(video.codec, unit[0]) || in_band.size() + 4 + len > PARAMETER_STORE) return;
        static const uint8_t sc[] = {0, 0, 0, 1};
        in_band.insert(in_band.end(), sc, sc + 4);
        in_band.insert(in_band.end(), unit, unit + len);
      });
      // A frame that does not advance the time must not hold the walk.
      w = end > start ? end : start + 1;
    }
    if (video.config.size() + in_band.size() > BUFFER_SIZE / 2) return;
    for (const std::vector<uint8_t>* sets : {&video.config, &in_band}) {
      if (sets->empty()) continue;
      memcpy(Buffer + at, sets->data(), sets->size());
      at += static_cast<u32>(sets->size());
    }
  }
  u32 n;
  if (MKVGetFrameByTime(mf, t, &tr, &start, &end, &pos, &size, &flags) != 0) return;
  while (frame_lost_to_damage(pos, size, flags, start))
    if (mkv_ReadFrame(mf, 0, &tr, &start, &end, &pos, &size, &flags) != 0) return;
  if (!load_frame(at, pos, size, flags & FRAME_KF, start, &n)) return;
  frame_loaded(start);
  finish_buffer(n, pos, start);
}

int NextMKVBuffer() {
  u32 tr, size, flags;
  u64 start, end, pos;
  frame_analysed();
  for (;;) {
    if (mkv_ReadFrame(mf, 0, &tr, &start, &end, &pos, &size, &flags) != 0) return -1;
    if (frame_lost_to_damage(pos, size, flags, start)) continue;
    u32 n;
    if (!load_frame(0, pos, size, flags & FRAME_KF, start, &n)) return -1;
    frame_loaded(start);
    if (n == 0) {  // no unit in it
      frame_analysed();
      continue;
    }
    finish_buffer(n, pos, start);
    // The previous buffer's closing 00 00 01 stands for this frame's first
    // start code.
    if (n >= 4 && Buffer[0] == 0 && Buffer[1] == 0 && Buffer[2] == 0 && Buffer[3] == 1)
      Rdptr = Buffer + 4;
    else if (n >= 3 && Buffer[0] == 0 && Buffer[1] == 0 && Buffer[2] == 1)
      Rdptr = Buffer + 3;
    else
      Rdptr = Buffer;
    return 0;
  }
}
