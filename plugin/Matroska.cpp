// Matroska input of the decoder object. The reader locates the chosen
// track's frames; each payload is read through the first input's handle
// and written into the read buffer in start-code form, followed by 00 00 01,
// which ends the frame's last unit and stands for the next frame's first
// start code. The decode passes feed the configuration's parameter sets
// themselves.
//
// A group's position is the start time of the frame that opens it. A pass
// decodes from that very frame or not at all: cues that point at another
// cluster, or damage that took the frame, must not put a later group's
// pictures in place of the ones the index numbers.
#include <algorithm>
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

// Exp-Golomb code at bit *at of p (n bytes); -1 past the end or beyond 31
// leading zeros.
long read_ue(const uint8_t* p, size_t n, size_t* at) {
  auto bit = [&]() -> int {
    if (*at >= 8 * n) return -1;
    const int b = (p[*at / 8] >> (7 - *at % 8)) & 1;
    ++*at;
    return b;
  };
  int zeros = 0;
  for (int b; (b = bit()) != 1; ++zeros)
    if (b < 0 || zeros == 31) return -1;
  unsigned long v = 0;
  for (int i = 0; i < zeros; ++i) {
    const int b = bit();
    if (b < 0) return -1;
    v = v << 1 | unsigned(b);
  }
  return long((1UL << zeros) - 1 + v);
}

bool has_start_code(const std::vector<uint8_t>& raw, std::initializer_list<uint8_t> codes) {
  for (size_t i = 0; i + 3 < raw.size(); ++i)
    if (raw[i] == 0 && raw[i + 1] == 0 && raw[i + 2] == 1 &&
        std::find(codes.begin(), codes.end(), raw[i + 3]) != codes.end())
      return true;
  return false;
}

// The frame's own bytes can open a group of the index, for frames that the
// container does not mark as key frames: AVC I pictures (groups where IDR
// pictures and recovery points are not required), and frames that carry the
// headers of the group after their picture, as muxers that cut the stream
// elsewhere leave them (AVC and HEVC parameter sets, MPEG-2 sequence
// headers and GOP headers, VC-1 sequence headers and entry points).
bool opens_group(const MkvVideoTrack& v, const std::vector<uint8_t>& raw) {
  bool opens = false, first_slice = true;
  switch (v.codec) {
    case MKV_VIDEO_AVC:
      MkvForEachUnit(v, raw.data(), raw.size(), [&](const uint8_t* u, size_t len) {
        const int type = u[0] & 31;
        if (type == 5 || type == 7) opens = true;
        if ((type == 1 || type == 2) && first_slice) {
          first_slice = false;
          size_t at = 8;  // past the unit header
          const long first_mb = read_ue(u, len, &at), slice_type = read_ue(u, len, &at);
          if (first_mb >= 0 && (slice_type % 5 == 2 || slice_type % 5 == 4)) opens = true;  // I, SI
        }
      });
      return opens;
    case MKV_VIDEO_HEVC:
      MkvForEachUnit(v, raw.data(), raw.size(), [&](const uint8_t* u, size_t) {
        const int type = (u[0] >> 1) & 63;
        if ((type >= 16 && type <= 23) || type == 32 || type == 33) opens = true;  // IRAP, VPS, SPS
      });
      return opens;
    case MKV_VIDEO_MPEG2:
      return has_start_code(raw, {0xB3, 0xB8});
    case MKV_VIDEO_VC1:
      return has_start_code(raw, {0x0F, 0x0E});
    default:
      return false;
  }
}

// The time of the cue row before the one that a seek to t by the cues
// lands on (the last row not after t, or the first row); false when that
// row is the first.
bool earlier_cue_time(MatroskaFile* file, u64 t, u64* earlier) {
  CueEntry* cues = nullptr;
  unsigned n = 0;
  mkv_GetCues(file, &cues, &n);
  if (!cues || n == 0) return false;
  unsigned used = 0;
  for (unsigned i = 0; i < n; ++i)
    if (cues[i].Time <= t) used = i;
  for (unsigned i = used; i-- > 0;)
    if (cues[i].Time < cues[used].Time) {
      *earlier = cues[i].Time;
      return true;
    }
  return false;
}

std::string ns(u64 t) { return std::to_string(t) + " ns"; }

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

bool CAVCDecoder::ReadToMkvGroupFrame(u64 t, u32* flags, bool* unreadable) {
  u32 track, size;
  u64 start, end, pos;
  while (mkv_ReadFrame(mkv_file, 0, &track, &start, &end, &pos, &size, flags) == 0) {
    const bool key = *flags & FRAME_KF;
    if (start == t) {
      if (!MkvReadFrame(files[0].fp, mkv_video, pos, size, READ_BUFFER_SIZE, &mkv_raw)) {
        *unreadable = true;
        return false;
      }
      if (key || opens_group(mkv_video, mkv_raw)) return true;
    } else if (key && start > t) {
      // The next group has begun: the frames of the group at t are not
      // where reading began, or not in the file.
      return false;
    }
  }
  return false;
}

void CAVCDecoder::InitializeMKVBuffer(u64 t) {
  if (rbuf.empty()) rbuf.resize(READ_BUFFER_SIZE);
  rd = valid = 0;
  payload_bytes = 0;
  mkv_after_damage = false;
  // Until the group's frame is loaded, nothing may be read after it: the
  // frames the reader would hand out next are not the group's.
  input_ended = true;
  // The group after the one at t, whose frame the pass must meet before any
  // later group's (NextMKVBuffer).
  mkv_next_group = groups.size();
  for (size_t i = 0; i < groups.size(); ++i)
    if (groups[i].position == t) {
      mkv_next_group = i;
      break;
    }
  while (mkv_next_group < groups.size() && groups[mkv_next_group].position == t) ++mkv_next_group;
  if (!mkv_file) return;

  u32 flags = 0;
  bool unreadable = false;
  // By the cues first: a sound file lands on the frame at once. Then from
  // the row before, which holds the group where each row points one cluster
  // late, and last from the first cluster, which no cue can mislead.
  mkv_Seek2(mkv_file, t, 0);
  bool found = ReadToMkvGroupFrame(t, &flags, &unreadable);
  u64 earlier = 0;
  const bool has_earlier = !found && !unreadable && earlier_cue_time(mkv_file, t, &earlier);
  if (has_earlier) {
    mkv_Seek(mkv_file, earlier, 0);
    found = ReadToMkvGroupFrame(t, &flags, &unreadable);
  }
  if (!found && !unreadable && !(has_earlier && earlier == 0)) {
    mkv_Seek(mkv_file, 0, 0);
    found = ReadToMkvGroupFrame(t, &flags, &unreadable);
  }
  if (!found) {
    pass_problem = unreadable ? "the Matroska frame at " + ns(t) + " cannot be read"
                              : "the Matroska file holds no frame at " + ns(t) +
                                    " that a group can start from, where the index places one";
    return;
  }
  valid = put_frame(mkv_video, mkv_raw, flags & FRAME_KF, rbuf.data());
  if (valid == 0) {
    pass_problem = "the Matroska frame at " + ns(t) + " does not fit into the read buffer";
    return;
  }
  input_ended = false;
}

bool CAVCDecoder::MissedMkvGroup(u64 start, bool key) {
  if (mkv_next_group >= groups.size() || start < groups[mkv_next_group].position) return false;
  // Frames may share a time (a repeated frame of one byte beside a group's
  // frame): only one that can open a group counts.
  if (!key && !opens_group(mkv_video, mkv_raw)) return false;
  const u64 next = groups[mkv_next_group].position;
  if (start == next) {
    while (mkv_next_group < groups.size() && groups[mkv_next_group].position == next) ++mkv_next_group;
    return false;
  }
  // Group positions follow the file: a frame that opens a later group than
  // the next one means that the next one's frames, and maybe more, are
  // missing.
  auto before = [](const GroupRecord& g, u64 time) { return g.position < time; };
  const auto at = std::lower_bound(groups.begin() + long(mkv_next_group) + 1, groups.end(), start, before);
  if (at == groups.end() || at->position != start) return false;
  pass_problem = "the Matroska file holds no frame at " + ns(next) +
                 " that a group can start from, where the index places one; reading went on at the group at " +
                 ns(start);
  return true;
}

bool CAVCDecoder::LostToMkvDamage(u64 start, u32 size, u32 flags) {
  // As Ostrel reads AVC, HEVC and MPEG-2: damage passed over right after a
  // frame that ends in zeros (MkvZerosOfDamagedEnd) took that frame's end
  // too.
  if (mkv_video.codec != MKV_VIDEO_AVC && mkv_video.codec != MKV_VIDEO_HEVC && mkv_video.codec != MKV_VIDEO_MPEG2)
    return false;
  if (flags & FRAME_AFTER_SKIP) mkv_after_damage = true;
  const size_t zeros = MkvZerosOfDamagedEnd(mkv_video.codec);
  if ((flags & FRAME_BEFORE_SKIP) && size > 0 && mkv_raw.size() >= zeros &&
      std::all_of(mkv_raw.end() - long(zeros), mkv_raw.end(), [](uint8_t x) { return x == 0; })) {
    mkv_after_damage = true;
    return true;
  }
  if (!mkv_after_damage) return false;
  // The next group's frame, or a later group's (which MissedMkvGroup
  // reports), ends the frames left out.
  if (mkv_next_group >= groups.size() || start < groups[mkv_next_group].position) return true;
  if (!(flags & FRAME_KF) && !opens_group(mkv_video, mkv_raw)) return true;
  auto before = [](const GroupRecord& g, u64 time) { return g.position < time; };
  const auto at = std::lower_bound(groups.begin() + long(mkv_next_group), groups.end(), start, before);
  if (at == groups.end() || at->position != start) return true;
  mkv_after_damage = false;
  LeaveOutLeadingPictures(static_cast<size_t>(at - groups.begin()));
  StartTags(static_cast<size_t>(at - groups.begin()));
  return false;
}

namespace {

// MPEG-2: whether the frame begins a picture as Ostrel counts one, a picture
// header followed by its coding extension, before its first slice.
bool BeginsMpegPicture(const std::vector<uint8_t>& f) {
  bool after_header = false;
  for (size_t i = 0; i + 3 < f.size(); ++i) {
    if (f[i] != 0 || f[i + 1] != 0 || f[i + 2] != 1) continue;
    const uint8_t code = f[i + 3];
    if (after_header && code == 0xB5 && i + 4 < f.size() && (f[i + 4] >> 4) == 8) return true;
    if (code >= 0x01 && code <= 0xAF) return false;  // a slice
    after_header = code == 0x00;
    i += 2;
  }
  return false;
}

}  // namespace

void CAVCDecoder::PassUnreadMpegPicture() {
  // Its number is taken as its picture header would take it; nothing of it
  // is fed.
  if (!tag.begun) NextDecodedPicture();
  tag.begun = false;
  tag.first_field = false;
  tag.opened = false;
  tag.current = 0;
}

int CAVCDecoder::NextMKVBuffer() {
  u32 track, size, flags;
  u64 start, end, pos;
  for (;;) {
    if (!mkv_file || mkv_ReadFrame(mkv_file, 0, &track, &start, &end, &pos, &size, &flags) != 0) return -1;
    const bool read = MkvReadFrame(files[0].fp, mkv_video, pos, size, READ_BUFFER_SIZE, &mkv_raw);
    if (read && LostToMkvDamage(start, size, flags)) continue;
    if (read && MissedMkvGroup(start, flags & FRAME_KF)) return -1;
    // An MPEG-2 frame whose picture header or coding extension is
    // unreadable: Ostrel lists its picture by its time, as a P or B
    // picture that the decoder cannot decode. It is not fed, and the
    // pictures after it keep their numbers.
    if (read && mkv_video.codec == MKV_VIDEO_MPEG2 && !BeginsMpegPicture(mkv_raw)) {
      PassUnreadMpegPicture();
      continue;
    }
    const u32 n = read ? put_frame(mkv_video, mkv_raw, flags & FRAME_KF, rbuf.data()) : 0;
    if (n == 0) {
      // Cut short, or larger than the read buffer: the input ends here.
      pass_problem = "the Matroska frame at " + ns(start) + " cannot be read";
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

namespace {

// A parameter set of AVC (SPS, PPS) or HEVC (VPS, SPS, PPS), behind
// 00 00 00 01, appended to sets; *sps set at an SPS.
void take_set(int codec, const uint8_t* unit, size_t len, std::vector<uint8_t>* sets, bool* sps) {
  if (len == 0) return;
  const int avc = unit[0] & 31, hevc = (unit[0] >> 1) & 63;
  const bool is_set = codec == CODEC_AVC ? avc == 7 || avc == 8 : hevc >= 32 && hevc <= 34;
  if (!is_set) return;
  if (codec == CODEC_AVC ? avc == 7 : hevc == 33) *sps = true;
  const uint8_t prefix[] = {0, 0, 0, 1};
  sets->insert(sets->end(), prefix, prefix + sizeof prefix);
  sets->insert(sets->end(), unit, unit + len);
}

}  // namespace

std::vector<uint8_t> CAVCDecoder::SetsInForce(u64 position) {
  std::vector<uint8_t> sets;
  if (codec != CODEC_AVC && codec != CODEC_HEVC) return sets;
  if (group_sets.size() != groups.size()) group_sets.assign(groups.size(), -2);
  auto before = [](const GroupRecord& g, u64 time) { return g.position < time; };
  const auto at = std::lower_bound(groups.begin(), groups.end(), position, before);
  if (at == groups.end() || at->position != position) return sets;
  const long g = static_cast<long>(at - groups.begin());
  auto read_sets = [&](size_t k, bool* sps) {
    sets.clear();
    *sps = false;
    return stream_type == CONTAINER_MKV ? MkvGroupFrameSets(groups[k].position, &sets, sps)
                                        : Mp4GroupSampleSets(groups[k].position, &sets, sps);
  };
  bool sps = false;
  // A stream whose first frame carries no SPS has its sets in the
  // configuration alone: no frame is looked at for them.
  if (group_sets[0] == -2) group_sets[0] = read_sets(0, &sps) && sps ? 0 : -1;
  if (group_sets[0] < 0) return {};
  // Back from the group, each group's frame read once for all passes.
  long found = -1, i = g;
  bool in_sets = false;  // sets holds those of the group found
  for (; i >= 0; --i) {
    if (group_sets[size_t(i)] != -2) {
      found = group_sets[size_t(i)];
      break;
    }
    if (read_sets(size_t(i), &sps) && sps) {
      found = i;
      in_sets = true;
      break;
    }
  }
  for (long k = std::max(i, 0L); k <= g; ++k) group_sets[size_t(k)] = found;
  if (found < 0 || groups[size_t(found)].position == position) return {};
  if (in_sets) return sets;
  return read_sets(size_t(found), &sps) && sps ? sets : std::vector<uint8_t>();
}

bool CAVCDecoder::MkvGroupFrameSets(u64 t, std::vector<uint8_t>* sets, bool* sps) {
  if (!mkv_file) return false;
  u32 flags = 0;
  bool unreadable = false;
  // As the pass finds the group's frame: by the cues, then from the row
  // before.
  mkv_Seek2(mkv_file, t, 0);
  bool found = ReadToMkvGroupFrame(t, &flags, &unreadable);
  u64 earlier = 0;
  if (!found && !unreadable && earlier_cue_time(mkv_file, t, &earlier)) {
    mkv_Seek(mkv_file, earlier, 0);
    found = ReadToMkvGroupFrame(t, &flags, &unreadable);
  }
  if (!found) return false;
  MkvForEachUnit(mkv_video, mkv_raw.data(), mkv_raw.size(),
                 [&](const uint8_t* unit, size_t len) { take_set(codec, unit, len, sets, sps); });
  return true;
}

bool CAVCDecoder::FeedMatroskaParameterSets(u64 position) {
  std::vector<unsigned char> unit_bytes;
  auto feed = [&](const uint8_t* unit, size_t len) {
    unit_bytes.assign(kNextStartCode, kNextStartCode + sizeof kNextStartCode);
    unit_bytes.insert(unit_bytes.end(), unit, unit + len);
    decoder_decode_nalu(unit_bytes.data(), static_cast<u32>(unit_bytes.size()));
  };
  // Sets stored each behind 00 00 00 01: the configuration's, then those
  // of an earlier group's frame that are in force at the group.
  auto feed_all = [&](const std::vector<uint8_t>& c) {
    for (size_t p = 0; p + 4 <= c.size();) {
      size_t q = p + 4;
      while (q + 4 <= c.size() && !(c[q] == 0 && c[q + 1] == 0 && c[q + 2] == 0 && c[q + 3] == 1)) ++q;
      if (q + 4 > c.size()) q = c.size();
      if (q > p + 4) feed(c.data() + p + 4, q - p - 4);
      p = q;
    }
  };
  feed_all(mkv_video.config);
  feed_all(SetsInForce(position));
  // Sets that the frames before the group carry, read in file order from
  // two seconds before it.
  const u64 from = position < 2000000001ULL ? 0 : position - 2000000000ULL;
  if (from >= position || !mkv_file) return true;
  u32 track, size, flags;
  u64 start, end, pos;
  // Where the cues send the search past every frame, there is nothing to
  // feed from here: whether the group can be decoded is for the search of
  // its own frame to tell, which does not trust the cues alone.
  if (!MKVGetFrameByTime(mkv_file, from, &track, &start, &end, &pos, &size, &flags)) return true;
  while (start < position) {
    if (!MkvReadFrame(files[0].fp, mkv_video, pos, size, READ_BUFFER_SIZE, &mkv_raw)) return false;
    MkvForEachUnit(mkv_video, mkv_raw.data(), mkv_raw.size(), [&](const uint8_t* unit, size_t len) {
      if (MkvIsParameterSet(mkv_video.codec, unit[0])) feed(unit, len);
    });
    if (mkv_ReadFrame(mkv_file, 0, &track, &start, &end, &pos, &size, &flags) != 0) break;
  }
  return true;
}
