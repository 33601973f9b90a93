// Matroska input of the decoder object. The reader locates the chosen
// track's frames; each payload is read through the first input's handle
// and written into the read buffer in start-code form, followed by 00 00 01,
// which ends the frame's last unit and stands for the next frame's first
// start code. The decode passes feed the configuration's parameter sets
// themselves.
#include <cstring>

#include "decoder.h"

namespace {

const unsigned char kNextStartCode[] = {0, 0, 1};

// The plugin's codec numbers in the indexer's numbering, which the shared
// Matroska code uses.
int indexer_codec(int codec) {
  switch (codec) {
    case CODEC_AVC: return MKV_VIDEO_AVC;
    case CODEC_VC1: return MKV_VIDEO_VC1;
    case CODEC_MPEG2: return MKV_VIDEO_MPEG2;
    case CODEC_HEVC: return MKV_VIDEO_HEVC;
    default: return MKV_VIDEO_NONE;
  }
}

}  // namespace

int CAVCDecoder::InitMatroska() {
  if (files.empty() || !files[0].fp) return 1;
  StdIoInit(&mkv_stream, files[0].fp);
  char err[256];
  mkv_file = mkv_OpenEx(&mkv_stream.base, 0, 0, err, sizeof err);
  if (!mkv_file) return 1;
  const int wanted = indexer_codec(codec);
  const unsigned n = mkv_GetNumTracks(mkv_file);
  unsigned chosen = n;
  for (unsigned i = 0; i < n && chosen == n; ++i)
    if (MkvVideoCodecOf(mkv_GetTrackInfo(mkv_file, i)) == wanted) chosen = i;
  if (chosen == n) return 2;
  if (MkvSetUpVideoTrack(mkv_GetTrackInfo(mkv_file, chosen), &mkv_video)) return 1;
  mkv_track = chosen;
  mkv_SetTrackMask(mkv_file, ~(u64(1) << mkv_track));
  return 0;
}

void CAVCDecoder::CloseMatroska() {
  mkv_Close(mkv_file);
  mkv_file = nullptr;
}

void CAVCDecoder::mkv_Seek(MatroskaFile* file, u64 t, u32 flags) { mkv_SeekTrack(file, mkv_track, t, flags); }

void CAVCDecoder::mkv_Seek2(MatroskaFile* file, u64 t, u32 flags) { mkv_Seek2Track(file, mkv_track, t, flags); }

bool CAVCDecoder::MKVGetFrameByTime(MatroskaFile* file, u64 t, u32* track, u64* start, u64* end, u64* file_pos,
                                    u32* size, u32* flags) {
  mkv_Seek2(file, t, 0);
  for (;;) {
    if (mkv_ReadFrame(file, 0, track, start, end, file_pos, size, flags) != 0) return false;
    if (*start >= t) return true;
  }
}

namespace {

// Writes the raw frame in start-code form into buf, followed by 00 00 01;
// the bytes written, or 0 when it does not fit.
u32 put_frame(const MkvVideoTrack& v, const std::vector<uint8_t>& raw, bool key, unsigned char* buf) {
  const long n = MkvFrameToStartCodes(v, raw.data(), raw.size(), key, buf, READ_BUFFER_SIZE - sizeof kNextStartCode);
  if (n < 0) return 0;
  memcpy(buf + n, kNextStartCode, sizeof kNextStartCode);
  return static_cast<u32>(n) + sizeof kNextStartCode;
}

}  // namespace

void CAVCDecoder::InitializeMKVBuffer(u64 t) {
  if (rbuf.empty()) rbuf.resize(READ_BUFFER_SIZE);
  rd = valid = 0;
  payload_bytes = 0;
  input_ended = false;
  u32 track, size, flags;
  u64 start, end, pos;
  // Nothing is loaded when the track ends before t, or the frame cannot be
  // read or does not fit: the pass then meets the end of the input.
  if (!mkv_file || !MKVGetFrameByTime(mkv_file, t, &track, &start, &end, &pos, &size, &flags)) return;
  if (!MkvReadFrame(files[0].fp, mkv_video, pos, size, READ_BUFFER_SIZE, &mkv_raw)) return;
  valid = put_frame(mkv_video, mkv_raw, flags & FRAME_KF, rbuf.data());
}

int CAVCDecoder::NextMKVBuffer() {
  u32 track, size, flags;
  u64 start, end, pos;
  for (;;) {
    if (!mkv_file || mkv_ReadFrame(mkv_file, 0, &track, &start, &end, &pos, &size, &flags) != 0) return -1;
    const u32 n = MkvReadFrame(files[0].fp, mkv_video, pos, size, READ_BUFFER_SIZE, &mkv_raw)
                      ? put_frame(mkv_video, mkv_raw, flags & FRAME_KF, rbuf.data())
                      : 0;
    if (n == 0) {
      // Cut short, or larger than the read buffer: the input ends here.
      pass_problem = "the Matroska frame at " + std::to_string(start) + " ns cannot be read";
      return -1;
    }
    if (n == sizeof kNextStartCode) continue;  // no unit in it
    valid = n;
    // The previous buffer's closing 00 00 01 stands for this frame's first
    // start code.
    const unsigned char* b = rbuf.data();
    if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1)
      rd = 4;
    else if (b[0] == 0 && b[1] == 0 && b[2] == 1)
      rd = 3;
    else
      rd = 0;
    return 0;
  }
}

bool CAVCDecoder::FeedMatroskaParameterSets(u64 position) {
  std::vector<unsigned char> unit_bytes;
  auto feed = [&](const uint8_t* unit, size_t len) {
    unit_bytes.assign(kNextStartCode, kNextStartCode + sizeof kNextStartCode);
    unit_bytes.insert(unit_bytes.end(), unit, unit + len);
    decoder_decode_nalu(unit_bytes.data(), static_cast<u32>(unit_bytes.size()));
  };
  // The configuration's sets, stored each behind 00 00 00 01.
  const std::vector<uint8_t>& c = mkv_video.config;
  for (size_t p = 0; p + 4 <= c.size();) {
    size_t q = p + 4;
    while (q + 4 <= c.size() && !(c[q] == 0 && c[q + 1] == 0 && c[q + 2] == 0 && c[q + 3] == 1)) ++q;
    if (q + 4 > c.size()) q = c.size();
    if (q > p + 4) feed(c.data() + p + 4, q - p - 4);
    p = q;
  }
  // Sets that the frames before the group carry, read in file order from
  // two seconds before it.
  const u64 from = position < 2000000001ULL ? 0 : position - 2000000000ULL;
  if (from >= position || !mkv_file) return true;
  u32 track, size, flags;
  u64 start, end, pos;
  if (!MKVGetFrameByTime(mkv_file, from, &track, &start, &end, &pos, &size, &flags)) return false;
  while (start < position) {
    if (!MkvReadFrame(files[0].fp, mkv_video, pos, size, READ_BUFFER_SIZE, &mkv_raw)) return false;
    MkvForEachUnit(mkv_video, mkv_raw.data(), mkv_raw.size(), [&](const uint8_t* unit, size_t len) {
      if (MkvIsParameterSet(mkv_video.codec, unit[0])) feed(unit, len);
    });
    if (mkv_ReadFrame(mkv_file, 0, &track, &start, &end, &pos, &size, &flags) != 0) break;
  }
  return true;
}
