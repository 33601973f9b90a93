// MP4 input of the indexer. The library's function interface locates and
// reads the chosen video track's samples; this adapter puts each one into
// Buffer and hands it to the unit reader in start-code form, followed by
// 00 00 01, which ends the sample's last unit and stands for the next
// sample's first start code. Positions are sample times in the track's time
// scale.
//
// The library reads the file through the table below, which notes where a
// sample lies instead of reading it; the adapter takes the sample's bytes
// from views of the file (decode.h). AVC and HEVC samples are not
// taken whole, but unit by unit, each slice only as far as the head the
// analysis reads (nalu.h); of MPEG-2 and VC-1 samples, only the first bytes
// where those hold all the analysis takes from the sample and its last bytes
// show that nothing behind its slices counts.
#include "mp4.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decode.h"
#include "index.h"
#include "mp4/mp4.h"
#include "mp4video.h"
#include "nalu.h"

void* mp4File = nullptr;
u32 trackId = 0;

namespace {

// The library's file: its own reading table, but for the read of a sample's
// bytes into capture, which is only noted (position in sample_pos).
struct Mp4Input {
  void* file;
  const void* capture;
  bool captured;
  u64 sample_pos;
};
Mp4Input input;
int heads_fd = -1;  // the adapter's own reads of samples

Mp4Input* In(void* h) { return static_cast<Mp4Input*>(h); }
uint64_t in_length(void* h) { return FILE_read_virtual_IO.GetFileLength(In(h)->file); }
int in_set_position(void* h, uint64_t p) { return FILE_read_virtual_IO.SetPosition(In(h)->file, p); }
int in_get_position(void* h, uint64_t* p) { return FILE_read_virtual_IO.GetPosition(In(h)->file, p); }
uint64_t in_read(void* h, void* buffer, uint64_t size) {
  Mp4Input* in = In(h);
  if (!in->capture || buffer != in->capture) return FILE_read_virtual_IO.Read(in->file, buffer, size);
  uint64_t p = 0;
  if (in_get_position(h, &p) != 0 || in_set_position(h, p + size) != 0) return 0;
  in->captured = true;
  in->sample_pos = p;
  return size;
}
uint64_t in_write(void* h, void* buffer, uint64_t size) { return FILE_read_virtual_IO.Write(In(h)->file, buffer, size); }
int in_end_of_file(void* h) { return FILE_read_virtual_IO.EndOfFile(In(h)->file); }
int in_close(void* h) {
  const int r = FILE_read_virtual_IO.Close(In(h)->file);
  In(h)->file = nullptr;
  return r;
}
Virtual_IO input_io = {in_length, in_set_position, in_get_position, in_read, in_write, in_end_of_file, in_close};

// Up to count bytes at pos to dst: the bytes read, fewer at the end of the
// file or on a failure.
size_t read_at(u64 pos, uint8_t* dst, size_t count) {
  const long r = InputReadAt(heads_fd, pos, dst, count);
  return r < 0 ? 0 : size_t(r);
}

// File bytes [pos, pos + n) from a view (decode.h), which reads the file in
// blocks where the views lie close together and in pieces where they lie
// far apart; null when the file holds fewer.
const uint8_t* view(u64 pos, size_t n) {
  size_t got = 0;
  const uint8_t* q = InputView(heads_fd, pos, n, &got);
  return q && got == n ? q : nullptr;
}

// Units and samples up to this size are copied from a view; larger ones are
// read straight to their place.
constexpr u32 kSmallSample = 65536;

}  // namespace

bool Mp4ReadCut(const UnitCut& cut, unsigned char* dst) { return read_at(cut.tail, dst, cut.bytes) == cut.bytes; }

static u32 mp4_numSamples = 0;
static u32 mp4_sampleId = 0;
static u32 mp4_unreadSample = 0;  // the sample whose failed read ended the input, 0 when none
static uint8_t hvcC_atom[HVCC_MAX];
static size_t hvcC_size = 0;
static unsigned length_size = 4;

static const uint8_t kTail[] = {0, 0, 1};

static int Fragmented() {
  printf("This is a fragmented MP4 file (its samples are in movie fragments), which cannot be indexed. Remux it "
         "into an unfragmented file and index that: ffmpeg -i in.mp4 -c copy out.mp4\n");
  return 3;
}

int InitMP4() {
  InputViewByReading(true);
  if (heads_fd >= 0) close(heads_fd);
  heads_fd = open(Infilename[0], O_RDONLY | O_CLOEXEC);
  input = Mp4Input();
  InputViewRelease();
  input.file = FILE_OpenForReading(Infilename[0]);
  if (heads_fd < 0 || !input.file) {
    if (input.file) FILE_read_virtual_IO.Close(input.file);
    return 1;
  }
  mp4File = MP4ReadEx(Infilename[0], &input, &input_io, 0);
  if (!mp4File) return 1;
  // A fragmented file keeps its samples in movie fragments, which are not
  // read: any movie fragment shows it, whatever the fragments' numbers and
  // whatever the movie itself lists (the first samples, or none). A movie
  // extends box (mvex) only announces fragments: without any, the movie
  // lists every sample, unless it lists none (its fragments lie elsewhere).
  if (MP4HaveAtom(mp4File, "moof")) return Fragmented();
  const bool extended = MP4HaveAtom(mp4File, "moov.mvex");
  const u32 tracks = MP4GetNumberOfTracks(mp4File, nullptr, 0);
  if (tracks == 0) return 2;
  // The first video track whose sample entry is read; the plugin takes the
  // same one (the first video track of the index's codec). The video tracks
  // before it are named when none is read.
  u32 id = 0;
  int codec = MP4_VIDEO_NONE;
  const char* name = nullptr;
  std::vector<std::string> passed_over;
  for (u32 i = 0; i < tracks && i <= 0xFFFF && !id; ++i) {
    const uint32_t t = MP4FindTrackId(mp4File, static_cast<uint16_t>(i), nullptr, 0);
    const char* type = MP4GetTrackType(mp4File, t);
    if (!type || strcmp(type, "vide") != 0) continue;
    name = MP4GetTrackMediaDataName(mp4File, t);
    const uint8_t object_type = name && !strcmp(name, "mp4v") ? MP4GetTrackEsdsObjectTypeId(mp4File, t) : 0;
    codec = Mp4VideoCodecOf(name, object_type, true);
    if (codec != MP4_VIDEO_NONE) {
      id = t;
      break;
    }
    char line[160];
    if (name && !strcmp(name, "mp4v"))
      snprintf(line, sizeof line, "The MP4 video track %u has the sample entry 'mp4v' with object type 0x%02X, which "
               "is not supported.", t, object_type);
    else
      snprintf(line, sizeof line, "The MP4 video track %u has the sample entry '%.4s', which is not supported.", t,
               name ? name : "");
    passed_over.push_back(line);
  }
  if (!id) {
    for (const std::string& l : passed_over) printf("%s\n", l.c_str());
    return 2;
  }
  // The configuration walk looks for hvc1 and hev1 entries only.
  if (codec == MP4_VIDEO_HEVC && !strcmp(name, "dvh1")) return 1;
  if (codec == MP4_VIDEO_HEVC && fetch_hvcC_atom(Infilename[0], hvcC_atom, &hvcC_size) != 0) return 1;
  if (codec == MP4_VIDEO_AVC) {
    u32 n = 0;
    if (!MP4GetTrackH264LengthSize(mp4File, id, &n)) {
      printf("The MP4 video track %u has no AVC configuration (avcC).\n", id);
      return 3;
    }
    length_size = n;
  } else if (codec == MP4_VIDEO_HEVC) {
    length_size = HvccLengthSize(hvcC_atom, hvcC_size);
  }
  if ((codec == MP4_VIDEO_AVC || codec == MP4_VIDEO_HEVC) && length_size != 1 && length_size != 2 && length_size != 4) {
    printf("The MP4 video track %u has units with %u-byte lengths, which cannot be read.\n", id, length_size);
    return 3;
  }
  trackId = id;
  VideoStream_Flag = codec;
  mp4_numSamples = MP4GetTrackNumberOfSamples(mp4File, trackId);
  if (extended && mp4_numSamples == 0) return Fragmented();
  return 0;
}

// The bytes of Buffer that the unit reader takes, in order: a sample read in
// place keeps a byte of each four-byte length field that is not part of the
// stream (see put_sample), so the stream is handed out as runs, like the
// payloads of transport packets. Runs that touch are merged; a buffer of a
// single stretch is one run.
namespace {
struct Run {
  u32 at, n;
};
}  // namespace
static std::vector<Run> runs;
static size_t next_run = 0;

static void add_run(u32 at, u32 n) {
  if (n == 0) return;
  if (!runs.empty() && runs.back().at + runs.back().n == at)
    runs.back().n += n;
  else
    runs.push_back({at, n});
}

// A sample whose units carry four-byte lengths, read to Buffer + at (n
// bytes, the tail's room behind them), becomes start-code units where it
// lies: the first unit's length field turns into 00 00 00 01 when
// first_start_code is set, else is passed over; every later one keeps its
// first byte out of the stream and turns its last three into 00 00 01. The
// walk stops where Mp4SampleToStartCodes stops, so the runs carry the same
// bytes as its output. Returns the end of the last unit.
static u32 units_in_place(u32 at, u32 n, bool first_start_code) {
  uint8_t* s = Buffer + at;
  u32 p = 0;
  for (bool first = true; n - p >= 5; first = false) {
    const u32 len = u32(s[p]) << 24 | u32(s[p + 1]) << 16 | u32(s[p + 2]) << 8 | s[p + 3];
    if (len > n - p - 4) break;
    if (first && first_start_code) {
      s[p] = 0, s[p + 1] = 0, s[p + 2] = 0, s[p + 3] = 1;
      add_run(at + p, 4 + len);
    } else if (first) {
      add_run(at + p + 4, len);
    } else {
      s[p + 1] = 0, s[p + 2] = 0, s[p + 3] = 1;
      add_run(at + p + 1, 3 + len);
    }
    p += 4 + len;
  }
  return at + p;
}

// The AVC or HEVC sample of size bytes (four-byte lengths) at file position
// pos, written to Buffer + at as units_in_place leaves it but for its slices
// longer than CONTAINER_SLICE_HEAD, which are cut to that head (their cuts in
// unit_cuts), and for its first unit, which gets a start code in front that
// its run leaves out. Read unit by unit through windows of the file; false
// on a short read.
static bool heads_in_place(u32 at, u64 pos, u32 size, bool first_start_code, u32* end) {
  // Sample bytes [off, off + n), n <= its size and n <= size - off.
  auto fetch = [&](u64 off, size_t n) { return view(pos + off, n); };
  uint8_t* out = Buffer + at;
  u32 w = 0;
  u64 p = 0;
  for (bool first = true; size - p >= 5; first = false) {
    const uint8_t* q = fetch(p, 4);
    if (!q) return false;
    const u32 len = u32(q[0]) << 24 | u32(q[1]) << 16 | u32(q[2]) << 8 | q[3];
    p += 4;
    if (len > size - p) break;
    u32 take = len;
    if (len > CONTAINER_SLICE_HEAD) {
      if (!(q = fetch(p, 1))) return false;
      if (IsSliceUnit(VideoStream_Flag, q[0])) take = CONTAINER_SLICE_HEAD;
    }
    if (first && first_start_code) {
      out[w] = 0, out[w + 1] = 0, out[w + 2] = 0, out[w + 3] = 1;
      add_run(at + w, 4 + take);
      w += 4;
    } else {
      out[w] = 0, out[w + 1] = 0, out[w + 2] = 1;
      add_run(first ? at + w + 3 : at + w, first ? take : 3 + take);
      w += 3;
    }
    if (take <= kSmallSample) {
      if (take && !(q = fetch(p, take))) return false;
      if (take) memcpy(out + w, q, take);
    } else if (read_at(pos + p, out + w, take) != take) {
      return false;
    }
    w += take;
    if (take < len) unit_cuts.push_back(UnitCut{at + w, len - take, pos + p + take});
    p += len;
  }
  *end = at + w;
  return true;
}

// An MPEG-2 or VC-1 sample of size bytes at file position pos whose first
// FrameHeadBytes() hold all the analysis takes from it, and whose last bytes
// and those around the cut hold nothing but slices (nalu.h): those first
// bytes written to Buffer + at, the rest cut. False, with nothing added, for
// the others, which are read whole.
static bool head_in_place(u32 at, u64 pos, u32 size, u32* end) {
  const u32 head = FrameHeadBytes();
  if (head == 0 || size <= head) return false;
  // Sample bytes [from - 3, to). Where the view reads pieces, the piece of
  // the last bytes holds the next sample's head where that follows.
  auto fetch = [&](u32 from, u32 to) { return view(pos + from - 3, to - from + 3); };
  const uint8_t* q = view(pos, head);
  if (!q) return false;
  memcpy(Buffer + at, q, head);
  if (!FrameHeadSuffices(Buffer + at, head)) return false;
  const u32 tail = FrameTailBytes();
  const u32 from = size - head > tail ? size - tail : head;
  if (from != head) {
    const u32 to = head + 3 < size ? head + 3 : size;
    if (!(q = fetch(head, to)) || !FrameTailSuffices(q, to - head + 3)) return false;
  }
  if (!(q = fetch(from, size)) || !FrameTailSuffices(q, size - from + 3)) return false;
  add_run(at, head);
  unit_cuts.push_back(UnitCut{at + head, size - head, pos + head});
  *end = at + head;
  return true;
}

constexpr u32 kLine = 64;

// An MPEG-2 or VC-1 sample of size bytes at file position pos, read whole to
// Buffer + at: false on a short read. Small samples are copied from the
// view; large ones are read where their address lies in a cache line as
// their file position does, which the kernel copies to fastest.
static bool whole_in_place(u32 at, u64 pos, u32 size, u32* end) {
  uint8_t* bytes = Buffer + at;
  u32 shift = 0;
  if (size <= kSmallSample) {
    const uint8_t* q = view(pos, size);
    if (!q) return false;
    memcpy(bytes, q, size);
  } else {
    const u32 cap = BUFFER_SIZE - sizeof kTail - at;
    shift = u32((pos - reinterpret_cast<uintptr_t>(bytes)) % kLine);
    if (shift > cap - size) shift = 0;
    if (read_at(pos, bytes + shift, size) != size) return false;
  }
  add_run(at + shift, size);
  *end = at + shift + size;
  return true;
}

// Reads sample mp4_sampleId to Buffer + at and adds its runs; false when it
// cannot be read. A sample that cannot fit ends the run. Samples are read
// straight into Buffer, converted where they lie (AVC and HEVC samples of
// this file by heads_in_place); only units with lengths of one or two
// bytes, whose start codes are longer than their length fields, and samples
// larger than the room left take the copying road.
static bool put_sample(u32 at, bool first_start_code, u32* end, u64* time) {
  const u32 cap = BUFFER_SIZE - sizeof kTail - at;
  const bool starts = VideoStream_Flag == MP4_VIDEO_AVC || VideoStream_Flag == MP4_VIDEO_HEVC;
  const u32 size = MP4GetSampleSize(mp4File, trackId, mp4_sampleId);
  uint64_t start = 0, duration = 0;
  unit_cuts.clear();
  if (size <= cap && (!starts || length_size == 4)) {
    uint8_t* bytes = Buffer + at;
    uint32_t n = cap;
    // The library only notes where the sample lies; the adapter reads it
    // (below). A sample in another file (a data reference) is read whole by
    // the library.
    input.capture = bytes;
    input.captured = false;
    const bool read = MP4ReadSample(mp4File, trackId, mp4_sampleId, &bytes, &n, &start, &duration, nullptr, nullptr);
    input.capture = nullptr;
    if (!read) return false;
    if (input.captured && starts) {
      if (!heads_in_place(at, input.sample_pos, n, first_start_code, end) || InputViewFailed()) return false;
    } else if (input.captured) {
      if (!head_in_place(at, input.sample_pos, n, end) && !whole_in_place(at, input.sample_pos, n, end)) return false;
      if (InputViewFailed()) return false;
    } else if (starts) {
      *end = units_in_place(at, n, first_start_code);
    } else {
      add_run(at, n);
      *end = at + n;
    }
    *time = start;
    return true;
  }
  uint8_t* bytes = nullptr;
  uint32_t n = 0;
  if (!MP4ReadSample(mp4File, trackId, mp4_sampleId, &bytes, &n, &start, &duration, nullptr, nullptr)) return false;
  const long w = Mp4SampleToStartCodes(VideoStream_Flag, length_size, bytes, n, first_start_code, Buffer + at,
                                       BUFFER_SIZE - sizeof kTail - at);
  free(bytes);
  if (w < 0)
    abandon_index("The MP4 sample %u has %u bytes, more than the read buffer holds.", mp4_sampleId, n);
  add_run(at, static_cast<u32>(w));
  *end = at + static_cast<u32>(w);
  *time = start;
  return true;
}

// The tail ends the sample's last unit. In the next buffer it stands for the
// sample's first start code: AVC and HEVC samples get none written, MPEG-2
// and VC-1 samples bring their own, which is passed over.
static void finish_buffer(u32 end, u64 time, bool continued) {
  memcpy(Buffer + end, kTail, sizeof kTail);
  add_run(end, sizeof kTail);
  Read = end + sizeof kTail;
  const bool own_start_codes = VideoStream_Flag == MP4_VIDEO_MPEG2 || VideoStream_Flag == MP4_VIDEO_VC1;
  const uint8_t* first = Buffer + runs[0].at;
  if (continued && own_start_codes && end - runs[0].at >= 3 && first[0] == 0 && first[1] == 0 && first[2] == 1) {
    runs[0].at += 3;
    runs[0].n -= 3;
  }
  Rdptr = Buffer + runs[0].at;
  payload_bytes = runs[0].n;
  next_run = 1;
  // The share of the samples read stands in for a byte position (progress).
  Buffer_Physical = mp4_numSamples ? Infilelength[0] / mp4_numSamples * (mp4_sampleId - 1) : 0;
  mkv_current_tc = time;
}

void InitializeMP4Buffer(u64 time) {
  // Stale bytes of an earlier pass must not be read if positioning fails.
  Read = 0;
  Rdptr = Buffer;
  payload_bytes = 0;
  runs.clear();
  next_run = 0;
  std::vector<uint8_t> sets;
  if (VideoStream_Flag == MP4_VIDEO_AVC) {
    uint8_t** sps = nullptr;
    uint8_t** pps = nullptr;
    uint32_t* sps_size = nullptr;
    uint32_t* pps_size = nullptr;
    MP4GetTrackH264SeqPictHeaders(mp4File, trackId, &sps, &sps_size, &pps, &pps_size);
    sets = TakeAvcParameterSets(sps, sps_size, pps, pps_size);
  } else if (VideoStream_Flag == MP4_VIDEO_HEVC) {
    sets = HvccParameterSets(hvcC_atom, hvcC_size);
  }
  if (sets.size() > BUFFER_SIZE / 2) return;
  mp4_numSamples = MP4GetTrackNumberOfSamples(mp4File, trackId);
  mp4_sampleId = time == 0 ? 1 : MP4GetSampleIdFromTime(mp4File, trackId, time, false);
  if (mp4_sampleId == 0) mp4_sampleId = 1;
  while (mp4_sampleId >= 1 && mp4_sampleId <= mp4_numSamples && MP4GetSampleTime(mp4File, trackId, mp4_sampleId) < time)
    ++mp4_sampleId;
  if (mp4_sampleId < 1 || mp4_sampleId > mp4_numSamples) return;
  if (!sets.empty()) memcpy(Buffer, sets.data(), sets.size());
  add_run(0, static_cast<u32>(sets.size()));
  u32 end;
  u64 t;
  if (!put_sample(static_cast<u32>(sets.size()), true, &end, &t)) {
    mp4_unreadSample = mp4_sampleId;
    return;
  }
  finish_buffer(end, t, false);
}

int NextMP4Buffer() {
  for (;;) {
    if (++mp4_sampleId > mp4_numSamples) return -1;
    runs.clear();
    next_run = 0;
    u32 end;
    u64 t;
    if (!put_sample(0, false, &end, &t)) {
      mp4_unreadSample = mp4_sampleId;
      return -1;
    }
    if (runs.empty()) continue;  // no unit in it
    finish_buffer(end, t, true);
    return 0;
  }
}

u32 MP4UnreadSample(u32* samples) {
  *samples = mp4_numSamples;
  return mp4_unreadSample;
}

int NextMP4Payload() {
  if (next_run >= runs.size()) return NextMP4Buffer();
  Rdptr = Buffer + runs[next_run].at;
  payload_bytes = runs[next_run].n;
  ++next_run;
  return 0;
}
