// MP4 input of the decoder object. The library's function interface reads
// the samples of the video track of the index's codec; each one is written
// into the read buffer in start-code form, followed by 00 00 01, which ends
// the sample's last unit and stands for the next sample's first start code.
// The positions of an MP4 index are sample times in the track's time scale.
#include <cstdlib>
#include <cstring>
#include <string>

#include "decoder.h"
#include "mp4/mp4.h"

namespace {

const unsigned char kTail[] = {0, 0, 1};

int indexer_codec(int codec) {
  switch (codec) {
    case CODEC_AVC: return MP4_VIDEO_AVC;
    case CODEC_VC1: return MP4_VIDEO_VC1;
    case CODEC_MPEG2: return MP4_VIDEO_MPEG2;
    case CODEC_HEVC: return MP4_VIDEO_HEVC;
    default: return MP4_VIDEO_NONE;
  }
}

}  // namespace

int CAVCDecoder::InitMP4() {
  if (files.empty()) return 1;
  mp4_file = MP4Read(files[0].name.c_str(), 0);
  if (!mp4_file) return 1;
  const int wanted = indexer_codec(codec);
  const u32 tracks = MP4GetNumberOfTracks(mp4_file, nullptr, 0);
  for (u32 i = 0; i < tracks && i <= 0xFFFF && !mp4_track; ++i) {
    const uint32_t t = MP4FindTrackId(mp4_file, static_cast<uint16_t>(i), nullptr, 0);
    const char* type = MP4GetTrackType(mp4_file, t);
    if (!type || strcmp(type, "vide") != 0) continue;
    const char* name = MP4GetTrackMediaDataName(mp4_file, t);
    const uint8_t object_type = name && !strcmp(name, "mp4v") ? MP4GetTrackEsdsObjectTypeId(mp4_file, t) : 0;
    if (Mp4VideoCodecOf(name, object_type, false) == wanted) mp4_track = t;
  }
  if (!mp4_track) return 2;
  mp4_length_size = 4;
  if (wanted == MP4_VIDEO_HEVC) {
    mp4_hvcC.resize(HVCC_MAX);
    size_t n = 0;
    if (fetch_hvcC_atom(files[0].name.c_str(), mp4_hvcC.data(), &n) != 0) return 1;
    mp4_hvcC.resize(n);
    mp4_length_size = HvccLengthSize(mp4_hvcC.data(), mp4_hvcC.size());
  } else if (wanted == MP4_VIDEO_AVC) {
    u32 n = 0;
    if (!MP4GetTrackH264LengthSize(mp4_file, mp4_track, &n)) return 1;
    mp4_length_size = n;
  }
  if (mp4_length_size != 1 && mp4_length_size != 2 && mp4_length_size != 4) return 1;
  mp4_samples = MP4GetTrackNumberOfSamples(mp4_file, mp4_track);
  return 0;
}

void CAVCDecoder::CloseMP4() {
  MP4Close(mp4_file);
  mp4_file = nullptr;
  mp4_track = 0;
}

std::vector<uint8_t> CAVCDecoder::Mp4ParameterSets() {
  std::vector<uint8_t> sets;
  if (codec == CODEC_HEVC) return HvccParameterSets(mp4_hvcC.data(), mp4_hvcC.size());
  if (codec != CODEC_AVC) return sets;
  uint8_t** sps = nullptr;
  uint8_t** pps = nullptr;
  uint32_t* sps_size = nullptr;
  uint32_t* pps_size = nullptr;
  MP4GetTrackH264SeqPictHeaders(mp4_file, mp4_track, &sps, &sps_size, &pps, &pps_size);
  return TakeAvcParameterSets(sps, sps_size, pps, pps_size);
}

// Reads sample mp4_sample into the read buffer at `at`; the bytes written,
// or -1 when it cannot be read or does not fit.
long CAVCDecoder::PutMp4Sample(u32 at, bool first_start_code) {
  uint8_t* bytes = nullptr;
  uint32_t n = 0;
  if (!MP4ReadSample(mp4_file, mp4_track, mp4_sample, &bytes, &n, nullptr, nullptr, nullptr, nullptr)) return -1;
  const long w = Mp4SampleToStartCodes(indexer_codec(codec), mp4_length_size, bytes, n, first_start_code,
                                       rbuf.data() + at, READ_BUFFER_SIZE - sizeof kTail - at);
  free(bytes);
  return w;
}

void CAVCDecoder::InitializeMP4Buffer(u64 time) {
  if (rbuf.empty()) rbuf.resize(READ_BUFFER_SIZE);
  rd = valid = 0;
  payload_bytes = 0;
  input_ended = false;
  if (!mp4_file) return;
  // AVC and HEVC: the configuration's parameter sets first, then those of
  // an earlier group's sample that are in force at the group.
  std::vector<uint8_t> sets = Mp4ParameterSets();
  const std::vector<uint8_t> in_force = SetsInForce(time);
  sets.insert(sets.end(), in_force.begin(), in_force.end());
  if (sets.size() > READ_BUFFER_SIZE / 2) return;
  u32 id = time == 0 ? 1 : MP4GetSampleIdFromTime(mp4_file, mp4_track, time, false);
  if (id == 0) id = 1;
  while (id <= mp4_samples && MP4GetSampleTime(mp4_file, mp4_track, id) < time) ++id;
  if (id > mp4_samples) return;
  mp4_sample = id;
  if (!sets.empty()) memcpy(rbuf.data(), sets.data(), sets.size());
  const long w = PutMp4Sample(static_cast<u32>(sets.size()), true);
  if (w < 0) return;
  const u32 end = static_cast<u32>(sets.size() + size_t(w));
  memcpy(rbuf.data() + end, kTail, sizeof kTail);
  valid = end + sizeof kTail;
}

bool CAVCDecoder::Mp4GroupSampleSets(u64 t, std::vector<uint8_t>* sets, bool* sps) {
  if (!mp4_file) return false;
  u32 id = t == 0 ? 1 : MP4GetSampleIdFromTime(mp4_file, mp4_track, t, false);
  if (id == 0) id = 1;
  while (id <= mp4_samples && MP4GetSampleTime(mp4_file, mp4_track, id) < t) ++id;
  if (id > mp4_samples) return false;
  uint8_t* bytes = nullptr;
  uint32_t n = 0;
  if (!MP4ReadSample(mp4_file, mp4_track, id, &bytes, &n, nullptr, nullptr, nullptr, nullptr)) return false;
  // Units behind their length fields, up to one that runs past the sample.
  const uint8_t prefix[] = {0, 0, 0, 1};
  for (size_t p = 0; n - p > mp4_length_size;) {
    size_t len = 0;
    for (unsigned i = 0; i < mp4_length_size; ++i) len = len << 8 | bytes[p + i];
    p += mp4_length_size;
    if (len > n - p) break;
    const int avc = len ? bytes[p] & 31 : 0, hevc = len ? (bytes[p] >> 1) & 63 : 0;
    if (len && (codec == CODEC_AVC ? avc == 7 || avc == 8 : hevc >= 32 && hevc <= 34)) {
      if (codec == CODEC_AVC ? avc == 7 : hevc == 33) *sps = true;
      sets->insert(sets->end(), prefix, prefix + sizeof prefix);
      sets->insert(sets->end(), bytes + p, bytes + p + len);
    }
    p += len;
  }
  free(bytes);
  return true;
}

int CAVCDecoder::NextMP4Buffer() {
  for (;;) {
    if (!mp4_file || ++mp4_sample > mp4_samples) return -1;
    const long w = PutMp4Sample(0, false);
    if (w < 0) {
      pass_problem = "the MP4 sample " + std::to_string(mp4_sample) + " cannot be read";
      return -1;
    }
    if (w == 0) continue;
    memcpy(rbuf.data() + w, kTail, sizeof kTail);
    valid = static_cast<u32>(w) + sizeof kTail;
    // MPEG-2 and VC-1 samples bring their own first start code, for which the
    // previous buffer's tail already stands.
    const unsigned char* b = rbuf.data();
    rd = (codec == CODEC_MPEG2 || codec == CODEC_VC1) && w >= 3 && b[0] == 0 && b[1] == 0 && b[2] == 1 ? 3 : 0;
    return 0;
  }
}
