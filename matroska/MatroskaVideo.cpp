#include "MatroskaVideo.h"

#include <algorithm>
#include <cstring>

namespace {

const uint8_t kStartCode4[] = {0, 0, 0, 1};

bool starts_with_start_code(const uint8_t* p, size_t n) { return n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1; }

// Units of an AVC configuration record: SPS count in byte 5, the SPS from
// byte 6, then a PPS count and the PPS, each with a 16-bit length. Stops at
// the end of the record.
void avc_config_units(const uint8_t* cp, size_t n, std::vector<uint8_t>* out) {
  if (n < 6) return;
  size_t p = 6;
  auto take = [&](unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      if (n - p < 2) return false;
      const size_t len = size_t(cp[p]) << 8 | cp[p + 1];
      p += 2;
      if (len > n - p) return false;
      out->insert(out->end(), kStartCode4, kStartCode4 + 4);
      out->insert(out->end(), cp + p, cp + p + len);
      p += len;
    }
    return true;
  };
  if (!take(cp[5] & 31) || p >= n) return;
  const unsigned pps = cp[p++];
  take(pps);
}

// Units of an HEVC configuration record: the array count in byte 22, the
// arrays from byte 23, each a type byte, a 16-bit unit count and the units
// with 16-bit lengths. Every unit of every array is taken.
void hevc_config_units(const uint8_t* cp, size_t n, std::vector<uint8_t>* out) {
  if (n < 23) return;
  size_t p = 23;
  for (unsigned a = 0; a < cp[22]; ++a) {
    if (n - p < 3) return;
    const unsigned count = unsigned(cp[p + 1]) << 8 | cp[p + 2];
    p += 3;
    for (unsigned i = 0; i < count; ++i) {
      if (n - p < 2) return;
      const size_t len = size_t(cp[p]) << 8 | cp[p + 1];
      p += 2;
      if (len > n - p) return;
      out->insert(out->end(), kStartCode4, kStartCode4 + 4);
      out->insert(out->end(), cp + p, cp + p + len);
      p += len;
    }
  }
}

// The sequence header and entry point of a VC-1 configuration: everything
// from its first sequence-header start code on.
void vc1_config(const uint8_t* cp, size_t n, std::vector<uint8_t>* out) {
  for (size_t i = 0; i + 4 <= n; ++i)
    if (cp[i] == 0 && cp[i + 1] == 0 && cp[i + 2] == 1 && cp[i + 3] == 0x0F) {
      out->assign(cp + i, cp + n);
      return;
    }
}

}  // namespace

int MkvVideoCodecOf(const TrackInfo* t) {
  if (!t || t->Type != MKV_TRACK_VIDEO || !t->CodecID) return MKV_VIDEO_NONE;
  const char* id = t->CodecID;
  if (!strcmp(id, "V_VC1")) return MKV_VIDEO_VC1;
  if (!strcmp(id, "V_MS/VFW/FOURCC")) {
    // A BITMAPINFOHEADER: the compression code is bytes 16 to 19.
    const auto* cp = static_cast<const uint8_t*>(t->CodecPrivate);
    if (cp && t->CodecPrivateSize >= 20 && !memcmp(cp + 16, "WVC1", 4)) return MKV_VIDEO_VC1;
    return MKV_VIDEO_NONE;
  }
  if (!strcmp(id, "V_MPEG2")) return MKV_VIDEO_MPEG2;
  if (!strcmp(id, "V_MPEG4/ISO/AVC")) return MKV_VIDEO_AVC;
  if (!strcmp(id, "V_MPEGH/ISO/HEVC")) return MKV_VIDEO_HEVC;
  return MKV_VIDEO_NONE;
}

const char* MkvSetUpVideoTrack(const TrackInfo* t, MkvVideoTrack* v) {
  *v = MkvVideoTrack();
  v->codec = MkvVideoCodecOf(t);
  if (v->codec == MKV_VIDEO_NONE) return "not a supported video track";
  // Compressed frames would be read as video; only header stripping, which
  // the prefix undoes, is readable.
  if (t->CompEnabled && t->CompMethod != MKV_COMP_STRIP) return "its frames are compressed";
  if (t->CompEnabled && t->CompMethodPrivate)
    v->strip.assign(static_cast<const uint8_t*>(t->CompMethodPrivate),
                    static_cast<const uint8_t*>(t->CompMethodPrivate) + t->CompMethodPrivateSize);
  const auto* cp = static_cast<const uint8_t*>(t->CodecPrivate);
  const size_t n = cp ? t->CodecPrivateSize : 0;
  switch (v->codec) {
    case MKV_VIDEO_AVC:
      if (n >= 5) v->length_size = (cp[4] & 3) + 1u;
      avc_config_units(cp, n, &v->config);
      break;
    case MKV_VIDEO_HEVC:
      if (n >= 22) v->length_size = (cp[21] & 3) + 1u;
      hevc_config_units(cp, n, &v->config);
      break;
    case MKV_VIDEO_VC1:
      vc1_config(cp, n, &v->config);
      break;
  }
  if (v->length_size == 3) return "its units have 3-byte length prefixes";
  return nullptr;
}

bool MkvReadFrame(FILE* fp, const MkvVideoTrack& v, uint64_t pos, uint32_t size, size_t max,
                  std::vector<uint8_t>* raw) {
  raw->clear();
  if (size > max || v.strip.size() > max - size) return false;
  if (pos > uint64_t(INT64_MAX) || fseeko(fp, off_t(pos), SEEK_SET) != 0) return false;
  raw->resize(v.strip.size() + size);
  std::copy(v.strip.begin(), v.strip.end(), raw->begin());
  if (size && fread(raw->data() + v.strip.size(), 1, size, fp) != size) {
    raw->clear();
    return false;
  }
  return true;
}

long MkvFrameToStartCodes(const MkvVideoTrack& v, const uint8_t* raw, size_t n, bool key, uint8_t* out,
                          size_t cap) {
  size_t w = 0;
  auto put = [&](const uint8_t* p, size_t len) {
    if (len == 0) return true;
    if (len > cap - w) return false;
    memcpy(out + w, p, len);
    w += len;
    return true;
  };
  bool fits = true;
  switch (v.codec) {
    case MKV_VIDEO_AVC:
    case MKV_VIDEO_HEVC:
      MkvForEachUnit(v, raw, n, [&](const uint8_t* unit, size_t len) {
        fits = fits && put(kStartCode4, 4) && put(unit, len);
      });
      break;
    case MKV_VIDEO_VC1: {
      static const uint8_t frame_start[] = {0, 0, 1, 0x0D};
      const bool has_start = starts_with_start_code(raw, n);
      if (key && !(has_start && n >= 4 && raw[3] == 0x0F)) fits = put(v.config.data(), v.config.size());
      if (!has_start) fits = fits && put(frame_start, 4);
      fits = fits && put(raw, n);
      break;
    }
    default:
      fits = put(raw, n);
      break;
  }
  return fits ? long(w) : -1;
}

size_t MkvLengthPrefixesToStartCodes(uint8_t* frame, size_t n) {
  // Each prefix becomes the unit's start code where it stands; a unit moves
  // down only behind an empty one, which gets no start code.
  size_t p = 0, w = 0;
  while (n - p >= 4) {
    const size_t len = size_t(frame[p]) << 24 | size_t(frame[p + 1]) << 16 | size_t(frame[p + 2]) << 8 | frame[p + 3];
    p += 4;
    if (len > n - p) break;
    if (len) {
      if (w + 4 != p) memmove(frame + w + 4, frame + p, len);
      memcpy(frame + w, kStartCode4, 4);
      w += 4 + len;
    }
    p += len;
  }
  return w;
}

bool MkvIsParameterSet(int codec, uint8_t first_byte) {
  if (codec == MKV_VIDEO_AVC) return (first_byte & 31) == 7 || (first_byte & 31) == 8;
  if (codec == MKV_VIDEO_HEVC) return ((first_byte >> 1) & 63) == 33 || ((first_byte >> 1) & 63) == 34;
  return false;
}
