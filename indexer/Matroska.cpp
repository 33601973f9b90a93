// Matroska input of the indexer. The library locates the chosen track's
// frames; this adapter reads each payload through its own handle and writes
// it into Buffer in start-code form, followed by 00 00 01, which ends the
// frame's last unit and serves as the start code of the next frame's first.
#include "Matroska.h"

#include <cstring>
#include <vector>

#include "MatroskaVideo.h"
#include "index.h"

MatroskaFile* mf = nullptr;
u32 track = 0;

static StdIoStream st;
static FILE* mkv_fp = nullptr;
static MkvVideoTrack video;
static std::vector<uint8_t> raw;  // one frame as stored, behind its stripped header

static const uint8_t kNextStartCode[] = {0, 0, 1};
constexpr size_t PARAMETER_STORE = 999999;  // in-band parameter sets gathered before a range start

int InitMatroska() {
  mkv_fp = fopen(Infilename[0], "rb");
  if (!mkv_fp) {
    printf("Couldn't open the Matroska source file.\n");
    return 1;
  }
  setvbuf(mkv_fp, nullptr, _IOFBF, 65536);
  StdIoInit(&st, mkv_fp);
  char err[256];
  mf = mkv_OpenEx(&st.base, 0, 0, err, sizeof err);
  if (!mf) return 1;

  const unsigned n = mkv_GetNumTracks(mf);
  unsigned chosen = n;
  for (unsigned i = 0; i < n && chosen == n; ++i)
    if (MkvVideoCodecOf(mkv_GetTrackInfo(mf, i)) != MKV_VIDEO_NONE) chosen = i;
  if (chosen == n) return 2;
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

// Reads a frame's payload; false on a failed seek or short read. A frame
// that cannot fit into Buffer ends the run.
static bool load_raw(u64 pos, u32 size, u64 start) {
  if (size > BUFFER_SIZE) {
    abandon_index("The Matroska frame at %llu ns has %u bytes, more than the read buffer holds.",
                  static_cast<unsigned long long>(start), size);
  }
  return MkvReadFrame(mkv_fp, video, pos, size, BUFFER_SIZE, &raw);
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

static void finish_buffer(u32 end, u64 pos, u64 start) {
  memcpy(Buffer + end, kNextStartCode, sizeof kNextStartCode);
  Read = end + sizeof kNextStartCode;
  Buffer_Physical = pos;
  mkv_current_tc = start;
}

void InitializeMKVBuffer(u64 t) {
  u32 at = 0;
  const bool avc_like = video.codec == MKV_VIDEO_AVC || video.codec == MKV_VIDEO_HEVC;
  u32 tr, size, flags;
  u64 start, end, pos;
  Rdptr = Buffer;
  Read = 0;
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
  if (MKVGetFrameByTime(mf, t, &tr, &start, &end, &pos, &size, &flags) != 0 || !load_raw(pos, size, start)) return;
  finish_buffer(put_frame(at, flags & FRAME_KF, start), pos, start);
}

int NextMKVBuffer() {
  u32 tr, size, flags;
  u64 start, end, pos;
  for (;;) {
    if (mkv_ReadFrame(mf, 0, &tr, &start, &end, &pos, &size, &flags) != 0) return -1;
    if (!load_raw(pos, size, start)) return -1;
    const u32 n = put_frame(0, flags & FRAME_KF, start);
    if (n == 0) continue;  // no unit in it
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
